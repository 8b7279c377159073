#!/usr/bin/env python3
"""Boot loaders and Linux on the QD520 in real firmware: Debian's OVMF under
QEMU with the driver in the card's option ROM, then Debian's own GRUB,
systemd-boot and kernel (Tools/build-bootdisk.sh: downloaded and unpacked
once), each from a FAT disk made with mtools. Boots, two at a time:

  grub          GRUB (gfxterm on efi_gop): `videoinfo` lists the adapter's
                modes; its menu is drawn in 640x480, 800x600 and 1024x768 in
                turn; then Linux with gfxpayload=keep takes over 1024x768
  sd-640x480    systemd-boot, then the kernel's EFI stub told
                video=efifb:640x480: it sets the mode, Linux follows
  sd-mode2      the same with video=efifb:mode=2 (1024x768)
  sd-auto       video=efifb:auto: the stub picks the largest mode (1024x768)
  sd-list       video=efifb:list: the stub lists the modes, waits for a key
                (sent through QMP) and keeps the firmware's mode (800x600)
  grub-above4g  the adapter's BAR 0 a 64-bit BAR, which the firmware puts
                above 4 GiB: GRUB's menu in 800x600, then Linux

with the debug ROM, and grub and sd-auto again with the production ROM
(prod-grub, prod-sd-auto). Not in the default set, `--boot wrong-pitch` is
the control of the picture check: Linux told a line length of 1040 pixels
(video=efifb:stride:1040), the picture must come out sheared.

Linux is checked on what it reports itself, against what the firmware
assigned (QEMU's query-pci): efifb's lines in the kernel log (the frame
buffer's base, the mode, the line length, the pixel layout), the fixed and
variable screen information of /dev/fb0 as qd520-fb-picture reads it, and a
picture that program draws through /dev/fb0 at the kernel's line length and
colour positions, compared pixel for pixel with QEMU's screendump (what the
monitor shows). The device's own report of the mode it scans out must
agree; the kernel must say it gave the adapter's BAR 0 to efifb. GRUB's
menus are checked on the screendump: the mode's size, GRUB's blue text
area an upright rectangle over nearly all of it (a wrong pitch would shear
it), text in it. Every QEMU run has a deadline: a hang is a failure.

Files in --output/<boot>/: serial.log and the screendumps as PNG; the disk
(boot.img) and its staging folder when a check failed.
"""

import argparse
import os
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_qemu  # noqa: E402
import qd520_e2e  # noqa: E402
from qd520_e2e import missing, run  # noqa: E402
import qd520_screen  # noqa: E402

MODES = [(640, 480), (800, 600), (1024, 768)]
FIRMWARE_MODE = (800, 600)       # what OVMF's console leaves set for a boot loader
FOUR_GIB = 1 << 32
KERNEL_OPTIONS = "console=ttyS0,115200 quiet panic=-1"
HOLD = "qd520-linux: hold"
SD_TITLE = "QD520 Linux through the EFI stub"
GRUB_BACKGROUND = (0xA8, 0x00, 0x00, 0)     # GRUB's "blue" (VGA palette), as B, G, R, reserved
GRUB_TEXT_MINIMUM = 2000                    # pixels of the menu's title, frame, entry and help text at least
GRUB_MENU_END = "previous menu."            # the last words of GRUB's help text under a menu
SETTLE_SECONDS = 0.5

# The firmware's console reaches the serial port by itself; GRUB's serial
# terminal is added to gfxterm only, which draws on the adapter alone.
GRUB_HEAD = """serial --unit=0 --speed=115200
terminal_input console
terminal_output console
insmod videoinfo
echo "qd520-grub: videoinfo begin"
videoinfo
echo "qd520-grub: videoinfo end"
configfile $prefix/menu0.cfg
"""

