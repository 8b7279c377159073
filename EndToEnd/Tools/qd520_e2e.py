#!/usr/bin/env python3
"""End-to-end run of the QD520 graphics output driver in real UEFI firmware.

Boots Debian's OVMF under QEMU (software emulation) twice, in parallel:

  load  the driver image Quandrel520Gop.efi started with the shell's `load`;
  rom   the driver taken from its PCI option ROM with the shell's
        `loadpcirom Quandrel520Gop.rom`.

Each boot gets a FAT disk image (mkfs.fat + mtools) holding the images and a
startup.nsh that the shell runs after its 5-second countdown:

  1. load Qd520VirtualDevice.efi: a virtual QD520 (the host tests' adapter
     model behind PCI I/O, BAR 0 in guest memory) on a controller handle;
  2. load the driver (load / loadpcirom); the shell then connects all
     controllers and the firmware's connect logic starts the driver on the
     virtual adapter, GraphicsConsoleDxe on the driver's graphics output;
  3. drivers, devices, dh -d -v -p GraphicsOutput, dh -p DevicePath into
     files on the disk;
  4. Qd520ConsoleTest.efi script: the controller's and the driver's shell
     handle indices from those listings into cycle.nsh, which dumps the
     controller and the driver (dh), disconnects the controller, dumps it,
     connects it again and dumps it;
  5. Qd520ConsoleTest.efi console: text through the console bound to the
     adapter, enough lines to scroll; the frame buffer written to the disk;
  6. Qd520ConsoleTest.efi samemode: the screen filled blue, SetMode to the
     current mode, the screen read back black (samemode.txt);
  7. reset -s.

cycle.nsh also runs Qd520ConsoleTest.efi endnode while the controller is
disconnected: a connect with an end-node remaining path, checked, then
disconnected again (endnode.txt).

QEMU is killed after --timeout seconds: a hang is a failure. Afterwards the
files come off the disk image, the screen becomes screen.png, and the
checks run on the serial log (shell console and the driver's debug port),
the shell listings and the screen. Everything lands in --output/<boot>/.

Exit status 0 when every check of every boot passed.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_screen  # noqa: E402

DRIVER_NAME = "Quandrel QD520 GOP Driver"
CONTROLLER_NAME = "Quandrel QD520 PCI Adapter"
BANNER = "EFI520 V1.00.07.00"
GRAPHICS_CONSOLE_NAME = "Graphics Console Driver"
OFFERED_MODES = [(640, 480), (800, 600), (1024, 768)]
VIRTUAL_PATH = "VenHw(5A1E5E1D-520C-4D52-9F61-514435325642)/Pci(0x0,0x0)"
DISPLAY_PATH = VIRTUAL_PATH + "/AcpiAdr(0x80010100)"
FRAME_BUFFER_BAR_SIZE = 32 * 1024 * 1024
MODE0_FRAME_BUFFER_SIZE = 640 * 480 * 4

BOOTS = {
    "load": {
        "load": "load fs0:\\Quandrel520Gop.efi",
        "loaded": "Image 'FS0:\\Quandrel520Gop.efi' loaded at",
        "image_name": "\\Quandrel520Gop.efi",
        "lines": 40,
    },
    "rom": {
        "load": "loadpcirom fs0:\\Quandrel520Gop.rom",
        "loaded": "Image 'FS0:\\Quandrel520Gop.rom' load result: Success",
        "image_name": "FS0:\\Quandrel520Gop.rom[0]",
        "lines": 33,
    },
}

STARTUP = r"""@echo -off
fs0:
load fs0:\Qd520VirtualDevice.efi
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

OUTPUTS = [
    "drivers.txt", "devices.txt", "dh-gop.txt", "paths.txt", "cycle.nsh", "dh-controller.txt",
    "dh-driver.txt", "disconnect.txt", "dh-disconnected.txt", "devices-disconnected.txt",
    "paths-disconnected.txt", "connect.txt", "dh-reconnected.txt", "paths-reconnected.txt",
    "screen.txt", "screen.bgrx", "screen-blt.bgrx", "endnode.txt", "samemode.txt",
]

