"""The bench behind tests/labgrid/env.yaml: jyx-sim, `jyx --serve` and a
second plain client streaming the target log the whole time."""

import os
import signal
import subprocess
import tempfile
import threading

import pytest


class Output:
    """Collects a process's output on a thread; waits wake on new text."""

    def __init__(self, proc):
        self.text = ""
        self._eof = False
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._collect, args=(proc.stdout,), daemon=True)
        self._thread.start()

    def _collect(self, pipe):
        for chunk in iter(lambda: pipe.read1(65536), b""):
            with self._cond:
                self.text += chunk.decode(errors="replace")
                self._cond.notify_all()
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    def wait_for(self, needle, timeout=20.0):
        with self._cond:
            self._cond.wait_for(lambda: needle in self.text or self._eof, timeout)
            assert needle in self.text, f"{needle!r} not seen; output:\n{self.text[-2000:]}"

    def finish(self, timeout=10.0):
        self._thread.join(timeout)
        return self.text


class Bench:
    def __init__(self, bin_dir, address, root):
        self.bin_dir, self.address, self.root = bin_dir, address, root
        self.procs = []
        runtime = os.path.join(root, "run")
        os.mkdir(runtime, 0o700)
        os.environ["XDG_RUNTIME_DIR"] = runtime
        self.socket = os.path.join(runtime, "jyx", f"{address}.sock")
        self.ops_log = os.path.join(root, "ops.jsonl")

    def packet_clients(self):
        """How many times a client connected to the controller's packet port."""
        with open(self.ops_log) as ops:
            return sum(1 for line in ops if '"event":"packet_client"' in line.replace(" ", "")
                       and '"connected"' in line)

    def start(self, *args):
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        self.procs.append(proc)
        return proc, Output(proc)

    def jyx(self, *args):
        return self.start(os.path.join(self.bin_dir, "jyx"), "-a", self.address, *args)

    def stop(self, proc, sig=signal.SIGTERM):
        if proc.poll() is None:
            proc.send_signal(sig)
        return proc.wait(10)


@pytest.fixture(scope="session")
def bench():
    bin_dir = os.environ["JYX_BIN_DIR"]
    help_text = subprocess.run([os.path.join(bin_dir, "jyx"), "--help"], capture_output=True,
                               timeout=10).stdout.decode(errors="replace")
    if "--serve" not in help_text:
        pytest.skip(f"{bin_dir}/jyx has no --serve (the bench server is not built in)")
    with tempfile.TemporaryDirectory() as root:
        bench = Bench(bin_dir, os.environ["LG_JYX_ADDRESS"], root)
        try:
            _, sim = bench.start(os.path.join(bin_dir, "jyx-sim"), "--bind", bench.address,
                                 "--boot-ms", "300", "--pm-heartbeat-ms", "0",
                                 "--ops-log", bench.ops_log)
            sim.wait_for("jyx-sim ready")
            bench.server, bench.server_out = bench.jyx("--serve")
            bench.server_out.wait_for(bench.socket)
            bench.streamer, bench.stream = bench.jyx("-X", "0")
            bench.stream.wait_for("switchUart OK")
            yield bench
        finally:
            for proc in reversed(bench.procs):
                if proc.poll() is None:
                    proc.kill()
                proc.wait(10)
