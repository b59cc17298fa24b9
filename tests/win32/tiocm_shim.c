/* LD_PRELOAD shim for Wine's serial layer on pseudo-terminals: a pty has no
 * modem lines, so TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC fail with ENOTTY, and
 * Wine then fails GetCommModemStatus, EscapeCommFunction and every
 * WaitCommEvent. Where the kernel refuses them, this answers them from a
 * small per-descriptor record of the lines (DTR and RTS as set, CTS, DSR and
 * CD on), so that the rest of Wine's serial code can be tested on a pty.
 * Everything else goes to the real ioctl unchanged. A test tool, built for
 * the host and preloaded into wine64 by the Windows test stage. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

#define MAX_FDS 1024
static int lines[MAX_FDS];
static unsigned char known[MAX_FDS];

typedef int (*ioctl_fn)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  const int result = real(fd, request, argument);
  if (result == 0 || errno != ENOTTY || fd < 0 || fd >= MAX_FDS) return result;
  if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC) return result;
  if (!known[fd]) {
    lines[fd] = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
    known[fd] = 1;
  }
  int* value = (int*)argument;
  const int settable = TIOCM_DTR | TIOCM_RTS;
  switch (request) {
    case TIOCMGET: *value = lines[fd]; break;
    case TIOCMSET: lines[fd] = (lines[fd] & ~settable) | (*value & settable); break;
    case TIOCMBIS: lines[fd] |= *value & settable; break;
    case TIOCMBIC: lines[fd] &= ~(*value & settable); break;
  }
  errno = 0;
  return 0;
}
