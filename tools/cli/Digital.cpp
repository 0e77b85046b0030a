// Subcommands of the digital (HART) family: one per export, grouped by what they touch.
#include <fmt/format.h>

#include <cmath>
#include <functional>

#include "Arguments.h"
#include "Cli.h"
#include "Facts.h"
#include "TarvikDLL.h"

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

// After a write the device took, what it now holds: `read` reads it back into the report. A failed
// read only warns, since the write itself went through.
void ReadBack(Report& r, const std::string& what, const std::function<std::int32_t()>& read) {
    const std::int32_t rc = read();
    if (Written(rc)) return;
    const auto fact = tools::Facts::Get().Result(rc);
    r.Warning(fmt::format("the device took the write, but reading back the {} failed: {}", what,
                          fact ? fact->name : std::to_string(rc)));
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

} // namespace

void AddDigitalCommands(CLI::App& app, Cli& cli) {
    // ---- identity ----
    auto* id = app.add_subcommand("id", "read the device's address (broadcast identity, or by tag)");
    static std::string tag;
    id->add_option("--tag", tag,
                   "find the device with this tag (command 11): " + tools::Arguments::Get().Allowed("tag") +
                       ", padded with spaces as tarvik tag shows it");
    id->footer("Examples:\n  tarvik id -p 3 -b 19200\n  tarvik id -p 3 -b 19200 --tag FT-103");
    id->callback([&cli] {
        if (!tag.empty()) tag = ParseText(tag, "tag");
        cli.Broadcast("id", [](Report& r, int port, int baud, std::uint8_t& s1, std::uint8_t& s2) {
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

    // ---- flow, set point, status ----
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

    auto* sp = Group(app, "setpoint", "read or write the set point");
    sp->add_subcommand("get", "read the set point in percent and in the flow unit")->callback([&cli] {
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
    auto* spSet = sp->add_subcommand("set", "write the set point (percent, or --in-units)");
    static std::string spValue;
    static bool spInUnits = false;
    spSet->add_option("value", spValue, "new set point")->required();
    spSet->add_flag("--in-units", spInUnits, "the value is in the device's flow unit (unit code 250)");
    spSet->footer("Examples:\n  tarvik setpoint set 50 -p 3 -b 19200 -a 64:010203      (50 %)\n"
                  "  tarvik setpoint set 12.5 --in-units -p 3 -b 19200 -a 64:010203");
    spSet->callback([&cli] {
        const float v = ParseValue(spValue, "setpoint");
        const int unit = spInUnits ? kUnitInFlowUnits : kUnitPercent;
        cli.Hart("setpoint set", [v, unit](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            const std::int32_t rc = WriteSetPoint(ADDR, unit, RawOfFloat(v), &s1, &s2);
            if (!Written(rc)) return rc;
            r.Field("written", "written", Json{{"value", NumberJson(v)}, {"unit", unit}},
                    unit == kUnitPercent ? Number(v) + " %" : Number(v) + " (in the flow unit)");
            ReadBack(r, "set point", [&] {
                std::int32_t pct = 0, inUnits = 0;
                std::uint8_t units = 0, b1 = 0, b2 = 0;
                const std::int32_t read = ReadSetPoint(ADDR, &pct, &units, &inUnits, &b1, &b2);
                if (Written(read)) {
                    r.RawValue("now", "now", pct, kUnitPercent);
                    r.RawValue("now_in_units", "in units", inUnits, units);
                }
                return read;
            });
            return rc;
        });
    });

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

    // ---- gas and units ----
    auto* gas = Group(app, "gas", "gas table: data, name, select, list");
    static std::string gasText;
    static int gasNumber = 1;
    const auto gasArgument = [] { gasNumber = ParseInteger(gasText, "gas"); };
    auto* gasData = gas->add_subcommand("data", "four unit/value pairs of a gas entry");
    gasData->add_option("number", gasText, "gas entry " + tools::Arguments::Get().Allowed("gas"))->required();
    gasData->callback([&cli, gasArgument] {
        gasArgument();
        cli.Hart("gas data", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::uint8_t u[4] = {};
            std::int32_t v[4] = {};
            const std::int32_t rc = ReadGasData(ADDR, gasNumber, &u[0], &v[0], &u[1], &v[1], &u[2], &v[2],
                                                &u[3], &v[3], &s1, &s2);
            if (Written(rc))
                for (int i = 0; i < 4; ++i)
                    r.RawValue(fmt::format("value{}", i + 1), fmt::format("value {}", i + 1), v[i], u[i]);
            return rc;
        });
    });
    auto* gasName = gas->add_subcommand("name", "the 12-character name of a gas entry");
    gasName->add_option("number", gasText, "gas entry " + tools::Arguments::Get().Allowed("gas"))->required();
    gasName->callback([&cli, gasArgument] {
        gasArgument();
        cli.Hart("gas name", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            char text[kGasTextLength] = {};
            const std::int32_t rc = ReadProcessGasType(ADDR, gasNumber, text, &s1, &s2);
            if (Written(rc)) {
                const std::string name = Printable(Trimmed(std::string(text, kGasTextLength)));
                r.Field("gas", "gas", Json{{"number", gasNumber}, {"name", name}},
                        fmt::format("{}: {}", gasNumber, name));
            }
            return rc;
        });
    });
    auto* gasSelect = gas->add_subcommand("select", "make a gas entry the active one");
    gasSelect->add_option("number", gasText, "gas entry " + tools::Arguments::Get().Allowed("gas"))
        ->required();
    gasSelect->callback([&cli, gasArgument] {
        gasArgument();
        cli.Hart("gas select", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            const std::int32_t rc = SelectGasNumber(ADDR, gasNumber, &s1, &s2);
            if (Written(rc)) r.Field("selected", "selected", gasNumber, fmt::format("gas {}", gasNumber));
            return rc;
        });
    });
    gas->add_subcommand("list", "the names of all ten gas entries")->callback([&cli] {
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

    app.add_subcommand("settings", "read the four operational setting bytes (command 193)")->callback([&cli] {
        cli.Hart("settings", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::uint8_t s[4] = {};
            const std::int32_t rc = ReadOperationalSettings(ADDR, &s[0], &s[1], &s[2], &s[3], &s1, &s2);
            if (Written(rc)) SettingsFields(r, s);
            return rc;
        });
    });

    auto* flowUnit = app.add_subcommand("flow-unit", "select the flow unit (command 196)");
    static std::string unitText;
    static std::string unitData2Text = "0";
    flowUnit->add_option("unit", unitText, "unit code or name: 17, l/min, m3/h, kg/h ...")->required();
    flowUnit->add_option("data2", unitData2Text, "second, device-specific byte 0..255 (default 0)");
    flowUnit->footer("Example:\n  tarvik flow-unit m3/h -p 3 -b 19200 -a 64:010203");
    flowUnit->callback([&cli] {
        const int code = ParseInteger(unitText, "flow_unit");
        const int data2 = ParseInteger(unitData2Text, "unit_data2");
        cli.Hart("flow-unit", [code, data2](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            const std::int32_t rc = SelectFlowUnit(ADDR, code, data2, &s1, &s2);
            if (!Written(rc)) return rc;
            r.UnitCode("selected", "selected", code);
            ReadBack(r, "flow unit", [&] {
                std::int32_t value = 0;
                std::uint8_t units = 0, b1 = 0, b2 = 0;
                const std::int32_t read = ReadFlow(ADDR, &value, &units, &b1, &b2);
                if (Written(read)) r.UnitCode("now", "flow unit now", units);
                return read;
            });
            return rc;
        });
    });

    // ---- valve override and totalizer ----
    auto* vor = Group(app, "vor", "valve override: get, set normal|closed|open");
    vor->add_subcommand("get", "read the valve-override state")->callback([&cli] {
        cli.Hart("vor get", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::uint8_t state = 0;
            const std::int32_t rc = ReadVORState(ADDR, &state, &s1, &s2);
            if (Written(rc)) StateField(r, "vor", "valve override", "vor_states", state);
            return rc;
        });
    });
    auto* vorSet = vor->add_subcommand("set", "write the valve-override state");
    static std::string stateText;
    vorSet->add_option("state", stateText, "normal (0), closed (1), open (2)")->required();
    vorSet->callback([&cli] {
        const int state = ParseInteger(stateText, "state");
        cli.Hart("vor set", [state](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            const std::int32_t rc = WriteVORState(ADDR, state, &s1, &s2);
            if (!Written(rc)) return rc;
            StateField(r, "written", "written", "vor_states", state);
            ReadBack(r, "valve override", [&] {
                std::uint8_t now = 0, b1 = 0, b2 = 0;
                const std::int32_t read = ReadVORState(ADDR, &now, &b1, &b2);
                if (Written(read)) StateField(r, "now", "now", "vor_states", now);
                return read;
            });
            return rc;
        });
    });

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
    total->add_subcommand("state", "read the totalizer state")->callback([&cli] {
        cli.Hart("totalizer state", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::uint8_t state = 0;
            const std::int32_t rc = ReadTotalizerState(ADDR, &state, &s1, &s2);
            if (Written(rc)) StateField(r, "state", "state", "totalizer_states", state);
            return rc;
        });
    });
    auto* totalSet = total->add_subcommand("set", "write the totalizer state");
    totalSet->add_option("state", stateText, "stop (0), run (1), reset (2)")->required();
    totalSet->callback([&cli] {
        const int state = ParseInteger(stateText, "totalizer_state");
        cli.Hart("totalizer set", [state](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            const std::int32_t rc = WriteTotalizerState(ADDR, state, &s1, &s2);
            if (!Written(rc)) return rc;
            StateField(r, "written", "written", "totalizer_states", state);
            ReadBack(r, "totalizer state", [&] {
                std::uint8_t now = 0, b1 = 0, b2 = 0;
                const std::int32_t read = ReadTotalizerState(ADDR, &now, &b1, &b2);
                if (Written(read)) StateField(r, "now", "now", "totalizer_states", now);
                return read;
            });
            return rc;
        });
    });

    // ---- pressure devices ----
    auto* pressure = Group(app, "pressure", "pressure devices: get, range, unit, app, settings");
    pressure->add_subcommand("get", "read the pressure and its unit")->callback([&cli] {
        cli.Hart("pressure get", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::int32_t value = 0;
            std::uint8_t units = 0;
            const std::int32_t rc = ReadPressure(ADDR, &value, &units, &s1, &s2);
            if (Written(rc)) r.RawValue("pressure", "pressure", value, units);
            return rc;
        });
    });
    static std::string applicationText;
    static int application = 1;
    const auto applicationArgument = [] { application = ParseInteger(applicationText, "application"); };
    auto* range = pressure->add_subcommand("range", "full-scale range of an application");
    range
        ->add_option("application", applicationText,
                     "application " + tools::Arguments::Get().Allowed("application"))
        ->required();
    range->callback([&cli, applicationArgument] {
        applicationArgument();
        cli.Hart("pressure range", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            std::int32_t value = 0;
            std::uint8_t units = 0;
            const std::int32_t rc = ReadFullScaleRangePressure(ADDR, application, &units, &value, &s1, &s2);
            if (Written(rc))
                r.RawValue("full_scale", fmt::format("full scale {}", application), value, units);
            return rc;
        });
    });
    auto* pUnit = pressure->add_subcommand("unit", "select the pressure unit");
    pUnit->add_option("unit", unitText, "unit code or name: 7, bar, psi, kPa ...")->required();
    pUnit->callback([&cli] {
        const int code = ParseInteger(unitText, "pressure_unit");
        cli.Hart("pressure unit", [code](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            const std::int32_t rc = SelectPressureUnit(ADDR, code, &s1, &s2);
            if (!Written(rc)) return rc;
            r.UnitCode("selected", "selected", code);
            ReadBack(r, "pressure unit", [&] {
                std::int32_t value = 0;
                std::uint8_t units = 0, b1 = 0, b2 = 0;
                const std::int32_t read = ReadPressure(ADDR, &value, &units, &b1, &b2);
                if (Written(read)) r.UnitCode("now", "pressure unit now", units);
                return read;
            });
            return rc;
        });
    });
    auto* app6 = pressure->add_subcommand("app", "select the pressure application");
    app6->add_option("application", applicationText,
                     "application " + tools::Arguments::Get().Allowed("application"))
        ->required();
    app6->callback([&cli, applicationArgument] {
        applicationArgument();
        cli.Hart("pressure app", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            const std::int32_t rc = SelectPressureApplication(ADDR, application, &s1, &s2);
            if (Written(rc))
                r.Field("selected", "selected", application, fmt::format("application {}", application));
            return rc;
        });
    });
    pressure->add_subcommand("settings", "read the four operational setting bytes (command 192)")
        ->callback([&cli] {
            cli.Hart("pressure settings", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
                std::uint8_t s[4] = {};
                const std::int32_t rc =
                    ReadOperationalSettingsPressure(ADDR, &s[0], &s[1], &s[2], &s[3], &s1, &s2);
                if (Written(rc)) SettingsFields(r, s);
                return rc;
            });
        });

    // ---- maintenance ----
    auto* protect = app.add_subcommand("protect", "set or clear write protection with an 8-character text");
    static std::string protectText;
    static std::string protectMode;
    protect
        ->add_option("text", protectText,
                     "the device's key: " + tools::Arguments::Get().Allowed("protect_text") +
                         ", padded with spaces")
        ->required();
    protect->add_option("mode", protectMode, "on (1) or off (0)")->required();
    protect->footer("Examples:\n  tarvik protect SECRET12 on -p 3 -b 19200 -a 64:010203\n"
                    "  tarvik protect SECRET12 off -p 3 -b 19200 -a 64:010203");
    protect->callback([&cli] {
        const std::string text = ParseText(protectText, "protect_text");
        const int mode = ParseInteger(protectMode, "mode");
        cli.Hart("protect", [mode, text](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
            // The device repeats the mode it now holds; the library checks that it does.
            const std::int32_t rc = WriteProtectS(
                t.port, t.baud, text.c_str(), static_cast<std::int32_t>(text.size()), t.address.id[0],
                t.address.id[1], t.address.id[2], t.address.deviceType, mode, &s1, &s2);
            if (Written(rc)) StateField(r, "protection", "protection", "protect_modes", mode);
            return rc;
        });
    });
    app.add_subcommand("backup", "save the device's working data to its non-volatile memory")
        ->callback([&cli] {
            cli.Hart("backup", [](Report& r, const Target& t, std::uint8_t& s1, std::uint8_t& s2) {
                const std::int32_t rc = BackupDatabaseS(ADDR, &s1, &s2);
                if (Written(rc)) r.Field("saved", "backup", true, "saved");
                return rc;
            });
        });
}

#undef ADDR

} // namespace tarvik::cli
