// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// Modem lines and the serial driver's event counters (TIOCMGET, TIOCGICOUNT)
// turned into the Windows MS_*, EV_* and CE_* bits. Ptys and some drivers
// have neither: they answer ENOTTY.
#pragma once

#include "win_comm.h"

namespace CPort::Platform {

// The driver's running counts of line events since the port was opened.
struct LineCounters {
  int cts = 0, dsr = 0, rng = 0, dcd = 0;
  int frame = 0, overrun = 0, parity = 0, brk = 0, bufferOverrun = 0;
};

// TIOCMGET. Returns 0 or the errno; `lines` holds TIOCM_* bits.
int ReadModemLines(int fd, int& lines);
// TIOCGICOUNT. Returns 0 or the errno.
int ReadLineCounters(int fd, LineCounters& counters);
// Raises or drops DTR and RTS (TIOCMBIS/TIOCMBIC). Returns 0 or the errno.
int SetControlLines(int fd, bool dtr, bool rts);

// TIOCM_* bits to MS_*_ON bits.
DWORD ModemStatusBits(int lines);

// EV_CTS / EV_DSR / EV_RLSD / EV_RING for what happened between two looks at
// the lines. With counters, every edge counts (also a pulse that is over by
// the second look); without, the two states are compared. Ring is reported
// at the end of a ring pulse, as a 16550's trailing-edge detector does.
DWORD LineChangeEvents(int linesBefore, int linesAfter);
DWORD LineChangeEvents(const LineCounters& before, const LineCounters& after);

// CE_FRAME / CE_RXPARITY / CE_OVERRUN / CE_RXOVER counted between two looks.
// Breaks are left out: the input stream marks them.
DWORD LineErrorsBetween(const LineCounters& before, const LineCounters& after);

}  // namespace CPort::Platform
