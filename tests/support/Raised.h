// Runs `f`, which must raise EComError, and returns that error (a failure of the test otherwise).
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

} // namespace tarvik::test
