// The in-process virtual device (see virtual_device.h) and its backend.
//
// Locking: `mutex` guards the device's data. Reports the device makes on its
// own (Feed, modem lines, errors...) go to the engine under `sinkMutex` and
// never under `mutex`, because the engine calls back into the backend (and so
// takes `mutex`) while it handles them. Reports the backend makes from inside
// a call the engine is making use the sink handed to Attach directly; the
// engine expects and defers those.
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "device_backend_p.h"
#include "in_process_devices_p.h"
#include "virtual_device.h"

namespace CPort::Platform {

namespace {

struct Failure {
  int error = 0;
  int times = 0;  // < 0: until cleared

  // The errno this call fails with, counting it off.
  int Consume() {
    if (error == 0 || times == 0) return 0;
    if (times > 0) --times;
    return error;
  }
};

}  // namespace

struct VirtualDevice::State {
  explicit State(std::string deviceName) : name(std::move(deviceName)) {}

  const std::string name;
  mutable std::mutex mutex;
  mutable std::condition_variable writtenChanged;
  bool open = false;
  int openCount = 0;
  std::vector<ConfigCall> calls;
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  std::map<CommCall, Failure> failures;
  Failure openFailure;
  std::string input;  // fed, not yet taken by the port
  std::string written;
  std::size_t writtenTotal = 0;
  int writeCalls = 0;
  bool hold = false;
  DWORD modemLines = 0;
  bool ringPulse = false;
  int unplugged = 0;  // errno once unplugged while open
  bool breakOn = false;
  int breaksStarted = 0;

  std::mutex sinkMutex;
  DeviceSink* sink = nullptr;

  template <typename F>
  void Report(F&& report) {
    std::lock_guard lock(sinkMutex);
    if (sink != nullptr) report(*sink);
  }
};

class VirtualBackend final : public DeviceBackend {
 public:
  using State = VirtualDevice::State;

  explicit VirtualBackend(std::shared_ptr<State> state) : state_(std::move(state)) {}
  ~VirtualBackend() override { Close(); }
  VirtualBackend(const VirtualBackend&) = delete;
  VirtualBackend& operator=(const VirtualBackend&) = delete;

  int Intercept(CommCall call) override {
    // Configuration calls are failed where they are recorded, with their
    // arguments, so that the record shows failed calls too.
    if (call == CommCall::SetupComm || call == CommCall::SetCommState || call == CommCall::SetCommTimeouts) {
      return 0;
    }
    std::lock_guard lock(state_->mutex);
    const int error = state_->failures[call].Consume();
    if (error == 0 && call == CommCall::WriteFile) ++state_->writeCalls;
    return error;
  }

  void Attach(DeviceSink* sink) override {
    std::lock_guard lock(state_->sinkMutex);
    state_->sink = sink;
    attached_ = sink;
    bool pending = false;
    {
      std::lock_guard dataLock(state_->mutex);
      pending = !state_->input.empty();
    }
    if (pending) sink->Wake();
  }

  void Detach() override {
    std::lock_guard lock(state_->sinkMutex);
    state_->sink = nullptr;
    attached_ = nullptr;
  }

  void Close() override {
    std::lock_guard lock(state_->mutex);
    if (closed_) return;
    closed_ = true;
    state_->open = false;
    state_->input.clear();
    state_->unplugged = 0;
    state_->breakOn = false;  // a closing port releases the line
  }

  int SetupQueues(DWORD inQueue, DWORD outQueue) override {
    VirtualDevice::ConfigCall call{VirtualDevice::ConfigCall::Kind::QueueSizes};
    call.inQueue = inQueue;
    call.outQueue = outQueue;
    return Record(call, CommCall::SetupComm);
  }

  int ApplyState(const DCB& dcb) override {
    VirtualDevice::ConfigCall call{VirtualDevice::ConfigCall::Kind::State};
    call.dcb = dcb;
    return Record(call, CommCall::SetCommState);
  }

  int ApplyTimeouts(const COMMTIMEOUTS& timeouts) override {
    VirtualDevice::ConfigCall call{VirtualDevice::ConfigCall::Kind::Timeouts};
    call.timeouts = timeouts;
    return Record(call, CommCall::SetCommTimeouts);
  }

  int PollFd() const override { return -1; }

  ssize_t Read(std::uint8_t* buffer, std::size_t count) override {
    std::lock_guard lock(state_->mutex);
    if (state_->unplugged != 0) return -state_->unplugged;
    if (state_->input.empty()) return -EAGAIN;
    const std::size_t taken = std::min(count, state_->input.size());
    std::memcpy(buffer, state_->input.data(), taken);
    state_->input.erase(0, taken);
    return static_cast<ssize_t>(taken);
  }

