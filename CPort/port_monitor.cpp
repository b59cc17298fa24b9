#include "CPort/path_parts_p.h"
#include "CPort/port_monitor_p.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>

#include "CPort/ComErrors.h"
#include "CPort/PortList.h"
#include "CPort/runtime/MainThread.h"

namespace CPort::Detail {

namespace {

using Clock = std::chrono::steady_clock;

// The kernel's multicast group of uevents, and udevd's (sent once udev has
// made the node and set its rights).
constexpr unsigned kKernelGroup = 1;
constexpr unsigned kUdevGroup = 2;

constexpr std::uint32_t kWatchMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB;

std::mutex gOpenerMutex;
PortMonitor::SocketOpener gOpener;

int OpenKernelSocket() {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return -1;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = kKernelGroup | kUdevGroup;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    // udevd's group may be refused where the kernel's is not.
    address.nl_groups = kKernelGroup;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      const int error = errno;
      close(fd);
      errno = error;
      return -1;
    }
  }
  // A burst of events (a hub with many adapters) must not overflow the queue
  // while a rescan runs; an overflow is still noticed (ENOBUFS) and rescanned.
  const int size = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  return fd;
}

int OpenUeventSocket() {
  PortMonitor::SocketOpener opener;
  {
    const std::lock_guard lock(gOpenerMutex);
    opener = gOpener;
  }
  const int fd = opener ? opener() : OpenKernelSocket();
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

using Detail::LastPathPart;
using Detail::ParentPath;

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The paths of CPORT_EXTRA_PORTS (names that are not paths are kernel ttys,
// which the uevents cover).
std::vector<std::string> ExtraPaths() {
  std::vector<std::string> paths;
  const char* value = std::getenv("CPORT_EXTRA_PORTS");
  if (value == nullptr) return paths;
  for (auto& name : SplitExtraPorts(value))
    if (!name.empty() && name.front() == '/') paths.push_back(std::move(name));
  return paths;
}

// Tells the application once per process that ports will not be followed.
void ReportSourceErrorOnce(int error) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  // Always through the queue: at start-up the display may not be set yet.
  Runtime::PostToMainThread([error] { throw EComPort(PortErr::EnumPortsFailed, error); });
}

}  // namespace

std::vector<TSerialPortInfo> ListPresentPorts(const std::vector<std::string>& morePaths) {
  std::vector<TSerialPortInfo> listed;
  ListSerialPortDetails(listed);
  std::vector<TSerialPortInfo> present;
  present.reserve(listed.size() + morePaths.size());
  for (auto& info : listed) {
    // Extra paths are listed as given; here only those that exist count.
    if (info.Source == TPortSource::psPath && !SerialPortPresent(info.Name)) continue;
    present.push_back(std::move(info));
  }
  bool added = false;
  for (const auto& path : morePaths) {
    const bool known = std::any_of(present.begin(), present.end(), [&](const auto& p) { return p.Name == path; });
    if (known || !SerialPortPresent(path)) continue;
    present.push_back(SerialPortDetails(path));
    added = true;
  }
  if (added) SortPortDetails(present);
  return present;
}

bool IsTtyUevent(const char* data, std::size_t size) {
  constexpr std::string_view kTty = "SUBSYSTEM=tty";
  const std::string_view message(data, size);
  std::size_t start = 0;
  while (start < message.size()) {
    std::size_t end = message.find('\0', start);
    if (end == std::string_view::npos) end = message.size();
    if (message.substr(start, end - start) == kTty) return true;
    start = end + 1;
  }
  return false;
}

namespace {

// A listing as one subscriber asked for it: the paths that other
// subscribers watch are not its ports.
PortMonitor::Scan ForSubscriber(const PortMonitor::Scan& scan, const std::vector<std::string>& own,
                                const std::vector<std::string>& extra) {
  PortMonitor::Scan mine;
  mine.error = scan.error;
  mine.number = scan.number;
  for (const auto& info : scan.present) {
    const auto listed = [&](const std::vector<std::string>& paths) {
      return std::find(paths.begin(), paths.end(), info.Name) != paths.end();
    };
    if (info.Source != TPortSource::psPath || listed(own) || listed(extra)) mine.present.push_back(info);
  }
  return mine;
}

}  // namespace

