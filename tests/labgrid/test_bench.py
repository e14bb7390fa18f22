"""labgrid drivers against jyx-sim through `jyx --serve`, while a plain
`jyx -X 0` client streams the same target log."""

import random
import re
import signal
import zlib

import pytest
from labgrid.driver.exception import ExecutionError

BANNER = rb"SPI flash crc32 \(first 64 KiB\): 0x([0-9a-f]{8})"


def boot_banner(console):
    _, _, match, _ = console.expect(BANNER, timeout=20)
    console.expect("target# ", timeout=20)
    return int(match.group(1), 16)


def test_power_console_gpio_and_flash(bench, target, tmp_path):
    console = target.get_driver("JyxConsoleDriver")
    power = target.get_driver("JyxPowerDriver")
    flash = target.get_driver("JyxFlashDriver")
    jtag = target.get_driver("JyxDigitalOutputDriver", name="jtag")
    pwrgd = target.get_driver("JyxDigitalOutputDriver", name="pwrgd")

    erased = zlib.crc32(b"\xff" * 65536)
    power.on()
    assert power.get()
    assert boot_banner(console) == erased
    console.sendline("echo labgrid-hello")
    console.expect(r"\r\nlabgrid-hello\r\ntarget# ", timeout=10)

    assert pwrgd.get()
    with pytest.raises(ExecutionError, match="ACK_FAIL"):
        pwrgd.set(False)  # an input: the controller refuses
    for level in (True, False):
        jtag.set(level)
        assert jtag.get() is level

    image = random.Random(19).randbytes(65536)
    (tmp_path / "image.bin").write_bytes(image)
    flash.load(str(tmp_path / "image.bin"))
    with pytest.raises(ExecutionError, match="not a file"):
        flash.load(str(tmp_path / "missing.bin"))
    power.cycle()
    assert boot_banner(console) == zlib.crc32(image)

    power.off()
    assert not power.get() and not pwrgd.get()

    # Everything went through the server: its link is the only one the
    # controller saw. The plain client streamed all of it, and still runs.
    assert bench.packet_clients() == 1
    assert bench.streamer.poll() is None
    bench.stop(bench.streamer, signal.SIGINT)
    text = bench.stream.finish()
    banners = re.findall(BANNER.decode(), text)
    assert banners == [f"{erased:08x}", f"{zlib.crc32(image):08x}"]
    assert "labgrid-hello" in text