GRUB_MENU = """terminal_output console
set gfxmode={width}x{height}
terminal_output gfxterm serial
set color_normal=white/blue
set menu_color_normal=white/blue
set menu_color_highlight=blue/white
set timeout=-1
menuentry "{title}" {{
{body}
}}
"""

GRUB_LINUX = """  set gfxpayload=keep
  linux /vmlinuz {options}
  initrd /initrd.img"""

SD_LOADER = """timeout menu-force
console-mode keep
default qd520.conf
editor no
"""

SD_ENTRY = """title {title}
linux /vmlinuz
initrd /initrd.img
options {options}
"""


def grub_menu_title(index, width, height, last):
    if last:
        return "QD520 GRUB menu %d in %dx%d: Linux, mode kept" % (index + 1, width, height)
    return "QD520 GRUB menu %d in %dx%d" % (index + 1, width, height)


def picture_pixel(x, y):
    """The picture qd520-fb-picture draws (its picture_pixel()): R, G, B."""
    return x & 0xFF, y & 0xFF, ((x >> 8) << 6 | (y >> 8) << 4 | ((x * 3 + y * 5) & 0x0F)) & 0xFF


def picture(width, height):
    """The picture as a BGRX screen (the reserved byte as the screendump has
    it, 0)."""
    data = bytearray(width * height * 4)
    index = 0
    for y in range(height):
        for x in range(width):
            red, green, blue = picture_pixel(x, y)
            data[index:index + 4] = bytes((blue, green, red, 0))
            index += 4
    return qd520_screen.Screen(bytes(data), width, height)


def differences(screen, expected):
    """(pixels that differ, the first one's place) of two screens of one size."""
    count = 0
    first = None
    for y in range(expected.height):
        row = screen.data[y * screen.stride * 4:(y * screen.stride + screen.width) * 4]
        want = expected.data[y * expected.stride * 4:(y * expected.stride + expected.width) * 4]
        if row == want:
            continue
        for x in range(expected.width):
            if row[x * 4:x * 4 + 3] != want[x * 4:x * 4 + 3]:
                count += 1
                if first is None:
                    first = (x, y, tuple(row[x * 4:x * 4 + 3]), tuple(want[x * 4:x * 4 + 3]))
    return count, first


def grub_text_area(screen):
    """((left, top, right, bottom), pixels of text) of GRUB's blue text area
    on screen: the rows holding its blue must be one run, each starting and
    ending at the same columns (a wrong pitch would shear it). (None, 0)
    when there is no such rectangle."""
    blue = bytes(GRUB_BACKGROUND)
    rows = []
    for y in range(screen.height):
        line = screen.row(y)
        first = last = None
        offset = line.find(blue)
        while offset >= 0 and offset % 4:
            offset = line.find(blue, offset + 1)
        if offset >= 0:
            first = offset // 4
            offset = line.rfind(blue)
            while offset % 4:
                offset = line.rfind(blue, 0, offset + 3)
            last = offset // 4
        rows.append((first, last))
    filled = [y for y, (first, _) in enumerate(rows) if first is not None]
    if not filled or filled != list(range(filled[0], filled[-1] + 1)) or len(set(rows[y] for y in filled)) != 1:
        return None, 0
    left, right = rows[filled[0]]
    top, bottom = filled[0], filled[-1]
    inside = b"".join(screen.row(y)[left * 4:(right + 1) * 4] for y in range(top, bottom + 1))
    inked = sum(1 for offset in range(0, len(inside), 4) if inside[offset:offset + 4] != blue)
    return (left, top, right + 1, bottom + 1), inked


def newc_archive(entries):
    """An uncompressed cpio (newc) archive of (name, mode, data) entries, as
    the kernel unpacks an initramfs."""
    out = bytearray()

    def add(name, mode, data, number):
        encoded = name.encode() + b"\0"
        fields = (number, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(encoded), 0)
        out.extend(b"070701" + b"".join(b"%08X" % value for value in fields) + encoded)
        out.extend(b"\0" * (-len(out) % 4))
        out.extend(data)
        out.extend(b"\0" * (-len(out) % 4))

    for number, (name, mode, data) in enumerate(entries, 1):
        add(name, mode, data, number)
    add("TRAILER!!!", 0, b"", 0)
    return bytes(out)


