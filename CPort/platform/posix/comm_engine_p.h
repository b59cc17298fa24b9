// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// The comm engine: one per open device. It keeps the Windows communications
// semantics on top of a DeviceBackend (see device_backend_p.h): the input
// queue sized by SetupComm, overlapped reads, writes and the event wait,
// COMMTIMEOUTS, purge, the event history and ClearCommError's bookkeeping.
//
// The engine has no thread. Work is done where it becomes possible: a read
// that can be satisfied, or a write the device takes whole, completes inline
// in the caller's thread. What has to wait is queued, and the engine's epoll
// descriptor (the device, edge-triggered, with EPOLLOUT only while writes are
// pending; a timerfd at the nearest transfer deadline) tells when it can go
// on. The threads that wait for the engine's operations poll that descriptor
// and run the engine's step (Drive) themselves (see event_object_p.h); while
// transfers are pending and nobody waits, the process's unattended driver
// does (unattended_driver_p.h). Push-style backends (no descriptor) deliver
// through the DeviceSink calls, which do the work in the reporting thread.
//
// Input: when the backend reads its descriptor unchanged and no event needs
// to see the bytes as they arrive (rx-flag), the kernel's queue is the input
// queue: arrivals are learnt from the descriptor's edges and FIONREAD, and
// reads go straight into the caller's buffer. Otherwise bytes are read at
// arrival into a user-space queue that grows with the data.
//
// Every state change happens under one mutex per engine. Sink calls that a
// backend makes from inside a call the engine is making (same thread, mutex
// held) are noted and applied when that engine step ends, so a backend never
// re-enters the engine in the middle of an update.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "device_backend_p.h"
#include "event_object_p.h"
#include "input_queue_p.h"
#include "transfer_timeouts.h"
#include "win_comm.h"

namespace CPort::Platform {

class CommEngine final : public DeviceSink, public EventDriver, public std::enable_shared_from_this<CommEngine> {
 public:
  // The input queue's size until SetupComm, and its floor: the size given to
  // SetupComm is a recommendation, and like the Windows serial driver the
  // queue never becomes smaller than its default. A port asking for 1024
  // bytes still sees everything waiting up to the default (a tty's kernel
  // queue holds as much again), instead of finding the rest invisible.
  static constexpr DWORD kDefaultInputSize = 4096;
  // What a tty's (and a pty's) kernel input queue holds. A larger requested
  // size is kept in user space, so that it can fill to 80% and beyond.
  static constexpr DWORD kKernelQueueBytes = 4096;
  // The largest queue size SetupComm takes: a signed 32-bit count.
  static constexpr DWORD kMaxQueueSize = 0x7FFFFFFF;

  explicit CommEngine(std::unique_ptr<DeviceBackend> backend);
  ~CommEngine() override;
  CommEngine(const CommEngine&) = delete;
  CommEngine& operator=(const CommEngine&) = delete;

  // Sets up the engine's descriptors and attaches to the backend; 0 or an
  // errno. The engine must be owned by a shared_ptr.
  int Start();
  // Ends pending operations with ERROR_OPERATION_ABORTED and releases the
  // device. The result is the CloseHandle interception (the device is
  // released either way).
  DWORD Close();

  // The calls of win_comm.h. Each returns ERROR_SUCCESS, ERROR_IO_PENDING or
  // the error code for the caller's last error. `event` is the OVERLAPPED's
  // event object (may be null).
  DWORD SetupComm(DWORD inQueue, DWORD outQueue);
  DWORD SetState(const DCB& dcb);
  DWORD SetTimeouts(const COMMTIMEOUTS& timeouts);
  DWORD SetMask(DWORD mask);
  DWORD WaitEvent(DWORD* events, OVERLAPPED* overlapped, std::shared_ptr<EventObject> event);
  DWORD Read(void* buffer, DWORD count, OVERLAPPED* overlapped, std::shared_ptr<EventObject> event,
             DWORD& done);
  DWORD Write(const void* data, DWORD count, OVERLAPPED* overlapped, std::shared_ptr<EventObject> event,
              DWORD& done);
  DWORD Purge(DWORD flags);
  DWORD ClearError(DWORD* errors, COMSTAT* stat);
  DWORD ModemStatus(DWORD& status);
  DWORD SetBreak(bool on);
  // GetOverlappedResult for an operation started on this device.
  DWORD OverlappedResult(OVERLAPPED* overlapped, bool wait, DWORD& transferred);
  // The calling thread's stretch of awaited transfers has ended: its
  // transfers still pending here become ordinary pending work.
  void ReleaseAwaited();

  // DeviceSink
  void BytesArrived(const std::uint8_t* data, std::size_t count) override;
  void LineEvents(DWORD events) override;
  void LineErrors(DWORD errors) override;
  void Wake() override;
  void DeviceLost(int error) override;

  // EventDriver
  int WaitDescriptor() const override { return epollFd_; }
  void Drive() override;
  void Lead(int change) override;

 private:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;
  class Guard;

