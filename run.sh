#!/usr/bin/env bash
# Installs what is missing, builds, starts the demo instrument on a
# pseudo-terminal and opens the terminal window with the demo device in its
# port list. The demo device stops when the window closes.
#
#   ./run.sh            the demo device's pseudo-terminal in the port list
#   ./run.sh --replug   it is unplugged and plugged in again, over and over
#                       (8 s in, 4 s out; KELVAT_DEMO_REPLUG=UP,DOWN in ms
#                       changes that): pick it once and watch the window
#                       lose it and take it back by itself
#   ./run.sh --ser2net  also serves the demo device through ser2net on
#                       127.0.0.1 and lists it as rfc2217://127.0.0.1:PORT
#                       and socket://127.0.0.1:PORT+1 (the same device over
#                       the network; pick either, one client at a time)
set -euo pipefail
cd "$(dirname "$0")"

replug=
serve=false
for arg in "$@"; do
  case "$arg" in
    --replug) replug=${KELVAT_DEMO_REPLUG:-8000,4000} ;;
    --ser2net) serve=true ;;
    *) echo "usage: ./run.sh [--replug] [--ser2net]" >&2; exit 2 ;;
  esac
done
if [ -n "$replug" ] && $serve; then
  echo "run.sh: --replug and --ser2net do not go together (ser2net holds the pty path it opened)" >&2
  exit 2
fi

./scripts/install-deps.sh
./scripts/build.sh build

pids=()
workdir=""
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  if [ -n "$workdir" ]; then rm -rf "$workdir"; fi
}
trap cleanup EXIT

# The demo device prints the path of its pty (or of its link) on its first
# line. Replugged, it lives behind a link, which is what the port list names.
# The window ends each batch it shows with CR LF itself.
demo_args=(--no-line-end)
if [ -n "$replug" ]; then
  workdir=$(mktemp -d "${TMPDIR:-/tmp}/kelvat-demo.XXXXXX")
  demo_args+=(--link "$workdir/demo-device" --replug "$replug")
fi
coproc DEMO { exec ./build/bin/demo_device "${demo_args[@]}"; }
pids+=("$DEMO_PID")
if ! read -r -t 10 demo_path <&"${DEMO[0]}" || [ -z "$demo_path" ]; then
  echo "run.sh: the demo device did not start" >&2
  exit 1
fi
echo "Demo device on $demo_path (listed in the port selector)"
[ -z "$replug" ] || echo "It is unplugged and plugged in again (in,out ms: $replug); pick it once."
ports="$demo_path"

# Whether something listens on 127.0.0.1:$1 (from the kernel's table).
listening() {
  local hex
  hex=$(printf '0100007F:%04X' "$1")
  awk -v a="$hex" '$2 == a && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp
}

if $serve; then
  port=20217
  while listening "$port" || listening $((port + 1)); do port=$((port + 2)); done
  workdir=$(mktemp -d)
  cat >"$workdir/ser2net.yaml" <<YAML
connection: &demo-rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,$port
  connector: serialdev,$demo_path,9600n81,local
  options:
    chardelay: false
connection: &demo-raw
  accepter: tcp,127.0.0.1,$((port + 1))
  connector: serialdev,$demo_path,9600n81,local
  options:
    chardelay: false
YAML
  ser2net -n -d -c "$workdir/ser2net.yaml" >"$workdir/ser2net.log" 2>&1 &
  pids+=("$!")
  for _ in $(seq 50); do listening "$port" && break; sleep 0.1; done
  if ! listening "$port"; then
    echo "run.sh: ser2net did not start:" >&2
    cat "$workdir/ser2net.log" >&2
    exit 1
  fi
  echo "ser2net serves it on rfc2217://127.0.0.1:$port and socket://127.0.0.1:$((port + 1))"
  ports="$ports:rfc2217://127.0.0.1:$port:socket://127.0.0.1:$((port + 1))"
fi
export CPORT_EXTRA_PORTS="$ports${CPORT_EXTRA_PORTS:+:$CPORT_EXTRA_PORTS}"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: running the window under xvfb-run (a virtual X server)."
  echo "The window is not visible there; press Ctrl+C to stop."
  xvfb-run -a ./build/bin/kelvat-commport
else
  ./build/bin/kelvat-commport
fi
