// Commands that write a value and then show what the device now holds, read back: one way for the
// digital devices and the 0731 unit alike.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Report.h"

namespace tarvik::cli {

struct WriteAndShow {
    std::string what;   // what is written, as the read-back warning names it: "set point"
    std::string holder; // who took the write: "device", "unit"
    // Whether a result means the device took the write (and wrote the read's outputs).
    std::function<bool(std::int32_t)> took;
    std::function<std::int32_t()> write;
    std::function<void(Report&)> showWritten;      // the value sent
    std::function<std::int32_t(Report&)> readBack; // reads, and shows what it read when `took`
};

// Writes; when the device took it, shows the value sent and reads back what it now holds. A failed
// read-back only warns, since the write itself went through. The result is the write's.
std::int32_t RunWriteAndShow(Report& r, const WriteAndShow& w);

} // namespace tarvik::cli
