// What is known about each serial port: its name and path, the adapter's
// description, maker, serial number, USB ids and location, and the
// /dev/serial/by-id link, read from sysfs (what udev itself reads, so it
// works without udev), and whether two such records name the same device.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace CPort {

// Where a port's name comes from.
enum class TPortSource : std::uint8_t {
  psSystem,   // a tty the kernel lists (/sys/class/tty), opened as /dev/<name>
  psPath,     // a path given as such (CPORT_EXTRA_PORTS, or a name beginning with "/")
  psVirtual,  // a registered virtual device
  psNetwork,  // a port server on the network (rfc2217://HOST:PORT, socket://HOST:PORT)
};

struct TSerialPortInfo {
  std::string Name;  // as ListSerialPorts gives it and TComPort::SetPort takes it
  // What is opened: /dev/<name>, the path itself, or the virtual device's or
  // network port's name.
  std::string Path;
  TPortSource Source = TPortSource::psSystem;
  // The USB product string; else the USB interface's string; else the
  // driver ("ftdi_sio", "cdc_acm", "serial8250"). "pseudo-terminal" for a
  // path that leads to one. Empty when nothing is known.
  std::string Description;
  std::string Manufacturer;
  std::string SerialNumber;
  std::uint16_t VendorId = 0;   // 0: not a USB device
  std::uint16_t ProductId = 0;
  // The USB interface the port belongs to, as the kernel names it:
  // "<bus>-<port path>:<configuration>.<interface>", e.g. "1-1.2:1.0".
  std::string Location;
  std::string Driver;  // the tty's driver ("ftdi_sio", "cp210x", "ch341-uart", "cdc_acm", "port")
  std::string ById;    // full path of the /dev/serial/by-id link naming it, where udev made one
  // A network port's server: the host as given (an IPv6 address without its
  // brackets), its TCP port, and the protocol, "rfc2217" (Telnet with line
  // control) or "socket" (raw bytes). Empty and 0 for every other port, and
  // for a network name that does not parse.
  std::string Host;
  std::uint16_t TcpPort = 0;
  std::string Protocol;
};

// One record per name of ListSerialPorts, in the same order, with the
// details that can be had for it. Raises what ListSerialPorts raises;
// `list` is then unchanged. A detail that cannot be read stays empty.
void ListSerialPortDetails(std::vector<TSerialPortInfo>& list);

// The details of one port name, classified the way TComPort opens it: a
// registered virtual device, else a network port (rfc2217:// or socket://),
// else a path (beginning with "/"), else a kernel tty under /dev. Never
// raises; a port that is absent gives the name, path and source only.
TSerialPortInfo SerialPortDetails(const std::string& name);

// Whether `name` is there now: a kernel tty with a device behind it, an
// existing path (links followed), or a registered virtual device. A network
// port counts as there: only connecting can tell.
bool SerialPortPresent(const std::string& name);

// True when `found` is the device that `known` described, as far as the
// details can tell: for USB adapters the same vendor and product and the
// same serial number and interface; without a serial number the same USB
// location, else the same by-id link, else the same name. A path must keep
// its name and lead to the same kind of device. Never true for a different
// adapter that merely got the old name.
bool SameDevice(const TSerialPortInfo& known, const TSerialPortInfo& found);

// Sorts records by name in the order of ListSerialPorts.
void SortPortDetails(std::vector<TSerialPortInfo>& list);

// The directory whose serial/by-id links are read ("/dev" unless changed;
// tests point it at trees they build). Paths that resolve to a file directly
// in this directory are kernel ttys of that name.
void SetDevRoot(const std::string& root);

}  // namespace CPort
