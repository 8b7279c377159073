"""One QEMU run of the end-to-end tests: the process, its serial port (a
file) and its QMP monitor (a unix socket in the run folder), all under one
deadline. Every wait ends at the deadline at the latest; the process is
killed if it is still running then: a hang is a failure.

Python standard library only.
"""

import json
import os
import re
import socket
import subprocess
import time

ANSI = re.compile(r"\x1b\[[0-9;=?]*[A-Za-z]")
POLL_SECONDS = 0.05


class QemuError(Exception):
    """A wait ran into the deadline, QEMU ended early or QMP refused a command."""


class Qemu:
    def __init__(self, command, directory, seconds):
        self.directory = directory
        self.serial_path = os.path.join(directory, "serial.log")
        self.socket_path = os.path.join(directory, "qmp.sock")
        self.command = command + [
            "-serial", "file:" + self.serial_path,
            "-qmp", "unix:%s,server=on,wait=off" % self.socket_path,
        ]
        self.seconds = seconds
        self.start_time = None
        self.process = None
        self.qmp = None
        self.killed = False

    # --- life cycle ---------------------------------------------------------
    def start(self):
        for path in (self.serial_path, self.socket_path):
            if os.path.exists(path):
                os.unlink(path)
        self.start_time = time.monotonic()
        with open(os.path.join(self.directory, "qemu.log"), "wb") as log:
            self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self._until(lambda: os.path.exists(self.socket_path), "the QMP socket")
        connection = socket.socket(socket.AF_UNIX)
        connection.settimeout(self.remaining())
        connection.connect(self.socket_path)
        self.qmp = connection.makefile("rw")
        self._reply()          # the greeting
        self.execute("qmp_capabilities")

    def elapsed(self):
        return time.monotonic() - self.start_time

    def remaining(self):
        return max(0.1, self.seconds - self.elapsed())

    def wait_exit(self):
        """Waits for QEMU to end by itself; kills it at the deadline. Returns
        the exit status."""
        try:
            return self.process.wait(timeout=self.remaining())
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self):
        if self.process and self.process.poll() is None:
            self.killed = True
            self.process.kill()
            self.process.wait()

    def quit(self):
        try:
            self.execute("quit")
        except (QemuError, OSError):
            pass
        return self.wait_exit()

    def close(self):
        self.kill()
        if self.qmp:
            self.qmp.close()

    # --- serial port ----------------------------------------------------------
    def serial(self):
        """The serial output so far, terminal escapes removed."""
        try:
            with open(self.serial_path, "rb") as log:
                return ANSI.sub("", log.read().decode("ascii", errors="replace"))
        except FileNotFoundError:
            return ""

    def wait_serial(self, text, count=1):
        """Waits until the serial output holds text count times."""
        self._until(lambda: self.serial().count(text) >= count, "%r on the serial port" % text)

    def _until(self, condition, what):
        while not condition():
            self.tick(what)

    def tick(self, what):
        """One polling interval of a wait for what; raises when QEMU has
        ended or the deadline has passed."""
        if self.process.poll() is not None:
            raise QemuError("QEMU ended (status %s) before %s" % (self.process.returncode, what))
        if self.elapsed() > self.seconds:
            raise QemuError("no %s after %d s" % (what, self.seconds))
        time.sleep(POLL_SECONDS)

    # --- QMP --------------------------------------------------------------------
    def _reply(self):
        while True:
            line = self.qmp.readline()
            if not line:
                raise QemuError("QMP connection closed")
            message = json.loads(line)
            if "event" not in message:
                return message

    def execute(self, name, **arguments):
        request = {"execute": name}
        if arguments:
            request["arguments"] = arguments
        self.qmp.write(json.dumps(request) + "\n")
        self.qmp.flush()
        reply = self._reply()
        if "error" in reply:
            raise QemuError("QMP %s: %s" % (name, reply["error"].get("desc")))
        return reply.get("return")

    def send_key(self, key):
        self.execute("send-key", keys=[{"type": "qcode", "data": key}])

    def screendump(self, path, device=None):
        """Writes what the console of device (its id=) shows as a PPM file."""
        arguments = {"filename": os.path.abspath(path), "format": "ppm"}
        if device:
            arguments["device"] = device
        self.execute("screendump", **arguments)

    def pci_devices(self):
        """{qdev id: device record of query-pci} for the devices given an id."""
        devices = {}
        for bus in self.execute("query-pci"):
            for device in bus["devices"]:
                if device.get("qdev_id"):
                    devices[device["qdev_id"]] = device
        return devices


def bar_address(device, bar):
    """The address firmware gave a BAR of a query-pci device record, or None."""
    for region in device.get("regions", []):
        if region.get("bar") == bar and region.get("type") == "memory":
            return region["address"]
    return None


def pci_path(device):
    """The UEFI device path text of a device on the root bus."""
    return "PciRoot(0x0)/Pci(0x%X,0x%X)" % (device["slot"], device["function"])