  ssize_t Write(const std::uint8_t* data, std::size_t count) override {
    std::lock_guard lock(state_->mutex);
    if (state_->unplugged != 0) return -state_->unplugged;
    if (state_->hold) return -EAGAIN;
    state_->written.append(reinterpret_cast<const char*>(data), count);
    state_->writtenTotal += count;
    state_->writtenChanged.notify_all();
    return static_cast<ssize_t>(count);
  }

  // Held output stays with the engine, so the device itself queues nothing.
  int OutputQueued(DWORD& count) override {
    std::lock_guard lock(state_->mutex);
    count = 0;
    return state_->unplugged;
  }

  void WatchTxEmpty() override {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->hold || state_->unplugged != 0) return;
    }
    if (attached_ != nullptr) attached_->LineEvents(EV_TXEMPTY);
  }

  int ModemStatus(DWORD& status) override {
    std::lock_guard lock(state_->mutex);
    if (state_->unplugged != 0) return state_->unplugged;
    status = state_->modemLines | (state_->ringPulse ? MS_RING_ON : 0);
    state_->ringPulse = false;
    return 0;
  }

  int Purge(DWORD flags) override {
    std::lock_guard lock(state_->mutex);
    if (state_->unplugged != 0) return state_->unplugged;
    if (flags & PURGE_RXCLEAR) state_->input.clear();
    return 0;
  }

  int SetBreak(bool on) override {
    std::lock_guard lock(state_->mutex);
    if (state_->unplugged != 0) return state_->unplugged;
    if (on && !state_->breakOn) ++state_->breaksStarted;
    state_->breakOn = on;
    return 0;
  }

 private:
  int Record(const VirtualDevice::ConfigCall& call, CommCall kind) {
    std::lock_guard lock(state_->mutex);
    state_->calls.push_back(call);
    if (state_->unplugged != 0) return state_->unplugged;
    if (const int error = state_->failures[kind].Consume()) return error;
    switch (call.kind) {
      case VirtualDevice::ConfigCall::Kind::State:
        state_->dcb = call.dcb;
        break;
      case VirtualDevice::ConfigCall::Kind::Timeouts:
        state_->timeouts = call.timeouts;
        break;
      case VirtualDevice::ConfigCall::Kind::QueueSizes:
        break;
    }
    return 0;
  }

  const std::shared_ptr<State> state_;
  DeviceSink* attached_ = nullptr;
  bool closed_ = false;  // guarded by state_->mutex
};

// ---- registry ------------------------------------------------------------------

// The registered devices, as CreateFileA and the port list see them.
class VirtualDeviceDirectory final : public InProcessDeviceDirectory {
 public:
  static VirtualDeviceDirectory& Instance() {
    // Installed with the first registration: until then no name can match.
    static VirtualDeviceDirectory* const directory = [] {
      auto* created = new VirtualDeviceDirectory;  // lives until the program ends
      InstallInProcessDevices(created);
      return created;
    }();
    return *directory;
  }

  void Add(const std::shared_ptr<VirtualDevice>& device) {
    std::lock_guard lock(mutex_);
    devices_[device->Name()] = device;
  }

  void Remove(const std::string& name) {
    std::lock_guard lock(mutex_);
    devices_.erase(name);
  }

  std::shared_ptr<VirtualDevice> Find(const std::string& name) const {
    std::lock_guard lock(mutex_);
    const auto it = devices_.find(name);
    return it == devices_.end() ? nullptr : it->second;
  }

  bool Contains(const std::string& name) const override { return Find(name) != nullptr; }

  std::vector<std::string> Names() const override {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& entry : devices_) names.push_back(entry.first);
    return names;
  }

  std::unique_ptr<DeviceBackend> Open(const std::string& name, int& error) override {
    const std::shared_ptr<VirtualDevice> device = Find(name);
    if (!device) {
      error = ENOENT;
      return nullptr;
    }
    const std::shared_ptr<VirtualDevice::State>& state = device->state_;
    std::lock_guard lock(state->mutex);
    if (const int failure = state->openFailure.Consume()) {
      error = failure;
      return nullptr;
    }
    if (state->open) {
      error = EBUSY;
      return nullptr;
    }
    state->open = true;
    state->unplugged = 0;
    ++state->openCount;
    error = 0;
    return std::make_unique<VirtualBackend>(state);
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<VirtualDevice>> devices_;
};

std::shared_ptr<VirtualDevice> VirtualDevice::Register(const std::string& portName) {
  std::shared_ptr<VirtualDevice> device(new VirtualDevice(portName));
  VirtualDeviceDirectory::Instance().Add(device);
  return device;
}

void VirtualDevice::Unregister(const std::string& portName) { VirtualDeviceDirectory::Instance().Remove(portName); }

