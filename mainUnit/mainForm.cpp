#include "mainUnit/mainForm.h"

#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QMenu>
#include <QTextCursor>
#include <QTextDocument>
#include <QTime>

#include "CPort/ComErrors.h"
#include "CPortCtl/ComComboBox.h"
#include "mainUnit/ByteText.h"
#include "mainUnit/ErrorText.h"
#include "mainUnit/IntegerText.h"
#include "mainUnit/TextExport.h"
#include "mainUnit/TimeText.h"
#include "mainUnit/WindowErrors.h"
#include "ui_mainForm.h"

namespace MainUnit {

using CPortCtl::TComComboBox;

TmainForm::TmainForm(TWindowServices* services, QWidget* parent)
    : QWidget(parent),
      ui(std::make_unique<Ui::mainForm>()),
      services_(services),
      title_(ApplicationTitle(QCoreApplication::applicationFilePath())) {
  if (!services_) {
    ownServices_ = std::make_unique<TDialogServices>();
    services_ = ownServices_.get();
  }
  ui->setupUi(this);
  FitTextsToTheFont();
  BuildComponents();
  ConnectHandlers();
  FormCreate(this);
}

TmainForm::~TmainForm() {
  portWatcher_.reset();
  // Close the port while everything its handlers touch still exists.
  if (comPort_) {
    comPort_->OnRxChar = nullptr;
    comPort_->OnDeviceWait = nullptr;
    comPort_->OnDeviceBack = nullptr;
  }
  comPort_.reset();
  ComPort1 = nullptr;
}

// The layout was measured with an 11-pixel "MS Sans Serif", which Linux
// desktops do not have: prefer fonts of the same width, and let each label
// take the width its caption needs, as labels size themselves to their text.
void TmainForm::FitTextsToTheFont() {
  QFont narrow = font();
  narrow.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans Condensed")});
  narrow.setPixelSize(11);
  setFont(narrow);
  for (QLabel* label : findChildren<QLabel*>()) label->adjustSize();
}

void TmainForm::BuildComponents() {
  // Fixed single border, system menu and minimise only.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(663, 501);
  move(295, 193);

  // Each selector fills its list as soon as it knows its property; the port
  // does not exist yet, so nothing is selected or applied here.
  const struct {
    TComComboBox* box;
    CPortCtl::TComProperty property;
  } selectors[] = {{ui->ComComboBox1, CPortCtl::cpPort},
                   {ui->ComComboBox2, CPortCtl::cpParity},
                   {ui->ComComboBox3, CPortCtl::cpBaudRate},
                   {ui->ComComboBox4, CPortCtl::cpDataBits}};
  for (const auto& s : selectors) {
    s.box->SetComProperty(s.property);
    s.box->SetAutoApply(true);
  }

  ui->Memo1->setUndoRedoEnabled(false);  // the box only grows; keep no history of it
  ui->Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
  ui->arrayListBox->setContextMenuPolicy(Qt::CustomContextMenu);

  // The components without a place on the screen, in layout order.
  comPort_ = std::make_unique<CPort::TComPort>();
  ComPort1 = comPort_.get();
  ComPort1->SetName("ComPort1");
  ComPort1->BeginLoading();
  ComPort1->SetBaudRate(CPort::br9600);
  ComPort1->SetPort("COM10");
  ComPort1->Parity().SetBits(CPort::prNone);
  ComPort1->SetStopBits(CPort::sbOneStopBit);
  ComPort1->SetDataBits(CPort::dbEight);
  ComPort1->SetEvents(CPort::kAllComEvents);
  ComPort1->FlowControl().SetOutCTSFlow(false);
  ComPort1->FlowControl().SetOutDSRFlow(false);
  ComPort1->FlowControl().SetControlDTR(CPort::dtrDisable);
  ComPort1->FlowControl().SetControlRTS(CPort::rtsDisable);
  ComPort1->FlowControl().SetXonXoffOut(false);
  ComPort1->FlowControl().SetXonXoffIn(false);
  ComPort1->OnRxChar = [this](CPort::TComponent* sender, std::int32_t count) { onRxChar(sender, count); };
  ComPort1->SetReconnect(true);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  ClearDataTable1 = PopupMenu1->addAction(QStringLiteral("ClearDataTable"));
  ClearDataTable1->setObjectName("ClearDataTable1");

  Timer1 = new TTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->SetEnabled(false);
  Timer1->SetInterval(250);

  PopupMenu2 = new QMenu(this);
  PopupMenu2->setObjectName("PopupMenu2");
  SaveAsTextFile1 = PopupMenu2->addAction(QStringLiteral("SaveAsTextFile"));
  SaveAsTextFile1->setObjectName("SaveAsTextFile1");
  ClrStrings1 = PopupMenu2->addAction(QStringLiteral("ClrStrings"));
  ClrStrings1->setObjectName("ClrStrings1");
  // SaveDialog1 is services_->AskSaveFileName.

  rxWait_.setSingleShot(true);
  rxWait_.setTimerType(Qt::PreciseTimer);
  rxWait_.setInterval(kReceiveDelayMs);

  // References resolved once every component exists: each selector shows the
  // port's current value; none raises OnChange.
  for (const auto& s : selectors) s.box->SetComPort(ComPort1);
  ComPort1->FinishLoading();
  FollowPorts();
}

// --- Ports that come and go ------------------------------------------------

void TmainForm::FollowPorts() {
  portWatcher_ = std::make_unique<CPort::TPortWatcher>();
  portWatcher_->OnChange = [this](CPort::TComponent*) { ShowPorts(); };
  portWatcher_->Start();
  ShowPorts();

  ComPort1->OnDeviceWait = [this](CPort::TComponent*) { NotePort(kWaitingNote, kWaitingShortNote); };
  ComPort1->OnDeviceBack = [this](CPort::TComponent*) {
    // The device may be back under another name; the selector follows it.
    ui->ComComboBox1->ShowCurrent();
    ShowPorts();
    NotePort(kBackNote, kBackShortNote);
    backNote_.start();
  };
  backNote_.setSingleShot(true);
  backNote_.setInterval(kBackNoteMs);
  connect(&backNote_, &QTimer::timeout, this, [this] { NotePort(nullptr, nullptr); });
}

void TmainForm::ShowPorts() { ui->ComComboBox1->SetPorts(portWatcher_->Ports()); }

// One note at a time, beside the port ComPort1 names now.
void TmainForm::NotePort(const char* note, const char* shortNote) {
  backNote_.stop();
  if (!notedPort_.empty()) ui->ComComboBox1->SetPortNote(notedPort_, "");
  notedPort_ = note ? ComPort1->Port() : std::string();
  if (note) ui->ComComboBox1->SetPortNote(notedPort_, note, shortNote ? shortNote : "");
}

template <typename Handler>
void TmainForm::Guard(Handler&& handler) {
  try {
    handler();
  } catch (...) {
    ShowException(std::current_exception());
  }
}

void TmainForm::ConnectHandlers() {
  auto showError = [this](std::exception_ptr error) { ShowException(error); };
  for (TComComboBox* box : {ui->ComComboBox1, ui->ComComboBox2, ui->ComComboBox3, ui->ComComboBox4})
    box->OnError = showError;
  ui->ComComboBox1->OnChange = [this](CPort::TComponent* sender) { onPortChange(sender); };

  connect(ui->Memo1, &QPlainTextEdit::textChanged, this, [this] { Guard([&] { memo1OnChange(ui->Memo1); }); });
  connect(ui->Memo1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    ui->Memo1->setFocus(Qt::MouseFocusReason);
    PopupMenu2->popup(ui->Memo1->viewport()->mapToGlobal(pos));
  });
  connect(ui->arrayListBox, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PopupMenu1->popup(ui->arrayListBox->viewport()->mapToGlobal(pos));
  });
  connect(SaveAsTextFile1, &QAction::triggered, this, [this] { Guard([&] { SaveAsTextFile1Click(SaveAsTextFile1); }); });
  connect(ClrStrings1, &QAction::triggered, this, [this] { Guard([&] { ClrStrings1Click(ClrStrings1); }); });
  connect(ClearDataTable1, &QAction::triggered, this, [this] { Guard([&] { ClearDataTable1Click(ClearDataTable1); }); });

  connect(ui->Button1, &QPushButton::clicked, this, [this] { Guard([&] { Button1Click(ui->Button1); }); });
  connect(ui->applyButton, &QPushButton::clicked, this, [this] { Guard([&] { applyButtonClick(ui->applyButton); }); });
  connect(ui->writeButton, &QPushButton::clicked, this, [this] { Guard([&] { writeButtonClick(ui->writeButton); }); });
  connect(ui->writeDataButton, &QPushButton::clicked, this,
          [this] { Guard([&] { writeDataButtonClick(ui->writeDataButton); }); });
  connect(ui->writeSelectedRowButton, &QPushButton::clicked, this,
          [this] { Guard([&] { writeSelectedRowButtonClick(ui->writeSelectedRowButton); }); });
  connect(ui->Edit1, &QLineEdit::textChanged, this, [this] { Guard([&] { Edit1Change(ui->Edit1); }); });
  connect(Timer1, &TTimer::OnTimer, this, [this] { TimerTick(); });
  connect(&rxWait_, &QTimer::timeout, this, [this] { Guard([&] { ReadReceived(); }); });
}