  // A pending ReadFile or WriteFile. The caller's buffer is used in place
  // until the transfer completes.
  struct Transfer {
    OVERLAPPED* overlapped = nullptr;
    std::shared_ptr<EventObject> event;
    std::uint8_t* in = nullptr;         // read destination
    const std::uint8_t* out = nullptr;  // write source
    std::size_t count = 0;
    std::size_t done = 0;
    ReadPlan read;                      // reads
    std::optional<std::uint64_t> totalMs;
    bool active = false;                // at the head of its queue, deadlines running
    std::thread::id awaitedBy;          // the thread that waits for it at once, if any
    TimePoint totalDeadline = TimePoint::max();
    TimePoint intervalDeadline = TimePoint::max();
    TimePoint Deadline() const { return std::min(totalDeadline, intervalDeadline); }
  };

  struct EventWait {
    OVERLAPPED* overlapped;
    std::shared_ptr<EventObject> event;
    DWORD* events;
  };

  template <typename F>
  void FromSink(F&& note);
  void Settle();
  bool ShortReadDrains() const;
  bool Captures() const;
  void SwitchInputMode();
  void UpdatePlan();

  void MarkPending(OVERLAPPED* overlapped, const std::shared_ptr<EventObject>& event);
  bool ActivateRead(Transfer& read, TimePoint now);
  void ActivateWrite(Transfer& write, TimePoint now) const;
  void StartNextReads();
  void FinishRead(DWORD status);
  void FinishWrite(DWORD status);
  void Publish(const Transfer& transfer, DWORD status);
  void PublishResult(OVERLAPPED* overlapped, const std::shared_ptr<EventObject>& event, DWORD status,
                     std::size_t bytes);
  void FinishWait(DWORD status, DWORD events);

  void InputEdge();
  void RememberWaitingInput();
  std::size_t ReadDevice(std::uint8_t* target, std::size_t room, bool report);
  void PullInput(bool report = true);
  void NoteInput(const std::uint8_t* data, std::size_t count);
  void NoteQueueGrowth(std::size_t before);
  void Accept(const std::uint8_t* data, std::size_t count);
  void PushOutput();
  void ExpireTransfers(TimePoint now);
  void Raise(DWORD events);
  void AddErrors(DWORD errors);
  void Lose(int error);
  void FailAll(DWORD status);
  bool IsPendingHere(const OVERLAPPED* overlapped) const;
  bool HasUnawaitedTransfers() const;
  void Queue(std::deque<Transfer>& queue, Transfer&& transfer);
  std::size_t KernelInput() const;
  DWORD AwaitCompletion(OVERLAPPED* overlapped);

  const std::unique_ptr<DeviceBackend> backend_;
  int fd_ = -1;        // the backend's descriptor, -1 for push-style
  int epollFd_ = -1;   // the device and the timer; what waiters poll
  int timerFd_ = -1;   // the nearest transfer deadline
  bool attached_ = false;

  // Serialises SetCommMask with the backend's watchers and with Close.
  std::mutex maskMutex_;

  mutable std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};  // thread holding mutex_ inside a Guard

  InputQueue queue_{kDefaultInputSize};
  // The size the port asked for: rx-80-full fires at 80% of it, whatever
  // the queue's real (possibly larger) size.
  std::uint64_t requestedInputSize_ = kDefaultInputSize;
  bool capturing_ = true;           // input is read at arrival into queue_
  bool deviceMayHaveMore_ = false;  // capturing: the queue filled before the device was empty
  std::size_t kernelSeen_ = 0;      // not capturing: kernel bytes already reported
  char evtChar_ = 0;
  COMMTIMEOUTS timeouts_{};
  DWORD mask_ = 0;
  DWORD history_ = 0;  // events that happened while no wait was pending
  DWORD errors_ = 0;   // CE_* flags until ClearCommError
  std::optional<EventWait> wait_;
  std::deque<Transfer> reads_;
  std::deque<Transfer> writes_;
  int lost_ = 0;  // errno of a lost device
  bool closing_ = false;

  // Sink reports made from inside an engine step, applied when it ends.
  DWORD deferredEvents_ = 0;
  DWORD deferredErrors_ = 0;
  int deferredLost_ = 0;
  bool deferredWake_ = false;
  std::vector<std::uint8_t> deferredBytes_;

  // Who drives the engine: threads waiting on its descriptor, threads in
  // GetOverlappedResult for one of its operations, or the unattended driver.
  int leaders_ = 0;
  std::vector<std::shared_ptr<Waiter>> completionWaiters_;
  bool unattended_ = false;             // registered with the unattended driver
  std::uint32_t deviceInterest_ = 0;    // the device's epoll events now
  // When the timer fires next: never later than the nearest deadline, but
  // possibly earlier (a deadline that moved on is not re-armed until the
  // timer fires for it), so that a stream of transfers costs no timer call
  // each.
  TimePoint armedDeadline_ = TimePoint::max();
};

}  // namespace CPort::Platform
