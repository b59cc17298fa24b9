#include "CPortCtl/ComComboBox.h"

#include "CPort/ComPort.h"
#include "CPort/runtime/MainThread.h"

namespace CPortCtl {

// The combo box's own list as a TComItems. The exact bytes of each text are
// kept as item data, so a name that is not valid UTF-8 comes back unchanged.
class TComComboBox::Items final : public TComItems {
 public:
  explicit Items(QComboBox& box) : box_(box) {}
  void Clear() override { box_.clear(); }
  void Add(const std::string& text) override {
    const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    box_.addItem(QString::fromUtf8(bytes), bytes);
  }
  int Count() const override { return box_.count(); }
  std::string Get(int index) const override { return box_.itemData(index).toByteArray().toStdString(); }

 private:
  QComboBox& box_;
};

TComComboBox::TComComboBox(QWidget* parent)
    : QComboBox(parent), items_(std::make_unique<Items>(*this)) {
  select_.Items = items_.get();
  setEditable(false);  // pick only, no typing
  connect(this, &QComboBox::activated, this, [this](int) { Change(); });
}

TComComboBox::~TComComboBox() = default;

void TComComboBox::SetComPort(CPort::TCustomComPort* port) {
  if (port == select_.ComPort) return;
  select_.ComPort = port;
  if (port) {
    FreeNotification(port);
    ShowCurrent();
  }
}

void TComComboBox::SetComProperty(TComProperty value) {
  select_.SetComProperty(value);
  if (count() == 0) return;
  if (select_.ComPort)
    ShowCurrent();
  else
    setCurrentIndex(0);
}

std::string TComComboBox::Text() const {
  const int index = currentIndex();
  return index >= 0 ? items_->Get(index) : std::string();
}

void TComComboBox::SetText(const std::string& text) {
  for (int i = 0; i < count(); ++i) {
    if (SameTextAscii(items_->Get(i), text)) {
      setCurrentIndex(i);
      return;
    }
  }
}

void TComComboBox::ShowCurrent() {
  int index = -1;
  select_.FindCurrent(index);
  setCurrentIndex(index);
}

void TComComboBox::Notification(CPort::TComponent* component, CPort::TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == CPort::TOperation::opRemove && select_.ComPort &&
      component == static_cast<CPort::TComponent*>(select_.ComPort)) {
    select_.ComPort = nullptr;
    if (count() > 0) setCurrentIndex(0);
  }
}

void TComComboBox::Change() {
  try {
    select_.SelectText(Text());
    if (OnChange) OnChange(this);
  } catch (...) {
    // Qt cannot carry an exception through its signal delivery.
    if (OnError)
      OnError(std::current_exception());
    else
      CPort::Runtime::ShowApplicationError(std::current_exception(), this);
  }
}

}  // namespace CPortCtl
