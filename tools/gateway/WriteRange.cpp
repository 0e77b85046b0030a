#include "WriteRange.h"

#include "Arguments.h"
#include "Command.h"

namespace tarvik::gateway {

// The shared argument table first (what any front end may send as a set point), then the 0731
// unit's decimals (a nonzero value sent as 0 is refused), then the device's own configured range.
RangeVerdict CheckWriteValue(const DeviceConfig& device, int /*channel*/, double value) {
    if (std::string problem = CommandValueProblem("setpoint", value); !problem.empty())
        return {false, std::move(problem)};
    if (device.kind == DeviceKind::Readout) {
        if (std::string problem = tools::Arguments::DigitsProblem(value, device.digits); !problem.empty())
            return {false, std::move(problem)};
    }
    if (value < device.setpointMin || value > device.setpointMax)
        return {false, "outside setpoint_min..setpoint_max"};
    return {};
}

} // namespace tarvik::gateway
