// The RFC 2217 device kind ("rfc2217://HOST:PORT"): a serial port on a com
// port server, reached over Telnet.
//
// The engine polls the socket as it polls a tty, and the thread that drives
// the engine decodes: Read undoes the Telnet layer in the caller's buffer,
// answers negotiations and takes the server's notifications (modem and line
// state, flow control) as it meets them. There is no thread of the
// backend's own. The engine reads only while its queue has room, so TCP holds
// the server back when nobody reads.
//
// A setting or a purge waits for the server's answer (kAnswerLimit at most),
// reading the socket meanwhile; data that arrives then is decoded into a
// bounded buffer here, which Read hands over first (the engine is told with
// DeviceSink::Wake, as no edge of the socket will report it).
//
// Lock order: the engine's lock, then mutex_. Nothing calls the sink while
// holding mutex_: reports are collected under it and handed over after.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>

#include "net_backend.h"
#include "rfc2217_messages.h"
#include "telnet_codec.h"

namespace CPort::Platform {

namespace {

using Clock = std::chrono::steady_clock;
using Rfc2217::Setting;

// Input decoded while a call waits for the server; while full, that call
// reads the socket no further.
constexpr std::size_t kInputCapacity = 64 * 1024;
// Input and output are moved in pieces of this size.
constexpr std::size_t kChunk = 16 * 1024;
// The line errors and modem lines the server is asked to report.
constexpr std::uint8_t kLineStateMask = Rfc2217::LineState::Overrun | Rfc2217::LineState::Parity |
                                        Rfc2217::LineState::Framing | Rfc2217::LineState::Break;
constexpr std::uint8_t kModemStateMask = 0xFF;

constexpr std::uint8_t Bit(Setting setting) { return static_cast<std::uint8_t>(1u << static_cast<unsigned>(setting)); }

class Rfc2217Backend final : public DeviceBackend, private Telnet::DecoderListener {
 public:
  Rfc2217Backend(int fd, std::string peer)
      : fd_(fd),
        peer_(std::move(peer)),
        negotiator_({Telnet::Option::Binary, Telnet::Option::SuppressGoAhead, Telnet::Option::ComPort},
                    {Telnet::Option::Binary, Telnet::Option::SuppressGoAhead, Telnet::Option::ComPort}) {}
  ~Rfc2217Backend() override { Close(); }
  Rfc2217Backend(const Rfc2217Backend&) = delete;
  Rfc2217Backend& operator=(const Rfc2217Backend&) = delete;

  // Before Attach: agrees on the Telnet options. 0 or an errno, with detail.
  int Negotiate(std::string& detail);

  void Attach(DeviceSink* sink) override;
  void Detach() override;
  void Close() override;

  int SetupQueues(DWORD, DWORD) override { return 0; }
  int ApplyState(const DCB& dcb) override;
  // The engine times transfers itself.
  int ApplyTimeouts(const COMMTIMEOUTS&) override { return 0; }
  int PollFd() const override { return fd_; }
  ssize_t Read(std::uint8_t* buffer, std::size_t count) override;
  ssize_t Write(const std::uint8_t* data, std::size_t count) override;
  int OutputQueued(DWORD& count) override;
  void WatchTxEmpty() override;
  int ModemStatus(DWORD& status) override;
  int Purge(DWORD flags) override;
  int SetBreak(bool on) override;

 private:
  // What a step found for the engine, handed over once mutex_ is released.
  struct Reports {
    DWORD events = 0;
    DWORD errors = 0;
    bool wake = false;
    int lost = 0;
  };

  // Telnet::DecoderListener, called while decoding (mutex_ held).
  void Negotiation(std::uint8_t verb, std::uint8_t option) override;
  void Subnegotiation(std::uint8_t option, const std::uint8_t* payload, std::size_t count) override;
  void ComPortMessage(const std::uint8_t* message, std::size_t count);

