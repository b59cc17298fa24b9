// The benchmark's sections: each runs its contenders interleaved, repeats,
// and adds the figures to the results. Names of measurements and contenders
// are shared with the goals.
#pragma once

#include "bench.h"
#include "results.h"

namespace bench {

namespace names {
inline const std::string kRaw = "raw termios + poll";
inline const std::string kRawWatcher = "raw + a watcher thread";
inline const std::string kHandoff = "raw, one hand-off (floor)";
inline const std::string kSp = "libserialport";
inline const std::string kSpBlocking = "libserialport blocking calls";
inline const std::string kPortBlocking = "port blocking, no events";
inline const std::string kQt = "QSerialPort";
inline const std::string kAsio = "boost.asio serial_port";
inline const std::string kPortNone = "port smNone";
inline const std::string kPortThread = "port smThreadSync";
inline const std::string kPortWindow = "port smWindowSync";
inline const std::string kPortBigQueue = "port smNone, 64 KiB queue";
inline const std::string kPortOldSettings = "port smNone, 64 KiB queue, evRxChar only";
inline const std::string kSendText = "port SendText";
inline const std::string kSendAsync = "port SendBytesAsync + AwaitTransfer";
inline const std::string kPort = "port";
inline const std::string kRawFarThread = "raw, far side a thread";
inline const std::string kPortFarThread = "port smNone, far side a thread, 64 KiB queue, evRxChar only";

inline const std::string kReceive = "receive, MiB/s";
inline const std::string kReceiveCpu = "receive: CPU of the receiving process, ms per MiB";
inline const std::string kReceiveOld = "receive with the far side a thread of the benchmark, MiB/s";
inline const std::string kSend = "send, MiB/s";
inline const std::string kSendCpu = "send: CPU of the sending process, ms per MiB";
inline const std::string kTripP50 = "round trip p50, us";
inline const std::string kTripP99 = "round trip p99, us";
inline const std::string kTripSwitches = "round trip: context switches per trip, both sides";
inline const std::string kTripWakeups =
    "round trip: wake-ups per trip in the measuring process (voluntary context switches)";
inline const std::string kTripSyscalls = "round trip: system calls per trip in the measuring process";
inline const std::string kTripFutex = "round trip: futex calls per trip in the measuring process";
inline const std::string kTripMigrations = "round trip: CPU migrations per 1000 trips, both sides";
inline const std::string kTripSameCpu = "round trip: share of trips with both ends on one CPU";
inline const std::string kTripOldSameCpu = "round trip with the far side a thread: share of trips with both ends on one CPU";
inline const std::string kTripOldP50 = "round trip p50 with the far side a thread of the benchmark, us";
inline const std::string kTripOldP99 = "round trip p99 with the far side a thread of the benchmark, us";
inline const std::string kTripOldSwitches = "round trip with the far side a thread: context switches per trip";
inline const std::string kTripOldMigrations = "round trip with the far side a thread: CPU migrations per 1000 trips";
inline const std::string kOpenClose = "open + close, cycles/s";
inline const std::string kManyCpu = "many ports receiving at once: CPU of the receiving process, ms per MiB";
inline const std::string kManySwitches =
    "many ports receiving at once: context switches of the receiving process per MiB";
inline const std::string kManyRate = "many ports receiving at once: total MiB/s";
inline const std::string kThreads = "threads per open port";
inline const std::string kMemory = "resident memory per open port, KiB";
inline const std::string kIdleSwitches = "idle, all ten events armed: context switches";
inline const std::string kIdleCpu = "idle, all ten events armed: CPU time, ms";
inline const std::string kIdleOther = "idle, all ten events armed: wake-ups of threads other than the main one";
}  // namespace names

void ReceiveSection(const Options& o, const Pattern& p, Results& results);
void SendSection(const Options& o, const Pattern& p, Results& results);
void RoundTripSection(const Options& o, Results& results);
void OpenCloseSection(const Options& o, Results& results);
void ManyPortsSection(const Options& o, const Pattern& p, Results& results);
void PerPortSection(const Options& o, Results& results);
void IdleSection(const Options& o, Results& results);
void SyscallSection(const Options& o, Results& results);

// Prints the goals, each met or missed, from the figures at hand.
void PrintGoals(const Options& o, const Results& results);

}  // namespace bench
