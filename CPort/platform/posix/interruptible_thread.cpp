#include "interruptible_thread_p.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "win_comm.h"

namespace CPort::Platform {

namespace {

void IgnoreWake(int) {}

struct SignalChoice {
  std::mutex mutex;
  int named = 0;      // named by the application, not installed yet
  int installed = 0;  // the handler is in place on this signal
};

SignalChoice& TheChoice() {
  static SignalChoice choice;
  return choice;
}

// Nobody handles it: default action, no SA_SIGINFO handler.
bool IsUnhandled(int signal) {
  struct sigaction current {};
  if (sigaction(signal, nullptr, &current) != 0) return false;
  return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
}

int InstallOn(int signal) {
  struct sigaction action {};
  action.sa_handler = IgnoreWake;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the blocking call must return EINTR
  return sigaction(signal, &action, nullptr) == 0 ? 0 : errno;
}

// The signal, its handler installed; 0 with `error` set when none is free.
int InstalledSignal(int& error) {
  SignalChoice& choice = TheChoice();
  std::lock_guard lock(choice.mutex);
  error = 0;
  if (choice.installed != 0) return choice.installed;
  int chosen = choice.named;
  if (chosen == 0) {
    // From SIGRTMIN + 4 up, then the lower ones: glibc reserves none of
    // them (SIGRTMIN already lies above its own), and an application that
    // uses one installs its handler first.
    for (int candidate = SIGRTMIN + 4; candidate <= SIGRTMAX && chosen == 0; ++candidate) {
      if (IsUnhandled(candidate)) chosen = candidate;
    }
    for (int candidate = SIGRTMIN; candidate < SIGRTMIN + 4 && chosen == 0; ++candidate) {
      if (IsUnhandled(candidate)) chosen = candidate;
    }
    if (chosen == 0) {
      error = EAGAIN;
      return 0;
    }
  }
  if ((error = InstallOn(chosen)) != 0) return 0;
  choice.installed = chosen;
  return chosen;
}

void SetBlocked(int signal, int how) {
  if (signal == 0) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(how, &set, nullptr);
}

}  // namespace

int InterruptibleThread::WakeSignal() {
  SignalChoice& choice = TheChoice();
  std::lock_guard lock(choice.mutex);
  return choice.installed;
}

int InterruptibleThread::ChooseWakeSignal(int signal) {
  if (signal < SIGRTMIN || signal > SIGRTMAX) return EINVAL;
  SignalChoice& choice = TheChoice();
  std::lock_guard lock(choice.mutex);
  if (choice.installed != 0) return choice.installed == signal ? 0 : EBUSY;
  choice.named = signal;
  return 0;
}

InterruptibleThread::QuietSection::QuietSection() { SetBlocked(WakeSignal(), SIG_BLOCK); }

InterruptibleThread::QuietSection::~QuietSection() { SetBlocked(WakeSignal(), SIG_UNBLOCK); }

int InterruptibleThread::Start(std::function<void()> body) {
  // Without the handler the first wake-up signal would end the process.
  int error = 0;
  const int signal = InstalledSignal(error);
  if (signal == 0) return error;
  Join();  // a body that has returned by itself
  {
    std::lock_guard lock(mutex_);
    done_ = false;
  }
  try {
    thread_ = std::thread([this, signal, body = std::move(body)] {
      // The thread inherits its creator's signal mask; the wake-up signal
      // must reach it even where an application blocks real-time signals.
      SetBlocked(signal, SIG_UNBLOCK);
      body();
      std::lock_guard lock(mutex_);
      done_ = true;
      finished_.notify_all();
    });
  } catch (const std::system_error& failure) {
    std::lock_guard lock(mutex_);
    done_ = true;
    return failure.code().value();
  }
  return 0;
}

bool InterruptibleThread::Running() {
  std::lock_guard lock(mutex_);
  return !done_;
}

void InterruptibleThread::Join() {
  if (!thread_.joinable()) return;
  const int signal = WakeSignal();
  {
    std::unique_lock lock(mutex_);
    while (!done_) {
      pthread_kill(thread_.native_handle(), signal);
      finished_.wait_for(lock, std::chrono::milliseconds(5), [this] { return done_; });
    }
  }
  thread_.join();
}

// ---- the public setter ------------------------------------------------------------

BOOL SetLineWaitSignal(int signal) {
  const int error = InterruptibleThread::ChooseWakeSignal(signal);
  SetLastError(static_cast<DWORD>(error));
  return error == 0 ? TRUE : FALSE;
}

}  // namespace CPort::Platform
