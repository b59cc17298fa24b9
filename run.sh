#!/usr/bin/env bash
# Installs what is missing, builds, starts the demo device on a
# pseudo-terminal and opens the terminal window with the demo device in its
# port list. The demo device stops when the window closes.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
./scripts/build.sh build

# The demo device prints the path of its pty on its first line.
coproc DEMO { exec ./build/bin/demo_device; }
demo_pid=$DEMO_PID
trap 'kill "$demo_pid" 2>/dev/null || true; wait "$demo_pid" 2>/dev/null || true' EXIT
if ! read -r -t 10 demo_path <&"${DEMO[0]}" || [ -z "$demo_path" ]; then
  echo "run.sh: the demo device did not start" >&2
  exit 1
fi
echo "Demo device on $demo_path (listed in the port selector)"
export CPORT_EXTRA_PORTS="$demo_path${CPORT_EXTRA_PORTS:+:$CPORT_EXTRA_PORTS}"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: running the window under xvfb-run (a virtual X server)."
  echo "The window is not visible there; press Ctrl+C to stop."
  xvfb-run -a ./build/bin/kelvat-commport
else
  ./build/bin/kelvat-commport
fi
