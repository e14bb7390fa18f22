#!/usr/bin/env python3
"""Fault campaign: the real `jyx` against `jyx-sim` under injected faults and signals.

Each run starts one jyx-sim on its own loopback address with one fault (or
none), runs one jyx flow (flash, check, read to a file, or monitoring with
-m ... -d N -o FILE) and may send SIGINT, SIGTERM or SIGHUP at a random
moment, sometimes twice. It then asserts: no crash (no death by a signal
that was not sent, no core signal, no sanitizer report); a verdict within
RUN_BOUND, or an exit within SIGNAL_BOUND of the first signal with the
signal's number as status; "OK" only when true (the flash holds the image,
a check's image equals the flash, a read's file equals the flash range, and
the lines went back to the target with a clean acknowledge); OK for a run
without signal whose faults lose nothing; and every saved power data file
complete and loadable by the independent loader below, its six CSV files
parsing, and saved also when a signal ends a run seen sampling. Lost replies
cost the tool's 300 s time-out, so those runs always get a signal.

A run's schedule derives from the seed and its index alone; a failing run is
reproduced with `fault_campaign.py --bin DIR --seed S --first I --runs 1`.
"""

import argparse
import csv
import io
import json
import os
import random
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

SECTOR = 4096
FLASH_SIZE = 1 << 20

# Verdict bounds, in seconds (multiplied by --slow for sanitizer builds).
# A flash of the largest image used here (64 KiB, 16 sectors) takes about
# 3 s: 1 s start-up, 0.1 s pauses around the line hand-over, 1 s settling
# before the flow, milliseconds per sector. One injected ACK_FAIL costs one
# retry (2.1 s of pauses plus a reconnect and a new pass), a delayed reply at
# most 3 s, a monitoring run its duration (at most 3 s) plus at most 5 s of
# waiting for the stop reply. 45 s leaves room for a loaded CI machine
# while still catching a verdict that waits on the 300 s request time-out.
RUN_BOUND = 45.0
# From the first signal to the exit: the save of at most a few seconds of
# samples takes well under a second.
SIGNAL_BOUND = 10.0
# The simulator prints its ready line within milliseconds.
SIM_READY_BOUND = 10.0

SIGNALS = {"INT": signal.SIGINT, "TERM": signal.SIGTERM, "HUP": signal.SIGHUP}
CORE_SIGNALS = {signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS, signal.SIGFPE, signal.SIGILL,
                signal.SIGTRAP, signal.SIGSYS, signal.SIGQUIT}
SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer",
                   "ThreadSanitizer", "MemorySanitizer", "runtime error:")

# Faults whose reply never arrives; the tool waits its 300 s time-out.
LOSSY_FAULTS = {"drop", "corrupt", "stall", "random"}
# Faults a correct tool absorbs completely: without a signal the flow ends OK.
BENIGN_FAULTS = {"none", "garbage", "garbage_magic", "garbage_magic_all", "delay"}
FAULT_KINDS = ["none", "drop", "fail", "corrupt", "garbage", "garbage_magic",
               "garbage_magic_all", "delay", "disconnect", "stall", "random"]
OPS = ["flash", "check", "read", "monitor"]

CSV_SUFFIXES = (".raw_voltage.csv", ".raw_current.csv", ".raw_power.csv",
                ".voltage.csv", ".current.csv", ".power.csv")


# ---------------------------------------------------------------------------
# Power data file ("qel "): an independent loader.

POWER_MAGIC = b"qel "
POWER_RAILS = 97
POWER_HEADER = 24 + 8 * POWER_RAILS  # 800
POWER_RECORD = 24


