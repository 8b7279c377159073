"""Tests of the SCT and Linux harnesses' own logic (no QEMU): reading the
SCT's key files and deciding whose instance an assertion is on, the rules
for failures and warnings, the known-warnings file of the project, the
initramfs archive, and the screen checks of GRUB's menu and of the picture
Linux draws."""

import argparse
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_linux  # noqa: E402
import qd520_screen  # noqa: E402
import qd520_sct  # noqa: E402

KNOWN_WARNINGS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "Sct", "known-warnings.txt")
GOP_TEST = "ConsoleSupportTest\\GraphicsOutputProtocolTest"
NAME_TEST = "IHV\\DriverModelTest\\ComponentNameProtocolTest"
GUID_A = "11AF616A-BEF5-4590-BE85-1952A00DE1AF"
GUID_B = "735F5C9B-95C9-4949-A8F7-0A61062E2867"


def head(test, path):
    return "|HEAD|||0||10-12-2026|02:26:33|2CE3AB58-A0EA-427C-9EE6-0A5F52557E5D|0x00010000|Entry|Name|%s|%s" % (
        test, path)


def write_utf16(path, lines, bom=True):
    with open(path, "wb") as out:
        out.write((b"\xff\xfe" if bom else b"") + "\r\n".join(lines).encode("utf-16-le"))


