"""Tests of the chain matrix's checker on synthetic firmware logs and ROMs:
the reasons the verification gives for each signature it did not accept
are read for the ROM's image alone, after EndOfDxe and before its load or
refusal; the ROM's images of other architectures, which the x64 firmware
turns away, are told apart from its X64 image. No QEMU."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_secure_boot as sb  # noqa: E402
import qd520_secure_boot_chain as chain  # noqa: E402
from test_qd520_e2e import rom_image  # noqa: E402

PATH = "PciRoot(0x0)/Pci(0x1,0x0)/Offset(0x0,0x39FF)"
OTHER_PATH = "PciRoot(0x0)/Pci(0x2,0x0)/Offset(0x0,0x39FF)"
DEFERRED = "[Security] 3rd party image[0] is deferred to load before EndOfDxe: %s.\n"
LOADABLE = "[Security] 3rd party image[E775498] can be loaded after EndOfDxe: %s.\n"
NOT_ALLOWED = ("DxeImageVerificationLib: Image is signed but signature is not allowed by DB and SHA256 hash of image "
               "is not found in DB/DBX.\n")
FORBIDDEN = "DxeImageVerificationLib: Image is signed but signature is forbidden by DBX.\n"
MEASURED = ("DxeImageVerification: MeasureVariable (Pcr - 7, EventType - 800000E0, VariableName - db, "
            "VendorGuid - D719B2CB-3D3A-4596-A3BC-DAD00E67656F)\n")
LOADING = "Loading driver at 0x0000E68E000 EntryPoint=0x0000E6920C7 \n"


class VerificationReasonsTest(unittest.TestCase):
    def test_a_first_signature_not_allowed_then_the_second_accepted(self):
        log = DEFERRED % PATH + LOADABLE % PATH + NOT_ALLOWED + MEASURED + LOADING + NOT_ALLOWED
        self.assertEqual([sb.NOT_IN_DB], chain.verification_reasons(log, PATH))
        self.assertTrue(sb.accepted_by_db(log, PATH))

    def test_one_signature_accepted_gives_no_reason(self):
        self.assertEqual([], chain.verification_reasons(LOADABLE % PATH + MEASURED + LOADING, PATH))

    def test_reasons_end_at_the_refusal_and_belong_to_their_path(self):
        log = (LOADABLE % OTHER_PATH + NOT_ALLOWED + LOADING + LOADABLE % PATH + MEASURED + FORBIDDEN
               + "The image doesn't pass verification: %s\n" % PATH + NOT_ALLOWED)
        self.assertEqual([chain.FORBIDDEN], chain.verification_reasons(log, PATH))
        self.assertEqual([sb.NOT_IN_DB], chain.verification_reasons(log, OTHER_PATH))
        self.assertEqual([(chain.FORBIDDEN, PATH)], sb.refusals(log))

    def test_an_image_never_loadable_after_end_of_dxe_has_no_reasons(self):
        self.assertIsNone(chain.verification_reasons(DEFERRED % PATH + NOT_ALLOWED, PATH))


class ForeignImagesTest(unittest.TestCase):
    def test_the_images_of_other_architectures_are_named_by_their_offsets(self):
        with tempfile.NamedTemporaryFile(suffix=".rom") as rom:
            rom.write(rom_image(0x8664, 26, False) + rom_image(0xAA64, 26, False) + rom_image(0x5064, 26, True))
            rom.flush()
            device = {"slot": 2, "function": 0}
            self.assertEqual(["PciRoot(0x0)/Pci(0x2,0x0)/Offset(0x3400,0x67FF)",
                              "PciRoot(0x0)/Pci(0x2,0x0)/Offset(0x6800,0x9BFF)"],
                             sb.foreign_image_paths(device, rom.name))
            self.assertEqual("PciRoot(0x0)/Pci(0x2,0x0)/Offset(0x0,0x33FF)", sb.rom_image_path(device, rom.name))


if __name__ == "__main__":
    unittest.main()
