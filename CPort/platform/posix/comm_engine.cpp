// The comm engine (see comm_engine_p.h).
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "awaited_transfers_p.h"
#include "comm_engine_p.h"
#include "unattended_driver_p.h"

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

// Queue growth from `before` to `after` bytes crossing 80% of `size`.
bool CrossesEightyPercent(std::uint64_t before, std::uint64_t after, std::uint64_t size) {
  return before * 10 < size * 8 && after * 10 >= size * 8;
}

constexpr std::uint32_t kInputInterest = EPOLLIN | EPOLLRDHUP | EPOLLET;

}  // namespace

// Holds the engine mutex for one step; when the step ends, applies what
// backends reported during it and brings the engine's descriptors (device
// interest, timer, unattended driving) in line with the work left.
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
  if (epollFd_ >= 0) {
    UnattendedDriver::Remove(this);
    ::close(epollFd_);
  }
  if (timerFd_ >= 0) ::close(timerFd_);
}

int CommEngine::Start() {
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ < 0) return errno;
  timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timerFd_ < 0) return errno;
  epoll_event timer{};
  timer.events = EPOLLIN;
  timer.data.fd = timerFd_;
  if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, timerFd_, &timer) != 0) return errno;
  fd_ = backend_->PollFd();
  if (fd_ >= 0) {
    epoll_event device{};
    device.events = kInputInterest;
    device.data.fd = fd_;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd_, &device) != 0) return errno;
    deviceInterest_ = kInputInterest;
  }
  {
    Guard guard(*this);
    capturing_ = Captures();
  }
  backend_->Attach(this);
  attached_ = true;
  return 0;
}

DWORD CommEngine::Close() {
  const DWORD intercepted = static_cast<DWORD>(backend_->Intercept(CommCall::CloseHandle));
  std::lock_guard maskLock(maskMutex_);
  {
    Guard guard(*this);
    if (closing_) return ERROR_INVALID_HANDLE;
    closing_ = true;
    FailAll(ERROR_OPERATION_ABORTED);
    if (unattended_) {
      UnattendedDriver::Remove(this);
      unattended_ = false;
    }
  }
  // Outside the mutex: a backend's Detach may wait for its own threads,
  // which may be waiting for the engine.
  if (attached_) backend_->Detach();
  backend_->Close();
  return intercepted;
}

// ---- configuration ---------------------------------------------------------

DWORD CommEngine::SetupComm(DWORD inQueue, DWORD outQueue) {
  if (const int error = backend_->Intercept(CommCall::SetupComm)) return error;
  if (inQueue == 0 || inQueue > kMaxQueueSize || outQueue > kMaxQueueSize) return ERROR_INVALID_PARAMETER;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (const int error = backend_->SetupQueues(inQueue, outQueue)) return error;
  // Only a limit: the queue's storage grows with the data that arrives.
  queue_.SetLimit(std::max(inQueue, kDefaultInputSize));
  requestedInputSize_ = inQueue;
  if (capturing_) PullInput();
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
  if (!AreValidTimeouts(timeouts)) return ERROR_INVALID_PARAMETER;
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
  std::lock_guard maskLock(maskMutex_);
  {
    Guard guard(*this);
    if (closing_) return ERROR_INVALID_HANDLE;
    if (wait_) FinishWait(ERROR_SUCCESS, 0);
    const bool armsRxChar = (mask & EV_RXCHAR) != 0 && (mask_ & EV_RXCHAR) == 0;
    history_ &= mask;
    constexpr DWORD kArrivalEvents = EV_RXCHAR | EV_RX80FULL;
    // Input edges are not counted while no arrival event is armed: what
    // waits now arrived before the events were.
    if (!capturing_ && (mask_ & kArrivalEvents) == 0 && (mask & kArrivalEvents) != 0) kernelSeen_ = KernelInput();
    mask_ = mask;
    if (armsRxChar) RememberWaitingInput();
  }
  // Outside the engine's lock: stopping a watcher waits for its thread,
  // which may be reporting to the engine.
  backend_->WatchEvents(mask);
  return ERROR_SUCCESS;
}

