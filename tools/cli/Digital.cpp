// Subcommands of the digital (HART) family: one per export, grouped by what they touch.
#include <fmt/format.h>

#include <cmath>
#include <functional>
#include <memory>

#include "Arguments.h"
#include "Cli.h"
#include "Facts.h"
#include "TarvikDLL.h"
#include "WriteShow.h"

namespace tarvik::cli {
namespace {

constexpr int kUnitPercent = 57;
constexpr int kUnitInFlowUnits = 250;
constexpr std::size_t kTagLength = 8;
constexpr std::size_t kTagRecordSize = 27;
constexpr std::size_t kDescriptorLength = 16;
constexpr std::size_t kGasTextLength = 12;
constexpr int kGasCount = 10;
constexpr int kYearBase = 1900;

#define ADDR t.port, t.baud, t.address.id[0], t.address.id[1], t.address.id[2], t.address.deviceType

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

// Device text for people: printable characters as they are, others as \xNN.
std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s)
        out += (c >= 0x20 && c < 0x7F) ? std::string(1, static_cast<char>(c)) : fmt::format("\\x{:02X}", c);
    return out;
}

// A write to a digital device, shown with what the device now holds (see WriteShow.h).
std::int32_t WriteThenShow(Report& r, const std::string& what, std::function<std::int32_t()> write,
                           std::function<void(Report&)> showWritten,
                           std::function<std::int32_t(Report&)> readBack) {
    return RunWriteAndShow(
        r, {what, "device", Written, std::move(write), std::move(showWritten), std::move(readBack)});
}

// A unit selection, shown with the unit the device now sends its value in (`read`: the value's read).
std::int32_t UnitThenShow(Report& r, const Target& t, const std::string& what, int code,
                          std::function<std::int32_t()> select, decltype(&ReadFlow) read) {
    return WriteThenShow(
        r, what, std::move(select), [code](Report& r) { r.UnitCode("selected", "selected", code); },
        [&t, &what, read](Report& r) {
            std::int32_t value = 0;
            std::uint8_t units = 0, b1 = 0, b2 = 0;
            const std::int32_t rc = read(ADDR, &value, &units, &b1, &b2);
            if (Written(rc)) r.UnitCode("now", what + " now", units);
            return rc;
        });
}

void StateField(Report& r, const std::string& key, const std::string& label, const std::string& table,
                int code) {
    r.Field(key, label, Json{{"code", code}, {"name", tools::Facts::Get().CodeName(table, code)}},
            fmt::format("{} ({})", code, tools::Facts::Get().CodeName(table, code)));
}

void SettingsFields(Report& r, const std::uint8_t (&s)[4]) {
    r.Field("settings", "settings", Json::array({s[0], s[1], s[2], s[3]}),
            fmt::format("{} {} {} {}   (device-specific bytes 1 to 4)", s[0], s[1], s[2], s[3]));
}

CLI::App* Group(CLI::App& app, const std::string& name, const std::string& help) {
    auto* g = app.add_subcommand(name, help);
    g->require_subcommand(1);
    return g;
}

// ---- identity ----

struct IdOptions {
    std::string tag;
};

void IdCommand(CLI::App& app, Cli& cli) {
    auto* id = app.add_subcommand("id", "read the device's address (broadcast identity, or by tag)");
    auto o = std::make_shared<IdOptions>();
    id->add_option("--tag", o->tag,
                   "find the device with this tag (command 11): " + tools::Arguments::Get().Allowed("tag") +
                       ", padded with spaces as tarvik tag shows it");
    id->footer("Examples:\n  tarvik id -p 3 -b 19200\n  tarvik id -p 3 -b 19200 --tag FT-103");
    id->callback([&cli, o] {
        const std::string tag = o->tag.empty() ? std::string() : ParseText(o->tag, "tag");
        cli.Broadcast("id", [&tag](Report& r, int port, int baud, std::uint8_t& s1, std::uint8_t& s2) {
            std::uint8_t hi = 0, mid = 0, lo = 0, type = 0;
            const int mode = tag.empty() ? 0 : 1;
            const std::int32_t rc =
                ReadDeviceID(mode, port, baud, tag.c_str(), static_cast<std::int32_t>(tag.size()), &hi, &mid,
                             &lo, &type, &s1, &s2);
            if (rc == ResultOk) {
                const HartAddress a{type, {hi, mid, lo}};
                r.Field("address", "address", FormatAddress(a), FormatAddress(a) + "   (use with -a)");
                r.Field("device_type", "device type", type, fmt::format("0x{:02X} ({})", type, type));
                r.Field("device_id", "device id", fmt::format("{:02X}{:02X}{:02X}", hi, mid, lo),
                        fmt::format("{:02X} {:02X} {:02X}", hi, mid, lo));
            }
            return rc;
        });
    });
}