  // The rest runs with mutex_ held.
  ssize_t Send(const std::uint8_t* data, std::size_t count);
  ssize_t Receive(std::uint8_t* buffer, std::size_t count);
  std::size_t TakeDecoded(std::uint8_t* data, std::size_t count);
  void Pump();
  bool Flush();
  void SendMessage(const std::vector<std::uint8_t>& message);
  void Lose(std::string why);
  std::size_t InputSize() const { return in_.size() - inHead_; }
  std::size_t InputRoom() const { return kInputCapacity - InputSize(); }
  short SocketEvents(bool wantWrite) const;
  // Reads the socket in the caller's thread until `done` holds, the
  // connection is lost or `deadline` passes.
  template <typename Done>
  void WaitForServer(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Done done);
  Reports TakeReports();

  void Deliver(const Reports& reports);

  int fd_;
  const std::string peer_;
  DeviceSink* sink_ = nullptr;  // between Attach and Detach

  std::mutex mutex_;

  Telnet::Decoder decoder_;
  Telnet::Negotiator negotiator_;
  std::vector<std::uint8_t> in_;  // decoded input from inHead_ on
  std::size_t inHead_ = 0;
  std::vector<std::uint8_t> out_;  // encoded bytes not yet taken by the socket
  std::size_t outHead_ = 0;
  // A doubled 0xFF of which the socket took only the first half: the byte is
  // not reported as written until the second half (in out_) has gone too.
  const std::uint8_t* cutPair_ = nullptr;
  std::vector<std::uint8_t> scratch_;
  int lost_ = 0;
  std::string lossDetail_;

  // Flow and line state from the server.
  bool suspended_ = false;     // FLOWCONTROL-SUSPEND until RESUME
  bool writeWaiting_ = false;  // the engine has output that did not fit (told by Wake when it may)
  bool txEmptyWanted_ = false;
  std::uint8_t modemState_ = 0;
  bool checkParity_ = false;
  bool dropNull_ = false;  // fNull: received zero bytes are dropped here, as a tty's Read does

  // Settings: what was sent last, what awaits an answer, and which kinds the
  // server has shown it does not answer.
  bool settingsSent_ = false;
  Rfc2217::LineSettings sent_;
  std::uint8_t awaiting_ = 0;  // Bit(Setting)
  std::uint8_t silent_ = 0;
  bool purgeAwaited_ = false;
  bool purgeSilent_ = false;
  bool discardInput_ = false;  // input purged: drop data until the server's answer
  std::size_t purgeCut_ = 0;   // where in the decoded piece that answer came

