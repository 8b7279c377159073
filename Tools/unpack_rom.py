#!/usr/bin/env python3
"""The EFI images of a PCI option ROM as firmware takes them out of the
card's ROM, decompressed, so that they can be inspected: `sbverify --list`
lists each image's signatures and the certificates they carry.

  Tools/unpack_rom.py ROM DIR [--tianocompress PATH]

Writes DIR/<name of ROM>.<ARCH>.efi for each EFI image of the ROM (X64,
AARCH64, RISCV64, ...) and prints a line for each: its architecture, the
device path node firmware gives it (Offset(start,end)), its size in the
ROM and unpacked, and the file. A compressed image is decompressed with the
kit's TianoCompress (-d --uefi: the UEFI compression EfiRom -ec uses); by
default the one Tools/edk2-workspace.sh built for the kit in
build/.edk2-path. Images that are not EFI images (a legacy BIOS image) are
named and skipped. Exit status 1, with one line, when the file is not an
option ROM or an image does not decompress.
"""

import argparse
import os
import subprocess
import sys
import tempfile

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
MACHINES = {0x014C: "IA32", 0x8664: "X64", 0xAA64: "AARCH64", 0x5064: "RISCV64", 0x6264: "LOONGARCH64"}
EFI_SIGNATURE = 0x0EF1
COMPRESSED = 1
LAST_IMAGE = 0x80


class RomError(Exception):
    pass


def u16(blob, offset):
    return int.from_bytes(blob[offset:offset + 2], "little")


def images(rom):
    """[(start, length, architecture or None for a non-EFI image,
    compressed, image bytes as stored)] of each image of the ROM, in order,
    to the one marked last (EFI_PCI_EXPANSION_ROM_HEADER and PCIR)."""
    found, offset = [], 0
    while True:
        if offset + 0x1A > len(rom) or rom[offset:offset + 2] != b"\x55\xAA":
            raise RomError("no option ROM header (55 AA) at 0x%X" % offset)
        pcir = offset + u16(rom, offset + 0x18)
        if rom[pcir:pcir + 4] != b"PCIR":
            raise RomError("no PCI data structure (PCIR) for the image at 0x%X" % offset)
        length = u16(rom, pcir + 0x10) * 512
        if not length or offset + length > len(rom):
            raise RomError("the image at 0x%X claims %d bytes, the ROM has %d" % (offset, length, len(rom) - offset))
        if int.from_bytes(rom[offset + 4:offset + 8], "little") == EFI_SIGNATURE:
            machine = u16(rom, offset + 0x0A)
            start = offset + u16(rom, offset + 0x16)
            found.append((offset, length, MACHINES.get(machine, "0x%04X" % machine),
                          u16(rom, offset + 0x0C) == COMPRESSED, rom[start:offset + length]))
        else:
            found.append((offset, length, None, False, b""))
        if rom[pcir + 0x15] & LAST_IMAGE:
            return found
        offset += length


def pe_size(image):
    """The bytes of a PE image without what follows it in the ROM: to the
    end of its certificate table, or of its last section."""
    if image[:2] != b"MZ":
        raise RomError("the image is not a PE image")
    nt = int.from_bytes(image[0x3C:0x40], "little")
    sections, optional_size = u16(image, nt + 6), u16(image, nt + 20)
    optional = nt + 24
    directories = optional + (112 if u16(image, optional) == 0x20B else 96)
    security = directories + 4 * 8
    end = int.from_bytes(image[security:security + 4], "little") + int.from_bytes(image[security + 4:security + 8],
                                                                                  "little")
    for index in range(sections):
        at = optional + optional_size + 40 * index
        raw_size, raw_offset = (int.from_bytes(image[at + 16 + 4 * field:at + 20 + 4 * field], "little")
                                for field in range(2))
        end = max(end, raw_offset + raw_size)
    return end


def default_tianocompress():
    kit_file = os.path.join(TOP, "build", ".edk2-path")
    if not os.path.exists(kit_file):
        raise RomError("no kit in build/.edk2-path (run make build first) or give --tianocompress")
    with open(kit_file) as source:
        kit = source.read().strip()
    result = subprocess.run([os.path.join(TOP, "Tools", "edk2-workspace.sh"), kit], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    if result.returncode != 0:
        raise RomError("the kit's BaseTools did not build (Tools/edk2-workspace.sh %s)" % kit)
    return os.path.join(result.stdout.strip().splitlines()[-1], "Source", "C", "bin", "TianoCompress")


def decompress(tianocompress, data):
    with tempfile.TemporaryDirectory() as work:
        packed, unpacked = os.path.join(work, "image.z"), os.path.join(work, "image.efi")
        with open(packed, "wb") as target:
            target.write(data)
        result = subprocess.run([tianocompress, "-d", "--uefi", "-q", "-o", unpacked, packed],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0 or not os.path.exists(unpacked):
            raise RomError("TianoCompress could not decompress it: %s" % result.stdout.strip()[-200:])
        with open(unpacked, "rb") as source:
            return source.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("rom")
    parser.add_argument("directory")
    parser.add_argument("--tianocompress", help="the kit's TianoCompress")
    args = parser.parse_args()
    try:
        with open(args.rom, "rb") as source:
            rom = source.read()
        found = images(rom)
        tianocompress = None
        os.makedirs(args.directory, exist_ok=True)
        stem = os.path.splitext(os.path.basename(args.rom))[0]
        for start, length, architecture, compressed, data in found:
            node = "Offset(0x%X,0x%X)" % (start, start + length - 1)
            if architecture is None:
                print("%s: not an EFI image (a legacy image), skipped" % node)
                continue
            if compressed:
                tianocompress = tianocompress or args.tianocompress or default_tianocompress()
            try:
                data = decompress(tianocompress, data) if compressed else data
                image = data[:pe_size(data)]
            except RomError as error:
                raise RomError("the %s image at %s: %s" % (architecture, node, error))
            path = os.path.join(args.directory, "%s.%s.efi" % (stem, architecture))
            with open(path, "wb") as target:
                target.write(image)
            print("%s %s: %d bytes in the ROM%s, %d unpacked: %s" % (
                architecture, node, length, " compressed" if compressed else "", len(image), path))
    except (RomError, OSError) as error:
        print("unpack_rom: %s: %s" % (args.rom, error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