ANSI = re.compile(r"\x1b\[[0-9;=?]*[A-Za-z]")
HANDLE_LINE = re.compile(r"^\s*([0-9A-F]+): ", re.M)


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def run(command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)


class Boot:
    """One QEMU boot and its results."""

    def __init__(self, name, args):
        self.name = name
        self.args = args
        self.config = BOOTS[name]
        self.directory = os.path.join(args.output, name)
        self.image = os.path.join(self.directory, "fat.img")
        self.results = []
        self.seconds = 0.0
        self.killed = False
        self.returncode = None

    # --- preparation and boot -------------------------------------------
    def prepare(self):
        shutil.rmtree(self.directory, ignore_errors=True)
        os.makedirs(self.directory)
        stage = os.path.join(self.directory, "disk")
        os.makedirs(stage)
        for source, name in ((self.args.virtual_device, "Qd520VirtualDevice.efi"),
                             (self.args.console_test, "Qd520ConsoleTest.efi"),
                             (self.args.driver, "Quandrel520Gop.efi"),
                             (self.args.rom, "Quandrel520Gop.rom")):
            shutil.copyfile(source, os.path.join(stage, name))
        with open(os.path.join(stage, "startup.nsh"), "w", newline="") as script:
            script.write(crlf(STARTUP.format(load=self.config["load"], lines=self.config["lines"])))
        with open(os.path.join(stage, "cycle.in"), "w", newline="") as template:
            template.write(crlf(CYCLE))
        run(["mkfs.fat", "-C", "-n", "QD520E2E", self.image, "32768"])
        run(["mcopy", "-i", self.image] + [os.path.join(stage, name) for name in sorted(os.listdir(stage))] + ["::/"])
        shutil.copyfile(self.args.ovmf_vars, os.path.join(self.directory, "vars.fd"))

    def boot(self):
        command = [
            self.args.qemu, "-machine", "q35", "-m", "256", "-nodefaults", "-display", "none", "-vga", "none",
            "-serial", "file:" + os.path.join(self.directory, "serial.log"), "-no-reboot",
            "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + self.args.ovmf_code,
            "-drive", "if=pflash,format=raw,unit=1,file=" + os.path.join(self.directory, "vars.fd"),
            "-drive", "file=%s,format=raw,media=disk" % self.image,
        ]
        with open(os.path.join(self.directory, "qemu.log"), "wb") as log:
            start = time.monotonic()
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            try:
                self.returncode = process.wait(timeout=self.args.timeout)
            except subprocess.TimeoutExpired:
                self.killed = True
                process.kill()
                self.returncode = process.wait()
            self.seconds = time.monotonic() - start

    def collect(self):
        for name in OUTPUTS:
            subprocess.run(["mcopy", "-n", "-o", "-i", self.image, "::/" + name, os.path.join(self.directory, name)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # --- checks -----------------------------------------------------------
    def check(self, name, ok, detail=""):
        self.results.append((name, bool(ok), detail))
        return bool(ok)

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

    def check_all(self):
        self.check("QEMU powered off by itself", not self.killed and self.returncode == 0,
                   "killed after %d s" % self.args.timeout if self.killed else "exit status %s" % self.returncode)
        serial = ANSI.sub("", self.text("serial.log") or "")
        bar0 = self.check_serial(serial)
        handles = self.check_listings(bar0)
        self.check_cycle(handles, bar0)
        self.check_screen(bar0)
        self.check_same_mode_and_end_node()

    def check_serial(self, serial):
        self.check("no assertion on the debug port", "ASSERT" not in serial,
                   next((line for line in serial.splitlines() if "ASSERT" in line), ""))
        ready = re.search(r"QD520 virtual device: adapter 7A3C:0520 ready, BAR 0 at 0x([0-9A-F]+) \(0x2000000 bytes\)",
                          serial)
        self.check("virtual adapter created (Qd520VirtualDevice.efi)", ready, "" if ready else "no ready line")
        bar0 = int(ready.group(1), 16) if ready else None
        self.check("driver image loaded (%s)" % self.config["load"].split()[0], self.config["loaded"] in serial)
        banners = serial.count(BANNER)
        self.check("banner \"%s\" once per Start (start, end-node connect, reconnect)" % BANNER, banners == 3,
                   "%d times" % banners)

        installs = re.findall(r"graphics output installed: mode (\d+) of (\d+), (\d+)x(\d+), format (\d+), "
                              r"(\d+) pixels per scan line, info size (\d+)", serial)
        self.check("graphics output installed on the controller at start, end-node connect and reconnect",
                   len(installs) == 3, "%d installations" % len(installs))
        for index, install in enumerate(installs):
            self.check("installation %d publishes mode 0 of 3, 640x480 BGRX, 640 per line, info size 36" % (index + 1),
                       install == ("0", "3", "640", "480", "1", "640", "36"), "got %s" % (install,))
        buffers = re.findall(r"graphics output frame buffer 0x([0-9A-F]+) size 0x([0-9A-F]+), BAR 0 at 0x([0-9A-F]+); "
                             r"(\d+) of (\d+) frame buffer bytes not black", serial)
        for index, (base, size, bar, dirty, total) in enumerate(buffers):
            self.check("installation %d: frame buffer at BAR 0, 0x12C000 bytes" % (index + 1),
                       int(base, 16) == int(bar, 16) == bar0 and int(size, 16) == MODE0_FRAME_BUFFER_SIZE,
                       "base 0x%s size 0x%s, BAR 0 0x%s" % (base, size, bar))
            self.check("installation %d: mode set cleared all 32 MiB of BAR 0 to black" % (index + 1),
                       dirty == "0" and int(total) == FRAME_BUFFER_BAR_SIZE, "%s of %s bytes not black" % (dirty, total))
        unsupported = re.findall(r"unsupported PCI I/O call (\w+)", serial)
        self.check("no PCI I/O call the adapter does not implement", not unsupported, ", ".join(unsupported))
        script = re.search(r"QD520 console test: controller ([0-9A-F]+), driver ([0-9A-F]+), script cycle.nsh: Success",
                           serial)
        self.check("handles of controller and driver found in the shell listings", script)
        drawn = "QD520 console test: %d lines drawn, screen written to screen: Success" % self.config["lines"]
        self.check("console test ran", drawn in serial)
        return bar0

    def check_listings(self, bar0):
        drivers = self.require("drivers.txt")
        row = re.search(r"^\s*([0-9A-F]+) ([0-9A-F]{8}) (\S) (\S) (\S) +(\S+) +(\S+) " + re.escape(DRIVER_NAME) +
                        r" +(\S.*)$", drivers, re.M)
        self.check("drivers: \"%s\" listed" % DRIVER_NAME, row)
        driver = row.group(1) if row else None
        if row:
            self.check("drivers: version 00000010, one device, image %s" % self.config["image_name"],
                       row.group(2) == "00000010" and row.group(6) == "1" and self.config["image_name"] in row.group(8),
                       row.group(0).strip())
        console = re.search(r"^.* (\S+) +(\S+) " + re.escape(GRAPHICS_CONSOLE_NAME), drivers, re.M)
        self.check("drivers: graphics console manages one device", console and console.group(1) == "1",
                   console.group(0).strip() if console else "not listed")

        devices = self.require("devices.txt")
        row = re.search(r"^\s*([0-9A-F]+) .* " + re.escape(CONTROLLER_NAME) + r"\s*$", devices, re.M)
        self.check("devices: \"%s\" listed" % CONTROLLER_NAME, row)
        controller = row.group(1) if row else None

        gop = self.require("dh-gop.txt")
        handles = HANDLE_LINE.findall(gop)
        self.check("dh -p GraphicsOutput: one handle, the controller", handles == [controller] and controller,
                   "handles %s, controller %s" % (handles, controller))
        self.check_graphics_output_dump("dh -p GraphicsOutput", gop, bar0)

        paths = self.require("paths.txt")
        self.check("display child %s installed once" % DISPLAY_PATH, paths.count(DISPLAY_PATH) == 1,
                   "%d handles" % paths.count(DISPLAY_PATH))
        return controller, driver

    def check_graphics_output_dump(self, title, dump, bar0):
        """The shell's verbose dump of the adapter's graphics output: the
        mode record and the modes QueryMode gives, the names and bindings."""
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
                   and size == width * height * 4 and value("Pixels / Scan Line") == str(width),
                   "mode %d: %dx%d, %d bytes" % (current, width, height, size))
        base = value("Frame Buffer Base")
        self.check("%s: frame buffer base is BAR 0" % title, bar0 is not None and base and int(base, 16) == bar0,
                   "base %s, BAR 0 %s" % (base, hex(bar0) if bar0 is not None else None))
        self.check("%s: pixel format BGRX" % title, value("Pixel Format") == "PixelBlueGreenRedReserved8BitPerColor")
        self.check("%s: controller name \"%s\"" % (title, CONTROLLER_NAME),
                   re.search(r"Controller Name\s*: " + re.escape(CONTROLLER_NAME), dump))
        managers = re.findall(r"Drv\[[0-9A-F]+\]\s*: (.*)", dump)
        self.check("%s: managed by the driver and the graphics console" % title,
                   sorted(m.strip() for m in managers) == sorted([DRIVER_NAME, GRAPHICS_CONSOLE_NAME]),
                   "%s" % managers)
        self.check("%s: text output of the graphics console on the controller" % title, "SimpleTextOut(" in dump)

    def check_cycle(self, handles, bar0):
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
        self.check("dh driver: image file %s" % self.config["image_name"],
                   re.search(r"FilePath\.*: .*" + re.escape(self.config["image_name"]), driver_dump))

        self.check("disconnect succeeded", "Result Success" in self.require("disconnect.txt"))
        gone = self.require("dh-disconnected.txt")
        self.check("disconnected: no graphics output, no text output, PCI I/O and path remain",
                   "GraphicsOutput" not in gone and "SimpleTextOut" not in gone and "PCIIO" in gone
                   and "DevicePath" in gone, gone.strip())
        self.check("disconnected: the controller has no name any more",
                   CONTROLLER_NAME not in self.require("devices-disconnected.txt"))
        left = self.require("paths-disconnected.txt").count(DISPLAY_PATH)
        self.results.append(("disconnected: display child handles left: %d" % left, True, "information"))

        self.check("connect succeeded", "Result Success" in self.require("connect.txt"))
        again = self.require("dh-reconnected.txt")
        self.check_graphics_output_dump("dh reconnected", again, bar0)
        paths = self.require("paths-reconnected.txt")
        self.check("reconnected: display child %s installed once" % DISPLAY_PATH, paths.count(DISPLAY_PATH) == 1,
                   "%d handles" % paths.count(DISPLAY_PATH))

    def check_screen(self, bar0):
        report = os.path.join(self.directory, "screen.txt")
        if not self.check("console test report written", os.path.exists(report)):
            return
        info = qd520_screen.read_info(report)
        self.check("console test: every call succeeded", info.get("result") == "Success"
                   and info.get("output_string_failures") == "0"
                   and all(info[key] == "Success" for key in info if key.endswith("_status")),
                   ", ".join("%s=%s" % item for item in info.items() if item[1] not in ("Success",)
                             and item[0].endswith("status")))
        try:
            width, height = int(info["width"]), int(info["height"])
            stride = int(info["pixels_per_scan_line"])
            screen = qd520_screen.Screen.from_file(os.path.join(self.directory, "screen.bgrx"), width, height, stride)
            readback = qd520_screen.Screen.from_file(os.path.join(self.directory, "screen-blt.bgrx"), width, height)
        except (KeyError, ValueError, OSError) as error:
            self.check("frame buffer dumps readable", False, str(error))
            return
        qd520_screen.write_png(os.path.join(self.directory, "screen.png"), screen)
        self.check("console test: frame buffer base is BAR 0",
                   bar0 is not None and int(info.get("frame_buffer_base", "0"), 16) == bar0)
        self.check("console test: text mode 0 is 80x25", (info.get("columns"), info.get("rows")) == ("80", "25"))
        self.check("Blt read-back equals the frame buffer", readback.visible() == screen.visible())
        font = qd520_screen.load_font(self.args.edk2)
        console = qd520_screen.check_console(screen, info, font)
        layout = "%dx%d, GOP mode %s" % (width, height, info.get("gop_mode"))
        self.check("screen (%s) is exactly what the console drew: font, colours, positions" % layout, console.ok,
                   "; ".join(console.failures))
        for note in console.notes:
            self.results.append(("screen: " + note, True, "information"))

    def check_same_mode_and_end_node(self):
        """The console test's samemode and endnode reports (key=value)."""
        same = os.path.join(self.directory, "samemode.txt")
        if self.check("samemode report written", os.path.exists(same)):
            info = qd520_screen.read_info(same)
            self.check("SetMode to the current mode: screen was blue, then every visible pixel and the whole "
                       "frame black, mode record unchanged",
                       info.get("result") == "Success" and info.get("not_blue_before") == "0"
                       and info.get("not_black_after") == "0" and info.get("frame_buffer_words_not_zero_after") == "0"
                       and info.get("mode_record_unchanged") == "1",
                       ", ".join("%s=%s" % item for item in info.items()))
        end = os.path.join(self.directory, "endnode.txt")
        if self.check("endnode report written", os.path.exists(end)):
            info = qd520_screen.read_info(end)
            self.check("end-node connect: graphics output on the controller, no new child, the console draws; "
                       "disconnect removes it and leaves PCI I/O open by no driver",
                       info.get("result") == "Success" and info.get("graphics_output_before") == "absent"
                       and info.get("connect_status") == "Success" and info.get("gop_max_mode") == "3"
                       and info.get("children_before") == info.get("children_after")
                       and int(info.get("inked_pixels", "0")) > 0
                       and info.get("disconnect_status") == "Success" and info.get("graphics_output_after") == "absent"
                       and info.get("text_output_after") == "absent" and info.get("pci_io_driver_opens_after") == "0",
                       ", ".join("%s=%s" % item for item in info.items()))

    def report(self):
        failed = [result for result in self.results if not result[1]]
        print("== %s boot: %d checks, %d failed, QEMU %.1f s, files in %s"
              % (self.name, len(self.results), len(failed), self.seconds, self.directory))
        for name, ok, detail in self.results:
            print("  %-4s %s%s" % ("ok" if ok else "FAIL", name, (" -- " + detail) if detail and not ok else ""))
        return not failed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--driver", required=True, help="Quandrel520Gop.efi")
    parser.add_argument("--rom", required=True, help="Quandrel520Gop.rom")
    parser.add_argument("--virtual-device", required=True, help="Qd520VirtualDevice.efi")
    parser.add_argument("--console-test", required=True, help="Qd520ConsoleTest.efi")
    parser.add_argument("--edk2", required=True, help="EDK II tree (the console font)")
    parser.add_argument("--output", required=True, help="directory for the boots' files")
    parser.add_argument("--boot", choices=sorted(BOOTS) + ["all"], default="all")
    parser.add_argument("--timeout", type=int, default=100, help="seconds before QEMU is killed")
    parser.add_argument("--sequential", action="store_true", help="one boot after the other")
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    parser.add_argument("--ovmf-code", default="/usr/share/OVMF/OVMF_CODE_4M.fd")
    parser.add_argument("--ovmf-vars", default="/usr/share/OVMF/OVMF_VARS_4M.fd")
    args = parser.parse_args()

    for tool in (args.qemu, "mkfs.fat", "mcopy"):
        if shutil.which(tool) is None:
            print("missing %s (Tools/bootstrap.sh installs QEMU, OVMF, mtools and dosfstools)" % tool)
            return 2
    for path in (args.driver, args.rom, args.virtual_device, args.console_test, args.ovmf_code, args.ovmf_vars):
        if not os.path.exists(path):
            print("missing %s" % path)
            return 2

    start = time.monotonic()
    boots = [Boot(name, args) for name in (sorted(BOOTS) if args.boot == "all" else [args.boot])]
    for boot in boots:
        boot.prepare()
    if args.sequential:
        for boot in boots:
            boot.boot()
    else:
        threads = [threading.Thread(target=boot.boot) for boot in boots]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    ok = True
    for boot in boots:
        boot.collect()
        boot.check_all()
        ok = boot.report() and ok
    print("end to end: %s in %.1f s" % ("passed" if ok else "FAILED", time.monotonic() - start))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
