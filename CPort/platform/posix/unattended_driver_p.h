// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// Keeps transfers moving that nobody waits for.
//
// A device's work is normally done by the threads that wait for it (see
// event_object_p.h). A ReadFile or WriteFile may also be left pending with
// nobody waiting - the caller looks at the OVERLAPPED later, or only at its
// event's state - and must still complete on time, as on Windows. An engine
// in that state registers here; one thread for the whole process then polls
// the registered engines' descriptors (nested in one epoll set) and drives
// them. The thread is started when the first engine registers, and ends
// shortly after the last one has left (a waiter arrived, or the work ended).
#pragma once

#include <memory>

#include "event_object_p.h"

namespace CPort::Platform::UnattendedDriver {

// Returns 0 or an errno (the thread or the epoll set could not be had).
int Add(const std::shared_ptr<EventDriver>& driver);
void Remove(const EventDriver* driver);

// Threads of the process that exist for this purpose right now (0 or 1).
int RunningThreads();

}  // namespace CPort::Platform::UnattendedDriver
