#!/usr/bin/env python3
"""End-to-end runs of the signed driver in firmware that enforces UEFI
Secure Boot and W^X: OVMF built from the kit with option-ROM verification
(policy 0x04: an image that fails is denied), protection of every image it
loads (code read-only, data no-execute) and no execution from data memory
(Tools/build-ovmf.sh), booted on a varstore whose PK, KEK and db hold
Debian's snakeoil TEST certificate (Secure Boot on, user mode), on the QD520
QEMU device. The firmware's log comes from its debug port (firmware.log).
Boots, run in parallel:

  signed     the ROM signed with the test key: accepted, and the whole rom
             boot of qd520_e2e.py passes on it (listings, disconnect and
             reconnect, end-node connect, console scroll, SetMode); the
             image is protected: the firmware's log gives its code pages
             EFI_MEMORY_RO and its header and data pages EFI_MEMORY_XP, no
             alignment message, and the page tables (walked from CR3
             through QMP) agree, with CR0.WP and EFER.NXE on.
  unsigned   the project's unsigned ROM: deferred to EndOfDxe, then refused
             ("Image is not signed and SHA256 hash of image is not found in
             DB/DBX."); the driver never runs: no banner by the time the
             shell has started, the adapter's screen black.
  tampered   the signed image with one code byte changed after signing
             (made here): refused ("Image is signed but signature is not
             allowed by DB ...").
  other-key  the image signed by a key made here, not in db: refused so.
  two        two adapters with the signed ROM: both accepted and protected,
             and the two-adapter boot of qd520_e2e.py passes.
  old-layout negative control: the signed image linked as before (32-byte
             sections) is accepted but left unprotected: the alignment
             message appears, the W^X check fails on it, and its pages are
             writable and executable in the page tables.

Exit status 0 when every check passed; 77 (skipped) when the firmware could
not be built from the kit (--unavailable names the file that says why).
"""

import argparse
import os
import re
import struct
import subprocess
import sys
import time
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_e2e  # noqa: E402
import qd520_screen  # noqa: E402

SKIPPED = qd520_e2e.SKIPPED
TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "Tools")
DEBUG_PORT = ["-debugcon", "file:%s", "-global", "isa-debugcon.iobase=0x402"]

PAGE = 4096
EFI_MEMORY_XP = 0x4000
EFI_MEMORY_RO = 0x20000
SCN_MEM_EXECUTE = 0x20000000
SCN_CNT_CODE = 0x20

NOT_SIGNED = "Image is not signed and SHA256 hash of image is not found in DB/DBX."
NOT_IN_DB = "Image is signed but signature is not allowed by DB"
REFUSED = "The image doesn't pass verification: "
ALIGNMENT = re.compile(r"ProtectUefiImageCommon - Section Alignment\(0x([0-9A-Fa-f]+)\) is incorrect")
LOADING = re.compile(r"^Loading driver at 0x([0-9A-Fa-f]+) EntryPoint=0x([0-9A-Fa-f]+) ?(\S*)")
PROTECT = re.compile(r"^ProtectUefiImageCommon - 0x([0-9A-Fa-f]+)\s*$")
PROTECT_RANGE = re.compile(r"^  - 0x([0-9A-Fa-f]+) - 0x([0-9A-Fa-f]+)\s*$")
ATTRIBUTES = re.compile(r"^SetUefiImageMemoryAttributes - 0x([0-9A-Fa-f]+) - 0x([0-9A-Fa-f]+) \(0x([0-9A-Fa-f]+)\)")
REFUSAL_REASON = re.compile(r"^DxeImageVerificationLib: (.*)$")
DEFERRED = "is deferred to load before EndOfDxe: "
LOADABLE = "can be loaded after EndOfDxe: "


