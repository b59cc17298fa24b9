// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// Which transfers their caller waits for at once (see BeginAwaitedTransfers
// in win_comm.h). A transfer started inside such a stretch and left pending
// needs no unattended driving: its caller is about to lead its device
// itself. The engines that left such a transfer pending are noted, so that
// whatever is still pending when the stretch ends is handed to the
// unattended driver after all.
#pragma once

#include <memory>

namespace CPort::Platform {

class CommEngine;

namespace AwaitedTransfers {

// True inside a BeginAwaitedTransfers/EndAwaitedTransfers stretch of the
// calling thread.
bool Active();
// An engine left a transfer of this thread pending as awaited.
void Note(const std::shared_ptr<CommEngine>& engine);

}  // namespace AwaitedTransfers
}  // namespace CPort::Platform
