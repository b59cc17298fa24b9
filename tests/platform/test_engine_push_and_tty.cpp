// Two ends of the engine's reach: a push-style backend that hands input over
// through DeviceSink::BytesArrived (so overflow is possible), and a pty slave
// opened by path through CreateFileA with the real tty backend.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "CPort/platform/device_backend_p.h"
#include "CPort/platform/handle_table_p.h"
#include "engine_fixture.h"

namespace CPort::Platform::Testing {
namespace {

// Hands its input to the engine as it "arrives"; the test triggers that.
class PushBackend final : public DeviceBackend {
 public:
  void Attach(DeviceSink* sink) override { sink_ = sink; }
  void Detach() override { sink_ = nullptr; }
  void Close() override {}
  int SetupQueues(DWORD, DWORD) override { return 0; }
  int ApplyState(const DCB&) override { return 0; }
  int ApplyTimeouts(const COMMTIMEOUTS&) override { return 0; }
  int PollFd() const override { return -1; }
  ssize_t Read(std::uint8_t*, std::size_t) override { return -EAGAIN; }
  ssize_t Write(const std::uint8_t*, std::size_t count) override { return static_cast<ssize_t>(count); }
  int OutputQueued(DWORD& count) override {
    count = 0;
    return 0;
  }
  void WatchTxEmpty() override {}
  int ModemStatus(DWORD& status) override {
    status = 0;
    return 0;
  }
  int Purge(DWORD) override { return 0; }

  void Arrive(const std::string& bytes) const {
    sink_->BytesArrived(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }

 private:
  DeviceSink* sink_ = nullptr;
};

TEST(PushBackendEngine, InputBeyondTheQueueIsReportedAsOverflow) {
  auto owned = std::make_unique<PushBackend>();
  PushBackend* backend = owned.get();
  HANDLE port = OpenDeviceHandle(std::move(owned));
  ASSERT_NE(port, INVALID_HANDLE_VALUE);

  ASSERT_TRUE(SetCommMask(port, EV_ERR | EV_RXCHAR));

  // A pending read takes its share first, the queue the next 4096 bytes.
  char buffer[4] = {};
  DWORD read = 0;
  OVERLAPPED overlapped{};
  ASSERT_FALSE(ReadFile(port, buffer, 4, &read, &overlapped));
  backend->Arrive("abcd" + std::string(4096, 'q') + "XYZ");
  ASSERT_TRUE(GetOverlappedResult(port, &overlapped, &read, TRUE));
  EXPECT_EQ(std::string(buffer, read), "abcd");

  DWORD events = 0;
  ASSERT_TRUE(WaitCommEvent(port, &events, &overlapped));
  EXPECT_EQ(events, EV_ERR | EV_RXCHAR);
  DWORD errors = 0;
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(port, &errors, &stat));
  EXPECT_EQ(errors, CE_RXOVER);
  EXPECT_EQ(stat.cbInQue, 4096u);
  ASSERT_TRUE(CloseHandle(port));
}

TEST(TtyOpen, PtySlaveOpensByPathExclusivelyAndCarriesData) {
  int master = -1;
  int slave = -1;
  char path[128] = {};
  ASSERT_EQ(::openpty(&master, &slave, path, nullptr, nullptr), 0);
  ::close(slave);  // the port opens it by name

  HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_BUSY);

  DWORD count = 0;
  ASSERT_TRUE(WriteFile(port, "ping", 4, &count, nullptr));
  char got[4] = {};
  ASSERT_EQ(::read(master, got, 4), 4);
  EXPECT_EQ(std::string(got, 4), "ping");

  ASSERT_EQ(::write(master, "pong", 4), 4);
  char buffer[4] = {};
  ASSERT_TRUE(ReadFile(port, buffer, 4, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "pong");

  ASSERT_TRUE(CloseHandle(port));
  ::close(master);
}

}  // namespace
}  // namespace CPort::Platform::Testing
