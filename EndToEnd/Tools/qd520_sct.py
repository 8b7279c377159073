#!/usr/bin/env python3
"""The UEFI Self-Certification Test (SCT) on the QD520 in real firmware:
Debian's OVMF under QEMU with the QD520 as a PCI device and the driver in
its option ROM. The SCT (Tools/build-sct.sh) runs from a FAT disk in the
UEFI Shell, `Sct -a -f`: every test file of the build, on the instances the
suite finds. The IHV tests run on the instances of the devices that
SCT/Data/DeviceConfig.ini names: here the QD520's controller (the adapter is
put at a fixed PCI address so that the file can name it), its driver and
what manages it.

Runs, two at a time, for each ROM given (--rom, --production-rom):

  <rom>-console   the firmware's consoles on the adapter, as the firmware
                  left them after boot: the graphics console draws on the
                  driver's graphics output while the tests run
  <rom>-isolated  Qd520SctIsolate.efi first disconnects every driver but
                  the adapter's own from the controller: the driver's
                  instances alone. The driver binding test runs last, in a
                  second pass from \\SCTLAST: its stop and start of the
                  controller brings the console drivers back.

Each run's `\\SCT\\Log` tree is copied out as the suite wrote it
(--output/<run>/Log/, and \\SCTLAST\\Log to Log-driver-binding/), with the
serial log; the run's disk (sct.img) is kept only when the run failed. The per-test `.ekl` key files
(UTF-16: a |HEAD| line naming the test and the instance's device path, one
GUID:PASS|WARNING|FAILURE|description:detail line per assertion) are read,
and each assertion is put on its instance (owner()): the adapter's
controller by its device path; a driver's image handle, which has none, by
the driver name the component-name tests log for it, or, in an isolated
run, as the driver's.

The result: every failure fails, whoever's instance it is on; every warning
is listed with its test and text, and a warning on the driver's instances
that --known-warnings (EndToEnd/Sct/known-warnings.txt, each with its
reason) does not explain fails too. With --full (make sct-full) the runs are
isolated only and the known warnings are not required.

Exit status 0 when every run ended, wrote its logs and passed.
"""

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_qemu  # noqa: E402
import qd520_e2e  # noqa: E402
from qd520_e2e import missing, run  # noqa: E402

# The adapter's place on the root bus, and its path as the SCT's library
# prints it (its own device-path text, which the IHV tests compare with
# DeviceConfig.ini's, case and all).
PCI_SLOT = 2
SCT_DEVICE_PATH = "Acpi(PNP0A03,0)/Pci(%X|0)" % PCI_SLOT
ISOLATED = "QD520 SCT isolate: 1 adapter(s), each left to its driver alone"
COUNTDOWN = "Press ESC in"
SCT_DONE = "Done!"

DEVICE_CONFIG = """[Device Configuration]
DevicePath=%s
DeviceType=Video
DriverBinding=Yes
DriverDiagnostics=No
DriverConfiguration=No
UnloadSupported=No
RuntimeSupported=No
""" % SCT_DEVICE_PATH

STARTUP = r"""@echo -off
fs0:
cd \SCT
{sct}
reset -s
"""
# Every test case, or (--full) the sequence of the automatic ones that
# Tools/build-sct.sh wrote: the manual cases wait a minute at each question
# and then judge "yes" by themselves, which checks nothing.
ALL_CASES = "Sct -a -f"
AUTOMATIC_CASES = "Sct -s Qd520Auto.seq -f"

# Isolated: the driver binding test stops and starts the controller, and
# starting it brings back every driver that can manage the adapter, the
# console drivers too. So it runs last, from a second copy of the SCT that
# holds only it (\SCTLAST, its logs in \SCTLAST\Log).
ISOLATED_STARTUP = r"""@echo -off
fs0:
cd \SCT
Qd520SctIsolate.efi
{sct}
{last}reset -s
"""
LAST_PASS = r"""cd \SCTLAST
\SCT\Qd520SctIsolate.efi
Sct -a -f
"""
LAST = ["IhvDriverBindingBBTest.efi"]
LOG_TREES = {"SCT": "Log", "SCTLAST": "Log-driver-binding"}

Assertion = collections.namedtuple("Assertion", "result guid description detail test path instance named log")

ASSERTION = re.compile(r"^([0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12})"
                       r":(PASS|WARNING|FAILURE)\|(.*)$")
# Per-test files are Entry_<instance>_<iteration>_<entry GUID>.ekl (and .log).
INSTANCE = re.compile(r"_(\d+)_\d+_[0-9A-Fa-f-]{36}\.(?:ekl|log)$")
# What the component-name tests log of the driver they call.
DRIVER_NAME_LOGGED = re.compile(r"DriverName - (.*?), Status")
DRIVER_NAME = "Quandrel QD520 GOP Driver"
NO_DEVICE_PATH = "No device path"
DRIVER = "the driver"


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def read_text(path):
    with open(path, "rb") as source:
        data = source.read()
    return data.decode("utf-16" if data.startswith(b"\xff\xfe") else "utf-16-le", errors="replace")


