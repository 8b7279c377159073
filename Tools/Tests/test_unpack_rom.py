"""Tests of Tools/unpack_rom.py on the build's signed ROM and on ROMs made
here: every image comes out byte for byte as it was signed, compressed or
not; what is not an option ROM, or does not decompress, stops with one
line. Needs QD520_SIGNED_OPTION_ROM, QD520_SIGNED_EFI_IMAGES (comma
separated, in the ROM's order), QD520_EFIROM and QD520_TIANOCOMPRESS."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

UNPACK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "unpack_rom.py")
ROM = os.environ.get("QD520_SIGNED_OPTION_ROM", "")
IMAGES = [path for path in os.environ.get("QD520_SIGNED_EFI_IMAGES", "").split(",") if path]
EFIROM = os.environ.get("QD520_EFIROM", "")
TIANOCOMPRESS = os.environ.get("QD520_TIANOCOMPRESS", "")


def read(path):
    with open(path, "rb") as source:
        return source.read()


@unittest.skipUnless(os.path.isfile(ROM) and IMAGES and os.path.isfile(EFIROM) and os.path.isfile(TIANOCOMPRESS),
                     "the signed ROM, its images, EfiRom and TianoCompress not given")
class UnpackRomTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.work)

    def unpack(self, rom):
        return subprocess.run([UNPACK, rom, self.work, "--tianocompress", TIANOCOMPRESS], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)

    def test_the_signed_rom_gives_back_each_signed_image(self):
        result = self.unpack(ROM)
        self.assertEqual(0, result.returncode, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(["X64", "AARCH64", "RISCV64"], [line.split()[0] for line in lines])
        ends = [int(end, 16) for end in re.findall(r"Offset\(0x[0-9A-F]+,0x([0-9A-F]+)\)", result.stdout)]
        starts = [int(start, 16) for start in re.findall(r"Offset\(0x([0-9A-F]+),", result.stdout)]
        self.assertEqual([0] + [end + 1 for end in ends[:-1]], starts, "the images follow each other")
        self.assertEqual(len(read(ROM)), ends[-1] + 1)
        for line, image in zip(lines, IMAGES):
            self.assertIn("compressed", line)
            self.assertEqual(read(image), read(line.split(": ")[-1]), line)

    def test_an_uncompressed_image_is_cut_where_the_image_ends(self):
        rom = os.path.join(self.work, "plain.rom")
        subprocess.run([EFIROM, "-f", "0x7A3C", "-i", "0x0520", "-e", IMAGES[0], "-o", rom], check=True,
                       stdout=subprocess.DEVNULL)
        self.assertGreater(len(read(rom)), len(read(IMAGES[0])), "EfiRom pads the image to 512 bytes")
        result = self.unpack(rom)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertNotIn("compressed", result.stdout)
        self.assertEqual(read(IMAGES[0]), read(os.path.join(self.work, "plain.X64.efi")))

    def test_what_is_not_an_option_rom_or_does_not_decompress_stops_with_one_line(self):
        result = self.unpack(IMAGES[0])
        self.assertEqual((1, 1), (result.returncode, len(result.stderr.splitlines())), result.stderr)
        self.assertIn("no option ROM header (55 AA) at 0x0", result.stderr)
        broken = bytearray(read(ROM))
        broken[0x40:0x200] = bytes(0x1C0)
        path = os.path.join(self.work, "broken.rom")
        with open(path, "wb") as target:
            target.write(broken)
        result = self.unpack(path)
        self.assertEqual((1, 1), (result.returncode, len(result.stderr.splitlines())), result.stderr)
        self.assertRegex(result.stderr, r"the X64 image at Offset\(0x0,0x[0-9A-F]+\): (TianoCompress could not|the "
                                        r"image is not a PE image)")


if __name__ == "__main__":
    unittest.main()