// Input that arrived while nobody watched for rx-char (before the port's
// event thread armed it, typically: a device that greeted before the open)
// would otherwise wait unreported for more to come. It is reported once, as
// if it had just arrived; the kernel's bytes count as reported from here on,
// so their own edge does not report them again.
void CommEngine::RememberWaitingInput() {
  if (lost_) return;
  std::size_t waiting = queue_.Size();
  if (!capturing_) {
    kernelSeen_ = KernelInput();
    waiting += kernelSeen_;
  }
  if (waiting > 0) history_ |= EV_RXCHAR;
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

// Marks an OVERLAPPED as carrying a started operation, and binds its event
// to this engine so that whoever waits on it drives the device. The result
// is published through the same atomic fields from whichever thread ends it.
void CommEngine::MarkPending(OVERLAPPED* overlapped, const std::shared_ptr<EventObject>& event) {
  std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(0, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(STATUS_PENDING, std::memory_order_release);
  if (event) event->ResetAndBind(shared_from_this());
}

// A read reaching the head of the queue takes what the input queue and the
// device hold and starts its timers. Returns true when it is complete already.
bool CommEngine::ActivateRead(Transfer& read, TimePoint now) {
  read.active = true;
  read.done += queue_.Take(read.in + read.done, read.count - read.done);
  if (read.done < read.count) read.done += ReadDevice(read.in + read.done, read.count - read.done, true);
  const ReadPlan& plan = read.read;
  if (read.done == read.count || plan.immediate || (plan.returnIfAny && read.done > 0)) return true;
  if (plan.firstByte) read.count = read.done + 1;
  if (plan.totalMs) read.totalDeadline = After(now, *plan.totalMs);
  if (plan.intervalMs != 0 && read.done > 0) read.intervalDeadline = After(now, plan.intervalMs);
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
    if (status == ERROR_SUCCESS && (mask_ & EV_TXEMPTY)) backend_->WatchTxEmpty();
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
  if (event) {
    event->Unbind(this);
    event->Set();
  }
  for (const auto& waiter : completionWaiters_) waiter->Wake();
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
  if (fd_ >= 0) {
    // A hung-up descriptor would report itself again and again.
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd_, nullptr);
    deviceInterest_ = 0;
  }
}

DWORD CommEngine::Read(void* buffer, DWORD count, OVERLAPPED* overlapped, std::shared_ptr<EventObject> event,
                       DWORD& done) {
  done = 0;
  if (const int error = backend_->Intercept(CommCall::ReadFile)) return error;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (lost_) return static_cast<DWORD>(lost_);
  Transfer read;
  read.overlapped = overlapped;
  read.event = std::move(event);
  read.in = static_cast<std::uint8_t*>(buffer);
  read.count = count;
  read.read = PlanRead(timeouts_, count);
  if (reads_.empty()) {
    // What the queue and the device hold already may finish the read here.
    const bool complete = ActivateRead(read, Clock::now());
    if (deferredLost_ != 0) return static_cast<DWORD>(deferredLost_);
    if (complete) {
      done = static_cast<DWORD>(read.done);
      Publish(read, ERROR_SUCCESS);
      return ERROR_SUCCESS;
    }
  }
  MarkPending(overlapped, read.event);
  Queue(reads_, std::move(read));
  return ERROR_IO_PENDING;
}

DWORD CommEngine::Write(const void* data, DWORD count, OVERLAPPED* overlapped,
                        std::shared_ptr<EventObject> event, DWORD& done) {
  done = 0;
  if (const int error = backend_->Intercept(CommCall::WriteFile)) return error;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (lost_) return static_cast<DWORD>(lost_);
  Transfer write;
  write.overlapped = overlapped;
  write.event = std::move(event);
  write.out = static_cast<const std::uint8_t*>(data);
  write.count = count;
  write.totalMs = PlanWrite(timeouts_, count).totalMs;
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
      if (mask_ & EV_TXEMPTY) backend_->WatchTxEmpty();
      return ERROR_SUCCESS;
    }
    ActivateWrite(write, Clock::now());
  }
  MarkPending(overlapped, write.event);
  Queue(writes_, std::move(write));
  return ERROR_IO_PENDING;
}

// A pending transfer joins its queue. One that its caller waits for at once
// is noted as such: that caller is about to drive the device itself.
void CommEngine::Queue(std::deque<Transfer>& queue, Transfer&& transfer) {
  if (AwaitedTransfers::Active()) {
    transfer.awaitedBy = std::this_thread::get_id();
    AwaitedTransfers::Note(shared_from_this());
  }
  queue.push_back(std::move(transfer));
}

void CommEngine::ReleaseAwaited() {
  Guard guard(*this);
  const std::thread::id self = std::this_thread::get_id();
  for (auto* queue : {&reads_, &writes_}) {
    for (Transfer& transfer : *queue) {
      if (transfer.awaitedBy == self) transfer.awaitedBy = std::thread::id();
    }
  }
}

