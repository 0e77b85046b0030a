// How both backends hand out the line of an open port: the caller holds it through a shared
// pointer for one operation, so that a close from another thread never frees it under a waiter.
// `State` is the backend's port state: a mutex `lock` guarding a shared pointer `line` whose
// target has a `closed` flag.
#pragma once

#include <memory>
#include <mutex>

#include "tarvik/ComPort.h"

namespace tarvik::comport {

// The line of an open port, held for the caller; nothing when closed or closing.
template <class State>
auto LineOf(State* s) -> decltype(s->line) {
    if (!s) return {};
    std::lock_guard lock(s->lock);
    if (!s->line || s->line->closed) return {};
    return s->line;
}

[[noreturn]] inline void RaiseClosed(TCustomComPort& port) {
    port.RaiseError(ceComponent, kMsgClosedPort, ekClosedPort);
}

// The line of an open port, or EComError "closed port".
template <class State>
auto UsableLine(TCustomComPort& port, State* s) -> decltype(s->line) {
    auto line = LineOf(s);
    if (!line) RaiseClosed(port);
    return line;
}

} // namespace tarvik::comport