# --- the image -----------------------------------------------------------------
class PeLayout:
    """What the loader and the protection code read of a PE32+ image."""

    def __init__(self, blob):
        if blob[:2] != b"MZ":
            raise ValueError("not a PE image")
        (nt,) = struct.unpack_from("<I", blob, 0x3C)
        if blob[nt:nt + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, = struct.unpack_from("<H", blob, nt + 6)
        optional_size, = struct.unpack_from("<H", blob, nt + 20)
        optional = nt + 24
        self.entry, = struct.unpack_from("<I", blob, optional + 16)
        self.section_alignment, = struct.unpack_from("<I", blob, optional + 32)
        self.size, = struct.unpack_from("<I", blob, optional + 56)
        self.sections = []
        for index in range(sections):
            at = optional + optional_size + 40 * index
            name = blob[at:at + 8].rstrip(b"\0").decode("ascii", errors="replace")
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", blob, at + 8)
            characteristics, = struct.unpack_from("<I", blob, at + 36)
            self.sections.append(types.SimpleNamespace(name=name, rva=rva, virtual_size=virtual_size,
                                                       raw_size=raw_size, raw_offset=raw_offset,
                                                       code=bool(characteristics & (SCN_MEM_EXECUTE | SCN_CNT_CODE))))

    @classmethod
    def read(cls, path):
        with open(path, "rb") as image:
            return cls(image.read())

    def page_kinds(self):
        """{page offset in the image: "code" or "data"}: what W^X gives each
        page (the headers and every page of no code section are data)."""
        kinds = {offset: "data" for offset in range(0, self.size, PAGE)}
        for section in self.sections:
            if section.code:
                for offset in range(section.rva & ~(PAGE - 1), section.rva + section.virtual_size, PAGE):
                    kinds[offset] = "code"
        return kinds

    def file_offset(self, rva):
        for section in self.sections:
            if section.rva <= rva < section.rva + section.raw_size:
                return section.raw_offset + rva - section.rva
        raise ValueError("RVA 0x%X is in no section's file data" % rva)


def tamper_code_byte(blob, layout):
    """blob with one byte of the entry point's code changed (its file offset
    returned too): the image no longer matches its signature."""
    offset = layout.file_offset(layout.entry)
    changed = bytearray(blob)
    changed[offset] ^= 0xFF
    return bytes(changed), offset


# --- the firmware's log ----------------------------------------------------------
def loaded_images(log):
    """[(base, entry point, name)] of every "Loading driver" line."""
    found = []
    for line in log.splitlines():
        match = LOADING.match(line)
        if match:
            found.append((int(match.group(1), 16), int(match.group(2), 16), match.group(3)))
    return found


def images_of(log, layout):
    """The bases of the loaded images that are this image: entry point at its
    offset from the base (option-ROM images carry no name)."""
    return [base for base, entry, _ in loaded_images(log) if entry - base == layout.entry]


def protection_records(log):
    """{image base: record} of the DXE core's ProtectUefiImageCommon: the
    image's size, the alignment it rejected (or None), and the ranges
    SetUefiImageMemoryAttributes gave it [(base, length, attributes)]."""
    records = {}
    current = None
    for line in log.splitlines():
        if PROTECT.match(line) or LOADING.match(line):
            current = None
            if PROTECT.match(line):
                current = types.SimpleNamespace(base=None, size=None, alignment=None, ranges=[])
            continue
        if current is None:
            continue
        match = PROTECT_RANGE.match(line)
        if match and current.base is None:
            current.base, current.size = int(match.group(1), 16), int(match.group(2), 16)
            records[current.base] = current
            continue
        match = ALIGNMENT.search(line)
        if match:
            current.alignment = int(match.group(1), 16)
            continue
        match = ATTRIBUTES.match(line)
        if match:
            current.ranges.append(tuple(int(match.group(index), 16) for index in (1, 2, 3)))
    return records


def protection_failures(layout, base, record):
    """Why the firmware's log does not show the image at base protected with
    W^X: every code page EFI_MEMORY_RO and executable, every other page of
    the image EFI_MEMORY_XP and writable. [] when it does."""
    if record is None:
        return ["no ProtectUefiImageCommon record for the image at 0x%X" % base]
    failures = []
    if record.alignment is not None:
        failures.append("the firmware found the section alignment 0x%X incorrect and left the image unprotected"
                        % record.alignment)
    if record.size != layout.size:
        failures.append("record of 0x%X bytes, the image has 0x%X" % (record.size or 0, layout.size))
    given = {}
    for start, length, attributes in record.ranges:
        for page in range(start, start + length, PAGE):
            given[page] = attributes
    for offset, kind in sorted(layout.page_kinds().items()):
        attributes = given.get(base + offset)
        if attributes is None:
            failures.append("page +0x%X (%s): no attributes set" % (offset, kind))
        elif kind == "code" and (attributes & EFI_MEMORY_RO == 0 or attributes & EFI_MEMORY_XP):
            failures.append("code page +0x%X: attributes 0x%X, not read-only and executable" % (offset, attributes))
        elif kind == "data" and (attributes & EFI_MEMORY_XP == 0 or attributes & EFI_MEMORY_RO):
            failures.append("data page +0x%X: attributes 0x%X, not writable and no-execute" % (offset, attributes))
    return failures


def refusals(log):
    """[(reason, device path)] of each image the verification denied: the
    DxeImageVerificationLib line before "The image doesn't pass
    verification"."""
    found = []
    reason = None
    for line in log.splitlines():
        match = REFUSAL_REASON.match(line)
        if match:
            reason = match.group(1).strip()
        elif line.startswith(REFUSED):
            found.append((reason, line[len(REFUSED):].strip()))
            reason = None
    return found


def accepted_by_db(log, path):
    """Whether the image at path, loaded after EndOfDxe, was verified by a
    certificate in db: the verification measures db as the authority (or
    finds it measured already) before the DXE core loads the image."""
    lines = log.splitlines()
    for index, line in enumerate(lines):
        if line.endswith(LOADABLE + path + "."):
            for after in lines[index + 1:]:
                if LOADING.match(after) or after.startswith(REFUSED):
                    break
                if "VariableName - db," in after or after.startswith("MeasureSecureAuthorityVariable - IsDataMeasured"):
                    return True
    return False


def rom_image_path(device, rom):
    """The firmware's device path of the x64 image in a card's option ROM."""
    return "%s/%s" % (qd520_e2e.qd520_qemu.pci_path(device), qd520_e2e.rom_image_node(rom))


def foreign_image_paths(device, rom):
    """The device paths of the images of other architectures in a card's
    option ROM. The firmware dispatches them too and turns them away: an
    AArch64 image passes the verification and its load is refused for its
    machine type; a RISC-V one the x64 firmware's PE/COFF library cannot
    read, so the verification refuses it ("PeImage invalid")."""
    bus = qd520_e2e.qd520_qemu.pci_path(device)
    return ["%s/%s" % (bus, qd520_e2e.rom_image_node(rom, architecture))
            for architecture, _, _ in qd520_e2e.rom_images(rom) if architecture != "X64"]


# --- the page tables ---------------------------------------------------------------
REGISTER = re.compile(r"\b(CR0|CR3|CR4|EFER)=([0-9A-Fa-f]+)")
XP_LINE = re.compile(r"^[0-9A-Fa-f]+: 0x([0-9A-Fa-f]+)\s*$", re.M)
PRESENT, WRITABLE, LARGE = 1, 2, 0x80
NO_EXECUTE = 1 << 63
ADDRESS = 0x000FFFFFFFFFF000
CR0_WP = 1 << 16
EFER_NXE = 1 << 11


def parse_registers(text):
    return {name: int(value, 16) for name, value in REGISTER.findall(text)}


def walk(read_entry, cr3, address):
    """The effective mapping of a linear address under 4-level paging:
    (leaf level (1: 4 KiB, 2: 2 MiB, 3: 1 GiB), writable, no-execute), or
    None when it is not mapped. Writable only if every level allows
    writes; no-execute if any level forbids execution."""
    table = cr3 & ADDRESS
    writable, no_execute = True, False
    for level, shift in ((4, 39), (3, 30), (2, 21), (1, 12)):
        entry = read_entry(table + ((address >> shift) & 0x1FF) * 8)
        if not entry & PRESENT:
            return None
        writable = writable and bool(entry & WRITABLE)
        no_execute = no_execute or bool(entry & NO_EXECUTE)
        if level == 1 or (level in (2, 3) and entry & LARGE):
            return level, writable, no_execute
        table = entry & ADDRESS
    return None


def page_table_failures(layout, base, registers, mapping, protected=True):
    """Why the page tables do not enforce W^X on the image at base (mapping:
    {page offset: walk() result}). With protected=False, the failures
    expected of an unprotected image are turned round: each page must be
    writable and executable."""
    failures = []
    if protected:
        if not registers.get("CR0", 0) & CR0_WP:
            failures.append("CR0.WP is off: read-only pages do not bind the firmware")
        if not registers.get("EFER", 0) & EFER_NXE:
            failures.append("EFER.NXE is off: no page is no-execute")
    for offset, kind in sorted(layout.page_kinds().items()):
        entry = mapping.get(offset)
        if entry is None:
            failures.append("page +0x%X not mapped" % offset)
            continue
        level, writable, no_execute = entry
        if not protected:
            if not writable or no_execute:
                failures.append("page +0x%X: writable %s, no-execute %s" % (offset, writable, no_execute))
        elif level != 1:
            failures.append("page +0x%X (%s) inside a %s page" % (offset, kind, "2 MiB" if level == 2 else "1 GiB"))
        elif kind == "code" and (writable or no_execute):
            failures.append("code page +0x%X: writable %s, no-execute %s" % (offset, writable, no_execute))
        elif kind == "data" and (not writable or not no_execute):
            failures.append("data page +0x%X: writable %s, no-execute %s" % (offset, writable, no_execute))
    return failures


# --- the boots ---------------------------------------------------------------------
class SecureBootMixin:
    """Firmware log on the debug port; the image's W^X from the log and the
    page tables."""

    layout = None       # PeLayout of the image on the card
    tables = None       # {image base: (registers, {offset: walk})}

    def extra_devices(self):
        return [part % os.path.join(self.directory, "firmware.log") if "%s" in part else part
                for part in DEBUG_PORT]

    def firmware_log(self):
        try:
            with open(os.path.join(self.directory, "firmware.log"), "rb") as log:
                return log.read().decode("ascii", errors="replace").replace("\r", "")
        except FileNotFoundError:
            return ""

    def read_page_tables(self):
        """Walks the page tables for every page of each loaded copy of the
        image (QMP: info registers, xp)."""
        registers = parse_registers(self.qemu.execute("human-monitor-command", **{"command-line": "info registers"}))

        def read_entry(address):
            text = self.qemu.execute("human-monitor-command", **{"command-line": "xp /1gx 0x%x" % address})
            match = XP_LINE.search(text)
            if not match:
                raise qd520_e2e.qd520_qemu.QemuError("xp 0x%x: %r" % (address, text))
            return int(match.group(1), 16)

        self.tables = {}
        for base in images_of(self.firmware_log(), self.layout):
            mapping = {offset: walk(read_entry, registers.get("CR3", 0), base + offset)
                       for offset in self.layout.page_kinds()}
            self.tables[base] = (registers, mapping)

    def check_verification_passed(self, log, images):
        foreign = [path for device in self.screen_ids() if device in self.pci
                   for path in foreign_image_paths(self.pci[device], self.args.rom)]
        refused = [refusal for refusal in refusals(log) if refusal[1] not in foreign]
        self.check("firmware log: no image refused but the ROM's images of other architectures", not refused,
                   "%s" % refused)
        for device in self.screen_ids():
            path = rom_image_path(self.pci[device], self.args.rom) if device in self.pci else "?"
            self.check("firmware log: %s deferred to EndOfDxe, then its signature accepted by db" % path,
                       DEFERRED + path in log and accepted_by_db(log, path))
        self.check("firmware log: the image loaded %d time(s) (entry point at +0x%X)" % (images, self.layout.entry),
                   len(images_of(log, self.layout)) == images,
                   "loaded at %s" % [hex(base) for base in images_of(log, self.layout)])

    def check_protected(self, log):
        records = protection_records(log)
        for base in images_of(log, self.layout):
            record = records.get(base)
            failures = protection_failures(self.layout, base, record)
            self.check("firmware log: image at 0x%X protected, no alignment message, code pages EFI_MEMORY_RO, "
                       "header and data pages EFI_MEMORY_XP" % base, not failures, "; ".join(failures))
            if base not in (self.tables or {}):
                self.check("page tables of the image at 0x%X read" % base, False)
                continue
            registers, mapping = self.tables[base]
            failures = page_table_failures(self.layout, base, registers, mapping)
            self.check("page tables: image at 0x%X mapped in 4 KiB pages, code read-only and executable, header and "
                       "data writable and no-execute; CR0.WP and EFER.NXE on" % base, not failures,
                       "; ".join(failures))


class SignedRomBoot(SecureBootMixin, qd520_e2e.ShellBoot):
    """The rom boot of qd520_e2e.py on the signed ROM, plus the image's W^X."""

    def __init__(self, name, args):
        super().__init__("rom", args)           # the rom boot's devices, script and listings
        qd520_e2e.Boot.__init__(self, name, args)
        self.layout = PeLayout.read(args.signed_efi)

    def dump_screens(self, name):
        super().dump_screens(name)
        if name == "screen":
            self.read_page_tables()

    def check_all(self):
        super().check_all()
        log = self.firmware_log()
        self.check_verification_passed(log, 1)
        self.check_protected(log)


class TwoSignedBoot(SecureBootMixin, qd520_e2e.TwoAdapterBoot):
    """Two adapters with the signed ROM: both images verified and protected."""

    def __init__(self, name, args):
        super().__init__(name, args)
        self.layout = PeLayout.read(args.signed_efi)

    def dump_screens(self, name):
        super().dump_screens(name)
        if name == "both":
            self.read_page_tables()

    def check_all(self):
        super().check_all()
        log = self.firmware_log()
        self.check_verification_passed(log, 2)
        self.check_protected(log)


class RefusedRomBoot(SecureBootMixin, qd520_e2e.Boot):
    """A ROM the firmware must refuse: deferred to EndOfDxe, then denied with
    the reason expected; the driver never runs. Ends once the shell has
    started (everything the firmware dispatches has run by then)."""

    reason = NOT_IN_DB

    def __init__(self, name, args):
        super().__init__(name, args)
        self.devices = [{"id": "qd520", "rom": True}]

    def rom(self):
        return self.args.rom

    def prepare(self):
        super().prepare()
        self.args = types.SimpleNamespace(**dict(vars(self.args), rom=self.rom()))

    def drive(self):
        self.qemu.wait_serial(qd520_e2e.SHELL_STARTED)
        self.pci = self.qemu.pci_devices()
        self.qemu.screendump(os.path.join(self.directory, "screen.ppm"), "qd520")
        self.qemu.quit()

    def check_all(self):
        self.check_run()
        log = self.firmware_log()
        serial = self.qemu.serial()
        device = self.pci.get("qd520")
        path = rom_image_path(device, self.args.rom) if device else "?"
        found = refusals(log)
        self.check("firmware log: the image %s refused: \"%s\"" % (path, self.reason),
                   any(where == path and (reason or "").startswith(self.reason) for reason, where in found),
                   "refusals: %s" % found)
        deferred = log.find(DEFERRED + path)
        self.check("firmware log: deferred to EndOfDxe before its verification",
                   0 <= deferred < log.find(REFUSED + path), "deferred at %d" % deferred)
        self.check("firmware log: the image never loaded", not images_of(log, PeLayout.read(self.args.driver)),
                   "loaded at %s" % images_of(log, PeLayout.read(self.args.driver)))
        self.check("the shell started (the firmware dispatched everything it would)", qd520_e2e.SHELL_STARTED in serial)
        self.check("the driver never ran: no banner on the serial port", qd520_e2e.BANNER not in serial)
        self.check("no assertion", "ASSERT" not in serial and "ASSERT" not in log)
        screen = self.screendump("screen")
        if screen is not None:
            others = qd520_screen.count_other_than(screen, qd520_e2e.BLACK)
            self.check("the adapter's screen stayed black (%dx%d)" % (screen.width, screen.height), others == 0,
                       "%d pixels not black" % others)


class UnsignedRomBoot(RefusedRomBoot):
    reason = NOT_SIGNED


class TamperedRomBoot(RefusedRomBoot):
    """The signed image with the first byte of its entry point's code
    changed, in a ROM made here."""

    def rom(self):
        with open(self.args.signed_efi, "rb") as source:
            blob = source.read()
        changed, self.changed_offset = tamper_code_byte(blob, PeLayout(blob))
        image = os.path.join(self.directory, "tampered.efi")
        with open(image, "wb") as target:
            target.write(changed)
        rom = os.path.join(self.directory, "tampered.rom")
        qd520_e2e.run([os.path.join(TOOLS, "pack-rom.sh"), self.args.efirom, rom, image])
        self.sbverify = subprocess.run(["sbverify", "--cert", self.args.test_cert, image], stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT).returncode
        return rom

    def check_all(self):
        self.check("the changed image (byte at file offset 0x%X) fails sbverify too" % self.changed_offset,
                   self.sbverify != 0)
        super().check_all()


class OtherKeyRomBoot(RefusedRomBoot):
    """The image signed by a key made here, whose certificate is not in db."""

    def rom(self):
        key, cert = os.path.join(self.directory, "other.key"), os.path.join(self.directory, "other.pem")
        qd520_e2e.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                       "-subj", "/CN=QD520 end-to-end signer not in db", "-keyout", key, "-out", cert])
        image, rom = os.path.join(self.directory, "other.signed.efi"), os.path.join(self.directory, "other.signed.rom")
        qd520_e2e.run([os.path.join(TOOLS, "sign-image.sh"), key, cert, self.args.efirom, rom, self.args.driver, image])
        self.sbverify = subprocess.run(["sbverify", "--cert", cert, image], stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT).returncode
        return rom

    def check_all(self):
        self.check("the other key's image verifies against its own certificate (sbverify)", self.sbverify == 0)
        super().check_all()


