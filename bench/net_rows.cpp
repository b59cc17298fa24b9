// cport_net_bench: a serial device on another machine, served by ser2net on
// 127.0.0.1 (chardelay off) from a pseudo-terminal, reached three ways in
// one run:
//   port     this library's rfc2217:// port (TComPort, synchronous calls)
//   pyserial pySerial's rfc2217:// client (?ign_set_control: ser2net never
//            answers DTR/RTS on a pty, which pySerial otherwise fails on)
//   raw      a plain TCP socket to ser2net's tcp accepter on the same device
// Per contender: round trip p50 (one byte out, echoed by the device, back
// in) and receive throughput (the device sends as fast as it can; first
// byte to last). Contenders are interleaved, their order rotated, and the
// table shows medians over the repetitions and the port's ratios to the
// other two within the same run.
//
// Usage: cport_net_bench [--reps N] [--trips N] [--bytes N]
// Needs ser2net and python3 with pySerial (scripts/install-deps.sh).
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CPort/ComPort.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double roundTripP50Us = 0;
  double mibPerSecond = 0;
};

struct Settings {
  int reps = 5;
  int trips = 2000;
  int warmup = 200;
  std::size_t bytes = 1 << 20;
};

// Ends the run; main reports it after the destructors have stopped ser2net
// and the clients.
[[noreturn]] void Fail(const std::string& what) { throw std::logic_error(what); }

// A contender's connection that did not work out; the run is tried again.
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double MibPerSecond(std::size_t bytes, Clock::duration took) {
  return static_cast<double>(bytes) / (1 << 20) / std::chrono::duration<double>(took).count();
}

// ---- the device: a pty whose master echoes or sends ---------------------------

class Device {
 public:
  Device() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) Fail("openpty");
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    fcntl(master_, F_SETFL, O_NONBLOCK);
    // Kept open so that the master never sees a hang-up between clients.
    heldSlave_ = slave;
    path_ = name;
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~Device() {
    Stop();
    close(master_);
    close(heldSlave_);
    close(stop_);
  }
  const std::string& Path() const { return path_; }

  void Echo() {
    Start([this] {
      char buffer[4096];
      while (Wait(POLLIN)) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) continue;
        for (ssize_t done = 0; done < n;) {
          const ssize_t w = write(master_, buffer + done, static_cast<std::size_t>(n - done));
          if (w > 0) done += w;
          else if (!Wait(POLLOUT)) return;
        }
      }
    });
  }
  // Sends `bytes` bytes (every value, 0xFF included) as fast as the pty takes them.
  void Send(std::size_t bytes) {
    Start([this, bytes] {
      std::vector<char> pattern(4096);
      for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i);
      for (std::size_t done = 0; done < bytes;) {
        const std::size_t n = std::min(pattern.size(), bytes - done);
        const ssize_t w = write(master_, pattern.data(), n);
        if (w > 0) done += static_cast<std::size_t>(w);
        else if (!Wait(POLLOUT)) return;
      }
    });
  }
  void Stop() {
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    // Cannot fail on an eventfd this object owns; the thread's waits end
    // after 10 s at the latest anyway.
    [[maybe_unused]] const ssize_t ignored = write(stop_, &one, sizeof one);
    thread_.join();
    std::uint64_t count = 0;
    if (read(stop_, &count, sizeof count) < 0) {
    }
    // Whatever a contender left unread goes before the next one.
    tcflush(master_, TCIOFLUSH);
  }

 private:
  void Start(std::function<void()> body) {
    Stop();
    thread_ = std::thread(std::move(body));
  }
  bool Wait(short events) {
    pollfd fds[2] = {{master_, events, 0}, {stop_, POLLIN, 0}};
    if (poll(fds, 2, 10000) <= 0) return false;
    return (fds[1].revents & POLLIN) == 0;
  }
  int master_ = -1;
  int heldSlave_ = -1;
  int stop_ = -1;
  std::string path_;
  std::thread thread_;
};

// ---- processes ------------------------------------------------------------------

