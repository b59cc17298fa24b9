#include "net_connector.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace CPort::Platform {

namespace {

using Clock = std::chrono::steady_clock;

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const {
    if (list != nullptr) freeaddrinfo(list);
  }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// A resolver call that may outlive the caller's patience: the helper thread
// owns its share and frees the result if nobody takes it.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int result = 0;
  int systemError = 0;
  AddrInfoList list;
};

addrinfo Hints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = flags | AI_NUMERICSERV;
  return hints;
}

int ResolverErrno(int result, int systemError) {
  switch (result) {
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_FAMILY:
    case EAI_SERVICE: return ENOENT;
    case EAI_AGAIN: return ETIMEDOUT;
    case EAI_MEMORY: return ENOMEM;
    case EAI_SYSTEM: return systemError != 0 ? systemError : EIO;
    default: return EIO;
  }
}

std::string ResolverText(int result, int systemError) {
  return result == EAI_SYSTEM ? std::strerror(systemError) : gai_strerror(result);
}

// Resolves `host`, a literal address at once, a name within `limit`.
int Resolve(const std::string& host, const std::string& service, std::chrono::milliseconds limit,
            AddrInfoList& list, std::string& detail) {
  const addrinfo numericHints = Hints(AI_NUMERICHOST);
  addrinfo* numeric = nullptr;
  if (getaddrinfo(host.c_str(), service.c_str(), &numericHints, &numeric) == 0) {
    list.reset(numeric);
    return 0;
  }
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host, service] {
      const addrinfo hints = Hints(0);
      addrinfo* found = nullptr;
      const int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
      const int systemError = errno;
      std::lock_guard lock(lookup->mutex);
      lookup->result = result;
      lookup->systemError = systemError;
      lookup->list.reset(found);
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error& error) {
    detail = "resolving " + host + ": " + error.what();
    return error.code().value() != 0 ? error.code().value() : EAGAIN;
  }
  std::unique_lock lock(lookup->mutex);
  if (!lookup->done.wait_for(lock, limit, [&] { return lookup->finished; })) {
    detail = "resolving " + host + " took longer than " + std::to_string(limit.count()) + " ms";
    return ETIMEDOUT;
  }
  if (lookup->result != 0) {
    detail = "resolving " + host + ": " + ResolverText(lookup->result, lookup->systemError);
    return ResolverErrno(lookup->result, lookup->systemError);
  }
  list = std::move(lookup->list);
  return 0;
}

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return std::string("[") + text + "]";
  }
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  return text;
}

// A non-blocking connect awaited until `deadline`. Returns 0 or an errno.
int ConnectOne(int fd, const addrinfo& address, Clock::time_point deadline) {
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
  // EINTR leaves the connect going on in the background, like EINPROGRESS.
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (ready == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
  }
}

void TuneSocket(int fd) {
  // Best effort: a socket without them still carries the data.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  const int idleSeconds = 10, intervalSeconds = 5, probes = 4;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

}  // namespace

int ConnectTcp(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit, int& error,
               std::string& detail) {
  const Clock::time_point deadline = Clock::now() + limit;
  const std::string service = std::to_string(port);
  AddrInfoList list;
  if (const int code = Resolve(host, service, limit, list, detail); code != 0) {
    error = code;
    return -1;
  }
  error = ENOENT;
  detail.clear();
  for (const addrinfo* address = list.get(); address != nullptr; address = address->ai_next) {
    const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            address->ai_protocol);
    int code = fd < 0 ? errno : ConnectOne(fd, *address, deadline);
    if (code == 0) {
      TuneSocket(fd);
      error = 0;
      detail.clear();
      return fd;
    }
    if (fd >= 0) ::close(fd);
    if (!detail.empty()) detail += "; ";
    detail += "connecting to " + AddressText(address->ai_addr) + " port " + service + ": ";
    detail += code == ETIMEDOUT ? "no answer within " + std::to_string(limit.count()) + " ms" : std::strerror(code);
    error = code;
    if (Clock::now() >= deadline) break;
  }
  return -1;
}

}  // namespace CPort::Platform
