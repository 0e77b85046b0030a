#include "Ports.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "TarvikDLL.h"
#include "api/CallFrame.h"
#include "comport/ComPort.h"

namespace tarvik::cli {
namespace fs = std::filesystem;

namespace {

std::string ComName(int port) {
    return "COM" + std::to_string(port);
}

#ifndef _WIN32
// As the library reads it: set (even to an empty text) means "the ports are in this directory".
const char* PortDirVariable() {
    return std::getenv("TARVIK_PORT_DIR");
}

// The file the library opens for port n.
std::string DevicePath(int port) {
    if (const char* d = PortDirVariable()) return std::string(d) + "/" + ComName(port);
    return "/dev/ttyS" + std::to_string(port - 1);
}

std::string LinkTarget(const std::string& path) {
    std::error_code ec;
    if (!fs::is_symlink(path, ec)) return path;
    const fs::path target = fs::read_symlink(path, ec);
    return ec ? path : target.string();
}

std::string GroupName(gid_t gid) {
    if (const group* g = ::getgrgid(gid)) return g->gr_name;
    return std::to_string(gid);
}

std::string UserName(uid_t uid) {
    if (const passwd* p = ::getpwuid(uid)) return p->pw_name;
    return std::to_string(uid);
}

enum class TerminalCheck { Terminal, NotTerminal, NoAccess, Unknown };

// Whether a character device is a terminal: the kernel's device class where sysfs lists it
// (pseudo-terminal slaves are not listed), else by opening it without becoming its controller.
TerminalCheck CheckTerminal(const std::string& path, dev_t device) {
    const std::string sys = fmt::format("/sys/dev/char/{}:{}/subsystem", major(device), minor(device));
    std::error_code ec;
    const fs::path subsystem = fs::read_symlink(sys, ec);
    if (!ec) return subsystem.filename() == "tty" ? TerminalCheck::Terminal : TerminalCheck::NotTerminal;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EACCES || errno == EPERM ? TerminalCheck::NoAccess : TerminalCheck::Unknown;
    const bool tty = ::isatty(fd) == 1;
    ::close(fd);
    return tty ? TerminalCheck::Terminal : TerminalCheck::NotTerminal;
}

// What can be seen of a port without opening it: a missing link target, a file or directory, a
// device the kernel does not class as a terminal. Empty when it may be a serial line.
std::string EntryNote(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "link target missing: a stale link?" : std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "a directory, not a serial line";
    if (!S_ISCHR(st.st_mode)) return "not a device, not a serial line";
    std::error_code ec;
    const fs::path subsystem = fs::read_symlink(
        fmt::format("/sys/dev/char/{}:{}/subsystem", major(st.st_rdev), minor(st.st_rdev)), ec);
    if (!ec && subsystem.filename() != "tty") return "a device but not a terminal";
    return {};
}

PortDiagnosis Permission(const std::string& path, const struct stat& st) {
    constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;
    const std::string group = GroupName(st.st_gid);
    const std::string what = fmt::format(
        "permission denied: {} may not read and write {} (owner {}, group {}, mode {:03o})",
        UserName(::geteuid()), path, UserName(st.st_uid), group, st.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO));
    if ((st.st_mode & kGroupReadWrite) == kGroupReadWrite)
        return {"permission",
                fmt::format("{}; join its group: sudo usermod -aG {} $USER, then log in again", what, group),
                {}};
    return {"permission",
            what + "; only its owner may use it: ask for access (a udev rule giving a group read and write)",
            {}};
}
#endif

} // namespace

std::vector<PortEntry> ListPorts() {
    std::vector<std::string> names;
    comport::EnumComPorts(names);
    std::vector<PortEntry> out;
    for (int n = 1; n <= api::kPortCount; ++n) {
        const auto device = api::DeviceName(n);
        if (!device) continue;
        const bool listed = std::any_of(names.begin(), names.end(), [&](const std::string& entry) {
            return api::PortNameMatches(entry, *device);
        });
        if (!listed) continue;
#ifdef _WIN32
        char target[512] = {};
        if (QueryDosDeviceA(ComName(n).c_str(), target, sizeof target) == 0) target[0] = '\0';
        out.push_back({n, ComName(n), target, {}});
#else
        out.push_back({n, ComName(n), LinkTarget(DevicePath(n)), EntryNote(DevicePath(n))});
#endif
    }
    return out;
}

#ifdef _WIN32

std::string PortSource() {
    return "the system's device list";
}

