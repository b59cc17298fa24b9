// TmainForm: the program's one window. It owns the serial port ComPort1, the
// four port selectors bound to it, the "Received Strings" box, the sending
// controls, the periodic-send timer Timer1 and the two pop-up menus.
//
// Every handler runs on the GUI thread. An error that leaves a handler, a
// timer tick or a selector is shown in an error box (ShowException) and the
// window goes on.
//
// Ports that come and go: the port selector follows the ports present and
// shows each one's description; ComPort1 reconnects to its device when that
// is unplugged and plugged in again. The loss is shown in the error box as
// before, once; while the port waits the selected item reads "[waiting for
// the device]", and "[device back]" for a few seconds once it is open again.
//
// Received data: ComPort1's OnRxChar starts one deferred read 999 ms after
// the event that found no read pending; events that come meanwhile are
// absorbed by it. The read takes at most 1024 waiting bytes and appends them
// and CR LF to the box as one line; while bytes are still waiting after it,
// another read follows one wait later, so a backlog reaches the box also
// from a device that has gone quiet. The wait never blocks the event loop.
#pragma once

#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "CPort/ComPort.h"
#include "CPort/PortWatcher.h"
#include "mainUnit/RepeatingTimer.h"
#include "mainUnit/WindowServices.h"

class QAction;
class QMenu;

namespace Ui {
class mainForm;
}

namespace MainUnit {

class TmainForm : public QWidget {
  Q_OBJECT

 public:
  // Delay between a received-character event and its read, and the most
  // bytes one read takes.
  static constexpr int kReceiveDelayMs = 999;
  static constexpr std::int32_t kReceiveChunk = 1024;

  // Builds the window from its layout. `services` (not owned) answers the
  // dialogs; nullptr uses the real ones. Raises the errors of the build (for
  // example EComPort when the serial ports cannot be listed).
  explicit TmainForm(TWindowServices* services = nullptr, QWidget* parent = nullptr);
  ~TmainForm() override;

  // The non-visual components.
  CPort::TComPort* ComPort1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* ClearDataTable1 = nullptr;
  TTimer* Timer1 = nullptr;
  QMenu* PopupMenu2 = nullptr;
  QAction* SaveAsTextFile1 = nullptr;
  QAction* ClrStrings1 = nullptr;

  // Handlers.
  void FormCreate(QObject* Sender);
  void onPortChange(CPort::TComponent* Sender);
  void onRxChar(CPort::TComponent* Sender, std::int32_t Count);
  void memo1OnChange(QObject* Sender);
  void SaveAsTextFile1Click(QObject* Sender);
  void ClrStrings1Click(QObject* Sender);
  void Button1Click(QObject* Sender);
  void applyButtonClick(QObject* Sender);
  void writeButtonClick(QObject* Sender);
  void writeDataButtonClick(QObject* Sender);
  void writeSelectedRowButtonClick(QObject* Sender);
  void ClearDataTable1Click(QObject* Sender);
  void Timer1Timer(QObject* Sender);
  void Edit1Change(QObject* Sender);

  // Shows `error` in the error box: its message with the full-stop rule,
  // the application's title, the error icon, OK. Never more than one box at
  // a time: a device loss reported while a box is open is not shown (the
  // port selector says that the port waits for its device); other errors
  // follow, each text once, when the open box is closed.
  void ShowException(std::exception_ptr error);
  // The application's title (from the executable's name).
  QString Title() const { return title_; }

  // The received-text box's content as bytes.
  std::string ReceivedBytes() const;
  // Whether a deferred read is waiting for its time.
  bool ReadPending() const { return rxWait_.isActive(); }

  // The notes beside the port selector's item.
  static constexpr const char* kWaitingNote = "waiting for the device";
  static constexpr const char* kBackNote = "device back";
  // Their forms in the closed selector, which is narrower than its list.
  static constexpr const char* kWaitingShortNote = "waiting";
  static constexpr const char* kBackShortNote = "back";
  static constexpr int kBackNoteMs = 5000;

 private:
  void FitTextsToTheFont();
  void BuildComponents();
  void ConnectHandlers();
  // Runs a handler; an error leaving it is shown.
  template <typename Handler>
  void Guard(Handler&& handler);
  void TimerTick();
  void ReadReceived();
  void AppendReceived(const std::string& bytes);
  void Send(const std::string& bytes);
  std::string ItemBytes(int index) const;
  int SelectedIndex() const;
  void SetStatusLine();
  void FollowPorts();
  void ShowPorts();
  void NotePort(const char* note, const char* shortNote);

  std::unique_ptr<Ui::mainForm> ui;
  TWindowServices* services_;
  std::unique_ptr<TWindowServices> ownServices_;
  QString title_;
  // The buffer each read fills; it holds the last batch read.
  std::string rxBuffer_;
  QTimer rxWait_;
  bool tickErrorShown_ = false;
  bool errorBoxOpen_ = false;
  QStringList laterErrors_;
  std::unique_ptr<CPort::TComPort> comPort_;
  std::unique_ptr<CPort::TPortWatcher> portWatcher_;
  std::string notedPort_;
  QTimer backNote_;
};

}  // namespace MainUnit
