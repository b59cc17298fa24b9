// Loading a port's settings from an INI file of arbitrary content: the file
// is parsed (SimpleIni), every key read and applied through the setters of a
// closed port. Nothing may crash or raise anything but a port error, and what
// the load leaves must save and load back unchanged.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "CPort/ComErrors.h"
#include "settings_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The INI object reads a path; an in-memory file keeps the disk out of it.
  static const int fd = memfd_create("kelvat-fuzz-ini", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) __builtin_trap();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  try {
    CPort::TIniFile ini(path);
    for (const char* section : {"ComPort1", ""}) (void)ini.ReadSection(section);
    CPort::TComPort port;
    Fuzz::PrepareClosedPort(port);
    port.LoadSettingsFromIni(ini);
    Fuzz::CheckSavedRecordRoundTrips(port);
  } catch (const CPort::EComPort&) {
    // A refused value is an answer, not a fault.
  }
  return 0;
}
