// Network port names and the connector, on 127.0.0.1 only.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "CPort/platform/net_address.h"
#include "CPort/platform/net_connector.h"

using namespace CPort::Platform;
using namespace std::chrono_literals;

// Catches: a name taken apart wrongly (IPv6 colons read as the port, the
// port's range or trailing text unchecked, the scheme's case), and a bad
// name reaching the resolver instead of failing with a reason.
TEST(NetPortName, ParsesHostAndPortOrSaysWhatIsWrong) {
  const struct {
    const char* name;
    int result;
    NetPortKind kind;
    const char* host;
    std::uint16_t port;
    const char* detail;
  } rows[] = {
      {"rfc2217://127.0.0.1:2000", 0, NetPortKind::Rfc2217, "127.0.0.1", 2000, ""},
      {"RFC2217://example.org:1", 0, NetPortKind::Rfc2217, "example.org", 1, ""},
      {"socket://[::1]:65535", 0, NetPortKind::RawTcp, "::1", 65535, ""},
      {"socket://[fe80::1%lo]:7000", 0, NetPortKind::RawTcp, "fe80::1%lo", 7000, ""},
      {"rfc2217://host", EINVAL, {}, "", 0, "port number is missing"},
      {"rfc2217://host:", EINVAL, {}, "", 0, "port number is missing"},
      {"rfc2217://:2000", EINVAL, {}, "", 0, "host is missing"},
      {"rfc2217://host:0", EINVAL, {}, "", 0, "1 to 65535"},
      {"rfc2217://host:65536", EINVAL, {}, "", 0, "1 to 65535"},
      {"rfc2217://host:20x", EINVAL, {}, "", 0, "1 to 65535"},
      {"rfc2217://host:2000/path", EINVAL, {}, "", 0, "1 to 65535"},
      {"socket://::1:2000", EINVAL, {}, "", 0, "brackets"},
      {"socket://[::1:2000", EINVAL, {}, "", 0, "closing ']'"},
      {"socket://[host]:2000", EINVAL, {}, "", 0, "IPv6 addresses only"},
      {"telnet://host:23", EINVAL, {}, "", 0, "not a network port name"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    NetPortAddress address;
    std::string detail;
    EXPECT_EQ(ParseNetPortName(row.name, address, detail), row.result);
    EXPECT_NE(detail.find(row.detail), std::string::npos) << detail;
    if (row.result != 0) continue;
    EXPECT_TRUE(IsNetPortName(row.name));
    EXPECT_EQ(address.kind, row.kind);
    EXPECT_EQ(address.host, row.host);
    EXPECT_EQ(address.port, row.port);
  }
  EXPECT_FALSE(IsNetPortName("/dev/ttyUSB0"));
  EXPECT_FALSE(IsNetPortName("rfc2217:/x"));
}

namespace {

// A listening socket on 127.0.0.1 whose accept queue is already full, so a
// further connect gets no answer at all.
class FullListener {
 public:
  FullListener() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener_, 0), 0);
    EXPECT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size), 0);
    port_ = ntohs(address.sin_port);
    // With a backlog of 0 one connection fills the queue.
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~FullListener() {
    close(filler_);
    close(listener_);
  }
  std::uint16_t Port() const { return port_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  std::uint16_t port_ = 0;
};

std::uint16_t ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace

// Catches: a connect that hangs past its limit, failures reported with the
// wrong errno or none, and host names not resolved.
TEST(NetConnector, FailsWithTheConnectErrnoWithinItsLimit) {
  const FullListener full;
  const struct {
    const char* name;
    std::string host;
    std::uint16_t port;
    int error;
    const char* detail;
  } rows[] = {
      {"nothing listens", "127.0.0.1", ClosedPort(), ECONNREFUSED, "refused"},
      {"a host name that resolves", "localhost", ClosedPort(), ECONNREFUSED, "refused"},
      {"no answer to the connect", "127.0.0.1", full.Port(), ETIMEDOUT, "no answer within 300 ms"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    int error = 0;
    std::string detail;
    const int fd = ConnectTcp(row.host, row.port, 300ms, error, detail);
    EXPECT_EQ(fd, -1);
    if (fd >= 0) close(fd);
    EXPECT_EQ(error, row.error);
    EXPECT_NE(detail.find(row.detail), std::string::npos) << detail;
  }
}