struct PortMonitor::State {
  // Serialises starting and stopping the thread; the thread never takes it.
  std::mutex lifecycle;
  // Guards everything below but the descriptors, which only the thread uses
  // once it runs (and Start before that).
  std::mutex mutex;
  struct Subscriber {
    Listener listener;
    std::vector<std::string> paths;
  };
  std::map<int, Subscriber> subscribers;
  int nextId = 1;
  bool stop = false;
  bool running = false;  // the thread is in its loop
  // Changes of the watched paths asked for, and applied by the thread.
  unsigned long watchRequests = 0;
  unsigned long watchesApplied = 0;
  std::condition_variable watchesUpdated;
  std::optional<Clock::time_point> rescanAt;
  unsigned long scanCount = 0;
  int sourceError = 0;
  std::thread thread;
  std::atomic<std::thread::id> threadId{};
  // Held while a listener runs, so that Unsubscribe can wait for it.
  std::mutex dispatch;
  std::atomic<unsigned long> wakeUps{0};

  int wakeFd = -1;
  int ueventFd = -1;
  int inotifyFd = -1;
  // What each inotify watch is for: the names in its directory that matter.
  std::map<int, std::set<std::string>> watchNames;

  State() {
    // Lives as long as the monitor, so waking never races a close.
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~State() {
    StopThread();
    if (wakeFd >= 0) close(wakeFd);
  }

  bool OnThread() const { return threadId.load() == std::this_thread::get_id(); }

  void Wake() const {
    if (wakeFd < 0) return;
    const std::uint64_t one = 1;
    // A full counter already wakes the thread; nothing else can fail here.
    [[maybe_unused]] const ssize_t n = write(wakeFd, &one, sizeof one);
  }

  void SetSourceError(int error) {
    {
      const std::lock_guard lock(mutex);
      sourceError = error;
    }
    ReportSourceErrorOnce(error);
  }

  // Called with `lifecycle` held.
  void StartThread() {
    StopThread();
    if (wakeFd < 0) throw EComPort(PortErr::EnumPortsFailed, EMFILE);
    {
      const std::lock_guard lock(mutex);
      sourceError = 0;
      rescanAt.reset();
    }
    ueventFd = OpenUeventSocket();
    if (ueventFd < 0) SetSourceError(errno);
    inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotifyFd < 0) SetSourceError(errno);
    {
      const std::lock_guard lock(mutex);
      stop = false;
      running = true;
      ++watchRequests;
    }
    thread = std::thread([this] { Run(); });
  }

