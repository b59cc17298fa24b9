// The serial ports present on this machine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace CPort {

// Replaces `list` with the names of the serial ports present, sorted
// case-insensitively in the user's locale (plain text order: ttyS10 before
// ttyS2). The names are those TComPort::SetPort accepts. Sources:
//  - ttys under the kernel's tty class (/sys/class/tty) that have a device
//    behind them, except legacy 8250 ports without a UART;
//  - the names listed in CPORT_EXTRA_PORTS (SplitExtraPorts);
//  - the registered virtual devices.
// A tty entry that vanishes or cannot be read while the list is read is left
// out. Raises EComPort code 23 with the errno when the tty class itself cannot
// be read; `list` is then unchanged.
// Any thread. A port being listed says nothing about whether it can be
// opened (permissions, another program holding it).
void ListSerialPorts(std::vector<std::string>& list);

// The names in a CPORT_EXTRA_PORTS value: separated by ':' or ';', empty
// ones skipped. The colons of a network port name belong to it, so
// "/dev/pts/3:rfc2217://[::1]:2000:socket://host:7000" holds three names.
std::vector<std::string> SplitExtraPorts(std::string_view list);

// The sysfs root used by ListSerialPorts ("/sys" unless changed; tests point
// it at trees they build). Any thread; a listing under way keeps the root it
// started with.
void SetSysfsRoot(const std::string& root);

}  // namespace CPort
