// Threads and memory per open port: a fresh child process makes its ptys and
// opens one port of the given kind on each. Its thread count and resident set
// are noted once the first port is open (the library has then set up what it
// needs once per process) and again once all are open and settled; the
// growth divided by the further ports is what one open port costs.
#include <cstdio>
#include <memory>
#include <thread>

#include "bench.h"

namespace bench {

namespace {

long gThreadsFirst = 0;
long gRssFirst = 0;

void Opened(std::size_t count) {
  // Whatever a library starts lazily has had its moment by now.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const long threads = ProcStatus("Threads:");
  const long rss = ProcStatus("VmRSS:");
  if (count == 1) {
    gThreadsFirst = threads;
    gRssFirst = rss;
    return;
  }
  const double further = static_cast<double>(count - 1);
  std::printf("threads=%.3f rss_kib=%.2f\n", static_cast<double>(threads - gThreadsFirst) / further,
              static_cast<double>(rss - gRssFirst) / further);
  std::fflush(stdout);
}

}  // namespace

int ChildHold(const std::string& kind, int ports) {
  Check(ports >= 2, "threads and memory per port need at least 2 ports");
  std::vector<std::unique_ptr<Pty>> ptys;
  std::vector<std::unique_ptr<SpLink>> links;
  std::vector<std::string> paths;
  for (int i = 0; i < ports; ++i) {
    ptys.push_back(std::make_unique<Pty>());
    if (kind == "sp") {
      links.push_back(std::make_unique<SpLink>(ptys.back()->SlavePath()));
      paths.push_back(links.back()->Path());
    } else {
      paths.push_back(ptys.back()->SlavePath());
    }
  }
  if (kind == "raw") HoldRaw(paths, Opened);
  else if (kind == "port") HoldPort(paths, Opened);
  else if (kind == "sp") HoldSp(paths, Opened);
  else if (kind == "qt") HoldQt(paths, Opened);
  else if (kind == "asio") HoldAsio(paths, Opened);
  else Fail("unknown kind of port " + kind);
  return 0;
}

}  // namespace bench
