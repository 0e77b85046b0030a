// A line backend for fuzzing, installed through the pipeline's seam: "COM1" is the only port, it
// opens, takes any request and answers with the bytes the fuzzer gave; the waits take no time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvik::fuzz {

// The bytes the next exchanges find queued (installs the backend on the first call).
void SetReply(const std::uint8_t* data, std::size_t size);
// The request bytes written since the last SetReply.
const std::string& LastRequest();

} // namespace tarvik::fuzz