std::string FindProgram(const std::string& name) {
  std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/usr/bin";
  std::istringstream list(dirs);
  for (std::string dir; std::getline(list, dir, ':');) {
    const std::string path = dir + "/" + name;
    if (!dir.empty() && access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

pid_t Spawn(const std::vector<std::string>& argv, int stdoutFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  else posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) Fail("cannot start " + argv[0]);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool Listening(int port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

// ser2net with an rfc2217 accepter on `port` and a plain tcp one on port+1.
class Ser2Net {
 public:
  explicit Ser2Net(const std::string& device) {
    port_ = 21217;
    while (Listening(port_) || Listening(port_ + 1)) port_ += 2;
    char dir[] = "/tmp/cport-net-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) Fail("mkdtemp");
    dir_ = dir;
    std::ofstream config(dir_ + "/ser2net.yaml");
    for (const auto& [name, accepter, port] :
         {std::tuple{"rfc2217", "telnet(rfc2217),tcp", port_}, std::tuple{"raw", "tcp", port_ + 1}}) {
      config << "connection: &" << name << "\n  accepter: " << accepter << ",127.0.0.1," << port
             << "\n  connector: serialdev," << device << ",9600n81,local\n  options:\n    chardelay: false\n";
    }
    config.close();
    const std::string program = FindProgram("ser2net");
    if (program.empty()) Fail("ser2net is not installed");
    pid_ = Spawn({program, "-n", "-d", "-c", dir_ + "/ser2net.yaml"}, -1);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!Listening(port_) || !Listening(port_ + 1)) {
      if (Clock::now() > deadline) Fail("ser2net did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Ser2Net() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    std::remove((dir_ + "/ser2net.yaml").c_str());
    rmdir(dir_.c_str());
  }
  int Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
};

// ---- contenders -----------------------------------------------------------------

Figures Port(Device& device, int port, const Settings& s) {
  CPort::TComPort com;
  com.SetPort("rfc2217://127.0.0.1:" + std::to_string(port));
  com.SetEvents({});
  CPort::TComTimeouts timeouts;
  timeouts.SetReadInterval(0);
  timeouts.SetReadTotalMultiplier(0);
  timeouts.SetReadTotalConstant(10000);
  com.SetTimeouts(timeouts);
  CPort::TComBuffer buffer;
  buffer.SetInputSize(65536);
  com.SetBuffer(buffer);
  com.OpenPort();
  Figures f;
  device.Echo();
  std::vector<double> micros;
  char byte = 0;
  for (int i = 0; i < s.warmup + s.trips; ++i) {
    const Clock::time_point t0 = Clock::now();
    if (com.SendText(std::string(1, static_cast<char>(i))) != 1) throw Refused("port: SendText");
    if (com.ReceiveBytes(&byte, 1) != 1) throw Refused("port: no echo");
    if (i >= s.warmup) micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  f.roundTripP50Us = Median(micros);
  device.Send(s.bytes);
  std::vector<char> data(65536);
  std::size_t got = 0;
  Clock::time_point first;
  while (got < s.bytes) {
    const std::int32_t want = static_cast<std::int32_t>(std::min(data.size(), s.bytes - got));
    const std::int32_t n = com.ReceiveBytes(data.data(), got == 0 ? 1 : want);
    if (n <= 0) throw Refused("port: receive stalled");
    if (got == 0) first = Clock::now();
    got += static_cast<std::size_t>(n);
  }
  f.mibPerSecond = MibPerSecond(s.bytes - 1, Clock::now() - first);
  device.Stop();
  com.ClosePort();
  return f;
}

// Closes a descriptor on every way out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

Figures Raw(Device& device, int port, const Settings& s) {
  const Descriptor socketFd{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  const int fd = socketFd.fd;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw Refused("raw: connect");
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  auto readSome = [&](char* buffer, std::size_t count) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) throw Refused("raw: no data");
    const ssize_t n = recv(fd, buffer, count, 0);
    if (n <= 0) throw Refused("raw: connection ended");
    return static_cast<std::size_t>(n);
  };
  Figures f;
  device.Echo();
  std::vector<double> micros;
  for (int i = 0; i < s.warmup + s.trips; ++i) {
    const char out = static_cast<char>(i);
    char in = 0;
    const Clock::time_point t0 = Clock::now();
    if (send(fd, &out, 1, MSG_NOSIGNAL) != 1) throw Refused("raw: send");
    readSome(&in, 1);
    if (i >= s.warmup) micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  f.roundTripP50Us = Median(micros);
  device.Send(s.bytes);
  std::vector<char> data(65536);
  std::size_t got = readSome(data.data(), 1);
  const Clock::time_point first = Clock::now();
  while (got < s.bytes) got += readSome(data.data(), std::min(data.size(), s.bytes - got));
  f.mibPerSecond = MibPerSecond(s.bytes - 1, Clock::now() - first);
  device.Stop();
  return f;
}

// The same two measurements written with pySerial; prints "P50_US MIB_S".
const char* const kPySerialClient = R"(
import sys, time, serial
url, trips, warmup, total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
s = serial.serial_for_url(url, timeout=10)
print("echo", flush=True); sys.stdin.readline()
times = []
for i in range(warmup + trips):
    b = bytes([i & 255])
    t0 = time.perf_counter()
    s.write(b)
    if len(s.read(1)) != 1: sys.exit("no echo")
    if i >= warmup: times.append((time.perf_counter() - t0) * 1e6)
times.sort()
print("send", flush=True); sys.stdin.readline()
got = len(s.read(1))
t0 = time.perf_counter()
while got < total:
    n = len(s.read(min(65536, total - got)))
    if n == 0: sys.exit("receive stalled")
    got += n
took = time.perf_counter() - t0
print(times[len(times) // 2], (total - 1) / 1048576 / took, flush=True)
s.close()
)";

Figures PySerial(Device& device, int port, const Settings& s, const std::string& python) {
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) Fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(port) + "?ign_set_control";
  std::vector<std::string> argv = {python,          "-c", kPySerialClient, url, std::to_string(s.trips),
                                   std::to_string(s.warmup), std::to_string(s.bytes)};
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) Fail("cannot start python3");
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  FILE* out = fdopen(fromChild[0], "r");
  // On every way out: the pipes closed, the client stopped by its PID.
  struct Client {
    FILE* out;
    int in;
    pid_t pid;
    ~Client() {
      fclose(out);
      close(in);
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } client{out, toChild[1], pid};
  auto expect = [&](const char* word) {
    char line[256] = {};
    if (std::fgets(line, sizeof line, out) == nullptr || std::strncmp(line, word, std::strlen(word)) != 0) {
      throw Refused(std::string("pySerial client: expected ") + word);
    }
  };
  auto go = [&] {
    if (write(toChild[1], "\n", 1) != 1) throw Refused("pySerial client: pipe");
  };
  expect("echo");
  device.Echo();
  go();
  expect("send");
  device.Send(s.bytes);
  go();
  Figures f;
  if (std::fscanf(out, "%lf %lf", &f.roundTripP50Us, &f.mibPerSecond) != 2) throw Refused("pySerial client: no figures");
  device.Stop();
  int status = 0;
  waitpid(pid, &status, 0);
  client.pid = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw Refused("pySerial client failed");
  return f;
}

std::string PythonWithPySerial() {
  for (const std::string& candidate : {std::string("/usr/bin/python3"), FindProgram("python3")}) {
    if (candidate.empty()) continue;
    const pid_t pid = Spawn({candidate, "-c", "import serial.rfc2217"}, -1);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) return candidate;
  }
  Fail("python3 with pySerial is not installed");
}

}  // namespace

int Run(int argc, char** argv) {
  Settings s;
  // A pySerial client that died must fail its run, not end this program.
  signal(SIGPIPE, SIG_IGN);
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const long value = std::strtol(argv[i + 1], nullptr, 10);
    if (value <= 0) Fail("bad value for " + option);
    if (option == "--reps") s.reps = static_cast<int>(value);
    else if (option == "--trips") s.trips = static_cast<int>(value);
    else if (option == "--bytes") s.bytes = static_cast<std::size_t>(value);
    else Fail("unknown option " + option);
  }
  const std::string python = PythonWithPySerial();
  Device device;
  Ser2Net server(device.Path());

  struct Contender {
    const char* name;
    std::function<Figures()> run;
    std::vector<double> trips, rates;
  };
  std::vector<Contender> contenders = {
      {"port rfc2217://", [&] { return Port(device, server.Port(), s); }, {}, {}},
      {"pySerial rfc2217://", [&] { return PySerial(device, server.Port(), s, python); }, {}, {}},
      {"raw TCP socket", [&] { return Raw(device, server.Port() + 1, s); }, {}, {}},
  };
  std::vector<double> tripVsPy, tripVsRaw, rateVsPy, rateVsRaw;
  for (int rep = 0; rep < s.reps; ++rep) {
    Figures got[3];
    for (int k = 0; k < 3; ++k) {
      const int which = (rep + k) % 3;
      // ser2net lets the next client have the device once it has closed it
      // for the last one; a client that comes too early is hung up on.
      for (int attempt = 1;; ++attempt) {
        try {
          got[which] = contenders[static_cast<std::size_t>(which)].run();
          break;
        } catch (const std::logic_error&) {
          throw;
        } catch (const std::exception& e) {
          device.Stop();
          if (attempt == 5) Fail(std::string(contenders[static_cast<std::size_t>(which)].name) + ": " + e.what());
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
      }
    }
    for (int k = 0; k < 3; ++k) {
      contenders[static_cast<std::size_t>(k)].trips.push_back(got[k].roundTripP50Us);
      contenders[static_cast<std::size_t>(k)].rates.push_back(got[k].mibPerSecond);
    }
    tripVsPy.push_back(got[0].roundTripP50Us / got[1].roundTripP50Us);
    tripVsRaw.push_back(got[0].roundTripP50Us / got[2].roundTripP50Us);
    rateVsPy.push_back(got[0].mibPerSecond / got[1].mibPerSecond);
    rateVsRaw.push_back(got[0].mibPerSecond / got[2].mibPerSecond);
  }
  std::printf("through ser2net on 127.0.0.1, chardelay off; medians of %d runs (%d round trips, %zu bytes received)\n",
              s.reps, s.trips, s.bytes);
  std::printf("%-22s %20s %24s\n", "contender", "round trip p50 (us)", "receive (MiB/s)");
  for (const Contender& c : contenders) std::printf("%-22s %20.1f %24.2f\n", c.name, Median(c.trips), Median(c.rates));
  std::printf("%-22s %20.2f %24.2f\n", "port / pySerial", Median(tripVsPy), Median(rateVsPy));
  std::printf("%-22s %20.2f %24.2f\n", "port / raw", Median(tripVsRaw), Median(rateVsRaw));
  // Reported, never asserted: a busy machine says little.
  const double trip = Median(tripVsRaw);
  std::printf("goal: port rfc2217:// round trip p50 <= 1.2 x the raw socket: %.2f, %s\n", trip,
              trip <= 1.2 ? "met" : "MISSED");
  return 0;
}

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cport_net_bench: %s\n", e.what());
    return 1;
  }
}
