#include "mainUnit/Application.h"

#include "CPort/runtime/MainThread.h"

namespace MainUnit {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    CPort::Runtime::ShowApplicationError(std::current_exception(), receiver);
    return false;
  }
}

}  // namespace MainUnit