std::string PortDirProblem() {
    return {};
}

PortDiagnosis DiagnosePort(int, std::int32_t) {
    return {};
}

std::vector<std::string> PortHolders(int) {
    return {};
}

#else

std::string PortSource() {
    if (const char* d = PortDirVariable()) return std::string("$TARVIK_PORT_DIR=") + d;
    return "/dev/ttyS* (set TARVIK_PORT_DIR to a directory of COM<n> links to use other devices)";
}

std::string PortDirProblem() {
    const char* d = PortDirVariable();
    if (!d) return {};
    const std::string dir = d;
    if (dir.empty())
        return "TARVIK_PORT_DIR is set but empty: unset it, or set it to a directory of COM<n> links";
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        const int e = errno;
        if (e == ENOENT)
            return fmt::format("TARVIK_PORT_DIR={}: no such directory (start tarvik-sim --dir {}, or "
                               "create it with links COM<n> -> /dev/ttyUSB0 ...)",
                               dir, dir);
        return fmt::format("TARVIK_PORT_DIR={}: {}", dir, std::strerror(e));
    }
    if (!S_ISDIR(st.st_mode))
        return fmt::format("TARVIK_PORT_DIR={} is not a directory (it must hold links COM<n> to the ports)",
                           dir);
    if (::access(dir.c_str(), R_OK | X_OK) != 0)
        return fmt::format("TARVIK_PORT_DIR={}: the directory cannot be read by {} ({})", dir,
                           UserName(::geteuid()), std::strerror(errno));
    return {};
}

PortDiagnosis DiagnosePort(int port, std::int32_t result) {
    const std::string name = ComName(port);
    if (result == ResultPortAbsent) {
        if (const char* dir = PortDirVariable()) {
            if (std::string problem = PortDirProblem(); !problem.empty()) return {"port-dir", problem, {}};
            return {"not-listed",
                    fmt::format("there is no {} in $TARVIK_PORT_DIR={}; tarvik ports lists the ports there",
                                name, dir),
                    {}};
        }
        return {"no-hardware",
                fmt::format("{} is /dev/ttyS{}, and the kernel reports no port hardware there; for a USB "
                            "adapter or the simulator, set TARVIK_PORT_DIR to a directory of COM<n> links",
                            name, port - 1),
                {}};
    }
    if (result != ResultPortBusy) return {};

    const std::string path = DevicePath(port);
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) != 0)
        return {"unknown", fmt::format("{}: {}", path, std::strerror(errno)), {}};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int e = errno;
        if (S_ISLNK(lst.st_mode) && e == ENOENT)
            return {"missing-target",
                    fmt::format("{} links to {}, which does not exist (left behind by a program that "
                                "stopped?): remove the link or start what serves it",
                                path, LinkTarget(path)),
                    {}};
        return {"unknown", fmt::format("{}: {}", path, std::strerror(e)), {}};
    }
    std::error_code ec;
    const std::string real = fs::canonical(path, ec).string();
    const std::string shown = ec || real == path ? path : path + " (" + real + ")";
    if (S_ISDIR(st.st_mode))
        return {"not-a-terminal", fmt::format("{} is a directory, not a serial line", shown), {}};
    if (S_ISREG(st.st_mode))
        return {"not-a-terminal", fmt::format("{} is a regular file, not a serial line", shown), {}};
    if (!S_ISCHR(st.st_mode))
        return {"not-a-terminal", fmt::format("{} is not a device, not a serial line", shown), {}};
    if (::access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM))
        return Permission(path, st);
    switch (CheckTerminal(path, st.st_rdev)) {
    case TerminalCheck::NotTerminal:
        return {"not-a-terminal",
                fmt::format("{} is a device but not a terminal, so not a serial line", shown),
                {}};
    case TerminalCheck::NoAccess:
        return Permission(path, st);
    case TerminalCheck::Terminal:
    case TerminalCheck::Unknown:
        break;
    }
    auto holders = PortHolders(port);
    if (!holders.empty()) {
        std::string list;
        for (const auto& h : holders)
            list += (list.empty() ? "" : ", ") + h;
        return {"held", fmt::format("{} is open in another program: {}", shown, list), std::move(holders)};
    }
    return {"unknown",
            fmt::format("{} is a terminal this user may open and no other process has it open, yet the "
                        "library could not open or set it up (an adapter unplugged? a driver that refuses "
                        "the line settings?)",
                        shown),
            {}};
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
