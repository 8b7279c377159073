#!/usr/bin/env python3
"""End-to-end runs of the QD520 graphics output driver in real UEFI firmware:
Debian's OVMF under QEMU (software emulation) with the QD520 as a PCI device
(`-device qd520`, Qemu/). The firmware enumerates it, assigns its BARs and
runs the driver, and its consoles draw on it. Boots, run in parallel:

  rom        the driver only in the card's option ROM (romfile=): the
             firmware dispatches it by itself. The UEFI Shell's startup.nsh
             then lists drivers, devices and handles, disconnects and
             reconnects the controller (with an end-node connect in
             between), runs the console scroll test and SetMode to the
             current mode; both screens are captured from QEMU (what the
             monitor shows) while the test application holds them.
  efi        the same on an adapter without a ROM whose BAR 0 is a 64-bit
             BAR (firmware puts it above 4 GiB); the driver comes from the
             shell's `load`.
  frontpage  `-boot menu=on`, Esc sent through QMP: the firmware's front
             page drawn on the QD520, its menu entries found cell by cell
             in the firmware's font.
  two        two QD520s: each with its own graphics output, the shell's
             console on both; one disconnected, the other still draws.
  production the production option ROM (--production-rom, MDEPKG_NDEBUG)
             on the card: nothing on the debug port, so the driver is found
             in the shell's listings and on the screen (the console scroll
             test).
  compare    not a test: the console scroll test timed on the QD520 and on
             QEMU's bochs-display under OVMF's own driver, at 800x600 in
             one run (`--boot compare`).

Every QEMU run has a deadline (--timeout): a hang is a failure. Files land
in --output/<boot>/: serial.log, the shell's listings, the frame-buffer
dumps, and the screendumps as PNG.

Exit status 0 when every check of every boot passed.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_qemu  # noqa: E402
import qd520_screen  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "Tools"))
import unpack_rom  # noqa: E402

DRIVER_NAME = "Quandrel QD520 GOP Driver"
CONTROLLER_NAME = "Quandrel QD520 PCI Adapter"
CONSOLE_OUTPUT_NAME = "Primary Console Output Device"
BANNER = "EFI520 V1.00.07.00"
GRAPHICS_CONSOLE_NAME = "Graphics Console Driver"
# A display controller is a console output device of OVMF: its platform
# console driver and the console splitter bind to it too.
CONTROLLER_MANAGERS = [DRIVER_NAME, GRAPHICS_CONSOLE_NAME, "Platform Console Management Driver",
                       "Console Splitter Driver"]
OFFERED_MODES = [(640, 480), (800, 600), (1024, 768)]
DISPLAY_NODE = "/AcpiAdr(0x80010100)"
FRAME_BUFFER_BAR_SIZE = 32 * 1024 * 1024
FOUR_GIB = 1 << 32
SHELL_STARTED = "UEFI Interactive Shell"
COUNTDOWN = "Press ESC in"
FRONT_PAGE_ENTRIES = ["Device Manager", "Boot Manager", "Boot Maintenance Manager", "Continue", "Reset"]
BOCHS_IDENTITY = "1234:1111"
BLACK = (0, 0, 0, 0)

STARTUP = r"""@echo -off
fs0:
{load}
drivers >a fs0:\drivers.txt
devices >a fs0:\devices.txt
dh -d -v -p GraphicsOutput >a fs0:\dh-gop.txt
dh -v -p DevicePath >a fs0:\paths.txt
fs0:\Qd520ConsoleTest.efi script devices.txt drivers.txt cycle.in cycle.nsh
fs0:\cycle.nsh
fs0:\Qd520ConsoleTest.efi console {lines} screen
fs0:\Qd520ConsoleTest.efi samemode samemode
reset -s
"""

PRODUCTION_STARTUP = r"""@echo -off
fs0:
drivers >a fs0:\drivers.txt
devices >a fs0:\devices.txt
dh -d -v -p GraphicsOutput >a fs0:\dh-gop.txt
dh -v -p DevicePath >a fs0:\paths.txt
fs0:\Qd520ConsoleTest.efi console {lines} screen
reset -s
"""
STEP_MESSAGE = re.compile(r"line:\d+,Status:")

CYCLE = r"""dh -d -v @CONTROLLER@ >a fs0:\dh-controller.txt
dh -v @DRIVER@ >a fs0:\dh-driver.txt
disconnect @CONTROLLER@ >a fs0:\disconnect.txt
dh -d @CONTROLLER@ >a fs0:\dh-disconnected.txt
devices >a fs0:\devices-disconnected.txt
dh -v -p DevicePath >a fs0:\paths-disconnected.txt
fs0:\Qd520ConsoleTest.efi endnode endnode
connect @CONTROLLER@ >a fs0:\connect.txt
dh -d -v @CONTROLLER@ >a fs0:\dh-reconnected.txt
dh -v -p DevicePath >a fs0:\paths-reconnected.txt
"""

TWO_STARTUP = r"""@echo -off
fs0:
drivers >a fs0:\drivers.txt
devices >a fs0:\devices.txt
dh -d -v -p GraphicsOutput >a fs0:\dh-gop.txt
cls
echo {both}
fs0:\Qd520ConsoleTest.efi hold both
fs0:\Qd520ConsoleTest.efi script devices.txt drivers.txt one.in one.nsh
fs0:\one.nsh
reset -s
"""

TWO_CYCLE = r"""disconnect @CONTROLLER@ >a fs0:\disconnect.txt
dh -d -v -p GraphicsOutput >a fs0:\dh-gop-one.txt
cls
echo {one}
fs0:\Qd520ConsoleTest.efi hold one
"""
TWO_BOTH_TEXT = "QD520 console on both adapters"
TWO_ONE_TEXT = "QD520 console on the adapter left"

COMPARE_LINES = 69
COMPARE_ROUNDS = 3
COMPARE_STARTUP = "@echo -off\nfs0:\n" + "".join(
    "fs0:\\Qd520ConsoleTest.efi console %d qd520-%d\nfs0:\\Qd520ConsoleTest.efi console %d bochs-%d %s\n"
    % (COMPARE_LINES, round_, COMPARE_LINES, round_, BOCHS_IDENTITY) for round_ in range(1, COMPARE_ROUNDS + 1)) + \
    "reset -s\n"

OUTPUTS = [
    "drivers.txt", "devices.txt", "dh-gop.txt", "paths.txt", "cycle.nsh", "dh-controller.txt",
    "dh-driver.txt", "disconnect.txt", "dh-disconnected.txt", "devices-disconnected.txt",
    "paths-disconnected.txt", "connect.txt", "dh-reconnected.txt", "paths-reconnected.txt",
    "screen.txt", "screen.bgrx", "screen-blt.bgrx", "endnode.txt", "samemode.txt", "one.nsh", "dh-gop-one.txt",
] + ["%s-%d.txt" % (name, round_) for name in ("qd520", "bochs") for round_ in range(1, COMPARE_ROUNDS + 1)]

HANDLE_LINE = re.compile(r"^\s*([0-9A-F]+): ", re.M)


def rom_images(path):
    """The EFI images of an option ROM as the firmware's PCI bus driver
    walks it: [(architecture, start offset, length in bytes)]."""
    with open(path, "rb") as source:
        rom = source.read()
    return [(architecture, start, length) for start, length, architecture, _, _ in unpack_rom.images(rom)
            if architecture]


def rom_image_node(path, architecture="X64"):
    """The device path node the firmware gives the image of architecture in
    the option ROM at path: Offset(start,end)."""
    for name, start, length in rom_images(path):
        if name == architecture:
            return "Offset(0x%X,0x%X)" % (start, start + length - 1)
    return "Offset(no %s image)" % architecture


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def run(command):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


SKIPPED = 77   # the harnesses' SKIP_RETURN_CODE in ctest


def add_qemu_arguments(parser, timeout, packaged_ovmf=True):
    """The options every x86 harness takes: the QEMU with the qd520 device,
    how many runs at once and for how long; Debian's OVMF unless the
    harness needs firmware built from the kit."""
    parser.add_argument("--qemu", required=True, help="qemu-system-x86_64 with the qd520 device")
    parser.add_argument("--jobs", type=int, default=2, help="QEMU runs at once")
    parser.add_argument("--timeout", type=int, default=timeout, help="seconds before a QEMU run is killed")
    parser.add_argument("--qemu-firmware", default="/usr/share/qemu", help="QEMU's -L folder")
    if packaged_ovmf:
        parser.add_argument("--ovmf-code", default="/usr/share/OVMF/OVMF_CODE_4M.fd")
        parser.add_argument("--ovmf-vars", default="/usr/share/OVMF/OVMF_VARS_4M.fd")


def firmware_skip(label, unavailable, firmware=()):
    """The line that skips label when its firmware was not built: the
    reason the build left in unavailable, or the first missing firmware
    file; None when the firmware is there."""
    if unavailable and os.path.exists(unavailable):
        with open(unavailable) as reason:
            return "%s: skipped: %s" % (label, reason.read().strip())
    for path in firmware:
        if not os.path.exists(path):
            return "%s: skipped: %s is missing (Tools/bootstrap.sh builds it)" % (label, path)
    return None


def missing(tools=(), paths=()):
    """The line that names what a harness needs and does not have: tools
    not on PATH, files that do not exist; None when nothing is missing."""
    absent = [tool for tool in tools if shutil.which(tool) is None]
    absent += sorted({path for path in paths if not os.path.exists(path)})
    return "missing %s (Tools/bootstrap.sh installs and builds them)" % ", ".join(absent) if absent else None


def driver_lines(serial):
    """The lines of the serial port that the debug build of the driver
    writes: its banner, a step message of a failed Start, an assertion."""
    return [line for line in serial.splitlines() if BANNER in line or "ASSERT" in line or STEP_MESSAGE.search(line)]


def handle_blocks(dump):
    """{handle: its part of a dh dump}."""
    starts = list(HANDLE_LINE.finditer(dump))
    return {match.group(1): dump[match.start():starts[index + 1].start() if index + 1 < len(starts) else len(dump)]
            for index, match in enumerate(starts)}


def controller_name(block):
    match = re.search(r"Controller Name\s*: (.*)", block)
    return match.group(1).strip() if match else None


class Boot:
    """One QEMU boot: its devices, its disk, how it is driven and checked."""

    devices = [{"id": "qd520", "rom": True}]
    startup = None
    holds = []          # names the test application holds the screens for, in order
    boot_menu = False

    def __init__(self, name, args):
        self.name = name
        self.args = args
        self.directory = os.path.join(args.output, name)
        self.image = os.path.join(self.directory, "fat.img")
        self.results = []
        self.qemu = None
        self.pci = {}
        self.status = None
        self.error = None

    # --- preparation and boot -------------------------------------------------
    def disk_files(self):
        return {"Qd520ConsoleTest.efi": self.args.console_test}

    def prepare(self):
        shutil.rmtree(self.directory, ignore_errors=True)
        os.makedirs(self.directory)
        shutil.copyfile(self.args.ovmf_vars, os.path.join(self.directory, "vars.fd"))
        if self.startup is None:
            return
        stage = os.path.join(self.directory, "disk")
        os.makedirs(stage)
        for name, source in self.disk_files().items():
            shutil.copyfile(source, os.path.join(stage, name))
        for name, text in self.scripts().items():
            with open(os.path.join(stage, name), "w", newline="") as script:
                script.write(crlf(text))
        run(["mkfs.fat", "-C", "-n", "QD520E2E", self.image, "32768"])
        run(["mcopy", "-i", self.image] + [os.path.join(stage, name) for name in sorted(os.listdir(stage))] + ["::/"])

    def scripts(self):
        return {"startup.nsh": self.startup}

    def command(self):
        command = [
            self.args.qemu, "-L", self.args.qemu_firmware, "-machine", "q35", "-m", "256", "-nodefaults",
            "-vga", "none", "-display", "none", "-no-reboot",
            "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + self.args.ovmf_code,
            "-drive", "if=pflash,format=raw,unit=1,file=" + os.path.join(self.directory, "vars.fd"),
        ]
        if self.startup is not None:
            command += ["-drive", "file=%s,format=raw,media=disk" % self.image]
        if self.boot_menu:
            command += ["-boot", "menu=on,splash-time=3000"]
        for device in self.devices:
            option = "qd520,id=" + device["id"]
            if device.get("rom"):
                option += ",romfile=" + os.path.abspath(self.rom_file())
            if device.get("bar0_64bit"):
                option += ",bar0-64bit=on"
            command += ["-device", option]
        return command + self.extra_devices()

    def extra_devices(self):
        return []

    def rom_file(self):
        """The option ROM on the cards that carry one."""
        return self.args.rom

    def boot(self):
        self.qemu = qd520_qemu.Qemu(self.command(), self.directory, self.args.timeout)
        try:
            self.qemu.start()
            self.drive()
        except (qd520_qemu.QemuError, OSError) as error:
            self.error = str(error)
            with open(os.path.join(self.directory, "qemu.log"), errors="replace") as log:
                said = log.read().strip()
            if said:
                self.error += "; QEMU: " + said.splitlines()[-1]
        finally:
            self.qemu.close()
            self.seconds = self.qemu.elapsed()

    def screen_ids(self):
        return [device["id"] for device in self.devices]

    def drive(self):
        """Skips the shell's countdown, takes the screendumps at each hold
        of the test application and lets it go on, waits for power-off."""
        self.qemu.wait_serial(COUNTDOWN)
        self.qemu.send_key("spc")
        self.pci = self.qemu.pci_devices()
        for name in self.holds:
            self.qemu.wait_serial("QD520 console test: hold %s" % name)
            self.dump_screens(name)
            self.qemu.send_key("ret")
        self.status = self.qemu.wait_exit()
        self.poweroff = self.status == 0 and not self.qemu.killed

    def dump_screens(self, name):
        ids = self.screen_ids()
        for device in ids:
            suffix = "" if len(ids) == 1 else "-" + device
            self.qemu.screendump(os.path.join(self.directory, "%s%s.ppm" % (name, suffix)), device)

    def collect(self):
        if self.startup is None:
            return
        for name in OUTPUTS:
            subprocess.run(["mcopy", "-n", "-o", "-i", self.image, "::/" + name, os.path.join(self.directory, name)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # --- checks helpers ---------------------------------------------------------
    def check(self, name, ok, detail=""):
        self.results.append((name, bool(ok), detail))
        return bool(ok)

    def note(self, text):
        self.results.append((text, True, "information"))

    def text(self, name):
        path = os.path.join(self.directory, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as source:
            return source.read().decode("ascii", errors="replace").replace("\r", "")

    def require(self, name):
        text = self.text(name)
        self.check("%s written by the shell" % name, text is not None, "missing from the disk" if text is None else "")
        return text or ""

    def screendump(self, name):
        """The screendump name.ppm as a Screen, also written as name.png."""
        path = os.path.join(self.directory, name + ".ppm")
        if not self.check("screendump %s.ppm taken" % name, os.path.exists(path)):
            return None
        screen = qd520_screen.read_ppm(path)
        qd520_screen.write_png(os.path.join(self.directory, name + ".png"), screen)
        return screen

    def bar0(self, device_id):
        device = self.pci.get(device_id)
        return qd520_qemu.bar_address(device, 0) if device else None

    def check_run(self):
        self.check("QEMU run driven to the end" if self.error is None else "QEMU run: " + self.error,
                   self.error is None)

    def check_serial_basics(self, serial, starts):
        self.check("no assertion on the debug port", "ASSERT" not in serial,
                   next((line for line in serial.splitlines() if "ASSERT" in line), ""))
        banners = serial.count(BANNER)
        self.check("banner \"%s\" %d times (once per Start)" % (BANNER, starts), banners == starts, "%d times" % banners)

    def check_firmware_ran_the_rom(self, serial):
        first = serial.find(BANNER)
        shell = serial.find(SHELL_STARTED)
        self.check("the firmware started the driver from the option ROM before the shell",
                   0 <= first and (shell < 0 or first < shell), "banner at %d, shell at %d" % (first, shell))

    def check_bars(self, device_id, above_4gib=False):
        bar0 = self.bar0(device_id)
        where = "above 4 GiB" if above_4gib else "below 4 GiB"
        self.check("%s: BAR 0 assigned by the firmware %s (%s)" % (device_id, where, hex(bar0) if bar0 else None),
                   bar0 is not None and (bar0 >= FOUR_GIB) == above_4gib)
        return bar0

    def check_graphics_output_dump(self, title, dump, bar0, managers=CONTROLLER_MANAGERS):
        """The shell's verbose dump of the adapter's graphics output: the
        mode record and the modes QueryMode gives, the names and the drivers
        that manage the controller (managers; None: not checked)."""
        value = lambda label: (re.search(re.escape(label) + r"\.*: (\S+)", dump) or [None, None])[1]
        max_mode = value("Max Mode")
        self.check("%s: MaxMode 3" % title, max_mode == "0x00000003", "MaxMode %s" % max_mode)
        modes = [(int(h), int(v)) for h, v in
                 re.findall(r"Resolution\[\d+\]:\s*Horizontal\.*: (\d+)\s*Vertical\.*: (\d+)", dump)]
        self.check("%s: QueryMode lists 640x480, 800x600, 1024x768" % title, modes == OFFERED_MODES, "%s" % modes)
        current = int(value("Current Mode") or "-1", 16)
        width, height = int(value("HorizontalResolution") or 0), int(value("VerticalResolution") or 0)
        size = int(value("Frame Buffer Size") or "0", 16)
        self.check("%s: current mode %d matches its information and size" % (title, current),
                   0 <= current < len(OFFERED_MODES) and OFFERED_MODES[current] == (width, height)
                   and size == qd520_screen.frame_buffer_bytes(width, height)
                   and value("Pixels / Scan Line") == str(qd520_screen.pixels_per_scan_line(width)),
                   "mode %d: %dx%d, %d bytes" % (current, width, height, size))
        base = value("Frame Buffer Base")
        self.check("%s: frame buffer base is BAR 0 as the firmware assigned it" % title,
                   bar0 is not None and base and int(base, 16) == bar0,
                   "base %s, BAR 0 %s" % (base, hex(bar0) if bar0 is not None else None))
        self.check("%s: pixel format BGRX" % title, value("Pixel Format") == "PixelBlueGreenRedReserved8BitPerColor")
        self.check("%s: controller name \"%s\"" % (title, CONTROLLER_NAME),
                   re.search(r"Controller Name\s*: " + re.escape(CONTROLLER_NAME), dump))
        found = re.findall(r"Drv\[[0-9A-F]+\]\s*: (.*)", dump)
        if managers is not None:
            self.check("%s: managed by the driver, the graphics console and the console drivers" % title,
                       sorted(m.strip() for m in found) == sorted(managers), "%s" % found)
        self.check("%s: text output of the graphics console on the controller" % title, "SimpleTextOut(" in dump)

    def check_graphics_output_handles(self, title, dump, adapters):
        """dh -p GraphicsOutput: the adapters' controllers and the console
        splitter's output, nothing else. Returns {handle: block} of the
        adapters."""
        blocks = handle_blocks(dump)
        names = sorted(controller_name(block) or "?" for block in blocks.values())
        self.check("%s: graphics output on %d QD520 controller(s) and the console splitter" % (title, adapters),
                   names == sorted([CONTROLLER_NAME] * adapters + [CONSOLE_OUTPUT_NAME]), "%s" % names)
        return {handle: block for handle, block in blocks.items() if controller_name(block) == CONTROLLER_NAME}

    def check_text_on_screen(self, title, screen, texts, present=True):
        font = qd520_screen.load_font(self.args.edk2)
        for text in texts:
            places = qd520_screen.find_text(screen, font, text)
            if present:
                self.check("%s: \"%s\" drawn once, cell by cell in the firmware's font" % (title, text),
                           len(places) == 1, "found at %s" % [place[:2] for place in places])
            else:
                self.check("%s: \"%s\" not drawn" % (title, text), not places, "found at %s" % places)

    def report(self):
        failed = [result for result in self.results if not result[1]]
        print("== %s boot: %d checks, %d failed, QEMU %.1f s, files in %s"
              % (self.name, len(self.results), len(failed), getattr(self, "seconds", 0.0), self.directory))
        for name, ok, detail in self.results:
            print("  %-4s %s%s" % ("ok" if ok else "FAIL", name, (" -- " + detail) if detail and not ok else ""))
        return not failed


class ShellBoot(Boot):
    """The driver from the option ROM (rom) or from `load` (efi): listings,
    disconnect and reconnect, end-node connect, console test, SetMode to
    the current mode."""

    holds = ["screen", "samemode"]

    def __init__(self, name, args):
        super().__init__(name, args)
        self.from_rom = name != "efi"
        self.lines = 40 if self.from_rom else 33
        self.devices = [{"id": "qd520", "rom": self.from_rom, "bar0_64bit": not self.from_rom}]
        self.startup = STARTUP.format(load="" if self.from_rom else r"load fs0:\Quandrel520Gop.efi", lines=self.lines)
        if self.from_rom:
            self.image_name = rom_image_node(self.rom_file())
        else:
            self.image_name = "\\Quandrel520Gop.efi"

    def disk_files(self):
        files = super().disk_files()
        if not self.from_rom:
            files["Quandrel520Gop.efi"] = self.args.driver
        return files

    def scripts(self):
        return {"startup.nsh": self.startup, "cycle.in": CYCLE}

    def check_all(self):
        self.check_run()
        self.check("QEMU powered off by itself (reset -s)", getattr(self, "poweroff", False),
                   "killed after %d s" % self.args.timeout if self.qemu.killed else "status %s" % self.status)
        serial = self.qemu.serial()
        self.check_serial_basics(serial, 3)
        if self.from_rom:
            self.check_firmware_ran_the_rom(serial)
        else:
            self.check("driver image loaded by the shell",
                       "Image 'FS0:\\Quandrel520Gop.efi' loaded at" in serial)
        bar0 = self.check_bars("qd520", above_4gib=not self.from_rom)
        path = qd520_qemu.pci_path(self.pci["qd520"]) if "qd520" in self.pci else "?"
        handles = self.check_listings(bar0, path)
        self.check_cycle(handles, bar0, path)
        self.check_console_screen(bar0)
        self.check_same_mode()
        self.check_end_node()

    def check_listings(self, bar0, path):
        drivers = self.require("drivers.txt")
        row = re.search(r"^\s*([0-9A-F]+) ([0-9A-F]{8}) (\S) (\S) (\S) +(\S+) +(\S+) " + re.escape(DRIVER_NAME) +
                        r" +(\S.*)$", drivers, re.M)
        self.check("drivers: \"%s\" listed" % DRIVER_NAME, row)
        driver = row.group(1) if row else None
        if row:
            self.check("drivers: version 00000010, one device, image %s" % self.image_name,
                       row.group(2) == "00000010" and row.group(6) == "1" and self.image_name in row.group(8),
                       row.group(0).strip())
        console = re.search(r"^.* (\S+) +(\S+) " + re.escape(GRAPHICS_CONSOLE_NAME), drivers, re.M)
        self.check("drivers: graphics console manages one device", console and console.group(1) == "1",
                   console.group(0).strip() if console else "not listed")

        devices = self.require("devices.txt")
        row = re.search(r"^\s*([0-9A-F]+) .* " + re.escape(CONTROLLER_NAME) + r"\s*$", devices, re.M)
        self.check("devices: \"%s\" listed" % CONTROLLER_NAME, row)
        controller = row.group(1) if row else None

        adapters = self.check_graphics_output_handles("dh -p GraphicsOutput", self.require("dh-gop.txt"), 1)
        self.check("dh -p GraphicsOutput: the QD520's is on the controller %s" % controller,
                   list(adapters) == [controller], "%s" % list(adapters))
        for block in adapters.values():
            self.check_graphics_output_dump("dh -p GraphicsOutput", block, bar0)

        paths = self.require("paths.txt")
        self.check("controller path %s, display child %s installed once" % (path, path + DISPLAY_NODE),
                   path in paths and paths.count(path + DISPLAY_NODE) == 1,
                   "%d handles" % paths.count(path + DISPLAY_NODE))
        return controller, driver

    def check_cycle(self, handles, bar0, path):
        controller, driver = handles
        cycle = self.require("cycle.nsh")
        self.check("cycle.nsh names controller %s and driver %s" % (controller, driver),
                   controller and driver and ("dh -d -v %s " % controller) in cycle and ("dh -v %s " % driver) in cycle)

        dump = self.require("dh-controller.txt")
        self.check("dh controller: the controller's handle", HANDLE_LINE.findall(dump)[:1] == [controller])
        self.check_graphics_output_dump("dh controller", dump, bar0)

        driver_dump = self.require("dh-driver.txt")
        for protocol in ("DriverBinding(", "ComponentName(", "ComponentName2(", "SupportedEfiSpecVersion("):
            self.check("dh driver: %s on the image handle" % protocol.rstrip("("), protocol in driver_dump)
        self.check("dh driver: supported EFI version 0x0002000A",
                   re.search(r"SupportedEfiSpecVersion\([0-9A-F]+\)\s*0x0002000A", driver_dump))
        self.check("dh driver: image %s" % self.image_name,
                   re.search(r"FilePath\.*: .*" + re.escape(self.image_name), driver_dump))

        self.check("disconnect succeeded", "Result Success" in self.require("disconnect.txt"))
        gone = self.require("dh-disconnected.txt")
        self.check("disconnected: no graphics output, no text output, PCI I/O and path remain",
                   "GraphicsOutput" not in gone and "SimpleTextOut" not in gone and "PCIIO" in gone
                   and "DevicePath" in gone, gone.strip())
        self.check("disconnected: the controller has no name any more",
                   CONTROLLER_NAME not in self.require("devices-disconnected.txt"))
        self.note("disconnected: display child handles left: %d"
                  % self.require("paths-disconnected.txt").count(path + DISPLAY_NODE))

        self.check("connect succeeded", "Result Success" in self.require("connect.txt"))
        self.check_graphics_output_dump("dh reconnected", self.require("dh-reconnected.txt"), bar0)
        paths = self.require("paths-reconnected.txt")
        self.check("reconnected: display child installed once", paths.count(path + DISPLAY_NODE) == 1,
                   "%d handles" % paths.count(path + DISPLAY_NODE))

    def check_console_screen(self, bar0):
        report = os.path.join(self.directory, "screen.txt")
        if not self.check("console test report written", os.path.exists(report)):
            return
        info = qd520_screen.read_info(report)
        self.check("console test: every call succeeded, the screen held for the screendump",
                   info.get("result") == "Success" and info.get("output_string_failures") == "0"
                   and all(info[key] == "Success" for key in info if key.endswith("_status")),
                   ", ".join("%s=%s" % item for item in info.items() if item[0].endswith("status")
                             and item[1] != "Success"))
        try:
            width, height = int(info["width"]), int(info["height"])
            frame = qd520_screen.Screen.from_file(os.path.join(self.directory, "screen.bgrx"), width, height,
                                                  int(info["pixels_per_scan_line"]))
            readback = qd520_screen.Screen.from_file(os.path.join(self.directory, "screen-blt.bgrx"), width, height)
        except (KeyError, ValueError, OSError) as error:
            self.check("frame buffer dumps readable", False, str(error))
            return
        qd520_screen.write_png(os.path.join(self.directory, "screen-frame-buffer.png"), frame)
        self.check("console test: frame buffer base is BAR 0",
                   bar0 is not None and int(info.get("frame_buffer_base", "0"), 16) == bar0)
        self.check("console test: text mode 0 is 80x25", (info.get("columns"), info.get("rows")) == ("80", "25"))
        self.check("Blt read-back equals the frame buffer", readback.visible() == frame.visible())
        monitor = self.screendump("screen")
        if monitor is None:
            return
        self.check("the monitor shows %dx%d, the frame buffer pixel for pixel" % (width, height),
                   (monitor.width, monitor.height) == (width, height) and monitor.visible() == frame.visible(),
                   "screendump %dx%d" % (monitor.width, monitor.height))
        font = qd520_screen.load_font(self.args.edk2)
        console = qd520_screen.check_console(monitor, info, font)
        self.check("the monitor shows exactly what the console drew (%dx%d, GOP mode %s): font, colours, positions, "
                   "scroll" % (width, height, info.get("gop_mode")), console.ok, "; ".join(console.failures))
        for note in console.notes:
            self.note("screen: " + note)

    def check_same_mode(self):
        path = os.path.join(self.directory, "samemode.txt")
        if not self.check("samemode report written", os.path.exists(path)):
            return
        info = qd520_screen.read_info(path)
        self.check("SetMode to the current mode: screen was blue, then every visible pixel and the whole "
                   "frame black, mode record unchanged",
                   info.get("result") == "Success" and info.get("not_blue_before") == "0"
                   and info.get("not_black_after") == "0" and info.get("frame_buffer_words_not_zero_after") == "0"
                   and info.get("mode_record_unchanged") == "1" and info.get("hold_status") == "Success",
                   ", ".join("%s=%s" % item for item in info.items()))
        monitor = self.screendump("samemode")
        if monitor is not None:
            size = (int(info.get("width", 0)), int(info.get("height", 0)))
            self.check("SetMode to the current mode: the monitor shows %dx%d, all black" % size,
                       (monitor.width, monitor.height) == size and qd520_screen.count_other_than(monitor, BLACK) == 0,
                       "%dx%d, %d pixels not black" % (monitor.width, monitor.height,
                                                        qd520_screen.count_other_than(monitor, BLACK)))

    def check_end_node(self):
        path = os.path.join(self.directory, "endnode.txt")
        if not self.check("endnode report written", os.path.exists(path)):
            return
        info = qd520_screen.read_info(path)
        self.check("end-node connect: graphics output on the controller, no new child, the console draws; "
                   "disconnect removes it and leaves PCI I/O open by no driver",
                   info.get("result") == "Success" and info.get("graphics_output_before") == "absent"
                   and info.get("connect_status") == "Success" and info.get("gop_max_mode") == "3"
                   and info.get("children_before") == info.get("children_after")
                   and int(info.get("inked_pixels", "0")) > 0
                   and info.get("disconnect_status") == "Success" and info.get("graphics_output_after") == "absent"
                   and info.get("text_output_after") == "absent" and info.get("pci_io_driver_opens_after") == "0",
                   ", ".join("%s=%s" % item for item in info.items()))
        self.check("end-node connect: the mode set cleared all 32 MiB of BAR 0 (filled beforehand)",
                   info.get("bar0_fill_status") == "Success" and info.get("bar0_words_not_zero_beyond_mode") == "0",
                   "fill %s, %s words beyond the mode not zero" % (info.get("bar0_fill_status"),
                                                                  info.get("bar0_words_not_zero_beyond_mode")))


class ProductionBoot(ShellBoot):
    """The production option ROM (MDEPKG_NDEBUG) on the card. It prints
    nothing: the shell's listings show the driver, started by the firmware
    from the ROM, with its graphics output on the controller, and the
    console test shows it drawing."""

    holds = ["screen"]

    def __init__(self, name, args):
        super().__init__(name, args)
        self.startup = PRODUCTION_STARTUP.format(lines=self.lines)

    def rom_file(self):
        return self.args.production_rom

    def scripts(self):
        return {"startup.nsh": self.startup}

    def check_all(self):
        self.check_run()
        self.check("QEMU powered off by itself (reset -s)", getattr(self, "poweroff", False),
                   "killed after %d s" % self.args.timeout if self.qemu.killed else "status %s" % self.status)
        driver_text = driver_lines(self.qemu.serial())
        self.check("the debug port shows nothing of the driver: no banner, no step message, no assertion",
                   not driver_text, "; ".join(driver_text[:3]))
        bar0 = self.check_bars("qd520")
        path = qd520_qemu.pci_path(self.pci["qd520"]) if "qd520" in self.pci else "?"
        self.check_listings(bar0, path)
        self.check_console_screen(bar0)


class FrontPageBoot(Boot):
    """-boot menu=on: Esc through QMP until the front page is up, then the
    screen must show its menu entries in the firmware's font."""

    boot_menu = True
    ESC_EVERY_SECONDS = 1.0
    FRONT_PAGE_ON_SERIAL = "Device Manager"

    def drive(self):
        self.qemu.wait_serial(BANNER)
        next_key = 0.0
        while self.FRONT_PAGE_ON_SERIAL not in self.qemu.serial():
            if self.qemu.elapsed() >= next_key:
                self.qemu.send_key("esc")
                next_key = self.qemu.elapsed() + self.ESC_EVERY_SECONDS
            self.qemu.tick("the front page on the serial port")
        self.pci = self.qemu.pci_devices()
        # The serial terminal is drawn first; poll the screen until the
        # graphics console has drawn the page too (or the deadline passes).
        font = qd520_screen.load_font(self.args.edk2)
        path = os.path.join(self.directory, "frontpage.ppm")
        while True:
            self.qemu.screendump(path, "qd520")
            screen = qd520_screen.read_ppm(path)
            if all(qd520_screen.find_text(screen, font, text) for text in FRONT_PAGE_ENTRIES):
                break
            self.qemu.tick("the front page on the screen")
        self.monitor = self.qemu.execute("qom-get", path="/machine/peripheral/qd520", property="monitor")
        self.qemu.quit()

    def check_all(self):
        self.check_run()
        serial = self.qemu.serial()
        self.check_serial_basics(serial, 2)
        self.check("the driver started from the option ROM before the front page",
                   0 <= serial.find(BANNER) < serial.find(self.FRONT_PAGE_ON_SERIAL))
        self.check_bars("qd520")
        monitor = self.screendump("frontpage")
        if monitor is None:
            return
        self.check("front page drawn at 640x480", (monitor.width, monitor.height) == (640, 480),
                   "%dx%d" % (monitor.width, monitor.height))
        self.check_text_on_screen("front page", monitor, FRONT_PAGE_ENTRIES)
        report = getattr(self, "monitor", "")
        self.check("the monitor reports 640x480 at 59.94 Hz", report.startswith("640x480 @ 59.94 Hz"), report)


