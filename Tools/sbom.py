#!/usr/bin/env python3
"""The software bill of materials of the driver's images: an SPDX 2.3 JSON
document in a read-only `.sbom` section of each image, made at build time
from what the link actually took.

  sbom.py make --manifest M.json --link-trace T --output SBOM.json
      the document of one image. The manifest (written by the CMake build)
      names the image, its architecture and configuration, the archives it
      is linked from (each a library instance with its INF), the driver's
      INF, the kit and its release, and the compiler and linker; the link
      trace is the linker's own account of the archive members it took
      (lld-link /VERBOSE, or ld.lld --why-extract). A library instance is in
      the document when the link took at least one of its members.
  sbom.py validate SBOM.json --schema SCHEMA.json
      checks a document against the SPDX 2.3 JSON schema (python3-jsonschema).
  sbom.py show FILE [--tianocompress PATH]
      prints the document of an image (.efi), or of each image of an option
      ROM (.rom; walked and decompressed as Tools/unpack_rom.py does, with
      the kit's TianoCompress).

The document's creation time is the time of the tree's last commit
(SOURCE_DATE_EPOCH when set, as reproducible builds define it), never the
clock: equal sources give equal documents, and so equal images.

Python standard library only, but for `validate`.
"""

import argparse
import datetime
import hashlib
import json
import os
import re
import struct
import subprocess
import sys
import uuid

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "Tools"))
import unpack_rom  # noqa: E402
SECTION = ".sbom"
MACHINES = {0x8664: "X64", 0xAA64: "AARCH64", 0x5064: "RISCV64"}
NO_ASSERTION = "NOASSERTION"


# --- reading the build's inputs ------------------------------------------------------
def inf_defines(path):
    """The [Defines] of an INF, and the SPDX licence of its header comment."""
    defines, section, licence = {}, None, None
    with open(path, errors="replace") as inf:
        for line in inf:
            match = re.search(r"SPDX-License-Identifier:\s*(\S.*?)\s*$", line)
            if match and licence is None:
                licence = match.group(1)
            line = line.split("#", 1)[0].strip()
            if line.startswith("["):
                section = line.strip("[]").strip().lower()
            elif section == "defines" and "=" in line:
                key, value = (part.strip() for part in line.split("=", 1))
                defines[key] = value
    defines["__licence__"] = licence or NO_ASSERTION
    return defines


def file_licence(path):
    """The SPDX licence a file declares, or NOASSERTION."""
    try:
        with open(path, errors="replace") as source:
            match = re.search(r"SPDX-License-Identifier:\s*(\S.*?)\s*$", source.read(), re.M)
    except OSError:
        return NO_ASSERTION
    return match.group(1) if match else NO_ASSERTION


def linked_members(trace, kind):
    """{archive file name: sorted member names} of the archive members the
    linker took, from its trace: lld-link /VERBOSE's "Loaded A(M) for S"
    lines, or the extracted column of ld.lld --why-extract's table."""
    member = re.compile(r"(\S+?\.a)\((.+?)\)")
    members = {}
    with open(trace, errors="replace") as source:
        for line in source:
            if kind == "lld-link":
                match = re.search(r"Loaded (\S+?\.a)\((.+?)\) for ", line)
            else:
                columns = line.rstrip("\n").split("\t")
                match = member.fullmatch(columns[1]) if len(columns) == 3 else None
            if match:
                members.setdefault(os.path.basename(match.group(1)), set()).add(match.group(2))
    return {archive: sorted(names) for archive, names in members.items()}


def tool_version(command):
    """The first line of what a tool prints of itself that has a version
    number in it."""
    try:
        output = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
    except OSError:
        return NO_ASSERTION
    for line in output.splitlines():
        if re.search(r"\d+\.\d+", line):
            return line.strip()
    return NO_ASSERTION


def version_number(text):
    match = re.search(r"(\d+\.\d+(?:\.\d+)*)", text)
    return match.group(1) if match else text


