// tarvik/HartFields.h - the replies of a HART device's universal commands as named values.
//
// WalkHartReply decodes a reply's data with the library's HART codec and hands each value, in a
// fixed order, to a sink that renders it: the C surface (TarvikHartDecode, HartC.h) fills its
// field array, the command line prints text or JSON. The walk is the one place that knows which
// command carries which values; a sink only knows how to show a kind of value.
//
// Each value comes with its name: `key` names it in the C fields and the command line's JSON,
// `label` is the command line's text label, `unit` a fixed unit of a number ("mA"), if any.
// A value the reply is too short to carry is left out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "HartTypes.h"
#include "Link.h"

namespace tarvik::link {

struct HartFieldName {
    const char* key;
    const char* label;
    const char* unit = "";
};

// What an integer means beyond its number.
enum class HartInteger {
    Plain,
    UnitCode,         // a unit code of the decoding table
    TransferFunction, // 0 linear, 1 square root
};

class HartFieldSink {
public:
    virtual void Integer(const HartFieldName& name, std::int64_t value, HartInteger kind) = 0;
    // `unitCode`: the unit code the number is in, when a field of the reply gives it.
    virtual void Real(const HartFieldName& name, float value, std::optional<std::uint8_t> unitCode) = 0;
    // A measured variable: its value and unit code (`unitKey` names the unit code apart).
    virtual void Measured(const HartFieldName& name, const char* unitKey, std::optional<float> value,
                          std::optional<std::uint8_t> unitCode) = 0;
    virtual void Text(const HartFieldName& name, std::string_view text) = 0;
    virtual void Bytes(const HartFieldName& name, std::span<const std::uint8_t> bytes) = 0;
    // The date of commands 13 and 18; each part may be missing from a short reply.
    virtual void Date(std::optional<std::uint8_t> day, std::optional<std::uint8_t> month,
                      std::optional<std::uint8_t> yearSince1900) = 0;
    // Commands 0, 11 and 21: the identity record whole (the front ends show different views of it).
    virtual void Identity(const hart::Identity& identity) = 0;

protected:
    ~HartFieldSink() = default;
};

// Hands the values of `command`'s reply data to `sink`; nothing for a command not decoded here.
// `universalRevision`, the device's (command 0), where known: a byte that a later revision reserved
// is then left out (command 15's private label from revision 7).
// Throws only what the sink throws, or std::bad_alloc for a text.
TARVIK_LINK_API void WalkHartReply(std::uint8_t command, std::span<const std::uint8_t> data,
                                   HartFieldSink& sink,
                                   std::optional<std::uint8_t> universalRevision = std::nullopt);

} // namespace tarvik::link