def instance_of(path):
    match = INSTANCE.search(os.path.basename(path))
    return int(match.group(1)) if match else None


def logged_driver_names(directory, files):
    """{instance: driver name} from the test's own logs in directory: the
    component-name tests write the name each instance's driver gave."""
    names = {}
    for name in files:
        if name.lower().endswith(".log") and instance_of(name) is not None:
            found = DRIVER_NAME_LOGGED.search(read_text(os.path.join(directory, name)))
            if found:
                names.setdefault(instance_of(name), found.group(1))
    return names


def read_key_file(path, names=None):
    """The assertions of one .ekl key file, each with the test (its
    category, e.g. IHV\\DriverModelTest\\ComponentNameProtocolTest: unique
    across the suites) and the instance's device path of the |HEAD| line
    before it, the instance's number and the driver name logged for it
    (names: {instance: name})."""
    assertions = []
    test = device_path = ""
    instance = instance_of(path)
    named = (names or {}).get(instance)
    for line in read_text(path).replace("\r", "").split("\n"):
        if line.startswith("|HEAD|"):
            # |HEAD|||config|scenario|date|time|entry GUID|revision|entry|test|category|device path
            # (the device path has '|' of its own: Pci(2|0))
            fields = line.split("|") + [""] * 14
            test, device_path = fields[12], "|".join(fields[13:]).rstrip("|")
            continue
        match = ASSERTION.match(line)
        if match:
            description, _, detail = match.group(3).partition(":")
            assertions.append(Assertion(match.group(2), match.group(1).upper(), description.strip(), detail.strip(),
                                        test, device_path, instance, named, path))
    return assertions


def read_logs(log_root):
    """Every assertion of every per-test key file under log_root (the
    overall summary repeats them and is left out)."""
    assertions = []
    for directory, _, files in sorted(os.walk(log_root)):
        if os.path.basename(directory).lower() == "overall":
            continue
        names = logged_driver_names(directory, files)
        for name in sorted(files):
            if name.lower().endswith(".ekl"):
                assertions += read_key_file(os.path.join(directory, name), names)
    return assertions


UNNAMED = "instances the logs do not name (a driver's image, the console splitter's graphics output)"


def short_test(category):
    """A test's category as the report shows it: its last part, "IHV " before
    the IHV suite's (ConsoleSupportTest\\GraphicsOutputProtocolTest is the
    UEFI suite's GraphicsOutputProtocolTest)."""
    return ("IHV " if category.startswith("IHV\\") else "") + category.split("\\")[-1]


def owner(assertion, isolated):
    """Whose instance an assertion is on: DRIVER, another driver's name, or
    None when the logs do not say.

    The adapter's instances have its device path (the controller's). A
    driver's image handle has none: the component-name tests log the name
    of the driver they called; in an isolated run the only driver in the
    IHV tests' reach is the adapter's own (Qd520SctIsolate.efi checked that
    before each pass)."""
    if assertion.path.startswith(SCT_DEVICE_PATH):
        return DRIVER
    if assertion.named:
        return DRIVER if assertion.named == DRIVER_NAME else assertion.named
    if isolated and assertion.path == NO_DEVICE_PATH and assertion.test.startswith("IHV\\DriverModelTest\\"):
        return DRIVER
    return None


def read_known_warnings(path):
    """{(GUID, test, description): reason} from the known-warnings file:

        GUID | test | description, as the SCT writes them
            the reason, on one or more indented lines

    An entry without a reason is an error."""
    known = {}
    current = None
    with open(path, encoding="utf-8") as source:
        for number, line in enumerate(source, 1):
            if not line.strip() or line.startswith("#"):
                continue
            if line[0].isspace():
                if current is None:
                    raise ValueError("%s:%d: a reason without an entry" % (path, number))
                known[current] = (known[current] + " " + line.strip()).strip()
                continue
            fields = [field.strip() for field in line.split("|")]
            if len(fields) != 3 or not re.fullmatch(r"[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}", fields[0]):
                raise ValueError("%s:%d: expected 'GUID | test | description'" % (path, number))
            current = (fields[0].upper(), fields[1], fields[2])
            known[current] = ""
    missing = [key for key, reason in known.items() if not reason]
    if missing:
        raise ValueError("%s: no reason given for %s" % (path, "; ".join(" | ".join(key) for key in missing)))
    return known


