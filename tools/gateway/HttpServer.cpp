#include "HttpServer.h"

#include <crypt.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace tarvik::gateway {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kBasic = "Basic ";
constexpr std::size_t kFirstConnection = 3; // poll entries: the stop pipe, the listener, the checker

// Drops the oldest entries past `limit`, then remembers `header`.
void Remember(std::deque<std::string>& list, std::size_t limit, std::string header) {
    while (list.size() >= limit)
        list.pop_front();
    list.push_back(std::move(header));
}

bool Contains(const std::deque<std::string>& list, const std::string& header) {
    return std::find(list.begin(), list.end(), header) != list.end();
}

const char* Reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

std::string Base64Decode(std::string_view in) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : in) {
        if (c == '=') break;
        const auto at = kAlphabet.find(c);
        if (at == std::string_view::npos) return {};
        bits = (bits << 6) | static_cast<unsigned>(at);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// The value of header `name` (case-insensitive), or empty.
std::string Header(const std::string& request, std::string_view name) {
    std::size_t at = request.find("\r\n");
    while (at != std::string::npos && at + 2 < request.size()) {
        const std::size_t begin = at + 2, end = request.find("\r\n", begin);
        if (end == std::string::npos || end == begin) break;
        const std::string_view line(request.data() + begin, end - begin);
        const auto colon = line.find(':');
        if (colon == name.size() && std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
                return std::tolower(a) == std::tolower(b);
            })) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ')
                value.remove_prefix(1);
            return std::string(value);
        }
        at = end;
    }
    return {};
}

} // namespace

struct HttpServer::Connection {
    int fd = -1;
    SSL* ssl = nullptr;
    short events = POLLIN;
    Clock::time_point deadline;
    std::string in, out;
    std::size_t sent = 0;
    bool responding = false;
    bool checking = false; // its Authorization header waits for the checker
    std::string header, path;
};

HttpServer::HttpServer(Handler handler, std::vector<std::pair<std::string, std::string>> users)
    : handler_(std::move(handler)), users_(std::move(users)) {}

HttpServer::~HttpServer() {
    Stop();
    if (checker_.thread.joinable()) checker_.thread.join();
    for (int fd : checker_.done)
        if (fd >= 0) ::close(fd);
    if (listen_ >= 0) ::close(listen_);
    if (tls_) SSL_CTX_free(tls_);
}

bool HttpServer::EnableTls(const std::string& certFile, const std::string& keyFile, std::string& error) {
    tls_ = SSL_CTX_new(TLS_server_method());
    if (tls_ && SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION) == 1 &&
        SSL_CTX_use_certificate_chain_file(tls_, certFile.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(tls_, keyFile.c_str(), SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(tls_) == 1) {
        SSL_CTX_set_mode(tls_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        return true;
    }
    char text[256] = "cannot set up TLS";
    if (const unsigned long e = ERR_get_error()) ERR_error_string_n(e, text, sizeof text);
    error = std::string("TLS with ") + certFile + " and " + keyFile + ": " + text;
    ERR_clear_error();
    return false;
}

void HttpServer::Close(Connection& c) {
    if (c.ssl) SSL_free(c.ssl);
    c.ssl = nullptr;
    ::close(c.fd);
}

// After an SSL read or write that moved nothing: 0 when it is to be tried again once the socket is
// ready for what TLS waits for (which may be the other direction), -1 when the connection failed.
long HttpServer::SslRetry(Connection& c, int n) {
    const int e = SSL_get_error(c.ssl, n);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        c.events = e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        return 0;
    }
    return -1;
}

long HttpServer::Receive(Connection& c, char* buffer, std::size_t size) {
    if (!c.ssl) {
        const ssize_t n = ::recv(c.fd, buffer, size, 0);
        if (n > 0) return n;
        return n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }
    const int n = SSL_read(c.ssl, buffer, static_cast<int>(size));
    return n > 0 ? n : SslRetry(c, n);
}

long HttpServer::Send(Connection& c) {
    const char* data = c.out.data() + c.sent;
    const std::size_t size = c.out.size() - c.sent;
    if (!c.ssl) {
        const ssize_t n = ::send(c.fd, data, size, MSG_NOSIGNAL);
        if (n >= 0) return n;
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    const int n = SSL_write(c.ssl, data, static_cast<int>(size));
    return n > 0 ? n : SslRetry(c, n);
}

int HttpServer::Listen(const std::string& host, int port, std::string& error) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = gai_strerror(rc);
        return -1;
    }
    int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    // SO_REUSEADDR only lets a restart bind over connections in TIME_WAIT; it does not share a
    // listening address (SO_REUSEPORT would, and is not set).
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        error = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        ::freeaddrinfo(found);
        return -1;
    }
    ::freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    char portText[NI_MAXSERV] = {};
    ::getnameinfo(reinterpret_cast<sockaddr*>(&bound), size, nullptr, 0, portText, sizeof portText,
                  NI_NUMERICSERV);
    listen_ = fd;
    return std::atoi(portText);
}

