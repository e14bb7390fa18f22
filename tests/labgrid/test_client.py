"""The server client against a scripted fake server (no simulator needed)."""

import base64
import json
import os
import socket
import struct
import tempfile
import threading

import pytest

from jyx_labgrid.client import (DEVICE_ACK, GPIO_DATA, NO_DATA, JyxServerClient, ServerError,
                                decode_packet, encode_packet)


class FakeServer:
    """Answers each request line with what RESPOND(message) returns: a list
    of objects (sent as JSON lines) or raw bytes; None closes the link."""

    def __init__(self, respond):
        self._dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self._dir.name, "s.sock")
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(self.path)
        self._listener.listen(1)
        self._respond = respond
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        conn, _ = self._listener.accept()
        with conn, conn.makefile("rb") as lines:
            for line in lines:
                answer = self._respond(json.loads(line))
                if answer is None:
                    return
                for item in answer:
                    conn.sendall(item if isinstance(item, bytes)
                                 else json.dumps(item).encode() + b"\n")

    def close(self):
        self._listener.close()
        self._thread.join(5)
        self._dir.cleanup()


@pytest.fixture
def serve():
    servers, clients = [], []

    def start(respond, timeout=2.0):
        servers.append(FakeServer(respond))
        clients.append(JyxServerClient(servers[-1].path, timeout))
        return clients[-1]
    yield start
    for client in clients:
        client.close()
    for server in servers:
        server.close()


def gpio_reply(message, data_type=GPIO_DATA, frame_delta=0):
    frame, _, _, payload = decode_packet(bytes.fromhex(message["packet"]))
    reply = encode_packet(frame + frame_delta, DEVICE_ACK, data_type, payload)
    return [{"id": message["id"], "packet": reply.hex()}]


def test_packet_layout_and_checksum():
    heartbeat = bytes.fromhex("5a5a5a5a 00000000 0000 ff00 14000000 6d5b5a5a")
    assert encode_packet(0, 0, NO_DATA) == heartbeat
    assert decode_packet(heartbeat) == (0, 0, NO_DATA, b"")
    for bad in (heartbeat[:-1] + b"\x5b", heartbeat[:19], heartbeat + b"\x00"):
        with pytest.raises(ValueError):
            decode_packet(bad)


def test_gpio_request_layout_and_level(serve):
    seen = []

    def respond(message):
        seen.append(decode_packet(bytes.fromhex(message["packet"])))
        return gpio_reply(message)
    client = serve(respond)
    assert client.gpio(72, 1) == 1
    assert client.gpio(22) == 0
    assert [s[1:] for s in seen] == [(3, NO_DATA, struct.pack("<BBH4x", 1, 1, 72)),
                                     (3, NO_DATA, struct.pack("<BBH4x", 0, 0, 22))]
    assert seen[0][0] != seen[1][0]  # every request its own frame number


@pytest.mark.parametrize("respond, error", [
    (lambda m: gpio_reply(m, data_type=NO_DATA), "ACK_FAIL"),
    (lambda m: gpio_reply(m, frame_delta=1), "frame"),
    (lambda m: [{"id": m["id"], "error": "busy"}], "busy"),
    (lambda m: [{"id": m["id"], "packet": "5a5a"}], "shorter"),
    (lambda m: [b"[1,2]\n"], "not a JSON object"),
    (lambda m: None, "closed"),
    (lambda m: [], "no answer"),
], ids=["ack_fail", "wrong_frame", "busy", "short_packet", "not_object", "closed", "silent"])
def test_failures_become_server_errors(serve, respond, error):
    client = serve(respond, timeout=0.3)
    with pytest.raises(ServerError, match=error):
        client.gpio(64, 1)


def test_pushes_kept_while_a_request_waits(serve):
    def respond(message):
        if "subscribe" in message:
            return [{"id": message["id"], "ok": True}]
        chunk = base64.b64encode(b"target# ").decode()
        return [{"log": base64.b64encode(b"boot\r\n").decode()}, {"id": 999, "ok": True},
                {"event": "link", "up": False}, {"power": "00"}, {"log": chunk},
                {"id": message["id"], "ok": True}]
    client = serve(respond)
    client.subscribe(["log"])
    client.write(b"echo hi\n")
    assert client.read_log(0) == b"boot\r\ntarget# "
    assert client.read_log(0.05) == b""
    assert (client.link_up, client.power_packets) == (False, 1)


def test_task_result_and_refusal(serve):
    def respond(message):
        if message["task"] == "jyx.data:get_postcode":
            return [{"id": message["id"], "ok": True, "result": {"codes": [170]}}]
        return [{"id": message["id"], "ok": False, "error": "unknown task"}]
    client = serve(respond)
    assert client.task("jyx.data:get_postcode") == {"codes": [170]}
    with pytest.raises(ServerError, match="jyx.nope:x: unknown task"):
        client.task("jyx.nope:x")