void TagCommand(CLI::App& app, Cli& cli) {
    auto* tagCmd = app.add_subcommand("tag", "read the tag, descriptor and date (broadcast)");
    tagCmd->footer("Example:\n  tarvik tag -p 3 -b 19200");
    tagCmd->callback([&cli] {
        cli.Broadcast(
            "tag",
            [](Report& r, int port, int baud, std::uint8_t& s1, std::uint8_t& s2) {
                std::uint8_t rec[kTagRecordSize] = {};
                const std::int32_t rc = ReadTAG(port, baud, rec, &s1, &s2);
                if (Written(rc)) {
                    const std::string all(reinterpret_cast<const char*>(rec), kTagRecordSize);
                    const std::string t = Trimmed(all.substr(0, kTagLength));
                    const std::string d = Trimmed(all.substr(kTagLength, kDescriptorLength));
                    r.Field("tag", "tag", Printable(t), Printable(t));
                    r.Field("descriptor", "descriptor", Printable(d), Printable(d));
                    const int day = rec[24], month = rec[25], year = kYearBase + rec[26];
                    r.Field("date", "date", fmt::format("{:04}-{:02}-{:02}", year, month, day),
                            fmt::format("{:04}-{:02}-{:02}", year, month, day));
                }
                return rc;
            },
            false);
    });
}

// ---- flow, set point, status ----

void FlowCommand(CLI::App& app, Cli& cli) {
    auto* flow = app.add_subcommand("flow", "read the flow (primary variable) and its unit");
    flow->footer("Example:\n  tarvik flow -p 3 -b 19200 -a 64:010203");
    flow->callback([&cli] {
        cli.Hart("flow", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::int32_t value = 0;
            std::uint8_t units = 0;
            const std::int32_t rc = ReadFlow(ADDR, &value, &units, &s1, &s2);
            if (Written(rc)) r.RawValue("flow", "flow", value, units);
            return rc;
        });
    });
}

void SetPointGetCommand(CLI::App& sp, Cli& cli) {
    sp.add_subcommand("get", "read the set point in percent and in the flow unit")->callback([&cli] {
        cli.Hart("setpoint get", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::int32_t pct = 0, inUnits = 0;
            std::uint8_t units = 0;
            const std::int32_t rc = ReadSetPoint(ADDR, &pct, &units, &inUnits, &s1, &s2);
            if (Written(rc)) {
                r.RawValue("setpoint", "set point", pct, kUnitPercent);
                r.RawValue("setpoint_in_units", "in units", inUnits, units);
            }
            return rc;
        });
    });
}

struct SetPointOptions {
    std::string value;
    bool inUnits = false;
};

void SetPointSetCommand(CLI::App& sp, Cli& cli) {
    auto* spSet = sp.add_subcommand("set", "write the set point (percent, or --in-units)");
    auto o = std::make_shared<SetPointOptions>();
    spSet->add_option("value", o->value, "new set point")->required();
    spSet->add_flag("--in-units", o->inUnits, "the value is in the device's flow unit (unit code 250)");
    spSet->footer("Examples:\n  tarvik setpoint set 50 -p 3 -b 19200 -a 64:010203      (50 %)\n"
                  "  tarvik setpoint set 12.5 --in-units -p 3 -b 19200 -a 64:010203");
    spSet->callback([&cli, o] {
        const float v = ParseValue(o->value, "setpoint");
        const int unit = o->inUnits ? kUnitInFlowUnits : kUnitPercent;
        cli.Hart("setpoint set", [v, unit](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            return WriteThenShow(
                r, "set point", [&] { return WriteSetPoint(ADDR, unit, RawOfFloat(v), &s1, &s2); },
                [&](Report& r) {
                    r.Field("written", "written", Json{{"value", NumberJson(v)}, {"unit", unit}},
                            unit == kUnitPercent ? Number(v) + " %" : Number(v) + " (in the flow unit)");
                },
                [&](Report& r) {
                    std::int32_t pct = 0, inUnits = 0;
                    std::uint8_t units = 0, b1 = 0, b2 = 0;
                    const std::int32_t read = ReadSetPoint(ADDR, &pct, &units, &inUnits, &b1, &b2);
                    if (Written(read)) {
                        r.RawValue("now", "now", pct, kUnitPercent);
                        r.RawValue("now_in_units", "in units", inUnits, units);
                    }
                    return read;
                });
        });
    });
}

