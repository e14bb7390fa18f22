"""Client of the jyx bench server's Unix socket (one JSON object per line).

Every request carries an "id"; the reply with the same id ends it. Lines
without an id are pushes (target log, power packets, link events) and are
kept for the caller while a request waits. Every wait has a deadline.
"""

import base64
import json
import os
import select
import socket
import struct
import time

# Controller packets: magic, frame, command, data type, length, checksum.
MAGIC = 0x5A5A5A5A
HEADER = struct.Struct("<IIHHII")
DEVICE_ACK = 1
GPIO_CTRL = 3
UART_CTRL = 5
NO_DATA = 255  # in a request: no typed payload; in an acknowledge: ACK_FAIL
GPIO_DATA = 2
UART_DATA = 5

MAX_LINE = 1 << 20  # the server's own line limit

# The controller's GPIO lines by name: outputs 64-79, then the inputs.
GPIO_NUMBERS = {
    "UART_SEL0": 64, "UART_SEL1": 65, "SPI_PRG_EN": 66, "SPI_PRG_SEL": 67,
    "PWR_OFF": 68, "RTC_CLR": 69, "EC_RST": 70, "WARM_RST": 71,
    "PWR_BTN": 72, "PWRGRP": 73, "JTAG_SW_L": 74, "SOC_RESET1": 75,
    "POWER_BTN1": 76, "SOC_RESET2": 77, "POWER_BTN2": 78, "JTAG_SW_F": 79,
    "APU_RST": 14, "SLP_S3": 21, "SYS_PWRGD": 22, "SLP_S5": 34, "RSMRST": 35,
}


class ServerError(Exception):
    """The server, or the controller behind it, refused or did not answer."""


def socket_path(address, runtime_dir=None):
    """Where a server for ADDRESS listens: RUNTIME_DIR (default
    $XDG_RUNTIME_DIR)/jyx/ADDRESS.sock, else /tmp/jyx-<uid>/ADDRESS.sock."""
    if runtime_dir is None:
        runtime_dir = os.environ.get("XDG_RUNTIME_DIR")
    if runtime_dir:
        return os.path.join(runtime_dir, "jyx", f"{address}.sock")
    return os.path.join("/tmp", f"jyx-{os.getuid()}", f"{address}.sock")


def encode_packet(frame, cmd, data_type, payload=b""):
    length = HEADER.size + len(payload)
    checksum = (MAGIC + frame + cmd + data_type + length + sum(payload)) & 0xFFFFFFFF
    return HEADER.pack(MAGIC, frame, cmd, data_type, length, checksum) + bytes(payload)


def decode_packet(data):
    """(frame, cmd, data_type, payload) of one whole packet; ValueError when
    it is not one."""
    if len(data) < HEADER.size:
        raise ValueError(f"packet of {len(data)} bytes is shorter than its header")
    magic, frame, cmd, data_type, length, checksum = HEADER.unpack_from(data)
    payload = data[HEADER.size:]
    if magic != MAGIC or length != len(data):
        raise ValueError("packet header does not match its length")
    if (MAGIC + frame + cmd + data_type + length + sum(payload)) & 0xFFFFFFFF != checksum:
        raise ValueError("packet checksum mismatch")
    return frame, cmd, data_type, bytes(payload)


