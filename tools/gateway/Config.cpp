#include "Config.h"

#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "Address.h"
#include "TlsFiles.h"
#include <fmt/format.h>
#include <fmt/ranges.h>

namespace tarvik::gateway {
namespace {

constexpr int kHartRates[] = {1200, 2400, 3600, 4800, 7200, 9600, 19200, 38400};
constexpr int kMinPort = 1, kMaxPort = 40;
constexpr int kMinChannel = 1, kMaxChannel = 4;
constexpr int kMaxDigits = 3;
constexpr std::size_t kMaxNameLength = 64;
constexpr int kMaxTcpPort = 65535;
constexpr int kMaxBuffer = 1000000;
constexpr int kMinBufferBytes = 65536; // room for the largest reading twice over
constexpr int kMaxOfflineAfter = 1000;
constexpr double kMinStaleAfter = 10.0; // seconds; the default is 3 intervals, at least this
constexpr double kStalePolls = 3.0;
constexpr int kMaxPollingAddress = 63;
constexpr int kMaxHartIpSessions = 64;
constexpr std::size_t kLongTagChars = 32;
constexpr int kMaxDeviceId = 0xFFFFFF;

// "1C:66:030401" (as `tarvik hart -a`) -> the five bytes of a long address.
bool ParseLongAddress(const std::string& text, std::uint8_t (&out)[5]) {
    if (text.size() != 12 || text[2] != ':' || text[5] != ':') return false;
    const std::string hex = text.substr(0, 2) + text.substr(3, 2) + text.substr(6);
    for (std::size_t i = 0; i < 5; ++i) {
        unsigned value = 0;
        const char* at = hex.data() + 2 * i;
        const auto [end, ec] = std::from_chars(at, at + 2, value, 16);
        if (ec != std::errc() || end != at + 2) return false;
        out[i] = static_cast<std::uint8_t>(value);
    }
    return out[0] <= kMaxPollingAddress; // the master and burst bits belong to the frame
}

[[noreturn]] void Fail(const std::string& path, const toml::source_region& where, const std::string& key,
                       const std::string& what) {
    std::ostringstream s;
    s << path << ':' << where.begin.line << ": " << key << ": " << what;
    throw ConfigError(s.str());
}

// Reads the keys of one table, each at most once, and rejects the keys nobody asked for.
class Reader {
public:
    Reader(const std::string& path, const toml::table& table, std::string scope)
        : path_(path), table_(table), scope_(std::move(scope)) {}

    std::string Key(std::string_view key) const {
        return scope_.empty() ? std::string(key) : scope_ + "." + std::string(key);
    }
    const toml::node* Find(std::string_view key) {
        known_.insert(std::string(key));
        return table_.get(key);
    }
    [[noreturn]] void Fail(std::string_view key, const toml::node& node, const std::string& what) const {
        gateway::Fail(path_, node.source(), Key(key), what);
    }

    bool String(std::string_view key, std::string& out) {
        const toml::node* n = Find(key);
        if (!n) return false;
        const auto v = n->value<std::string>();
        if (!n->is_string() || !v) Fail(key, *n, "must be a string");
        out = *v;
        return true;
    }
    bool Integer(std::string_view key, int& out, long long min, long long max) {
        const toml::node* n = Find(key);
        if (!n) return false;
        if (!n->is_integer()) Fail(key, *n, "must be a whole number");
        const long long v = n->as_integer()->get();
        if (v < min || v > max) Fail(key, *n, "must be " + std::to_string(min) + ".." + std::to_string(max));
        out = static_cast<int>(v);
        return true;
    }
    bool Number(std::string_view key, double& out) {
        const toml::node* n = Find(key);
        if (!n) return false;
        if (n->is_integer())
            out = static_cast<double>(n->as_integer()->get());
        else if (n->is_floating_point())
            out = n->as_floating_point()->get();
        else
            Fail(key, *n, "must be a number");
        if (!std::isfinite(out)) Fail(key, *n, "must be a finite number");
        return true;
    }
    bool Bool(std::string_view key, bool& out) {
        const toml::node* n = Find(key);
        if (!n) return false;
        if (!n->is_boolean()) Fail(key, *n, "must be true or false");
        out = n->as_boolean()->get();
        return true;
    }
    const toml::array* Array(std::string_view key) {
        const toml::node* n = Find(key);
        if (!n) return nullptr;
        if (!n->is_array()) Fail(key, *n, "must be an array");
        return n->as_array();
    }
    void RejectUnknown() const {
        for (auto&& [k, v] : table_)
            if (!known_.count(std::string(k.str())))
                gateway::Fail(path_, k.source(), Key(k.str()), "unknown key");
    }
    const std::string& Path() const { return path_; }
    const toml::table& Table() const { return table_; }

private:
    const std::string& path_;
    const toml::table& table_;
    std::string scope_;
    std::set<std::string> known_;
};

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-';
    });
}