void StatusCommand(CLI::App& app, Cli& cli) {
    app.add_subcommand("status", "read the additional status (command 48)")->callback([&cli] {
        cli.Hart("status", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::uint8_t flags[4][8] = {};
            const std::int32_t rc = ReadAddStatus(ADDR, flags[0], flags[1], flags[2], flags[3], &s1, &s2);
            if (rc == ResultOk) {
                Json bytes = Json::array();
                Json set = Json::array();
                std::string text;
                for (int b = 0; b < 4; ++b) {
                    int value = 0;
                    for (int bit = 0; bit < 8; ++bit)
                        if (flags[b][bit]) {
                            value |= 1 << bit;
                            set.push_back(fmt::format("byte {} bit {}", b, bit));
                            text += (text.empty() ? "" : ", ") + fmt::format("byte {} bit {}", b, bit);
                        }
                    bytes.push_back(value);
                }
                r.Field("additional_status", "additional", Json{{"bytes", bytes}, {"set", set}},
                        fmt::format("{:02X} {:02X} {:02X} {:02X}   {}", bytes[0].get<int>(),
                                    bytes[1].get<int>(), bytes[2].get<int>(), bytes[3].get<int>(),
                                    text.empty() ? "no bits set" : text));
            }
            return rc;
        });
    });
}

// ---- gas and units ----

// A command on one gas entry: `run` gets the entry's number, judged by the argument table.
struct GasOptions {
    std::string number;
};
using GasCall = std::function<std::int32_t(Report&, const Target&, int gas, std::uint8_t&, std::uint8_t&)>;

void GasEntryCommand(CLI::App& gas, Cli& cli, const std::string& name, const std::string& help,
                     GasCall call) {
    auto* cmd = gas.add_subcommand(name, help);
    auto o = std::make_shared<GasOptions>();
    cmd->add_option("number", o->number, "gas entry " + tools::Arguments::Get().Allowed("gas"))->required();
    cmd->callback([&cli, o, name, call] {
        const int number = ParseInteger(o->number, "gas");
        cli.Hart("gas " + name, [number, &call](Report& r, const Target& t, std::uint8_t& s1,
                                                std::uint8_t& s2) { return call(r, t, number, s1, s2); });
    });
}

std::int32_t GasData(Report& r, const Target& t, int gas, std::uint8_t& s1, std::uint8_t& s2) {
    std::uint8_t u[4] = {};
    std::int32_t v[4] = {};
    const std::int32_t rc =
        ReadGasData(ADDR, gas, &u[0], &v[0], &u[1], &v[1], &u[2], &v[2], &u[3], &v[3], &s1, &s2);
    if (Written(rc))
        for (int i = 0; i < 4; ++i)
            r.RawValue(fmt::format("value{}", i + 1), fmt::format("value {}", i + 1), v[i], u[i]);
    return rc;
}

std::int32_t GasName(Report& r, const Target& t, int gas, std::uint8_t& s1, std::uint8_t& s2) {
    char text[kGasTextLength] = {};
    const std::int32_t rc = ReadProcessGasType(ADDR, gas, text, &s1, &s2);
    if (Written(rc)) {
        const std::string name = Printable(Trimmed(std::string(text, kGasTextLength)));
        r.Field("gas", "gas", Json{{"number", gas}, {"name", name}}, fmt::format("{}: {}", gas, name));
    }
    return rc;
}

std::int32_t GasSelect(Report& r, const Target& t, int gas, std::uint8_t& s1, std::uint8_t& s2) {
    const std::int32_t rc = SelectGasNumber(ADDR, gas, &s1, &s2);
    if (Written(rc)) r.Field("selected", "selected", gas, fmt::format("gas {}", gas));
    return rc;
}

