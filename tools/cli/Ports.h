// The system's serial ports as the library sees them, and why one cannot be used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvik::cli {

struct PortEntry {
    int number = 0;   // the COM number
    std::string name; // "COM3"
    std::string path; // what it leads to ("/dev/pts/4"), when known
    std::string note; // why it cannot be a serial line ("link target missing"), found without opening it
};

// The ports the library's own enumeration lists, with the library's naming rules (COM1..COM40;
// "\\.\COM10" and "COM10" are the same port). Sorted by number.
std::vector<PortEntry> ListPorts();
// Where the port list comes from, for people ("$TARVIK_PORT_DIR=/tmp/p").
std::string PortSource();
// What is wrong with $TARVIK_PORT_DIR when it is set but cannot hold ports (missing, not a
// directory, unreadable, empty text); empty when it is fine or not set, and on Windows.
std::string PortDirProblem();

// Why a port that the library reported absent or busy cannot be used.
struct PortDiagnosis {
    // "port-dir", "not-listed", "no-hardware", "missing-target", "not-a-terminal", "permission",
    // "held", "unknown"; empty when nothing can be said (Windows).
    std::string kind;
    std::string text;                 // for people; replaces the result's general hint
    std::vector<std::string> holders; // "PID 1234 (minicom)" for "held"
};
PortDiagnosis DiagnosePort(int port, std::int32_t result);

// Processes other than this one (and the simulator, which keeps its ports open by design) that
// have the port's device open: "PID 1234 (minicom)". Empty where this cannot be found out.
std::vector<std::string> PortHolders(int port);

} // namespace tarvik::cli