// An MQTT topic prefix: one or more levels, no wildcards, no empty level.
bool ValidPrefix(const std::string& prefix) {
    if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/') return false;
    if (prefix.find("//") != std::string::npos) return false;
    return std::none_of(prefix.begin(), prefix.end(), [](char c) {
        return c == '+' || c == '#' || c == '\0' || static_cast<unsigned char>(c) < 0x20;
    });
}

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return "localhost";
    return buf;
}

// The backlog file: an existing regular file, or one that can be made (its directory exists and
// is writable). Anything else (a directory, a device such as /dev/null) would leave the backlog in
// memory without a word.
void CheckBufferFile(Reader& r, const std::string& file) {
    const auto slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    const auto fail = [&](const std::string& why) { r.Fail("buffer_file", *r.Find("buffer_file"), why); };
    struct stat st {};
    if (file.empty() || file.back() == '/')
        fail("must name a file");
    else if (::lstat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) // never replaced or truncated
        fail(file + " exists and is not a regular file");
    else if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        fail("the directory " + dir + " does not exist");
    else if (::access(dir.c_str(), W_OK) != 0)
        fail("cannot write in " + dir + ": " + std::strerror(errno));
}

void ReadMqtt(Reader& r, MqttConfig& m) {
    r.String("host", m.host);
    r.Integer("port", m.port, 1, kMaxTcpPort);
    if (r.String("prefix", m.prefix) && !ValidPrefix(m.prefix))
        r.Fail("prefix", *r.Find("prefix"), "must be topic levels without '+', '#' or empty levels");
    if (r.String("client_id", m.clientId) && !ValidName(m.clientId))
        r.Fail("client_id", *r.Find("client_id"), "must be 1..64 of A-Z a-z 0-9 _ -");
    r.String("username", m.username);
    r.String("password_file", m.passwordFile);
    r.String("ca_file", m.caFile);
    r.String("cert_file", m.certFile);
    r.String("key_file", m.keyFile);
    r.Integer("keepalive", m.keepalive, 5, 3600);
    r.Integer("buffer", m.buffer, 0, kMaxBuffer);
    if (r.String("buffer_file", m.bufferFile)) CheckBufferFile(r, m.bufferFile);
    r.Integer("buffer_max_bytes", m.bufferMaxBytes, kMinBufferBytes, std::numeric_limits<int>::max());
    if (m.host.empty()) r.Fail("host", *r.Find("host"), "must not be empty");
    r.RejectUnknown();
    if (!m.passwordFile.empty() && m.username.empty())
        r.Fail("password_file", *r.Find("password_file"), "needs username");
    if (m.certFile.empty() != m.keyFile.empty()) {
        const char* key = m.certFile.empty() ? "key_file" : "cert_file";
        r.Fail(key, *r.Find(key), "cert_file and key_file go together");
    }
    if (!m.certFile.empty() && m.caFile.empty())
        r.Fail("cert_file", *r.Find("cert_file"), "needs ca_file (a client certificate is for TLS)");
    // What a start loads is loaded here too: the password file, the authority's certificates, the
    // client certificate with its key.
    const auto check = [&r](const char* key, const std::string& problem) {
        if (!problem.empty()) r.Fail(key, *r.Find(key), problem);
    };
    if (!m.passwordFile.empty()) check("password_file", ReadableFileProblem(m.passwordFile));
    if (!m.caFile.empty()) check("ca_file", CaFileProblem(m.caFile));
    if (!m.certFile.empty() && !m.keyFile.empty())
        check("cert_file", CertificateProblem(m.certFile, m.keyFile));
}

// "HOST:PORT" (the host may be "[v6]") -> host and port; false when it is not that.
bool ParseListen(const std::string& listen, std::string& host, int& port) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    const char* b = listen.data() + colon + 1;
    const char* e = listen.data() + listen.size();
    int value = -1;
    const auto [p, ec] = std::from_chars(b, e, value);
    if (ec != std::errc() || p != e || b == e || value < 0 || value > kMaxTcpPort) return false;
    host = listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    port = value;
    return true;
}