namespace {

// The event thread's report of a device that went away.
bool IsDeviceLoss(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const CPort::EComPort& e) {
    return e.PortErrorCode() == CPort::PortErr::WaitFailed;
  } catch (...) {
    return false;
  }
}

}  // namespace

void TmainForm::ShowException(std::exception_ptr error) {
  const QString text = WithFullStop(ExceptionMessage(error));
  if (errorBoxOpen_) {
    // One box at a time. A device that comes and goes while a box is open
    // needs no second one: the port selector shows that the port waits for
    // it. Anything else is shown once the open box is closed.
    if (!IsDeviceLoss(error) && !laterErrors_.contains(text)) laterErrors_.append(text);
    return;
  }
  errorBoxOpen_ = true;
  struct Closed {
    bool& open;
    ~Closed() { open = false; }
  } closed{errorBoxOpen_};
  services_->ShowError(this, title_, text);
  while (!laterErrors_.isEmpty()) services_->ShowError(this, title_, laterErrors_.takeFirst());
}

// --- Start-up and port choice --------------------------------------------

void TmainForm::FormCreate(QObject*) { ui->Memo1->setPlainText(BytesToBoxText("Ready\r\n")); }

void TmainForm::onPortChange(CPort::TComponent*) {
  // The selector has already written the name into the port: a closed port
  // opens here, an open one has switched itself.
  ComPort1->OpenPort();
}

