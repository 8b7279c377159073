"""Tests of the end-to-end checker on synthetic screens and shell listings:
it must accept what the firmware produces and reject each kind of damage a
broken driver leaves. No QEMU; needs EDK2_PATH (the console font)."""

import os
import struct
import sys
import tempfile
import types
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_e2e  # noqa: E402
import qd520_qemu  # noqa: E402
import qd520_screen as screen_lib  # noqa: E402

EDK2 = os.environ.get("EDK2_PATH", os.path.join(os.path.dirname(__file__), "..", "..", ".cache", "edk2"))

YELLOW_ON_BLUE = 0x1E
FOREGROUND = bytes(screen_lib.CONSOLE_COLOURS[0x0E])
BACKGROUND = bytes(screen_lib.CONSOLE_COLOURS[0x01])
INK = screen_lib.CONSOLE_COLOURS[0x0E]
PAPER = screen_lib.CONSOLE_COLOURS[0x01]


def console_info(lines, width=800, height=600, cursor_row=24):
    return {
        "lines": str(lines), "line_length_base": "10", "text_attribute": "0x%X" % YELLOW_ON_BLUE,
        "columns": "80", "rows": "25", "width": str(width), "height": str(height),
        "cursor_row": str(cursor_row), "cursor_column": "0", "cursor_visible": "1",
    }


def draw_console(font, texts, cursor_row, width=800, height=600):
    """Draws rows of text the way GraphicsConsoleDxe does (centred 80x25
    cells of 8x19, glyph bit 7 leftmost, cursor = last three pixel rows
    XOR-ed with the foreground) into a BGRX frame buffer."""
    data = bytearray(BACKGROUND * (width * height))
    delta_x = (width - 80 * 8) // 2
    delta_y = (height - 25 * 19) // 2

    def put(x, y, pixel):
        data[(y * width + x) * 4:(y * width + x) * 4 + 4] = pixel

    for row, text in enumerate(texts):
        for column, character in enumerate(text):
            glyph = font[character]
            for dy in range(19):
                for dx in range(8):
                    if glyph[dy] & (0x80 >> dx):
                        put(delta_x + column * 8 + dx, delta_y + row * 19 + dy, FOREGROUND)
    for dy in (16, 17, 18):
        for dx in range(8):
            x, y = delta_x + dx, delta_y + cursor_row * 19 + dy
            old = data[(y * width + x) * 4:(y * width + x) * 4 + 4]
            put(x, y, bytes(a ^ b for a, b in zip(old, FOREGROUND)))
    return data


class ConsoleScreenTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.font = screen_lib.load_font(EDK2)

    def check(self, data, info):
        return screen_lib.check_console(screen_lib.Screen(bytes(data), 800, 600), info, self.font)

    def scrolled_texts(self, lines):
        return [screen_lib.line_text(number, 10) for number in range(lines - 23, lines + 1)] + [""]

    def test_font_holds_the_pattern_characters_with_19_rows(self):
        for character in "0123456789:abcdefghijklmnopqrstuvwxyz":
            self.assertEqual(19, len(self.font[character]), character)
        self.assertEqual(bytes([0, 0, 0, 0x38, 0x6C, 0xC6, 0xC6, 0xC6, 0xD6, 0xD6, 0xC6, 0xC6, 0xC6, 0x6C, 0x38,
                                0, 0, 0, 0]), self.font["0"])

    def test_pattern_lines_encode_their_number_in_their_length(self):
        self.assertEqual("07:abcdefghijklmn", screen_lib.line_text(7, 10))
        self.assertEqual(50, len(screen_lib.line_text(40, 10)))
        self.assertEqual(40, screen_lib.line_of_text(screen_lib.line_text(40, 10), 10))

    def test_forty_lines_on_25_rows_scroll_16_times_and_leave_the_cursor_on_the_last_row(self):
        texts, cursor = screen_lib.console_rows(40, 10, 25)
        self.assertEqual(screen_lib.line_text(17, 10), texts[0])
        self.assertEqual(screen_lib.line_text(40, 10), texts[23])
        self.assertEqual("", texts[24])
        self.assertEqual(24, cursor)

    def test_few_lines_do_not_scroll(self):
        texts, cursor = screen_lib.console_rows(3, 10, 25)
        self.assertEqual([screen_lib.line_text(n, 10) for n in (1, 2, 3)] + [""] * 22, texts)
        self.assertEqual(3, cursor)

    def test_console_drawn_screen_passes(self):
        result = self.check(draw_console(self.font, self.scrolled_texts(40), 24), console_info(40))
        self.assertEqual([], result.failures)
        self.assertEqual(list(range(17, 41)) + [None], result.row_lines)

    def test_screen_that_did_not_scroll_fails(self):
        texts = [screen_lib.line_text(number, 10) for number in range(1, 25)] + [screen_lib.line_text(40, 10)]
        result = self.check(draw_console(self.font, texts, 24), console_info(40))
        self.assertIn("text row 0 shows line 1 (11 inked cells), expected line 17", result.failures)
        self.assertTrue(any("scrolled 0 times" in failure for failure in result.failures))

    def test_text_one_pixel_too_low_fails_the_font_comparison(self):
        data = draw_console(self.font, self.scrolled_texts(40), 24)
        line = 800 * 4
        shifted = bytearray(BACKGROUND * 800) + data[:-line]
        result = self.check(shifted, console_info(40))
        self.assertTrue(any("text cells differ from the console font" in failure for failure in result.failures))

    def test_stray_pixel_outside_the_text_area_fails(self):
        data = draw_console(self.font, self.scrolled_texts(40), 24)
        data[0:4] = FOREGROUND
        result = self.check(data, console_info(40))
        self.assertEqual(["1 pixels outside the 80x25 text area at (80,62) are not the background"], result.failures)

    def test_missing_cursor_fails(self):
        data = draw_console(self.font, self.scrolled_texts(40), 24)
        clean = bytearray(BACKGROUND * (800 * 600))
        for y in range(600):
            if not (62 + 24 * 19 + 16 <= y < 62 + 25 * 19):
                clean[y * 3200:(y + 1) * 3200] = data[y * 3200:(y + 1) * 3200]
        result = self.check(clean, console_info(40))
        self.assertTrue(any("row 24 col 0" in failure for failure in result.failures), result.failures)

    def test_cursor_position_reported_elsewhere_fails(self):
        result = self.check(draw_console(self.font, self.scrolled_texts(40), 24), console_info(40, cursor_row=23))
        self.assertIn("console reports cursor_row 23, the pattern leaves it at 24", result.failures)

    def test_wrong_colour_fails(self):
        data = draw_console(self.font, self.scrolled_texts(40), 24)
        info = console_info(40)
        info["text_attribute"] = "0x1F"
        self.assertFalse(self.check(data, info).ok)

    def test_frame_buffer_lines_are_the_width_rounded_up_to_16_pixels(self):
        self.assertEqual([screen_lib.pixels_per_scan_line(w) for w in (640, 800, 1024, 1366, 1)],
                         [640, 800, 1024, 1376, 16])
        self.assertEqual(screen_lib.frame_buffer_bytes(1024, 768), 3145728)
        self.assertEqual(screen_lib.frame_buffer_bytes(1366, 768), 1376 * 4 * 768)

    def test_screen_with_a_longer_stride_reads_visible_pixels(self):
        data = bytes(range(256)) * 4
        screen = screen_lib.Screen(data, 2, 3, stride=4)
        self.assertEqual(data[0:8] + data[16:24] + data[32:40], screen.visible())
        with self.assertRaises(ValueError):
            screen_lib.Screen(data[:39], 2, 3, stride=4)

    def test_png_holds_the_screen_as_rgb(self):
        screen = screen_lib.Screen(bytes([1, 2, 3, 0, 4, 5, 6, 0]), 2, 1)
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "screen.png")
            screen_lib.write_png(path, screen)
            with open(path, "rb") as png:
                blob = png.read()
        self.assertEqual(b"\x89PNG\r\n\x1a\n", blob[:8])
        width, height, depth, colour = struct.unpack(">IIBB", blob[16:26])
        self.assertEqual((2, 1, 8, 2), (width, height, depth, colour))
        length = struct.unpack(">I", blob[33:37])[0]
        self.assertEqual(b"IDAT", blob[37:41])
        self.assertEqual(bytes([0, 3, 2, 1, 6, 5, 4]), zlib.decompress(blob[41:41 + length]))


