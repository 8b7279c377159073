#!/usr/bin/env python3
"""End-to-end runs of the QD520's option ROM on Arm and RISC-V machines:
QEMU's virt machine for AArch64 with Debian's AAVMF (ArmVirtQemu), and for
RISC-V 64 with the firmware Tools/build-riscv-firmware.sh builds from the
kit, each with the QD520 as a PCI device carrying the ROM of three images.
The firmware's PCI bus driver must pick its own architecture's image out of
the ROM and run it. Boots, two at a time:

  arm             the debug ROM under AAVMF: the driver's banner reaches
                  the serial console through the firmware's serial I/O
                  protocol; the UEFI Shell's startup.nsh lists drivers,
                  devices and the graphics output, whose image is the ROM's
                  AArch64 one; the shell is on the QD520's screen; the
                  monitor's report is the host's for that mode.
  arm-production  the production ROM: nothing of the driver on the serial
                  port, the rest as above.
  arm-signed      the signed ROM under AAVMF with Debian's snakeoil
                  varstore (Secure Boot on, the snakeoil certificate in
                  db): accepted, the driver runs and the display is on. The
                  firmware refuses its own unsigned shell there, so the boot
                  is judged by the serial port, the screen and the monitor.
  arm-unsigned    the unsigned ROM with the same varstore: refused, the
                  driver never runs, the display stays off.
  riscv           the debug ROM under the RISC-V firmware, as arm.
  riscv-production the production ROM, as arm-production.

Files land in --output/<boot>/ as the x86 boots' do (qd520_e2e.py).
Exit status 0 when every check of every boot passed, 77 when the firmware
of a requested boot is missing (its reason printed).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_e2e  # noqa: E402

SKIPPED = qd520_e2e.SKIPPED
LISTED = "QD520 virt boot: listings written"
STARTUP = r"""@echo -off
fs0:
drivers >a fs0:\drivers.txt
devices >a fs0:\devices.txt
dh -d -v -p GraphicsOutput >a fs0:\dh-gop.txt
echo {listed}
"""
OUTPUTS = ["drivers.txt", "devices.txt", "dh-gop.txt"]
# What the boot manager prints when Secure Boot refuses an image: under
# Debian's snakeoil varstore, the firmware's own shell.
SECURITY_VIOLATION = "Security Violation"
MONITOR_REPORT = re.compile(r"^\s*mode \d+ (\d+x\d+):.*\n\s*monitor: (.*)$", re.M)


def host_reports(host_run):
    """{"WxH": the monitor's report} as the host's main job (qd520-run)
    prints it for each mode it sets on the simulated platform."""
    with tempfile.TemporaryDirectory() as directory:
        output = subprocess.run([host_run, "--output", directory], check=True, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True).stdout
    return dict(MONITOR_REPORT.findall(output))


class VirtBoot(qd520_e2e.Boot):
    """A boot of the QD520's ROM on a virt machine. The shell's startup.nsh
    writes the listings and echoes a line; at that line the screen is
    dumped, the monitor read, and QEMU stopped."""

    architecture = None
    startup = STARTUP.format(listed=LISTED)
    production = False

    def disk_files(self):
        return {}

    def rom_file(self):
        return self.args.production_rom if self.production else self.args.rom

    def qemu_binary(self):
        raise NotImplementedError

    def machine(self):
        """The QEMU options of the machine and its firmware."""
        raise NotImplementedError

    def command(self):
        command = [self.qemu_binary(), "-m", "512", "-nodefaults", "-display", "none", "-no-reboot"]
        command += self.machine()
        if self.startup is not None:
            command += ["-drive", "if=none,id=disk,format=raw,file=" + self.image,
                        "-device", "virtio-blk-pci,drive=disk"]
        return command + ["-device", "qd520,id=qd520,romfile=" + os.path.abspath(self.rom_file())]

    def prepare(self):
        shutil.rmtree(self.directory, ignore_errors=True)
        os.makedirs(self.directory)
        if self.startup is None:
            return
        stage = os.path.join(self.directory, "disk")
        os.makedirs(stage)
        with open(os.path.join(stage, "startup.nsh"), "w", newline="") as script:
            script.write(qd520_e2e.crlf(self.startup))
        qd520_e2e.run(["mkfs.fat", "-C", "-n", "QD520E2E", self.image, "32768"])
        qd520_e2e.run(["mcopy", "-i", self.image, os.path.join(stage, "startup.nsh"), "::/"])

    def drive(self):
        self.qemu.wait_serial(LISTED)
        self.finish("screen")

    def finish(self, name):
        self.pci = self.qemu.pci_devices()
        self.qemu.screendump(os.path.join(self.directory, name + ".ppm"), "qd520")
        self.monitor = self.qemu.execute("qom-get", path="/machine/peripheral/qd520", property="monitor")
        self.qemu.quit()

    def collect(self):
        for name in OUTPUTS:
            subprocess.run(["mcopy", "-n", "-o", "-i", self.image, "::/" + name, os.path.join(self.directory, name)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # --- checks -------------------------------------------------------------------
    def check_all(self):
        self.check_run()
        serial = self.qemu.serial()
        if self.production:
            text = qd520_e2e.driver_lines(serial)
            self.check("the serial port shows nothing of the driver: no banner, no step message, no assertion",
                       not text, "; ".join(text[:3]))
        else:
            self.check_serial_basics(serial, 1)
            self.check_firmware_ran_the_rom(serial)
        bar0 = self.check_bars("qd520")
        self.check_driver_image()
        blocks = [block for block in qd520_e2e.handle_blocks(self.require("dh-gop.txt")).values()
                  if qd520_e2e.controller_name(block) == qd520_e2e.CONTROLLER_NAME]
        if self.check("dh -p GraphicsOutput: one QD520 controller", len(blocks) == 1, "%d" % len(blocks)):
            self.check_graphics_output_dump("dh -p GraphicsOutput", blocks[0], bar0, managers=None)
        screen = self.check_screen_and_monitor("screen")
        if screen is not None:
            self.check_text_on_screen("the shell on the QD520", screen, [LISTED])

    def check_driver_image(self):
        """The firmware ran the ROM's image of its own architecture."""
        node = qd520_e2e.rom_image_node(self.rom_file(), self.architecture)
        drivers = self.require("drivers.txt")
        row = re.search(r"^.*" + re.escape(qd520_e2e.DRIVER_NAME) + r" +(\S.*)$", drivers, re.M)
        self.check("drivers: \"%s\" from the ROM's %s image, %s" % (qd520_e2e.DRIVER_NAME, self.architecture, node),
                   row and node in row.group(1), row.group(0).strip() if row else "not listed")

    def check_screen_and_monitor(self, name):
        """The monitor shows a mode the driver offers, with the report the
        host's main job gives for that mode; returns the screendump."""
        screen = self.screendump(name)
        report = getattr(self, "monitor", "") or ""
        mode = report.split(" @ ")[0]
        expected = self.args.reports.get(mode)
        self.check("the monitor's report is the host's for %s" % mode, expected is not None and report == expected,
                   "QEMU: %s; host: %s" % (report, expected))
        if screen is not None:
            self.check("the screendump is %s" % mode, "%dx%d" % (screen.width, screen.height) == mode,
                       "%dx%d" % (screen.width, screen.height))
        return screen


class ArmBoot(VirtBoot):
    architecture = "AARCH64"

    def qemu_binary(self):
        return self.args.qemu_aarch64

    def varstore(self):
        return self.args.aavmf_vars

    def machine(self):
        vars_copy = os.path.join(self.directory, "vars.fd")
        if not os.path.exists(vars_copy):
            shutil.copyfile(self.varstore(), vars_copy)
        return ["-machine", "virt", "-cpu", "cortex-a57",
                "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + self.args.aavmf_code,
                "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy]


class ArmProductionBoot(ArmBoot):
    production = True


class ArmSecureBoot(ArmBoot):
    """Debian's snakeoil varstore: Secure Boot on, the snakeoil certificate
    in db. The firmware refuses its own shell; the boot ends when the boot
    manager has reported that."""

    startup = None
    signed = True

    def varstore(self):
        return self.args.aavmf_snakeoil_vars

    def rom_file(self):
        return self.args.signed_rom if self.signed else self.args.rom

    def drive(self):
        self.qemu.wait_serial(SECURITY_VIOLATION)
        self.finish("screen")

    def collect(self):
        pass

    def check_all(self):
        self.check_run()
        serial = self.qemu.serial()
        self.check("Secure Boot on: the firmware refused its unsigned shell (\"%s\")" % SECURITY_VIOLATION,
                   SECURITY_VIOLATION in serial)
        self.check_bars("qd520")
        if self.signed:
            self.check_serial_basics(serial, 1)
            self.check_firmware_ran_the_rom(serial)
            screen = self.check_screen_and_monitor("screen")
            if screen is not None:
                self.check_text_on_screen("the boot manager's report on the QD520", screen, [SECURITY_VIOLATION])
        else:
            text = qd520_e2e.driver_lines(serial)
            self.check("the driver never ran: nothing of it on the serial port", not text, "; ".join(text[:3]))
            report = getattr(self, "monitor", "")
            self.check("the display stayed off (monitor: %s)" % report, report.startswith("blank"))


class ArmUnsignedBoot(ArmSecureBoot):
    signed = False


class RiscVBoot(VirtBoot):
    architecture = "RISCV64"

    def qemu_binary(self):
        return self.args.qemu_riscv64

    def machine(self):
        # OpenSBI hands over to the firmware in the second flash bank.
        return ["-machine", "virt", "-bios", self.args.opensbi,
                "-drive", "if=pflash,format=raw,unit=1,readonly=on,file=" + self.args.riscv_code]


class RiscVProductionBoot(RiscVBoot):
    production = True


BOOTS = {
    "arm": ArmBoot, "arm-production": ArmProductionBoot, "arm-signed": ArmSecureBoot,
    "arm-unsigned": ArmUnsignedBoot, "riscv": RiscVBoot, "riscv-production": RiscVProductionBoot,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--boot", action="append", choices=sorted(BOOTS), required=True)
    parser.add_argument("--rom", required=True, help="the debug Quandrel520Gop.rom (three images)")
    parser.add_argument("--production-rom", required=True, help="the production Quandrel520Gop.rom")
    parser.add_argument("--signed-rom", help="Quandrel520Gop.signed.rom, signed with Debian's snakeoil test key")
    parser.add_argument("--host-run", required=True, help="the host's main job, qd520-run (the monitor's reports)")
    parser.add_argument("--edk2", required=True, help="EDK II tree (the console font)")
    parser.add_argument("--output", required=True, help="directory for the boots' files")
    parser.add_argument("--qemu-aarch64", help="qemu-system-aarch64 with the qd520 device")
    parser.add_argument("--qemu-riscv64", help="qemu-system-riscv64 with the qd520 device")
    parser.add_argument("--aavmf-code", default="/usr/share/AAVMF/AAVMF_CODE.fd")
    parser.add_argument("--aavmf-vars", default="/usr/share/AAVMF/AAVMF_VARS.fd")
    parser.add_argument("--aavmf-snakeoil-vars", default="/usr/share/AAVMF/AAVMF_VARS.snakeoil.fd")
    parser.add_argument("--riscv-code", help="RISCV_VIRT_CODE.fd (Tools/build-riscv-firmware.sh)")
    parser.add_argument("--riscv-unavailable", help="the file that says why there is no RISC-V firmware")
    parser.add_argument("--opensbi", default="/usr/share/qemu/opensbi-riscv64-generic-fw_dynamic.bin")
    parser.add_argument("--jobs", type=int, default=2, help="QEMU runs at once")
    parser.add_argument("--timeout", type=int, default=180, help="seconds before a QEMU run is killed")
    args = parser.parse_args()

    riscv = [name for name in args.boot if name.startswith("riscv")]
    skip = riscv and qd520_e2e.firmware_skip(", ".join(riscv), args.riscv_unavailable)
    if skip:
        print(skip)
        return SKIPPED
    needed = [args.rom, args.production_rom, args.host_run]
    for name in args.boot:
        if name.startswith("arm"):
            needed += [args.qemu_aarch64 or "(--qemu-aarch64)", args.aavmf_code, args.aavmf_vars]
        if name in ("arm-signed", "arm-unsigned"):
            needed += [args.aavmf_snakeoil_vars, args.signed_rom or "(--signed-rom)"]
        if name.startswith("riscv"):
            needed += [args.qemu_riscv64 or "(--qemu-riscv64)", args.riscv_code or "(--riscv-code)", args.opensbi]
    absent = qd520_e2e.missing(("mkfs.fat", "mcopy"), needed)
    if absent:
        print(absent)
        return 2

    args.reports = host_reports(args.host_run)
    start = time.monotonic()
    boots = [BOOTS[name](name, args) for name in args.boot]
    return qd520_e2e.run_boots(boots, args.jobs, "end to end on %s" % ", ".join(args.boot), start)


if __name__ == "__main__":
    sys.exit(main())