// --- Received data ---------------------------------------------------------

void TmainForm::onRxChar(CPort::TComponent*, std::int32_t) {
  // Runs for the event thread, which must not be held: only schedule the read.
  if (rxWait_.isActive()) return;
  rxWait_.start();
}

void TmainForm::ReadReceived() {
  // A port closed in the meantime took its bytes with it.
  if (!ComPort1->Connected()) return;
  ComPort1->ReceiveText(rxBuffer_, kReceiveChunk);
  AppendReceived(rxBuffer_ + "\r\n");
  // The device reports new input once, so bytes beyond this read's 1024
  // would wait for the next arrival, or for ever from a device that has gone
  // quiet. They get their own read, one wait later.
  if (ComPort1->PendingInput() > 0) rxWait_.start();
}

void TmainForm::AppendReceived(const std::string& bytes) {
  QTextCursor cursor(ui->Memo1->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(BytesToBoxText(bytes));
}

std::string TmainForm::ReceivedBytes() const { return BoxTextToBytes(ui->Memo1->document()->toRawText()); }

void TmainForm::memo1OnChange(QObject*) {
  // Caret after the last character, nothing selected, newest text in view.
  ui->Memo1->moveCursor(QTextCursor::End);
  ui->Memo1->ensureCursorVisible();
}

void TmainForm::SaveAsTextFile1Click(QObject*) {
  const auto name = services_->AskSaveFileName(this);
  if (!name) return;
  const std::string bytes = ReceivedBytes();
  // ".txt" is always appended, also to a name that already ends in it.
  ExportText(QFile::encodeName(*name + QStringLiteral(".txt")).toStdString(), bytes);
}

void TmainForm::ClrStrings1Click(QObject*) { ui->Memo1->clear(); }

// --- Sending -----------------------------------------------------------------

void TmainForm::Send(const std::string& bytes) {
  if (!bytes.empty()) ComPort1->SendText(bytes);
}

std::string TmainForm::ItemBytes(int index) const {
  return TypedTextToBytes(ui->arrayListBox->item(index)->text());
}

int TmainForm::SelectedIndex() const {
  const auto selected = ui->arrayListBox->selectedItems();
  return selected.isEmpty() ? -1 : ui->arrayListBox->row(selected.first());
}

void TmainForm::SetStatusLine() {
  const QString time = TimeOfDayText(QTime::currentTime());
  ui->statusEdit->setText(QStringLiteral("Last BYTE(s) sent successfully.( Last sending time is %1 )").arg(time));
}

void TmainForm::Button1Click(QObject*) {
  // The first character only; an empty field sends nothing.
  Send(FirstCharacterBytes(ui->dataEdit->text()));
}

void TmainForm::applyButtonClick(QObject*) {
  const int position = ui->arrayListBox->count() + 1;
  const auto text = services_->AskText(this, QStringLiteral("Data Entry"),
                                       QStringLiteral("Please enter to %1 numbered data").arg(position), 255);
  // Cancel adds the dialog's empty initial text.
  ui->arrayListBox->addItem(text.value_or(QString()));
  ui->writeDataButton->setEnabled(true);
  ui->writeSelectedRowButton->setEnabled(true);
  ui->writeButton->setEnabled(true);
}

void TmainForm::ClearDataTable1Click(QObject*) { ui->arrayListBox->clear(); }

void TmainForm::writeButtonClick(QObject*) {
  for (int i = 0; i < ui->arrayListBox->count(); ++i) Send(FirstCharacterBytes(ui->arrayListBox->item(i)->text()));
  services_->ShowMessage(this, title_, QStringLiteral("Your table data has been sent successfully"));
}

void TmainForm::writeDataButtonClick(QObject*) {
  ui->sentDataEdit->clear();
  for (int i = 0; i < ui->arrayListBox->count(); ++i) {
    Send(ItemBytes(i));
    ui->sentDataEdit->setText(ui->sentDataEdit->text() + ui->arrayListBox->item(i)->text());
  }
  SetStatusLine();
}

void TmainForm::writeSelectedRowButtonClick(QObject*) {
  ui->sentDataEdit->clear();
  const int index = SelectedIndex();
  if (index < 0) throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index).toStdString());
  Send(ItemBytes(index));
  if (ui->lfCheckBox->isChecked()) Send("\n");
  if (ui->crCheckBox->isChecked()) Send("\r");
  ui->sentDataEdit->setText(ui->arrayListBox->item(index)->text());
  SetStatusLine();
}

void TmainForm::Timer1Timer(QObject*) {
  for (int i = 0; i < ui->arrayListBox->count(); ++i) {
    Send(ItemBytes(i));
    if (ui->lfCheckBox->isChecked()) Send("\n");
    if (ui->crCheckBox->isChecked()) Send("\r");
  }
}

void TmainForm::TimerTick() {
  // The timer goes on while an error box is open; without this every later
  // failing tick would stack one more modal box on it, faster than the user
  // can close them.
  if (tickErrorShown_) return;
  try {
    Timer1Timer(Timer1);
  } catch (...) {
    tickErrorShown_ = true;
    ShowException(std::current_exception());
    tickErrorShown_ = false;
  }
}

void TmainForm::Edit1Change(QObject*) {
  const QString text = ui->Edit1->text();
  const std::int32_t period = StrToInt(text);
  if (period < 0)
    throw EConvertError(
        QStringLiteral("'%1' is not a valid sending period: enter 0 or more milliseconds").arg(text).toStdString());
  Timer1->SetInterval(static_cast<std::uint32_t>(period));
  if (period != 0) Timer1->SetEnabled(true);
}

}  // namespace MainUnit
