#include "SdNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace tarvik::gateway {

void SdNotify(std::string_view state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@')) return;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') address.sun_path[0] = '\0'; // an abstract socket
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), size);
    ::close(fd);
}

std::chrono::microseconds WatchdogPingInterval() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (!usec) return std::chrono::microseconds(0);
    if (const char* pid = std::getenv("WATCHDOG_PID"); pid && std::atol(pid) != ::getpid())
        return std::chrono::microseconds(0);
    const long long value = std::atoll(usec);
    return std::chrono::microseconds(value > 0 ? value / 2 : 0);
}

} // namespace tarvik::gateway
