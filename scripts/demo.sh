#!/usr/bin/env bash
# The tool's main job against the virtual bench: installs the dependencies,
# builds, starts jyx-sim on a loopback address, powers the simulated target
# on and streams its boot log (UEFI UART) for a few seconds, then stops
# everything it started.
#
# usage: scripts/demo.sh [127.0.0.N] [seconds of log]
set -euo pipefail
cd "$(dirname "$0")/.."
addr=${1:-127.0.0.1}
seconds=${2:-8}
case "$addr" in
  127.*) ;;
  *) echo "demo.sh: $addr is not a loopback address" >&2; exit 1 ;;
esac

bash scripts/install-deps.sh
bash scripts/build.sh

sim_out=$(mktemp)
# A slow boot (6 s from the power button to the shell) so that the log
# stream, which starts after power-on has returned, shows most of it.
build/jyx-sim --bind "$addr" --boot-ms 6000 >"$sim_out" 2>&1 &
sim=$!
cleanup() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  rm -f "$sim_out"
}
trap cleanup EXIT

# jyx-sim prints one line once both ports listen.
for _ in $(seq 100); do
  grep -q "jyx-sim ready" "$sim_out" && break
  if ! kill -0 "$sim" 2>/dev/null; then
    cat "$sim_out" >&2
    exit 1
  fi
  sleep 0.1
done
cat "$sim_out"

echo "\$ jyx -a $addr --power-on"
build/jyx -a "$addr" --power-on

echo "\$ jyx -a $addr --switch-uart 0   (stopped with SIGINT after ${seconds}s)"
# Streaming only ends on a signal; timeout reports that as status 124.
status=0
timeout -s INT "$seconds" build/jyx -a "$addr" --switch-uart 0 || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 124 ]; then
  echo "demo.sh: jyx failed with status $status" >&2
  exit "$status"
fi
echo "demo finished"