void GasListCommand(CLI::App& gas, Cli& cli) {
    gas.add_subcommand("list", "the names of all ten gas entries")->callback([&cli] {
        cli.Hart("gas list", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            Json list = Json::array();
            std::int32_t rc = ResultOk;
            for (int n = 1; n <= kGasCount; ++n) {
                char text[kGasTextLength] = {};
                rc = ReadProcessGasType(ADDR, n, text, &s1, &s2);
                if (!Written(rc)) break;
                const std::string name = Printable(Trimmed(std::string(text, kGasTextLength)));
                list.push_back({{"number", n}, {"name", name}});
                r.Text(fmt::format("gas {}", n), name);
            }
            r.Context("gases", list);
            return rc;
        });
    });
}

void GasCommands(CLI::App& app, Cli& cli) {
    auto* gas = Group(app, "gas", "gas table: data, name, select, list");
    GasEntryCommand(*gas, cli, "data", "four unit/value pairs of a gas entry", GasData);
    GasEntryCommand(*gas, cli, "name", "the 12-character name of a gas entry", GasName);
    GasEntryCommand(*gas, cli, "select", "make a gas entry the active one", GasSelect);
    GasListCommand(*gas, cli);
}

void SettingsCommand(CLI::App& app, Cli& cli) {
    app.add_subcommand("settings", "read the four operational setting bytes (command 193)")->callback([&cli] {
        cli.Hart("settings", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::uint8_t s[4] = {};
            const std::int32_t rc = ReadOperationalSettings(ADDR, &s[0], &s[1], &s[2], &s[3], &s1, &s2);
            if (Written(rc)) SettingsFields(r, s);
            return rc;
        });
    });
}

struct FlowUnitOptions {
    std::string unit;
    std::string data2 = "0";
};

void FlowUnitCommand(CLI::App& app, Cli& cli) {
    auto* flowUnit = app.add_subcommand("flow-unit", "select the flow unit (command 196)");
    auto o = std::make_shared<FlowUnitOptions>();
    flowUnit->add_option("unit", o->unit, "unit code or name: 17, l/min, m3/h, kg/h ...")->required();
    flowUnit->add_option("data2", o->data2, "second, device-specific byte 0..255 (default 0)");
    flowUnit->footer("Example:\n  tarvik flow-unit m3/h -p 3 -b 19200 -a 64:010203");
    flowUnit->callback([&cli, o] {
        const int code = ParseInteger(o->unit, "flow_unit");
        const int data2 = ParseInteger(o->data2, "unit_data2");
        cli.Hart("flow-unit", [code, data2](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            return UnitThenShow(
                r, t, "flow unit", code, [&] { return SelectFlowUnit(ADDR, code, data2, &s1, &s2); },
                ReadFlow);
        });
    });
}

// ---- valve override and totalizer: a state read, and a state write with its read-back ----

using StateRead = decltype(&ReadVORState);
using StateWrite = decltype(&WriteVORState);

// How one device state is read and written, and how the CLI names it.
struct StateKind {
    std::string group;    // "vor"
    std::string table;    // the facts table of its names
    std::string argument; // its name in the argument table
    std::string what;     // for the read-back warning
    std::string help;     // of the state argument
    StateRead read;
    StateWrite write;
};

void StateGetCommand(CLI::App& group, Cli& cli, const StateKind& kind, const std::string& name,
                     const std::string& help, const std::string& key, const std::string& label) {
    group.add_subcommand(name, help)->callback([&cli, kind, name, key, label] {
        cli.Hart(kind.group + " " + name,
                 [&kind, &key, &label](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
                     std::uint8_t state = 0;
                     const std::int32_t rc = kind.read(ADDR, &state, &s1, &s2);
                     if (Written(rc)) StateField(r, key, label, kind.table, state);
                     return rc;
                 });
    });
}

struct StateOptions {
    std::string state;
};