def build_initramfs(args, path):
    def read(source):
        with open(source, "rb") as file:
            return file.read()
    directory, executable = 0o040755, 0o100755
    entries = [("bin", directory, b""), ("dev", directory, b""), ("proc", directory, b""), ("sys", directory, b""),
               ("bin/busybox", executable, read(os.path.join(args.bootdisk, "busybox"))),
               ("init", executable, read(args.init)),
               ("qd520-fb-picture", executable, read(args.fb_picture))]
    with open(path, "wb") as archive:
        archive.write(newc_archive(entries))


class LinuxBoot:
    """One QEMU boot: a boot loader from the disk, then Linux."""

    bar0_64bit = False
    line_length = None          # the line length Linux must report (None: width x 4)
    picture_shown = True        # False for the wrong-pitch control: the picture must come out sheared

    def __init__(self, name, rom, args):
        self.name = name
        self.rom = rom
        self.args = args
        self.directory = os.path.join(args.output, name)
        self.image = os.path.join(self.directory, "boot.img")
        self.results = []
        self.error = None
        self.seconds = 0.0
        self.serial = ""
        self.pci = {}
        self.monitor = ""

    # --- the disk and the run -------------------------------------------------
    def files(self):
        """{path on the disk: source file or text}."""
        return {"vmlinuz": os.path.join(self.args.bootdisk, "vmlinuz"), "initrd.img": self.args.initramfs}

    def prepare(self):
        shutil.rmtree(self.directory, ignore_errors=True)
        os.makedirs(self.directory)
        shutil.copyfile(self.args.ovmf_vars, os.path.join(self.directory, "vars.fd"))
        stage = os.path.join(self.directory, "disk")
        for target, source in self.files().items():
            path = os.path.join(stage, target)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if isinstance(source, Text):
                with open(path, "w", newline="") as text:
                    text.write(source.text)
            else:
                shutil.copyfile(source, path)
        run(["mkfs.fat", "-C", "-n", "QD520BOOT", self.image, str(48 * 1024)])
        run(["mcopy", "-s", "-i", self.image] + [os.path.join(stage, name) for name in sorted(os.listdir(stage))]
            + ["::/"])

    def command(self):
        device = "qd520,id=qd520,romfile=" + os.path.abspath(self.rom)
        if self.bar0_64bit:
            device += ",bar0-64bit=on"
        return [
            self.args.qemu, "-L", self.args.qemu_firmware, "-machine", "q35", "-m", "512", "-nodefaults",
            "-vga", "none", "-display", "none", "-no-reboot",
            "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + self.args.ovmf_code,
            "-drive", "if=pflash,format=raw,unit=1,file=" + os.path.join(self.directory, "vars.fd"),
            "-drive", "file=%s,format=raw,media=disk" % self.image,
            "-device", device,
        ]

    def boot(self):
        self.qemu = qd520_qemu.Qemu(self.command(), self.directory, self.args.timeout)
        try:
            self.qemu.start()
            self.drive_loader()
            self.qemu.wait_serial(HOLD)
            self.pci = self.qemu.pci_devices()
            self.qemu.screendump(os.path.join(self.directory, "linux.ppm"), "qd520")
            self.monitor = self.qemu.execute("qom-get", path="/machine/peripheral/qd520", property="monitor")
        except (qd520_qemu.QemuError, OSError) as error:
            self.error = str(error)
        finally:
            self.serial = self.qemu.serial()
            self.qemu.close()
            self.seconds = self.qemu.elapsed()

    def drive_loader(self):
        raise NotImplementedError

    def screen_until(self, name, ready):
        """Screendumps name.ppm until ready(screen) holds on two dumps at
        least SETTLE_SECONDS apart that agree (the loader has finished
        drawing: under load it can be caught between clearing the screen
        and drawing on it); returns the screen."""
        path = os.path.join(self.directory, name + ".ppm")
        last = None
        while True:
            self.qemu.screendump(path, "qd520")
            taken = self.qemu.elapsed()
            screen = qd520_screen.read_ppm(path)
            if not ready(screen):
                last = None
            elif last is None or last[0].data != screen.data:
                last = (screen, taken)
            elif taken - last[1] >= SETTLE_SECONDS:
                return screen
            self.qemu.tick("%s on the screen" % name)

    # --- checks ---------------------------------------------------------------
    def check(self, name, ok, detail=""):
        self.results.append((name, bool(ok), detail))
        return bool(ok)

    def expected_mode(self):
        raise NotImplementedError

    def check_all(self):
        self.check("QEMU run: Linux reached its hold" if self.error is None else "QEMU run: " + self.error,
                   self.error is None, self.last_lines())
        bar0 = qd520_qemu.bar_address(self.pci["qd520"], 0) if "qd520" in self.pci else None
        where = "above" if self.bar0_64bit else "below"
        self.check("BAR 0 assigned by the firmware %s 4 GiB (%s)" % (where, hex(bar0) if bar0 else None),
                   bar0 is not None and (bar0 >= FOUR_GIB) == self.bar0_64bit)
        self.check_loader()
        self.check_linux(bar0)

    def check_loader(self):
        pass

    def check_linux(self, bar0):
        width, height = self.expected_mode()
        pitch = self.line_length or width * 4
        serial = self.serial
        base = re.search(r"efifb: framebuffer at 0x([0-9a-f]+), using (\d+)k, total (\d+)k", serial)
        self.check("efifb: frame buffer at BAR 0 as the firmware assigned it",
                   base and bar0 is not None and int(base.group(1), 16) == bar0,
                   "kernel %s, BAR 0 %s" % (base.group(1) if base else None, hex(bar0) if bar0 else None))
        slot = "%02x.%x" % (self.pci["qd520"]["slot"], self.pci["qd520"]["function"]) if "qd520" in self.pci else "?"
        self.check("the kernel ties efifb to the adapter's BAR 0 (pci 0000:00:%s: BAR 0: assigned to efifb)" % slot,
                   re.search(r"pci 0000:00:%s: BAR 0: assigned to efifb" % re.escape(slot), serial),
                   "; ".join(re.findall(r"pci [0-9a-f:.]+: BAR \d+: assigned to efifb", serial)) or "not in the log")
        mode = re.search(r"efifb: mode is (\d+)x(\d+)x(\d+), linelength=(\d+)", serial)
        got = tuple(int(value) for value in mode.groups()) if mode else None
        self.check("efifb: mode %dx%dx32, line length %d%s" % (width, height, pitch,
                                                               " (width x 4)" if pitch == width * 4 else ""),
                   got == (width, height, 32, pitch), "kernel: %s" % (got,))
        layout = re.search(r"efifb: Truecolor: size=([\d:]+), shift=([\d:]+)", serial)
        self.check("efifb: pixel layout BGRX (size 8:8:8:8, shift 24:16:8:0)",
                   layout and layout.groups() == ("8:8:8:8", "24:16:8:0"),
                   "kernel: %s" % (layout.groups() if layout else None,))
        info = re.search(r"qd520-fb: id=(.*?) smem_start=0x([0-9a-f]+) smem_len=(\d+) line_length=(\d+) xres=(\d+) "
                         r"yres=(\d+) bits_per_pixel=(\d+) red=(\d+)/(\d+) green=(\d+)/(\d+) blue=(\d+)/(\d+)", serial)
        if self.check("/dev/fb0 read (qd520-fb-picture)", info, self.last_lines()):
            values = [int(value, 16 if index == 1 else 10) for index, value in enumerate(info.groups()) if index]
            start, length, line_length, xres, yres, bpp, red, red_bits, green, green_bits, blue, blue_bits = values
            self.check("/dev/fb0: %s, base BAR 0, %dx%d at 32 bpp, %d bytes a line, red 16, green 8, blue 0"
                       % (info.group(1), width, height, pitch),
                       start == bar0 and (xres, yres, bpp, line_length) == (width, height, 32, pitch)
                       and (red, red_bits, green, green_bits, blue, blue_bits) == (16, 8, 8, 8, 0, 8)
                       and length >= width * height * 4,
                       "base %s, %dx%d x %d, line %d, red %d/%d green %d/%d blue %d/%d, %d bytes"
                       % (hex(start), xres, yres, bpp, line_length, red, red_bits, green, green_bits, blue,
                          blue_bits, length))
        self.check("the picture drawn through /dev/fb0", "qd520-fb: picture drawn" in serial, self.last_lines())
        path = os.path.join(self.directory, "linux.ppm")
        if self.check("screendump linux.ppm taken", os.path.exists(path)):
            screen = qd520_screen.read_ppm(path)
            qd520_screen.write_png(os.path.join(self.directory, "linux.png"), screen)
            if self.check("the monitor shows %dx%d" % (width, height), (screen.width, screen.height) == (width, height),
                          "%dx%d" % (screen.width, screen.height)):
                count, first = differences(screen, picture(width, height))
                if self.picture_shown:
                    self.check("the monitor shows the picture pixel for pixel", count == 0,
                               "%d pixels differ; first at (%d, %d): RGB %s, expected %s"
                               % ((count,) + first[:2] + (first[2][::-1], first[3][::-1])) if first else "")
                else:
                    self.check("the monitor shows the picture sheared: Linux wrote it at the wrong pitch",
                               count > 0, "%d pixels differ" % count)
        self.check("the adapter scans out %dx%d" % (width, height), self.monitor.startswith("%dx%d " % (width, height)),
                   self.monitor)

    def last_lines(self, count=4):
        lines = [line for line in self.serial.splitlines() if line.strip()]
        return " | ".join(lines[-count:])

    def report(self):
        failed = [result for result in self.results if not result[1]]
        if not failed:      # the disk is only kept to look into a failure
            os.unlink(self.image)
            shutil.rmtree(os.path.join(self.directory, "disk"), ignore_errors=True)
        print("== %s boot: %d checks, %d failed, QEMU %.1f s, files in %s"
              % (self.name, len(self.results), len(failed), self.seconds, self.directory))
        for name, ok, detail in self.results:
            print("  %-4s %s%s" % ("ok" if ok else "FAIL", name, (" -- " + detail) if detail and not ok else ""))
        return not failed