class Run:
    """One QEMU boot of the SCT from its own disk: the firmware's consoles
    left on the adapter, or the driver isolated (two passes)."""

    def __init__(self, name, rom, isolated, args):
        self.name = name
        self.rom = rom
        self.isolated = isolated
        self.args = args
        self.directory = os.path.join(args.output, name)
        self.image = os.path.join(self.directory, "sct.img")
        self.error = None
        self.seconds = 0.0
        self.assertions = []

    def prepare(self):
        shutil.rmtree(self.directory, ignore_errors=True)
        os.makedirs(self.directory)
        shutil.copyfile(self.args.ovmf_vars, os.path.join(self.directory, "vars.fd"))
        stage = os.path.join(self.directory, "disk")
        shutil.copytree(self.args.sct, os.path.join(stage, "SCT"))
        with open(os.path.join(stage, "SCT", "Data", "DeviceConfig.ini"), "w", newline="") as config:
            config.write(crlf(DEVICE_CONFIG))
        self.passes = 1
        sct = AUTOMATIC_CASES if self.args.full else ALL_CASES
        script = STARTUP.format(sct=sct)
        if self.isolated:
            tests = os.path.join(stage, "SCT", "Test")
            last = [name for name in LAST if os.path.exists(os.path.join(tests, name))]
            if last:
                shutil.copytree(os.path.join(stage, "SCT"), os.path.join(stage, "SCTLAST"),
                                ignore=lambda folder, names: [n for n in names if folder.endswith("Test")
                                                              and n not in last])
                for name in last:
                    os.unlink(os.path.join(tests, name))
                self.passes = 2
            script = ISOLATED_STARTUP.format(sct=sct, last=LAST_PASS if last else "")
        with open(os.path.join(stage, "startup.nsh"), "w", newline="") as startup:
            startup.write(crlf(script))
        run(["mkfs.fat", "-C", "-n", "QD520SCT", self.image, str(64 * 1024)])
        run(["mcopy", "-s", "-i", self.image] + [os.path.join(stage, name) for name in sorted(os.listdir(stage))]
            + ["::/"])

    def command(self):
        return [
            self.args.qemu, "-L", self.args.qemu_firmware, "-machine", "q35", "-m", "512", "-nodefaults",
            "-vga", "none", "-display", "none", "-no-reboot",
            "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + self.args.ovmf_code,
            "-drive", "if=pflash,format=raw,unit=1,file=" + os.path.join(self.directory, "vars.fd"),
            "-drive", "file=%s,format=raw,media=disk" % self.image,
            "-device", "qd520,id=qd520,addr=%d,romfile=%s" % (PCI_SLOT, os.path.abspath(self.rom)),
        ]

    def boot(self):
        qemu = qd520_qemu.Qemu(self.command(), self.directory, self.args.timeout)
        try:
            qemu.start()
            qemu.wait_serial(COUNTDOWN)
            qemu.send_key("spc")
            status = qemu.wait_exit()
            if qemu.killed:
                self.error = "killed after %d s" % self.args.timeout
            elif status != 0:
                self.error = "QEMU exited with status %s" % status
        except (qd520_qemu.QemuError, OSError) as error:
            self.error = str(error)
        finally:
            qemu.close()
            self.seconds = qemu.elapsed()
        self.serial = qemu.serial()

    def collect(self):
        """Copies each SCT tree's Log folder out, as the suite wrote it."""
        self.assertions = []
        for tree, folder in LOG_TREES.items():
            target = os.path.join(self.directory, folder)
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            subprocess.run(["mcopy", "-s", "-n", "-i", self.image, "::/%s/Log/*" % tree, target],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.assertions += read_logs(target)
            if not os.listdir(target):
                os.rmdir(target)

    def check(self, known):
        """Returns (lines, ok): the report of this run."""
        lines = []
        ok = True

        def line(passed, text):
            lines.append("  %-4s %s" % ("ok" if passed else "FAIL", text))
            return passed

        ok &= line(self.error is None, "QEMU run ended by itself (reset -s)" + ("" if self.error is None
                                                                                 else ": " + self.error))
        if self.isolated:
            ok &= line(self.serial.count(ISOLATED) == self.passes,
                       "the console drivers disconnected, the driver alone on the adapter (before each pass)")
        ok &= line(self.serial.count(SCT_DONE) == self.passes,
                   "the SCT ran to its end (\"%s\"%s)" % (SCT_DONE, ", both passes" if self.passes == 2 else ""))
        owners = [(assertion, owner(assertion, self.isolated)) for assertion in self.assertions]
        ours = [assertion for assertion, whose in owners if whose == DRIVER]
        ok &= line(bool(ours), "the logs hold assertions on the driver's instances (%d of %d)"
                   % (len(ours), len(self.assertions)))
        tests = collections.OrderedDict()
        for assertion in ours:
            tests.setdefault(assertion.test or "?", collections.Counter())[assertion.result] += 1
        for test, counts in tests.items():
            lines.append("       %-36s %4d passed, %d warnings, %d failures"
                         % (short_test(test), counts["PASS"], counts["WARNING"], counts["FAILURE"]))
        for assertion, whose in owners:
            if assertion.result == "FAILURE":
                ok &= line(False, "failure on %s: %s %s: %s: %s" % (whose or UNNAMED, assertion.guid,
                                                                   short_test(assertion.test), assertion.description,
                                                                   assertion.detail))
        # Each warning once, with the instances it was found on.
        warnings = collections.OrderedDict()
        for assertion, whose in owners:
            if assertion.result == "WARNING":
                key = (assertion.guid, assertion.test, assertion.description)
                warnings.setdefault(key, collections.Counter())[whose] += 1
        for key, found in warnings.items():
            guid, test, description = key
            text = "warning %s %s: %s" % (guid, short_test(test), description)
            if DRIVER in found:
                times = " (%d times)" % found[DRIVER] if found[DRIVER] > 1 else ""
                if key in known:
                    lines.append("  ok   %s%s -- known" % (text, times))
                elif self.args.full:
                    lines.append("  note %s%s -- on the driver" % (text, times))
                else:
                    ok &= line(False, "%s%s -- on the driver, not a known warning: explain it in %s"
                               % (text, times, self.args.known_warnings))
            others = sorted((whose or UNNAMED) + (" (%d)" % count if count > 1 else "")
                            for whose, count in found.items() if whose != DRIVER)
            if others:
                lines.append("  note %s -- on %s" % (text, ", ".join(others)))
        others = collections.Counter((whose or UNNAMED, assertion.result)
                                     for assertion, whose in owners if whose != DRIVER)
        for whose in sorted(set(whose for whose, _ in others)):
            lines.append("  note on %s: %d passed, %d warnings, %d failures"
                         % (whose, others[(whose, "PASS")], others[(whose, "WARNING")], others[(whose, "FAILURE")]))
        return lines, ok

    def report(self, known):
        lines, ok = self.check(known)
        if ok:      # the logs are copied out; the disk is only kept to look into a failure
            os.unlink(self.image)
            shutil.rmtree(os.path.join(self.directory, "disk"), ignore_errors=True)
        counts = collections.Counter(a.result for a in self.assertions if owner(a, self.isolated) == DRIVER)
        print("== SCT %s: %s; the driver's instances: %d passed, %d warnings, %d failures; QEMU %.0f s; logs in %s"
              % (self.name, "passed" if ok else "FAILED", counts["PASS"], counts["WARNING"], counts["FAILURE"],
                 self.seconds, self.directory))
        print("\n".join(lines))
        return ok


def run_one(sct_run):
    sct_run.prepare()
    sct_run.boot()
    sct_run.collect()
    return sct_run


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    qd520_e2e.add_qemu_arguments(parser, timeout=600)
    parser.add_argument("--sct", required=True, help="the SCT folder (build/sct/<variant>/SCT)")
    parser.add_argument("--rom", required=True, help="the debug Quandrel520Gop.rom")
    parser.add_argument("--production-rom", help="the production Quandrel520Gop.rom")
    parser.add_argument("--known-warnings", required=True, help="the explained warnings")
    parser.add_argument("--output", required=True, help="folder of the runs' files")
    parser.add_argument("--full", action="store_true", help="the exhaustive build: isolated runs, warnings listed")
    parser.add_argument("--run", action="append", help="run only these (e.g. debug-isolated); repeatable")
    args = parser.parse_args()

    needed = [args.qemu, args.rom, os.path.join(args.sct, "Sct.efi"), args.ovmf_code, args.ovmf_vars]
    if args.full:
        needed.append(os.path.join(args.sct, "Sequence", "Qd520Auto.seq"))
    if args.production_rom:
        needed.append(args.production_rom)
    absent = missing(("mkfs.fat", "mcopy"), needed)
    if absent:
        print(absent)
        return 2
    try:
        known = read_known_warnings(args.known_warnings)
    except (OSError, ValueError) as error:
        print("known warnings: %s" % error)
        return 1

    roms = [("debug", args.rom)] + ([("production", args.production_rom)] if args.production_rom else [])
    modes = [("isolated", True)] if args.full else [("console", False), ("isolated", True)]
    runs = [Run("%s-%s" % (rom_name, mode), rom, isolated, args) for rom_name, rom in roms for mode, isolated in modes]
    if args.run:
        runs = [sct_run for sct_run in runs if sct_run.name in args.run]
    start = time.monotonic()
    with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        runs = list(pool.map(run_one, runs))
    ok = True
    for sct_run in runs:
        ok = sct_run.report(known) and ok
    print("UEFI SCT%s: %s in %.0f s" % (" (exhaustive)" if args.full else "", "passed" if ok else "FAILED",
                                        time.monotonic() - start))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
