// Event delivery on the virtual device: batch order, what each step reads,
// open and close notifications, delivery methods and their failures.
#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "CPort/ComPort.h"
#include "CPort/runtime/MainThread.h"
#include "error_display_recorder.h"
#include "port_fixture.h"
#include "serve_until.h"

using namespace CPort;
using namespace CPort::Platform;
using namespace std::chrono_literals;

namespace {

// Collects what the handlers saw, from whichever thread they run on.
class Log {
 public:
  void Add(const std::string& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
  }
  std::vector<std::string> Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::size_t Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

std::string OnOff(bool on) { return on ? "on" : "off"; }

void Attach(TComPort& port, Log& log) {
  port.OnBeforeOpen = [&](TComponent*) { log.Add("BeforeOpen"); };
  port.OnAfterOpen = [&](TComponent*) { log.Add("AfterOpen"); };
  port.OnBeforeClose = [&](TComponent*) { log.Add("BeforeClose"); };
  port.OnAfterClose = [&](TComponent*) { log.Add("AfterClose"); };
  port.OnRxChar = [&](TComponent*, std::int32_t n) { log.Add("RxChar " + std::to_string(n)); };
  port.OnTxEmpty = [&](TComponent*) { log.Add("TxEmpty"); };
  port.OnBreak = [&](TComponent*) { log.Add("Break"); };
  port.OnRing = [&](TComponent*) { log.Add("Ring"); };
  port.OnRxFlag = [&](TComponent*) { log.Add("RxFlag"); };
  port.OnRx80Full = [&](TComponent*) { log.Add("Rx80Full"); };
  port.OnCTSChange = [&](TComponent*, bool on) { log.Add("CTS " + OnOff(on)); };
  port.OnDSRChange = [&](TComponent*, bool on) { log.Add("DSR " + OnOff(on)); };
  port.OnRLSDChange = [&](TComponent*, bool on) { log.Add("RLSD " + OnOff(on)); };
  port.OnError = [&](TComponent*, TComErrors e) { log.Add("Error " + std::to_string(e.ToBits())); };
}

using Strings = std::vector<std::string>;

// The threads of this process, by task id.
std::set<std::string> Tasks() {
  std::set<std::string> tasks;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    tasks.insert(entry.path().filename().string());
  return tasks;
}

// Context switches (voluntary and not) of the given threads so far; a thread
// that has ended counts none.
long Switches(const std::set<std::string>& tasks) {
  long total = 0;
  for (const auto& task : tasks) {
    std::ifstream status("/proc/self/task/" + task + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.find("ctxt_switches:") != std::string::npos) total += std::stol(line.substr(line.find(':') + 1));
  }
  return total;
}

// How often the threads a port started woke up while nothing happened: a
// thread that blocks in its waits wakes at most once or twice more on its
// way there; one that spins or polls wakes over and over.
long WakeUpsWhileIdle(const std::set<std::string>& portThreads) {
  const long before = Switches(portThreads);
  std::this_thread::sleep_for(500ms);
  return std::max(0L, Switches(portThreads) - before);
}

std::set<std::string> NewTasks(const std::set<std::string>& before) {
  std::set<std::string> added;
  for (const auto& task : Tasks())
    if (!before.count(task)) added.insert(task);
  return added;
}

// Rounds of the stress tests; CPORT_STRESS_ROUNDS asks for more (or fewer).
int StressRounds(int normal) {
  const char* value = std::getenv("CPORT_STRESS_ROUNDS");
  return value ? std::max(1, std::atoi(value)) : normal;
}

// The test binary is linked with the platform's CreateEventA wrapped (see
// tests/CMakeLists.txt): while failures are asked for, it passes the call on
// with a name, which the platform refuses as it refuses any named event.
std::atomic<int> gEventCreationsToFail{0};

void FailEventCreations(int count) { gEventCreationsToFail = count; }

}  // namespace

extern "C" HANDLE __real__ZN5CPort8Platform12CreateEventAEPviiPKc(void*, BOOL, BOOL, const char*);
extern "C" HANDLE __wrap__ZN5CPort8Platform12CreateEventAEPviiPKc(void* attributes, BOOL manualReset,
                                                                   BOOL initialState, const char* name) {
  if (gEventCreationsToFail > 0 && gEventCreationsToFail-- > 0) name = "refused";
  return __real__ZN5CPort8Platform12CreateEventAEPviiPKc(attributes, manualReset, initialState, name);
}

TEST(EventMask, ConvertsTheTenEventsBothWays) {
  EXPECT_EQ(EventsToMask(kAllComEvents), 0x05FFu);
  EXPECT_EQ(EventsToMask({evRx80Full}), 0x0400u);
  EXPECT_EQ(MaskToEvents(0x05FF), kAllComEvents);
  EXPECT_TRUE(MaskToEvents(0x0200).Empty());
  EXPECT_EQ(MaskToEvents(EV_ERR | EV_RING), (TComEvents{evError, evRing}));
}

class EventDispatch : public VirtualPortTest {
 protected:
  Log log;
};

TEST_F(EventDispatch, OpenAndCloseNotifyInOrderWithCurrentSignalStates) {
  Attach(*port, log);
  device->SetModemLines(MS_CTS_ON | MS_RLSD_ON);
  port->OpenPort();
  port->ClosePort();
  EXPECT_EQ(log.Entries(), (Strings{"BeforeOpen", "AfterOpen", "CTS on", "DSR off", "RLSD on", "CTS off", "DSR off",
                                    "RLSD off", "BeforeClose", "AfterClose"}));
}

TEST_F(EventDispatch, WithoutEventsNoThreadYetTheOpenNotificationsFire) {
  Attach(*port, log);
  port->SetEvents({});
  port->OpenPort();
  device->Feed("abc");
  device->SetModemLines(MS_DSR_ON);
  Runtime::WaitAndServeMainThreadQueue(100ms);
  port->ClosePort();
  EXPECT_EQ(log.Entries(), (Strings{"BeforeOpen", "AfterOpen", "CTS off", "DSR off", "RLSD off", "CTS off", "DSR off",
                                    "RLSD off", "BeforeClose", "AfterClose"}));
}

TEST_F(EventDispatch, BatchRunsErrorBeforeRxChar) {
  port->OpenPort();
  Attach(*port, log);
  HandOverWatch handOver;
  // The main loop is not served yet: the first batch waits for it while the
  // next events are remembered and come as one batch.
  device->SetModemLines(MS_CTS_ON);
  ASSERT_TRUE(handOver.WaitFor(1));
  device->Feed("c");
  device->RaiseErrors(CE_FRAME);
  ASSERT_TRUE(ServeUntil([&] { return log.Size() >= 3; })) << ::testing::PrintToString(log.Entries());
  EXPECT_EQ(log.Entries(), (Strings{"CTS on", "Error 1", "RxChar 1"}));
}

TEST_F(EventDispatch, ErrorFlagsClearedByAQueueQueryFireNoError) {
  port->OpenPort();
  Attach(*port, log);
  HandOverWatch handOver;
  device->Feed("ab");
  ASSERT_TRUE(handOver.WaitFor(1));
  // Remembered while the first batch waits; that batch's queue query clears
  // the error flag before the error step of the next batch runs.
  device->RaiseErrors(CE_FRAME);
  device->Feed("c");
  ASSERT_TRUE(ServeUntil([&] { return log.Size() >= 2; }));
  std::this_thread::sleep_for(50ms);
  Runtime::ServeMainThreadQueue();
  EXPECT_EQ(log.Entries(), (Strings{"RxChar 3", "RxChar 3"}));
}

TEST_F(EventDispatch, RxCharForAnEmptiedQueueFiresNothing) {
  port->OpenPort();
  std::atomic<int> rxChars{0};
  port->OnRxChar = [&](TComponent*, std::int32_t) {
    std::string text;
    port->ReceiveText(text, 1024);
    ++rxChars;
  };
  HandOverWatch handOver;
  device->Feed("a");
  ASSERT_TRUE(handOver.WaitFor(1));
  device->Feed("b");  // remembered while the first batch waits
  ASSERT_TRUE(ServeUntil([&] { return rxChars >= 1; }));
  std::this_thread::sleep_for(100ms);
  Runtime::ServeMainThreadQueue();
  EXPECT_EQ(rxChars, 1);
}

TEST_F(EventDispatch, CtsComesBeforeDsr) {
  port->OpenPort();
  Attach(*port, log);
  device->SetModemLines(MS_CTS_ON | MS_DSR_ON);
  ASSERT_TRUE(ServeUntil([&] { return log.Size() >= 2; }));
  EXPECT_EQ(log.Entries(), (Strings{"CTS on", "DSR on"}));
}

TEST_F(EventDispatch, SignalStepsReadTheLinesWhenTheyRun) {
  port->OpenPort();
  Attach(*port, log);
  HandOverWatch handOver;
  // A CTS pulse that is over when its step runs is reported as off.
  device->SetModemLines(MS_CTS_ON);
  ASSERT_TRUE(handOver.WaitFor(1));
  device->SetModemLines(0);
  ASSERT_TRUE(ServeUntil([&] { return log.Size() >= 2; }));
  EXPECT_EQ(log.Entries(), (Strings{"CTS off", "CTS off"}));
}

TEST_F(EventDispatch, LineEventsReachTheirHandlers) {
  port->SetEventChar('!');
  port->OpenPort();
  Attach(*port, log);
  device->Break();
  ASSERT_TRUE(ServeUntil([&] { return log.Size() >= 1; }));
  device->Ring();
  ASSERT_TRUE(ServeUntil([&] { return log.Size() >= 2; }));
  device->RaiseEvents(EV_TXEMPTY | EV_RX80FULL | 0x0200);
  ASSERT_TRUE(ServeUntil([&] { return log.Size() >= 4; }));
  const auto entries = log.Entries();
  EXPECT_NE(std::find(entries.begin(), entries.end(), "Break"), entries.end());
  EXPECT_NE(std::find(entries.begin(), entries.end(), "Ring"), entries.end());
  EXPECT_EQ(Strings(entries.end() - 2, entries.end()), (Strings{"TxEmpty", "Rx80Full"}));
}

// Under the two hand-over methods, a batch none of whose steps would do
// anything (no handler for its events, no step with an effect of its own)
// costs no trip to the main thread; once handlers are assigned, the same
// events are handed over and fire in their fixed order on the main thread.
TEST_F(EventDispatch, BatchWithNothingToRunIsNotHandedOverButHandledEventsStillAre) {
  const struct {
    TSyncMethod method;
    int handOversForTwoEvents;  // one per batch, or one per event
  } methods[] = {{smThreadSync, 1}, {smWindowSync, 2}};
  for (const auto& m : methods) {
    SCOPED_TRACE(int(m.method));
    Log seen;
    port->SetSyncMethod(m.method);
    port->OnRxChar = [&](TComponent*, std::int32_t n) {
      seen.Add("RxChar " + std::to_string(n) + (Runtime::IsMainThread() ? "" : " off the main thread"));
    };
    port->OnTxEmpty = nullptr;
    port->OnBreak = nullptr;
    port->OpenPort();
    HandOverWatch handOver;
    // Handler-less events only, then data: the data alone is handed over.
    device->RaiseEvents(EV_TXEMPTY | EV_BREAK | EV_RING | EV_RXFLAG | EV_RX80FULL);
    device->Feed("ab");
    ASSERT_TRUE(ServeUntil([&] { return seen.Size() >= 1; }));
    Runtime::WaitAndServeMainThreadQueue(50ms);
    EXPECT_TRUE(handOver.WaitFor(1));
    EXPECT_EQ(handOver.Count(), 1);
    EXPECT_EQ(seen.Entries(), (Strings{"RxChar 2"}));

    auto onMain = [](const char* name) { return std::string(name) + (Runtime::IsMainThread() ? "" : " off main"); };
    port->OnBreak = [&](TComponent*) { seen.Add(onMain("Break")); };
    port->OnTxEmpty = [&](TComponent*) { seen.Add(onMain("TxEmpty")); };
    device->RaiseEvents(EV_BREAK | EV_TXEMPTY);
    ASSERT_TRUE(ServeUntil([&] { return seen.Size() >= 3; }));
    // The count is raised just after a request is queued: wait for it.
    EXPECT_TRUE(handOver.WaitFor(1 + m.handOversForTwoEvents));
    EXPECT_EQ(handOver.Count(), 1 + m.handOversForTwoEvents);
    EXPECT_EQ(seen.Entries(), (Strings{"RxChar 2", "TxEmpty", "Break"}));
    port->ClosePort();
  }
}

TEST_F(EventDispatch, ParityErrorsCountOnlyWithParityCheck) {
  port->SetEvents({});
  port->OpenPort();
  device->RaiseErrors(CE_RXPARITY | CE_OVERRUN);
  EXPECT_EQ(port->TakeLineErrors(), (TComErrors{ceOverrun}));
  EXPECT_TRUE(port->TakeLineErrors().Empty());
  port->Parity().SetCheck(true);
  device->RaiseErrors(CE_RXPARITY | CE_BREAK | CE_MODE);
  EXPECT_EQ(port->TakeLineErrors(), (TComErrors{ceRxParity, ceBreak, ceMode}));
}

TEST_F(EventDispatch, QueriesRaiseTheirCodes) {
  port->SetEvents({});
  port->OpenPort();
  device->SetModemLines(MS_CTS_ON | MS_DSR_ON);
  EXPECT_EQ(port->LineSignals(), (TModemSignals{msCTS, msDSR}));
  auto code = [](auto&& f) {
    try {
      f();
    } catch (const EComPort& e) {
      return std::make_pair(e.PortErrorCode(), e.OsErrorCode());
    }
    return std::make_pair(0, 0);
  };
  device->FailCall(CommCall::ClearCommError, EIO, 2);
  EXPECT_EQ(code([&] { port->PendingInput(); }), std::make_pair(10, EIO));
  EXPECT_EQ(code([&] { port->TakeLineErrors(); }), std::make_pair(10, EIO));
  device->FailCall(CommCall::GetCommModemStatus, EPERM, 1);
  EXPECT_EQ(code([&] { port->LineSignals(); }), std::make_pair(11, EPERM));
  device->FailCall(CommCall::PurgeComm, EPERM, 1);
  EXPECT_EQ(code([&] { port->CancelTransfers(); }), std::make_pair(5, EPERM));
  device->FailCall(CommCall::WriteFile, ENOSPC, 1);
  EXPECT_EQ(code([&] { port->SendText("x"); }), std::make_pair(2, ENOSPC));
  device->FailCall(CommCall::ReadFile, EFAULT, 1);
  std::string text;
  EXPECT_EQ(code([&] { port->ReceiveText(text, 4); }), std::make_pair(3, EFAULT));
  EXPECT_EQ(code([&] { port->SendBytesAsync("x", 1, nullptr); }), std::make_pair(4, -1));
  EXPECT_EQ(code([&] { port->ReceiveBytesAsync(&text[0], 1, nullptr); }), std::make_pair(4, -1));
  EXPECT_EQ(code([&] { port->AwaitTransfer(nullptr); }), std::make_pair(4, -1));
}

// A record whose event cannot be created: the platform reports that with a
// null handle, which used to pass for a good one, and the failure has to come
// as the port's own error type with the code of the operation.
TEST_F(EventDispatch, TransferRecordWithoutAnEventRaisesTheOperationsCode) {
  port->SetEvents({});
  port->OpenPort();
  std::string text;
  char byte = 0;
  TransferRecord* record = nullptr;
  const struct {
    const char* name;
    std::function<void()> call;
    int code;
  } rows[] = {
      {"CreateTransferRecord", [&] { port->CreateTransferRecord(record); }, PortErr::AsyncStatus},
      {"SendText", [&] { port->SendText("x"); }, PortErr::WriteFailed},
      {"ReceiveText", [&] { port->ReceiveText(text, 1); }, PortErr::ReadFailed},
      {"ReceiveBytes", [&] { port->ReceiveBytes(&byte, 1); }, PortErr::ReadFailed},
  };
  for (const auto& row : rows) {
    FailEventCreations(1);
    try {
      row.call();
      ADD_FAILURE() << row.name << ": no error";
    } catch (const EComPort& e) {
      EXPECT_EQ(e.PortErrorCode(), row.code) << row.name;
      EXPECT_EQ(e.OsErrorCode(), EINVAL) << row.name;
    } catch (const std::exception& e) {
      ADD_FAILURE() << row.name << ": " << e.what();
    }
    FailEventCreations(0);
  }
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(device->WriteCalls(), 0);
}

// A negative count used to reach the platform as a huge unsigned one: reads
// wrote past the caller's buffer, writes sent whatever followed it.
TEST_F(EventDispatch, NegativeCountsAreRefusedBeforeTheBufferOrTheDeviceIsTouched) {
  port->SetEvents({});
  port->OpenPort();
  device->Feed("waiting");
  ASSERT_TRUE(ServeUntil([&] { return port->PendingInput() == 7; }));
  char buffer[8] = "intact";
  TransferRecord* record = nullptr;
  port->CreateTransferRecord(record);
  const struct {
    const char* name;
    std::function<void()> call;
    int code;
  } rows[] = {
      {"SendBytesAsync", [&] { port->SendBytesAsync(buffer, -1, record); }, PortErr::WriteFailed},
      {"SendBytesAsync, lowest", [&] { port->SendBytesAsync(buffer, INT32_MIN, record); }, PortErr::WriteFailed},
      {"ReceiveBytesAsync", [&] { port->ReceiveBytesAsync(buffer, -1, record); }, PortErr::ReadFailed},
      {"ReceiveBytes", [&] { port->ReceiveBytes(buffer, -2); }, PortErr::ReadFailed},
  };
  for (const auto& row : rows) {
    try {
      row.call();
      ADD_FAILURE() << row.name << ": no error";
    } catch (const EComPort& e) {
      EXPECT_EQ(e.PortErrorCode(), row.code) << row.name;
      EXPECT_EQ(e.OsErrorCode(), EINVAL) << row.name;
    }
  }
  EXPECT_STREQ(buffer, "intact");
  EXPECT_EQ(device->WriteCalls(), 0);
  EXPECT_EQ(port->PendingInput(), 7);
  // The record was not touched either: it still awaits as an idle one.
  EXPECT_EQ(port->AwaitTransfer(record), 0);
  port->ReleaseTransferRecord(record);
}

TEST_F(EventDispatch, EmptyTextAndZeroCountTouchNothing) {
  port->SetEvents({});
  port->OpenPort();
  device->FailCall(CommCall::WriteFile, EIO);
  device->FailCall(CommCall::ReadFile, EIO);
  device->FailCall(CommCall::GetOverlappedResult, EIO);
  device->FailCall(CommCall::ClearCommError, EIO);
  EXPECT_EQ(port->SendText(""), 0);
  std::string text = "old";
  EXPECT_EQ(port->ReceiveText(text, 0), 0);
  EXPECT_EQ(text, "");
  text = "old";
  EXPECT_EQ(port->ReceiveText(text, -5), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(device->WriteCalls(), 0);
}

TEST_F(EventDispatch, HandlerErrorUnderThreadSyncEndsDeliveryAndIsShownOnce) {
  ErrorDisplayRecorder shown;
  port->OpenPort();
  std::atomic<int> calls{0};
  port->OnRxChar = [&](TComponent*, std::int32_t) {
    ++calls;
    throw EComPort(PortErr::ReadFailed, EIO);
  };
  device->Feed("a");
  ASSERT_TRUE(ServeUntil([&] { return shown.Count() >= 1; }));
  device->Feed("b");
  std::this_thread::sleep_for(100ms);
  Runtime::ServeMainThreadQueue();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(shown.Messages(), (Strings{"ReadFile function failed (win error code: 5)"}));
  // The port stays open and usable.
  EXPECT_TRUE(port->Connected());
  EXPECT_EQ(port->SendText("ok"), 2);
  port->ClosePort();
  // Reopening starts delivery again.
  port->OnRxChar = [&](TComponent*, std::int32_t) { ++calls; };
  port->OpenPort();
  device->Feed("c");
  EXPECT_TRUE(ServeUntil([&] { return calls >= 2; }));
}

TEST_F(EventDispatch, NoneRunsHandlersOnTheEventThread) {
  port->SetSyncMethod(smNone);
  std::atomic<bool> onMain{true};
  std::atomic<int> count{0};
  port->OnRxChar = [&](TComponent*, std::int32_t n) {
    onMain = Runtime::IsMainThread();
    count = n;
  };
  port->OpenPort();
  device->Feed("hello");
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (count == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(count, 5);
  EXPECT_FALSE(onMain);
}

TEST_F(EventDispatch, WindowSyncSendsOneMessagePerEventAndShowsStepErrors) {
  ErrorDisplayRecorder shown;
  port->SetSyncMethod(smWindowSync);
  port->OpenPort();
  Attach(*port, log);
  device->SetModemLines(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  ASSERT_TRUE(ServeUntil([&] { return log.Size() >= 3; }));
  EXPECT_EQ(log.Entries(), (Strings{"CTS on", "DSR on", "RLSD on"}));

  // A failing step is shown, and monitoring goes on.
  device->FailCall(CommCall::GetCommModemStatus, EIO, 1);
  device->SetModemLines(MS_DSR_ON);
  ASSERT_TRUE(ServeUntil([&] { return shown.Count() >= 1; }));
  EXPECT_EQ(shown.Messages()[0], "GetCommModemStatus function failed (win error code: 5)");
  device->Feed("xy");
  EXPECT_TRUE(ServeUntil([&] {
    const auto e = log.Entries();
    return !e.empty() && e.back() == "RxChar 2";
  }));
}

TEST_F(EventDispatch, VanishedDeviceStopsMonitoringVisiblyAndClosesCleanly) {
  ErrorDisplayRecorder shown;
  const auto before = Tasks();
  port->OpenPort();
  const auto portThreads = NewTasks(before);
  device->Unplug();
  ASSERT_TRUE(ServeUntil([&] { return shown.Count() >= 1; }));
  EXPECT_EQ(shown.Messages()[0], "WaitForEvent method failed (win error code: 5)");
  // The event thread has stopped rather than spinning on the dead device.
  EXPECT_LE(WakeUpsWhileIdle(portThreads), 2);
  EXPECT_NO_THROW(port->ClosePort());
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(port->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(shown.Count(), 1u);
}

TEST_F(EventDispatch, CloseWhileAHandlerRunsReturnsUnderEachMethod) {
  for (TSyncMethod method : {smThreadSync, smWindowSync, smNone}) {
    port->SetSyncMethod(method);
    std::atomic<bool> inHandler{false};
    port->OnRxChar = [&](TComponent*, std::int32_t) {
      inHandler = true;
      std::this_thread::sleep_for(100ms);
    };
    HandOverWatch handOver;
    port->OpenPort();
    device->Feed("z");
    if (method != smNone) {
      // The batch is handed over; closing must still serve it and finish.
      ASSERT_TRUE(handOver.WaitFor(1));
    } else {
      while (!inHandler) std::this_thread::sleep_for(1ms);
    }
    port->ClosePort();
    EXPECT_FALSE(port->Connected());
    // After ClosePort no handler of the port runs.
    inHandler = false;
    Runtime::WaitAndServeMainThreadQueue(50ms);
    EXPECT_FALSE(inHandler) << int(method);
  }
}

TEST_F(EventDispatch, IdlePortWithAllEventsArmedDoesNotWakeUp) {
  const auto before = Tasks();
  port->OpenPort();
  const auto portThreads = NewTasks(before);
  ASSERT_FALSE(portThreads.empty());
  EXPECT_LE(WakeUpsWhileIdle(portThreads), 2);
}

TEST_F(EventDispatch, DestructorOfAnOpenPortWithAHandlerThatRefusesTheCloseDoesNotThrow) {
  port->OpenPort();
  port->OnBeforeClose = [](TComponent*) { throw std::runtime_error("no"); };
  EXPECT_THROW(port->ClosePort(), std::runtime_error);
  EXPECT_TRUE(port->Connected());
  port.reset();
  EXPECT_FALSE(device->IsOpen());
}

// A handler may close its own port: the event thread cannot end before the
// handler returns, so the close must not wait for it, and nothing of the
// port runs afterwards.
TEST_F(EventDispatch, HandlerThatClosesItsOwnPortDoesNotHang) {
  for (TSyncMethod method : {smThreadSync, smWindowSync, smNone}) {
    ErrorDisplayRecorder shown;
    port->SetSyncMethod(method);
    std::atomic<int> rxChars{0};
    std::atomic<bool> closed{false};
    port->OnRxChar = [&](TComponent*, std::int32_t) {
      ++rxChars;
      port->ClosePort();
      closed = true;
    };
    port->OnCTSChange = [&](TComponent*, bool) {
      if (closed) ADD_FAILURE() << "a handler ran after its port was closed";
    };
    port->OpenPort();
    device->SetModemLines(0);
    device->Feed("bye");
    device->SetModemLines(MS_CTS_ON);
    ASSERT_TRUE(ServeUntil([&] { return closed.load(); })) << int(method);
    // Let the stopped thread be collected.
    Runtime::WaitAndServeMainThreadQueue(100ms);
    Runtime::ServeMainThreadQueue();
    EXPECT_FALSE(port->Connected());
    EXPECT_FALSE(device->IsOpen());
    EXPECT_EQ(rxChars, 1);
    EXPECT_EQ(shown.Count(), 0u) << ::testing::PrintToString(shown.Messages());
    port->OnCTSChange = nullptr;
  }
}

// Closing used to serve the whole hand-over queue while it waited for its
// event thread, so other ports' batches (and their error boxes, with nested
// loops) ran in the middle of the close.
TEST_F(EventDispatch, CloseServesOnlyTheHandOversOfItsOwnThread) {
  const std::string otherName = DeviceName() + "-other";
  auto otherDevice = VirtualDevice::Register(otherName);
  std::atomic<int> ownCalls{0}, otherCalls{0}, posted{0};
  {
    TComPort other;
    other.SetPort(otherName);
    other.OnRxChar = [&](TComponent*, std::int32_t) { ++otherCalls; };
    port->OnRxChar = [&](TComponent*, std::int32_t) { ++ownCalls; };
    other.OpenPort();
    port->OpenPort();
    HandOverWatch handOver;
    otherDevice->Feed("o");
    ASSERT_TRUE(handOver.WaitFor(1));
    device->Feed("p");
    ASSERT_TRUE(handOver.WaitFor(2));
    Runtime::PostToMainThread([&] { ++posted; });

    port->ClosePort();
    // Its own batch in flight is delivered during the close; nothing else is.
    EXPECT_EQ(ownCalls, 1);
    EXPECT_EQ(otherCalls, 0);
    EXPECT_EQ(posted, 0);
    EXPECT_TRUE(ServeUntil([&] { return otherCalls == 1 && posted == 1; }));
  }
  VirtualDevice::Unregister(otherName);
}

namespace {

// Waits without serving the main-thread queue, as a console program that
// never serves it would.
class Signal {
 public:
  void Raise() {
    {
      std::lock_guard lock(mutex_);
      ++count_;
    }
    changed_.notify_all();
  }
  bool WaitFor(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return count_ >= count; });
  }
  int Count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

}  // namespace

// A handler that closes its own port: the next open used to overlap the
// closing thread's last steps, and the thread could deliver before the port
// had stored it. ThreadSanitizer reported both; in a release build the open
// now and then failed with "GetCommModemStatus function failed (win error
// code: 9)". The stopped thread must end without the main loop's help, too:
// a console program may never serve the queue.
TEST_F(EventDispatch, SelfClosingHandlerNeverOverlapsTheNextOpen) {
  ErrorDisplayRecorder shown;
  const int rounds = StressRounds(150);
  Runtime::ServeMainThreadQueue();
  Signal closed;
  port->OnRxChar = [&](TComponent*, std::int32_t) {
    port->ClosePort();
    closed.Raise();
  };
  bool feedWhileOpening = false;
  port->OnAfterOpen = [&](TComponent*) {
    // The event comes while the open still reads the line states.
    if (feedWhileOpening) device->Feed("x");
  };
  int closes = 0;
  for (TSyncMethod method : {smNone, smThreadSync, smWindowSync}) {
    port->SetSyncMethod(method);
    for (int round = 0; round < rounds; ++round) {
      feedWhileOpening = round % 2 == 0;
      ASSERT_NO_THROW(port->OpenPort()) << int(method) << ", round " << round;
      if (!feedWhileOpening) device->Feed("y");
      ++closes;
      if (method == smNone)
        ASSERT_TRUE(closed.WaitFor(closes)) << "round " << round;
      else
        ASSERT_TRUE(ServeUntil([&] { return closed.Count() >= closes; })) << int(method) << ", round " << round;
      ASSERT_FALSE(port->Connected());
    }
    if (method == smNone) {
      EXPECT_EQ(Runtime::ServeMainThreadQueue(), 0) << "stopped threads left to the main loop";
    }
  }
  port.reset();
  EXPECT_FALSE(device->IsOpen());
  Runtime::ServeMainThreadQueue();
  EXPECT_EQ(shown.Count(), 0u) << ::testing::PrintToString(shown.Messages());
}

// Destroying an open port used to stop its event thread only in the base
// destructor, after the derived parts were gone, while the thread could be
// calling a firing step (ThreadSanitizer: a race on the object's vptr).
TEST_F(EventDispatch, DestroyingAPortDuringAnEventFloodStopsDeliveryFirst) {
  class CountingPort : public TComPort {
   public:
    explicit CountingPort(std::atomic<int>& fired) : fired_(fired) {}
    ~CountingPort() override { CloseForDestruction(); }

   protected:
    void FireRxChar(std::int32_t count) override {
      ++fired_;
      TComPort::FireRxChar(count);
    }

   private:
    std::atomic<int>& fired_;
  };
  ErrorDisplayRecorder shown;
  const int rounds = StressRounds(40);
  std::atomic<int> fired{0};
  for (TSyncMethod method : {smNone, smThreadSync, smWindowSync}) {
    for (int round = 0; round < rounds; ++round) {
      std::unique_ptr<TComPort> flooded =
          round % 2 ? std::make_unique<CountingPort>(fired) : std::make_unique<TComPort>();
      TComPort* raw = flooded.get();
      std::atomic<int> deliveries{0};
      flooded->SetPort(DeviceName());
      flooded->SetSyncMethod(method);
      flooded->OnRxChar = [&deliveries, raw](TComponent*, std::int32_t) {
        std::string text;
        try {
          raw->ReceiveText(text, 64);
        } catch (const EComPort&) {
          // The close under way may abort the read.
        }
        ++deliveries;
      };
      flooded->OnCTSChange = [&deliveries](TComponent*, bool) { ++deliveries; };
      flooded->OpenPort();
      std::atomic<bool> flooding{true};
      std::thread flood([&] {
        for (int i = 0; flooding; ++i) {
          device->Feed("f");
          device->SetModemLines(i % 2 ? MS_CTS_ON : 0);
          std::this_thread::yield();
        }
      });
      const bool delivered = ServeUntil([&] { return deliveries >= 3; });
      flooded.reset();
      flooding = false;
      flood.join();
      ASSERT_TRUE(delivered) << int(method) << ", round " << round;
    }
  }
  EXPECT_GT(fired, 0);
  EXPECT_FALSE(device->IsOpen());
  Runtime::ServeMainThreadQueue();
  EXPECT_EQ(shown.Count(), 0u) << ::testing::PrintToString(shown.Messages());
}
