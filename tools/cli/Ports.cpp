#include "Ports.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "Address.h"

namespace tarvik::cli {
namespace fs = std::filesystem;

namespace {

constexpr int kMaxPort = 40;

#ifndef _WIN32
const char* PortDir() {
    const char* d = std::getenv("TARVIK_PORT_DIR");
    return d && *d ? d : nullptr;
}

std::string DevicePath(int port) {
    if (const char* d = PortDir()) return std::string(d) + "/COM" + std::to_string(port);
    return "/dev/ttyS" + std::to_string(port - 1);
}
#endif

} // namespace

#ifdef _WIN32

std::vector<PortEntry> ListPorts() {
    std::vector<PortEntry> out;
    std::vector<char> buf(1 << 16);
    const DWORD n = QueryDosDeviceA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    for (DWORD i = 0; i < n && buf[i] != '\0';) {
        const std::string name(&buf[i]);
        i += static_cast<DWORD>(name.size() + 1);
        if (name.rfind("COM", 0) != 0) continue;
        if (auto number = ParsePort(name); number && *number >= 1 && *number <= kMaxPort) {
            char target[512] = {};
            QueryDosDeviceA(name.c_str(), target, sizeof target);
            out.push_back({*number, name, target});
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
    return out;
}

std::string PortSource() {
    return "the system's device list";
}

std::vector<std::string> PortHolders(int) {
    return {};
}

#else

std::vector<PortEntry> ListPorts() {
    std::vector<PortEntry> out;
    std::error_code ec;
    if (const char* dir = PortDir()) {
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("COM", 0) != 0) continue;
            const auto number = ParsePort(name);
            if (!number || *number < 1 || *number > kMaxPort || name != "COM" + std::to_string(*number))
                continue;
            std::error_code lec;
            const fs::path target =
                fs::is_symlink(entry.path(), lec) ? fs::read_symlink(entry.path(), lec) : entry.path();
            out.push_back({*number, name, target.string()});
        }
    } else {
        for (int n = 1; n <= kMaxPort; ++n) {
            std::ifstream type("/sys/class/tty/ttyS" + std::to_string(n - 1) + "/type");
            int t = 0;
            if (type >> t && t != 0) out.push_back({n, "COM" + std::to_string(n), DevicePath(n)});
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
    return out;
}

std::string PortSource() {
    if (const char* d = PortDir()) return std::string("$TARVIK_PORT_DIR=") + d;
    return "/dev/ttyS* (set TARVIK_PORT_DIR to a directory of COM<n> links to use other devices)";
}

std::vector<std::string> PortHolders(int port) {
    std::vector<std::string> out;
    std::error_code ec;
    const fs::path device = fs::canonical(DevicePath(port), ec);
    if (ec) return out;
    const std::string self = std::to_string(::getpid());
    for (const auto& proc : fs::directory_iterator("/proc", ec)) {
        const std::string pid = proc.path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == self) continue;
        std::string comm;
        std::getline(std::ifstream(proc.path() / "comm"), comm);
        if (comm == "tarvik-sim") continue;
        std::error_code fec;
        for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fec)) {
            std::error_code lec;
            if (fs::read_symlink(fd.path(), lec) == device) {
                out.push_back("PID " + pid + " (" + comm + ")");
                break;
            }
        }
    }
    return out;
}

#endif

} // namespace tarvik::cli
