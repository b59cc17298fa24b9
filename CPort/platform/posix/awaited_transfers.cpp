// Transfers their caller waits for at once (see awaited_transfers_p.h).
#include "awaited_transfers_p.h"

#include <vector>

#include "comm_engine_p.h"
#include "win_comm.h"

namespace CPort::Platform {

namespace {

struct Stretch {
  int depth = 0;
  std::vector<std::weak_ptr<CommEngine>> engines;  // kept small: usually one
};

Stretch& ThisThread() {
  thread_local Stretch stretch;
  return stretch;
}

}  // namespace

bool AwaitedTransfers::Active() { return ThisThread().depth > 0; }

void AwaitedTransfers::Note(const std::shared_ptr<CommEngine>& engine) {
  Stretch& stretch = ThisThread();
  for (const auto& noted : stretch.engines) {
    if (noted.lock() == engine) return;
  }
  stretch.engines.push_back(engine);
}

void BeginAwaitedTransfers() { ++ThisThread().depth; }

void EndAwaitedTransfers() {
  Stretch& stretch = ThisThread();
  if (stretch.depth == 0 || --stretch.depth > 0) return;
  // Normally the caller has waited and nothing is left; whatever is still
  // pending now is nobody's to drive but the unattended driver's.
  std::vector<std::weak_ptr<CommEngine>> engines;
  engines.swap(stretch.engines);
  for (const auto& noted : engines) {
    if (const auto engine = noted.lock()) engine->ReleaseAwaited();
  }
  engines.clear();
  if (stretch.engines.empty()) stretch.engines.swap(engines);  // keeps the storage
}

}  // namespace CPort::Platform
