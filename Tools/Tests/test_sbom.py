"""Tests of the images' SBOM (Tools/sbom.py) against what the build made:
every image carries an SPDX 2.3 document in a read-only, non-executable
.sbom section that validates against the schema, describes that image
(architecture, configuration, the driver's version, the kit's release),
names the library instances the link took and nothing else, the compiler
and linker with their versions, and carries the commit's time; the ROM
command prints the document of each of its images. The generator itself is
tried on traces with a library taken out.

QD520_BUILD names the build folder, QD520_SCHEMA the SPDX 2.3 JSON schema,
QD520_TIANOCOMPRESS the kit's TianoCompress; python3-jsonschema validates."""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, TOOLS)
import sbom  # noqa: E402

BUILD = os.environ.get("QD520_BUILD", "")
SCHEMA = os.environ.get("QD520_SCHEMA", "")
TIANOCOMPRESS = os.environ.get("QD520_TIANOCOMPRESS", "")
ARCHITECTURES = {"": "X64", ".aarch64": "AARCH64", ".riscv64": "RISCV64"}
CONFIGURATIONS = {"": "debug", "production": "production"}
INITIALIZED_DATA, EXECUTE, READ, WRITE = 0x40, 0x20000000, 0x40000000, 0x80000000

# The library instances each image must name, from what its link needs: the
# kit's UEFI libraries everywhere; COM1's libraries where the debug build
# writes to COM1 (x64); the serial I/O back end where it writes through the
# firmware's serial I/O protocol (Arm, RISC-V); nothing of a serial port in
# production builds, which print nothing.
EVERYWHERE = {"BaseLib", "BaseMemoryLib", "UefiDevicePathLib", "UefiLib", "BasePrintLib", "UefiMemoryAllocationLib",
              "UefiBootServicesTableLib", "UefiRuntimeServicesTableLib", "UefiDriverEntryPoint", "SerialDebugLib",
              "Quandrel520Gop build glue"}
COM1 = {"BasePciLibCf8", "BasePciCf8Lib", "BaseSerialPortLib16550", "BasePlatformHookLibNull", "BaseIoLibIntrinsic",
        "RegisterFilterLibNull"}
SERIAL_IO = {"SerialIoPortLib"}


def expected_libraries(architecture, configuration):
    if configuration == "production":
        return EVERYWHERE
    return EVERYWHERE | (COM1 if architecture == "X64" else SERIAL_IO)


def inf_version():
    with open(os.path.join(TOOLS, "..", "OptionRomPkg", "Quandrel520Gop", "Quandrel520Gop.inf")) as inf:
        return re.search(r"^\s*VERSION_STRING\s*=\s*(\S+)", inf.read(), re.M).group(1)


def images():
    """(path, architecture, configuration) of every image the build ships."""
    for folder, configuration in CONFIGURATIONS.items():
        for suffix, architecture in ARCHITECTURES.items():
            yield os.path.join(BUILD, folder, "Quandrel520Gop%s.efi" % suffix), architecture, configuration


def libraries(document):
    return {package["name"] for package in document["packages"] if package.get("primaryPackagePurpose") == "LIBRARY"}


