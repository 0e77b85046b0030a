// Whether a set point may be written to a device: the one place that judges a value's range. For
// now the device's setpoint_min..setpoint_max; the front ends' shared table of allowed argument
// values will back it.
#pragma once

#include <string>

#include "Config.h"

namespace tarvik::gateway {

struct RangeVerdict {
    bool ok = true;
    std::string reason; // why not, when not ok
};

RangeVerdict CheckWriteValue(const DeviceConfig& device, int channel, double value);

} // namespace tarvik::gateway
