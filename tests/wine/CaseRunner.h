// A small case runner for the Windows test programs: cases register themselves, expectations
// report "file:line: a == b" failures with both values, and the run ends with "N passed, N failed".
// The macros mirror the gtest ones that the shared cases use on Linux.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace tarvik::e2e {

using CaseBody = void (*)();

struct CaseRegistrar {
    CaseRegistrar(const char* suite, const char* name, CaseBody body);
};

// Thrown by a failed E2E_ASSERT_: ends the case.
struct CaseAbort {};

// Records one failure of the running case; reported when it goes out of scope, so that a
// message streamed after the macro is part of it.
class Failure {
public:
    Failure() = default;
    Failure(std::string where, std::string what)
        : failed_(true), where_(std::move(where)), what_(std::move(what)) {}
    Failure(const Failure&) = delete;
    Failure& operator=(const Failure&) = delete;
    ~Failure() noexcept(false);

    bool Failed() const { return failed_; }
    Failure& Fatal(bool fatal) {
        fatal_ = fatal;
        return *this;
    }
    template <class T>
    Failure& operator<<(const T& v) {
        std::ostringstream s;
        s << v;
        note_ += s.str();
        return *this;
    }

private:
    bool failed_ = false;
    bool fatal_ = false;
    std::string where_, what_, note_;
};

template <class T>
std::string Show(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
        return v ? "true" : "false";
    } else if constexpr (std::is_enum_v<T>) {
        return std::to_string(static_cast<long long>(v));
    } else if constexpr (std::is_integral_v<T>) {
        return std::to_string(+v);
    } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
        std::ostringstream s;
        s << "{";
        for (std::size_t i = 0; i < v.size(); ++i)
            s << (i ? " " : "") << std::hex << int(v[i]);
        s << "}";
        return s.str();
    } else {
        std::ostringstream s;
        s << v;
        return s.str();
    }
}

std::string Where(const char* file, int line);

template <class A, class B>
Failure ExpectEq(const A& a, const B& b, const char* ta, const char* tb, const char* file, int line) {
    if (a == b) return Failure();
    return Failure(Where(file, line),
                   std::string(ta) + " == " + tb + "\n    left:  " + Show(a) + "\n    right: " + Show(b));
}

inline Failure ExpectTrue(bool c, const char* text, const char* file, int line) {
    if (c) return Failure();
    return Failure(Where(file, line), std::string(text) + " is false");
}

// Runs the registered cases whose "Suite.Name" contains `filter` (all when empty), prints each
// and the summary; returns the number of failed cases.
int RunCases(const std::string& filter);

} // namespace tarvik::e2e

#define E2E_CASE(suite, name)                                                                                \
    static void suite##_##name##_Case();                                                                     \
    static const ::tarvik::e2e::CaseRegistrar suite##_##name##_Registrar(#suite, #name,                      \
                                                                         &suite##_##name##_Case);            \
    static void suite##_##name##_Case()

// Under Wine every case runs through the DLL and a real port: the pty slice is all of them.
#define E2E_PTY_CASE(suite, name) E2E_CASE(suite, name)

#define E2E_CHECK_(fatal, failure)                                                                           \
    switch (0)                                                                                               \
    case 0:                                                                                                  \
    default:                                                                                                 \
        if (::tarvik::e2e::Failure e2e_failure = (failure); !e2e_failure.Failed()) {                         \
        } else                                                                                               \
            e2e_failure.Fatal(fatal)

#define E2E_EXPECT_EQ(a, b) E2E_CHECK_(false, ::tarvik::e2e::ExpectEq((a), (b), #a, #b, __FILE__, __LINE__))
#define E2E_ASSERT_EQ(a, b) E2E_CHECK_(true, ::tarvik::e2e::ExpectEq((a), (b), #a, #b, __FILE__, __LINE__))
#define E2E_EXPECT_TRUE(c)                                                                                   \
    E2E_CHECK_(false, ::tarvik::e2e::ExpectTrue(static_cast<bool>(c), #c, __FILE__, __LINE__))
#define E2E_ASSERT_TRUE(c)                                                                                   \
    E2E_CHECK_(true, ::tarvik::e2e::ExpectTrue(static_cast<bool>(c), #c, __FILE__, __LINE__))