std::shared_ptr<VirtualDevice> VirtualDevice::Find(const std::string& portName) {
  return VirtualDeviceDirectory::Instance().Find(portName);
}

std::vector<std::string> VirtualDevice::RegisteredNames() { return VirtualDeviceDirectory::Instance().Names(); }

// ---- the test's side -------------------------------------------------------------

VirtualDevice::VirtualDevice(std::string name) : state_(std::make_shared<State>(std::move(name))) {}
VirtualDevice::~VirtualDevice() = default;

const std::string& VirtualDevice::Name() const { return state_->name; }

bool VirtualDevice::IsOpen() const {
  std::lock_guard lock(state_->mutex);
  return state_->open;
}

int VirtualDevice::OpenCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->openCount;
}

std::vector<VirtualDevice::ConfigCall> VirtualDevice::ConfigCalls() const {
  std::lock_guard lock(state_->mutex);
  return state_->calls;
}

void VirtualDevice::ClearConfigCalls() {
  std::lock_guard lock(state_->mutex);
  state_->calls.clear();
}

DCB VirtualDevice::CurrentState() const {
  std::lock_guard lock(state_->mutex);
  return state_->dcb;
}

COMMTIMEOUTS VirtualDevice::CurrentTimeouts() const {
  std::lock_guard lock(state_->mutex);
  return state_->timeouts;
}

void VirtualDevice::FailCall(CommCall call, int error, int times) {
  std::lock_guard lock(state_->mutex);
  state_->failures[call] = Failure{error, times};
}

void VirtualDevice::FailOpen(int error, int times) {
  std::lock_guard lock(state_->mutex);
  state_->openFailure = Failure{error, times};
}

void VirtualDevice::Feed(const std::string& bytes) {
  {
    std::lock_guard lock(state_->mutex);
    state_->input += bytes;
  }
  state_->Report([](DeviceSink& sink) { sink.Wake(); });
}

std::size_t VirtualDevice::PendingInput() const {
  std::lock_guard lock(state_->mutex);
  return state_->input.size();
}

std::string VirtualDevice::Written() const {
  std::lock_guard lock(state_->mutex);
  return state_->written;
}

std::string VirtualDevice::TakeWritten() {
  std::lock_guard lock(state_->mutex);
  return std::exchange(state_->written, std::string());
}

int VirtualDevice::WriteCalls() const {
  std::lock_guard lock(state_->mutex);
  return state_->writeCalls;
}

bool VirtualDevice::WaitForWritten(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(state_->mutex);
  return state_->writtenChanged.wait_for(lock, limit, [&] { return state_->writtenTotal >= count; });
}

void VirtualDevice::HoldOutput(bool hold) {
  {
    std::lock_guard lock(state_->mutex);
    state_->hold = hold;
  }
  if (!hold) state_->Report([](DeviceSink& sink) { sink.Wake(); });
}

void VirtualDevice::SetModemLines(DWORD msBits) {
  DWORD changed = 0;
  {
    std::lock_guard lock(state_->mutex);
    changed = state_->modemLines ^ msBits;
    state_->modemLines = msBits;
  }
  DWORD events = 0;
  if (changed & MS_CTS_ON) events |= EV_CTS;
  if (changed & MS_DSR_ON) events |= EV_DSR;
  if (changed & MS_RLSD_ON) events |= EV_RLSD;
  if (events != 0) state_->Report([events](DeviceSink& sink) { sink.LineEvents(events); });
}

void VirtualDevice::Ring() {
  {
    std::lock_guard lock(state_->mutex);
    state_->ringPulse = true;
  }
  state_->Report([](DeviceSink& sink) { sink.LineEvents(EV_RING); });
}

void VirtualDevice::RaiseErrors(DWORD ceFlags) {
  state_->Report([ceFlags](DeviceSink& sink) { sink.LineErrors(ceFlags); });
}

bool VirtualDevice::LineInBreak() const {
  std::lock_guard lock(state_->mutex);
  return state_->breakOn;
}

int VirtualDevice::BreaksFromPort() const {
  std::lock_guard lock(state_->mutex);
  return state_->breaksStarted;
}

void VirtualDevice::Break() {
  state_->Report([](DeviceSink& sink) { sink.LineErrors(CE_BREAK); });
}

void VirtualDevice::RaiseEvents(DWORD evBits) {
  state_->Report([evBits](DeviceSink& sink) { sink.LineEvents(evBits); });
}

void VirtualDevice::Unplug(int error) {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->open) return;
    state_->unplugged = error;
  }
  state_->Report([error](DeviceSink& sink) { sink.DeviceLost(error); });
}

}  // namespace CPort::Platform
