// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// The process's one watch over the ports present: a single thread that
// sleeps in poll on
//  - the kernel's uevents (NETLINK_KOBJECT_UEVENT; udevd's own messages are
//    taken too where it runs, so a reopen waits until udev set the rights);
//  - inotify on the directories of ports given as paths (a link's directory
//    is watched, since the link itself disappears, and the directory of
//    what it leads to);
//  - an eventfd for stopping and for the caller's changes;
//  - a deadline only while a rescan was asked for later.
// Each tty event or change of a watched name makes it list the ports again
// and hand the list to every subscriber. While nothing happens it does not
// wake up. It runs while there are subscribers.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CPort/PortDetails.h"

namespace CPort::Detail {

// The ports present: ListSerialPortDetails without the paths that do not
// exist now, plus the given paths where they exist. Raises what
// ListSerialPorts raises.
std::vector<TSerialPortInfo> ListPresentPorts(const std::vector<std::string>& morePaths);

// Whether a uevent message (the kernel's "ACTION@DEVPATH\0KEY=VALUE\0..." or
// udevd's) concerns a tty.
bool IsTtyUevent(const char* data, std::size_t size);

class PortMonitor {
 public:
  // One listing: the ports present, or the error that ended it (the list is
  // then empty). Listings are numbered in the order they began.
  struct Scan {
    std::vector<TSerialPortInfo> present;
    std::exception_ptr error;
    unsigned long number = 0;
  };
  // Called on the monitor's thread after each rescan.
  using Listener = std::function<void(const Scan& scan)>;

  static PortMonitor& Shared();

  // Registers `listener`, watching `paths` as well as CPORT_EXTRA_PORTS,
  // and sets `current` to the ports there now; every change from then on
  // reaches the listener (a report numbered below `current.number` began
  // before it and can be skipped). Returns the subscription's id. Raises
  // what ListSerialPorts raises (nothing is then registered). A source the
  // kernel refuses does not raise: see SourceError.
  int Subscribe(Listener listener, const std::vector<std::string>& paths, Scan& current);
  // Once it returns, the listener is not running and is not called again
  // (called from a listener itself, only the latter).
  void Unsubscribe(int id);
  // Lists again after `delay` (the earliest of all requests counts) and
  // reports the listing to every subscriber, changed or not.
  void RescanAfter(std::chrono::milliseconds delay);

  // The errno with which the kernel refused the uevent socket (or inotify,
  // for paths); 0 while both work. Reported once per process through the
  // application's error display.
  int SourceError() const;

  // How often the thread woke up from poll so far, counted once it has
  // handled what woke it (and handed any listing to the listeners).
  unsigned long WakeUps() const;

  // Tests: how the uevent socket is opened (returns a descriptor, or -1 with
  // errno set). nullptr restores the kernel's netlink socket. Takes effect
  // when the thread starts next.
  using SocketOpener = std::function<int()>;
  static void SetUeventSocketOpener(SocketOpener opener);

  PortMonitor();
  ~PortMonitor();
  PortMonitor(const PortMonitor&) = delete;
  PortMonitor& operator=(const PortMonitor&) = delete;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace CPort::Detail
