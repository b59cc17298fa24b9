// The hand-over of calls to the main thread, and the application's error
// display.
//
// Worker threads queue requests; the main thread runs them when its loop
// serves the queue. A GUI plugs its event loop in with SetMainThreadWakeUp
// (called from the requesting thread whenever something is queued, so the
// loop can schedule a ServeMainThreadQueue call); a console program calls
// ServeMainThreadQueue or WaitAndServeMainThreadQueue in its own loop.
// A program that never serves the queue leaves the requesters waiting: its
// ports' handlers under smThreadSync and smWindowSync never run, and their
// event threads stay blocked until the port is closed (ClosePort serves the
// queue while it waits).
//
// None of these functions raises on its own; an exception a queued call
// raises goes where each function says.
//
// Thread safety: all functions may be called from any thread unless noted.
// "Main thread only" is not checked: served elsewhere, the requests would
// simply run on the wrong thread.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

namespace CPort::Runtime {

// The main thread is the one that loaded the library, unless changed here:
// SetMainThread makes the calling thread the main thread. Call it before
// any port is opened.
void SetMainThread();
bool IsMainThread();

// Runs `call` on the main thread and blocks until it has run; an exception
// it raises is rethrown in the caller. Called on the main thread it runs
// `call` at once.
void RunOnMainThread(const std::function<void()>& call);

// Queues `call` for the main thread and blocks only until the main thread has
// taken it up (not until it has run). `call` then runs on the main thread; an
// exception it raises goes to the application's error display. Requests keep
// their order. Called on the main thread, `call` runs at once.
void SendToMainThread(std::function<void()> call);

// Queues `call` for the main thread without waiting for it, also when called
// on the main thread (it then runs the next time the queue is served). An
// exception it raises goes to the application's error display.
void PostToMainThread(std::function<void()> call);

// Main thread only: runs every request queued so far, also those queued
// while it runs; returns how many.
int ServeMainThreadQueue();
// Main thread only: waits up to `limit` for a request, then serves the queue;
// returns how many ran (0 when none came in time).
int WaitAndServeMainThreadQueue(std::chrono::milliseconds limit);
// Main thread only: serves requests until `done` returns true. `done` is
// tested again each time NotifyMainThreadQueue is called or a request comes;
// it blocks for as long as neither happens.
void ServeMainThreadQueueUntil(const std::function<bool()>& done);
// Main thread only: serves the requests that `requester` is blocked on (its
// RunOnMainThread and SendToMainThread calls) and no other, until `done`
// returns true. A thread's end can be awaited this way without running other
// threads' requests (and whatever nested loops they open) in the meantime;
// posted requests wait for the next ServeMainThreadQueue.
void ServeThreadRequestsUntil(std::thread::id requester, const std::function<bool()>& done);
// Wakes ServeMainThreadQueueUntil so that it tests its condition again.
void NotifyMainThreadQueue();

// Called from the requesting thread each time a request is queued. Once
// SetMainThreadWakeUp returns, the previous callback is neither running nor
// called again. The callback must not set a new one.
using WakeUp = std::function<void()>;
void SetMainThreadWakeUp(WakeUp wakeUp);

// The application's error display: where errors that no caller can receive
// go (an error in a deferred open, a window-message step, a lost device).
// Without one installed, the message is written to standard error. The
// display is called on the main thread; `sender` is the port concerned, or
// nullptr. Installing one replaces the previous one.
using ErrorDisplay = std::function<void(std::exception_ptr error, const void* sender)>;
void SetApplicationErrorDisplay(ErrorDisplay display);
// Shows `error` on the main thread: at once when called there, otherwise
// through the queue (without waiting).
void ShowApplicationError(std::exception_ptr error, const void* sender);

}  // namespace CPort::Runtime