void ReadHartIp(Reader& r, HartIpConfig& h) {
    h.enabled = true;
    std::string listen;
    if (r.String("listen", listen) && !ParseListen(listen, h.host, h.port))
        r.Fail("listen", *r.Find("listen"), "must be HOST:PORT");
    r.Integer("max_sessions", h.maxSessions, 2, kMaxHartIpSessions);
    const auto printable = [](char c) { return c >= ' ' && c <= '~'; };
    if (r.String("tag", h.tag) && (h.tag.empty() || h.tag.size() > kLongTagChars ||
                                   !std::all_of(h.tag.begin(), h.tag.end(), printable)))
        r.Fail("tag", *r.Find("tag"), "must be 1..32 printable ASCII characters");
    int id = 0;
    if (r.Integer("device_id", id, 1, kMaxDeviceId)) h.deviceId = static_cast<std::uint32_t>(id);
    const auto networks = [&r](std::string_view key, std::vector<Network>& out) {
        const toml::array* list = r.Array(key);
        if (!list) return false;
        for (const toml::node& n : *list) {
            const auto text = n.value<std::string>();
            const auto network = n.is_string() && text ? ParseNetwork(*text) : std::nullopt;
            if (!network)
                r.Fail(key, n, "must be addresses or networks (\"192.0.2.7\", \"10.0.0.0/8\", \"::1\")");
            out.push_back(*network);
        }
        return true;
    };
    if (std::vector<Network> allow; networks("allow", allow)) h.allow = std::move(allow);
    networks("allow_writes", h.allowWrites);
    r.RejectUnknown();
}

// Sparkplug IDs are topic levels: no '/', '+' or '#'.
bool ValidSparkplugId(const std::string& id) {
    return !id.empty() && id.size() <= kMaxNameLength && id.find_first_of("/+#") == std::string::npos &&
           std::all_of(id.begin(), id.end(), [](char c) { return c > ' ' && c <= '~'; });
}

void ReadSparkplug(Reader& r, SparkplugConfig& s) {
    s.enabled = true;
    const auto id = [&](const char* key, std::string& out, bool required) {
        if (r.String(key, out) && !ValidSparkplugId(out))
            r.Fail(key, *r.Find(key), "must be 1..64 printable characters without '/', '+', '#' or spaces");
        if (required && out.empty()) gateway::Fail(r.Path(), r.Table().source(), r.Key(key), "missing");
    };
    id("group_id", s.groupId, true);
    id("edge_node_id", s.edgeNodeId, true);
    id("primary_host", s.primaryHost, false);
    r.Bool("aliases", s.aliases);
    r.Bool("json", s.json);
    r.RejectUnknown();
}

// One table of [report]: the keys it sets replace those of `s`.
void ReadReportSettings(Reader& r, ReportSettings& s) {
    double x = 0;
    const auto positive = [&](const char* key, double& out) {
        if (r.Number(key, out) && out < 0) r.Fail(key, *r.Find(key), "must be 0 or more");
    };
    if (r.Number("deadband", x)) {
        if (x < 0) r.Fail("deadband", *r.Find("deadband"), "must be 0 or more");
        s.deadband = x;
    }
    if (r.Number("deadband_percent", x)) {
        if (x < 0 || x > 100) r.Fail("deadband_percent", *r.Find("deadband_percent"), "must be 0..100");
        s.deadbandPercent = x;
    }
    positive("min_interval", s.minInterval);
    positive("max_interval", s.maxInterval);
    if (s.maxInterval > 0 && s.maxInterval < s.minInterval)
        r.Fail("max_interval", *r.Find("max_interval"), "must be at least min_interval");
    if (const toml::array* range = r.Array("range")) {
        double low = 0, high = 0;
        if (range->size() != 2 || !range->get(0)->is_number() || !range->get(1)->is_number() ||
            !((low = range->get(0)->value<double>().value_or(0)) <
              (high = range->get(1)->value<double>().value_or(0))))
            r.Fail("range", *r.Find("range"), "must be [low, high] with low < high");
        s.low = low;
        s.high = high;
    }
}

