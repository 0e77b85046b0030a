// Shared by the C surface of the HART master (HartC.cpp, HartCFields.cpp): the codec's decoded
// replies as the named fields of include/tarvik/HartC.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tarvik/HartC.h"
#include "tarvik/HartTypes.h"

namespace tarvik::link::c {

// The fields of an identity (commands 0, 11, 21), at most `capacity`: ResultOk, or ResultBadLength
// when more would have come.
std::int32_t IdentityFields(const hart::Identity& id, TarvikHartField* out, std::size_t capacity,
                            std::int32_t* count);
// The fields of `command`'s reply data as WalkHartReply gives them (none for a command it does not
// decode).
std::int32_t DecodeFields(std::uint8_t command, std::span<const std::uint8_t> data, TarvikHartField* out,
                          std::size_t capacity, std::int32_t* count);

} // namespace tarvik::link::c
