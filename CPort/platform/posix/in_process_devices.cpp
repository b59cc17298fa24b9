// The core's end of the in-process devices (see in_process_devices_p.h).
#include "in_process_devices_p.h"

#include <atomic>
#include <cerrno>

#include "device_backend_p.h"

namespace CPort::Platform {

namespace {

std::atomic<InProcessDeviceDirectory*> installed{nullptr};

}  // namespace

void InstallInProcessDevices(InProcessDeviceDirectory* directory) { installed.store(directory); }

bool IsVirtualDeviceName(const std::string& name) {
  const InProcessDeviceDirectory* directory = installed.load();
  return directory != nullptr && directory->Contains(name);
}

std::unique_ptr<DeviceBackend> OpenVirtualDevice(const std::string& name, int& error) {
  InProcessDeviceDirectory* directory = installed.load();
  if (directory == nullptr) {
    error = ENOENT;
    return nullptr;
  }
  return directory->Open(name, error);
}

std::vector<std::string> VirtualDeviceNames() {
  const InProcessDeviceDirectory* directory = installed.load();
  return directory != nullptr ? directory->Names() : std::vector<std::string>{};
}

}  // namespace CPort::Platform