void StateSetCommand(CLI::App& group, Cli& cli, const StateKind& kind, const std::string& help) {
    auto* set = group.add_subcommand("set", help);
    auto o = std::make_shared<StateOptions>();
    set->add_option("state", o->state, kind.help)->required();
    set->callback([&cli, o, kind] {
        const int state = ParseInteger(o->state, kind.argument);
        cli.Hart(kind.group + " set",
                 [state, &kind](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
                     return WriteThenShow(
                         r, kind.what, [&] { return kind.write(ADDR, state, &s1, &s2); },
                         [&](Report& r) { StateField(r, "written", "written", kind.table, state); },
                         [&](Report& r) {
                             std::uint8_t now = 0, b1 = 0, b2 = 0;
                             const std::int32_t read = kind.read(ADDR, &now, &b1, &b2);
                             if (Written(read)) StateField(r, "now", "now", kind.table, now);
                             return read;
                         });
                 });
    });
}

void VorCommands(CLI::App& app, Cli& cli) {
    const StateKind kind{
        "vor",        "vor_states", "state", "valve override", "normal (0), closed (1), open (2)",
        ReadVORState, WriteVORState};
    auto* vor = Group(app, "vor", "valve override: get, set normal|closed|open");
    StateGetCommand(*vor, cli, kind, "get", "read the valve-override state", "vor", "valve override");
    StateSetCommand(*vor, cli, kind, "write the valve-override state");
}

void TotalizerCommands(CLI::App& app, Cli& cli) {
    const StateKind kind{"totalizer",
                         "totalizer_states",
                         "totalizer_state",
                         "totalizer state",
                         "stop (0), run (1), reset (2)",
                         ReadTotalizerState,
                         WriteTotalizerState};
    auto* total = Group(app, "totalizer", "totalizer: get, state, set stop|run|reset");
    total->add_subcommand("get", "read the totalizer value")->callback([&cli] {
        cli.Hart("totalizer get", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::int32_t value = 0;
            std::uint8_t units = 0;
            const std::int32_t rc = ReadTotalizer(ADDR, &value, &units, &s1, &s2);
            if (Written(rc)) r.RawValue("total", "total", value, units);
            return rc;
        });
    });
    StateGetCommand(*total, cli, kind, "state", "read the totalizer state", "state", "state");
    StateSetCommand(*total, cli, kind, "write the totalizer state");
}

// ---- pressure devices ----

void PressureGetCommand(CLI::App& pressure, Cli& cli) {
    pressure.add_subcommand("get", "read the pressure and its unit")->callback([&cli] {
        cli.Hart("pressure get", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::int32_t value = 0;
            std::uint8_t units = 0;
            const std::int32_t rc = ReadPressure(ADDR, &value, &units, &s1, &s2);
            if (Written(rc)) r.RawValue("pressure", "pressure", value, units);
            return rc;
        });
    });
}

struct ApplicationOptions {
    std::string application;
};
using ApplicationCall =
    std::function<std::int32_t(Report&, const Target&, int application, std::uint8_t&, std::uint8_t&)>;

void ApplicationCommand(CLI::App& pressure, Cli& cli, const std::string& name, const std::string& help,
                        ApplicationCall call) {
    auto* cmd = pressure.add_subcommand(name, help);
    auto o = std::make_shared<ApplicationOptions>();
    cmd->add_option("application", o->application,
                    "application " + tools::Arguments::Get().Allowed("application"))
        ->required();
    cmd->callback([&cli, o, name, call] {
        const int application = ParseInteger(o->application, "application");
        cli.Hart("pressure " + name,
                 [application, &call](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
                     return call(r, t, application, s1, s2);
                 });
    });
}

std::int32_t PressureRange(Report& r, const Target& t, int application, std::uint8_t& s1, std::uint8_t& s2) {
    std::int32_t value = 0;
    std::uint8_t units = 0;
    const std::int32_t rc = ReadFullScaleRangePressure(ADDR, application, &units, &value, &s1, &s2);
    if (Written(rc)) r.RawValue("full_scale", fmt::format("full scale {}", application), value, units);
    return rc;
}

std::int32_t PressureApplication(Report& r, const Target& t, int application, std::uint8_t& s1,
                                 std::uint8_t& s2) {
    const std::int32_t rc = SelectPressureApplication(ADDR, application, &s1, &s2);
    if (Written(rc)) r.Field("selected", "selected", application, fmt::format("application {}", application));
    return rc;
}

struct PressureUnitOptions {
    std::string unit;
};

