// Shared pieces of the window's tests: a scripted TWindowServices, a fixture
// that builds the window against virtual devices, and small helpers that
// drive the real widgets.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CPort/platform/virtual_device.h"
#include "CPortCtl/ComComboBox.h"
#include "mainUnit/WindowServices.h"
#include "mainUnit/mainForm.h"

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace GuiTest {

using CPort::Platform::VirtualDevice;

// Answers the window's dialogs from queues and records what it showed.
class FakeServices : public MainUnit::TWindowServices {
 public:
  struct Box {
    QString title, text;
  };
  std::vector<Box> errors, messages;
  std::vector<QString> prompts;
  std::deque<std::optional<QString>> fileNames, texts;
  // Runs while an error box would be open (a modal loop in real life).
  std::function<void()> whileErrorShown;

  std::optional<QString> AskSaveFileName(QWidget*) override { return Take(fileNames); }
  void ShowMessage(QWidget*, const QString& title, const QString& text) override { messages.push_back({title, text}); }
  void ShowError(QWidget*, const QString& title, const QString& text) override {
    errors.push_back({title, text});
    if (whileErrorShown) whileErrorShown();
  }
  std::optional<QString> AskText(QWidget*, const QString& title, const QString& prompt, int maxLength) override {
    prompts.push_back(title + "|" + prompt + "|" + QString::number(maxLength));
    return Take(texts);
  }

 private:
  static std::optional<QString> Take(std::deque<std::optional<QString>>& queue) {
    if (queue.empty() || !queue.front().has_value()) {
      if (!queue.empty()) queue.pop_front();
      return std::nullopt;
    }
    const QString value = *queue.front();
    queue.pop_front();
    return value;
  }
};

// Waits (serving events) until `condition` holds or `ms` pass.
bool WaitUntil(const std::function<bool()>& condition, int ms = 5000);

// A user's pick in a combo box: open its list, highlight the item (by its
// value, else by its text), press Enter.
void Pick(QComboBox* box, const QString& text);
// Types `text` into an edit field key by key, after clearing it.
void TypeInto(QLineEdit* edit, const QString& text);
// Clicks a widget's centre with the left button.
void Click(QWidget* widget);
// Opens a widget's context menu at its centre and triggers the action with
// the given text through the menu.
void ChooseFromContextMenu(QAbstractScrollArea* area, const QString& actionText);

// Builds the window with FakeServices; the devices named in `devices` are
// registered first (and listed by the port selector).
class FormTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Registers a virtual device (before BuildForm to have it listed).
  std::shared_ptr<VirtualDevice> Device(const std::string& name);
  void BuildForm();

  template <typename T>
  T* Child(const char* name) const {
    T* child = form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  CPortCtl::TComComboBox* PortSelector() const { return Child<CPortCtl::TComComboBox>("ComComboBox1"); }
  // Adds items through "Insert Item", answering the dialog.
  void InsertItems(const std::vector<QString>& items);
  // Picks `name` in the port selector and waits until the port is open.
  void OpenDevice(const std::string& name);
  std::string Memo() const { return form->ReceivedBytes(); }

  FakeServices services;
  std::unique_ptr<MainUnit::TmainForm> form;
  std::vector<std::string> registered;
};

}  // namespace GuiTest