  // Called with `lifecycle` held (or from the destructor), never on the thread.
  void StopThread() {
    if (!thread.joinable()) return;
    {
      const std::lock_guard lock(mutex);
      stop = true;
    }
    Wake();
    thread.join();
    for (int* fd : {&ueventFd, &inotifyFd}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    watchNames.clear();
  }

  std::vector<std::string> WatchedPaths() {
    std::vector<std::string> paths = ExtraPaths();
    const std::lock_guard lock(mutex);
    for (const auto& [id, subscriber] : subscribers)
      paths.insert(paths.end(), subscriber.paths.begin(), subscriber.paths.end());
    return paths;
  }

  // Watches the directory of each path (or the nearest one that exists, for
  // a directory yet to come) and the directory of what it leads to.
  void UpdateWatches() {
    if (inotifyFd < 0) return;
    std::map<std::string, std::set<std::string>> wanted;
    for (const auto& path : WatchedPaths()) {
      std::string dir = ParentPath(path);
      std::string name = LastPathPart(path);
      while (dir != "/" && !IsDirectory(dir)) {
        name = LastPathPart(dir);
        dir = ParentPath(dir);
      }
      wanted[dir].insert(name);
      char target[PATH_MAX];
      if (realpath(path.c_str(), target) != nullptr) wanted[ParentPath(target)].insert(LastPathPart(target));
    }
    std::map<int, std::set<std::string>> names;
    for (const auto& [dir, dirNames] : wanted) {
      // The same directory reached by two paths gives the same watch.
      const int wd = inotify_add_watch(inotifyFd, dir.c_str(), kWatchMask);
      if (wd < 0) continue;  // gone meanwhile: its parent's watch sees it come back
      names[wd].insert(dirNames.begin(), dirNames.end());
    }
    for (const auto& [wd, unused] : watchNames)
      if (names.find(wd) == names.end()) inotify_rm_watch(inotifyFd, wd);
    watchNames = std::move(names);
  }

  // Drains the uevent socket; true when a message concerned a tty.
  bool ReadUevents() {
    bool tty = false;
    char buffer[8192];
    for (;;) {
      const ssize_t n = recv(ueventFd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        tty = tty || IsTtyUevent(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return tty;
      if (n < 0 && errno == ENOBUFS) return true;  // messages were lost: look again
      // The socket broke (or its far end closed): stop reading it rather
      // than wake on it for ever.
      SetSourceError(n < 0 ? errno : EPIPE);
      close(ueventFd);
      ueventFd = -1;
      return true;
    }
  }

  // Drains inotify; true when a watched name changed.
  bool ReadInotify() {
    bool relevant = false;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      const ssize_t n = read(inotifyFd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return relevant;
      if (n <= 0) {
        SetSourceError(n < 0 ? errno : EIO);
        close(inotifyFd);
        inotifyFd = -1;
        watchNames.clear();
        return true;
      }
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
          relevant = true;
          continue;
        }
        const auto names = watchNames.find(event->wd);
        if (names != watchNames.end() && event->len > 0 && names->second.count(event->name) > 0) relevant = true;
      }
    }
  }

  Scan List() {
    Scan scan;
    {
      const std::lock_guard lock(mutex);
      scan.number = ++scanCount;
    }
    try {
      scan.present = ListPresentPorts(WatchedPaths());
    } catch (...) {
      scan.error = std::current_exception();
    }
    return scan;
  }

  void Dispatch(const Scan& scan) {
    std::vector<int> ids;
    {
      const std::lock_guard lock(mutex);
      for (const auto& [id, subscriber] : subscribers) ids.push_back(id);
    }
    const std::vector<std::string> extra = ExtraPaths();
    for (const int id : ids) {
      const std::lock_guard running(dispatch);
      Listener listener;
      std::vector<std::string> paths;
      {
        const std::lock_guard lock(mutex);
        const auto it = subscribers.find(id);
        if (it == subscribers.end()) continue;
        listener = it->second.listener;
        paths = it->second.paths;
      }
      try {
        listener(ForSubscriber(scan, paths, extra));
      } catch (...) {
        Runtime::ShowApplicationError(std::current_exception(), nullptr);
      }
    }
  }

  // One return from poll: reads what is there and lists again when a tty or
  // a watched name changed. False when the thread is to stop.
  bool HandleWakeUp(const pollfd (&fds)[3]) {
    bool rescan = false;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(wakeFd, &count, sizeof count);
    }
    if (fds[1].revents != 0) rescan = ReadUevents() || rescan;
    if (fds[2].revents != 0) rescan = ReadInotify() || rescan;
    {
      const std::lock_guard lock(mutex);
      if (stop) return false;
      if (rescanAt && Clock::now() >= *rescanAt) {
        rescanAt.reset();
        rescan = true;
      }
    }
    if (!rescan) return true;
    const Scan scan = List();
    UpdateWatches();  // a link may now lead elsewhere
    Dispatch(scan);
    return true;
  }

  // Makes the watches follow the paths asked for; true when it did anything.
  bool ApplyWatchRequests() {
    unsigned long requested;
    {
      const std::lock_guard lock(mutex);
      requested = watchRequests;
      if (requested == watchesApplied) return false;
    }
    UpdateWatches();
    {
      const std::lock_guard lock(mutex);
      watchesApplied = requested;
    }
    watchesUpdated.notify_all();
    return true;
  }

