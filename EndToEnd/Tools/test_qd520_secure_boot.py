"""Tests of the Secure Boot and W^X checker on synthetic firmware logs, page
tables and PE headers: it must accept what the enforcing firmware logs for
a protected, accepted image and reject each way an image can be left
unprotected or wrongly accepted. No QEMU."""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_secure_boot as sb  # noqa: E402

PATH = "PciRoot(0x0)/Pci(0x1,0x0)/Offset(0x0,0x2FFF)"
OTHER_PATH = "PciRoot(0x0)/Pci(0x2,0x0)/Offset(0x0,0x2FFF)"
BASE = 0xE694000


def pe_image(sections, entry=0x40A7, size=0x7000, alignment=0x1000):
    """A PE32+ header with the given sections [(name, rva, virtual size,
    raw offset, raw size, characteristics)] and raw data up to the last."""
    nt = 0x80
    optional_size = 240
    blob = bytearray(max([raw + length for _, _, _, raw, length, _ in sections] + [0x400]))
    blob[0:2] = b"MZ"
    struct.pack_into("<I", blob, 0x3C, nt)
    blob[nt:nt + 4] = b"PE\0\0"
    struct.pack_into("<HH", blob, nt + 4, 0x8664, len(sections))
    struct.pack_into("<H", blob, nt + 20, optional_size)
    optional = nt + 24
    struct.pack_into("<H", blob, optional, 0x20B)
    struct.pack_into("<I", blob, optional + 16, entry)
    struct.pack_into("<II", blob, optional + 32, alignment, 0x20)
    struct.pack_into("<I", blob, optional + 56, size)
    for index, (name, rva, virtual_size, raw, length, characteristics) in enumerate(sections):
        at = optional + optional_size + 40 * index
        blob[at:at + 8] = name.encode().ljust(8, b"\0")
        struct.pack_into("<IIII", blob, at + 8, virtual_size, rva, length, raw)
        struct.pack_into("<I", blob, at + 36, characteristics)
    return bytes(blob)


# The driver's layout: headers, .text (4 pages), .data, .reloc.
DRIVER = pe_image([(".text", 0x1000, 0x39B1, 0x200, 0x39C0, 0x60000020),
                   (".data", 0x5000, 0xD56, 0x3BC0, 0x400, 0xC0000040),
                   (".reloc", 0x6000, 0x24, 0x3FC0, 0x40, 0x42000040)])


def protect_block(base=BASE, ranges=((0x0, 0x1000, 0x4008), (0x1000, 0x4000, 0x20008), (0x5000, 0x2000, 0x4008)),
                  size=0x7000, alignment=None):
    lines = ["Loading driver at 0x%011X EntryPoint=0x%011X " % (base, base + 0x40A7),
             "InstallProtocolInterface: BC62157E-3E33-4FEC-9920-2D3B36D750DF E73A398",
             "ProtectUefiImageCommon - 0xE7390C0",
             "  - 0x%016X - 0x%016X" % (base, size)]
    if alignment is not None:
        lines.append("!!!!!!!!  ProtectUefiImageCommon - Section Alignment(0x%X) is incorrect  !!!!!!!!" % alignment)
    else:
        lines += ["  Section - '.text   '", "ImageCode: 0x%016X - 0x0000000000004000" % (base + 0x1000),
                  "ImageCode SegmentCount - 0x1"]
    for offset, length, attributes in ranges:
        lines.append("SetUefiImageMemoryAttributes - 0x%016X - 0x%016X (0x%016X)" % (base + offset, length, attributes))
    return "\n".join(lines) + "\n"


SHELL_IMAGE = ("Loading driver at 0x0000E0FC000 EntryPoint=0x0000E11BA4F Shell.efi\n"
               "ProtectUefiImageCommon - 0xE747240\n"
               "  - 0x000000000E0FC000 - 0x00000000000E6000\n"
               "!!!!!!!!  ProtectUefiImageCommon - Section Alignment(0x40) is incorrect  !!!!!!!!\n")