class MonitorScreenTest(unittest.TestCase):
    """Screendumps: PPM reading, text found cell by cell wherever the
    console's layouts put it, black screens."""

    @classmethod
    def setUpClass(cls):
        cls.font = screen_lib.load_font(EDK2)

    def test_ppm_of_qemu_reads_as_bgrx(self):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "shot.ppm")
            with open(path, "wb") as ppm:
                ppm.write(b"P6\n2 1\n255\n" + bytes([1, 2, 3, 4, 5, 6]))
            screen = screen_lib.read_ppm(path)
        self.assertEqual((2, 1), (screen.width, screen.height))
        self.assertEqual(bytes([3, 2, 1, 0, 6, 5, 4, 0]), screen.visible())

    def test_text_is_found_in_the_80x25_layout_and_the_shell_layout(self):
        screen = screen_lib.Screen(bytes(draw_console(self.font, ["", "  Device Manager"], 24)), 800, 600)
        self.assertEqual([(80 + 2 * 8, 62 + 19, INK, PAPER)],
                         screen_lib.find_text(screen, self.font, "Device Manager"))
        self.assertEqual([], screen_lib.find_text(screen, self.font, "Device Managers"))
        self.assertEqual([], screen_lib.find_text(screen, self.font, "Boot Manager"))
        # 100x31, the shell's mode: the text area fills the width, 5 lines down.
        data = bytearray(BACKGROUND * (800 * 600))
        glyph = self.font["Q"]
        for dy in range(19):
            for dx in range(8):
                if glyph[dy] & (0x80 >> dx):
                    offset = ((5 + 19 + dy) * 800 + 8 + dx) * 4
                    data[offset:offset + 4] = FOREGROUND
        found = screen_lib.find_text(screen_lib.Screen(bytes(data), 800, 600), self.font, "Q")
        self.assertEqual([(8, 24, INK, PAPER)], found)

    def test_text_with_one_wrong_pixel_is_not_found(self):
        data = draw_console(self.font, ["Device Manager"], 24)
        offset = ((62 + 10) * 800 + 80 + 3) * 4
        data[offset:offset + 4] = bytes(a ^ 0xFF for a in data[offset:offset + 4])
        self.assertEqual([], screen_lib.find_text(screen_lib.Screen(bytes(data), 800, 600), self.font, "Device"))

    def test_black_screen_counts(self):
        black = screen_lib.Screen(bytes(16), 2, 2)
        self.assertEqual(0, screen_lib.count_other_than(black, (0, 0, 0, 0)))
        self.assertEqual(4, screen_lib.count_other_than(black, (0xFF, 0, 0, 0)))


class QemuRecordTest(unittest.TestCase):
    DEVICE = {"slot": 3, "function": 0, "qdev_id": "qd520", "regions": [
        {"prefetch": True, "mem_type_64": True, "bar": 0, "size": 33554432, "address": 0xE000000000, "type": "memory"},
        {"bar": 2, "size": 1048576, "address": 0xC1000000, "type": "memory"},
        {"bar": 6, "size": 16384, "address": -1, "type": "memory"}]}

    def test_bar_and_path_of_a_query_pci_record(self):
        self.assertEqual(0xE000000000, qd520_qemu.bar_address(self.DEVICE, 0))
        self.assertIsNone(qd520_qemu.bar_address(self.DEVICE, 1))
        self.assertEqual("PciRoot(0x0)/Pci(0x3,0x0)", qd520_qemu.pci_path(self.DEVICE))


GOP_DUMP = """B5: DE89B18
SimpleTextOut(EA19BB0)
  Address: EA19BB0 Attrib 07
GraphicsOutput(DE889B8)
  Max Mode..............: 0x00000003
  Current Mode..........: 0x00000001
  Frame Buffer Base.....: 0x000000000BD3D000
  Frame Buffer Size.....: 0x00000000001D4C00
  Mode Info Size........: 0x0000000000000024
  Information
    Version.............: 0x00000000
    HorizontalResolution: 800
    VerticalResolution..: 600
    Pixel Format........: PixelBlueGreenRedReserved8BitPerColor
    Pixels / Scan Line..: 800
  Supported Resolution List
    Resolution[0]:
      Horizontal........: 640
      Vertical..........: 480
    Resolution[1]:
      Horizontal........: 800
      Vertical..........: 600
    Resolution[2]:
      Horizontal........: 1024
      Vertical..........: 768
   Controller Name    : Quandrel QD520 PCI Adapter
   Managed by         :
     Drv[65]          : Platform Console Management Driver
     Drv[69]          : Console Splitter Driver
     Drv[6E]          : Graphics Console Driver
     Drv[B6]          : Quandrel QD520 GOP Driver
"""

SPLITTER_DUMP = """6C: GraphicsOutput(E7DC1A0) SimpleTextOut(E7DC0B0)
  Max Mode..............: 0x00000003
   Controller Name    : Primary Console Output Device
"""


def new_boot():
    return qd520_e2e.Boot("rom", types.SimpleNamespace(output=tempfile.gettempdir(), edk2=EDK2))