bool CommEngine::HasUnawaitedTransfers() const {
  auto unawaited = [](const Transfer& transfer) { return transfer.awaitedBy == std::thread::id(); };
  return std::any_of(reads_.begin(), reads_.end(), unawaited) ||
         std::any_of(writes_.begin(), writes_.end(), unawaited);
}

// ---- input -----------------------------------------------------------------------

// Input is captured into the user-space queue when nothing else can hold
// it faithfully: a push-style device, a backend that decodes its stream, an
// rx-flag that must see each byte, or a queue larger than the kernel's.
bool CommEngine::Captures() const {
  return fd_ < 0 || !backend_->ReadsUnchanged() || (mask_ & EV_RXFLAG) != 0 ||
         requestedInputSize_ > kKernelQueueBytes;
}

// Whether a read that gave less than it could hold emptied the device. Only
// for a descriptor read unchanged: a backend that decodes its stream (error
// marking, a protocol's escapes, dropped zeros) may give fewer bytes than it
// took, with more still waiting, and an edge-triggered descriptor reports
// nothing more until it has been read dry.
bool CommEngine::ShortReadDrains() const { return fd_ >= 0 && backend_->ReadsUnchanged(); }

void CommEngine::SwitchInputMode() {
  capturing_ = !capturing_;
  if (capturing_) {
    // What the kernel holds was counted and reported already.
    PullInput(false);
  } else {
    kernelSeen_ = KernelInput();
    deviceMayHaveMore_ = false;
  }
}

std::size_t CommEngine::KernelInput() const {
  int count = 0;
  if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<std::size_t>(count);
}

// The device reported new input (an edge). Captured input is read now; the
// kernel's queue is only counted, and read straight into a pending read.
void CommEngine::InputEdge() {
  if (capturing_) {
    PullInput();
    return;
  }
  if ((mask_ & (EV_RXCHAR | EV_RX80FULL)) == 0) {
    // Nobody is told about arrivals: nothing to count, only a read to serve.
    // The count is taken afresh when the events are armed (SetMask).
    if (!reads_.empty()) PullInput();
    return;
  }
  const std::size_t available = KernelInput();
  DWORD events = 0;
  // An edge without growth (the descriptor re-armed, or bytes a reader
  // took already) is no new input: unread bytes are not reported twice.
  if (available > kernelSeen_) {
    events |= EV_RXCHAR;
    if (CrossesEightyPercent(queue_.Size() + kernelSeen_, queue_.Size() + available, requestedInputSize_)) {
      events |= EV_RX80FULL;
    }
  }
  kernelSeen_ = available;
  Raise(events);
  if (!reads_.empty()) PullInput();
}

// Reads what the device has into `target`. Reports rx-char (and rx-flag)
// for bytes not reported before; a lost device is noted for the end of the
// step. Returns the bytes read.
std::size_t CommEngine::ReadDevice(std::uint8_t* target, std::size_t room, bool report) {
  if (room == 0 || lost_ || closing_ || deferredLost_ != 0) return 0;
  ssize_t got = 0;
  do {
    got = backend_->Read(target, room);
  } while (got == -EINTR);
  if (got == -EAGAIN || got == 0) {
    deviceMayHaveMore_ = false;
    return 0;
  }
  if (got < 0) {
    deferredLost_ = static_cast<int>(-got);
    return 0;
  }
  const auto count = static_cast<std::size_t>(got);
  deviceMayHaveMore_ = count == room || !ShortReadDrains();
  if (!capturing_) {
    // Bytes beyond those already counted arrived unseen (their edge is
    // still to come, and will find them gone).
    const std::size_t unseen = count > kernelSeen_ ? count - kernelSeen_ : 0;
    kernelSeen_ -= std::min(count, kernelSeen_);
    if (unseen > 0 && report) Raise(EV_RXCHAR);
  } else if (report) {
    NoteInput(target, count);
  }
  return count;
}

void CommEngine::NoteInput(const std::uint8_t* data, std::size_t count) {
  DWORD events = EV_RXCHAR;
  if ((mask_ & EV_RXFLAG) && std::memchr(data, static_cast<unsigned char>(evtChar_), count) != nullptr) {
    events |= EV_RXFLAG;
  }
  Raise(events);
}

void CommEngine::NoteQueueGrowth(std::size_t before) {
  if (CrossesEightyPercent(before, queue_.Size(), requestedInputSize_)) Raise(EV_RX80FULL);
}

