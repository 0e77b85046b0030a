// The tool's version and the library the running process loaded, for `tarvik --version`.
#pragma once

#include <string>

namespace tarvik::cli {

// The project version the tool was built from ("1.0.0").
std::string ToolVersion();

struct LoadedLibrary {
    std::string path;    // the file the exports come from; empty when linked into the program
    std::string version; // from the file's name (Linux soname chain) or version resource (Windows);
                         // the tool's own version when the library is linked into the program
};
LoadedLibrary FindLoadedLibrary();

} // namespace tarvik::cli