class ImageLayoutTest(unittest.TestCase):
    def test_headers_and_data_pages_are_data_the_text_pages_code(self):
        layout = sb.PeLayout(DRIVER)
        self.assertEqual((0x40A7, 0x7000, 0x1000), (layout.entry, layout.size, layout.section_alignment))
        self.assertEqual({0x0: "data", 0x1000: "code", 0x2000: "code", 0x3000: "code", 0x4000: "code",
                          0x5000: "data", 0x6000: "data"}, layout.page_kinds())

    def test_the_changed_byte_is_the_entry_points_first_in_the_file(self):
        changed, offset = sb.tamper_code_byte(DRIVER, sb.PeLayout(DRIVER))
        self.assertEqual(0x40A7 - 0x1000 + 0x200, offset)
        self.assertEqual([offset], [index for index in range(len(DRIVER)) if DRIVER[index] != changed[index]])

    def test_not_a_pe_image_is_refused(self):
        with self.assertRaises(ValueError):
            sb.PeLayout(b"\0" * 512)


class FirmwareLogTest(unittest.TestCase):
    def setUp(self):
        self.layout = sb.PeLayout(DRIVER)

    def failures(self, log, base=BASE):
        return sb.protection_failures(self.layout, base, sb.protection_records(log).get(base))

    def test_the_image_found_by_its_entry_point_offset_and_protected(self):
        log = SHELL_IMAGE + protect_block()
        self.assertEqual([BASE], sb.images_of(log, self.layout))
        self.assertEqual([], self.failures(log))

    def test_each_records_attributes_stay_with_their_image(self):
        log = protect_block() + SHELL_IMAGE + protect_block(base=0xE688000)
        records = sb.protection_records(log)
        self.assertEqual(3, len(records[BASE].ranges))
        self.assertEqual([], records[0xE0FC000].ranges)
        self.assertEqual(0x40, records[0xE0FC000].alignment)
        self.assertEqual([], self.failures(log, 0xE688000))

    def test_the_alignment_message_fails(self):
        failures = self.failures(protect_block(ranges=(), alignment=0x20))
        self.assertIn("the firmware found the section alignment 0x20 incorrect and left the image unprotected",
                      failures)

    def test_code_left_writable_fails(self):
        failures = self.failures(protect_block(ranges=((0x0, 0x1000, 0x4008), (0x1000, 0x4000, 0x8),
                                                       (0x5000, 0x2000, 0x4008))))
        self.assertEqual(["code page +0x%X: attributes 0x8, not read-only and executable" % offset
                          for offset in (0x1000, 0x2000, 0x3000, 0x4000)], failures)

    def test_data_left_executable_or_a_page_left_out_fails(self):
        failures = self.failures(protect_block(ranges=((0x0, 0x1000, 0x8), (0x1000, 0x4000, 0x20008),
                                                       (0x5000, 0x1000, 0x4008))))
        self.assertEqual(["data page +0x0: attributes 0x8, not writable and no-execute",
                          "page +0x6000 (data): no attributes set"], failures)

    def test_no_record_fails(self):
        self.assertEqual(["no ProtectUefiImageCommon record for the image at 0x%X" % BASE], self.failures(SHELL_IMAGE))

    def test_refusals_pair_each_path_with_its_reason(self):
        log = ("[Security] 3rd party image[0] is deferred to load before EndOfDxe: %s.\n" % PATH +
               "DxeImageVerificationLib: Image is not signed and SHA256 hash of image is not found in DB/DBX.\n"
               "The image doesn't pass verification: %s\n" % PATH +
               "The image doesn't pass verification: %s\n" % OTHER_PATH)
        self.assertEqual([(sb.NOT_SIGNED, PATH), (None, OTHER_PATH)], sb.refusals(log))

    def test_acceptance_by_db_is_the_authority_measured_before_the_load(self):
        loadable = "[Security] 3rd party image[E768498] can be loaded after EndOfDxe: %s.\n"
        measured = ("DxeImageVerification: MeasureVariable (Pcr - 7, EventType - 800000E0, VariableName - db, "
                    "VendorGuid - D719B2CB-3D3A-4596-A3BC-DAD00E67656F)\n")
        loading = "Loading driver at 0x0000E694000 EntryPoint=0x0000E6980A7 \n"
        self.assertTrue(sb.accepted_by_db(loadable % PATH + measured + loading, PATH))
        self.assertTrue(sb.accepted_by_db(loadable % PATH + "MeasureSecureAuthorityVariable - IsDataMeasured\n", PATH))
        self.assertFalse(sb.accepted_by_db(loadable % PATH + loading + measured, PATH))
        self.assertFalse(sb.accepted_by_db(loadable % PATH + "The image doesn't pass verification: %s\n" % PATH
                                           + measured, PATH))
        self.assertFalse(sb.accepted_by_db(loadable % OTHER_PATH + measured, PATH))


