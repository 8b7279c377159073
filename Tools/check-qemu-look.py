#!/usr/bin/env python3
"""make qemu's boot, checked as a person would use it and stop it: the
firmware runs the driver from the ROM and reaches the UEFI Shell on the
QD520 (the banner and the shell on the serial port, the VNC port
open), then a Ctrl-C (SIGINT to the process group, as a terminal sends it)
stops QEMU and the script, and no process is left behind.

  Tools/check-qemu-look.py TOOLS_QEMU_LOOK_SH ROM DIR

DIR holds the boot's varstore (the script's QD520_LOOK_DIR), so that a
boot of one's own is never taken for this one.
"""

import os
import signal
import socket
import subprocess
import sys
import time

DEADLINE = 150
MARKERS = ["EFI520 V1.00.07.00", "UEFI Interactive Shell"]


def leftovers(vars_path):
    """Processes whose command line names this boot's varstore."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
                if vars_path.encode() in cmdline.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def vnc_port(text):
    for word in text.split():
        if word.startswith("127.0.0.1:59"):
            return int(word.split(":")[1])
    return None


def main():
    script, rom, directory = sys.argv[1], sys.argv[2], os.path.abspath(sys.argv[3])
    vars_path = os.path.join(directory, "vars.fd")
    environment = dict(os.environ, QD520_LOOK_VIEWER="none", QD520_LOOK_DIR=directory)
    process = subprocess.Popen([script, rom], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, env=environment, start_new_session=True)
    os.set_blocking(process.stdout.fileno(), False)
    seen = b""
    start = time.monotonic()
    try:
        while not all(marker.encode() in seen for marker in MARKERS):
            if process.poll() is not None or time.monotonic() - start > DEADLINE:
                print(seen.decode(errors="replace"))
                print("FAIL: no banner and shell before QEMU ended or the deadline")
                return 1
            chunk = process.stdout.read()
            if chunk:
                seen += chunk
            else:
                time.sleep(0.05)
        port = vnc_port(seen.decode(errors="replace"))
        if port is None:
            print("FAIL: the script named no VNC port")
            return 1
        with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
            if not connection.recv(12).startswith(b"RFB "):
                print("FAIL: no VNC server on port %d" % port)
                return 1
        os.killpg(process.pid, signal.SIGINT)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            print("FAIL: Ctrl-C did not stop it within 30 s")
            return 1
        left = leftovers(vars_path)
        if left:
            print("FAIL: processes left behind: %s" % left)
            return 1
        print("the driver drew the shell on VNC port %d; Ctrl-C stopped QEMU, nothing left" % port)
        return 0
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
        for pid in leftovers(vars_path):
            os.kill(pid, signal.SIGKILL)


if __name__ == "__main__":
    sys.exit(main())