void PressureUnitCommand(CLI::App& pressure, Cli& cli) {
    auto* pUnit = pressure.add_subcommand("unit", "select the pressure unit");
    auto o = std::make_shared<PressureUnitOptions>();
    pUnit->add_option("unit", o->unit, "unit code or name: 7, bar, psi, kPa ...")->required();
    pUnit->callback([&cli, o] {
        const int code = ParseInteger(o->unit, "pressure_unit");
        cli.Hart("pressure unit", [code](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            return UnitThenShow(
                r, t, "pressure unit", code, [&] { return SelectPressureUnit(ADDR, code, &s1, &s2); },
                ReadPressure);
        });
    });
}

void PressureSettingsCommand(CLI::App& pressure, Cli& cli) {
    pressure.add_subcommand("settings", "read the four operational setting bytes (command 192)")
        ->callback([&cli] {
            cli.Hart("pressure settings", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
                std::uint8_t s[4] = {};
                const std::int32_t rc =
                    ReadOperationalSettingsPressure(ADDR, &s[0], &s[1], &s[2], &s[3], &s1, &s2);
                if (Written(rc)) SettingsFields(r, s);
                return rc;
            });
        });
}

void PressureCommands(CLI::App& app, Cli& cli) {
    auto* pressure = Group(app, "pressure", "pressure devices: get, range, unit, app, settings");
    PressureGetCommand(*pressure, cli);
    ApplicationCommand(*pressure, cli, "range", "full-scale range of an application", PressureRange);
    PressureUnitCommand(*pressure, cli);
    ApplicationCommand(*pressure, cli, "app", "select the pressure application", PressureApplication);
    PressureSettingsCommand(*pressure, cli);
}

// ---- maintenance ----

struct ProtectOptions {
    std::string text;
    std::string mode;
};

void ProtectCommand(CLI::App& app, Cli& cli) {
    auto* protect = app.add_subcommand("protect", "set or clear write protection with an 8-character text");
    auto o = std::make_shared<ProtectOptions>();
    protect
        ->add_option("text", o->text,
                     "the device's key: " + tools::Arguments::Get().Allowed("protect_text") +
                         ", padded with spaces")
        ->required();
    protect->add_option("mode", o->mode, "on (1) or off (0)")->required();
    protect->footer("Examples:\n  tarvik protect SECRET12 on -p 3 -b 19200 -a 64:010203\n"
                    "  tarvik protect SECRET12 off -p 3 -b 19200 -a 64:010203");
    protect->callback([&cli, o] {
        const std::string text = ParseText(o->text, "protect_text");
        const int mode = ParseInteger(o->mode, "mode");
        cli.Hart("protect", [mode, text](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            // The device repeats the mode it now holds; the library checks that it does.
            const std::int32_t rc = WriteProtectS(
                t.port, t.baud, text.c_str(), static_cast<std::int32_t>(text.size()), t.address.id[0],
                t.address.id[1], t.address.id[2], t.address.deviceType, mode, &s1, &s2);
            if (Written(rc)) StateField(r, "protection", "protection", "protect_modes", mode);
            return rc;
        });
    });
}

void BackupCommand(CLI::App& app, Cli& cli) {
    app.add_subcommand("backup", "save the device's working data to its non-volatile memory")
        ->callback([&cli] {
            cli.Hart("backup", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
                const std::int32_t rc = BackupDatabaseS(ADDR, &s1, &s2);
                if (Written(rc)) r.Field("saved", "backup", true, "saved");
                return rc;
            });
        });
}

} // namespace

void AddDigitalCommands(CLI::App& app, Cli& cli) {
    IdCommand(app, cli);
    TagCommand(app, cli);
    FlowCommand(app, cli);
    auto* sp = Group(app, "setpoint", "read or write the set point");
    SetPointGetCommand(*sp, cli);
    SetPointSetCommand(*sp, cli);
    StatusCommand(app, cli);
    GasCommands(app, cli);
    SettingsCommand(app, cli);
    FlowUnitCommand(app, cli);
    VorCommands(app, cli);
    TotalizerCommands(app, cli);
    PressureCommands(app, cli);
    ProtectCommand(app, cli);
    BackupCommand(app, cli);
}

#undef ADDR

} // namespace tarvik::cli
