// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// Opens a TCP connection to a network port within a time limit: the name is
// resolved (a literal address at once, a host name by the system resolver,
// which gets the same limit), each address is tried in turn with a
// non-blocking connect, and the socket comes back connected, non-blocking,
// with TCP_NODELAY (a serial line's bytes are sent as they come) and
// keep-alive probes (a server that vanishes without closing the connection
// is noticed in about half a minute instead of never).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace CPort::Platform {

// Returns the connected socket, or -1 with `error` set to the errno of the
// failure (ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH, ENETUNREACH...; ENOENT for
// a host name that does not resolve) and `detail` saying what was tried.
int ConnectTcp(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit, int& error,
               std::string& detail);

}  // namespace CPort::Platform