// [report]: defaults for every value, then [report.<value>] or [report."<device>/<value>"] tables.
void ReadReport(Reader& r, ReportConfig& c) {
    ReadReportSettings(r, c.defaults);
    for (auto&& [key, node] : r.Table()) {
        if (!node.is_table()) continue;
        const std::string target(key.str());
        r.Find(target);
        Reader sub(r.Path(), *node.as_table(), r.Key("\"" + target + "\""));
        ReportSettings s = c.defaults;
        ReadReportSettings(sub, s);
        sub.RejectUnknown();
        c.rules.push_back({target, s});
    }
    r.RejectUnknown();
}

void ReadMetrics(Reader& r, MetricsConfig& m) {
    std::string listen;
    if (r.String("listen", listen)) {
        if (listen.empty()) {
            m.enabled = false;
        } else {
            const auto colon = listen.rfind(':');
            int port = -1;
            if (colon != std::string::npos && colon > 0) {
                const char* b = listen.data() + colon + 1;
                const char* e = listen.data() + listen.size();
                const auto [p, ec] = std::from_chars(b, e, port);
                if (ec != std::errc() || p != e || b == e) port = -1;
            }
            if (port < 0 || port > kMaxTcpPort)
                r.Fail("listen", *r.Find("listen"), "must be HOST:PORT (or \"\" to turn metrics off)");
            m.host = listen.substr(0, colon);
            if (m.host.size() > 2 && m.host.front() == '[' && m.host.back() == ']')
                m.host = m.host.substr(1, m.host.size() - 2);
            m.port = port;
        }
    }
    if (const toml::node* n = r.Find("basic_auth_users")) {
        if (!n->is_table()) r.Fail("basic_auth_users", *n, "must be a table of user = \"bcrypt hash\"");
        for (auto&& [user, hash] : *n->as_table()) {
            const auto h = hash.value<std::string>();
            if (!hash.is_string() || !h || h->rfind("$2", 0) != 0)
                r.Fail("basic_auth_users", hash, "must map user names to bcrypt hashes ($2y$...)");
            m.users.emplace_back(std::string(user.str()), *h);
        }
    }
    r.String("tls_cert_file", m.tlsCertFile);
    r.String("tls_key_file", m.tlsKeyFile);
    r.RejectUnknown();
    if (m.tlsCertFile.empty() != m.tlsKeyFile.empty()) {
        const char* key = m.tlsCertFile.empty() ? "tls_key_file" : "tls_cert_file";
        r.Fail(key, *r.Find(key), "tls_cert_file and tls_key_file go together");
    }
    if (!m.tlsCertFile.empty() && !m.tlsKeyFile.empty())
        if (std::string problem = CertificateProblem(m.tlsCertFile, m.tlsKeyFile); !problem.empty())
            r.Fail("tls_cert_file", *r.Find("tls_cert_file"), problem);
}

void ReadLog(Reader& r, Config& c) {
    std::string format;
    if (r.String("format", format)) {
        if (format == "text")
            c.logFormat = LogFormat::Text;
        else if (format == "json")
            c.logFormat = LogFormat::Json;
        else
            r.Fail("format", *r.Find("format"), "must be text or json");
    }
    r.RejectUnknown();
}

constexpr std::pair<const char*, Quantity> kHartValues[] = {
    {"pv", Quantity::Pv}, {"sv", Quantity::Sv},           {"tv", Quantity::Tv},
    {"qv", Quantity::Qv}, {"current", Quantity::Current}, {"percent", Quantity::Percent}};