def creation_time():
    """The time of the tree's last commit, as SPDX writes times."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        try:
            epoch = subprocess.run(["git", "-C", TOP, "log", "-1", "--format=%ct"], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            epoch = ""
    if not epoch:
        sys.exit("sbom: no commit time: not a git checkout and SOURCE_DATE_EPOCH is not set")
    moment = datetime.datetime.fromtimestamp(int(epoch), tz=datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def spdx_id(text):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", text)


# --- the document --------------------------------------------------------------------
def make_document(manifest, members):
    """The SPDX 2.3 document of the image the manifest describes, naming the
    library instances of which the link took members."""
    driver_inf = os.path.join(TOP, manifest["driver_inf"])
    driver = inf_defines(driver_inf)
    licence = file_licence(os.path.join(TOP, "LICENSE"))
    supplier = "Organization: " + manifest["supplier"]
    kit_supplier = "Organization: TianoCore"
    created = creation_time()
    image = manifest["image"]
    architecture = manifest["architecture"]

    image_id = spdx_id("Image")
    driver_id = spdx_id("Driver")
    kit_id = spdx_id("EDK-II")
    packages = [
        {
            "SPDXID": image_id,
            "name": image,
            "versionInfo": driver.get("VERSION_STRING", NO_ASSERTION),
            "supplier": supplier,
            "downloadLocation": NO_ASSERTION,
            "filesAnalyzed": False,
            "primaryPackagePurpose": "FIRMWARE",
            "licenseConcluded": licence,
            "licenseDeclared": licence,
            "copyrightText": NO_ASSERTION,
            "builtDate": created,
            "comment": "UEFI boot-service driver for the QD520 PCI display adapter, PE32+ image for %s, %s build"
                       % (architecture, manifest["configuration"]),
        },
        {
            "SPDXID": driver_id,
            "name": manifest["driver_inf"],
            "versionInfo": driver.get("VERSION_STRING", NO_ASSERTION),
            "supplier": supplier,
            "downloadLocation": NO_ASSERTION,
            "filesAnalyzed": False,
            "primaryPackagePurpose": "SOURCE",
            "licenseDeclared": licence,
            "comment": "the driver module %s (FILE_GUID %s)"
                       % (driver.get("BASE_NAME", "?"), driver.get("FILE_GUID", "?")),
        },
        {
            "SPDXID": kit_id,
            "name": "EDK II",
            "versionInfo": manifest["kit_release"],
            "supplier": kit_supplier,
            "downloadLocation": NO_ASSERTION,
            "filesAnalyzed": False,
            "primaryPackagePurpose": "FRAMEWORK",
            "licenseDeclared": file_licence(os.path.join(manifest["kit"], "License.txt")),
        },
    ]
    relationships = [
        {"spdxElementId": "SPDXRef-DOCUMENT", "relatedSpdxElement": image_id, "relationshipType": "DESCRIBES"},
        {"spdxElementId": image_id, "relatedSpdxElement": driver_id, "relationshipType": "GENERATED_FROM"},
    ]

    for archive in manifest["archives"]:
        taken = members.get(archive["file"])
        if not taken:
            continue
        root = manifest["kit"] if archive["from"] == "kit" else TOP
        defines = inf_defines(os.path.join(root, archive["inf"])) if archive.get("inf") else {}
        library_id = spdx_id(archive["name"])
        package = {
            "SPDXID": library_id,
            "name": archive["name"],
            "versionInfo": defines.get("VERSION_STRING", NO_ASSERTION),
            "supplier": kit_supplier if archive["from"] == "kit" else supplier,
            "downloadLocation": NO_ASSERTION,
            "filesAnalyzed": False,
            "primaryPackagePurpose": "LIBRARY",
            "licenseDeclared": defines.get("__licence__", licence),
            "sourceInfo": archive.get("inf") or archive["description"],
        }
        packages.append(package)
        relationships.append({"spdxElementId": image_id, "relatedSpdxElement": library_id,
                              "relationshipType": "STATIC_LINK"})
        if archive["from"] == "kit":
            relationships.append({"spdxElementId": kit_id, "relatedSpdxElement": library_id,
                                  "relationshipType": "CONTAINS"})

    for tool in manifest["tools"]:
        line = tool_version(tool["command"])
        tool_id = spdx_id(tool["name"])
        packages.append({
            "SPDXID": tool_id,
            "name": tool["name"],
            "versionInfo": tool.get("version") or version_number(line),
            "downloadLocation": NO_ASSERTION,
            "filesAnalyzed": False,
            "primaryPackagePurpose": "APPLICATION",
            "comment": "%s: %s" % (tool["role"], line),
        })
        relationships.append({"spdxElementId": tool_id, "relatedSpdxElement": image_id,
                              "relationshipType": "BUILD_TOOL_OF"})

    document = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": "%s (%s, %s)" % (image, architecture, manifest["configuration"]),
        "creationInfo": {
            "created": created,
            "creators": ["Organization: " + manifest["supplier"], "Tool: qd520-sbom"],
        },
        "documentDescribes": [image_id],
        "packages": packages,
        "relationships": relationships,
    }
    # A namespace derived from the content: the same build, the same name.
    digest = hashlib.sha256(json.dumps(document, sort_keys=True).encode()).hexdigest()
    document["documentNamespace"] = "urn:uuid:" + str(uuid.UUID(digest[:32]))
    return document


def encode(document):
    return (json.dumps(document, separators=(",", ":"), sort_keys=True) + "\n").encode()


# --- reading images and ROMs ---------------------------------------------------------
def pe_sections(image):
    """[(name, file offset, size)] of a PE image's sections."""
    if image[:2] != b"MZ":
        raise ValueError("not a PE image")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional = struct.unpack_from("<H12xH", image, pe + 6)
    first = pe + 24 + optional
    found = []
    for index in range(sections):
        name, virtual_size, _, raw_size, raw = struct.unpack_from("<8sIIII", image, first + 40 * index)
        found.append((name.rstrip(b"\0").decode(errors="replace"), raw, min(virtual_size, raw_size)))
    return found