void HttpServer::Start() {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    if (!users_.empty() && ::pipe2(checker_.done, O_CLOEXEC | O_NONBLOCK) == 0)
        checker_.thread = std::thread([this] { Check(); });
    thread_ = std::thread([this] { Run(); });
}

void HttpServer::Stop() {
    {
        std::lock_guard lock(checker_.mutex);
        checker_.stop = true;
        checker_.cv.notify_all();
    }
    if (!thread_.joinable()) return;
    const char c = 0;
    [[maybe_unused]] const auto n = ::write(wake_[1], &c, 1);
    thread_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

// The checker thread: one bcrypt at a time, its verdict handed back to the loop.
void HttpServer::Check() {
    std::unique_lock lock(checker_.mutex);
    for (;;) {
        checker_.cv.wait(lock, [this] { return checker_.stop || !checker_.queue.empty(); });
        if (checker_.stop) return;
        auto [header, hash] = std::move(checker_.queue.front());
        checker_.queue.pop_front();
        lock.unlock();
        const std::string pair = Base64Decode(std::string_view(header).substr(kBasic.size()));
        const std::string password = pair.substr(pair.find(':') + 1);
        const auto data = std::make_unique<crypt_data>();
        const char* computed = ::crypt_r(password.c_str(), hash.c_str(), data.get());
        const bool ok = computed && hash == computed;
        lock.lock();
        checker_.verdicts.emplace_back(std::move(header), ok);
        const char c = 0;
        [[maybe_unused]] const auto n = ::write(checker_.done[1], &c, 1);
    }
}

// Verdicts of the checker: remembered, and the connections that waited for them answered.
void HttpServer::TakeVerdicts(std::vector<Connection>& connections) {
    char drain[64];
    while (::read(checker_.done[0], drain, sizeof drain) > 0) {
    }
    std::vector<std::pair<std::string, bool>> verdicts;
    {
        std::lock_guard lock(checker_.mutex);
        verdicts.swap(checker_.verdicts);
    }
    for (auto& [header, ok] : verdicts) {
        std::erase(checking_, header);
        for (Connection& c : connections) {
            if (!c.checking || c.header != header) continue;
            c.checking = false;
            Answer(c, ok ? handler_(c.path) : Response{401, "text/plain", "unauthorised\n"});
            c.events = POLLOUT;
        }
        Remember(ok ? granted_ : refused_, ok ? kMaxGranted : kMaxRefused, std::move(header));
    }
}

void HttpServer::Accept(std::vector<Connection>& connections) {
    for (;;) {
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (connections.size() >= kMaxConnections) { // the oldest gives way
            Close(connections.front());
            connections.erase(connections.begin());
        }
        Connection c;
        c.fd = fd;
        if (tls_) {
            c.ssl = SSL_new(tls_);
            if (!c.ssl || SSL_set_fd(c.ssl, fd) != 1) {
                Close(c);
                continue;
            }
            SSL_set_accept_state(c.ssl);
        }
        c.deadline = Clock::now() + kDeadline;
        connections.push_back(std::move(c));
    }
}

void HttpServer::Run() {
    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wake_[0], POLLIN, 0});
        fds.push_back({listen_, POLLIN, 0});
        fds.push_back({checker_.done[0], POLLIN, 0});
        auto next = Clock::now() + kDeadline;
        for (const Connection& c : connections) {
            fds.push_back({c.fd, c.events, 0});
            next = std::min(next, c.deadline);
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
        if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0))) < 0 &&
            errno != EINTR)
            break;
        if (fds[0].revents) break;
        const auto now = Clock::now();
        std::vector<Connection> kept;
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& c = connections[i];
            const bool ready = fds[i + kFirstConnection].revents != 0;
            if ((ready && !Advance(c)) || (!ready && now >= c.deadline)) {
                Close(c);
                continue;
            }
            kept.push_back(std::move(c));
        }
        connections.swap(kept);
        if (fds[2].revents) TakeVerdicts(connections);
        if (fds[1].revents) Accept(connections);
    }
    for (Connection& c : connections)
        Close(c);
}

