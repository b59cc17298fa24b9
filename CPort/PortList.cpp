#include "CPort/PortList.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <utility>

#include "CPort/ComErrors.h"
#include "CPort/platform/in_process_devices_p.h"
#include "CPort/platform/net_address.h"
#include "CPort/port_sort_p.h"
#include "CPort/sysfs_root_p.h"

namespace CPort {

namespace {

std::mutex gRootMutex;
std::string gSysfsRoot = "/sys";

std::string SysfsRoot() {
  const std::lock_guard<std::mutex> lock(gRootMutex);
  return gSysfsRoot;
}

[[noreturn]] void Fail(int error) { throw EComPort(PortErr::RegistryError, error); }

// Closes the directory on every way out, errors included.
class Directory {
 public:
  explicit Directory(const std::string& path) : dir_(opendir(path.c_str())) {
    if (dir_ == nullptr) Fail(errno);
  }
  ~Directory() { closedir(dir_); }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  DIR* Get() const { return dir_; }

 private:
  DIR* dir_;
};

// An entry of the class directory can vanish (an adapter unplugged while the
// list is read) or refuse access to what is inside it; either way it is no
// port to offer, and the other entries are still good. Only the class
// directory itself failing means the system's list cannot be read.

// A tty with a real device behind it has a "device" link; the virtual
// consoles, ptmx and the pseudo-terminal slaves have none.
bool HasDevice(int dirFd, const std::string& entry) {
  struct stat st {};
  return fstatat(dirFd, (entry + "/device").c_str(), &st, 0) == 0;
}

// The 8250 driver reserves a fixed number of ttyS entries whether or not a
// UART answers at their address; those without one report type 0 and cannot
// be used. Ttys of other drivers have no "type" file and are kept; a type
// that cannot be read leaves the port unusable.
bool IsUsablePort(int dirFd, const std::string& entry) {
  const int fd = openat(dirFd, (entry + "/type").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  char buffer[32];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  if (n < 0) return false;
  std::string_view text(buffer, static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  return text != "0";
}

void AddSysfsPorts(std::vector<std::string>& names) {
  const Directory dir(SysfsRoot() + "/class/tty");
  const int dirFd = dirfd(dir.Get());
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.Get());
    if (entry == nullptr) {
      if (errno != 0) Fail(errno);
      return;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (HasDevice(dirFd, name) && IsUsablePort(dirFd, name)) names.push_back(name);
  }
}

// Ports the kernel does not list as ttys with a device (pseudo-terminals made
// by socat, for example, or ports on other machines), given as names the
// port opens as they are.
void AddExtraPorts(std::vector<std::string>& names) {
  const char* value = std::getenv("CPORT_EXTRA_PORTS");
  if (value == nullptr) return;
  for (auto& name : SplitExtraPorts(value)) names.push_back(std::move(name));
}

}  // namespace

std::vector<std::string> SplitExtraPorts(std::string_view list) {
  constexpr std::string_view kSeparators = ":;";
  std::vector<std::string> names;
  std::size_t pos = 0;
  while (pos < list.size()) {
    if (kSeparators.find(list[pos]) != std::string_view::npos) {
      ++pos;
      continue;
    }
    // The colons of a network port's "://" and ":PORT" (and an IPv6
    // address's) belong to its name.
    const std::size_t urlEnd = pos + Platform::NetPortNameLength(list.substr(pos));
    std::size_t end = list.find_first_of(kSeparators, urlEnd);
    if (end == std::string_view::npos) end = list.size();
    names.emplace_back(list.substr(pos, end - pos));
    pos = end;
  }
  return names;
}

void ListSerialPorts(std::vector<std::string>& list) {
  std::vector<std::string> names;
  AddSysfsPorts(names);
  AddExtraPorts(names);
  for (auto& name : Platform::VirtualDeviceNames()) names.push_back(std::move(name));
  Detail::SortPortNames(names);
  list.swap(names);
}

void SetSysfsRoot(const std::string& root) {
  const std::lock_guard<std::mutex> lock(gRootMutex);
  gSysfsRoot = root;
}

std::string Detail::CurrentSysfsRoot() { return SysfsRoot(); }

}  // namespace CPort
