// The Windows end-to-end program: loads TarvikDLL.dll by path, binds its exports by name and runs
// the shared cases (tests/e2e) and the Windows-only ones.
//   tarvik_e2e.exe <path of TarvikDLL.dll> [filter]
#include <cstdio>
#include <string>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "e2e/E2E.h"

namespace tarvik::e2e {

namespace {

std::string dllPath;
std::string loadProblems;

} // namespace

E2E_CASE(DllExports, EveryNameResolvesUndecorated) {
    E2E_EXPECT_EQ(loadProblems, std::string());
    HMODULE dll = GetModuleHandleA(dllPath.c_str());
    E2E_ASSERT_TRUE(dll != nullptr);
    // cdecl exports carry neither the leading underscore nor an argument-size suffix.
    for (const char* decorated : {"_ReadFlow", "ReadFlow@40", "_ReadFlow@40", "_TestComs_0731"})
        E2E_EXPECT_TRUE(GetProcAddress(dll, decorated) == nullptr) << decorated;
}

} // namespace tarvik::e2e

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: %s <TarvikDLL.dll> [filter]\n", argv[0]);
        return 2;
    }
    tarvik::e2e::dllPath = argv[1];
    if (!tarvik::e2e::LoadExports(argv[1], tarvik::e2e::loadProblems))
        std::printf("%s", tarvik::e2e::loadProblems.c_str());
    if (GetModuleHandleA(argv[1]) == nullptr) return 2;
    return tarvik::e2e::RunCases(argc > 2 ? argv[2] : "") == 0 ? 0 : 1;
}
