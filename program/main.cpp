// The program's entry: the application object, the port library's
// main-thread queue in Qt's event loop, the main window, the loop.
#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <exception>
#include <memory>

#include "CPort/runtime/MainThread.h"
#include "mainUnit/Application.h"
#include "mainUnit/ErrorText.h"
#include "mainUnit/MainThreadBridge.h"
#include "mainUnit/mainForm.h"

namespace {

// The window could not be built: tell the user and end the program.
int ShowStartupFailure(std::exception_ptr error) {
  const QString module = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
  const QString text = MainUnit::StartupFailureText(MainUnit::ExceptionClassName(error), module,
                                                    reinterpret_cast<const void*>(&ShowStartupFailure),
                                                    MainUnit::ExceptionMessage(error));
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Application Error"), text, QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  MainUnit::TApplication app(argc, argv);
  MainUnit::InstallMainThreadBridge();

  std::unique_ptr<MainUnit::TmainForm> mainForm;
  try {
    mainForm = std::make_unique<MainUnit::TmainForm>();
  } catch (...) {
    const int code = ShowStartupFailure(std::current_exception());
    MainUnit::RemoveMainThreadBridge();
    return code;
  }

  // Errors that no caller can receive (a lost device, a deferred step) go to
  // the window's error box.
  MainUnit::TmainForm* form = mainForm.get();
  CPort::Runtime::SetApplicationErrorDisplay(
      [form](std::exception_ptr error, const void*) { form->ShowException(error); });

  mainForm->show();
  const int code = app.exec();

  CPort::Runtime::SetApplicationErrorDisplay(nullptr);
  mainForm.reset();  // closes the port
  MainUnit::RemoveMainThreadBridge();
  return code;
}
