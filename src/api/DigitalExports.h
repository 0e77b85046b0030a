// What every digital export shares: the pipeline run of one addressed command. An export is its
// argument checks (digital/Replies.h), a command description (digital/Commands.h) and a decoder.
#pragma once

#include "../digital/Replies.h"
#include "Families.h"

namespace tarvik::api {

// The whole call of a standard addressed command (the command's own argument checks come before).
template <class Decode>
std::int32_t RunCommand(const char* name, std::int32_t port, std::int32_t baud,
                        const digital::Address& address, const digital::CommandSpec& desc,
                        std::span<const std::uint8_t> data, std::uint8_t* status1, std::uint8_t* status2,
                        Decode&& decode) noexcept {
    return RunCall(name, [&]() -> std::int32_t {
        DigitalCall call(address, desc, data, status1, status2, decode);
        return Transact(port, DigitalLineOf(baud), call);
    });
}

} // namespace tarvik::api