bool HttpServer::Advance(Connection& c) {
    // Waiting for the checker, only a hang-up or an error wakes a connection: it is done.
    if (c.checking) return false;
    if (!c.responding) {
        char buffer[2048];
        c.events = POLLIN;
        // All that is there: TLS may hold decrypted bytes that poll does not announce.
        long n;
        while ((n = Receive(c, buffer, sizeof buffer)) > 0 && c.in.size() <= kMaxRequest)
            c.in.append(buffer, static_cast<std::size_t>(n));
        if (n < 0) return false;
        const bool complete = c.in.find("\r\n\r\n") != std::string::npos;
        if (!complete && c.in.size() <= kMaxRequest) return true;
        if (c.in.size() > kMaxRequest) {
            c.out = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            c.responding = true;
            c.in.clear();
        } else if (!Respond(c)) {
            return true;
        }
    }
    c.events = POLLOUT;
    const long n = Send(c);
    if (n < 0) return false;
    c.sent += static_cast<std::size_t>(n);
    return c.sent < c.out.size();
}

void HttpServer::Answer(Connection& c, const Response& r) {
    c.out = "HTTP/1.1 " + std::to_string(r.status) + " " + Reason(r.status) +
            "\r\nContent-Type: " + r.contentType + "\r\nContent-Length: " + std::to_string(r.body.size()) +
            (r.status == 401 ? "\r\nWWW-Authenticate: Basic realm=\"tarvik-gateway\"" : "") +
            "\r\nConnection: close\r\n\r\n" + r.body;
    c.responding = true;
    c.in.clear();
}

// What the remembered verdicts say of an Authorization header; Unknown with the hash to check the
// password against when only bcrypt can tell.
HttpServer::Verdict HttpServer::Judge(const std::string& header, std::string& hash) const {
    if (users_.empty()) return Verdict::Granted;
    if (!header.starts_with(kBasic)) return Verdict::Refused;
    if (Contains(granted_, header)) return Verdict::Granted;
    if (Contains(refused_, header)) return Verdict::Refused;
    const std::string pair = Base64Decode(std::string_view(header).substr(kBasic.size()));
    const auto colon = pair.find(':');
    if (colon == std::string::npos) return Verdict::Refused;
    const std::string user = pair.substr(0, colon);
    for (const auto& [name, userHash] : users_)
        if (name == user) {
            hash = userHash;
            return Verdict::Unknown;
        }
    return Verdict::Refused;
}

bool HttpServer::Respond(Connection& c) {
    const std::string& request = c.in;
    const auto space = request.find(' ');
    const auto second = request.find(' ', space + 1);
    if (space == std::string::npos || second == std::string::npos) {
        Answer(c, {400, "text/plain", "bad request\n"});
        return true;
    }
    if (request.compare(0, space, "GET") != 0) {
        Answer(c, {405, "text/plain", "only GET\n"});
        return true;
    }
    const std::string path = request.substr(space + 1, second - space - 1);
    c.path = path.substr(0, path.find('?'));
    c.header = Header(request, "Authorization");
    std::string hash;
    switch (Judge(c.header, hash)) {
    case Verdict::Granted:
        Answer(c, handler_(c.path));
        return true;
    case Verdict::Refused:
        Answer(c, {401, "text/plain", "unauthorised\n"});
        return true;
    case Verdict::Unknown:
        break;
    }
    if (std::find(checking_.begin(), checking_.end(), c.header) == checking_.end()) {
        if (checking_.size() >= kMaxChecking || !checker_.thread.joinable()) {
            Answer(c, {503, "text/plain", "too many credentials to check at once; try again\n"});
            return true;
        }
        checking_.push_back(c.header);
        std::lock_guard lock(checker_.mutex);
        checker_.queue.emplace_back(c.header, hash);
        checker_.cv.notify_one();
    }
    c.checking = true;
    c.events = 0;
    c.in.clear();
    return false;
}

} // namespace tarvik::gateway