@unittest.skipUnless(os.path.isdir(BUILD), "QD520_BUILD not given")
class ImageSbomTest(unittest.TestCase):
    def test_every_image_carries_a_valid_document_in_a_read_only_section(self):
        if not os.path.isfile(SCHEMA):
            self.skipTest("no SPDX schema at %s" % SCHEMA)
        import jsonschema
        with open(SCHEMA) as source:
            schema = json.load(source)
        for path, architecture, configuration in images():
            with self.subTest(path=path):
                with open(path, "rb") as source:
                    image = source.read()
                sections = {name: (offset, size) for name, offset, size in sbom.pe_sections(image)}
                self.assertIn(".sbom", sections)
                characteristics = self.characteristics(image, ".sbom")
                self.assertEqual(INITIALIZED_DATA | READ, characteristics & (INITIALIZED_DATA | READ | WRITE | EXECUTE),
                                 "the .sbom section is readable data, neither writable nor executable")
                document = sbom.image_document(image)
                jsonschema.validate(document, schema)
                with open(os.path.join(os.path.dirname(path), os.path.basename(path)[:-4] + ".spdx.json")) as source:
                    self.assertEqual(json.load(source), document, "the .spdx.json beside the image is its document")

    def characteristics(self, image, wanted):
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        count, optional = struct.unpack_from("<H12xH", image, pe + 6)
        for index in range(count):
            entry = pe + 24 + optional + 40 * index
            if image[entry:entry + 8].rstrip(b"\0").decode() == wanted:
                return struct.unpack_from("<I", image, entry + 36)[0]
        return None

    def test_each_document_describes_its_image_and_what_its_link_took(self):
        commit = subprocess.run(["git", "-C", TOOLS, "log", "-1", "--format=%ct"], stdout=subprocess.PIPE,
                                text=True).stdout.strip()
        for path, architecture, configuration in images():
            with self.subTest(path=path):
                with open(path, "rb") as source:
                    document = sbom.image_document(source.read())
                packages = {package["SPDXID"]: package for package in document["packages"]}
                image = packages[document["documentDescribes"][0]]
                self.assertEqual(os.path.basename(path), image["name"])
                self.assertIn("for %s, %s build" % (architecture, configuration), image["comment"])
                self.assertEqual(inf_version(), image["versionInfo"], "the driver's version, from its INF")
                self.assertEqual("BSD-2-Clause-Patent", image["licenseDeclared"])
                self.assertTrue(packages["SPDXRef-EDK-II"]["versionInfo"].startswith("edk2-stable"),
                                packages["SPDXRef-EDK-II"]["versionInfo"])
                self.assertEqual(expected_libraries(architecture, configuration), libraries(document))
                tools = {package["name"]: package for package in document["packages"]
                         if package.get("primaryPackagePurpose") == "APPLICATION"}
                linker = "ld.lld" if architecture == "RISCV64" else "lld-link"
                self.assertLessEqual({"clang", linker, "llvm-objcopy"}, set(tools))
                self.assertRegex(tools["clang"]["versionInfo"], r"^\d+\.\d+")
                self.assertRegex(tools[linker]["versionInfo"], r"^\d+\.\d+")
                linked = {relation["relatedSpdxElement"] for relation in document["relationships"]
                          if relation["relationshipType"] == "STATIC_LINK"}
                self.assertEqual({"SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)
                                  for name in libraries(document)}, linked)
                if commit:
                    self.assertEqual(sbom.datetime.datetime.fromtimestamp(int(commit), sbom.datetime.timezone.utc)
                                     .strftime("%Y-%m-%dT%H:%M:%SZ"), document["creationInfo"]["created"],
                                     "the commit's time, not the clock")

    def test_show_prints_the_document_of_each_image_of_a_rom(self):
        if not os.path.isfile(TIANOCOMPRESS):
            self.skipTest("no TianoCompress at %s" % TIANOCOMPRESS)
        result = subprocess.run([sys.executable, os.path.join(TOOLS, "sbom.py"), "show",
                                 os.path.join(BUILD, "Quandrel520Gop.rom"), "--tianocompress", TIANOCOMPRESS],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(0, result.returncode, result.stdout[-2000:])
        headings = re.findall(r"^== .*: (\S+) image \(ROM image at (0x[0-9A-F]+)\)$", result.stdout, re.M)
        self.assertEqual(["X64", "AARCH64", "RISCV64"], [heading[0] for heading in headings])
        self.assertEqual("0x0", headings[0][1])
        for suffix in ARCHITECTURES:
            self.assertIn('"name": "Quandrel520Gop%s.efi"' % suffix, result.stdout)


class GeneratorTest(unittest.TestCase):
    """The generator on a manifest and traces of its own."""

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.manifest = {
            "image": "Quandrel520Gop.efi", "architecture": "X64", "configuration": "debug",
            "supplier": "QD520 driver authors", "driver_inf": "OptionRomPkg/Quandrel520Gop/Quandrel520Gop.inf",
            "kit": self.work, "kit_release": "edk2-stable202211", "trace_kind": "lld-link",
            "archives": [
                {"name": "BaseLib", "from": "project", "description": "base library", "file": "libbase.a"},
                {"name": "BasePrintLib", "from": "project", "description": "print library", "file": "libprint.a"},
            ],
            "tools": [],
        }
        os.environ["SOURCE_DATE_EPOCH"] = "1800000000"

    def tearDown(self):
        shutil.rmtree(self.work)
        del os.environ["SOURCE_DATE_EPOCH"]

    def document(self, lines):
        trace = os.path.join(self.work, "trace.txt")
        with open(trace, "w") as target:
            target.write("\n".join(lines) + "\n")
        return sbom.make_document(self.manifest, sbom.linked_members(trace, self.manifest["trace_kind"]))

    def test_a_library_the_link_did_not_take_is_not_named(self):
        both = ["lld-link: Loaded libbase.a(String.c.o) for StrLen",
                "lld-link: Loaded /b/libprint.a(PrintLib.c.o) for UnicodeSPrint"]
        self.assertEqual({"BaseLib", "BasePrintLib"}, libraries(self.document(both)))
        self.assertEqual({"BaseLib"}, libraries(self.document(both[:1])))
        self.assertEqual(set(), libraries(self.document(["lld-link: Reading libprint.a"])))

    def test_ld_lld_trace_names_what_was_extracted_not_what_referred_to_it(self):
        self.manifest["trace_kind"] = "ld.lld"
        table = ["reference\textracted\tsymbol",
                 "libprint.a(PrintLib.o)\tlibbase.a(String.o)\tStrLen"]
        self.assertEqual({"BaseLib"}, libraries(self.document(table)))

    def test_the_time_is_the_commit_s_and_equal_inputs_give_equal_documents(self):
        lines = ["lld-link: Loaded libbase.a(String.c.o) for StrLen"]
        first, second = self.document(lines), self.document(lines)
        self.assertEqual("2027-01-15T08:00:00Z", first["creationInfo"]["created"])
        self.assertEqual(sbom.encode(first), sbom.encode(second))
        self.assertTrue(first["documentNamespace"].startswith("urn:uuid:"))


if __name__ == "__main__":
    unittest.main()
