"""Drivers that reach a JYX controller through the jyx bench server.

Power and GPIO go as single controller packets ("packet" requests): every
step is acknowledged or refused on its own, and no shared state of the
server's managers (such as the GPIO number a "set_gpio" task acts on) can be
changed by another client between two requests. The console subscribes to
the server's log fan-out. Flashing runs `jyx -i`, which itself goes through
the server, so the tool's flashing flow (programming mode, sector retries,
handing the flash lines back on every exit) is the one that runs.
"""

import contextlib
import logging
import os
import shutil
import subprocess
import tempfile
import time

import attr
from pexpect import TIMEOUT

from labgrid.driver.common import Driver
from labgrid.driver.consoleexpectmixin import ConsoleExpectMixin
from labgrid.driver.exception import ExecutionError
from labgrid.factory import target_factory
from labgrid.protocol import (BootstrapProtocol, ConsoleProtocol, DigitalOutputProtocol,
                              PowerProtocol)
from labgrid.step import step

from .client import GPIO_NUMBERS, JyxServerClient, ServerError, socket_path
from .resource import NetworkJyxController


@contextlib.contextmanager
def _as_execution_error():
    try:
        yield
    except ServerError as e:
        raise ExecutionError(str(e)) from e


class _ServerEndpoint:
    """The runtime directory under which the server's socket is reachable
    from here: the resource's own for a local server, or a private one
    holding an SSH forward of the remote socket."""

    def __init__(self, resource):
        self._conn = None
        self._forward = None
        self._tmp = None
        self.runtime_dir = resource.runtime_dir
        if isinstance(resource, NetworkJyxController):
            from labgrid.util.ssh import sshmanager
            self._tmp = tempfile.mkdtemp(prefix="jyx-labgrid-")
            os.mkdir(os.path.join(self._tmp, "jyx"), 0o700)
            local = socket_path(resource.address, self._tmp)
            remote = socket_path(resource.address, resource.runtime_dir)
            try:
                self._conn = sshmanager.get(resource.host)
                self._forward = [f"-L{local}:{remote}"]
                self._conn._run_socket_command("forward", self._forward)
            except Exception:
                self.close()
                raise
            self.runtime_dir = self._tmp
        self.path = socket_path(resource.address, self.runtime_dir)

    def close(self):
        if self._conn is not None and self._forward is not None:
            with contextlib.suppress(Exception):
                self._conn._run_socket_command("cancel", self._forward)
        self._forward = None
        if self._tmp is not None:
            shutil.rmtree(self._tmp, ignore_errors=True)
            self._tmp = None


@attr.s(eq=False)
class _JyxDriver(Driver):
    """Holds one server connection while active."""
    bindings = {"controller": {"JyxController", "NetworkJyxController"}}
    timeout = attr.ib(default=10.0, converter=float)

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.logger = logging.getLogger(f"{self}({self.target})")
        self.client = None
        self._endpoint = None

    def on_activate(self):
        self._endpoint = _ServerEndpoint(self.controller)
        try:
            with _as_execution_error():
                self.client = JyxServerClient(self._endpoint.path, self.timeout)
        except Exception:
            self._endpoint.close()
            raise

    def _set_line(self, name, number, level):
        """Sets a GPIO line and checks the level the controller reports."""
        with _as_execution_error():
            now = self.client.gpio(number, level)
        if now != level:
            raise ExecutionError(f"GPIO {name} ({number}) reads {now} after set to {level}")

    def on_deactivate(self):
        self.client.close()
        self.client = None
        self._endpoint.close()


@target_factory.reg_driver
@attr.s(eq=False)
class JyxPowerDriver(_JyxDriver, PowerProtocol):
    """Target power with the controller's PWR_OFF and PWR_BTN lines, in the
    same order and pacing as `jyx --power-on` / `--power-off`."""
    delay = attr.ib(default=2.0, converter=float)  # off time of a cycle
    step_seconds = 0.5  # between two line changes of the power-on sequence

    @Driver.check_active
    @step()
    def on(self):
        steps = [("PWR_OFF", 1), ("PWR_BTN", 1), ("PWR_BTN", 0), ("PWR_BTN", 1)]
        for index, (name, level) in enumerate(steps):
            if index:
                time.sleep(self.step_seconds)
            self._set_line(name, GPIO_NUMBERS[name], level)

    @Driver.check_active
    @step()
    def off(self):
        self._set_line("PWR_OFF", GPIO_NUMBERS["PWR_OFF"], 0)

    @Driver.check_active
    @step()
    def cycle(self):
        self.off()
        time.sleep(self.delay)
        self.on()

    @Driver.check_active
    def get(self):
        """True while the target's supply is switched on (PWR_OFF high)."""
        with _as_execution_error():
            return bool(self.client.gpio(GPIO_NUMBERS["PWR_OFF"]))


