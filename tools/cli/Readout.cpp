// Subcommands of the model 0731 read-out unit: `tarvik unit ...`, one per export.
#include <fmt/format.h>

#include <cmath>

#include "Arguments.h"
#include "Cli.h"
#include "Facts.h"
#include "TarvikDLL.h"

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

void ReadBackFailed(Report& r, const std::string& what, std::int32_t rc) {
    const auto fact = tools::Facts::Get().Result(rc);
    r.Warning(fmt::format("the unit took the write, but reading back the {} failed: {}", what,
                          fact ? fact->name : std::to_string(rc)));
}

} // namespace

void AddReadoutCommands(CLI::App& app, Cli& cli) {
    auto* unit = app.add_subcommand(
        "unit", "model 0731 read-out unit: test, pv, sp, source, vor, units, full-scale, places");
    unit->require_subcommand(1);
    unit->footer("The unit talks at 9600 8N1; no baud rate or address is needed. Examples:\n"
                 "  tarvik unit test -p 5\n  tarvik unit pv 1 -p 5\n  tarvik unit sp 1 42.5 --digits 1 -p 5");
    static std::string channelText;
    static int channel = 1;
    const auto channelArgument = [] { channel = ParseInteger(channelText, "channel"); };
    const std::string channelHelp = "channel " + tools::Arguments::Get().Allowed("channel");

    unit->add_subcommand("test", "check the link and the unit's identity")->callback([&cli] {
        cli.Unit("unit test", [](Report& r, int port) {
            const std::int32_t rc = TestComs_0731(port);
            if (rc == ResultOk)
                r.Field("identity", "identity", "Tarvik Instrument 0731", "Tarvik Instrument 0731 confirmed");
            return rc;
        });
    });

    auto* pv = unit->add_subcommand("pv", "read a channel's process value");
    pv->add_option("channel", channelText, channelHelp)->required();
    pv->callback([&cli, channelArgument] {
        channelArgument();
        cli.Unit("unit pv", [](Report& r, int port) {
            float v = 0;
            const std::int32_t rc = ReadProcessVariable_0731(port, channel, &v);
            r.Context("channel", channel);
            if (rc == ResultOk) r.FloatValue("pv", "process value", v);
            return rc;
        });
    });

    auto* sp = unit->add_subcommand("sp", "read a channel's set point, or write it when a value is given");
    static std::string spValue;
    static std::string digitsText = "2";
    sp->add_option("channel", channelText, channelHelp)->required();
    sp->add_option("value", spValue, "new set point");
    sp->add_option("--digits", digitsText, "decimals sent with the new set point (0..3, default 2)");
    sp->callback([&cli, channelArgument] {
        channelArgument();
        if (spValue.empty()) {
            cli.Unit("unit sp", [](Report& r, int port) {
                float v = 0;
                const std::int32_t rc = ReadSetPoint_0731(port, channel, &v);
                r.Context("channel", channel);
                if (rc == ResultOk) r.FloatValue("setpoint", "set point", v);
                return rc;
            });
            return;
        }
        const int digits = ParseInteger(digitsText, "digits");
        const float v = UnitSetPoint(spValue, digits);
        cli.Unit("unit sp set", [v, digits](Report& r, int port) {
            const std::int32_t rc = WriteSetPoint_0731(port, channel, digits, v);
            r.Context("channel", channel);
            if (rc != ResultOk) return rc;
            r.FloatValue("written", "written", v);
            float now = 0;
            const std::int32_t read = ReadSetPoint_0731(port, channel, &now);
            if (read == ResultOk)
                r.FloatValue("now", "now", now);
            else
                ReadBackFailed(r, "set point", read);
            return rc;
        });
    });

    auto* source =
        unit->add_subcommand("source", "read a channel's set-point source, or set it to serial|manual");
    static std::string sourceText;
    source->add_option("channel", channelText, channelHelp)->required();
    source->add_option("source", sourceText, "serial or manual")->check(CLI::IsMember({"serial", "manual"}));
    source->callback([&cli, channelArgument] {
        channelArgument();
        if (sourceText.empty()) {
            cli.Unit("unit source", [](Report& r, int port) {
                std::uint8_t s = 0;
                const std::int32_t rc = ReadSetPointSource_0731(port, channel, &s);
                r.Context("channel", channel);
                if (rc == ResultOk) {
                    const std::string name = tools::Facts::Get().CodeName("setpoint_sources", s);
                    r.Field("source", "source", Json{{"code", s}, {"name", name}},
                            fmt::format("{} ({})", name, s));
                }
                return rc;
            });
            return;
        }
        cli.Unit("unit source set", [](Report& r, int port) {
            const bool serial = sourceText == "serial";
            const std::int32_t rc = serial ? WriteSerialSetPointSource_0731(port, channel)
                                           : WriteManualSetPointSource_0731(port, channel);
            r.Context("channel", channel);
            if (rc != ResultOk) return rc;
            r.Field("written", "written",
                    Json{{"code", serial ? kSourceSerial : kSourceManual}, {"name", sourceText}}, sourceText);
            std::uint8_t now = 0;
            const std::int32_t read = ReadSetPointSource_0731(port, channel, &now);
            if (read == ResultOk) {
                const std::string name = tools::Facts::Get().CodeName("setpoint_sources", now);
                r.Field("now", "now", Json{{"code", now}, {"name", name}}, fmt::format("{} ({})", name, now));
            } else {
                ReadBackFailed(r, "set-point source", read);
            }
            return rc;
        });
    });

    auto* vor = unit->add_subcommand("vor", "set a channel's valve override (normal|closed|open or 0..2)");
    static std::string vorText;
    vor->add_option("channel", channelText, channelHelp)->required();
    vor->add_option("state", vorText, "normal (0), closed (1), open (2)")->required();
    vor->callback([&cli, channelArgument] {
        channelArgument();
        cli.Unit("unit vor", [s = ParseInteger(vorText, "state")](Report& r, int port) {
            const std::int32_t rc = WriteVORState_0731(port, channel, s);
            r.Context("channel", channel);
            if (rc == ResultOk)
                r.Field("written", "written",
                        Json{{"code", s}, {"name", tools::Facts::Get().CodeName("vor_states", s)}},
                        fmt::format("{} ({})", s, tools::Facts::Get().CodeName("vor_states", s)));
            return rc;
        });
    });

    auto* units = unit->add_subcommand("units", "read a channel's measure unit and time unit codes");
    units->add_option("channel", channelText, channelHelp)->required();
    units->callback([&cli, channelArgument] {
        channelArgument();
        cli.Unit("unit units", [](Report& r, int port) {
            std::int32_t measure = 0, time = 0;
            r.Context("channel", channel);
            std::int32_t rc = ReadMeasureUnit_0731(port, channel, &measure);
            if (rc != ResultOk) return rc;
            r.Field("measure_unit", "measure unit", measure, fmt::format("code {}", measure));
            rc = ReadTimeUnit_0731(port, channel, &time);
            if (rc == ResultOk) r.Field("time_unit", "time unit", time, fmt::format("code {}", time));
            return rc;
        });
    });

    auto* fullScale = unit->add_subcommand("full-scale", "read a channel's full-scale value");
    fullScale->add_option("channel", channelText, channelHelp)->required();
    fullScale->callback([&cli, channelArgument] {
        channelArgument();
        cli.Unit("unit full-scale", [](Report& r, int port) {
            float v = 0;
            const std::int32_t rc = ReadFullScale_0731(port, channel, &v);
            r.Context("channel", channel);
            if (rc == ResultOk) r.FloatValue("full_scale", "full scale", v);
            return rc;
        });
    });

    auto* places = unit->add_subcommand("places", "read a channel's decimal places, or write them (0..3)");
    static std::string placesText;
    places->add_option("channel", channelText, channelHelp)->required();
    auto* placesOpt = places->add_option(
        "places", placesText, "new number of decimal places " + tools::Arguments::Get().Allowed("places"));
    places->callback([&cli, channelArgument, placesOpt] {
        channelArgument();
        if (placesOpt->count() == 0) {
            cli.Unit("unit places", [](Report& r, int port) {
                std::int32_t p = 0;
                const std::int32_t rc = ReadDecimalPlace_0731(port, channel, &p);
                r.Context("channel", channel);
                if (rc == ResultOk) r.Field("places", "decimal places", p, std::to_string(p));
                return rc;
            });
            return;
        }
        cli.Unit("unit places set", [placesValue = ParseInteger(placesText, "places")](Report& r, int port) {
            const std::int32_t rc = WriteDecimalPlace_0731(port, channel, placesValue);
            r.Context("channel", channel);
            if (rc != ResultOk) return rc;
            r.Field("written", "written", placesValue, std::to_string(placesValue));
            std::int32_t now = 0;
            const std::int32_t read = ReadDecimalPlace_0731(port, channel, &now);
            if (read == ResultOk)
                r.Field("now", "now", now, std::to_string(now));
            else
                ReadBackFailed(r, "decimal places", read);
            return rc;
        });
    });
}

} // namespace tarvik::cli
