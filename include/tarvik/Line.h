// tarvik/Line.h - one serial line shared by every user of a port.
//
// A HartLink, ReadoutLink or HartMaster made on its own keeps a line of its own. Made on a Line,
// several of them share one port: polling, writes, burst listening, raw commands and the requests
// of network clients (a server thread makes a HartMaster on the port's Line and calls Command)
// take turns on it. Whoever opens the port owns its Line (a command-line run for one command, the
// gateway for its lifetime) and keeps it alive while its users run; users hold it too, so a Line
// that goes first only closes the port once the last user is gone.
//
// Each user keeps its own family's line settings (HART: 8O1 at its rate; the 0731 unit: 9600 8N1)
// and options. Open on a user closes the port and opens it with that user's settings; when a
// request of another user needs other settings, the line closes and opens the port again with
// them, so a port may mix families and rates (users with the same settings share the open port).
// A user that fails opening keeps failing with that result until it is opened again; the others
// are not affected.
//
// Turns are first come, first served: a user that asks for the line gets it after the users that
// asked before it, each for one turn. A turn is bounded: one request with its retries and busy
// back-offs (at most (1 + retries) reply waits, each waiting for a reply under way to its end, plus
// the back-offs), or one slice of a HartMaster::Listen (at most 100 ms and the frame under way at
// its end). Option and state calls (Open, Close, IsOpen, SetOptions, ...) take a turn too. A burst
// handler or listener runs inside its user's turn and must not call any user of the same Line.
#pragma once

#include <memory>

#include "Link.h"

namespace tarvik::link {

class TARVIK_LINK_API Line {
public:
    Line();
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Closes the port after the turn under way; users opened before open it again at their next
    // request.
    void Close() noexcept;
    bool IsOpen() const noexcept;

    struct Impl;
    // The state the users share (opaque outside the library).
    const std::shared_ptr<Impl>& Shared() const noexcept { return impl_; }

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace tarvik::link