// Reads what the device has, straight into the pending reads, then (when
// capturing) into the queue's free space. A full queue is not read from, so
// the device's own flow control can act.
void CommEngine::PullInput(bool report) {
  while (!lost_ && !closing_ && deferredLost_ == 0) {
    if (!reads_.empty()) {
      Transfer& read = reads_.front();
      const std::size_t room = read.count - read.done;
      const std::size_t got = ReadDevice(read.in + read.done, room, report);
      read.done += got;
      if (read.done == read.count) {
        FinishRead(ERROR_SUCCESS);
      } else if (got > 0 && read.read.intervalMs != 0) {
        read.intervalDeadline = After(Clock::now(), read.read.intervalMs);
      }
      if (got == 0 || (got < room && ShortReadDrains())) return;
      continue;
    }
    if (!capturing_) return;
    const std::span<std::uint8_t> span = queue_.FreeSpan();
    if (span.empty()) {
      deviceMayHaveMore_ = true;
      return;
    }
    const std::size_t before = queue_.Size();
    const std::size_t got = ReadDevice(span.data(), span.size(), report);
    queue_.Commit(got);
    if (report) NoteQueueGrowth(before);
    if (got == 0 || (got < span.size() && ShortReadDrains())) return;
  }
}

// Input a push-style backend hands over. What neither the pending read nor
// the queue can take is lost, and reported as an input overflow.
void CommEngine::Accept(const std::uint8_t* data, std::size_t count) {
  while (count > 0 && !lost_ && !closing_) {
    std::size_t part = 0;
    if (!reads_.empty()) {
      Transfer& read = reads_.front();
      part = std::min(read.count - read.done, count);
      std::memcpy(read.in + read.done, data, part);
      read.done += part;
      NoteInput(data, part);
      if (read.done == read.count) {
        FinishRead(ERROR_SUCCESS);
      } else if (read.read.intervalMs != 0) {
        read.intervalDeadline = After(Clock::now(), read.read.intervalMs);
      }
    } else {
      const std::span<std::uint8_t> span = queue_.FreeSpan();
      if (span.empty()) {
        AddErrors(CE_RXOVER);
        return;
      }
      part = std::min(span.size(), count);
      std::memcpy(span.data(), data, part);
      const std::size_t before = queue_.Size();
      queue_.Commit(part);
      NoteInput(data, part);
      NoteQueueGrowth(before);
    }
    data += part;
    count -= part;
  }
}

// ---- output and time -------------------------------------------------------------

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
  if (flags & PURGE_RXCLEAR) {
    queue_.Clear();
    kernelSeen_ = 0;
    deviceMayHaveMore_ = false;
  }
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
  if (stat != nullptr) {
    DWORD outQueue = 0;
    if (!lost_) {
      if (const int error = backend_->OutputQueued(outQueue)) return error;
    }
    for (const Transfer& write : writes_) outQueue += static_cast<DWORD>(write.count - write.done);
    std::size_t inQueue = queue_.Size();
    if (!capturing_ && !lost_) inQueue += KernelInput();
    stat->Flags = 0;
    stat->cbInQue = static_cast<DWORD>(inQueue);
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

DWORD CommEngine::SetBreak(bool on) {
  if (const int error = backend_->Intercept(CommCall::EscapeCommFunction)) return error;
  Guard guard(*this);
  if (closing_) return ERROR_INVALID_HANDLE;
  if (lost_) return static_cast<DWORD>(lost_);
  return static_cast<DWORD>(backend_->SetBreak(on));
}

bool CommEngine::IsPendingHere(const OVERLAPPED* overlapped) const {
  auto match = [&](const Transfer& transfer) { return transfer.overlapped == overlapped; };
  return std::any_of(reads_.begin(), reads_.end(), match) || std::any_of(writes_.begin(), writes_.end(), match) ||
         (wait_ && wait_->overlapped == overlapped);
}

DWORD CommEngine::OverlappedResult(OVERLAPPED* overlapped, bool wait, DWORD& transferred) {
  transferred = 0;
  if (const int error = backend_->Intercept(CommCall::GetOverlappedResult)) return error;
  if (LoadStatus(overlapped) == STATUS_PENDING) {
    if (!wait) {
      // Nobody may have driven the device lately: catch up first.
      Drive();
      if (LoadStatus(overlapped) == STATUS_PENDING) return ERROR_IO_INCOMPLETE;
    } else if (const DWORD error = AwaitCompletion(overlapped); error != ERROR_SUCCESS) {
      return error;
    }
  }
  const ULONG_PTR status = LoadStatus(overlapped);
  transferred = static_cast<DWORD>(
      std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).load(std::memory_order_relaxed));
  return static_cast<DWORD>(status);
}

