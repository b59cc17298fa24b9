#include "console_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include "CPort/runtime/MainThread.h"

namespace KelvatPort {

namespace {

[[noreturn]] void Fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

ConsoleLoop::ConsoleLoop() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  if (const int error = pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask_)) {
    errno = error;
    Fail("pthread_sigmask");
  }
  signalFd_ = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (signalFd_ < 0 || wakeFd_ < 0) {
    const int error = errno;
    Release();
    errno = error;
    Fail("signalfd/eventfd");
  }
  const int wakeFd = wakeFd_;
  CPort::Runtime::SetMainThreadWakeUp([wakeFd] {
    const std::uint64_t one = 1;
    // EAGAIN only when the counter is full, and then a wake-up is pending.
    while (::write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  });
}

ConsoleLoop::~ConsoleLoop() { Release(); }

void ConsoleLoop::Release() {
  CPort::Runtime::SetMainThreadWakeUp(nullptr);
  if (timerFd_ >= 0) ::close(timerFd_);
  timerFd_ = -1;
  if (wakeFd_ >= 0) ::close(wakeFd_);
  if (signalFd_ >= 0) ::close(signalFd_);
  wakeFd_ = signalFd_ = -1;
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void ConsoleLoop::StopAfter(std::chrono::milliseconds delay) {
  if (timerFd_ < 0) timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timerFd_ < 0) Fail("timerfd_create");
  itimerspec when{};
  const auto ms = std::max<std::chrono::milliseconds::rep>(delay.count(), 1);
  when.it_value.tv_sec = static_cast<time_t>(ms / 1000);
  when.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  if (::timerfd_settime(timerFd_, 0, &when, nullptr) != 0) Fail("timerfd_settime");
}

int ConsoleLoop::Run() {
  // Requests queued before the wake-up was installed.
  CPort::Runtime::ServeMainThreadQueue();
  while (!stopped_) {
    const bool input = inputFd_ >= 0 && (!inputActive_ || inputActive_());
    pollfd fds[4] = {{signalFd_, POLLIN, 0},
                     {wakeFd_, POLLIN, 0},
                     {input ? inputFd_ : -1, POLLIN, 0},
                     {timerFd_, POLLIN, 0}};
    if (::poll(fds, 4, -1) < 0) {
      if (errno == EINTR) continue;
      Fail("poll");
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        return static_cast<int>(info.ssi_signo);
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t count = 0;
      if (::read(wakeFd_, &count, sizeof count) < 0 && errno != EAGAIN) Fail("read eventfd");
      CPort::Runtime::ServeMainThreadQueue();
    }
    if (!stopped_ && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) onInput_();
    if (!stopped_ && (fds[3].revents & POLLIN)) {
      timedOut_ = true;
      return 0;
    }
  }
  return 0;
}

}  // namespace KelvatPort
