#pragma once
// Writing to and draining the control endpoint's sockets, shared by the endpoint and the
// event streams. Every send is MSG_NOSIGNAL (a client gone is an error, not SIGPIPE) and
// MSG_DONTWAIT, so a blocking socket never holds a caller past its deadline.

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>

namespace velnaro {

using SocketClock = std::chrono::steady_clock;

// Waits for `events` on the socket; false when the deadline passed first or poll failed.
bool WaitReady(int fd, short events, SocketClock::time_point deadline);

// As much of `bytes` as the socket takes now, without waiting: the count sent (0 when its
// buffer is full), or nullopt once the peer has gone.
std::optional<size_t> SendNow(int fd, std::string_view bytes);

// All of `bytes` before the deadline; false when it passed or the peer has gone. With an
// idle window, every accepted byte moves the deadline on: a client that keeps reading gets
// a reply of any size, one that stops reading is cut after the window.
bool SendAll(int fd, std::string_view bytes, SocketClock::time_point deadline,
             SocketClock::duration idle = SocketClock::duration::zero());

// After an early answer the client may still be sending; closing with unread bytes would
// reset the connection and could destroy the answer before the client reads it. Ends the
// sending side, then reads and drops for up to a second (1 MiB at most).
void DrainBriefly(int fd);

}  // namespace velnaro
