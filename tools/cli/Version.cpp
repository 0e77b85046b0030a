#include "Version.h"

#include <filesystem>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "TarvikDLL.h"

namespace tarvik::cli {

std::string ToolVersion() {
    return TARVIK_VERSION;
}

#ifdef _WIN32

LoadedLibrary FindLoadedLibrary() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ReadFlow), &module) ||
        module == GetModuleHandleA(nullptr))
        return {{}, ToolVersion()}; // linked into the program: the version it was built from
    char path[MAX_PATH] = {};
    if (GetModuleFileNameA(module, path, MAX_PATH) == 0) return {};
    LoadedLibrary lib{path, {}};
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) return lib;
    std::vector<char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (GetFileVersionInfoA(path, 0, size, data.data()) &&
        VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) && info) {
        lib.version = std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
                      std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
                      std::to_string(HIWORD(info->dwFileVersionLS));
    }
    return lib;
}

#else

LoadedLibrary FindLoadedLibrary() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&ReadFlow), &info) == 0 || !info.dli_fname)
        return {{}, ToolVersion()};
    LoadedLibrary lib{info.dli_fname, {}};
    // libtarvik.so.1 -> libtarvik.so.1.0.0: the version is what follows ".so." in the real name.
    std::error_code ec;
    const std::string real = std::filesystem::canonical(lib.path, ec).filename().string();
    const auto so = real.find(".so.");
    if (!ec && so != std::string::npos) lib.version = real.substr(so + 4);
    if (!ec && real.find(".so") == std::string::npos) return {{}, ToolVersion()}; // linked into the program
    return lib;
}

#endif

} // namespace tarvik::cli
