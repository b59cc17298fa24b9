#include "CPort/PortWatcher.h"

#include <algorithm>
#include <mutex>

#include "CPort/ComErrors.h"
#include "CPort/port_monitor_p.h"
#include "CPort/runtime/MainThread.h"

namespace CPort {

using Detail::PortMonitor;

namespace {

bool SameEntry(const TSerialPortInfo& a, const TSerialPortInfo& b) { return a.Name == b.Name && SameDevice(a, b); }

bool Contains(const std::vector<TSerialPortInfo>& list, const TSerialPortInfo& info) {
  return std::any_of(list.begin(), list.end(), [&](const TSerialPortInfo& other) { return SameEntry(info, other); });
}

}  // namespace

struct TPortWatcher::Inner {
  explicit Inner(TPortWatcher* watcher) : owner(watcher) {}

  TPortWatcher* owner;
  // With smNone the reports are handled on the monitor's thread.
  mutable std::mutex mutex;
  std::vector<TSerialPortInfo> known;
  unsigned long baseline = 0;
  int subscription = 0;       // 0 while inactive
  unsigned generation = 0;    // one per Start and Stop
  bool missedWhileStarting = false;
  bool listingFails = false;

  // Handles one report for the Start that counted `gen`.
  void Handle(unsigned gen, const PortMonitor::Scan& scan) {
    std::vector<TSerialPortInfo> removed, added;
    {
      const std::lock_guard lock(mutex);
      if (gen != generation) return;  // stopped meanwhile
      if (subscription == 0) {
        // Start has not taken in its own listing yet.
        missedWhileStarting = true;
        return;
      }
      if (scan.number < baseline) return;  // began before the listing Start took
      if (scan.error) {
        // Said once per failing stretch, not at every event while it lasts.
        if (!listingFails) Runtime::ShowApplicationError(scan.error, owner);
        listingFails = true;
        return;
      }
      listingFails = false;
      for (const auto& info : known)
        if (!Contains(scan.present, info)) removed.push_back(info);
      for (const auto& info : scan.present)
        if (!Contains(known, info)) added.push_back(info);
      known = scan.present;
    }
    if (removed.empty() && added.empty()) return;
    for (const auto& info : removed)
      if (owner->OnPortRemoved) owner->OnPortRemoved(owner, info);
    for (const auto& info : added)
      if (owner->OnPortAdded) owner->OnPortAdded(owner, info);
    if (owner->OnChange) owner->OnChange(owner);
  }
};

TPortWatcher::TPortWatcher(TComponent* owner) : TComponent(owner), inner_(std::make_shared<Inner>(this)) {}

TPortWatcher::~TPortWatcher() { Stop(); }

void TPortWatcher::SetSyncMethod(TSyncMethod value) {
  if (value == syncMethod_) return;
  if (Active()) throw EComPort(PortErr::SetWhileConnected);
  syncMethod_ = value;
}

void TPortWatcher::Start() {
  if (Active()) return;
  unsigned gen;
  {
    const std::lock_guard lock(inner_->mutex);
    gen = ++inner_->generation;
    inner_->missedWhileStarting = false;
  }
  const std::weak_ptr<Inner> weak = inner_;
  PortMonitor::Listener listener;
  if (syncMethod_ == smNone) {
    listener = [weak, gen](const PortMonitor::Scan& scan) {
      if (const auto inner = weak.lock()) inner->Handle(gen, scan);
    };
  } else {
    listener = [weak, gen](const PortMonitor::Scan& scan) {
      Runtime::PostToMainThread([weak, gen, scan] {
        if (const auto inner = weak.lock()) inner->Handle(gen, scan);
      });
    };
  }
  PortMonitor::Scan current;
  const int subscription = PortMonitor::Shared().Subscribe(std::move(listener), paths_, current);
  bool missed;
  {
    const std::lock_guard lock(inner_->mutex);
    inner_->subscription = subscription;
    inner_->known = std::move(current.present);
    inner_->baseline = current.number;
    inner_->listingFails = false;
    missed = inner_->missedWhileStarting;
  }
  // A report came before the listing above was taken in: ask for a fresh one
  // rather than guess which of the two is newer.
  if (missed) PortMonitor::Shared().RescanAfter(std::chrono::milliseconds(0));
}

void TPortWatcher::Stop() {
  int subscription;
  {
    const std::lock_guard lock(inner_->mutex);
    subscription = inner_->subscription;
    inner_->subscription = 0;
    ++inner_->generation;
  }
  if (subscription != 0) PortMonitor::Shared().Unsubscribe(subscription);
}

bool TPortWatcher::Active() const {
  const std::lock_guard lock(inner_->mutex);
  return inner_->subscription != 0;
}

std::vector<TSerialPortInfo> TPortWatcher::Ports() const {
  const std::lock_guard lock(inner_->mutex);
  return inner_->known;
}

int TPortWatcher::SourceError() const { return PortMonitor::Shared().SourceError(); }

}  // namespace CPort
