// Subcommands of the model 0731 read-out unit: `tarvik unit ...`, one per export.
#include <fmt/format.h>

#include "Cli.h"
#include "Facts.h"
#include "TarvikDLL.h"

namespace tarvik::cli {
namespace {

constexpr int kSourceSerial = 1;
constexpr int kSourceManual = 2;

} // namespace

void AddReadoutCommands(CLI::App& app, Cli& cli) {
    auto* unit = app.add_subcommand(
        "unit", "model 0731 read-out unit: test, pv, sp, source, vor, units, full-scale, places");
    unit->require_subcommand(1);
    unit->footer("The unit talks at 9600 8N1; no baud rate or address is needed. Examples:\n"
                 "  tarvik unit test -p 5\n  tarvik unit pv 1 -p 5\n  tarvik unit sp 1 42.5 --digits 1 -p 5");
    static int channel = 1;

    unit->add_subcommand("test", "check the link and the unit's identity")->callback([&cli] {
        cli.Unit("unit test", [](Report& r, int port) {
            const std::int32_t rc = TestComs_0731(port);
            if (rc == ResultOk)
                r.Field("identity", "identity", "Tarvik Instrument 0731", "Tarvik Instrument 0731 confirmed");
            return rc;
        });
    });

    auto* pv = unit->add_subcommand("pv", "read a channel's process value");
    pv->add_option("channel", channel, "channel 1..4")->required();
    pv->callback([&cli] {
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
    static int digits = 2;
    sp->add_option("channel", channel, "channel 1..4")->required();
    sp->add_option("value", spValue, "new set point");
    sp->add_option("--digits", digits, "decimals sent with the new set point (0..3)")->default_val(2);
    sp->callback([&cli] {
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
        const float v = ParseValue(spValue, "value");
        cli.Unit("unit sp set", [v](Report& r, int port) {
            const std::int32_t rc = WriteSetPoint_0731(port, channel, digits, v);
            r.Context("channel", channel);
            if (rc == ResultOk) r.FloatValue("written", "written", v);
            return rc;
        });
    });

    auto* source =
        unit->add_subcommand("source", "read a channel's set-point source, or set it to serial|manual");
    static std::string sourceText;
    source->add_option("channel", channel, "channel 1..4")->required();
    source->add_option("source", sourceText, "serial or manual")->check(CLI::IsMember({"serial", "manual"}));
    source->callback([&cli] {
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
            if (rc == ResultOk)
                r.Field("written", "written",
                        Json{{"code", serial ? kSourceSerial : kSourceManual}, {"name", sourceText}},
                        sourceText);
            return rc;
        });
    });

    auto* vor = unit->add_subcommand("vor", "set a channel's valve override (normal|closed|open or 0..2)");
    static std::string vorText;
    vor->add_option("channel", channel, "channel 1..4")->required();
    vor->add_option("state", vorText, "normal (0), closed (1), open (2)")->required();
    vor->callback([&cli] {
        const auto state = tools::Facts::Get().CodeByName("vor_states", vorText);
        if (!state)
            throw CLI::ValidationError("state", "'" + vorText + "' is not normal, closed, open or a number");
        cli.Unit("unit vor", [s = *state](Report& r, int port) {
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
    units->add_option("channel", channel, "channel 1..4")->required();
    units->callback([&cli] {
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
    fullScale->add_option("channel", channel, "channel 1..4")->required();
    fullScale->callback([&cli] {
        cli.Unit("unit full-scale", [](Report& r, int port) {
            float v = 0;
            const std::int32_t rc = ReadFullScale_0731(port, channel, &v);
            r.Context("channel", channel);
            if (rc == ResultOk) r.FloatValue("full_scale", "full scale", v);
            return rc;
        });
    });

    auto* places = unit->add_subcommand("places", "read a channel's decimal places, or write them (0..3)");
    static int placesValue = -1;
    places->add_option("channel", channel, "channel 1..4")->required();
    auto* placesOpt = places->add_option("places", placesValue, "new number of decimal places");
    places->callback([&cli, placesOpt] {
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
        cli.Unit("unit places set", [](Report& r, int port) {
            const std::int32_t rc = WriteDecimalPlace_0731(port, channel, placesValue);
            r.Context("channel", channel);
            if (rc == ResultOk) r.Field("written", "written", placesValue, std::to_string(placesValue));
            return rc;
        });
    });
}

} // namespace tarvik::cli
