// The system's serial ports as the library sees them, and who holds one.
#pragma once

#include <string>
#include <vector>

namespace tarvik::cli {

struct PortEntry {
    int number = 0;   // the COM number
    std::string name; // "COM3"
    std::string path; // what it leads to ("/dev/pts/4"), when known
};

// Linux: the COM<n> entries of $TARVIK_PORT_DIR, else /dev/ttyS<n-1> where the kernel reports a
// port. Windows: the COM devices the system lists. Sorted by number.
std::vector<PortEntry> ListPorts();
// Where the port list comes from, for people ("$TARVIK_PORT_DIR=/tmp/p").
std::string PortSource();
// Processes other than this one (and the simulator, which keeps its ports open by design) that
// have the port's device open: "PID 1234 (minicom)". Empty where this cannot be found out.
std::vector<std::string> PortHolders(int port);

} // namespace tarvik::cli
