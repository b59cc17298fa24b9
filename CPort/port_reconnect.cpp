#include "CPort/port_reconnect_p.h"

#include <algorithm>
#include <chrono>

#include "CPort/ComPort.h"
#include "CPort/platform/net_address.h"
#include "CPort/port_monitor_p.h"
#include "CPort/runtime/MainThread.h"

namespace CPort::Detail {

namespace {

// A reopen can fail while the returning device is still being set up (udev
// setting its rights, a modem manager probing it). It is tried again after
// these delays, then only when the ports change again. A port on another
// machine has no presence to watch: it is tried again at the last delay for
// as long as the wait lasts.
constexpr std::chrono::milliseconds kRetryDelays[] = {std::chrono::milliseconds(250), std::chrono::milliseconds(500),
                                                      std::chrono::milliseconds(1000), std::chrono::milliseconds(2000),
                                                      std::chrono::milliseconds(4000)};
// A network port lost again sooner than this after its reopen is retried on
// the growing delays, not at once.
constexpr std::chrono::seconds kSteadyConnection{10};

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds RetryDelay(int failures) {
  const int last = static_cast<int>(std::size(kRetryDelays)) - 1;
  return kRetryDelays[failures < last ? failures : last];
}

// Runs a handler of the port; its error goes to the application's error
// display, since no caller waits for it.
template <typename Fire>
void RunHandler(TCustomComPort& port, Fire&& fire) {
  try {
    fire();
  } catch (...) {
    Runtime::ShowApplicationError(std::current_exception(), &port);
  }
}

}  // namespace

PortReconnect::PortReconnect(TCustomComPort& port) : port_(port) {}

PortReconnect::~PortReconnect() { StopWatching(); }

void PortReconnect::Opened() {
  // A reopen keeps the count of failures until the connection proved steady.
  if (!waiting_) failedReopens_ = 0;
  waiting_ = false;
  lastError_ = nullptr;
  StopWatching();
  if (port_.Reconnect()) device_ = SerialPortDetails(port_.Port());
}

void PortReconnect::Cancel() {
  waiting_ = false;
  StopWatching();
}

std::function<void()> PortReconnect::LossReporter() {
  const unsigned generation = ++openGeneration_;
  const std::weak_ptr<PortReconnect> weak = weak_from_this();
  return [weak, generation] {
    Runtime::PostToMainThread([weak, generation] {
      if (const auto self = weak.lock()) self->HandleLoss(generation);
    });
  };
}

void PortReconnect::HandleLoss(unsigned openGeneration) {
  // A later open (or close) made this report stale.
  if (openGeneration != openGeneration_ || !port_.Reconnect() || !port_.Connected()) return;
  const TSerialPortInfo lost = device_;
  try {
    port_.ClosePort();
  } catch (...) {
    Runtime::ShowApplicationError(std::current_exception(), &port_);
    if (port_.Connected()) return;  // a handler kept it open
  }
  device_ = lost;
  waiting_ = true;
  const bool lostAgainSoon = Platform::IsNetPortName(device_.Name) && reopenedAt_ != Clock::time_point{} &&
                             Clock::now() - reopenedAt_ < kSteadyConnection;
  if (!lostAgainSoon) failedReopens_ = 0;
  lastError_ = nullptr;
  RunHandler(port_, [&] {
    if (port_.OnDeviceWait) port_.OnDeviceWait(&port_);
  });
  if (waiting_) StartWatching(lostAgainSoon);
}

void PortReconnect::StartWatching(bool retryLater) {
  StopWatching();
  const unsigned generation = ++watchGeneration_;
  const std::weak_ptr<PortReconnect> weak = weak_from_this();
  auto listener = [weak, generation](const PortMonitor::Scan& scan) {
    if (scan.error) return;  // the next change lists again
    Runtime::PostToMainThread([weak, generation, present = scan.present] {
      const auto self = weak.lock();
      if (self && self->watchGeneration_ == generation) self->Check(present);
    });
  };
  // A path may be none of the extra ports; follow it all the same.
  std::vector<std::string> paths;
  if (device_.Source == TPortSource::psPath) paths.push_back(device_.Name);
  PortMonitor::Scan current;
  try {
    subscription_ = PortMonitor::Shared().Subscribe(std::move(listener), paths, current);
  } catch (...) {
    // Without a list of ports nothing can come back; say so.
    lastError_ = std::current_exception();
    Runtime::ShowApplicationError(lastError_, &port_);
    return;
  }
  if (retryLater) {
    RetryLater();
    return;
  }
  Check(current.present);  // it may be back already
}

void PortReconnect::RetryLater() {
  if (failedReopens_ >= static_cast<int>(std::size(kRetryDelays)) && !Platform::IsNetPortName(device_.Name)) return;
  PortMonitor::Shared().RescanAfter(RetryDelay(failedReopens_));
  if (failedReopens_ < 1000) ++failedReopens_;
}

void PortReconnect::StopWatching() {
  ++watchGeneration_;
  if (subscription_ == 0) return;
  const int subscription = subscription_;
  subscription_ = 0;
  PortMonitor::Shared().Unsubscribe(subscription);
}

void PortReconnect::Check(const std::vector<TSerialPortInfo>& present) {
  if (!waiting_) return;
  if (Platform::IsNetPortName(device_.Name)) {
    // Only connecting tells whether the server is back.
    Reopen(device_);
    return;
  }
  const TSerialPortInfo* found = nullptr;
  for (const auto& info : present) {
    if (!SameDevice(device_, info)) continue;
    // Of several ports of one device (never expected), the old name wins.
    if (found == nullptr || info.Name == device_.Name) found = &info;
  }
  if (found != nullptr) Reopen(*found);
}

void PortReconnect::Reopen(const TSerialPortInfo& device) {
  // The same device may have come back under another name; the port follows
  // it there. Nothing else of its settings changes.
  const std::string previous = port_.port_;
  port_.port_ = device.Name;
  try {
    port_.OpenPort();
  } catch (...) {
    if (port_.Connected()) {
      // Open, but a handler of the open notifications failed.
      Runtime::ShowApplicationError(std::current_exception(), &port_);
    } else {
      // Not shown: the loss was, and a retry is no news. Readable through
      // the port's ReconnectError.
      port_.port_ = previous;
      lastError_ = std::current_exception();
      RetryLater();
      return;
    }
  }
  reopenedAt_ = Clock::now();
  RunHandler(port_, [&] {
    if (port_.OnDeviceBack) port_.OnDeviceBack(&port_);
  });
}

}  // namespace CPort::Detail