class Text:
    """A text file for the disk."""

    def __init__(self, text):
        self.text = text


class GrubBoot(LinuxBoot):
    """GRUB's menu in each of menu_modes, then Linux in the last one."""

    menu_modes = MODES

    def files(self):
        files = super().files()
        files["EFI/BOOT/BOOTX64.EFI"] = os.path.join(self.args.bootdisk, "grubx64.efi")
        files["EFI/debian/x86_64-efi/videoinfo.mod"] = os.path.join(self.args.bootdisk, "videoinfo.mod")
        files["EFI/debian/grub.cfg"] = Text(GRUB_HEAD)
        last = len(self.menu_modes) - 1
        for index, (width, height) in enumerate(self.menu_modes):
            body = GRUB_LINUX.format(options=KERNEL_OPTIONS) if index == last else \
                "  configfile $prefix/menu%d.cfg" % (index + 1)
            files["EFI/debian/menu%d.cfg" % index] = Text(GRUB_MENU.format(
                width=width, height=height, title=grub_menu_title(index, width, height, index == last), body=body))
        return files

    def drive_loader(self):
        self.menus = []
        last = len(self.menu_modes) - 1
        for index, (width, height) in enumerate(self.menu_modes):
            self.qemu.wait_serial(grub_menu_title(index, width, height, index == last))
            self.qemu.wait_serial(GRUB_MENU_END, index + 1)
            screen = self.screen_until("grub-menu%d" % (index + 1),
                                       lambda s: (s.width, s.height) == (width, height)
                                       and grub_text_area(s)[1] >= GRUB_TEXT_MINIMUM)
            self.menus.append(screen)
            self.qemu.send_key("ret")

    def expected_mode(self):
        return self.menu_modes[-1]

    def check_loader(self):
        listing = self.serial.partition("qd520-grub: videoinfo begin")[2].partition("qd520-grub: videoinfo end")[0]
        found = [(int(w), int(h), int(pitch)) for w, h, pitch in
                 re.findall(r"0x[0-9a-f]{3}\s+(\d+) x\s+(\d+) x 32 \((\d+)\)\s+Direct color, mask: 8/8/8/8\s+"
                            r"pos: 16/8/0/24", listing)]
        self.check("GRUB videoinfo: the three modes, 32 bpp BGRX, pitch width x 4",
                   found == [(w, h, w * 4) for w, h in MODES], "%s" % (found or listing.strip()[:300]))
        for index, (width, height) in enumerate(self.menu_modes):
            screens = getattr(self, "menus", [])
            name = "grub-menu%d" % (index + 1)
            if not self.check("GRUB menu %d in %dx%d on the screen" % (index + 1, width, height), index < len(screens)):
                continue
            screen = screens[index]
            qd520_screen.write_png(os.path.join(self.directory, name + ".png"), screen)
            box, inked = grub_text_area(screen)
            self.check("GRUB menu %d: %dx%d; GRUB's blue text area an upright rectangle over 90%% of the width and "
                       "height, the menu's text in it" % (index + 1, width, height),
                       (screen.width, screen.height) == (width, height) and box is not None
                       and box[2] - box[0] >= 0.9 * width and box[3] - box[1] >= 0.9 * height
                       and inked >= GRUB_TEXT_MINIMUM,
                       "%dx%d, text area %s, %d pixels of text" % (screen.width, screen.height, box, inked))


