#include "interruptible_thread_p.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace CPort::Platform {

namespace {

int WakeSignal() { return SIGRTMIN + 4; }

void IgnoreWake(int) {}

int InstallWakeHandler() {
  static const int result = [] {
    struct sigaction action {};
    action.sa_handler = IgnoreWake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocking call must return EINTR
    return sigaction(WakeSignal(), &action, nullptr) == 0 ? 0 : errno;
  }();
  return result;
}

}  // namespace

InterruptibleThread::QuietSection::QuietSection() {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, WakeSignal());
  pthread_sigmask(SIG_BLOCK, &wake, nullptr);
}

InterruptibleThread::QuietSection::~QuietSection() {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, WakeSignal());
  pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
}

int InterruptibleThread::Start(std::function<void()> body) {
  // Without the handler the first wake-up signal would end the process.
  if (const int error = InstallWakeHandler(); error != 0) return error;
  {
    std::lock_guard lock(mutex_);
    done_ = false;
  }
  try {
    thread_ = std::thread([this, body = std::move(body)] {
      // The thread inherits its creator's signal mask; the wake-up signal
      // must reach it even where an application blocks real-time signals.
      sigset_t wake;
      sigemptyset(&wake);
      sigaddset(&wake, WakeSignal());
      pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
      body();
      std::lock_guard lock(mutex_);
      done_ = true;
      finished_.notify_all();
    });
  } catch (const std::system_error& error) {
    std::lock_guard lock(mutex_);
    done_ = true;
    return error.code().value();
  }
  return 0;
}

void InterruptibleThread::Join() {
  if (!thread_.joinable()) return;
  {
    std::unique_lock lock(mutex_);
    while (!done_) {
      pthread_kill(thread_.native_handle(), WakeSignal());
      finished_.wait_for(lock, std::chrono::milliseconds(5), [this] { return done_; });
    }
  }
  thread_.join();
}

}  // namespace CPort::Platform
