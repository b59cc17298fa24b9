#include "CPortCtl/ComComboBox.h"

#include <QAbstractItemView>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <algorithm>

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
  // The whole caption, for a box too narrow to show it.
  connect(this, &QComboBox::currentIndexChanged, this,
          [this](int index) { setToolTip(index >= 0 ? itemText(index) : QString()); });
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

void TComComboBox::SetPorts(const std::vector<CPort::TSerialPortInfo>& ports) {
  const std::string selected = Text();
  std::vector<CPort::TSerialPortInfo> list = ports;
  const auto listed = [&](const std::string& name) {
    return std::any_of(list.begin(), list.end(), [&](const auto& info) { return info.Name == name; });
  };
  if (!selected.empty() && !listed(selected)) {
    CPort::TSerialPortInfo kept;
    kept.Name = selected;
    const auto known = descriptions_.find(selected);
    if (known != descriptions_.end()) kept.Description = known->second;
    list.push_back(kept);
    CPort::SortPortDetails(list);
  }
  portList_ = true;
  descriptions_.clear();
  clear();
  for (const auto& info : list) {
    descriptions_[info.Name] = info.Description;
    items_->Add(info.Name);
  }
  ShowCaptions();
  if (!selected.empty())
    setCurrentIndex(findData(QByteArray::fromStdString(selected)));  // exactly the pick, not a case variant
  else if (select_.ComPort)
    ShowCurrent();
  else
    setCurrentIndex(-1);
}

void TComComboBox::SetPortNote(const std::string& name, const std::string& note, const std::string& shortNote) {
  if (note.empty()) {
    notes_.erase(name);
    shortNotes_.erase(name);
  } else {
    notes_[name] = note;
    shortNotes_[name] = shortNote.empty() ? note : shortNote;
  }
  ShowCaptions();
}

QString TComComboBox::ClosedCaption() const {
  const int index = currentIndex();
  if (index < 0) return QString();
  if (!portList_) return itemText(index);
  const std::string name = items_->Get(index);
  QString prefix;
  if (const auto note = shortNotes_.find(name); note != shortNotes_.end())
    prefix = QStringLiteral("[%1] ").arg(QString::fromStdString(note->second));
  QStyleOptionComboBox option;
  initStyleOption(&option);
  const int room = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this).width();
  // The end of a port's name tells ports apart ("ttyUSB1", "pts/7").
  const QString shown = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
  const int left = std::max(0, room - fontMetrics().horizontalAdvance(prefix));
  return prefix + fontMetrics().elidedText(shown, Qt::ElideLeft, left);
}

void TComComboBox::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionComboBox option;
  initStyleOption(&option);
  option.currentText = ClosedCaption();
  painter.drawComplexControl(QStyle::CC_ComboBox, option);
  painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

std::string TComComboBox::ItemCaption(int index) const {
  return index >= 0 && index < count() ? itemText(index).toStdString() : std::string();
}

// "[note] name" while a note is set, else "name – description"; the note
// goes first so that a narrow box still shows it.
QString TComComboBox::Caption(const std::string& name) const {
  const QString shown = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
  const auto note = notes_.find(name);
  if (note != notes_.end()) return QStringLiteral("[%1] %2").arg(QString::fromStdString(note->second), shown);
  const auto description = descriptions_.find(name);
  if (description == descriptions_.end() || description->second.empty()) return shown;
  return QStringLiteral("%1 \u2013 %2").arg(shown, QString::fromStdString(description->second));
}

void TComComboBox::ShowCaptions() {
  int widest = 0;
  for (int i = 0; i < count(); ++i) {
    setItemText(i, Caption(items_->Get(i)));
    widest = std::max(widest, view()->fontMetrics().horizontalAdvance(itemText(i)));
  }
  // The box keeps its size; the open list is as wide as its longest caption,
  // with room for the item's margins and a scroll bar.
  const int margins = 2 * view()->frameWidth() + 4 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) +
                      style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this) + 8;
  view()->setMinimumWidth(std::max(view()->sizeHintForColumn(0), widest) + margins);
  setToolTip(currentIndex() >= 0 ? itemText(currentIndex()) : QString());
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
