// No system message loop on POSIX (see main_thread_loop_p.h).
#include "main_thread_loop_p.h"

namespace CPort::Platform {

void AttachMainThreadLoop() {}

}  // namespace CPort::Platform
