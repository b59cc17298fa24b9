// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// The system's own message loop as a way to serve the main-thread queue
// (runtime/MainThread.h). On Windows every thread that runs a message loop
// can serve it: the library keeps a hidden window on the main thread and,
// unless the application sets a wake-up of its own, posts it a message
// whenever a request is queued. POSIX has no such loop; a GUI plugs its own
// in with SetMainThreadWakeUp.
#pragma once

namespace CPort::Platform {

// Called on the main thread when the library is loaded and by SetMainThread.
void AttachMainThreadLoop();

}  // namespace CPort::Platform
