// Counting the threads of the test process, for tests that show a transfer
// or a port starts none.
#pragma once

#include <dirent.h>

#include <chrono>
#include <thread>

#include "CPort/platform/unattended_driver_p.h"

namespace thread_count {

inline int ThreadsOfThisProcess() {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count;
}

// The unattended driver lingers a moment after its last use by an earlier
// test; waits (within a generous limit) until it has gone.
inline bool UnattendedDriverGone() {
  namespace UnattendedDriver = CPort::Platform::UnattendedDriver;
  for (int i = 0; i < 500 && UnattendedDriver::RunningThreads() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return UnattendedDriver::RunningThreads() == 0;
}

}  // namespace thread_count
