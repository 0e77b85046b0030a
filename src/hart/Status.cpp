#include "Status.h"

namespace tarvik::hart {

const char* ResponseCodeText(std::uint8_t code) {
    switch (code) {
    case kRcSuccess:
        return "success";
    case kRcInvalidSelection:
        return "invalid selection";
    case kRcTooLarge:
        return "passed parameter too large";
    case kRcTooSmall:
        return "passed parameter too small";
    case kRcTooFewBytes:
        return "too few data bytes received";
    case kRcDeviceSpecific:
        return "device-specific command error";
    case kRcWriteProtected:
        return "in write-protect mode";
    case kRcAccessRestricted:
        return "access restricted";
    case kRcBusy:
        return "busy";
    case kRcNotImplemented:
        return "command not implemented";
    default:
        return nullptr;
    }
}

const char* CommErrorText(std::uint8_t bit) {
    switch (bit) {
    case kCommVerticalParity:
        return "vertical parity error";
    case kCommOverrun:
        return "overrun error";
    case kCommFraming:
        return "framing error";
    case kCommLongitudinalParity:
        return "longitudinal parity (checksum) error";
    case kCommBufferOverflow:
        return "buffer overflow";
    default:
        return nullptr;
    }
}

const char* DeviceStatusText(std::uint8_t bit) {
    switch (bit) {
    case kStatusMalfunction:
        return "device malfunction";
    case kStatusConfigChanged:
        return "configuration changed";
    case kStatusColdStart:
        return "cold start";
    case kStatusMoreStatus:
        return "more status available";
    case kStatusCurrentFixed:
        return "loop current fixed";
    case kStatusCurrentSaturated:
        return "loop current saturated";
    case kStatusNonPvOutOfLimits:
        return "non-primary variable out of limits";
    case kStatusPvOutOfLimits:
        return "primary variable out of limits";
    default:
        return nullptr;
    }
}

} // namespace tarvik::hart