  // Until the thread watches the paths asked for so far: a change after
  // this is seen, one before it is in the caller's own listing.
  void WaitForWatches() {
    if (OnThread()) {
      ApplyWatchRequests();
      return;
    }
    std::unique_lock lock(mutex);
    const unsigned long requested = watchRequests;
    watchesUpdated.wait(lock, [&] { return watchesApplied >= requested || !running; });
  }

  void Run() {
    threadId = std::this_thread::get_id();
    for (;;) {
      int timeout = -1;
      {
        const std::lock_guard lock(mutex);
        if (stop) break;
        if (rescanAt) {
          const auto left = std::chrono::ceil<std::chrono::milliseconds>(*rescanAt - Clock::now()).count();
          timeout = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
        }
      }
      if (ApplyWatchRequests()) continue;  // more may have been asked meanwhile
      pollfd fds[3] = {{wakeFd, POLLIN, 0}, {ueventFd, POLLIN, 0}, {inotifyFd, POLLIN, 0}};
      const int ready = poll(fds, 3, timeout);
      if (ready < 0 && errno != EINTR) {
        // Only a lack of memory gets here; say so rather than spin.
        SetSourceError(errno);
        break;
      }
      if (!HandleWakeUp(fds)) break;
      ++wakeUps;
    }
    threadId = std::thread::id();
    {
      const std::lock_guard lock(mutex);
      running = false;
    }
    watchesUpdated.notify_all();
  }
};

PortMonitor::PortMonitor() : state_(std::make_shared<State>()) {}

PortMonitor::~PortMonitor() {
  const std::lock_guard lock(state_->lifecycle);
  state_->StopThread();
}

PortMonitor& PortMonitor::Shared() {
  static PortMonitor monitor;
  return monitor;
}

int PortMonitor::Subscribe(Listener listener, const std::vector<std::string>& paths, Scan& current) {
  State& s = *state_;
  int id;
  {
    const std::lock_guard life(s.lifecycle);
    bool running;
    {
      const std::lock_guard lock(s.mutex);
      running = s.thread.joinable() && !s.stop;
    }
    if (!running) s.StartThread();
    const std::lock_guard lock(s.mutex);
    id = s.nextId++;
    s.subscribers[id] = State::Subscriber{std::move(listener), paths};
    ++s.watchRequests;
  }
  s.Wake();
  s.WaitForWatches();
  // Listed after registering: a change from here on reaches the listener too,
  // so nothing falls between this listing and the first report.
  current = ForSubscriber(s.List(), paths, ExtraPaths());
  if (current.error) {
    Unsubscribe(id);
    std::rethrow_exception(current.error);
  }
  return id;
}

void PortMonitor::Unsubscribe(int id) {
  State& s = *state_;
  if (s.OnThread()) {
    // From a listener: the thread cannot wait for itself; it ends by itself
    // when nobody is left.
    const std::lock_guard lock(s.mutex);
    s.subscribers.erase(id);
    if (s.subscribers.empty()) s.stop = true;
    return;
  }
  const std::lock_guard life(s.lifecycle);
  bool empty;
  {
    const std::lock_guard lock(s.mutex);
    s.subscribers.erase(id);
    empty = s.subscribers.empty();
    ++s.watchRequests;
  }
  { const std::lock_guard waitForListener(s.dispatch); }
  if (empty)
    s.StopThread();
  else
    s.Wake();
}

void PortMonitor::RescanAfter(std::chrono::milliseconds delay) {
  State& s = *state_;
  {
    const std::lock_guard lock(s.mutex);
    const auto at = Clock::now() + delay;
    if (!s.rescanAt || at < *s.rescanAt) s.rescanAt = at;
  }
  s.Wake();
}

int PortMonitor::SourceError() const {
  const std::lock_guard lock(state_->mutex);
  return state_->sourceError;
}

unsigned long PortMonitor::WakeUps() const { return state_->wakeUps.load(); }

void PortMonitor::SetUeventSocketOpener(SocketOpener opener) {
  const std::lock_guard lock(gOpenerMutex);
  gOpener = std::move(opener);
}

}  // namespace CPort::Detail
