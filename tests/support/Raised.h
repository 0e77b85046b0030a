// Runs `f`, which must raise EComError, and returns that error (a failure of the test otherwise).
// Reporting(f): the body of a test's own thread, whose escaping exception fails the test.
#pragma once

#include <gtest/gtest.h>

#include "comport/ComPort.h"

namespace tarvik::test {

template <class F>
comport::EComError Raised(F&& f) {
    try {
        f();
    } catch (const comport::EComError& e) {
        return e;
    }
    ADD_FAILURE() << "no EComError raised";
    return comport::EComError(-1, "");
}

// `f` wrapped for a thread of the test: an exception that escapes it fails the test that started
// the thread instead of ending the test program.
template <class F>
auto Reporting(F f) {
    return [f = std::move(f)]() mutable {
        try {
            f();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "escaped a thread of the test: " << e.what();
        } catch (...) {
            ADD_FAILURE() << "an exception escaped a thread of the test";
        }
    };
}

} // namespace tarvik::test