def load_power_file(path):
    """Returns (header dict, records per rail) or raises ValueError.

    Beyond what a reader must refuse (bad magic or rail count, records past
    the end), a file the tool saved must be complete: the records of rails
    0..96 back to back from byte 800 up to the end of the file, every rail
    with samples holding as many records as TOTAL (each frame adds one to
    every sampled rail and to TOTAL), clocks that never go back, and times
    that are the clock's distance from the base clock in ms.
    """
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < POWER_HEADER:
        raise ValueError("%d bytes, shorter than the 800-byte header" % len(data))
    if data[:4] != POWER_MAGIC:
        raise ValueError("magic %r" % data[:4])
    rails, base, interval, zero = struct.unpack_from("<IQII", data, 4)
    if rails != POWER_RAILS:
        raise ValueError("rail count %d" % rails)
    if zero != 0:
        raise ValueError("word at 20 is %d, not 0" % zero)
    expect = POWER_HEADER
    records = []
    for i in range(POWER_RAILS):
        off, count = struct.unpack_from("<II", data, 24 + 8 * i)
        if off != expect:
            raise ValueError("rail %d records at %d, expected %d (not back to back)" %
                             (i, off, expect))
        end = off + count * POWER_RECORD
        if end > len(data):
            raise ValueError("rail %d: %d records at %d reach past the end (%d bytes)" %
                             (i, count, off, len(data)))
        recs = [struct.unpack_from("<Qiiii", data, off + k * POWER_RECORD) for k in range(count)]
        records.append(recs)
        expect = end
    if expect != len(data):
        raise ValueError("%d bytes after the last record" % (len(data) - expect))
    total = len(records[96])
    for i, recs in enumerate(records):
        if recs and len(recs) != total:
            raise ValueError("rail %d has %d records, TOTAL %d" % (i, len(recs), total))
        last = None
        for k, (clock, t, v, c, p) in enumerate(recs):
            if last is not None and clock < last:
                raise ValueError("rail %d record %d: clock goes back" % (i, k))
            last = clock
            if clock < base or t != (clock - base) // 1000:
                raise ValueError("rail %d record %d: time %d ms for clock %d, base %d" %
                                 (i, k, t, clock, base))
            if i < 96:
                if v < 0 or c < 0 or abs(p - v * c / 1000.0) > 1.0:
                    raise ValueError("rail %d record %d: %d mV %d mA %d mW" % (i, k, v, c, p))
            elif v != 0 or c != 0:
                raise ValueError("TOTAL record %d: voltage %d, current %d" % (k, v, c))
    if total and records[96][0][0] != base:
        raise ValueError("base clock %d is not the first frame's %d" % (base, records[96][0][0]))
    return {"base": base, "interval": interval}, records


def check_csv_files(path, records):
    """Raises ValueError unless the six CSV files beside `path` parse."""
    sampled = sum(1 for recs in records[:96] if recs)
    for suffix in CSV_SUFFIXES:
        name = path + suffix
        if not os.path.isfile(name):
            raise ValueError("%s is missing" % os.path.basename(name))
        with open(name, "rb") as f:
            text = f.read().decode("utf-8")
        if not text.endswith("\n"):
            raise ValueError("%s does not end in a line end (cut short)" % suffix)
        rows = list(csv.reader(io.StringIO(text)))
        if not rows or rows[0][:2] != ["time", "timer(ms)"]:
            raise ValueError("%s: header %r" % (suffix, rows[:1]))
        width = len(rows[0])
        body = rows[1:]
        if width == 2:
            if body != [[]]:
                raise ValueError("%s: no columns but %d rows" % (suffix, len(body)))
            continue
        for n, row in enumerate(body):
            if len(row) != width:
                raise ValueError("%s row %d: %d fields, header %d" % (suffix, n + 1, len(row), width))
            int(row[1])
            for value in row[2:]:
                float(value)
        if suffix.startswith(".raw") and sampled and len(body) != len(records[96]):
            raise ValueError("%s: %d rows for %d samples" % (suffix, len(body), len(records[96])))


