// Subcommands of the model 0731 read-out unit: `tarvik unit ...`, one per export.
#include <fmt/format.h>

#include <cmath>
#include <functional>
#include <memory>
#include <utility>

#include "Arguments.h"
#include "Cli.h"
#include "Facts.h"
#include "TarvikDLL.h"
#include "WriteShow.h"

namespace tarvik::cli {
namespace {

constexpr int kSourceSerial = 1;
constexpr int kSourceManual = 2;

// The set point as the unit will receive it with `digits` decimals: a nonzero value that would be
// sent as 0 is a usage error, not a silent zero.
float UnitSetPoint(const std::string& text, int digits) {
    const float v = ParseValue(text, "setpoint");
    if (const std::string problem = tools::Arguments::DigitsProblem(v, digits); !problem.empty())
        throw CLI::ValidationError(problem);
    return v;
}

bool UnitTook(std::int32_t rc) {
    return rc == ResultOk;
}

// A write to a channel of the unit, shown with what the channel now holds (see WriteShow.h).
std::int32_t WriteThenShow(Report& r, int channel, const std::string& what,
                           std::function<std::int32_t()> write, std::function<void(Report&)> showWritten,
                           std::function<std::int32_t(Report&)> readBack) {
    return RunWriteAndShow(r, {what, "unit", UnitTook,
                               [&r, channel, write = std::move(write)] {
                                   const std::int32_t rc = write();
                                   r.Context("channel", channel);
                                   return rc;
                               },
                               std::move(showWritten), std::move(readBack)});
}

// Every unit command names a channel first; each command keeps its own options.
struct ChannelOptions {
    std::string channel;
    std::string value;        // sp: the new set point; source: serial|manual; vor: the state; places
    std::string digits = "2"; // sp: decimals sent with the new set point
};

std::string ChannelHelp() {
    return "channel " + tools::Arguments::Get().Allowed("channel");
}

// A channel command: its subcommand with the channel argument, and its options.
std::pair<CLI::App*, std::shared_ptr<ChannelOptions>> ChannelCommand(CLI::App& unit, const std::string& name,
                                                                     const std::string& help) {
    auto* cmd = unit.add_subcommand(name, help);
    auto o = std::make_shared<ChannelOptions>();
    cmd->add_option("channel", o->channel, ChannelHelp())->required();
    return {cmd, o};
}

int Channel(const ChannelOptions& o) {
    return ParseInteger(o.channel, "channel");
}

void TestCommand(CLI::App& unit, Cli& cli) {
    unit.add_subcommand("test", "check the link and the unit's identity")->callback([&cli] {
        cli.Unit("unit test", [](Report& r, int port) {
            const std::int32_t rc = TestComs_0731(port);
            if (rc == ResultOk)
                r.Field("identity", "identity", "Tarvik Instrument 0731", "Tarvik Instrument 0731 confirmed");
            return rc;
        });
    });
}

// A channel command that only reads: `read` fills the report for the given channel.
void ReadCommand(CLI::App& unit, Cli& cli, const std::string& name, const std::string& help,
                 std::function<std::int32_t(Report&, int port, int channel)> read) {
    auto [cmd, o] = ChannelCommand(unit, name, help);
    cmd->callback([&cli, o = o, name, read] {
        const int channel = Channel(*o);
        cli.Unit("unit " + name, [channel, &read](Report& r, int port) { return read(r, port, channel); });
    });
}

std::int32_t ReadPv(Report& r, int port, int channel) {
    float v = 0;
    const std::int32_t rc = ReadProcessVariable_0731(port, channel, &v);
    r.Context("channel", channel);
    if (rc == ResultOk) r.FloatValue("pv", "process value", v);
    return rc;
}

std::int32_t ReadUnits(Report& r, int port, int channel) {
    std::int32_t measure = 0, time = 0;
    r.Context("channel", channel);
    std::int32_t rc = ReadMeasureUnit_0731(port, channel, &measure);
    if (rc != ResultOk) return rc;
    r.Field("measure_unit", "measure unit", measure, fmt::format("code {}", measure));
    rc = ReadTimeUnit_0731(port, channel, &time);
    if (rc == ResultOk) r.Field("time_unit", "time unit", time, fmt::format("code {}", time));
    return rc;
}

std::int32_t ReadFullScale(Report& r, int port, int channel) {
    float v = 0;
    const std::int32_t rc = ReadFullScale_0731(port, channel, &v);
    r.Context("channel", channel);
    if (rc == ResultOk) r.FloatValue("full_scale", "full scale", v);
    return rc;
}

void SetPointCommand(CLI::App& unit, Cli& cli) {
    auto [sp, o] =
        ChannelCommand(unit, "sp", "read a channel's set point, or write it when a value is given");
    sp->add_option("value", o->value, "new set point");
    sp->add_option("--digits", o->digits, "decimals sent with the new set point (0..3, default 2)");
    sp->callback([&cli, o = o] {
        const int channel = Channel(*o);
        if (o->value.empty()) {
            cli.Unit("unit sp", [channel](Report& r, int port) {
                float v = 0;
                const std::int32_t rc = ReadSetPoint_0731(port, channel, &v);
                r.Context("channel", channel);
                if (rc == ResultOk) r.FloatValue("setpoint", "set point", v);
                return rc;
            });
            return;
        }
        const int digits = ParseInteger(o->digits, "digits");
        const float v = UnitSetPoint(o->value, digits);
        cli.Unit("unit sp set", [channel, v, digits](Report& r, int port) {
            return WriteThenShow(
                r, channel, "set point", [&] { return WriteSetPoint_0731(port, channel, digits, v); },
                [&](Report& r) { r.FloatValue("written", "written", v); },
                [&](Report& r) {
                    float now = 0;
                    const std::int32_t read = ReadSetPoint_0731(port, channel, &now);
                    if (read == ResultOk) r.FloatValue("now", "now", now);
                    return read;
                });
        });
    });
}

void SourceField(Report& r, const std::string& key, std::uint8_t code) {
    const std::string name = tools::Facts::Get().CodeName("setpoint_sources", code);
    r.Field(key, key, Json{{"code", code}, {"name", name}}, fmt::format("{} ({})", name, code));
}

std::int32_t WriteSource(Report& r, int port, int channel, const std::string& source) {
    const bool serial = source == "serial";
    return WriteThenShow(
        r, channel, "set-point source",
        [&] {
            return serial ? WriteSerialSetPointSource_0731(port, channel)
                          : WriteManualSetPointSource_0731(port, channel);
        },
        [&](Report& r) {
            r.Field("written", "written",
                    Json{{"code", serial ? kSourceSerial : kSourceManual}, {"name", source}}, source);
        },
        [&](Report& r) {
            std::uint8_t now = 0;
            const std::int32_t read = ReadSetPointSource_0731(port, channel, &now);
            if (read == ResultOk) SourceField(r, "now", now);
            return read;
        });
}

void SourceCommand(CLI::App& unit, Cli& cli) {
    auto [source, o] =
        ChannelCommand(unit, "source", "read a channel's set-point source, or set it to serial|manual");
    source->add_option("source", o->value, "serial or manual")->check(CLI::IsMember({"serial", "manual"}));
    source->callback([&cli, o = o] {
        const int channel = Channel(*o);
        if (o->value.empty()) {
            cli.Unit("unit source", [channel](Report& r, int port) {
                std::uint8_t s = 0;
                const std::int32_t rc = ReadSetPointSource_0731(port, channel, &s);
                r.Context("channel", channel);
                if (rc == ResultOk) SourceField(r, "source", s);
                return rc;
            });
            return;
        }
        cli.Unit("unit source set", [channel, source = o->value](Report& r, int port) {
            return WriteSource(r, port, channel, source);
        });
    });
}

void VorCommand(CLI::App& unit, Cli& cli) {
    auto [vor, o] =
        ChannelCommand(unit, "vor", "set a channel's valve override (normal|closed|open or 0..2)");
    vor->add_option("state", o->value, "normal (0), closed (1), open (2)")->required();
    vor->callback([&cli, o = o] {
        const int channel = Channel(*o);
        cli.Unit("unit vor", [channel, s = ParseInteger(o->value, "state")](Report& r, int port) {
            const std::int32_t rc = WriteVORState_0731(port, channel, s);
            r.Context("channel", channel);
            if (rc == ResultOk)
                r.Field("written", "written",
                        Json{{"code", s}, {"name", tools::Facts::Get().CodeName("vor_states", s)}},
                        fmt::format("{} ({})", s, tools::Facts::Get().CodeName("vor_states", s)));
            return rc;
        });
    });
}

std::int32_t WritePlaces(Report& r, int port, int channel, int places) {
    return WriteThenShow(
        r, channel, "decimal places", [&] { return WriteDecimalPlace_0731(port, channel, places); },
        [&](Report& r) { r.Field("written", "written", places, std::to_string(places)); },
        [&](Report& r) {
            std::int32_t now = 0;
            const std::int32_t read = ReadDecimalPlace_0731(port, channel, &now);
            if (read == ResultOk) r.Field("now", "now", now, std::to_string(now));
            return read;
        });
}

void PlacesCommand(CLI::App& unit, Cli& cli) {
    auto [places, o] =
        ChannelCommand(unit, "places", "read a channel's decimal places, or write them (0..3)");
    auto* placesOpt = places->add_option(
        "places", o->value, "new number of decimal places " + tools::Arguments::Get().Allowed("places"));
    places->callback([&cli, o = o, placesOpt] {
        const int channel = Channel(*o);
        if (placesOpt->count() == 0) {
            cli.Unit("unit places", [channel](Report& r, int port) {
                std::int32_t p = 0;
                const std::int32_t rc = ReadDecimalPlace_0731(port, channel, &p);
                r.Context("channel", channel);
                if (rc == ResultOk) r.Field("places", "decimal places", p, std::to_string(p));
                return rc;
            });
            return;
        }
        cli.Unit("unit places set", [channel, value = ParseInteger(o->value, "places")](Report& r, int port) {
            return WritePlaces(r, port, channel, value);
        });
    });
}

} // namespace

void AddReadoutCommands(CLI::App& app, Cli& cli) {
    auto* unit = app.add_subcommand(
        "unit", "model 0731 read-out unit: test, pv, sp, source, vor, units, full-scale, places");
    unit->require_subcommand(1);
    unit->footer("The unit talks at 9600 8N1; no baud rate or address is needed. Examples:\n"
                 "  tarvik unit test -p 5\n  tarvik unit pv 1 -p 5\n  tarvik unit sp 1 42.5 --digits 1 -p 5");
    TestCommand(*unit, cli);
    ReadCommand(*unit, cli, "pv", "read a channel's process value", ReadPv);
    SetPointCommand(*unit, cli);
    SourceCommand(*unit, cli);
    VorCommand(*unit, cli);
    ReadCommand(*unit, cli, "units", "read a channel's measure unit and time unit codes", ReadUnits);
    ReadCommand(*unit, cli, "full-scale", "read a channel's full-scale value", ReadFullScale);
    PlacesCommand(*unit, cli);
}

} // namespace tarvik::cli