@target_factory.reg_driver
@attr.s(eq=False)
class JyxDigitalOutputDriver(_JyxDriver, DigitalOutputProtocol):
    """One controller GPIO line, by name (UART_SEL0 ... JTAG_SW_F, and the
    inputs SYS_PWRGD, SLP_S3, SLP_S5, RSMRST, APU_RST) or number. `gpios`
    adds or renames lines: {"RECOVERY": 79}."""
    line = attr.ib(kw_only=True, converter=str)
    gpios = attr.ib(factory=dict, validator=attr.validators.instance_of(dict))
    invert = attr.ib(default=False, validator=attr.validators.instance_of(bool))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        names = {**GPIO_NUMBERS, **self.gpios}
        if self.line in names:
            self.number = int(names[self.line])
        elif self.line.isdigit():
            self.number = int(self.line)
        else:
            raise ValueError(f"unknown GPIO line {self.line!r}; known: {', '.join(sorted(names))}")

    @Driver.check_active
    @step(args=["status"])
    def set(self, status):
        self._set_line(self.line, self.number, int(bool(status) != self.invert))

    @Driver.check_active
    @step(result=True)
    def get(self):
        with _as_execution_error():
            return bool(self.client.gpio(self.number)) != self.invert


@target_factory.reg_driver
@attr.s(eq=False)
class JyxConsoleDriver(ConsoleExpectMixin, _JyxDriver, ConsoleProtocol):
    """The target UART: reads the server's log fan-out, writes go to the
    target's console through the controller. With `uart` (0 UEFI, 1 SFH,
    2 CSU_PM, 3 CSU_SE) activation selects that UART and turns forwarding
    on; with `uart: null` it leaves both as they are."""
    txdelay = attr.ib(default=0.0, converter=float)
    uart = attr.ib(default=0, converter=attr.converters.optional(int))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        if self.uart is not None and not 0 <= self.uart <= 3:
            raise ValueError(f"uart {self.uart} is not one of 0-3")

    def on_activate(self):
        super().on_activate()
        try:
            with _as_execution_error():
                self.client.subscribe(["log"])
                if self.uart is not None:
                    self.client.gpio(GPIO_NUMBERS["UART_SEL1"], (self.uart >> 1) & 1)
                    self.client.gpio(GPIO_NUMBERS["UART_SEL0"], self.uart & 1)
                    self.client.uart_forwarding(True)
        except Exception:
            super().on_deactivate()
            raise

    def _read(self, size=1, timeout=0.0):
        with _as_execution_error():
            data = self.client.read_log(timeout)
        if not data:
            raise TIMEOUT(f"no target output within {timeout:.2f} seconds")
        return data

    def _write(self, data):
        if not data:
            return 0  # nothing to send; the server refuses empty writes
        with _as_execution_error():
            self.client.write(data)
        return len(data)


@target_factory.reg_driver
@attr.s(eq=False)
class JyxFlashDriver(_JyxDriver, BootstrapProtocol):
    """Programs the target's SPI NOR flash with `jyx -i IMAGE`, then checks
    it with `--checkspi` (unless `verify` is false). Both runs go through
    the server, which the driver's own connection proves is there."""
    jyx = attr.ib(default="jyx", converter=str)
    flash_timeout = attr.ib(default=900.0, converter=float)
    verify = attr.ib(default=True, validator=attr.validators.instance_of(bool))

    def _run_jyx(self, args):
        command = [self.jyx, "-a", self.controller.address, *args, "--exit-code"]
        env = dict(os.environ)
        if self._endpoint.runtime_dir:
            env["XDG_RUNTIME_DIR"] = self._endpoint.runtime_dir
        self.logger.debug("running %s", command)
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, env=env, timeout=self.flash_timeout,
                                  check=False)
        except (OSError, subprocess.TimeoutExpired) as e:
            raise ExecutionError(f"{' '.join(command)}: {e}") from e
        output = done.stdout.decode(errors="replace")
        for line in output.splitlines():
            self.logger.debug("jyx: %s", line)
        if done.returncode != 0:
            tail = "\n".join(output.splitlines()[-5:])
            raise ExecutionError(
                f"{' '.join(command)} failed with exit status {done.returncode}:\n{tail}")
        return output

    @Driver.check_active
    @step(args=["filename"])
    def load(self, filename):
        image = os.path.abspath(filename)
        if not os.path.isfile(image):
            raise ExecutionError(f"image {filename} is not a file")
        self._run_jyx(["-i", image])
        if self.verify:
            self._run_jyx(["-i", image, "--checkspi"])