  Reports reports_;
};

// ---- opening and closing ------------------------------------------------------

int Rfc2217Backend::Negotiate(std::string& detail) {
  std::unique_lock lock(mutex_);
  negotiator_.Request(out_);
  WaitForServer(lock, Clock::now() + kNegotiationLimit,
                [this] { return negotiator_.LocalSettled(Telnet::Option::ComPort); });
  if (lost_ != 0) {
    detail = peer_ + ": " + lossDetail_ + " while agreeing on the Telnet options";
    // ser2net says why it could not open its device before it hangs up.
    std::string said;
    for (std::size_t i = inHead_; i < in_.size() && said.size() < 200; ++i) {
      const char c = static_cast<char>(in_[i]);
      if (c >= ' ' && c <= '~') said += c;
    }
    if (!said.empty()) detail += " (the server said: \"" + said + "\")";
    return ECONNRESET;
  }
  if (!negotiator_.LocalSettled(Telnet::Option::ComPort)) {
    detail = peer_ + ": the server did not take up the com port option (RFC 2217) within " +
             std::to_string(kNegotiationLimit.count()) + " ms";
    return ETIMEDOUT;
  }
  if (!negotiator_.LocalOn(Telnet::Option::ComPort)) {
    detail = peer_ + ": the server refused the com port option (RFC 2217); a raw TCP server is opened as socket://";
    return EPROTONOSUPPORT;
  }
  // Servers that do not answer these (ser2net) are not waited for.
  SendMessage(Rfc2217::Message(Rfc2217::Command::SetLineStateMask, kLineStateMask));
  SendMessage(Rfc2217::Message(Rfc2217::Command::SetModemStateMask, kModemStateMask));
  Flush();
  // The modem state is kept; a change seen now is no event yet, the port
  // reads the lines when it opens. Input is handed over at Attach.
  reports_ = Reports{};
  return 0;
}

void Rfc2217Backend::Attach(DeviceSink* sink) {
  sink_ = sink;
  // Input that came with the negotiation: no edge of the socket tells.
  bool haveInput = false;
  {
    std::lock_guard lock(mutex_);
    haveInput = InputSize() > 0;
  }
  if (haveInput) sink->Wake();
}

void Rfc2217Backend::Detach() { sink_ = nullptr; }

void Rfc2217Backend::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

// ---- configuration --------------------------------------------------------------

int Rfc2217Backend::ApplyState(const DCB& dcb) {
  const Rfc2217::LineSettings wanted = Rfc2217::SettingsFromDcb(dcb);
  std::unique_lock lock(mutex_);
  if (lost_ != 0) return lost_;
  checkParity_ = (dcb.Flags & DcbFlag::fParity) != 0;
  dropNull_ = (dcb.Flags & DcbFlag::fNull) != 0;
  // Only what changed goes out; the first time everything does.
  std::uint8_t asked = 0;
  for (std::size_t i = 0; i < Rfc2217::kSettingCount; ++i) {
    const auto setting = static_cast<Setting>(i);
    if (settingsSent_ && sent_.Value(setting) == wanted.Value(setting)) continue;
    SendMessage(Rfc2217::SettingMessage(setting, wanted));
    asked |= Bit(setting);
  }
  sent_ = wanted;
  settingsSent_ = true;
  awaiting_ |= asked & static_cast<std::uint8_t>(~silent_);
  WaitForServer(lock, Clock::now() + kAnswerLimit, [this] { return awaiting_ == 0; });
  // What stayed unanswered is not waited for again on this connection.
  silent_ |= awaiting_;
  awaiting_ = 0;
  const int result = lost_;
  const Reports reports = TakeReports();
  lock.unlock();
  Deliver(reports);
  return result;
}

int Rfc2217Backend::Purge(DWORD flags) {
  const bool rx = (flags & PURGE_RXCLEAR) != 0;
  const bool tx = (flags & PURGE_TXCLEAR) != 0;
  if (!rx && !tx) return 0;
  std::unique_lock lock(mutex_);
  if (lost_ != 0) return lost_;
  const std::uint8_t which = rx && tx ? Rfc2217::Purge::Both : (rx ? Rfc2217::Purge::Received : Rfc2217::Purge::ToTransmit);
  SendMessage(Rfc2217::Message(Rfc2217::Command::PurgeData, which));
  if (rx) {
    in_.clear();
    inHead_ = 0;
  }
  if (!purgeSilent_) {
    // Data ahead of the server's answer was sent before it purged: it goes
    // too.
    discardInput_ = rx;
    purgeAwaited_ = true;
    WaitForServer(lock, Clock::now() + kAnswerLimit, [this] { return !purgeAwaited_; });
    if (purgeAwaited_) purgeSilent_ = true;
    purgeAwaited_ = false;
    discardInput_ = false;
  }
  const int result = lost_;
  const Reports reports = TakeReports();
  lock.unlock();
  Deliver(reports);
  return result;
}

// Servers answer a break command unreliably (some echo "break on" to both),
// so none is awaited.
int Rfc2217Backend::SetBreak(bool on) {
  std::unique_lock lock(mutex_);
  if (lost_ != 0) return lost_;
  const std::uint8_t control = on ? Rfc2217::Control::BreakOn : Rfc2217::Control::BreakOff;
  SendMessage(Rfc2217::Message(Rfc2217::Command::SetControl, control));
  Flush();
  const int result = lost_;
  const Reports reports = TakeReports();
  lock.unlock();
  Deliver(reports);
  return result;
}

// ---- data -----------------------------------------------------------------------

ssize_t Rfc2217Backend::Read(std::uint8_t* buffer, std::size_t count) {
  if (count == 0) return 0;
  std::unique_lock lock(mutex_);
  const ssize_t result = InputSize() > 0 ? static_cast<ssize_t>(TakeDecoded(buffer, count)) : Receive(buffer, count);
  const Reports reports = TakeReports();
  lock.unlock();
  Deliver(reports);
  return result;
}

// Hands over what a waiting call decoded.
std::size_t Rfc2217Backend::TakeDecoded(std::uint8_t* buffer, std::size_t count) {
  const std::size_t n = std::min(count, InputSize());
  std::memcpy(buffer, in_.data() + inHead_, n);
  inHead_ += n;
  if (inHead_ == in_.size()) {
    in_.clear();
    inHead_ = 0;
  } else if (inHead_ >= kInputCapacity / 2) {
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(inHead_));
    inHead_ = 0;
  }
  return n;
}

// Reads the socket into `buffer` and decodes there, until some data came or
// the socket is empty. What decoding produced (answers to negotiations) is
// sent on.
ssize_t Rfc2217Backend::Receive(std::uint8_t* buffer, std::size_t count) {
  if (lost_ != 0) return -lost_;
  ssize_t result = -EAGAIN;
  while (lost_ == 0) {
    const ssize_t got = ::recv(fd_, buffer, std::min(count, kChunk), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) Lose(std::string("receiving: ") + std::strerror(errno));
      break;
    }
    if (got == 0) {
      Lose("the server closed the connection");
      break;
    }
    // Nobody waits for a purge answer here: every call that does holds the
    // engine, and so does the caller of Read.
    std::size_t data = decoder_.Decode(buffer, static_cast<std::size_t>(got), *this);
    if (dropNull_) data = static_cast<std::size_t>(std::remove(buffer, buffer + data, std::uint8_t{0}) - buffer);
    if (data > 0) {
      result = static_cast<ssize_t>(data);
      break;
    }
  }
  Flush();
  if (result < 0 && lost_ != 0) return -lost_;
  return result;
}