class GraphicsOutputDumpTest(unittest.TestCase):
    def failures(self, dump, bar0=0xBD3D000):
        boot = new_boot()
        boot.check_graphics_output_dump("dh", dump, bar0)
        return [name for name, ok, _ in boot.results if not ok]

    def handles(self, dump, adapters):
        boot = new_boot()
        found = boot.check_graphics_output_handles("dh", dump, adapters)
        return found, [name for name, ok, _ in boot.results if not ok]

    def test_listing_of_the_adapter_and_the_console_splitter_passes(self):
        found, failures = self.handles(GOP_DUMP + SPLITTER_DUMP, 1)
        self.assertEqual([], failures)
        self.assertEqual(["B5"], list(found))

    def test_second_adapter_where_one_is_expected_fails(self):
        _, failures = self.handles(GOP_DUMP + SPLITTER_DUMP + GOP_DUMP.replace("B5:", "C7:"), 1)
        self.assertEqual(["dh: graphics output on 1 QD520 controller(s) and the console splitter"], failures)
        found, failures = self.handles(GOP_DUMP + SPLITTER_DUMP + GOP_DUMP.replace("B5:", "C7:"), 2)
        self.assertEqual(([], ["B5", "C7"]), (failures, sorted(found)))

    def test_dump_of_the_firmware_passes(self):
        self.assertEqual([], self.failures(GOP_DUMP))

    def test_fourth_mode_fails(self):
        self.assertEqual(["dh: MaxMode 3"], self.failures(GOP_DUMP.replace("0x00000003", "0x00000004")))

    def test_wrong_query_mode_answer_fails(self):
        self.assertEqual(["dh: QueryMode lists 640x480, 800x600, 1024x768"],
                         self.failures(GOP_DUMP.replace("Horizontal........: 1024", "Horizontal........: 1280")))

    def test_frame_buffer_elsewhere_than_bar0_fails(self):
        self.assertEqual(["dh: frame buffer base is BAR 0 as the firmware assigned it"], self.failures(GOP_DUMP, bar0=0xC000000))

    def test_size_not_matching_the_mode_fails(self):
        self.assertEqual(["dh: current mode 1 matches its information and size"],
                         self.failures(GOP_DUMP.replace("0x00000000001D4C00", "0x000000000012C000")))

    def test_controller_not_managed_by_the_console_fails(self):
        dump = GOP_DUMP.replace("     Drv[6E]          : Graphics Console Driver\n", "")
        self.assertEqual(["dh: managed by the driver, the graphics console and the console drivers"],
                         self.failures(dump))

    def test_other_controller_name_fails(self):
        self.assertEqual(['dh: controller name "Quandrel QD520 PCI Adapter"'],
                         self.failures(GOP_DUMP.replace("PCI Adapter", "Adapter")))


class DebugPortTest(unittest.TestCase):
    """The production boot expects nothing of the driver on the serial port."""

    SHELL = "UEFI Interactive Shell v2.2\r\nShell> fs0:\r\n17:abcdefghijklmnopqrstuvwx\r\n"

    def test_shell_and_console_text_is_not_the_driver_s(self):
        self.assertEqual([], qd520_e2e.driver_lines(self.SHELL))

    def test_banner_step_message_and_assertion_are(self):
        for line in ("EFI520 V1.00.07.00", "line:291,Status:Device Error",
                     "ASSERT Qdl520.cpp(577): !(((INTN)(RETURN_STATUS)(Status)) < 0)"):
            self.assertEqual([line], qd520_e2e.driver_lines(self.SHELL + line + "\r\n"), line)


def rom_image(machine, blocks, last):
    """One image of an option ROM: the EFI ROM header (machine type at
    0x0A, compressed, 0x0C) and a PCI data structure at 0x1C."""
    image = bytearray(blocks * 512)
    struct.pack_into("<HHIHHH", image, 0, 0xAA55, blocks, 0x0EF1, 0x0B, machine, 1)
    struct.pack_into("<HH", image, 0x16, 0x38, 0x1C)
    image[0x1C:0x20] = b"PCIR"
    struct.pack_into("<H", image, 0x1C + 0x10, blocks)
    image[0x1C + 0x15] = 0x80 if last else 0
    return bytes(image)


class OptionRomTest(unittest.TestCase):
    def test_each_architectures_image_is_found_by_its_machine_type_until_the_last(self):
        with tempfile.NamedTemporaryFile(suffix=".rom") as rom:
            rom.write(rom_image(0x8664, 26, False) + rom_image(0xAA64, 30, False) + rom_image(0x5064, 34, True)
                      + rom_image(0x8664, 2, True))
            rom.flush()
            self.assertEqual([("X64", 0, 13312), ("AARCH64", 13312, 15360), ("RISCV64", 28672, 17408)],
                             qd520_e2e.rom_images(rom.name))
            self.assertEqual("Offset(0x3400,0x6FFF)", qd520_e2e.rom_image_node(rom.name, "AARCH64"))
            self.assertEqual("Offset(no IA32 image)", qd520_e2e.rom_image_node(rom.name, "IA32"))


if __name__ == "__main__":
    unittest.main()