class GrubAbove4GiBBoot(GrubBoot):
    """BAR 0 a 64-bit BAR: the firmware places it above 4 GiB."""

    bar0_64bit = True
    menu_modes = [(800, 600)]


class SystemdBootBoot(LinuxBoot):
    """systemd-boot's menu, then the kernel's EFI stub choosing a mode."""

    def __init__(self, name, rom, args, video, mode):
        super().__init__(name, rom, args)
        self.video = video
        self.mode = mode

    def files(self):
        files = super().files()
        files["EFI/BOOT/BOOTX64.EFI"] = os.path.join(self.args.bootdisk, "systemd-bootx64.efi")
        files["loader/loader.conf"] = Text(SD_LOADER)
        files["loader/entries/qd520.conf"] = Text(SD_ENTRY.format(
            title=SD_TITLE, options="%s video=efifb:%s" % (KERNEL_OPTIONS, self.video)))
        return files

    def drive_loader(self):
        self.qemu.wait_serial(SD_TITLE)
        self.qemu.send_key("ret")
        if self.video == "list":
            self.qemu.wait_serial("Press any key to continue")
            self.qemu.send_key("ret")

    def expected_mode(self):
        return self.mode

    def check_loader(self):
        self.check("systemd-boot's menu on the serial console", SD_TITLE in self.serial)
        if self.video != "list":
            return
        listing = re.findall(r"Mode\s+(\d+)\s*([* ])([- ]): Resolution (\d+)x(\d+)-(\w+)", self.serial)
        found = [(int(m), current == "*", usable == " ", (int(w), int(h)), layout)
                 for m, current, usable, w, h, layout in listing]
        expected = [(index, size == FIRMWARE_MODE, True, size, "bgr") for index, size in enumerate(MODES)]
        self.check("the EFI stub lists the three modes, BGR, the firmware's %dx%d current" % FIRMWARE_MODE,
                   found == expected, "%s" % found)


