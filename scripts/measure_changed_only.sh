#!/usr/bin/env bash
# Times a re-flash of a 16 MiB image that differs from the flash in 1 % of
# its 4096 sectors, with and without --changed-only, against jyx-sim with
# the sector timings of a typical 128 Mbit NOR flash (4 KiB erase 45 ms,
# sixteen 256-byte page programs 0.4 ms each, a 4 KiB read at 50 MHz
# 0.7 ms).
#   scripts/measure_changed_only.sh [build dir] [address]
set -euo pipefail
bin=$(cd "${1:-build}" && pwd)
addr=${2:-127.0.58.20}
work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
timings=(--erase-us 45000 --program-us 6400 --read-us 700)

python3 - "$work" <<'PY'
import os, random, sys
work = sys.argv[1]
rng = random.Random(18)
a = bytearray(rng.getrandbits(8) for _ in range(16 << 20))
b = bytearray(a)
changed = sorted(rng.sample(range(4096), 41))  # 1 % of the sectors
for s in changed:
    b[s * 4096 + rng.randrange(4096)] ^= 0xA5
os.makedirs(work + "/state")
open(work + "/a.bin", "wb").write(a)
open(work + "/b.bin", "wb").write(b)
PY

start_sim() {
  cp "$work/a.bin" "$work/state/spi_flash.bin"
  "$bin/jyx-sim" --bind "$addr" --state "$work/state" "${timings[@]}" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q 'jyx-sim ready' "$work/sim.log" && return; sleep 0.1; done
  echo "jyx-sim did not start" >&2; cat "$work/sim.log" >&2; exit 1
}
stop_sim() { kill "$sim_pid"; wait "$sim_pid" || true; sim_pid=; }

measure() {
  local label=$1; shift
  start_sim
  local t0 t1
  t0=$(date +%s.%N)
  timeout 900 "$bin/jyx" -a "$addr" --exit-code "$@" >"$work/out.log" 2>&1 ||
    { echo "$label failed:" >&2; tail -5 "$work/out.log" >&2; exit 1; }
  t1=$(date +%s.%N)
  stop_sim
  cmp -n $((16 << 20)) "$work/b.bin" "$work/state/spi_flash.bin" || { echo "$label: flash differs" >&2; exit 1; }
  grep 'changed-only:' "$work/out.log" || true
  python3 -c "print('$label: %.1f s' % ($t1 - $t0))"
}

measure "full flash -i" -i "$work/b.bin"
measure "-i --changed-only (incl. verify)" -i "$work/b.bin" --changed-only
