// The comm engine (see comm_engine_p.h).
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

#include "comm_engine_p.h"
#include "event_object_p.h"

namespace CPort::Platform {

namespace {

constexpr DWORD kValidEvents = 0x1FFF;
constexpr DWORD kValidPurge = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// A timeout longer than this never expires in practice; capping it keeps the
// deadline arithmetic inside the clock's range.
constexpr std::uint64_t kForeverMs = 1ull << 40;

std::chrono::steady_clock::time_point After(std::chrono::steady_clock::time_point now, std::uint64_t ms) {
  if (ms >= kForeverMs) return std::chrono::steady_clock::time_point::max();
  return now + std::chrono::milliseconds(ms);
}

ULONG_PTR LoadStatus(OVERLAPPED* overlapped) {
  return std::atomic_ref<ULONG_PTR>(overlapped->Internal).load(std::memory_order_acquire);
}

// Marks an OVERLAPPED as carrying a started operation. The engine publishes
// the result through the same atomic fields from whichever thread ends it.
void MarkPending(OVERLAPPED* overlapped, const std::shared_ptr<EventObject>& event) {
  std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(0, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(STATUS_PENDING, std::memory_order_release);
  if (event) event->Reset();
}

bool IsValidState(const DCB& dcb) {
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
  if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return false;
  // 1.5 stop bits exist only with 5 data bits, 2 stop bits only without.
  if ((dcb.StopBits == ONE5STOPBITS) != (dcb.ByteSize == 5) && dcb.StopBits != ONESTOPBIT) return false;
  if (dcb.DtrControl() > DTR_CONTROL_HANDSHAKE) return false;
  const bool softwareFlow = (dcb.Flags & (DcbFlag::fOutX | DcbFlag::fInX)) != 0;
  if (softwareFlow && dcb.XonChar == dcb.XoffChar) return false;
  return true;
}

}  // namespace

// Holds the engine mutex for one step; when the step ends, applies what
// backends reported during it and wakes the engine thread if its sleep no
// longer fits.
class CommEngine::Guard {
 public:
  explicit Guard(CommEngine& engine) : engine_(engine), lock_(engine.mutex_) {
    engine_.owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  ~Guard() {
    engine_.Settle();
    engine_.owner_.store(std::thread::id(), std::memory_order_relaxed);
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  CommEngine& engine_;
  std::lock_guard<std::mutex> lock_;
};

CommEngine::CommEngine(std::unique_ptr<DeviceBackend> backend) : backend_(std::move(backend)) {}

CommEngine::~CommEngine() {
  bool open = false;
  {
    std::lock_guard lock(mutex_);
    open = !closing_;
  }
  if (open) Close();
}

int CommEngine::Start() {
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) return errno;
  fd_ = backend_->PollFd();
  backend_->Attach(this);
  attached_ = true;
  try {
    thread_ = std::thread(&CommEngine::Run, this);
  } catch (const std::system_error& error) {
    return error.code().value();
  }
  return 0;
}

DWORD CommEngine::Close() {
  const DWORD intercepted = static_cast<DWORD>(backend_->Intercept(CommCall::CloseHandle));
  {
    Guard guard(*this);
    if (closing_) return ERROR_INVALID_HANDLE;
    closing_ = true;
    FailAll(ERROR_OPERATION_ABORTED);
  }
  if (thread_.joinable()) {
    Signal();
    thread_.join();
  }
  // Outside the mutex: a backend's Detach may wait for its own threads,
  // which may be waiting for the engine.
  if (attached_) backend_->Detach();
  backend_->Close();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  return intercepted;
}

// ---- configuration ---------------------------------------------------------

DWORD CommEngine::SetupComm(DWORD inQueue, DWORD outQueue) {
  if (const int error = backend_->Intercept(CommCall::SetupComm)) return error;
  if (inQueue == 0) return ERROR_INVALID_PARAMETER;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (const int error = backend_->SetupQueues(inQueue, outQueue)) return error;
  try {
    queue_.SetLimit(std::max(inQueue, kDefaultInputSize));
    requestedInputSize_ = inQueue;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  if (fd_ < 0) PullInput();
  return ERROR_SUCCESS;
}

DWORD CommEngine::SetState(const DCB& dcb) {
  if (const int error = backend_->Intercept(CommCall::SetCommState)) return error;
  if (!IsValidState(dcb)) return ERROR_INVALID_PARAMETER;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (const int error = backend_->ApplyState(dcb)) return error;
  evtChar_ = dcb.EvtChar;
  return ERROR_SUCCESS;
}

DWORD CommEngine::SetTimeouts(const COMMTIMEOUTS& timeouts) {
  if (const int error = backend_->Intercept(CommCall::SetCommTimeouts)) return error;
  // "Return at once" and "wait for ever" at the same time means nothing.
  if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts.ReadTotalTimeoutConstant == MAXDWORD) {
    return ERROR_INVALID_PARAMETER;
  }
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (const int error = backend_->ApplyTimeouts(timeouts)) return error;
  // Transfers already started keep the timeouts they started with.
  timeouts_ = timeouts;
  return ERROR_SUCCESS;
}

// ---- events ------------------------------------------------------------------

DWORD CommEngine::SetMask(DWORD mask) {
  if (const int error = backend_->Intercept(CommCall::SetCommMask)) return error;
  if ((mask & ~kValidEvents) != 0) return ERROR_INVALID_PARAMETER;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (wait_) FinishWait(ERROR_SUCCESS, 0);
  history_ &= mask;
  mask_ = mask;
  return ERROR_SUCCESS;
}

DWORD CommEngine::WaitEvent(DWORD* events, OVERLAPPED* overlapped, std::shared_ptr<EventObject> event) {
  if (const int error = backend_->Intercept(CommCall::WaitCommEvent)) return error;
  if (events == nullptr) return ERROR_INVALID_PARAMETER;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (lost_) return static_cast<DWORD>(lost_);
  if (mask_ == 0 || wait_) return ERROR_INVALID_PARAMETER;
  if (history_ != 0) {
    *events = history_;
    history_ = 0;
    PublishResult(overlapped, event, ERROR_SUCCESS, sizeof(DWORD));
    return ERROR_SUCCESS;
  }
  MarkPending(overlapped, event);
  wait_ = EventWait{overlapped, std::move(event), events};
  return ERROR_IO_PENDING;
}

void CommEngine::FinishWait(DWORD status, DWORD events) {
  const EventWait wait = *wait_;
  wait_.reset();
  *wait.events = events;
  PublishResult(wait.overlapped, wait.event, status, status == ERROR_SUCCESS ? sizeof(DWORD) : 0);
}

void CommEngine::Raise(DWORD events) {
  events &= mask_;
  if (events == 0) return;
  if (wait_) {
    FinishWait(ERROR_SUCCESS, events);
  } else {
    history_ |= events;
  }
}

void CommEngine::AddErrors(DWORD errors) {
  errors_ |= errors;
  DWORD events = 0;
  if (errors & CE_BREAK) events |= EV_BREAK;
  if (errors & ~CE_BREAK) events |= EV_ERR;
  Raise(events);
}

// ---- transfers ---------------------------------------------------------------

CommEngine::Transfer CommEngine::MakeRead(void* buffer, DWORD count, OVERLAPPED* overlapped,
                                          std::shared_ptr<EventObject> event) const {
  Transfer read;
  read.overlapped = overlapped;
  read.event = std::move(event);
  read.in = static_cast<std::uint8_t*>(buffer);
  read.count = count;
  const DWORD interval = timeouts_.ReadIntervalTimeout;
  const DWORD multiplier = timeouts_.ReadTotalTimeoutMultiplier;
  const DWORD constant = timeouts_.ReadTotalTimeoutConstant;
  const std::uint64_t total = std::uint64_t{multiplier} * count + constant;
  if (interval == MAXDWORD) {
    if (multiplier == 0 && constant == 0) {
      read.immediate = true;
    } else if (multiplier == MAXDWORD) {
      read.returnIfAny = true;
      read.firstByte = true;
      read.totalMs = constant;
    } else {
      read.returnIfAny = true;
      read.totalMs = total;
    }
  } else {
    if (multiplier != 0 || constant != 0) read.totalMs = total;
    read.intervalMs = interval;
  }
  return read;
}

CommEngine::Transfer CommEngine::MakeWrite(const void* data, DWORD count, OVERLAPPED* overlapped,
                                           std::shared_ptr<EventObject> event) const {
  Transfer write;
  write.overlapped = overlapped;
  write.event = std::move(event);
  write.out = static_cast<const std::uint8_t*>(data);
  write.count = count;
  const DWORD multiplier = timeouts_.WriteTotalTimeoutMultiplier;
  const DWORD constant = timeouts_.WriteTotalTimeoutConstant;
  if (multiplier != 0 || constant != 0) write.totalMs = std::uint64_t{multiplier} * count + constant;
  return write;
}

// A read reaching the head of the queue takes what the input queue holds and
// starts its timers. Returns true when the read is complete already.
bool CommEngine::ActivateRead(Transfer& read, TimePoint now) {
  read.active = true;
  const std::size_t taken = queue_.Take(read.in + read.done, read.count - read.done);
  read.done += taken;
  if (read.done == read.count || read.immediate || (read.returnIfAny && read.done > 0)) return true;
  if (read.firstByte) read.count = read.done + 1;
  if (read.totalMs) read.totalDeadline = After(now, *read.totalMs);
  if (read.intervalMs != 0 && read.done > 0) read.intervalDeadline = After(now, read.intervalMs);
  return false;
}

void CommEngine::ActivateWrite(Transfer& write, TimePoint now) const {
  write.active = true;
  if (write.totalMs) write.totalDeadline = After(now, *write.totalMs);
}

void CommEngine::StartNextReads() {
  const TimePoint now = Clock::now();
  while (!reads_.empty() && !reads_.front().active) {
    if (!ActivateRead(reads_.front(), now)) return;
    FinishRead(ERROR_SUCCESS);
  }
}

void CommEngine::FinishRead(DWORD status) {
  Publish(reads_.front(), status);
  reads_.pop_front();
  StartNextReads();
}

void CommEngine::FinishWrite(DWORD status) {
  Publish(writes_.front(), status);
  writes_.pop_front();
  if (writes_.empty()) {
    if (status == ERROR_SUCCESS) backend_->WatchTxEmpty();
  } else {
    ActivateWrite(writes_.front(), Clock::now());
  }
}

void CommEngine::Publish(const Transfer& transfer, DWORD status) {
  PublishResult(transfer.overlapped, transfer.event, status, transfer.done);
}

// The OVERLAPPED may be reused or freed by its owner as soon as the status
// turns final, so it is written last and nothing touches it afterwards.
void CommEngine::PublishResult(OVERLAPPED* overlapped, const std::shared_ptr<EventObject>& event, DWORD status,
                               std::size_t bytes) {
  std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(bytes, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(status, std::memory_order_release);
  if (event) event->Set();
  if (completionWaiters_ > 0) completed_.notify_all();
}

void CommEngine::FailAll(DWORD status) {
  for (const Transfer& read : reads_) Publish(read, status);
  reads_.clear();
  for (const Transfer& write : writes_) Publish(write, status);
  writes_.clear();
  if (wait_) FinishWait(status, 0);
}

void CommEngine::Lose(int error) {
  if (lost_ != 0) return;
  lost_ = error != 0 ? error : EIO;
  FailAll(static_cast<DWORD>(lost_));
}

DWORD CommEngine::Read(void* buffer, DWORD count, OVERLAPPED* overlapped, std::shared_ptr<EventObject> event,
                       DWORD& done) {
  done = 0;
  if (const int error = backend_->Intercept(CommCall::ReadFile)) return error;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (lost_) return static_cast<DWORD>(lost_);
  Transfer read = MakeRead(buffer, count, overlapped, std::move(event));
  if (reads_.empty()) {
    // What the device holds already may finish the read here and now.
    if (queue_.Size() < count) PullInput();
    if (lost_) return static_cast<DWORD>(lost_);
    if (ActivateRead(read, Clock::now())) {
      done = static_cast<DWORD>(read.done);
      Publish(read, ERROR_SUCCESS);
      // A push-style device keeps what did not fit; there is room now.
      if (fd_ < 0 && done > 0) PullInput();
      return ERROR_SUCCESS;
    }
  }
  MarkPending(overlapped, read.event);
  reads_.push_back(std::move(read));
  return ERROR_IO_PENDING;
}

DWORD CommEngine::Write(const void* data, DWORD count, OVERLAPPED* overlapped,
                        std::shared_ptr<EventObject> event, DWORD& done) {
  done = 0;
  if (const int error = backend_->Intercept(CommCall::WriteFile)) return error;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (lost_) return static_cast<DWORD>(lost_);
  Transfer write = MakeWrite(data, count, overlapped, std::move(event));
  if (writes_.empty()) {
    while (write.done < write.count) {
      const ssize_t written = backend_->Write(write.out + write.done, write.count - write.done);
      if (written == -EINTR) continue;
      if (written == -EAGAIN || written == 0) break;
      if (written < 0) return static_cast<DWORD>(-written);
      write.done += static_cast<std::size_t>(written);
    }
    if (write.done == write.count) {
      done = count;
      Publish(write, ERROR_SUCCESS);
      backend_->WatchTxEmpty();
      return ERROR_SUCCESS;
    }
    ActivateWrite(write, Clock::now());
  }
  MarkPending(overlapped, write.event);
  writes_.push_back(std::move(write));
  return ERROR_IO_PENDING;
}

// Reads what the device has, straight into the pending read when there is
// one (the input queue is then empty), else into the queue's free space. A
// full queue is not read from, so the device's own flow control can act.
void CommEngine::PullInput() {
  if (lost_ || closing_) return;
  for (;;) {
    std::uint8_t* target = nullptr;
    std::size_t room = 0;
    const bool intoRead = !reads_.empty();
    if (intoRead) {
      Transfer& read = reads_.front();
      target = read.in + read.done;
      room = read.count - read.done;
    } else {
      const std::span<std::uint8_t> span = queue_.FreeSpan();
      target = span.data();
      room = span.size();
    }
    if (room == 0) return;
    const ssize_t got = backend_->Read(target, room);
    if (got == -EAGAIN || got == -EINTR || got == 0) return;
    if (got < 0) {
      Lose(static_cast<int>(-got));
      return;
    }
    Received(target, static_cast<std::size_t>(got), intoRead);
    if (static_cast<std::size_t>(got) < room) return;
  }
}

// Bookkeeping for bytes that have just been placed in the pending read or at
// the end of the input queue.
void CommEngine::Received(std::uint8_t* data, std::size_t count, bool intoRead) {
  DWORD events = EV_RXCHAR;
  if ((mask_ & EV_RXFLAG) && std::memchr(data, static_cast<unsigned char>(evtChar_), count) != nullptr) {
    events |= EV_RXFLAG;
  }
  if (intoRead) {
    Transfer& read = reads_.front();
    read.done += count;
    if (read.done == read.count) {
      FinishRead(ERROR_SUCCESS);
    } else if (read.intervalMs != 0) {
      read.intervalDeadline = After(Clock::now(), read.intervalMs);
    }
  } else {
    const std::uint64_t before = queue_.Size();
    queue_.Commit(count);
    const std::uint64_t after = queue_.Size();
    const std::uint64_t limit = requestedInputSize_;
    if (before * 10 < limit * 8 && after * 10 >= limit * 8) events |= EV_RX80FULL;
  }
  Raise(events);
}

// Input a push-style backend hands over. What neither the pending read nor
// the queue can take is lost, and reported as an input overflow.
void CommEngine::Accept(const std::uint8_t* data, std::size_t count) {
  while (count > 0 && !lost_ && !closing_) {
    const bool intoRead = !reads_.empty();
    std::uint8_t* target = nullptr;
    std::size_t room = 0;
    if (intoRead) {
      target = reads_.front().in + reads_.front().done;
      room = reads_.front().count - reads_.front().done;
    } else {
      const std::span<std::uint8_t> span = queue_.FreeSpan();
      target = span.data();
      room = span.size();
    }
    if (room == 0) {
      AddErrors(CE_RXOVER);
      return;
    }
    const std::size_t part = std::min(room, count);
    std::memcpy(target, data, part);
    Received(target, part, intoRead);
    data += part;
    count -= part;
  }
}

void CommEngine::PushOutput() {
  if (lost_ || closing_) return;
  while (!writes_.empty()) {
    Transfer& write = writes_.front();
    if (!write.active) ActivateWrite(write, Clock::now());
    const ssize_t written = backend_->Write(write.out + write.done, write.count - write.done);
    if (written == -EINTR) continue;
    if (written == -EAGAIN || written == 0) return;
    if (written < 0) {
      FinishWrite(static_cast<DWORD>(-written));
      continue;
    }
    write.done += static_cast<std::size_t>(written);
    if (write.done < write.count) return;
    FinishWrite(ERROR_SUCCESS);
  }
}

// A timeout ends a transfer successfully with what it moved so far.
void CommEngine::ExpireTransfers(TimePoint now) {
  while (!reads_.empty() && reads_.front().active && reads_.front().Deadline() <= now) {
    FinishRead(ERROR_SUCCESS);
  }
  while (!writes_.empty() && writes_.front().active && writes_.front().totalDeadline <= now) {
    FinishWrite(ERROR_SUCCESS);
  }
}

DWORD CommEngine::Purge(DWORD flags) {
  if (const int error = backend_->Intercept(CommCall::PurgeComm)) return error;
  if (flags == 0 || (flags & ~kValidPurge) != 0) return ERROR_INVALID_PARAMETER;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (flags & PURGE_TXABORT) {
    for (const Transfer& write : writes_) Publish(write, ERROR_OPERATION_ABORTED);
    writes_.clear();
  }
  if (flags & PURGE_RXABORT) {
    for (const Transfer& read : reads_) Publish(read, ERROR_OPERATION_ABORTED);
    reads_.clear();
  }
  if (flags & PURGE_RXCLEAR) queue_.Clear();
  const DWORD clear = flags & (PURGE_TXCLEAR | PURGE_RXCLEAR);
  if (clear != 0 && !lost_) {
    if (const int error = backend_->Purge(clear)) return error;
  }
  return ERROR_SUCCESS;
}

DWORD CommEngine::ClearError(DWORD* errors, COMSTAT* stat) {
  if (const int error = backend_->Intercept(CommCall::ClearCommError)) return error;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  DWORD outQueue = 0;
  if (stat != nullptr) {
    if (!lost_) {
      if (const int error = backend_->OutputQueued(outQueue)) return error;
    }
    for (const Transfer& write : writes_) outQueue += static_cast<DWORD>(write.count - write.done);
    stat->Flags = 0;
    stat->cbInQue = static_cast<DWORD>(queue_.Size());
    stat->cbOutQue = outQueue;
  }
  if (errors != nullptr) *errors = errors_;
  errors_ = 0;
  return ERROR_SUCCESS;
}

DWORD CommEngine::ModemStatus(DWORD& status) {
  status = 0;
  if (const int error = backend_->Intercept(CommCall::GetCommModemStatus)) return error;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  return static_cast<DWORD>(backend_->ModemStatus(status));
}

bool CommEngine::IsPendingHere(const OVERLAPPED* overlapped, std::shared_ptr<EventObject>* event) const {
  auto match = [&](const Transfer& transfer) {
    if (transfer.overlapped != overlapped) return false;
    *event = transfer.event;
    return true;
  };
  if (std::any_of(reads_.begin(), reads_.end(), match)) return true;
  if (std::any_of(writes_.begin(), writes_.end(), match)) return true;
  if (wait_ && wait_->overlapped == overlapped) {
    *event = wait_->event;
    return true;
  }
  return false;
}

DWORD CommEngine::OverlappedResult(OVERLAPPED* overlapped, bool wait, DWORD& transferred) {
  transferred = 0;
  if (const int error = backend_->Intercept(CommCall::GetOverlappedResult)) return error;
  if (LoadStatus(overlapped) == STATUS_PENDING) {
    if (!wait) return ERROR_IO_INCOMPLETE;
    std::shared_ptr<EventObject> event;
    {
      std::lock_guard lock(mutex_);
      // Results are published under the mutex: a status still pending here
      // belongs to no operation of this device and would never complete.
      if (!IsPendingHere(overlapped, &event) && LoadStatus(overlapped) == STATUS_PENDING) {
        return ERROR_INVALID_PARAMETER;
      }
    }
    if (event) {
      EventObject* events[] = {event.get()};
      WaitForEventObjects(events, false, INFINITE);
    }
    // Without an event, or when someone else set it early.
    std::unique_lock lock(mutex_);
    ++completionWaiters_;
    completed_.wait(lock, [&] { return LoadStatus(overlapped) != STATUS_PENDING; });
    --completionWaiters_;
  }
  const ULONG_PTR status = LoadStatus(overlapped);
  transferred = static_cast<DWORD>(
      std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).load(std::memory_order_relaxed));
  return static_cast<DWORD>(status);
}

// ---- reports from the backend -----------------------------------------------

template <typename F>
void CommEngine::FromSink(F&& note) {
  if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    note();  // inside an engine step; applied when it ends
    return;
  }
  Guard guard(*this);
  note();
}

void CommEngine::BytesArrived(const std::uint8_t* data, std::size_t count) {
  FromSink([&] { deferredBytes_.insert(deferredBytes_.end(), data, data + count); });
}

void CommEngine::LineEvents(DWORD events) {
  FromSink([&] { deferredEvents_ |= events; });
}

void CommEngine::LineErrors(DWORD errors) {
  FromSink([&] { deferredErrors_ |= errors; });
}

void CommEngine::Wake() {
  FromSink([&] { deferredWake_ = true; });
}

void CommEngine::DeviceLost(int error) {
  FromSink([&] {
    if (deferredLost_ == 0) deferredLost_ = error != 0 ? error : EIO;
  });
}

void CommEngine::Settle() {
  for (;;) {
    if (deferredLost_ != 0) {
      const int error = deferredLost_;
      deferredLost_ = 0;
      Lose(error);
    } else if (deferredErrors_ != 0) {
      const DWORD errors = deferredErrors_;
      deferredErrors_ = 0;
      AddErrors(errors);
    } else if (deferredEvents_ != 0) {
      const DWORD events = deferredEvents_;
      deferredEvents_ = 0;
      Raise(events);
    } else if (!deferredBytes_.empty()) {
      const std::vector<std::uint8_t> bytes = std::move(deferredBytes_);
      deferredBytes_.clear();
      Accept(bytes.data(), bytes.size());
    } else if (deferredWake_) {
      deferredWake_ = false;
      PullInput();
      PushOutput();
    } else {
      break;
    }
  }
  SignalIfPlanChanged();
}

// ---- the engine thread -------------------------------------------------------

CommEngine::PollPlan CommEngine::Plan() const {
  PollPlan plan;
  if (fd_ >= 0 && !lost_ && !closing_) {
    plan.watchFd = true;
    if (!reads_.empty() || queue_.Room() > 0) plan.events |= POLLIN;
    if (!writes_.empty()) plan.events |= POLLOUT;
  }
  if (!reads_.empty() && reads_.front().active) plan.deadline = reads_.front().Deadline();
  if (!writes_.empty() && writes_.front().active) {
    plan.deadline = std::min(plan.deadline, writes_.front().totalDeadline);
  }
  return plan;
}

void CommEngine::SignalIfPlanChanged() {
  if (!sleeping_ || signalled_ || closing_) return;
  const PollPlan plan = Plan();
  if (plan.watchFd != sleepPlan_.watchFd || plan.events != sleepPlan_.events ||
      plan.deadline < sleepPlan_.deadline) {
    signalled_ = true;
    Signal();
  }
}

void CommEngine::Signal() {
  const std::uint64_t one = 1;
  // The counter cannot overflow in practice; a failed write would mean a
  // closed descriptor, which only Close produces after the thread ended.
  [[maybe_unused]] const ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
}

void CommEngine::Run() {
  short revents = 0;
  for (;;) {
    PollPlan plan;
    {
      Guard guard(*this);
      sleeping_ = false;
      signalled_ = false;
      if (closing_) return;
      if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        PullInput();
        Lose(EIO);
      } else {
        if (revents & POLLIN) PullInput();
        if (revents & POLLOUT) PushOutput();
      }
      ExpireTransfers(Clock::now());
      Settle();
      plan = Plan();
      sleeping_ = true;
      sleepPlan_ = plan;
    }
    pollfd fds[2] = {{plan.watchFd ? fd_ : -1, plan.events, 0}, {wakeFd_, POLLIN, 0}};
    timespec limit{};
    const timespec* timeout = nullptr;
    if (plan.deadline != TimePoint::max()) {
      const auto left = std::max(plan.deadline - Clock::now(), Clock::duration::zero());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      limit.tv_sec = static_cast<time_t>(ns / 1000000000);
      limit.tv_nsec = static_cast<long>(ns % 1000000000);
      timeout = &limit;
    }
    const int ready = ::ppoll(fds, 2, timeout, nullptr);
    revents = ready > 0 ? fds[0].revents : 0;
    if (ready < 0 && errno != EINTR) {
      // poll itself failing leaves no way to watch the device.
      DeviceLost(errno);
    }
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
    }
  }
}

}  // namespace CPort::Platform