class SctLogs(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.root = self.folder.name

    def tearDown(self):
        self.folder.cleanup()

    def key_file(self, relative, lines, bom=True):
        path = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write_utf16(path, lines, bom)
        return path

    def test_head_and_assertions_are_split_at_the_right_bars(self):
        path = self.key_file("Log/X/Blt_Conf_0_0_2CE3AB58-A0EA-427C-9EE6-0A5F52557E5D.ekl", [
            head(GOP_TEST, qd520_sct.SCT_DEVICE_PATH),
            "%s:PASS|EFI_GRAPHICS_OUTPUT_PROTOCOL.Blt - Blt() with invalid BltOperation:file.c:388: Status = x" % GUID_A,
            "%s:WARNING|Could not find matched bus handle:file.c:400" % GUID_B.lower(),
            "|TERM|0000|10-12-2026|02:26:34|0 00:00:01",
        ], bom=False)
        passed, warned = qd520_sct.read_key_file(path)
        self.assertEqual(passed.path, "Acpi(PNP0A03,0)/Pci(2|0)")
        self.assertEqual(passed.test, GOP_TEST)
        self.assertEqual((passed.result, passed.guid, passed.instance), ("PASS", GUID_A, 0))
        self.assertEqual(passed.description, "EFI_GRAPHICS_OUTPUT_PROTOCOL.Blt - Blt() with invalid BltOperation")
        self.assertEqual(passed.detail, "file.c:388: Status = x")
        self.assertEqual((warned.result, warned.guid), ("WARNING", GUID_B))

    def test_instances_are_named_by_the_drivers_the_tests_logged(self):
        folder = "Log/IHV/DriverModelTest/ComponentNameProtocolTest0"
        for instance, name in ((0, "Graphics Console Driver"), (1, qd520_sct.DRIVER_NAME)):
            entry = "_%d_0_A038B9AD-7EFA-4171-AF56-8E2CD1F52472" % instance
            self.key_file(folder + "/GetDriverName_Func%s.log" % entry,
                          ["file.c:186: LangIndex - 0, Language - eng, DriverName - %s, Status - Success" % name])
            self.key_file(folder + "/GetDriverName_Func%s.ekl" % entry,
                          [head(NAME_TEST, "No device path"), "%s:PASS|GetDriverName:file.c:1" % GUID_A])
        console, ours = qd520_sct.read_logs(os.path.join(self.root, "Log"))
        self.assertEqual(qd520_sct.owner(console, isolated=False), "Graphics Console Driver")
        self.assertEqual(qd520_sct.owner(ours, isolated=False), qd520_sct.DRIVER)

    def test_an_unnamed_image_handle_is_the_drivers_only_when_isolated(self):
        image = qd520_sct.Assertion("PASS", GUID_A, "d", "", "IHV\\DriverModelTest\\DriverBindingProtocolTest",
                                    "No device path", 0, None, "x.ekl")
        splitter = image._replace(test="IHV\\ConsoleSupportTest\\GraphicsOutputProtocolTest")
        self.assertEqual(qd520_sct.owner(image, isolated=True), qd520_sct.DRIVER)
        self.assertIsNone(qd520_sct.owner(image, isolated=False))
        self.assertIsNone(qd520_sct.owner(splitter, isolated=True))
        other_slot = image._replace(path="Acpi(PNP0A03,0)/Pci(3|0)", test=GOP_TEST)
        self.assertIsNone(qd520_sct.owner(other_slot, isolated=True))


class SctVerdict(unittest.TestCase):
    def run_with(self, assertions, known, full=False):
        args = argparse.Namespace(output="/nonexistent", full=full, known_warnings="known-warnings.txt")
        run = qd520_sct.Run("debug-console", "rom", False, args)
        run.passes = 1
        run.serial = qd520_sct.SCT_DONE
        run.assertions = assertions
        return run.check(known)

    def assertion(self, result, guid=GUID_B, path=qd520_sct.SCT_DEVICE_PATH, named=None):
        return qd520_sct.Assertion(result, guid, "the description", "detail", NAME_TEST, path, 0, named, "x.ekl")

    def test_a_warning_on_the_driver_must_be_known(self):
        warning = self.assertion("WARNING")
        lines, ok = self.run_with([warning], {})
        self.assertFalse(ok)
        self.assertTrue(any("not a known warning" in line for line in lines))
        _, ok = self.run_with([warning], {(GUID_B, NAME_TEST, "the description"): "why"})
        self.assertTrue(ok)
        _, ok = self.run_with([warning], {}, full=True)
        self.assertTrue(ok)

    def test_a_known_warning_must_match_test_and_text(self):
        _, ok = self.run_with([self.assertion("WARNING")], {(GUID_B, GOP_TEST, "the description"): "why"})
        self.assertFalse(ok)

    def test_a_firmware_drivers_warning_is_listed_not_failed(self):
        lines, ok = self.run_with([self.assertion("PASS"),
                                   self.assertion("WARNING", path="No device path", named="Console Splitter Driver")],
                                  {})
        self.assertTrue(ok)
        self.assertTrue(any(line.startswith("  note warning") and "Console Splitter Driver" in line for line in lines))

    def test_any_failure_fails_whoever_it_is_on(self):
        for failure in (self.assertion("FAILURE"), self.assertion("FAILURE", path="No device path")):
            _, ok = self.run_with([self.assertion("PASS"), failure], {})
            self.assertFalse(ok)

    def test_no_assertion_on_the_driver_fails(self):
        _, ok = self.run_with([self.assertion("PASS", path="No device path", named="Graphics Console Driver")], {})
        self.assertFalse(ok)


class KnownWarningsFile(unittest.TestCase):
    def parse(self, text):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as out:
            out.write(text)
        try:
            return qd520_sct.read_known_warnings(out.name)
        finally:
            os.unlink(out.name)

    def test_the_projects_file_gives_every_warning_a_reason(self):
        known = qd520_sct.read_known_warnings(KNOWN_WARNINGS)
        self.assertTrue(known)
        self.assertTrue(all(len(reason) > 40 for reason in known.values()))

    def test_an_entry_without_a_reason_is_refused(self):
        with self.assertRaises(ValueError):
            self.parse("%s | %s | text\n\n%s | %s | other\n    why\n" % (GUID_A, NAME_TEST, GUID_B, NAME_TEST))

    def test_an_entry_needs_a_guid_a_test_and_a_text(self):
        with self.assertRaises(ValueError):
            self.parse("not-a-guid | %s | text\n    why\n" % NAME_TEST)
        with self.assertRaises(ValueError):
            self.parse("%s | text only\n    why\n" % GUID_A)

    def test_reason_lines_are_joined(self):
        known = self.parse("# comment\n%s | %s | text\n    first\n    second\n" % (GUID_A.lower(), NAME_TEST))
        self.assertEqual(known, {(GUID_A, NAME_TEST, "text"): "first second"})


class Initramfs(unittest.TestCase):
    def test_the_newc_archive_reads_back(self):
        archive = qd520_linux.newc_archive([("bin", 0o040755, b""), ("init", 0o100755, b"#!/bin/sh\n"),
                                            ("bin/busybox", 0o100755, b"\x7fELF" * 3)])
        entries, offset = [], 0
        while True:
            header = archive[offset:offset + 110]
            self.assertEqual(header[:6], b"070701")
            fields = [int(header[6 + 8 * i:14 + 8 * i], 16) for i in range(13)]
            mode, size, name_size = fields[1], fields[6], fields[11]
            name = archive[offset + 110:offset + 110 + name_size - 1].decode()
            offset += 110 + name_size
            offset += -offset % 4
            data = archive[offset:offset + size]
            offset += size + (-size % 4)
            if name == "TRAILER!!!":
                break
            entries.append((name, mode, data))
        self.assertEqual(entries, [("bin", 0o040755, b""), ("init", 0o100755, b"#!/bin/sh\n"),
                                   ("bin/busybox", 0o100755, b"\x7fELF" * 3)])
        self.assertEqual(offset, len(archive))


def screen_of(width, height, colour_at):
    data = bytearray()
    for y in range(height):
        for x in range(width):
            data += bytes(colour_at(x, y))
    return qd520_screen.Screen(bytes(data), width, height)


class Screens(unittest.TestCase):
    BLUE = qd520_linux.GRUB_BACKGROUND
    BLACK = (0, 0, 0, 0)
    WHITE = (0xFF, 0xFF, 0xFF, 0)

    def test_grubs_text_area_is_found_with_its_text(self):
        def menu(x, y):
            if not (4 <= x < 60 and 3 <= y < 45):
                return self.BLACK
            return self.WHITE if y == 10 and 8 <= x < 30 else self.BLUE
        box, inked = qd520_linux.grub_text_area(screen_of(64, 48, menu))
        self.assertEqual(box, (4, 3, 60, 45))
        self.assertEqual(inked, 22)

    def test_a_sheared_text_area_is_refused(self):
        sheared = screen_of(64, 48, lambda x, y: self.BLUE if 4 + y // 8 <= x < 60 + y // 8 else self.BLACK)
        self.assertEqual(qd520_linux.grub_text_area(sheared), (None, 0))
        self.assertEqual(qd520_linux.grub_text_area(screen_of(8, 8, lambda x, y: self.BLACK)), (None, 0))

    def test_the_picture_is_found_only_at_the_pitch_it_was_drawn(self):
        width, height = 40, 30
        expected = qd520_linux.picture(width, height)
        self.assertEqual(expected.pixel(3, 2), (qd520_linux.picture_pixel(3, 2)[2], 2, 3, 0))
        self.assertEqual(qd520_linux.differences(expected, expected), (0, None))
        # Drawn at a line length of 44 pixels, shown at 40: every row but the
        # first moves.
        drawn = bytearray(44 * 4 * height)
        for y in range(height):
            drawn[y * 44 * 4:y * 44 * 4 + width * 4] = expected.row(y)
        shown = qd520_screen.Screen(bytes(drawn[:width * height * 4]), width, height)
        count, first = qd520_linux.differences(shown, expected)
        self.assertEqual(first[:2], (0, 1))
        self.assertGreater(count, (height - 1) * width * 0.9)


if __name__ == "__main__":
    unittest.main()
