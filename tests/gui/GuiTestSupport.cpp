#include "GuiTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>

#include "CPort/runtime/MainThread.h"

namespace GuiTest {

bool WaitUntil(const std::function<bool()>& condition, int ms) { return QTest::qWaitFor(condition, ms); }

void Pick(QComboBox* box, const QString& text) {
  // A port item shows more than its name; its value is the name.
  int index = box->findData(text.toUtf8());
  if (index < 0) index = box->findText(text);
  ASSERT_GE(index, 0) << text.toStdString();
  box->showPopup();
  QAbstractItemView* view = box->view();
  ASSERT_TRUE(WaitUntil([&] { return view->isVisible(); }));
  view->setCurrentIndex(box->model()->index(index, box->modelColumn()));
  QTest::keyClick(view, Qt::Key_Return);
}

void TypeInto(QLineEdit* edit, const QString& text) {
  edit->setFocus();
  edit->selectAll();
  for (const QChar c : text) QTest::keyClick(edit, c.toLatin1());
}

void Click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }

void ChooseFromContextMenu(QAbstractScrollArea* area, const QString& actionText) {
  QWidget* viewport = area->viewport();
  const QPoint pos = viewport->rect().center();
  QContextMenuEvent event(QContextMenuEvent::Mouse, pos, viewport->mapToGlobal(pos));
  QApplication::sendEvent(viewport, &event);
  QMenu* menu = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) != nullptr; }));
  QAction* chosen = nullptr;
  for (QAction* action : menu->actions())
    if (action->text() == actionText) chosen = action;
  ASSERT_NE(chosen, nullptr) << actionText.toStdString();
  menu->setActiveAction(chosen);
  QTest::keyClick(menu, Qt::Key_Return);
}

void FormTest::SetUp() {
  ::unsetenv("CPORT_EXTRA_PORTS");
  CPort::Runtime::SetApplicationErrorDisplay([this](std::exception_ptr error, const void*) {
    if (form)
      form->ShowException(error);
    else
      ADD_FAILURE() << "error before the window exists";
  });
}

void FormTest::TearDown() {
  form.reset();
  CPort::Runtime::SetApplicationErrorDisplay(nullptr);
  for (const auto& name : registered) VirtualDevice::Unregister(name);
  ::unsetenv("CPORT_EXTRA_PORTS");
}

std::shared_ptr<VirtualDevice> FormTest::Device(const std::string& name) {
  registered.push_back(name);
  return VirtualDevice::Register(name);
}

void FormTest::BuildForm() {
  form = std::make_unique<MainUnit::TmainForm>(&services);
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
}

void FormTest::InsertItems(const std::vector<QString>& items) {
  for (const auto& item : items) {
    services.texts.push_back(item);
    Click(Child<QPushButton>("applyButton"));
  }
}

void FormTest::OpenDevice(const std::string& name) {
  Pick(PortSelector(), QString::fromStdString(name));
  ASSERT_TRUE(WaitUntil([&] { return form->ComPort1->Connected(); })) << name;
  ASSERT_EQ(form->ComPort1->Port(), name);
}

}  // namespace GuiTest