class WrongPitchControl(SystemdBootBoot):
    """Not part of the test run (--boot wrong-pitch): Linux told a line
    length of 1040 pixels (video=efifb:stride:1040) while the adapter scans
    out 800 a line. The picture must come out sheared: the comparison with
    the screendump catches a wrong pitch."""

    line_length = 1040 * 4
    picture_shown = False

    def __init__(self, name, rom, args):
        super().__init__(name, rom, args, "stride:1040", FIRMWARE_MODE)


def boots(args):
    debug, production = args.rom, args.production_rom
    chosen = [
        GrubBoot("grub", debug, args),
        SystemdBootBoot("sd-640x480", debug, args, "640x480", (640, 480)),
        SystemdBootBoot("sd-mode2", debug, args, "mode=2", (1024, 768)),
        SystemdBootBoot("sd-auto", debug, args, "auto", (1024, 768)),
        SystemdBootBoot("sd-list", debug, args, "list", FIRMWARE_MODE),
        GrubAbove4GiBBoot("grub-above4g", debug, args),
    ]
    if production:
        chosen += [GrubBoot("prod-grub", production, args),
                   SystemdBootBoot("prod-sd-auto", production, args, "auto", (1024, 768))]
    return chosen


CONTROLS = {"wrong-pitch": WrongPitchControl}