class JyxServerClient:
    """One connection to a server. Not thread-safe: one owner at a time."""

    def __init__(self, path, timeout=10.0):
        self.timeout = timeout
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._sock.settimeout(timeout)
        try:
            self._sock.connect(path)
        except OSError as e:
            self._sock.close()
            raise ServerError(f"cannot reach the jyx server at {path}: {e}") from e
        self._sock.setblocking(False)
        self._rx = bytearray()
        self._next_id = 1
        self._next_frame = 1
        self.log = bytearray()  # pushed target log not yet consumed
        self.link_up = None  # last link event, None before the first
        self.power_packets = 0

    def close(self):
        self._sock.close()

    # -- framing ------------------------------------------------------------

    def _send(self, message):
        data = json.dumps(message, separators=(",", ":")).encode() + b"\n"
        deadline = time.monotonic() + self.timeout
        view = memoryview(data)
        while view:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise ServerError("the jyx server does not take our request")
            _, writable, _ = select.select([], [self._sock], [], remaining)
            if writable:
                try:
                    view = view[self._sock.send(view):]
                except BlockingIOError:
                    continue
                except OSError as e:
                    raise ServerError(f"the jyx server connection failed: {e}") from e

    def _next_line(self, deadline):
        """The next whole line, or None once DEADLINE passed. Looks at the
        socket at least once, even with a deadline already behind us."""
        while True:
            end = self._rx.find(b"\n")
            if end >= 0:
                line = bytes(self._rx[:end])
                del self._rx[:end + 1]
                return line
            if len(self._rx) > MAX_LINE:
                raise ServerError("the jyx server sent a line over 1 MiB")
            remaining = max(0.0, deadline - time.monotonic())
            readable, _, _ = select.select([self._sock], [], [], remaining)
            if not readable:
                return None
            try:
                chunk = self._sock.recv(65536)
            except BlockingIOError:
                continue
            except OSError as e:
                raise ServerError(f"the jyx server connection failed: {e}") from e
            if not chunk:
                raise ServerError("the jyx server closed the connection")
            self._rx += chunk

    def _next_message(self, deadline):
        line = self._next_line(deadline)
        if line is None:
            return None
        try:
            message = json.loads(line)
        except ValueError as e:
            raise ServerError(f"the jyx server sent a line that is not JSON: {e}") from e
        if not isinstance(message, dict):
            raise ServerError("the jyx server sent a line that is not a JSON object")
        return message

    def _take_push(self, message):
        if "log" in message:
            self.log += base64.b64decode(message["log"])
        elif "power" in message:
            self.power_packets += 1
        elif message.get("event") == "link":
            self.link_up = bool(message.get("up"))

    def pump(self, timeout):
        """Takes pushes for up to TIMEOUT seconds; returns at the first one."""
        message = self._next_message(time.monotonic() + timeout)
        if message is not None and "id" not in message:
            self._take_push(message)

    # -- requests -----------------------------------------------------------

    def request(self, message, timeout=None):
        """Sends MESSAGE with a fresh id and returns the server's reply to it."""
        request_id = self._next_id
        self._next_id += 1
        self._send(dict(message, id=request_id))
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            reply = self._next_message(deadline)
            if reply is None:
                raise ServerError("no answer from the jyx server in time")
            if "id" not in reply:
                self._take_push(reply)
            elif reply["id"] == request_id:
                return reply
            # A late reply to an earlier request that timed out: not ours.

    def _expect_ok(self, reply, what):
        if reply.get("ok") is not True:
            raise ServerError(f"{what}: {reply.get('error', 'refused')}")

    def task(self, name, args=None, timeout=None):
        reply = self.request({"task": name, "args": args or {}}, timeout)
        self._expect_ok(reply, name)
        return reply.get("result")

    def subscribe(self, streams):
        self._expect_ok(self.request({"subscribe": list(streams)}), "subscribe")

    def unsubscribe(self, streams):
        self._expect_ok(self.request({"unsubscribe": list(streams)}), "unsubscribe")

    def write(self, data):
        """Sends DATA to the target's UART."""
        reply = self.request({"write": base64.b64encode(bytes(data)).decode()})
        self._expect_ok(reply, "write to the target UART")

    def read_log(self, timeout):
        """All target log bytes received so far, waiting up to TIMEOUT for
        the first; b"" when none came."""
        deadline = time.monotonic() + timeout
        while not self.log:
            message = self._next_message(deadline)
            if message is None:
                return b""
            if "id" not in message:
                self._take_push(message)
        data = bytes(self.log)
        self.log.clear()
        return data

    def transact(self, cmd, data_type, payload, timeout=None):
        """One controller request through the server; returns the reply's
        (cmd, data_type, payload)."""
        frame = self._next_frame
        self._next_frame = self._next_frame % 0xFFFFFFFF + 1
        reply = self.request({"packet": encode_packet(frame, cmd, data_type, payload).hex()},
                             timeout)
        if "packet" not in reply:
            raise ServerError(f"controller request: {reply.get('error', 'no reply packet')}")
        try:
            got_frame, got_cmd, got_type, got_payload = decode_packet(
                bytes.fromhex(reply["packet"]))
        except ValueError as e:
            raise ServerError(f"controller reply: {e}") from e
        if got_frame != frame:
            raise ServerError(f"controller reply carries frame {got_frame}, not {frame}")
        return got_cmd, got_type, got_payload

    def gpio(self, number, level=None):
        """Sets GPIO NUMBER to LEVEL (reads it when LEVEL is None); returns
        the level the controller reports."""
        op = 0 if level is None else 1
        payload = struct.pack("<BBH4x", op, level or 0, number)
        cmd, data_type, reply = self.transact(GPIO_CTRL, NO_DATA, payload)
        what = "read" if level is None else f"set to {level}"
        if cmd != DEVICE_ACK or data_type != GPIO_DATA or len(reply) < 2:
            raise ServerError(f"GPIO {number} {what}: the controller refused (ACK_FAIL)")
        return reply[1]

    def uart_forwarding(self, enable):
        cmd, data_type, _ = self.transact(UART_CTRL, NO_DATA, struct.pack("<B3x", int(enable)))
        if cmd != DEVICE_ACK or data_type != UART_DATA:
            raise ServerError("UART forwarding: the controller refused (ACK_FAIL)")
