// The service manager's readiness and watchdog protocol: datagrams such as "READY=1" to the socket
// named by $NOTIFY_SOCKET. Without that variable (not run as a notify service) nothing is sent.
#pragma once

#include <chrono>
#include <string_view>

namespace tarvik::gateway {

void SdNotify(std::string_view state);
// Half the watchdog time the service manager asked for ($WATCHDOG_USEC, for this process), or zero.
std::chrono::microseconds WatchdogPingInterval();

} // namespace tarvik::gateway