class PageTableTest(unittest.TestCase):
    """4-level tables in a dictionary: PML4 at 0x1000, PDPT 0x2000, PD 0x3000,
    PT 0x4000 mapping the image's pages at BASE."""

    RW, NX = sb.WRITABLE, sb.NO_EXECUTE

    def tables(self, leaf_bits, upper_bits=sb.WRITABLE):
        memory = {}
        index = lambda address, shift: (address >> shift) & 0x1FF
        memory[0x1000 + index(BASE, 39) * 8] = 0x2000 | sb.PRESENT | upper_bits
        memory[0x2000 + index(BASE, 30) * 8] = 0x3000 | sb.PRESENT | upper_bits
        memory[0x3000 + index(BASE, 21) * 8] = 0x4000 | sb.PRESENT | upper_bits
        for offset, bits in leaf_bits.items():
            memory[0x4000 + index(BASE + offset, 12) * 8] = (BASE + offset) | sb.PRESENT | bits
        return lambda address: memory.get(address, 0)

    def protected(self):
        return {offset: (self.RW | self.NX) if kind == "data" else 0
                for offset, kind in sb.PeLayout(DRIVER).page_kinds().items()}

    def mapping(self, read):
        return {offset: sb.walk(read, 0x1000, BASE + offset) for offset in sb.PeLayout(DRIVER).page_kinds()}

    def failures(self, mapping, registers=None, protected=True):
        registers = registers or {"CR0": 0x80010033, "EFER": 0xD00}
        return sb.page_table_failures(sb.PeLayout(DRIVER), BASE, registers, mapping, protected)

    def test_registers_of_info_registers(self):
        text = ("RAX=0000000000000000 RBX=000000000e7fe018\nCR0=80010033 CR2=0000000000000000 CR3=000000000fc01000 "
                "CR4=00000668\nEFER=0000000000000d00\n")
        self.assertEqual({"CR0": 0x80010033, "CR3": 0xFC01000, "CR4": 0x668, "EFER": 0xD00}, sb.parse_registers(text))

    def test_a_protected_image_passes(self):
        self.assertEqual([], self.failures(self.mapping(self.tables(self.protected()))))

    def test_the_walk_combines_the_levels(self):
        read = self.tables({0x1000: self.RW}, upper_bits=0)
        self.assertEqual((1, False, False), sb.walk(read, 0x1000, BASE + 0x1000))
        read = self.tables({0x1000: self.RW}, upper_bits=self.RW | self.NX)
        self.assertEqual((1, True, True), sb.walk(read, 0x1000, BASE + 0x1000))
        self.assertIsNone(sb.walk(read, 0x1000, BASE + 0x2000))

    def test_a_large_page_ends_the_walk(self):
        memory = {0x1000 + ((BASE >> 39) & 0x1FF) * 8: 0x2000 | sb.PRESENT | self.RW,
                  0x2000 + ((BASE >> 30) & 0x1FF) * 8: 0x3000 | sb.PRESENT | self.RW,
                  0x3000 + ((BASE >> 21) & 0x1FF) * 8: (BASE & ~0x1FFFFF) | sb.PRESENT | self.RW | sb.LARGE}
        mapping = self.mapping(lambda address: memory.get(address, 0))
        self.assertEqual((2, True, False), mapping[0x1000])
        self.assertIn("page +0x1000 (code) inside a 2 MiB page", self.failures(mapping))
        self.assertEqual([], self.failures(mapping, protected=False))

    def test_writable_code_or_executable_data_fails(self):
        bits = self.protected()
        bits[0x2000] = self.RW
        bits[0x5000] = self.RW
        self.assertEqual(["code page +0x2000: writable True, no-execute False",
                          "data page +0x5000: writable True, no-execute False"],
                         self.failures(self.mapping(self.tables(bits))))

    def test_protection_off_in_the_processor_fails(self):
        mapping = self.mapping(self.tables(self.protected()))
        self.assertEqual(["CR0.WP is off: read-only pages do not bind the firmware",
                          "EFER.NXE is off: no page is no-execute"],
                         self.failures(mapping, registers={"CR0": 0x80000033, "EFER": 0x500}))

    def test_an_unprotected_image_is_writable_and_executable_everywhere(self):
        everything = {offset: self.RW for offset in sb.PeLayout(DRIVER).page_kinds()}
        self.assertEqual([], self.failures(self.mapping(self.tables(everything)), protected=False))
        self.assertTrue(self.failures(self.mapping(self.tables(self.protected())), protected=False))


if __name__ == "__main__":
    unittest.main()
