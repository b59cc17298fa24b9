// The window's dialogs, behind one small interface so that tests answer them
// without real dialogs.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace MainUnit {

class TWindowServices {
 public:
  virtual ~TWindowServices() = default;
  // The save-file dialog: no filter, no default extension, no question
  // before overwriting. Nothing when the user cancels.
  virtual std::optional<QString> AskSaveFileName(QWidget* parent) = 0;
  // A message box without icon, with an OK button.
  virtual void ShowMessage(QWidget* parent, const QString& title, const QString& text) = 0;
  // A message box with the error icon and an OK button.
  virtual void ShowError(QWidget* parent, const QString& title, const QString& text) = 0;
  // A modal input dialog, centred on the screen, with an initially empty
  // field limited to `maxLength` characters. Nothing when the user cancels.
  virtual std::optional<QString> AskText(QWidget* parent, const QString& title, const QString& prompt,
                                         int maxLength) = 0;
};

// The real dialogs (QFileDialog, QMessageBox, QInputDialog).
class TDialogServices final : public TWindowServices {
 public:
  std::optional<QString> AskSaveFileName(QWidget* parent) override;
  void ShowMessage(QWidget* parent, const QString& title, const QString& text) override;
  void ShowError(QWidget* parent, const QString& title, const QString& text) override;
  std::optional<QString> AskText(QWidget* parent, const QString& title, const QString& prompt,
                                 int maxLength) override;
};

}  // namespace MainUnit
