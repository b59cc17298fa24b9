// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// The network device kinds: serial ports on other machines, named
// "rfc2217://HOST:PORT" (Telnet with the com port option, RFC 2217) or
// "socket://HOST:PORT" (a raw TCP byte stream). See docs/network-ports.md.
//
// Time limits, none of them ever exceeded by a call:
//  - connecting, name resolution included: kConnectLimit;
//  - an rfc2217 server taking up the com port option after the connect:
//    kNegotiationLimit;
//  - an answer to a setting or a purge: kAnswerLimit. A server that leaves
//    a setting unanswered (ser2net never answers DTR and RTS on a port
//    without modem lines) costs one such wait per kind of setting and
//    connection; after that the setting is still sent but not waited for.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "device_backend_p.h"

namespace CPort::Platform {

inline constexpr std::chrono::milliseconds kConnectLimit{3000};
inline constexpr std::chrono::milliseconds kNegotiationLimit{2000};
inline constexpr std::chrono::milliseconds kAnswerLimit{200};

// Opens the network port `name` (IsNetPortName(name) holds). On failure
// returns nullptr with `error` set to the errno: EINVAL for a malformed name,
// ENOENT for a host that does not resolve, the connect's errno
// (ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH...), EPROTONOSUPPORT for a server
// that refuses the com port option, ETIMEDOUT for one that never answers it
// and ECONNRESET for one that hangs up before that (ser2net may, when it
// cannot open its device). LastNetOpenDetail() then says why, for a log.
std::unique_ptr<DeviceBackend> OpenNetDevice(const std::string& name, int& error);

// Why the last failed open of a network port on this thread failed (empty
// after a successful one).
std::string LastNetOpenDetail();

// The two kinds, on a connected socket they take over. `peer` names the
// port in details.
std::unique_ptr<DeviceBackend> MakeRawTcpBackend(int fd);
std::unique_ptr<DeviceBackend> OpenRfc2217Backend(int fd, const std::string& peer, int& error,
                                                  std::string& detail);

}  // namespace CPort::Platform