class TwoAdapterBoot(Boot):
    """Two QD520s, both with the ROM: two graphics outputs, the console on
    both; the first one disconnected, the other still draws."""

    devices = [{"id": "qd520-a", "rom": True}, {"id": "qd520-b", "rom": True}]
    startup = TWO_STARTUP.format(both=TWO_BOTH_TEXT)
    holds = ["both", "one"]

    def scripts(self):
        return {"startup.nsh": self.startup, "one.in": TWO_CYCLE.format(one=TWO_ONE_TEXT)}

    def check_all(self):
        self.check_run()
        serial = self.qemu.serial()
        self.check_serial_basics(serial, 2)
        self.check_firmware_ran_the_rom(serial)
        bars = {device: self.check_bars(device) for device in self.screen_ids()}
        adapters = self.check_graphics_output_handles("dh -p GraphicsOutput", self.require("dh-gop.txt"), 2)
        bases = sorted(int((re.search(r"Frame Buffer Base\.*: (\S+)", block) or [0, "0"])[1], 16)
                       for block in adapters.values())
        self.check("each adapter's graphics output has its own BAR 0 as frame buffer",
                   bases == sorted(bars.values()), "bases %s, BAR 0s %s" % ([hex(b) for b in bases],
                                                                           [hex(b or 0) for b in bars.values()]))
        for device in self.screen_ids():
            screen = self.screendump("both-" + device)
            if screen is not None:
                self.check_text_on_screen("both, %s" % device, screen, [TWO_BOTH_TEXT])
        self.check("one adapter disconnected", "Result Success" in self.require("disconnect.txt"))
        self.check_graphics_output_handles("after the disconnect", self.require("dh-gop-one.txt"), 1)
        showing = []
        for device in self.screen_ids():
            screen = self.screendump("one-" + device)
            if screen is not None and qd520_screen.find_text(screen, qd520_screen.load_font(self.args.edk2),
                                                             TWO_ONE_TEXT):
                showing.append(device)
        self.check("after the disconnect the other adapter alone draws the console", len(showing) == 1,
                   "\"%s\" on %s" % (TWO_ONE_TEXT, showing))