void ReadValues(Reader& r, DeviceConfig& d) {
    const toml::array* values = r.Array("values");
    if (!values && d.kind == DeviceKind::Hart) { // all of them
        for (const auto& [name, q] : kHartValues)
            d.values.push_back({q, 0, name});
        return;
    }
    if (!values) {
        const toml::node* name = r.Table().get("name");
        gateway::Fail(r.Path(), name ? name->source() : r.Table().source(), r.Key("values"), "missing");
    }
    if (values->empty()) r.Fail("values", *r.Find("values"), "must name at least one value");
    std::set<std::string> seen;
    for (const toml::node& n : *values) {
        const auto v = n.value<std::string>();
        if (!n.is_string() || !v) r.Fail("values", n, "must be strings");
        if (!seen.insert(*v).second) r.Fail("values", n, "'" + *v + "' appears twice");
        if (d.kind == DeviceKind::Readout) {
            Quantity q;
            if (*v == "pv")
                q = Quantity::UnitPv;
            else if (*v == "sp")
                q = Quantity::UnitSp;
            else
                r.Fail("values", n, "'" + *v + "' is not a value of a readout unit (pv, sp)");
            for (int c : d.channels)
                d.values.push_back({q, c, *v + std::to_string(c)});
            continue;
        }
        if (d.kind == DeviceKind::Hart) {
            const auto* q = std::find_if(std::begin(kHartValues), std::end(kHartValues),
                                         [&](const auto& e) { return *v == e.first; });
            if (q == std::end(kHartValues))
                r.Fail("values", n,
                       "'" + *v + "' is not a value of a hart device (pv, sv, tv, qv, current, percent)");
            d.values.push_back({q->second, 0, *v});
            continue;
        }
        const bool flow = d.kind == DeviceKind::Flow;
        if (flow && *v == "flow")
            d.values.push_back({Quantity::Flow, 0, *v});
        else if (flow && *v == "setpoint")
            d.values.push_back({Quantity::SetPoint, 0, *v});
        else if (flow && *v == "totalizer")
            d.values.push_back({Quantity::Totalizer, 0, *v});
        else if (!flow && *v == "pressure")
            d.values.push_back({Quantity::Pressure, 0, *v});
        else
            r.Fail("values", n,
                   "'" + *v + "' is not a value of a " + KindName(d.kind) + " device (" +
                       (flow ? "flow, setpoint, totalizer" : "pressure") + ")");
    }
    // The 0731 unit polls channel by channel: pv1 sp1 pv2 sp2 ...
    if (d.kind == DeviceKind::Readout)
        std::stable_sort(d.values.begin(), d.values.end(),
                         [](const ValueSpec& a, const ValueSpec& b) { return a.channel < b.channel; });
}

// The set points a device takes: `writable = true` (all of them), false, or a list of commands.
void ReadWrites(Reader& r, DeviceConfig& d) {
    std::vector<std::string> all;
    if (d.kind == DeviceKind::Flow) all.push_back("setpoint");
    if (d.kind == DeviceKind::Readout)
        for (int c : d.channels)
            all.push_back("setpoint" + std::to_string(c));
    const toml::node* n = r.Find("writable");
    if (!n) return;
    if (n->is_boolean()) {
        if (n->as_boolean()->get() && all.empty()) r.Fail("writable", *n, "this device has no set points");
        if (n->as_boolean()->get()) d.writes = all;
        return;
    }
    if (!n->is_array()) r.Fail("writable", *n, "must be true, false or a list of set points");
    for (const toml::node& e : *n->as_array()) {
        const auto v = e.value<std::string>();
        if (!e.is_string() || !v || std::find(all.begin(), all.end(), *v) == all.end())
            r.Fail("writable", e,
                   "must name set points of this device (" +
                       (all.empty() ? std::string("it has none") : fmt::format("{}", fmt::join(all, ", "))) +
                       ")");
        if (std::find(d.writes.begin(), d.writes.end(), *v) == d.writes.end()) d.writes.push_back(*v);
    }
}

// Any HART device: `polling_address` 0..63 or `address` MM:TT:IIIIII, and `burst`.
template <class Required>
void ReadHartAddress(Reader& r, DeviceConfig& d, const Required& required) {
    std::string address;
    const bool hasLong = r.String("address", address);
    const bool hasPolling = r.Integer("polling_address", d.polling, 0, kMaxPollingAddress);
    if (!hasLong && !hasPolling) required("polling_address");
    if (hasLong && hasPolling)
        r.Fail("address", *r.Find("address"), "give polling_address or address, not both");
    if (hasLong && !ParseLongAddress(address, d.longAddress))
        r.Fail("address", *r.Find("address"), "must be MM:TT:IIIIII in hexadecimal (as command 0 gives it)");
    if (const toml::node* n = r.Find("burst")) {
        if (!n->is_boolean()) r.Fail("burst", *n, "must be true or false");
        d.burst = n->as_boolean()->get();
    }
}

