// The raw TCP device kind ("socket://HOST:PORT"): the connection is the
// line, byte for byte, with nothing to configure. The engine polls the
// socket itself.
//
// Line settings are accepted and go nowhere: the far end's line is set up by
// whoever runs the server. Only fNull (drop received zero bytes) acts, here. There are no modem lines (GetCommModemStatus
// reports all off), no line errors and no tx timing (tx-empty comes as soon
// as the socket took the bytes, as on a pseudo-terminal).
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "net_backend.h"

namespace CPort::Platform {

namespace {

// What a connection that is gone answers: the peer closed (end of stream),
// reset it, or stopped answering keep-alive probes.
bool IsConnectionGone(int error) {
  return error == ECONNRESET || error == EPIPE || error == ETIMEDOUT || error == ENOTCONN ||
         error == EHOSTUNREACH || error == ENETUNREACH || error == ECONNABORTED;
}

class RawTcpBackend final : public DeviceBackend {
 public:
  explicit RawTcpBackend(int fd) : fd_(fd) {}
  ~RawTcpBackend() override { Close(); }
  RawTcpBackend(const RawTcpBackend&) = delete;
  RawTcpBackend& operator=(const RawTcpBackend&) = delete;

  void Attach(DeviceSink* sink) override { sink_ = sink; }
  void Detach() override { sink_ = nullptr; }
  void Close() override {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
  }

  int SetupQueues(DWORD, DWORD) override { return 0; }
  int ApplyState(const DCB& dcb) override {
    dropNull_ = (dcb.Flags & DcbFlag::fNull) != 0;
    return 0;
  }
  int ApplyTimeouts(const COMMTIMEOUTS&) override { return 0; }
  int PollFd() const override { return fd_; }

  ssize_t Read(std::uint8_t* buffer, std::size_t count) override {
    if (count == 0) return 0;
    for (;;) {
      const ssize_t got = ::recv(fd_, buffer, count, MSG_DONTWAIT);
      if (got > 0) {
        if (!dropNull_) return got;
        // fNull, as a tty's Read does it; a piece of zeros only reads on.
        const auto end = std::remove(buffer, buffer + got, std::uint8_t{0});
        if (end != buffer) return end - buffer;
        continue;
      }
      // The end of the stream: the server closed the connection, which for
      // the port is a device that went away.
      if (got == 0) return -EIO;
      if (errno == EINTR) continue;
      return IsConnectionGone(errno) ? -EIO : -errno;
    }
  }

  ssize_t Write(const std::uint8_t* data, std::size_t count) override {
    if (count == 0) return 0;
    for (;;) {
      const ssize_t sent = ::send(fd_, data, count, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent >= 0) return sent;
      if (errno == EINTR) continue;
      return IsConnectionGone(errno) ? -EIO : -errno;
    }
  }

  int OutputQueued(DWORD& count) override {
    count = 0;
    return 0;
  }
  void WatchTxEmpty() override {
    if (sink_ != nullptr) sink_->LineEvents(EV_TXEMPTY);
  }
  int ModemStatus(DWORD& status) override {
    status = 0;
    return 0;
  }

  // Input clear discards what the socket holds at this moment, as a tty's
  // flush discards its kernel queue. Bytes still on their way arrive later.
  int Purge(DWORD flags) override {
    if ((flags & PURGE_RXCLEAR) == 0) return 0;
    std::uint8_t scratch[4096];
    // A server sending without pause must not keep this loop going: at most
    // what the socket held when the purge began (its buffer's size) goes.
    int limit = 0;
    socklen_t size = sizeof limit;
    if (getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &limit, &size) != 0 || limit <= 0) limit = 1 << 20;
    for (long left = limit; left > 0;) {
      const ssize_t got = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
      if (got > 0) {
        left -= got;
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      // EAGAIN: empty now. An end of stream or an error stays for the
      // engine's next read to find and report.
      break;
    }
    return 0;
  }

 private:
  int fd_;
  DeviceSink* sink_ = nullptr;
  bool dropNull_ = false;
};

}  // namespace

std::unique_ptr<DeviceBackend> MakeRawTcpBackend(int fd) { return std::make_unique<RawTcpBackend>(fd); }

}  // namespace CPort::Platform
