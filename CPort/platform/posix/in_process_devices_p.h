// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// Where device names meet devices that live inside the process rather than
// under /dev. The core library has no such device of its own: the virtual
// device library (kelvat::cport_testing) installs its directory the first
// time a test registers a device, so a program that never links it opens
// only ttys and lists no in-process names.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace CPort::Platform {

class DeviceBackend;

class InProcessDeviceDirectory {
 public:
  virtual ~InProcessDeviceDirectory() = default;
  // The backend of the device registered as `name`, or nullptr with `error`
  // set: ENOENT when no device has that name, EBUSY when it is open, or the
  // failure the device was told to give.
  virtual std::unique_ptr<DeviceBackend> Open(const std::string& name, int& error) = 0;
  virtual bool Contains(const std::string& name) const = 0;
  virtual std::vector<std::string> Names() const = 0;
};

// Installs `directory`, which must live until the program ends. Installing
// one again replaces the earlier one. Any thread.
void InstallInProcessDevices(InProcessDeviceDirectory* directory);

// CreateFileA's and ListSerialPorts' view of the installed directory; with
// none installed: false, nullptr with ENOENT, and no names.
bool IsVirtualDeviceName(const std::string& name);
std::unique_ptr<DeviceBackend> OpenVirtualDevice(const std::string& name, int& error);
std::vector<std::string> VirtualDeviceNames();

}  // namespace CPort::Platform
