// Whether a set point may be written to a device: the one place that judges a value's range: the
// front ends' shared argument table, the 0731 unit's decimals, the device's setpoint_min..max.
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
