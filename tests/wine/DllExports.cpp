#include "DllExports.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace tarvik::e2e {

#define TARVIK_E2E_DEFINE_EXPORT(name) Export<decltype(&::name)> name(#name);
TARVIK_EXPORT_NAMES(TARVIK_E2E_DEFINE_EXPORT)
#undef TARVIK_E2E_DEFINE_EXPORT

namespace {

template <class E>
void BindExport(HMODULE dll, E& e, std::string& problems) {
    FARPROC p = GetProcAddress(dll, e.Name());
    if (p == nullptr) {
        problems += std::string("missing export ") + e.Name() + "\n";
        return;
    }
    e.Bind(reinterpret_cast<typename E::Function>(reinterpret_cast<void*>(p)));
}

} // namespace

bool LoadExports(const std::string& dllPath, std::string& problems) {
    HMODULE dll = LoadLibraryA(dllPath.c_str());
    if (dll == nullptr) {
        problems = "LoadLibraryA(" + dllPath + ") failed with code " + std::to_string(GetLastError()) + "\n";
        return false;
    }
#define TARVIK_E2E_BIND_EXPORT(name) BindExport(dll, name, problems);
    TARVIK_EXPORT_NAMES(TARVIK_E2E_BIND_EXPORT)
#undef TARVIK_E2E_BIND_EXPORT
    return problems.empty();
}

} // namespace tarvik::e2e