DeviceConfig ReadDevice(Reader& r, const toml::table& t) {
    DeviceConfig d;
    d.line = static_cast<int>(t.source().begin.line);
    const auto required = [&](std::string_view key) {
        gateway::Fail(r.Path(), t.source(), r.Key(key), "missing");
    };
    if (!r.String("name", d.name)) required("name");
    if (!ValidName(d.name)) r.Fail("name", *r.Find("name"), "must be 1..64 of A-Z a-z 0-9 _ -");
    d.line = static_cast<int>(r.Find("name")->source().begin.line);
    std::string kind;
    if (!r.String("kind", kind)) required("kind");
    if (kind == "flow")
        d.kind = DeviceKind::Flow;
    else if (kind == "pressure")
        d.kind = DeviceKind::Pressure;
    else if (kind == "readout")
        d.kind = DeviceKind::Readout;
    else if (kind == "hart")
        d.kind = DeviceKind::Hart;
    else
        r.Fail("kind", *r.Find("kind"), "must be flow, pressure, readout or hart");
    if (!r.Integer("port", d.port, kMinPort, kMaxPort)) required("port");

    const bool hart = d.kind != DeviceKind::Readout;
    if (const toml::node* n = r.Find("baud")) {
        if (!hart) r.Fail("baud", *n, "a readout unit's line is fixed at 9600");
        r.Integer("baud", d.baud, 0, 1 << 30);
        if (std::find(std::begin(kHartRates), std::end(kHartRates), d.baud) == std::end(kHartRates))
            r.Fail("baud", *n, "must be 1200, 2400, 3600, 4800, 7200, 9600, 19200 or 38400");
    }
    std::string address;
    if (d.kind == DeviceKind::Hart) {
        ReadHartAddress(r, d, required);
    } else if (r.String("address", address)) {
        if (!hart) r.Fail("address", *r.Find("address"), "a readout unit has no address");
        const auto a = tools::ParseAddress(address);
        if (!a) r.Fail("address", *r.Find("address"), "must be TT:IIIIII in hexadecimal, e.g. 64:010203");
        d.deviceType = a->deviceType;
        std::copy(a->id.begin(), a->id.end(), d.id);
    } else if (hart) {
        required("address");
    }
    if (const toml::array* channels = r.Array("channels")) {
        if (hart) r.Fail("channels", *r.Find("channels"), "only a readout unit has channels");
        for (const toml::node& n : *channels) {
            if (!n.is_integer()) r.Fail("channels", n, "must be whole numbers 1..4");
            const long long c = n.as_integer()->get();
            if (c < kMinChannel || c > kMaxChannel) r.Fail("channels", n, "must be whole numbers 1..4");
            if (std::find(d.channels.begin(), d.channels.end(), c) != d.channels.end())
                r.Fail("channels", n, "channel " + std::to_string(c) + " appears twice");
            d.channels.push_back(static_cast<int>(c));
        }
        if (d.channels.empty()) r.Fail("channels", *r.Find("channels"), "must name at least one channel");
    } else if (!hart) {
        required("channels");
    }
    if (r.Number("interval", d.interval) && (d.interval < 0 || d.interval > 86400))
        r.Fail("interval", *r.Find("interval"), "must be 0..86400 seconds");
    ReadValues(r, d);
    ReadWrites(r, d);
    if (r.Number("write_interval", d.writeInterval) && (d.writeInterval < 0 || d.writeInterval > 3600))
        r.Fail("write_interval", *r.Find("write_interval"), "must be 0..3600 seconds");
    r.Integer("offline_after", d.offlineAfter, 1, kMaxOfflineAfter);
    d.staleAfter = std::max(kMinStaleAfter, kStalePolls * d.interval);
    if (r.Number("stale_after", d.staleAfter) && (d.staleAfter <= 0 || d.staleAfter > 86400 * 7))
        r.Fail("stale_after", *r.Find("stale_after"), "must be above 0 and at most a week, in seconds");
    r.Number("setpoint_min", d.setpointMin);
    r.Number("setpoint_max", d.setpointMax);
    if (d.setpointMin > d.setpointMax) {
        const toml::node* at = r.Find("setpoint_max") ? r.Find("setpoint_max") : r.Find("setpoint_min");
        r.Fail("setpoint_max", *at, "must not be below setpoint_min");
    }
    if (const toml::node* n = r.Find("digits")) {
        if (hart) r.Fail("digits", *n, "only a readout unit takes digits");
        r.Integer("digits", d.digits, 0, kMaxDigits);
    }
    r.RejectUnknown();
    return d;
}

} // namespace