// Waits for an operation of this engine to end, driving the device
// meanwhile. Does not depend on the OVERLAPPED's event (there may be none,
// or its owner may set it early).
DWORD CommEngine::AwaitCompletion(OVERLAPPED* overlapped) {
  const std::shared_ptr<Waiter> waiter = Waiter::ForThisThread();
  if (!waiter) return static_cast<DWORD>(errno);
  {
    Guard guard(*this);
    // Results are published under the mutex: a status still pending here
    // belongs to no operation of this device and would never complete.
    if (!IsPendingHere(overlapped) && LoadStatus(overlapped) == STATUS_PENDING) return ERROR_INVALID_PARAMETER;
    completionWaiters_.push_back(waiter);
    ++leaders_;
  }
  DWORD result = ERROR_SUCCESS;
  EventDriver* self = this;
  while (LoadStatus(overlapped) == STATUS_PENDING) {
    if (!PollAndDrive(*waiter, {&self, 1}, nullptr)) {
      result = static_cast<DWORD>(errno);
      break;
    }
  }
  Guard guard(*this);
  std::erase(completionWaiters_, waiter);
  --leaders_;
  return result;
}

// ---- driving -------------------------------------------------------------------

void CommEngine::Drive() {
  Guard guard(*this);
  if (closing_) return;
  epoll_event ready[4];
  const int count = ::epoll_wait(epollFd_, ready, 4, 0);
  std::uint32_t device = 0;
  for (int i = 0; i < count; ++i) {
    if (ready[i].data.fd == timerFd_) {
      std::uint64_t expirations = 0;
      [[maybe_unused]] const ssize_t ignored = ::read(timerFd_, &expirations, sizeof expirations);
      armedDeadline_ = TimePoint::max();
    } else {
      device |= ready[i].events;
    }
  }
  if (device & (EPOLLHUP | EPOLLERR)) {
    PullInput();
    if (deferredLost_ == 0) deferredLost_ = EIO;
  } else {
    if (device & (EPOLLIN | EPOLLRDHUP)) InputEdge();
    if (device & EPOLLOUT) PushOutput();
  }
  ExpireTransfers(Clock::now());
}

void CommEngine::Lead(int change) {
  Guard guard(*this);
  leaders_ += change;
}

// Brings the descriptors in line with the work left: EPOLLOUT only while
// writes wait, the timer no later than the nearest deadline, and the
// unattended driver only while transfers are pending that nobody drives or
// is about to.
void CommEngine::UpdatePlan() {
  if (closing_) return;
  if (fd_ >= 0 && !lost_) {
    const std::uint32_t interest = kInputInterest | (writes_.empty() ? 0u : static_cast<std::uint32_t>(EPOLLOUT));
    if (interest != deviceInterest_) {
      epoll_event device{};
      device.events = interest;
      device.data.fd = fd_;
      if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd_, &device) == 0) deviceInterest_ = interest;
    }
  }
  TimePoint deadline = TimePoint::max();
  if (!reads_.empty() && reads_.front().active) deadline = reads_.front().Deadline();
  if (!writes_.empty() && writes_.front().active) deadline = std::min(deadline, writes_.front().totalDeadline);
  // Armed only for a deadline nearer than the armed one. A timer left at a
  // deadline that has moved on fires early once (Drive finds nothing due and
  // the timer is armed afresh), which costs less than a call per transfer.
  if (deadline < armedDeadline_) {
    itimerspec when{};
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    // 0 would disarm the timer; a deadline that early has passed anyway.
    when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    when.it_value.tv_nsec = std::max<long>(static_cast<long>(ns % 1000000000), when.it_value.tv_sec == 0 ? 1 : 0);
    if (::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &when, nullptr) == 0) armedDeadline_ = deadline;
  }
  // A transfer whose caller waits for it at once needs no driver meanwhile.
  const bool unattended = leaders_ == 0 && !lost_ && HasUnawaitedTransfers();
  if (unattended != unattended_) {
    if (!unattended) {
      UnattendedDriver::Remove(this);
      unattended_ = false;
    } else if (const int error = UnattendedDriver::Add(shared_from_this()); error == 0) {
      unattended_ = true;
    } else if (deferredErrors_ == 0) {
      // Transfers still complete when someone waits for them; report that
      // they cannot meanwhile.
      AddErrors(CE_IOE);
    }
  }
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
    } else if (!closing_ && !lost_ && Captures() != capturing_) {
      SwitchInputMode();
    } else if (capturing_ && deviceMayHaveMore_ && reads_.empty() && queue_.Room() > 0 && !lost_ && !closing_) {
      // A reader made room in a queue that had stopped reading the device.
      PullInput();
    } else {
      break;
    }
  }
  UpdatePlan();
}

}  // namespace CPort::Platform