def run_boot(boot):
    boot.prepare()
    boot.boot()
    boot.check_all()
    return boot


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    qd520_e2e.add_qemu_arguments(parser, timeout=180)
    parser.add_argument("--rom", required=True, help="the debug Quandrel520Gop.rom")
    parser.add_argument("--production-rom", help="the production Quandrel520Gop.rom")
    parser.add_argument("--bootdisk", required=True, help="the boot loaders, kernel and busybox (build/bootdisk)")
    parser.add_argument("--fb-picture", required=True, help="qd520-fb-picture, static")
    parser.add_argument("--init", required=True, help="the initramfs's init script (EndToEnd/Linux/init)")
    parser.add_argument("--output", required=True, help="folder of the boots' files")
    parser.add_argument("--boot", action="append", help="run only these boots (repeatable)")
    args = parser.parse_args()

    needed = [args.qemu, args.rom, args.fb_picture, args.init, args.ovmf_code, args.ovmf_vars] + \
        [os.path.join(args.bootdisk, name) for name in ("grubx64.efi", "videoinfo.mod", "systemd-bootx64.efi",
                                                        "vmlinuz", "busybox")]
    if args.production_rom:
        needed.append(args.production_rom)
    absent = missing(("mkfs.fat", "mcopy"), needed)
    if absent:
        print(absent)
        return 2

    start = time.monotonic()
    os.makedirs(args.output, exist_ok=True)
    args.initramfs = os.path.join(args.output, "initrd.img")
    build_initramfs(args, args.initramfs)
    chosen = boots(args)
    if args.boot:
        chosen = [boot for boot in chosen if boot.name in args.boot] + \
                 [CONTROLS[name](name, args.rom, args) for name in args.boot if name in CONTROLS]
    notes = []
    versions = os.path.join(args.bootdisk, "versions.txt")
    if os.path.exists(versions):
        with open(versions) as listing:
            notes.append("Debian packages: " + ", ".join(line.strip() for line in listing if line.strip()))
    return qd520_e2e.run_boots(chosen, args.jobs, "boot loaders and Linux", start, run=run_boot, notes=notes)


if __name__ == "__main__":
    sys.exit(main())