def image_document(image):
    """The SBOM of a PE image, or None when it has no .sbom section."""
    for name, offset, size in pe_sections(image):
        if name == SECTION:
            return json.loads(image[offset:offset + size].rstrip(b"\0").decode())
    return None


def machine_of(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    return MACHINES.get(struct.unpack_from("<H", image, pe + 4)[0], "?")


# --- commands -----------------------------------------------------------------------
def command_make(args):
    with open(args.manifest) as source:
        manifest = json.load(source)
    members = linked_members(args.link_trace, manifest["trace_kind"])
    document = make_document(manifest, members)
    with open(args.output + ".tmp", "wb") as target:
        target.write(encode(document))
    os.replace(args.output + ".tmp", args.output)
    return 0


def command_validate(args):
    import jsonschema  # noqa: E402 (python3-jsonschema)
    with open(args.schema) as source:
        schema = json.load(source)
    for path in args.documents:
        with open(path) as source:
            jsonschema.validate(json.load(source), schema)
        print("%s: valid SPDX 2.3" % path)
    return 0


def command_show(args):
    with open(args.file, "rb") as source:
        blob = source.read()
    if blob[:2] == b"\x55\xAA":
        tianocompress = args.tianocompress or unpack_rom.default_tianocompress()
        found = [(start, unpack_rom.decompress(tianocompress, data) if compressed else data)
                 for start, _, architecture, compressed, data in unpack_rom.images(blob) if architecture]
    else:
        found = [(None, blob)]
    status = 0
    for offset, image in found:
        where = "" if offset is None else " (ROM image at 0x%X)" % offset
        document = image_document(image)
        print("== %s: %s image%s" % (args.file, machine_of(image), where))
        if document is None:
            print("no %s section" % SECTION)
            status = 1
        else:
            print(json.dumps(document, indent=2, sort_keys=True))
    return status


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("make", help="the SBOM of one image")
    make.add_argument("--manifest", required=True)
    make.add_argument("--link-trace", required=True)
    make.add_argument("--output", required=True)
    validate = commands.add_parser("validate", help="check documents against the SPDX 2.3 schema")
    validate.add_argument("documents", nargs="+")
    validate.add_argument("--schema", required=True)
    show = commands.add_parser("show", help="print the SBOM of an image or of each image of a ROM")
    show.add_argument("file")
    show.add_argument("--tianocompress", help="the kit's TianoCompress (default: the bootstrap's)")
    args = parser.parse_args()
    return {"make": command_make, "validate": command_validate, "show": command_show}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
