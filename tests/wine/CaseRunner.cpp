#include "CaseRunner.h"

#include <cstdio>
#include <exception>
#include <functional>

namespace tarvik::e2e {

namespace {

struct Case {
    std::string name;
    CaseBody body;
};

std::vector<Case>& Cases() {
    static std::vector<Case> cases;
    return cases;
}

int currentFailures = 0;

} // namespace

CaseRegistrar::CaseRegistrar(const char* suite, const char* name, CaseBody body) {
    Cases().push_back({std::string(suite) + "." + name, body});
}

std::string Where(const char* file, int line) {
    return std::string(file) + ":" + std::to_string(line);
}

Failure::~Failure() noexcept(false) {
    if (!failed_) return;
    ++currentFailures;
    std::printf("%s: failure\n  %s%s%s\n", where_.c_str(), what_.c_str(),
                note_.empty() ? "" : "\n    note:  ", note_.c_str());
    std::fflush(stdout);
    if (fatal_ && std::uncaught_exceptions() == 0) throw CaseAbort{};
}

int RunCases(const std::string& filter) {
    int passed = 0, failed = 0;
    for (const Case& c : Cases()) {
        if (!filter.empty() && c.name.find(filter) == std::string::npos) continue;
        std::printf("[ RUN      ] %s\n", c.name.c_str());
        std::fflush(stdout);
        currentFailures = 0;
        try {
            c.body();
        } catch (const CaseAbort&) {
        } catch (const std::exception& e) {
            ++currentFailures;
            std::printf("  exception: %s\n", e.what());
        } catch (...) {
            ++currentFailures;
            std::printf("  unknown exception\n");
        }
        std::printf("%s %s\n", currentFailures ? "[  FAILED  ]" : "[       OK ]", c.name.c_str());
        std::fflush(stdout);
        (currentFailures ? failed : passed) += 1;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed;
}

} // namespace tarvik::e2e