ssize_t Rfc2217Backend::Write(const std::uint8_t* data, std::size_t count) {
  if (count == 0) return 0;
  std::unique_lock lock(mutex_);
  const ssize_t result = Send(data, count);
  const Reports reports = TakeReports();
  lock.unlock();
  Deliver(reports);
  return result;
}

ssize_t Rfc2217Backend::Send(const std::uint8_t* data, std::size_t count) {
  if (lost_ != 0) return -lost_;
  // While the server has suspended the flow, or earlier bytes still wait
  // for the socket, the engine holds its output until told (Wake).
  if (suspended_ || !Flush()) {
    if (lost_ != 0) return -lost_;
    writeWaiting_ = true;
    return -EAGAIN;
  }
  if (cutPair_ != nullptr) {
    // The second half of a cut 0xFF pair has just gone: that byte is written.
    const bool same = data == cutPair_ && data[0] == Telnet::kIac;
    cutPair_ = nullptr;
    if (same) return 1;
  }
  // Piece by piece until all is sent or the socket is full: a short count
  // means full, so the engine may wait for the socket to become writable.
  std::size_t total = 0;
  while (total < count) {
    const std::uint8_t* piece = data + total;
    const std::size_t take = std::min(count - total, kChunk);
    scratch_.clear();
    Telnet::AppendEscaped(scratch_, piece, take);
    ssize_t sent = 0;
    for (;;) {
      sent = ::send(fd_, scratch_.data(), scratch_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent >= 0 || errno != EINTR) break;
    }
    if (sent < 0) {
      if (errno == EAGAIN) {
        if (total > 0) break;
        writeWaiting_ = true;
        return -EAGAIN;
      }
      Lose(std::string("sending: ") + std::strerror(errno));
      return -lost_;
    }
    // How many data bytes the sent part covers. A doubled 0xFF cut in half
    // is not counted yet: its second half waits in out_, the engine's write
    // stays pending for it, and the next call sends it first.
    std::size_t consumed = 0;
    std::size_t encoded = 0;
    const auto done = static_cast<std::size_t>(sent);
    while (consumed < take && encoded < done) {
      const std::size_t width = piece[consumed] == Telnet::kIac ? 2 : 1;
      if (encoded + width > done) {
        out_.push_back(Telnet::kIac);
        cutPair_ = piece + consumed;
        break;
      }
      encoded += width;
      ++consumed;
    }
    total += consumed;
    if (done < scratch_.size()) break;
  }
  return static_cast<ssize_t>(total);
}