class CompareBoot(Boot):
    """The console scroll test on the QD520 and on bochs-display (OVMF's
    QemuVideoDxe) at 800x600 in one run, timed by the test application."""

    startup = COMPARE_STARTUP
    holds = ["%s-%d" % (name, round_) for round_ in range(1, COMPARE_ROUNDS + 1) for name in ("qd520", "bochs")]

    def extra_devices(self):
        return ["-device", "bochs-display,id=bochs,xres=800,yres=600,romfile="]

    def screen_ids(self):
        return ["qd520", "bochs"]

    def dump_screens(self, name):
        device = name.split("-")[0]
        self.qemu.screendump(os.path.join(self.directory, name + ".ppm"), device)

    def check_all(self):
        self.check_run()
        font = qd520_screen.load_font(self.args.edk2)
        figures = {"qd520": [], "bochs": []}
        for name in self.holds:
            path = os.path.join(self.directory, name + ".txt")
            if not self.check("%s report written" % name, os.path.exists(path)):
                continue
            info = qd520_screen.read_info(path)
            device = name.split("-")[0]
            monitor = self.screendump(name)
            console = qd520_screen.check_console(monitor, info, font) if monitor else None
            self.check("%s: %sx%s, the monitor shows what the console drew" % (name, info.get("width"),
                                                                                info.get("height")),
                       info.get("result") == "Success" and console is not None and console.ok,
                       "; ".join(console.failures) if console else info.get("result"))
            figures[device].append(int(info.get("draw_ticks", 0)) / max(1, int(info.get("ticks_per_ms", 1))))
        self.figures = figures

    def report(self):
        ok = super().report()
        figures = getattr(self, "figures", {})
        if all(figures.get(device) for device in ("qd520", "bochs")):
            qd520, bochs = statistics.median(figures["qd520"]), statistics.median(figures["bochs"])
            print("  %d lines (%d scrolls) at 800x600, median of %d: QD520 %.0f ms, bochs-display %.0f ms, "
                  "ratio %.2f" % (COMPARE_LINES, COMPARE_LINES - 24, COMPARE_ROUNDS, qd520, bochs, qd520 / bochs))
            print("  each run (ms): QD520 %s, bochs-display %s"
                  % (", ".join("%.0f" % value for value in figures["qd520"]),
                     ", ".join("%.0f" % value for value in figures["bochs"])))
        return ok


