// TApplication: the QApplication of the program and of the window's tests.
// Every handler of the window catches its own errors; an exception that
// still reaches the event loop is shown through the application's error
// display instead of ending the program.
#pragma once

#include <QApplication>

namespace MainUnit {

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace MainUnit