int Rfc2217Backend::OutputQueued(DWORD& count) {
  std::lock_guard lock(mutex_);
  count = static_cast<DWORD>(out_.size() - outHead_);
  return 0;
}

// The server's line timing is not visible from here: the output counts as
// sent once the socket took it, as on a pseudo-terminal.
void Rfc2217Backend::WatchTxEmpty() {
  std::unique_lock lock(mutex_);
  if (lost_ != 0) return;
  if (out_.size() == outHead_ && !suspended_) {
    reports_.events |= EV_TXEMPTY;
  } else {
    txEmptyWanted_ = true;
  }
  const Reports reports = TakeReports();
  lock.unlock();
  Deliver(reports);
}

int Rfc2217Backend::ModemStatus(DWORD& status) {
  std::unique_lock lock(mutex_);
  status = 0;
  // Nobody may have driven the engine lately: the server's latest word on
  // the lines may still wait in the socket.
  Pump();
  const int result = lost_;
  if (lost_ == 0) status = Rfc2217::ModemStatusBits(modemState_);
  const Reports reports = TakeReports();
  lock.unlock();
  Deliver(reports);
  return result;
}

// ---- the socket (mutex_ held) -----------------------------------------------------

void Rfc2217Backend::SendMessage(const std::vector<std::uint8_t>& message) {
  Telnet::AppendSubnegotiation(out_, Telnet::Option::ComPort, message.data(), message.size());
}

// Sends what out_ holds. True when it is empty afterwards.
bool Rfc2217Backend::Flush() {
  while (outHead_ < out_.size() && lost_ == 0) {
    const ssize_t sent = ::send(fd_, out_.data() + outHead_, out_.size() - outHead_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return false;
      Lose(std::string("sending: ") + std::strerror(errno));
      return false;
    }
    outHead_ += static_cast<std::size_t>(sent);
  }
  if (lost_ != 0) return false;
  out_.clear();
  outHead_ = 0;
  if (!suspended_) {
    if (writeWaiting_) {
      writeWaiting_ = false;
      reports_.wake = true;
    }
    if (txEmptyWanted_) {
      txEmptyWanted_ = false;
      reports_.events |= EV_TXEMPTY;
    }
  }
  return true;
}

// Reads and decodes what the socket holds, as far as the input buffer has
// room, and sends what decoding produced (answers to negotiations).
void Rfc2217Backend::Pump() {
  Flush();
  scratch_.resize(kChunk);
  while (lost_ == 0 && InputRoom() > 0) {
    const std::size_t want = std::min(kChunk, InputRoom());
    const ssize_t got = ::recv(fd_, scratch_.data(), want, MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) Lose(std::string("receiving: ") + std::strerror(errno));
      break;
    }
    if (got == 0) {
      Lose("the server closed the connection");
      break;
    }
    const bool discarding = discardInput_;
    purgeCut_ = 0;
    const std::size_t data = decoder_.Decode(scratch_.data(), static_cast<std::size_t>(got), *this);
    // Data before the purge answer goes; after it, it is new input.
    std::size_t from = 0;
    if (discarding) from = discardInput_ ? data : purgeCut_;
    const auto begin = scratch_.begin() + static_cast<std::ptrdiff_t>(from);
    const auto end = scratch_.begin() + static_cast<std::ptrdiff_t>(data);
    const std::size_t before = in_.size();
    if (dropNull_) {
      std::copy_if(begin, end, std::back_inserter(in_), [](std::uint8_t byte) { return byte != 0; });
    } else {
      in_.insert(in_.end(), begin, end);
    }
    if (in_.size() > before) reports_.wake = true;
    if (static_cast<std::size_t>(got) < want) break;
  }
  Flush();
}