def write(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def self_test():
    """Proves that the loader and the CSV check accept a small valid run (3 sampled
    rails and TOTAL, 5 frames) and refuse it with any one thing damaged."""
    tmp = tempfile.mkdtemp(prefix="jyx-campaign-selftest-")
    path = os.path.join(tmp, "rails")
    base = 1_700_000_000_000
    frames = [base + k * 2500 for k in range(5)]
    rails = {0: (12000, 2500), 5: (3300, 800), 40: (800, 400)}

    def build(rail=None, k=None, field=None, value=None):
        recs = {i: [] for i in range(POWER_RAILS)}
        for clock in frames:
            for i, (v, c) in rails.items():
                recs[i].append([clock, (clock - base) // 1000, v, c, v * c // 1000])
            recs[96].append([clock, (clock - base) // 1000, 0, 0,
                             sum(v * c // 1000 for v, c in rails.values())])
        if rail is not None:
            recs[rail][k][field] = value(recs[rail]) if callable(value) else value
        table, body, off = b"", b"", POWER_HEADER
        for i in range(POWER_RAILS):
            table += struct.pack("<II", off, len(recs[i]))
            body += b"".join(struct.pack("<Qiiii", *r) for r in recs[i])
            off += 24 * len(recs[i])
        return POWER_MAGIC + struct.pack("<IQII", POWER_RAILS, base, 10, 0) + table + body

    def verdict(data, rows=len(frames), cut=None, missing=None, extra=""):
        write(path, data)
        for suffix in CSV_SUFFIXES:
            if os.path.exists(path + suffix):
                os.unlink(path + suffix)
            if suffix == missing:
                continue
            width = 6 if suffix == ".power.csv" else 5
            text = "\n".join(['"time","timer(ms)","R0","R5","R40"' + ',"TOTAL"' * (width == 6)] +
                             ["20261206 20:00:00.%03d,%d" % (k, k * 2) + ", 1.00" * (width - 2)
                              for k in range(rows)]) + "\n"
            write(path + suffix, text[:-9] if suffix == cut else
                  text + (extra if suffix == ".voltage.csv" else ""))
        try:
            check_csv_files(path, load_power_file(path)[1])
        except ValueError as e:
            return str(e)
        return None

    def patch(at, fmt, value):
        b = bytearray(good)
        struct.pack_into(fmt, b, at, value)
        return bytes(b)

    try:
        good = build()
        err = verdict(good)
        expect(err is None, "a valid run is refused: %s" % err)
        damaged = {
            "empty": (b"",), "header only": (good[:POWER_HEADER - 1],),
            "cut in a record": (good[:-7],), "last record missing": (good[:-24],),
            "trailing byte": (good + b"\0",), "magic": (b"QEL " + good[4:],),
            "rail count": (patch(4, "<I", 96),), "zero word": (patch(20, "<I", 1),),
            "offset of rail 1": (patch(24 + 8, "<I", POWER_HEADER + 24),),
            "count of rail 5": (patch(28 + 8 * 5, "<I", len(frames) + 1),),
            "count of TOTAL": (patch(28 + 8 * 96, "<I", len(frames) - 1),),
            "time of a record": (build(5, 2, 1, 999),),
            "clock going back": (build(0, 3, 0, lambda r: r[2][0] - 1000),),
            "power of a rail": (build(40, 0, 4, 7),),
            "TOTAL voltage": (build(96, 1, 2, 5),),
            "base clock": (patch(8, "<Q", base - 1000),),
            "missing CSV": (good, {"missing": ".current.csv"}),
            "cut CSV": (good, {"cut": ".raw_power.csv"}),
            "raw rows": (good, {"rows": len(frames) - 1}),
            "CSV row with a missing field": (good, {"extra": "20261206 20:00:01.000,9, 1.00\n"}),
        }
        for name, case in damaged.items():
            expect(verdict(case[0], **(case[1] if len(case) > 1 else {})) is not None,
                   "a run with a damaged %s is accepted" % name)
        print("self-test: the loader accepts a valid run and refuses %d kinds of damage" %
              len(damaged))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


# ---------------------------------------------------------------------------
# One run.

# Processes of the runs under way, so that an interrupted campaign leaves
# nothing running behind it.
_live = set()
_live_lock = threading.Lock()
_stopping = threading.Event()


def spawn(cmd, **kwargs):
    with _live_lock:
        if _stopping.is_set():
            raise RuntimeError("campaign interrupted")
        proc = subprocess.Popen(cmd, **kwargs)
        _live.add(proc)
    return proc


def reaped(proc):
    with _live_lock:
        _live.discard(proc)


def kill_all():
    with _live_lock:
        _stopping.set()
        for proc in _live:
            if proc.poll() is None:
                proc.kill()


class Plan:
    """Everything random about one run, drawn from the campaign seed and the index."""

    def __init__(self, seed, index, ops, faults):
        rng = random.Random("%d/%d" % (seed, index))
        self.index = index
        self.address = "127.77.%d.%d" % ((index // 200) % 250, index % 200 + 2)
        # Every flow meets every fault once per len(ops) * len(faults) runs,
        # in an order the seed shuffles, so that a short campaign covers them all.
        combos = [(o, f) for o in ops for f in faults]
        random.Random(seed).shuffle(combos)
        self.op, self.fault = combos[index % len(combos)]
        self.sim_seed = rng.randint(1, 1 << 30)
        self.image_size = rng.choice([rng.randint(1, 2 * SECTOR), rng.randint(1, 16 * SECTOR),
                                      rng.randint(1, 4) * 8192])
        self.old_image = rng.randbytes(16 * SECTOR + 3)
        self.image = rng.randbytes(self.image_size)
        # Check: the flash holds the image, or the image with one byte changed.
        self.check_equal = rng.random() < 0.6
        self.flip_at = rng.randrange(self.image_size)
        self.read_offset = rng.randrange(0, 64 * 1024)
        self.read_len = rng.randint(1, 12 * SECTOR)
        self.duration = rng.randint(1, 3)
        self.monitor_config = rng.random() < 0.6
        self.rails = sorted(rng.sample(range(0, 32), rng.randint(1, 6)))
        self.mask = rng.getrandbits(32) | 1

        if self.op == "flash":
            sectors = 2 * ((self.image_size + 8191) // 8192)
            targets = [("GPIO_CTRL", 6), ("SPI_CTRL/SPI_CTRL_INFO_DATA", 2),
                       ("SPI_CTRL/SPI_DATA", sectors)]
            self.expected = 3.0 + 0.01 * sectors
        elif self.op in ("check", "read"):
            blocks = ((self.image_size + SECTOR - 1) // SECTOR if self.op == "check" else
                      (self.read_offset % SECTOR + self.read_len + SECTOR - 1) // SECTOR)
            targets = [("GPIO_CTRL", 6), ("SPI_READ", blocks)]
            self.expected = 3.0 + 0.01 * blocks
        else:
            targets = [("GPIO_CTRL", 2), ("POWER_CTRL", 2)]
            self.expected = 1.5 + self.duration
        total = sum(n for _, n in targets)
        targets.append(("*", total))
        sel, count = rng.choice(targets)
        nth = rng.randint(1, count)
        f = self.fault
        at = "%s:%d" % (sel, nth)
        # Each draws its random values only when chosen, in this order.
        self.sim_faults = {
            "none": lambda: [],
            "drop": lambda: ["--drop", at], "fail": lambda: ["--fail", at],
            "corrupt": lambda: ["--corrupt", at], "garbage": lambda: ["--garbage", at],
            "garbage_magic": lambda: ["--garbage-magic",
                                      "%s:%d" % (at, rng.choice([24, 64, 200, 1000]))],
            "garbage_magic_all": lambda: ["--garbage-magic",
                                          "*:*:%d" % rng.choice([24, 64, 300])],
            "delay": lambda: ["--delay", "%s:%d" % (at, rng.randint(50, 3000))],
            "disconnect": lambda: ["--close-after", str(rng.randint(1, total))],
            "stall": lambda: ["--mute-after", str(rng.randint(0, total))],
            "random": lambda: ["--random", "drop=%s,fail=%s,corrupt=%s,garbage=%s,garbage_magic=%s"
                               % tuple(round(rng.uniform(0.0, 0.15), 3) for _ in range(5))],
        }[f]()

        # Signals: none, one, or two in a row; lossy runs always get one. The
        # first comes at a random time after the start, or a random time after
        # the tool first prints a marker (the progress bar of a transfer, the
        # frame-rate line of monitoring, which a short run prints as it stops
        # and saves), to hit those windows more often than chance would. A
        # marker that never shows up gives way to a time after the start.
        kind = rng.choices(["none", "one", "two"], [0.35, 0.4, 0.25])[0]
        if f in LOSSY_FAULTS and kind == "none":
            kind = "one"
        horizon = 8.0 if f in LOSSY_FAULTS else self.expected * 1.2 + 0.5
        markers = {"flash": "flashing:", "check": "checking:", "read": "reading:",
                   "monitor": "frames: "}
        self.anchor = None
        self.fallback = rng.uniform(0.0, horizon)
        # (seconds after the start or the marker, or after the first signal; name)
        self.signals = []
        if kind != "none":
            t = self.fallback
            if rng.random() < 0.4:
                self.anchor = markers[self.op]
                t = rng.choice([0.0, rng.uniform(0.0, 0.02), rng.uniform(0.0, 0.3)])
            self.signals.append((t, rng.choice(list(SIGNALS))))
            if kind == "two":
                # Back to back, within a save of a few milliseconds, or later.
                gap = rng.choice([0.0, rng.uniform(0.0, 0.01), rng.uniform(0.0, 0.05),
                                  rng.uniform(0.0, 0.5)])
                self.signals.append((gap, rng.choice(list(SIGNALS))))

    def describe(self):
        sig = "no signal"
        if self.signals:
            t, name = self.signals[0]
            if self.anchor:
                sig = "SIG%s %.3fs after %r (else at %.3fs)" % (name, t, self.anchor, self.fallback)
            else:
                sig = "SIG%s at %.3fs" % (name, t)
            for gap, name in self.signals[1:]:
                sig += ", SIG%s %.3fs later" % (name, gap)
        return "run %d: %s, fault %s %s, %s" % (self.index, self.op, self.fault,
                                                " ".join(self.sim_faults), sig)


class Output:
    """Collects a pipe in a thread, remembering when each chunk arrived."""

    def __init__(self, pipe):
        self.chunks = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self.thread.start()

    def _read(self, pipe):
        fd = pipe.fileno()
        while True:
            try:
                b = os.read(fd, 65536)
            except OSError:
                break
            if not b:
                break
            with self.lock:
                self.chunks.append((time.monotonic(), b))
        pipe.close()

    def text(self, before=None):
        with self.lock:
            return b"".join(b for t, b in self.chunks if before is None or t <= before).decode(
                "utf-8", "replace")

    def first_time(self, marker):
        """When the chunk that completed the first `marker` arrived, or None."""
        with self.lock:
            text = b""
            needle = marker.encode()
            for t, b in self.chunks:
                text += b
                if needle in text:
                    return t
        return None

    def last_time(self):
        with self.lock:
            return self.chunks[-1][0] if self.chunks else 0.0

    def join(self, timeout):
        self.thread.join(timeout)


def handlers_ready(pid):
    """True once the process catches SIGHUP, SIGINT and SIGTERM (or has ended)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("SigCgt:"):
                    caught = int(line.split()[1], 16)
                    want = (1 << (signal.SIGHUP - 1)) | (1 << (signal.SIGINT - 1)) | \
                        (1 << (signal.SIGTERM - 1))
                    return caught & want == want
    except OSError:
        return True
    return True


class Run:
    def __init__(self, plan, bindir, workdir, slow):
        self.plan = plan
        self.bin = bindir
        self.dir = workdir
        self.slow = slow
        self.failures = []  # (category, message)
        self.sim_cmd = []
        self.jyx_cmd = []
        self.status = None
        self.sent = []  # (monotonic time, name)
        self.elapsed = 0.0

    def fail(self, category, message):
        self.failures.append((category, message))

    # -- set-up ------------------------------------------------------------

    def prepare(self):
        p = self.plan
        os.makedirs(os.path.join(self.dir, "state"))
        self.image_path = os.path.join(self.dir, "image.bin")
        write(self.image_path, p.image)
        preload = p.old_image
        if p.op == "check":
            flash = bytearray(p.image)
            if not p.check_equal:
                flash[p.flip_at] ^= 0x5A ^ 0xFF
            preload = bytes(flash) + p.old_image[len(flash):]
        self.preload_path = os.path.join(self.dir, "preload.bin")
        write(self.preload_path, preload)
        self.ops_path = os.path.join(self.dir, "ops.jsonl")
        self.sim_cmd = [os.path.join(self.bin, "jyx-sim"), "--bind", p.address,
                        "--state", os.path.join(self.dir, "state"), "--flash-size", "1M",
                        "--flash-image", self.preload_path, "--ops-log", self.ops_path,
                        "--target-state", "running", "--seed", str(p.sim_seed)] + p.sim_faults
        self.out_path = os.path.join(self.dir, "rails" if p.op == "monitor" else "out.bin")
        flow = {"flash": ["-i", self.image_path], "check": ["-i", self.image_path, "--checkspi"],
                "read": ["-r", hex(p.read_offset), "--len", hex(p.read_len), "-o", self.out_path],
                "monitor": ["-m", "0x%08x" % p.mask, "-d", str(p.duration), "-o", self.out_path]}
        if p.op == "monitor" and p.monitor_config:
            flow["monitor"][1] = os.path.join(self.dir, "config.yaml")
            write(flow["monitor"][1], "ic-addr: [%s]\nconfig:\n  - {title: bench, path: rails."
                  "yaml}\n" % ", ".join("{addr: 0x%x}" % a for a in range(0x10, 0x18)))
            write(os.path.join(self.dir, "rails.yaml"),
                  "rails:\n" + "".join("  - {name: R%d, index: %d}\n" % (i, i) for i in p.rails))
        self.jyx_cmd = [os.path.join(self.bin, "jyx"), "-a", p.address] + flow[p.op]

    def start_sim(self):
        self.sim = spawn(self.sim_cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         cwd=self.dir, start_new_session=True)
        self.sim_out = Output(self.sim.stdout)
        self.sim_err = Output(self.sim.stderr)
        deadline = time.monotonic() + SIM_READY_BOUND * self.slow
        while time.monotonic() < deadline:
            if "jyx-sim ready" in self.sim_out.text():
                return True
            if self.sim.poll() is not None:
                break
            time.sleep(0.01)
        self.fail("sim", "jyx-sim did not get ready: %s" % self.sim_err.text()[-500:])
        return False

    def stop_sim(self):
        if self.sim.poll() is None:
            self.sim.send_signal(signal.SIGTERM)
        try:
            self.sim.wait(10 * self.slow)
        except subprocess.TimeoutExpired:
            self.sim.kill()
            self.sim.wait()
            self.fail("sim", "jyx-sim did not end on SIGTERM")
        reaped(self.sim)
        for o in (self.sim_out, self.sim_err):
            o.join(5)
        if self.sim.returncode != 0:
            self.fail("sim", "jyx-sim exit status %d" % self.sim.returncode)
        err = self.sim_err.text()
        if any(m in err for m in SANITIZER_MARKS):
            self.fail("sanitizer", "jyx-sim: " + err[-2000:])

    # -- the run -------------------------------------------------------------

    def execute(self):
        self.prepare()
        if not self.start_sim():
            self.sim.kill()
            self.sim.wait()
            return
        try:
            self.run_jyx()
        finally:
            self.stop_sim()
        if self.status is not None:
            self.judge()

    def run_jyx(self):
        p = self.plan
        t0 = time.monotonic()
        proc = spawn(self.jyx_cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                     stdin=subprocess.DEVNULL, cwd=self.dir, start_new_session=True)
        self.out = Output(proc.stdout)
        self.err = Output(proc.stderr)
        pending = list(p.signals)
        deadline = t0 + RUN_BOUND * self.slow
        first_due = None if p.anchor else t0 + pending[0][0] if pending else None
        self.hung = False
        while True:
            now = time.monotonic()
            due = None
            if pending and not self.sent and first_due is None:
                seen = self.out.first_time(p.anchor)
                if seen is not None:
                    first_due = seen + pending[0][0]
                elif now >= t0 + p.fallback:
                    first_due = now
            if pending:
                due = first_due if not self.sent else self.sent[0][0] + pending[0][0]
            wake = deadline if due is None else min(deadline, due)
            if pending and due is None:
                wake = min(wake, now + 0.005)  # looking out for the marker
            try:
                proc.wait(max(0.0, wake - now))
                break
            except subprocess.TimeoutExpired:
                pass
            now = time.monotonic()
            if due is not None and now >= due and not self.sent and not handlers_ready(proc.pid):
                # The program is still loading: a signal now would meet the
                # default action before main() installs the handlers, which
                # says nothing about the tool. Wait until the kernel shows them.
                first_due = now + 0.002
                continue
            if due is not None and now >= due:
                _, name = pending.pop(0)
                # Only a process that has not ended yet receives the signal.
                if proc.poll() is None:
                    proc.send_signal(SIGNALS[name])
                    self.sent.append((time.monotonic(), name))
                    if len(self.sent) == 1:
                        deadline = min(deadline, self.sent[0][0] + SIGNAL_BOUND * self.slow)
                else:
                    pending = []
                continue
            if now >= deadline:
                self.hung = True
                self.dump_stacks(proc.pid)
                proc.kill()
                proc.wait()
                break
        reaped(proc)
        self.elapsed = time.monotonic() - t0
        for o in (self.out, self.err):
            o.join(10)
        self.status = proc.returncode
        # Kept with the run directory of a failing run.
        write(os.path.join(self.dir, "jyx.stdout"), self.out.text())
        write(os.path.join(self.dir, "jyx.stderr"), self.err.text())

    def dump_stacks(self, pid):
        """Keeps the threads' stacks of a hung jyx beside the run, when gdb is there."""
        gdb = shutil.which("gdb")
        if not gdb:
            return
        try:
            r = subprocess.run(["timeout", "60", gdb, "-batch", "-nx", "-p", str(pid), "-ex",
                                "thread apply all bt"], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            write(os.path.join(self.dir, "hang_stacks.txt"), r.stdout)
        except OSError:
            pass

    # -- assertions ------------------------------------------------------------

    def judge(self):
        p = self.plan
        out = self.out.text()
        err = self.err.text()
        names = [n for _, n in self.sent]
        sent_nums = [int(SIGNALS[n]) for n in names]
        if any(m in err for m in SANITIZER_MARKS):
            self.fail("sanitizer", err[-3000:])
        if self.hung:
            if self.sent:
                self.fail("hang_after_signal",
                          "no exit within %.0f s of SIG%s (killed)" % (SIGNAL_BOUND * self.slow,
                                                                       names[0]))
            else:
                self.fail("no_verdict", "no verdict within %.0f s (killed); last output: %r" %
                          (RUN_BOUND * self.slow, out[-300:]))
            return
        if self.status < 0:
            sig = -self.status
            signame = signal.Signals(sig).name
            if sig in sent_nums and sig not in CORE_SIGNALS:
                # Not a crash, but the run ends without its clean-up; what it
                # printed before and the files it left are still checked.
                self.fail("signal_not_handled",
                          "ended by %s itself instead of exiting with status %d" % (signame, sig))
            else:
                self.fail("crash", "died of %s; stderr: %s" % (signame, err[-1500:]))
                return
        elif self.sent:
            signalled = "exception signal: " in out
            if signalled:
                if self.status not in sent_nums:
                    self.fail("signal_status", "exit status %d after %s" %
                              (self.status, "/".join("SIG" + n for n in names)))
            elif self.status == 0 and self.out.last_time() <= self.sent[0][0]:
                # The process had written its last byte and was exiting when
                # the signal was sent: it never saw it.
                self.sent = []
            else:
                self.fail("signal_status", "status %d and no signal line after SIG%s" %
                          (self.status, names[0]))
        elif self.status != 0:
            self.fail("exit_status", "exit status %d without a signal" % self.status)
        self.check_flow(out)

    def verdict_line(self, out):
        op = self.plan.op
        head = {"flash": "flashing image(%s) " % self.image_path,
                "check": "checking image(%s) " % self.image_path}.get(op)
        ok, bad = (head + "OK", head + "fail") if head else (
            "read spi to file(%s) OK" % self.out_path, "read spi fail")
        lines = [l.strip() for l in out.splitlines()]
        oks, bads = lines.count(ok), lines.count(bad)
        if oks and bads:
            return "both"
        if oks or bads:
            return "many" if oks + bads > 1 else "OK" if oks else "fail"
        return None

    def flash_bytes(self):
        with open(os.path.join(self.dir, "state", "spi_flash.bin"), "rb") as f:
            return f.read()

    def check_flow(self, out):
        p = self.plan
        if p.op == "monitor":
            self.check_monitor(out)
            return
        verdict = self.verdict_line(out)
        if verdict in ("both", "many"):
            self.fail("verdict", "more than one verdict line")
            return
        if verdict is None:
            if not self.sent:
                self.fail("no_verdict", "ended without OK or fail line: %r" % out[-300:])
            return
        if verdict == "fail":
            mismatch = p.op == "check" and not p.check_equal
            if not self.sent and p.fault in BENIGN_FAULTS and not mismatch:
                self.fail("false_fail", "%s failed under %s" % (p.op, p.fault))
            return
        # "OK": it must be true.
        flash = self.flash_bytes()
        if p.op == "flash":
            n = len(p.image)
            padded = (n + 8191) // 8192 * 8192
            if flash[:n] != p.image:
                bad = next(i for i in range(n) if flash[i] != p.image[i])
                self.fail("false_ok", "flash OK but the flash differs from the image at %d" % bad)
            elif flash[n:padded] != b"\xff" * (padded - n):
                self.fail("false_ok", "flash OK but the sector tail after the image is not erased")
        elif p.op == "check":
            if flash[:len(p.image)] != p.image:
                self.fail("false_ok", "check OK but the flash differs from the image at %d" %
                          p.flip_at)
        elif p.op == "read":
            want = flash[p.read_offset:p.read_offset + p.read_len]
            try:
                with open(self.out_path, "rb") as f:
                    got = f.read()
            except OSError as e:
                got = None
                self.fail("false_ok", "read OK but no file: %s" % e)
            if got is not None and got != want:
                self.fail("false_ok", "read OK but the file (%d bytes) is not the flash range" %
                          len(got))
        self.check_handback()

    def check_handback(self):
        """OK needs the last hand-back of both flash lines acknowledged cleanly."""
        last = {}
        replies = {}
        try:
            with open(self.ops_path) as f:
                for line in f:
                    try:
                        rec = json.loads(line)
                    except ValueError:
                        continue
                    fields = rec.get("fields", {})
                    if rec.get("dir") == "rx" and rec.get("cmd") == "GPIO_CTRL" and \
                            fields.get("op") == "set" and fields.get("gpio") in (66, 67):
                        last[fields["gpio"]] = (rec.get("frame"), fields.get("level"))
                    if rec.get("dir") == "tx" and rec.get("cmd") == "DEVICE_ACK":
                        replies[rec.get("frame")] = rec
        except OSError as e:
            self.fail("campaign", "ops log: %s" % e)
            return
        for gpio in (66, 67):
            if gpio not in last or last[gpio][1] != 1:
                self.fail("ok_without_handback", "OK but GPIO %d was not set back to 1" % gpio)
                continue
            reply = replies.get(last[gpio][0])
            fault = reply.get("fault", "") if reply else ""
            if reply is None or reply.get("data") != "GPIO_DATA" or "corrupt" in fault:
                self.fail("ok_without_handback",
                          "OK but setting GPIO %d back to 1 got %s" %
                          (gpio, "no reply" if reply is None else
                           "%s %s" % (reply.get("data"), fault)))

    def check_monitor(self, out):
        p = self.plan
        path = self.out_path
        if os.path.exists(path):
            try:
                _, records = load_power_file(path)
                check_csv_files(path, records)
            except (ValueError, OSError, UnicodeDecodeError) as e:
                self.fail("bad_data_file", str(e))
                return
        else:
            # Sampling that was seen running (the frame-rate line) must be
            # saved, whether the duration or a signal ended the run.
            seen = self.out.text(before=self.sent[0][0]) if self.sent else out
            if "frames: " in seen:
                self.fail("data_not_saved", "sampling ran but %s was not saved" %
                          os.path.basename(path))
            elif not self.sent and p.fault in BENIGN_FAULTS:
                self.fail("false_fail", "monitoring under %s saved nothing" % p.fault)


def run_one(plan, args, root):
    workdir = os.path.join(root, "run%05d" % plan.index)
    run = Run(plan, args.bin, workdir, args.slow)
    try:
        run.execute()
    except Exception as e:  # a campaign fault, reported like a failure
        run.fail("campaign", "%s: %s" % (type(e).__name__, e))
    if not run.failures and not args.keep_all:
        shutil.rmtree(workdir, ignore_errors=True)
    return run


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", help="build directory holding jyx and jyx-sim")
    ap.add_argument("--self-test", action="store_true",
                    help="only prove that the data-file and CSV checks refuse damaged files")
    for name, default, text in (("--runs", 24, "runs"), ("--seed", None, "campaign seed (default: "
                                "from the clock)"), ("--first", 0, "index of the first run"),
                                ("--jobs", 3, "runs at the same time")):
        ap.add_argument(name, type=int, default=default, help=text)
    ap.add_argument("--slow", type=float, default=1.0,
                    help="multiplies every bound (e.g. 3 for sanitizer builds)")
    ap.add_argument("--ops", default=",".join(OPS), help="comma list of " + ",".join(OPS))
    ap.add_argument("--faults", default=",".join(FAULT_KINDS),
                    help="comma list of " + ",".join(FAULT_KINDS))
    ap.add_argument("--workdir", default=None, help="where run directories go (kept on failure)")
    ap.add_argument("--keep-all", action="store_true", help="keep the directories of passing runs")
    args = ap.parse_args()
    if args.self_test:
        self_test()
        return 0
    if not args.bin:
        ap.error("--bin is required")
    args.bin = os.path.abspath(args.bin)
    for exe in ("jyx", "jyx-sim"):
        if not os.access(os.path.join(args.bin, exe), os.X_OK):
            ap.error("no executable %s in %s" % (exe, args.bin))
    ops = args.ops.split(",")
    faults = args.faults.split(",")
    if not set(ops) <= set(OPS) or not set(faults) <= set(FAULT_KINDS) or args.runs < 1:
        ap.error("bad --ops, --faults or --runs")
    seed = args.seed if args.seed is not None else int(time.time()) % 1000000
    root = args.workdir or tempfile.mkdtemp(prefix="jyx-campaign-")
    os.makedirs(root, exist_ok=True)
    print("fault campaign: seed %d, runs %d-%d, %d at a time, bin %s, work %s" %
          (seed, args.first, args.first + args.runs - 1, args.jobs, args.bin, root), flush=True)
    plans = [Plan(seed, i, ops, faults) for i in range(args.first, args.first + args.runs)]

    def on_term(signum, frame):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, on_term)
    started = time.monotonic()
    failed = []
    categories = {}
    with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        try:
            for run in pool.map(lambda pl: run_one(pl, args, root), plans):
                mark = "FAIL" if run.failures else "ok"
                print("%-4s %s (%.1fs, status %s)" % (mark, run.plan.describe(), run.elapsed,
                                                      run.status), flush=True)
                for cat, msg in run.failures:
                    print("     [%s] %s" % (cat, msg), flush=True)
                    categories[cat] = categories.get(cat, 0) + 1
                if run.failures:
                    failed.append(run)
        except KeyboardInterrupt:
            kill_all()
            print("interrupted; run directories in %s" % root, flush=True)
            return 130
    wall = time.monotonic() - started
    print("\n%d runs in %.1f s: %d passed, %d failed" %
          (len(plans), wall, len(plans) - len(failed), len(failed)))
    for cat in sorted(categories):
        print("  %-20s %d" % (cat, categories[cat]))
    # The flow and fault of a run depend on the --ops and --faults lists too.
    selection = "".join(" --%s %s" % (n, v) for n, v, all_ in (("ops", args.ops, OPS), (
        "faults", args.faults, FAULT_KINDS)) if v != ",".join(all_))
    for run in failed:
        print("\nreproduce %s\n  %s --bin %s --seed %d --first %d --runs 1%s\n  sim: %s\n"
              "  jyx: %s\n  kept in %s" %
              (run.plan.describe(), os.path.abspath(__file__), args.bin, seed, run.plan.index,
               selection, " ".join(shlex.quote(a) for a in run.sim_cmd),
               " ".join(shlex.quote(a) for a in run.jyx_cmd), run.dir))
    if not failed and not args.workdir and not args.keep_all:
        shutil.rmtree(root, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
