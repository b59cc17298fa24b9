// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// Port names of serial ports on other machines:
//   rfc2217://HOST:PORT   a com port server speaking Telnet with RFC 2217
//                         (ser2net's "telnet(rfc2217)" accepter)
//   socket://HOST:PORT    a raw TCP byte stream, no line control
// HOST is a host name, an IPv4 address or an IPv6 address in brackets
// ("[::1]"); PORT is 1..65535. The scheme is matched without regard to case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace CPort::Platform {

enum class NetPortKind { Rfc2217, RawTcp };

struct NetPortAddress {
  NetPortKind kind = NetPortKind::Rfc2217;
  std::string host;  // without brackets
  std::uint16_t port = 0;
};

// Whether `name` names a network port (begins with one of the schemes).
bool IsNetPortName(std::string_view name);

// Parses a network port name. Returns 0, or EINVAL with `detail` saying what
// is wrong with the name.
int ParseNetPortName(std::string_view name, NetPortAddress& address, std::string& detail);

// The length of the network port name at the start of `text` ("scheme://"
// followed by HOST:PORT, brackets included), or 0 when `text` does not start
// with one. Lets a list separated by ':' keep the colons of its URLs.
std::size_t NetPortNameLength(std::string_view text);

}  // namespace CPort::Platform