class OldLayoutBoot(SecureBootMixin, qd520_e2e.Boot):
    """Negative control: the signed image of 32-byte sections. Accepted, but
    the firmware cannot protect it: the W^X checks must fail on it."""

    def __init__(self, name, args):
        super().__init__(name, args)
        self.devices = [{"id": "qd520", "rom": True}]
        self.layout = PeLayout.read(args.old_layout_efi)
        self.args = types.SimpleNamespace(**dict(vars(args), rom=args.old_layout_rom))

    def drive(self):
        self.qemu.wait_serial(qd520_e2e.BANNER)
        self.pci = self.qemu.pci_devices()
        self.read_page_tables()
        self.qemu.quit()

    def check_all(self):
        self.check_run()
        log = self.firmware_log()
        self.check("the image has 32-byte sections", self.layout.section_alignment == 0x20,
                   "0x%X" % self.layout.section_alignment)
        self.check_verification_passed(log, 1)
        self.check("the driver ran (banner on the serial port)", qd520_e2e.BANNER in self.qemu.serial())
        records = protection_records(log)
        for base in images_of(log, self.layout):
            record = records.get(base)
            self.check("firmware log: \"Section Alignment(0x20) is incorrect\" for the image at 0x%X" % base,
                       record is not None and record.alignment == 0x20)
            self.check("the firmware-log W^X check fails on it", protection_failures(self.layout, base, record))
            registers, mapping = (self.tables or {}).get(base, ({}, {}))
            self.check("the page-table W^X check fails on it", page_table_failures(self.layout, base, registers,
                                                                                  mapping))
            failures = page_table_failures(self.layout, base, registers, mapping, protected=False)
            self.check("page tables: every page of it writable and executable", not failures, "; ".join(failures))