const char* KindName(DeviceKind kind) {
    switch (kind) {
    case DeviceKind::Flow:
        return "flow";
    case DeviceKind::Pressure:
        return "pressure";
    case DeviceKind::Readout:
        return "readout";
    case DeviceKind::Hart:
        return "hart";
    }
    return "?";
}

bool DeviceConfig::Writable(std::string_view command) const {
    return std::find(writes.begin(), writes.end(), command) != writes.end();
}

bool DeviceConfig::SameSettings(const DeviceConfig& o) const {
    const auto values = [](const std::vector<ValueSpec>& v) {
        std::vector<std::string> topics;
        for (const ValueSpec& x : v)
            topics.push_back(x.topic);
        return topics;
    };
    return name == o.name && kind == o.kind && port == o.port && baud == o.baud &&
           deviceType == o.deviceType && std::equal(std::begin(id), std::end(id), std::begin(o.id)) &&
           polling == o.polling &&
           std::equal(std::begin(longAddress), std::end(longAddress), std::begin(o.longAddress)) &&
           burst == o.burst && interval == o.interval && channels == o.channels &&
           values(this->values) == values(o.values) && writes == o.writes && setpointMin == o.setpointMin &&
           setpointMax == o.setpointMax && digits == o.digits && writeInterval == o.writeInterval &&
           offlineAfter == o.offlineAfter && staleAfter == o.staleAfter;
}

Config ParseConfig(const std::string& text, const std::string& path) {
    Config config;
    config.path = path;
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        std::ostringstream s;
        s << path << ':' << e.source().begin.line << ": " << e.description();
        throw ConfigError(s.str());
    }
    // Every table is read up to its first error, so that one run names all of them.
    std::vector<std::string> errors;
    const auto attempt = [&errors](auto&& read) {
        try {
            read();
        } catch (const ConfigError& e) {
            errors.push_back(e.what());
        }
    };
    Reader top(path, root, "");
    const auto section = [&](const char* name, auto&& read) {
        attempt([&] {
            if (const toml::node* n = top.Find(name)) {
                if (!n->is_table()) top.Fail(name, *n, "must be a table");
                Reader r(path, *n->as_table(), name);
                read(r);
            }
        });
    };
    section("mqtt", [&](Reader& r) { ReadMqtt(r, config.mqtt); });
    section("metrics", [&](Reader& r) { ReadMetrics(r, config.metrics); });
    section("log", [&](Reader& r) { ReadLog(r, config); });
    section("hartip", [&](Reader& r) { ReadHartIp(r, config.hartip); });
    section("sparkplug", [&](Reader& r) { ReadSparkplug(r, config.sparkplug); });
    section("report", [&](Reader& r) { ReadReport(r, config.report); });
    attempt([&] {
        const toml::node* devices = top.Find("device");
        if (!devices) throw ConfigError(path + ":1: device: no [[device]] table");
        if (!devices->is_array_of_tables()) top.Fail("device", *devices, "must be [[device]] tables");
        std::size_t index = 0;
        for (const toml::node& n : *devices->as_array())
            attempt([&] {
                Reader r(path, *n.as_table(), "device[" + std::to_string(index++) + "]");
                DeviceConfig d = ReadDevice(r, *n.as_table());
                for (const DeviceConfig& other : config.devices)
                    if (other.name == d.name)
                        r.Fail("name", *r.Find("name"),
                               "'" + d.name + "' is taken by the device at line " +
                                   std::to_string(other.line));
                config.devices.push_back(std::move(d));
            });
    });
    attempt([&] { top.RejectUnknown(); });
    if (config.mqtt.clientId.empty()) {
        // A host name may hold characters the client id does not allow; keep it recognisable.
        std::string host = HostName();
        for (char& c : host)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '-';
        config.mqtt.clientId = ("tarvik-" + host).substr(0, kMaxNameLength);
    }
    for (const DeviceConfig& d : config.devices)
        if (d.name == config.mqtt.clientId)
            errors.push_back(path + ":" + std::to_string(d.line) +
                             ": name: a device may not share the client id '" + d.name +
                             "' (both own <prefix>/<name>/status)");
    if (!errors.empty()) {
        std::string all;
        for (const std::string& e : errors)
            all += (all.empty() ? "" : "\n") + e;
        throw ConfigError(all);
    }
    return config;
}

Config LoadConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ConfigError(path + ": cannot read the file");
    std::ostringstream s;
    s << in.rdbuf();
    return ParseConfig(s.str(), path);
}

} // namespace tarvik::gateway
