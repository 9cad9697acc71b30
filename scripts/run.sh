#!/usr/bin/env bash
# The main job: installs what is missing, builds, and shows Korvex working on the simulated
# kit.
# - On a desktop ($DISPLAY or $WAYLAND_DISPLAY set): starts the simulated kit and the Korvex
#   program showing the web application; the kit stops when the program's window closes.
# - Without a display: records three seconds of two simulated remotes with korvex-cli and
#   says how to see the web application.
# `--cli` or `--desktop` chooses the mode by hand.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

mode=auto
case "${1:-}" in
  --cli) mode=cli ;;
  --desktop) mode=desktop ;;
  "") ;;
  *) echo "usage: bash scripts/run.sh [--cli|--desktop]" >&2; exit 2 ;;
esac
if [ "$mode" = auto ]; then
  if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then mode=desktop; else mode=cli; fi
fi

bash "$here/scripts/install-deps.sh"
bash "$here/scripts/build.sh"
bin="${KORVEX_BUILD_DIR:-$here/build}/bin"

record_on_the_command_line() {
  # Three seconds of two remotes on the simulated kit (configuration 3 on remote 1,
  # configuration 4 on remote 2), every sensor exported as CSV into the work-file folder,
  # a summary per sensor. The kit runs on a port registry of its own for this command.
  "$bin/korvex-cli" --simulate record --config 1=3 --config 2=4 --seconds 3 --export
}

how_to_see_the_application() {
  cat <<EOF

To see the web application:
  - on a desktop, run this same command: bash scripts/run.sh
  - on this machine without a display: start the kit and the program headless with a
    debugging port on the loopback interface,
      $bin/korvex-dongle-sim &
      $bin/Korvex --headless --remote-debugging-port=9222
    then, in Chromium on this machine (or through an SSH tunnel to port 9222), open
    chrome://inspect, add 127.0.0.1:9222 under "Configure", and "inspect" the Korvex page:
    it shows the page live and takes clicks. The port lets anyone on the machine drive
    the page and the kit: use it on your own machine only.
EOF
}

if [ "$mode" = cli ]; then
  record_on_the_command_line
  how_to_see_the_application
  exit 0
fi

# Desktop: the simulator announces its terminal in a port registry shared with the program
# only, so the program's library finds exactly this kit.
work="$(mktemp -d "${TMPDIR:-/tmp}/korvex-run-XXXXXX")"
chmod 700 "$work"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    for _ in $(seq 1 30); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

export KORVEX_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$KORVEX_RUNTIME_DIR"
"$bin/korvex-dongle-sim" </dev/null >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q '^port /dev/' "$work/sim.log" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^port /dev/' "$work/sim.log" 2>/dev/null; then
  echo "The simulated kit did not start:" >&2
  cat "$work/sim.log" >&2 || true
  echo "Recording on the command line instead." >&2
  cleanup
  sim_pid=""
  record_on_the_command_line
  how_to_see_the_application
  exit 0
fi

echo "Simulated kit: $(grep -m1 '^port ' "$work/sim.log") with two remotes switched on."
echo "Starting Korvex; choose a configuration for each remote, then Record. Close the window to finish."
status=0
KORVEX_PORT="" "$bin/Korvex" || status=$?
if [ "$status" -ne 0 ]; then
  # A display that cannot be used (a stale $DISPLAY, a locked session): the recording on
  # the command line still shows the kit working.
  echo "Korvex could not show its window (exit $status); recording on the command line instead." >&2
  cleanup
  sim_pid=""
  record_on_the_command_line
  how_to_see_the_application
fi
exit 0
