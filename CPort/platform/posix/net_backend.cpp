// Opening a network port: name, connection, then the device kind.
#include "net_backend.h"

#include "net_address.h"
#include "net_connector.h"

namespace CPort::Platform {

namespace {
thread_local std::string tLastOpenDetail;
}

std::string LastNetOpenDetail() { return tLastOpenDetail; }

std::unique_ptr<DeviceBackend> OpenNetDevice(const std::string& name, int& error) {
  std::string& detail = tLastOpenDetail;
  NetPortAddress address;
  if (const int code = ParseNetPortName(name, address, detail); code != 0) {
    error = code;
    return nullptr;
  }
  const int fd = ConnectTcp(address.host, address.port, kConnectLimit, error, detail);
  if (fd < 0) {
    detail = name + ": " + detail;
    return nullptr;
  }
  if (address.kind == NetPortKind::RawTcp) {
    detail.clear();
    error = 0;
    return MakeRawTcpBackend(fd);
  }
  auto backend = OpenRfc2217Backend(fd, name, error, detail);
  if (backend) detail.clear();
  return backend;
}

}  // namespace CPort::Platform
