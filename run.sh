#!/usr/bin/env bash
# Installs what is missing, builds, starts the demo device on a
# pseudo-terminal and opens the terminal window with the demo device in its
# port list. The demo device stops when the window closes.
#
#   ./run.sh            the demo device stays plugged in
#   ./run.sh --replug   it is unplugged and plugged in again, over and over
#                       (8 s in, 4 s out; KELVAT_DEMO_REPLUG=UP,DOWN in ms
#                       changes that): pick it once and watch the window
#                       lose it and take it back by itself
set -euo pipefail
cd "$(dirname "$0")"

replug=
case "${1:-}" in
  "") ;;
  --replug) replug=${KELVAT_DEMO_REPLUG:-8000,4000} ;;
  *) echo "usage: $0 [--replug]" >&2; exit 2 ;;
esac

./scripts/install-deps.sh
./scripts/build.sh build

# The demo device prints the path of its pty (or of its link) on its first
# line. Replugged, it lives behind a link, which is what the port list names.
demo_args=()
link_dir=
if [ -n "$replug" ]; then
  link_dir=$(mktemp -d "${TMPDIR:-/tmp}/kelvat-demo.XXXXXX")
  demo_args=(--link "$link_dir/demo-device" --replug "$replug")
fi
coproc DEMO { exec ./build/bin/demo_device "${demo_args[@]}"; }
demo_pid=$DEMO_PID
trap 'kill "$demo_pid" 2>/dev/null || true; wait "$demo_pid" 2>/dev/null || true; [ -z "$link_dir" ] || rm -rf "$link_dir"' EXIT
if ! read -r -t 10 demo_path <&"${DEMO[0]}" || [ -z "$demo_path" ]; then
  echo "run.sh: the demo device did not start" >&2
  exit 1
fi
echo "Demo device on $demo_path (listed in the port selector)"
[ -z "$replug" ] || echo "It is unplugged and plugged in again (in,out ms: $replug); pick it once."
export CPORT_EXTRA_PORTS="$demo_path${CPORT_EXTRA_PORTS:+:$CPORT_EXTRA_PORTS}"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: running the window under xvfb-run (a virtual X server)."
  echo "The window is not visible there; press Ctrl+C to stop."
  xvfb-run -a ./build/bin/kelvat-commport
else
  ./build/bin/kelvat-commport
fi
