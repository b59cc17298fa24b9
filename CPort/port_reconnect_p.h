// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// Reconnecting a port whose device went away: the port calls in here when it
// opens and when it is closed or pointed elsewhere; its event thread tells
// it when event delivery ended because the device vanished. The unit then
// closes the port (its settings stay), follows the ports present through the
// port monitor, and reopens the port on the same device when it returns,
// under whatever name it got. All on the main thread, except the reporter
// the event thread calls.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "CPort/PortDetails.h"

namespace CPort {
class TCustomComPort;
}

namespace CPort::Detail {

class PortReconnect : public std::enable_shared_from_this<PortReconnect> {
 public:
  explicit PortReconnect(TCustomComPort& port);
  ~PortReconnect();
  PortReconnect(const PortReconnect&) = delete;
  PortReconnect& operator=(const PortReconnect&) = delete;

  // The port acquired and configured its device: remember which device it
  // is (with reconnecting on) and stop waiting.
  void Opened();
  // The port was closed or pointed at another name by its user: stop
  // waiting.
  void Cancel();
  // For one event thread, made on the main thread when the thread is: the
  // thread calls it when delivery ended because the device went away. Any
  // thread; the loss is handled on the main thread, if the port still holds
  // that same open by then.
  std::function<void()> LossReporter();

  bool Waiting() const { return waiting_; }
  // Why the last reopen failed, or nothing.
  std::exception_ptr LastError() const { return lastError_; }

 private:
  void HandleLoss(unsigned openGeneration);
  // `retryLater`: the first attempt waits for the next delay.
  void StartWatching(bool retryLater = false);
  void StopWatching();
  void Check(const std::vector<TSerialPortInfo>& present);
  void Reopen(const TSerialPortInfo& device);
  // Lists the ports again after the next delay, while there are delays left
  // (for ever for a port on another machine).
  void RetryLater();

  TCustomComPort& port_;
  TSerialPortInfo device_;     // the device of the last open
  unsigned openGeneration_ = 0;  // one per event thread
  bool waiting_ = false;
  int subscription_ = 0;
  unsigned watchGeneration_ = 0;
  int failedReopens_ = 0;
  // When the last reopen succeeded: a server that takes the connection and
  // drops it at once (its device missing) must not be reconnected to at once
  // again and again.
  std::chrono::steady_clock::time_point reopenedAt_{};
  std::exception_ptr lastError_;
};

}  // namespace CPort::Detail
