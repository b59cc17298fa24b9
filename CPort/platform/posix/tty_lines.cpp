#include "tty_lines_p.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace CPort::Platform {

int ReadModemLines(int fd, int& lines) {
  return ioctl(fd, TIOCMGET, &lines) == 0 ? 0 : errno;
}

int ReadLineCounters(int fd, LineCounters& counters) {
  serial_icounter_struct raw{};
  if (ioctl(fd, TIOCGICOUNT, &raw) != 0) return errno;
  counters.cts = raw.cts;
  counters.dsr = raw.dsr;
  counters.rng = raw.rng;
  counters.dcd = raw.dcd;
  counters.frame = raw.frame;
  counters.overrun = raw.overrun;
  counters.parity = raw.parity;
  counters.brk = raw.brk;
  counters.bufferOverrun = raw.buf_overrun;
  return 0;
}

int SetControlLines(int fd, bool dtr, bool rts) {
  const int dtrBit = TIOCM_DTR;
  const int rtsBit = TIOCM_RTS;
  if (ioctl(fd, dtr ? TIOCMBIS : TIOCMBIC, &dtrBit) != 0) return errno;
  if (ioctl(fd, rts ? TIOCMBIS : TIOCMBIC, &rtsBit) != 0) return errno;
  return 0;
}

DWORD ModemStatusBits(int lines) {
  DWORD status = 0;
  if ((lines & TIOCM_CTS) != 0) status |= MS_CTS_ON;
  if ((lines & TIOCM_DSR) != 0) status |= MS_DSR_ON;
  if ((lines & TIOCM_RNG) != 0) status |= MS_RING_ON;
  if ((lines & TIOCM_CAR) != 0) status |= MS_RLSD_ON;
  return status;
}

DWORD LineChangeEvents(int linesBefore, int linesAfter) {
  const int changed = linesBefore ^ linesAfter;
  DWORD events = 0;
  if ((changed & TIOCM_CTS) != 0) events |= EV_CTS;
  if ((changed & TIOCM_DSR) != 0) events |= EV_DSR;
  if ((changed & TIOCM_CAR) != 0) events |= EV_RLSD;
  if ((changed & TIOCM_RNG) != 0 && (linesAfter & TIOCM_RNG) == 0) events |= EV_RING;
  return events;
}

DWORD LineChangeEvents(const LineCounters& before, const LineCounters& after) {
  DWORD events = 0;
  if (after.cts != before.cts) events |= EV_CTS;
  if (after.dsr != before.dsr) events |= EV_DSR;
  if (after.dcd != before.dcd) events |= EV_RLSD;
  if (after.rng != before.rng) events |= EV_RING;
  return events;
}

DWORD LineErrorsBetween(const LineCounters& before, const LineCounters& after) {
  DWORD errors = 0;
  if (after.frame != before.frame) errors |= CE_FRAME;
  if (after.parity != before.parity) errors |= CE_RXPARITY;
  if (after.overrun != before.overrun) errors |= CE_OVERRUN;
  if (after.bufferOverrun != before.bufferOverrun) errors |= CE_RXOVER;
  return errors;
}

}  // namespace CPort::Platform