BOOTS = {"signed": SignedRomBoot, "two": TwoSignedBoot, "unsigned": UnsignedRomBoot,
         "tampered": TamperedRomBoot, "other-key": OtherKeyRomBoot, "old-layout": OldLayoutBoot}
TESTS = ["signed", "two", "unsigned", "tampered", "other-key", "old-layout"]   # longest first


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    qd520_e2e.add_qemu_arguments(parser, timeout=150, packaged_ovmf=False)
    parser.add_argument("--ovmf-code", required=True, help="OVMF_CODE.fd of Tools/build-ovmf.sh")
    parser.add_argument("--ovmf-vars", required=True, help="its varstore with the test certificate in db")
    parser.add_argument("--unavailable", help="the file that says why the firmware was not built, if it exists")
    parser.add_argument("--driver", required=True, help="the unsigned Quandrel520Gop.efi")
    parser.add_argument("--unsigned-rom", required=True, help="the unsigned Quandrel520Gop.rom")
    parser.add_argument("--signed-efi", required=True, help="the image signed with the test key")
    parser.add_argument("--signed-rom", required=True, help="its option ROM")
    parser.add_argument("--old-layout-efi", required=True, help="the signed image of 32-byte sections")
    parser.add_argument("--old-layout-rom", required=True, help="its option ROM")
    parser.add_argument("--test-cert", required=True, help="the test certificate (in db)")
    parser.add_argument("--efirom", required=True, help="the kit's EfiRom")
    parser.add_argument("--console-test", required=True, help="Qd520ConsoleTest.efi")
    parser.add_argument("--edk2", required=True, help="EDK II tree (the console font)")
    parser.add_argument("--output", required=True, help="directory for the boots' files")
    parser.add_argument("--boot", action="append", choices=sorted(BOOTS), help="boot to run (repeatable)")
    args = parser.parse_args()

    skip = qd520_e2e.firmware_skip("secure boot end to end", args.unavailable, (args.ovmf_code, args.ovmf_vars))
    if skip:
        print(skip)
        return SKIPPED
    absent = qd520_e2e.missing(("mkfs.fat", "mcopy", "sbverify", "openssl"))
    if absent:
        print(absent)
        return 2

    names = args.boot or TESTS
    start = time.monotonic()
    boots = []
    for name in names:
        boot_args = types.SimpleNamespace(**dict(vars(args), rom=args.signed_rom))
        if name == "unsigned":
            boot_args.rom = args.unsigned_rom
        boots.append(BOOTS[name](name, boot_args))
    return qd520_e2e.run_boots(boots, args.jobs, "secure boot end to end", start)


if __name__ == "__main__":
    sys.exit(main())
