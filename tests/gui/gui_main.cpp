// One QApplication for the whole suite, with the port library's main-thread
// queue served by its event loop, and a port list that never shows a system
// tty: the tty class points at an empty tree.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "CPort/PortList.h"
#include "mainUnit/Application.h"
#include "mainUnit/MainThreadBridge.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  MainUnit::TApplication app(argc, argv);
  MainUnit::InstallMainThreadBridge();

  QTemporaryDir sysfs;
  if (!sysfs.isValid() || !QDir(sysfs.path()).mkpath("class/tty")) return 2;
  CPort::SetSysfsRoot(sysfs.path().toStdString());

  const int result = RUN_ALL_TESTS();
  MainUnit::RemoveMainThreadBridge();
  return result;
}
