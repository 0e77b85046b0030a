#include "WriteRange.h"

namespace tarvik::gateway {

RangeVerdict CheckWriteValue(const DeviceConfig& device, int /*channel*/, double value) {
    if (value < device.setpointMin || value > device.setpointMax)
        return {false, "outside setpoint_min..setpoint_max"};
    return {};
}

} // namespace tarvik::gateway