BOOTS = {"rom": ShellBoot, "efi": ShellBoot, "frontpage": FrontPageBoot, "two": TwoAdapterBoot,
         "production": ProductionBoot, "compare": CompareBoot}
TESTS = ["rom", "efi", "frontpage", "two", "production"]


def run_boot(boot):
    boot.prepare()
    boot.boot()
    boot.collect()
    boot.check_all()
    return boot


def run_boots(boots, jobs, label, start, run=run_boot, notes=()):
    """Runs each boot's steps (run), jobs at a time, prints each one's
    report, the notes, and a last line under label; 0 when every check of
    every boot passed."""
    with ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        boots = list(pool.map(run, boots))
    ok = True
    for boot in boots:
        ok = boot.report() and ok
    for note in notes:
        print(note)
    print("%s: %s in %.1f s" % (label, "passed" if ok else "FAILED", time.monotonic() - start))
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_qemu_arguments(parser, timeout=150)
    parser.add_argument("--driver", help="Quandrel520Gop.efi (the efi boot)")
    parser.add_argument("--rom", required=True, help="Quandrel520Gop.rom")
    parser.add_argument("--production-rom", help="the production Quandrel520Gop.rom (the production boot)")
    parser.add_argument("--console-test", required=True, help="Qd520ConsoleTest.efi")
    parser.add_argument("--edk2", required=True, help="EDK II tree (the console font)")
    parser.add_argument("--output", required=True, help="directory for the boots' files")
    parser.add_argument("--boot", action="append", choices=sorted(BOOTS) + ["all"],
                        help="boot to run (repeatable); default: all tests (%s)" % ", ".join(TESTS))
    args = parser.parse_args()

    names = TESTS if not args.boot or "all" in args.boot else args.boot
    needed = [args.qemu, args.rom, args.console_test, args.ovmf_code, args.ovmf_vars]
    if "efi" in names:
        needed.append(args.driver or "(--driver)")
    if "production" in names:
        needed.append(args.production_rom or "(--production-rom)")
    absent = missing(("mkfs.fat", "mcopy"), needed)
    if absent:
        print(absent)
        return 2

    start = time.monotonic()
    return run_boots([BOOTS[name](name, args) for name in names], args.jobs, "end to end", start)


if __name__ == "__main__":
    sys.exit(main())
