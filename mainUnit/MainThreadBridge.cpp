#include "mainUnit/MainThreadBridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include "CPort/runtime/MainThread.h"

namespace MainUnit {

void InstallMainThreadBridge() {
  CPort::Runtime::SetMainThread();
  QPointer<QCoreApplication> app = QCoreApplication::instance();
  CPort::Runtime::SetMainThreadWakeUp([app] {
    // Called from any thread; the queued call runs on the GUI thread, also
    // inside modal dialogs' loops.
    if (app)
      QMetaObject::invokeMethod(
          app.data(), [] { CPort::Runtime::ServeMainThreadQueue(); }, Qt::QueuedConnection);
  });
  // Requests queued before the bridge existed.
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { CPort::Runtime::ServeMainThreadQueue(); }, Qt::QueuedConnection);
}

void RemoveMainThreadBridge() { CPort::Runtime::SetMainThreadWakeUp(nullptr); }

}  // namespace MainUnit
