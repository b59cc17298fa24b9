// TComComboBox: a drop-down list bound to one property of a port. It lists
// every choice of that property, shows the port's current value, and writes
// the user's pick into the port at once (with AutoApply).
//
// Only a pick by the user (QComboBox::activated: mouse or keyboard) is a
// change: the control hands the text to its TComSelect, which applies it,
// then raises OnChange. Selecting from the program (SetText, SetComPort,
// SetComProperty, the port's removal) never applies and never raises
// OnChange.
//
// Errors of the change step (a port setter or the OnChange handler) never
// leave into Qt: they go to OnError, or to the application's error display
// when OnError is empty. OnChange is then not raised.
//
// Thread safety: main thread only.
#pragma once

#include <QComboBox>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CPort/PortDetails.h"

#include "CPort/runtime/Component.h"
#include "CPortCtl/ComProperty.h"
#include "CPortCtl/ComSelect.h"

namespace CPort {
class TCustomComPort;
}

namespace CPortCtl {

class TComComboBox : public QComboBox, public CPort::TComponent {
  Q_OBJECT

 public:
  explicit TComComboBox(QWidget* parent = nullptr);
  ~TComComboBox() override;

  CPort::TCustomComPort* ComPort() const { return select_.ComPort; }
  // Binds the control to `port` (nullptr unbinds; list and selection stay)
  // and selects the port's current value.
  void SetComPort(CPort::TCustomComPort* port);

  TComProperty ComProperty() const { return select_.ComProperty; }
  // Refills the list (for cpPort the ports are read again) and selects the
  // port's current value, or the first item when no port is bound. Errors of
  // ListSerialPorts propagate; the list is then empty.
  void SetComProperty(TComProperty value);

  bool AutoApply() const { return select_.AutoApply; }
  void SetAutoApply(bool value) { select_.AutoApply = value; }

  // The selected item's text, or "" with nothing selected.
  std::string Text() const;
  // Selects the first item equal to `text` (ASCII case folded); with no such
  // item nothing changes.
  void SetText(const std::string& text);

  // Selects the item naming the port's current value; nothing when none.
  void ShowCurrent();

  const TComSelect& Select() const { return select_; }

  // Port lists that follow the ports present (cpPort). Each item shows the
  // port's name and description; its value (Text) stays the name.
  //
  // Lists `ports` in their order (ListSerialPortDetails's). The selected
  // port stays selected, and stays listed while it is absent, so the user's
  // pick is kept; with nothing selected, the bound port's name is selected
  // once it is listed. Nothing is applied and OnChange is not raised.
  void SetPorts(const std::vector<CPort::TSerialPortInfo>& ports);
  // Shows `note` in front of the port `name` (kept when the list changes);
  // an empty note removes it. The closed box shows `shortNote` instead when
  // one is given: the box is narrower than the list.
  void SetPortNote(const std::string& name, const std::string& note, const std::string& shortNote = "");
  // The text an item shows in the open list (its caption), or "" for no
  // such item.
  std::string ItemCaption(int index) const;
  // What the closed box shows. For a port list: the selected port's name
  // (without its description), after its short note in brackets, the name
  // shortened at its start ("…pts/7") where the box is too narrow. Other
  // lists show the caption. The whole caption is the box's tool tip.
  QString ClosedCaption() const;

  // Raised after a user's pick has been applied.
  std::function<void(CPort::TComponent* Sender)> OnChange;
  // Receives the errors of the change step.
  std::function<void(std::exception_ptr error)> OnError;

 protected:
  void Notification(CPort::TComponent* component, CPort::TOperation operation) override;
  void paintEvent(QPaintEvent* event) override;
  // The change step, run for each pick by the user.
  virtual void Change();

 private:
  class Items;
  QString Caption(const std::string& name) const;
  void ShowCaptions();

  std::unique_ptr<Items> items_;
  TComSelect select_;
  std::map<std::string, std::string> descriptions_;
  std::map<std::string, std::string> notes_;
  std::map<std::string, std::string> shortNotes_;
  bool portList_ = false;  // filled by SetPorts
};

}  // namespace CPortCtl
