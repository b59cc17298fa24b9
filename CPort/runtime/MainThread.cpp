#include "CPort/runtime/MainThread.h"

#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

#include "CPort/platform/main_thread_loop_p.h"

namespace CPort::Runtime {
namespace {

// What a requester waits for. Guarded by the queue's mutex.
struct Completion {
  bool taken = false;  // the main thread has taken the request up
  bool done = false;   // the main thread has run it
  std::exception_ptr error;
  // Wakes this requester alone: with many ports handing batches over at
  // once, a shared one would wake every waiting event thread each time.
  std::condition_variable progress;
};

struct Request {
  std::function<void()> call;
  std::shared_ptr<Completion> completion;  // null: nobody waits
  bool errorToRequester = false;           // else errors go to the display
  std::thread::id requester;               // the thread that queued it
};

struct Queue {
  std::mutex mutex;
  std::condition_variable changed;  // a request came, or a waiter should re-test
  std::deque<Request> requests;
  std::thread::id mainThread = std::this_thread::get_id();
  // The wake-up is called under its own lock, so that once a new one is set
  // no call of the old one is still running (its owner may be gone).
  std::mutex wakeMutex;
  WakeUp wakeUp;
  ErrorDisplay errorDisplay;
  unsigned notifications = 0;
};

Queue& GetQueue() {
  static Queue queue;
  return queue;
}

// The queue is created when the library is loaded, on the main thread.
const bool kQueueCreated = (GetQueue(), Platform::AttachMainThreadLoop(), true);

void Enqueue(Request request) {
  Queue& q = GetQueue();
  request.requester = std::this_thread::get_id();
  {
    std::lock_guard lock(q.mutex);
    q.requests.push_back(std::move(request));
  }
  q.changed.notify_all();
  std::lock_guard lock(q.wakeMutex);
  if (q.wakeUp) q.wakeUp();
}

void Display(std::exception_ptr error, const void* sender) {
  Queue& q = GetQueue();
  ErrorDisplay display;
  {
    std::lock_guard lock(q.mutex);
    display = q.errorDisplay;
  }
  if (display) {
    display(error, sender);
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
  } catch (...) {
    std::cerr << "unknown error\n";
  }
}

void RunRequest(Request& request) {
  std::exception_ptr error;
  try {
    request.call();
  } catch (...) {
    error = std::current_exception();
  }
  if (error && !request.errorToRequester) Display(error, nullptr);
  if (!request.completion) return;
  Queue& q = GetQueue();
  {
    std::lock_guard lock(q.mutex);
    request.completion->done = true;
    if (request.errorToRequester) request.completion->error = std::move(error);
  }
  request.completion->progress.notify_one();
}

// Which requests a serving loop runs: all of them, or only those that one
// thread is blocked on.
struct Selection {
  bool all = true;
  std::thread::id requester;
  bool Includes(const Request& request) const {
    return all || (request.completion && request.requester == requester);
  }
};

// The first selected request. Guarded by the queue's mutex.
std::deque<Request>::iterator FindSelected(Queue& q, const Selection& selection) {
  auto it = q.requests.begin();
  while (it != q.requests.end() && !selection.Includes(*it)) ++it;
  return it;
}

// Takes the first selected request off the queue and tells its requester.
bool TakeOne(Request& out, const Selection& selection = {}) {
  Queue& q = GetQueue();
  {
    std::lock_guard lock(q.mutex);
    const auto it = FindSelected(q, selection);
    if (it == q.requests.end()) return false;
    out = std::move(*it);
    q.requests.erase(it);
    if (out.completion) out.completion->taken = true;
  }
  // Only SendToMainThread waits for "taken"; RunOnMainThread waits for "done".
  if (out.completion && !out.errorToRequester) out.completion->progress.notify_one();
  return true;
}

void WaitFor(const std::shared_ptr<Completion>& completion, bool untilDone) {
  Queue& q = GetQueue();
  std::unique_lock lock(q.mutex);
  completion->progress.wait(lock, [&] { return untilDone ? completion->done : completion->taken; });
}

}  // namespace

void SetMainThread() {
  Queue& q = GetQueue();
  {
    std::lock_guard lock(q.mutex);
    q.mainThread = std::this_thread::get_id();
  }
  Platform::AttachMainThreadLoop();
}

bool IsMainThread() {
  Queue& q = GetQueue();
  std::lock_guard lock(q.mutex);
  return q.mainThread == std::this_thread::get_id();
}

void RunOnMainThread(const std::function<void()>& call) {
  if (IsMainThread()) {
    call();
    return;
  }
  auto completion = std::make_shared<Completion>();
  Enqueue(Request{call, completion, true});
  WaitFor(completion, true);
  std::exception_ptr error;
  {
    // Moved, not copied: the requester then holds the only reference, so the
    // error object is released on the thread that handles it.
    std::lock_guard lock(GetQueue().mutex);
    error = std::move(completion->error);
  }
  if (error) std::rethrow_exception(error);
}

void SendToMainThread(std::function<void()> call) {
  if (IsMainThread()) {
    try {
      call();
    } catch (...) {
      Display(std::current_exception(), nullptr);
    }
    return;
  }
  auto completion = std::make_shared<Completion>();
  Enqueue(Request{std::move(call), completion, false});
  WaitFor(completion, false);
}

void PostToMainThread(std::function<void()> call) { Enqueue(Request{std::move(call), nullptr, false}); }

int ServeMainThreadQueue() {
  int served = 0;
  Request request;
  while (TakeOne(request)) {
    RunRequest(request);
    request = Request{};
    ++served;
  }
  return served;
}

int WaitAndServeMainThreadQueue(std::chrono::milliseconds limit) {
  Queue& q = GetQueue();
  {
    std::unique_lock lock(q.mutex);
    q.changed.wait_for(lock, limit, [&] { return !q.requests.empty(); });
  }
  return ServeMainThreadQueue();
}

namespace {

void ServeUntil(const Selection& selection, const std::function<bool()>& done) {
  Queue& q = GetQueue();
  for (;;) {
    unsigned seen;
    {
      std::lock_guard lock(q.mutex);
      seen = q.notifications;
    }
    Request request;
    while (TakeOne(request, selection)) {
      RunRequest(request);
      request = Request{};
    }
    if (done()) return;
    std::unique_lock lock(q.mutex);
    q.changed.wait(lock, [&] { return FindSelected(q, selection) != q.requests.end() || q.notifications != seen; });
  }
}

}  // namespace

void ServeMainThreadQueueUntil(const std::function<bool()>& done) { ServeUntil(Selection{}, done); }

void ServeThreadRequestsUntil(std::thread::id requester, const std::function<bool()>& done) {
  ServeUntil(Selection{false, requester}, done);
}

void NotifyMainThreadQueue() {
  Queue& q = GetQueue();
  {
    std::lock_guard lock(q.mutex);
    ++q.notifications;
  }
  q.changed.notify_all();
}

void SetMainThreadWakeUp(WakeUp wakeUp) {
  Queue& q = GetQueue();
  std::lock_guard lock(q.wakeMutex);
  q.wakeUp = std::move(wakeUp);
}

void SetApplicationErrorDisplay(ErrorDisplay display) {
  Queue& q = GetQueue();
  std::lock_guard lock(q.mutex);
  q.errorDisplay = std::move(display);
}

void ShowApplicationError(std::exception_ptr error, const void* sender) {
  if (IsMainThread()) {
    Display(error, sender);
    return;
  }
  // The queued call holds the only reference, so the error is released on
  // the main thread that shows it.
  PostToMainThread([error = std::move(error), sender] { Display(error, sender); });
}

}  // namespace CPort::Runtime