// The connection is gone: for the port, a device that went away.
void Rfc2217Backend::Lose(std::string why) {
  if (lost_ != 0) return;
  lost_ = EIO;
  lossDetail_ = std::move(why);
  reports_.lost = lost_;
  awaiting_ = 0;
}

short Rfc2217Backend::SocketEvents(bool wantWrite) const {
  short events = 0;
  if (InputRoom() > 0) events |= POLLIN;
  if (out_.size() > outHead_ || wantWrite) events |= POLLOUT;
  return events;
}

template <typename Done>
void Rfc2217Backend::WaitForServer(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Done done) {
  Flush();
  while (lost_ == 0 && !done()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, SocketEvents(false), 0};
    if (p.events == 0) p.fd = -1;  // input full: only the deadline can end the wait
    lock.unlock();
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    const int pollError = errno;
    lock.lock();
    if (ready < 0 && pollError != EINTR) {
      Lose(std::string("waiting for the server: ") + std::strerror(pollError));
      break;
    }
    if (ready > 0) Pump();
  }
}

Rfc2217Backend::Reports Rfc2217Backend::TakeReports() {
  const Reports taken = reports_;
  reports_ = Reports{};
  return taken;
}

// ---- what the server sends (mutex_ held) -----------------------------------------

void Rfc2217Backend::Negotiation(std::uint8_t verb, std::uint8_t option) { negotiator_.Receive(verb, option, out_); }

void Rfc2217Backend::Subnegotiation(std::uint8_t option, const std::uint8_t* payload, std::size_t count) {
  if (option == Telnet::Option::ComPort && count > 0) ComPortMessage(payload, count);
}

void Rfc2217Backend::ComPortMessage(const std::uint8_t* message, std::size_t count) {
  using namespace Rfc2217;
  if (const std::optional<Setting> setting = AnsweredSetting(message, count)) {
    awaiting_ &= static_cast<std::uint8_t>(~Bit(*setting));
    return;
  }
  const std::uint8_t value = count >= 2 ? message[1] : 0;
  switch (message[0]) {
    case Command::kFromServer + Command::NotifyModemState:
      if (count < 2) return;
      reports_.events |= ModemEvents(modemState_, value);
      modemState_ = value & ModemState::kLines;
      break;
    case Command::kFromServer + Command::NotifyLineState:
      if (count < 2) return;
      reports_.errors |= LineErrors(value, checkParity_);
      break;
    case Command::kFromServer + Command::FlowControlSuspend: suspended_ = true; break;
    case Command::kFromServer + Command::FlowControlResume:
      suspended_ = false;
      Flush();  // hands the held output back to the engine
      break;
    case Command::kFromServer + Command::PurgeData:
      purgeAwaited_ = false;
      if (discardInput_) {
        discardInput_ = false;
        purgeCut_ = decoder_.DataSoFar();
      }
      break;
    default: break;  // signatures, mask answers: nothing to do
  }
}

// ---- reports ----------------------------------------------------------------------

void Rfc2217Backend::Deliver(const Reports& reports) {
  DeviceSink* sink = sink_;
  if (sink == nullptr) return;
  if (reports.wake) sink->Wake();
  if (reports.errors != 0) sink->LineErrors(reports.errors);
  if (reports.events != 0) sink->LineEvents(reports.events);
  if (reports.lost != 0) sink->DeviceLost(reports.lost);
}

}  // namespace

std::unique_ptr<DeviceBackend> OpenRfc2217Backend(int fd, const std::string& peer, int& error,
                                                  std::string& detail) {
  auto backend = std::make_unique<Rfc2217Backend>(fd, peer);
  if (const int code = backend->Negotiate(detail); code != 0) {
    error = code;
    return nullptr;
  }
  error = 0;
  return backend;
}

}  // namespace CPort::Platform
