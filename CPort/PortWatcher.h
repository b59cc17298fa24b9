// TPortWatcher: reports serial ports as they come and go, without polling.
//
// Kernel ttys are followed through the kernel's uevents (no udevd needed),
// ports given as paths (CPORT_EXTRA_PORTS, or Watch) through inotify on
// their directories, so a link that disappears and returns is seen. All
// watchers of a process share one thread, which sleeps while nothing
// changes and runs only while some watcher is active.
//
// Where the kernel refuses the uevent socket, SourceError says why, the
// application's error display is told once per process ("EnumPorts function
// failed" with the errno), and the watcher reports only the paths it can
// still watch; it never falls back to polling.
//
// Thread safety: main thread only, like a port. With smNone the handlers run
// on the watcher's thread; they may stop their own watcher but must not
// start or stop others (the shared thread would wait for itself).
#pragma once

#ifdef _WIN32
#error "TPortWatcher follows the kernel's device events and is part of the POSIX build only (docs/windows.md)"
#endif

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CPort/ComTypes.h"
#include "CPort/PortDetails.h"
#include "CPort/runtime/Component.h"

namespace CPort {

class TPortWatcher : public TComponent {
 public:
  explicit TPortWatcher(TComponent* owner = nullptr);
  // Stops; no handler runs once it has returned.
  ~TPortWatcher() override;

  // smThreadSync and smWindowSync: handlers run on the main thread, queued
  // in order (the watcher's thread does not wait for them). smNone: on the
  // watcher's thread. Refused while active (EComPort code 14).
  TSyncMethod SyncMethod() const { return syncMethod_; }
  void SetSyncMethod(TSyncMethod value);

  // Paths to follow besides CPORT_EXTRA_PORTS. Used by the next Start.
  const std::vector<std::string>& Watch() const { return paths_; }
  void SetWatch(std::vector<std::string> paths) { paths_ = std::move(paths); }

  // Lists the ports present (Ports) and follows them from then on. Raises
  // what ListSerialPorts raises; the watcher then stays inactive. Nothing
  // when already active.
  void Start();
  // Stops following; reports still queued are dropped.
  void Stop();
  bool Active() const;

  // The ports present as of the last report handled, sorted by name.
  std::vector<TSerialPortInfo> Ports() const;

  // The errno with which the kernel refused the uevent socket (or inotify);
  // 0 while both work.
  int SourceError() const;

  // For each report: OnPortRemoved for every port gone (with what was known
  // of it), then OnPortAdded for every new one, then OnChange. A port whose
  // name stayed but whose device changed counts as removed and added.
  std::function<void(TComponent* Sender, const TSerialPortInfo& Port)> OnPortAdded;
  std::function<void(TComponent* Sender, const TSerialPortInfo& Port)> OnPortRemoved;
  std::function<void(TComponent* Sender)> OnChange;

 private:
  struct Inner;
  std::shared_ptr<Inner> inner_;
  TSyncMethod syncMethod_ = smThreadSync;
  std::vector<std::string> paths_;
};

}  // namespace CPort
