// Plugs the port library's main-thread queue into Qt's event loop: the
// calling (GUI) thread becomes the library's main thread, and each queued
// request schedules a ServeMainThreadQueue call on it.
#pragma once

namespace MainUnit {

// Call on the GUI thread once the QApplication exists.
void InstallMainThreadBridge();
// Call before the QApplication goes away.
void RemoveMainThreadBridge();

}  // namespace MainUnit
