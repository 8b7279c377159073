#!/usr/bin/env python3
"""OVMF varstores (the NV_VARIABLE_STORE flash region of OVMF_VARS.fd):
read their authenticated variables, copy the live ones into another store,
and check the Secure Boot keys.

  ovmf_varstore.py list STORE
  ovmf_varstore.py live-copy SOURCE TEMPLATE OUTPUT
      OUTPUT: TEMPLATE (an empty varstore of the firmware that will use
      it) holding the live variables of SOURCE (state VAR_ADDED), each
      record byte for byte, in their order; deleted and half-deleted
      records are left out (a firmware without the SMM variable driver
      stops in PEI on those of Debian's snakeoil varstore).
  ovmf_varstore.py check-secure-boot STORE CERT.pem
      PK, KEK and db each hold CERT as an X.509 signature, SecureBootEnable
      is 1, CustomMode 0 and no deleted record is left: the firmware boots
      in user mode with Secure Boot on and CERT in db.
  ovmf_varstore.py set-databases SOURCE OUTPUT --db ESL... [--dbx ESL...]
      OUTPUT: SOURCE (a Secure Boot varstore, its records all live) with
      db holding exactly the EFI signature lists of the --db files and dbx
      those of the --dbx files (no dbx without them); every other record
      byte for byte, in its order. The signature lists come from efitools
      (cert-to-efi-sig-list, hash-to-efi-sig-list). The records are written
      as the firmware's variable driver keeps them: the data alone, no
      authentication descriptor, so no key signs them.
  ovmf_varstore.py databases STORE
      what db and dbx hold: each X.509 certificate's SHA-256 (of its DER
      bytes) and each SHA-256 image hash.

Layout (MdeModulePkg/Include/Guid/VariableFormat.h, SystemNvDataGuid.h):
the firmware volume header, the variable store header (28 bytes), then
AUTHENTICATED_VARIABLE_HEADER records (60 bytes, name, data), each starting
on a 4-byte boundary; the rest of the store is erased flash (0xFF).
Python standard library only.
"""

import argparse
import base64
import hashlib
import re
import struct
import sys
import uuid

FV_SIGNATURE = b"_FVH"
SYSTEM_NV_DATA_FV_GUID = uuid.UUID("fff12b8d-7696-4c8b-a985-2747075b4f50")
AUTHENTICATED_VARIABLE_GUID = uuid.UUID("aaf32c78-947b-439a-a180-2e144ec37792")
GLOBAL_VARIABLE_GUID = uuid.UUID("8be4df61-93ca-11d2-aa0d-00e098032b8c")
IMAGE_SECURITY_DATABASE_GUID = uuid.UUID("d719b2cb-3d3a-4596-a3bc-dad00e67656f")
SECURE_BOOT_ENABLE_GUID = uuid.UUID("f0a30bc7-af08-4556-99c4-001009c93a44")
CUSTOM_MODE_GUID = uuid.UUID("c076ec0c-7028-4399-a072-71ee5c448b9f")
CERT_X509_GUID = uuid.UUID("a5c059a1-94e4-4aa7-87b5-ab155c2bf072")
CERT_SHA256_GUID = uuid.UUID("c1c41626-504c-4092-aca9-41f936934328")

STORE_HEADER_SIZE = 28
VARIABLE_HEADER_SIZE = 60
START_ID = 0x55AA
VAR_ADDED = 0x3F
HEADER_ALIGNMENT = 4
DATABASES = ("db", "dbx")


class VarstoreError(Exception):
    pass


def align(value):
    return (value + HEADER_ALIGNMENT - 1) & ~(HEADER_ALIGNMENT - 1)


class Variable:
    """One record: where it is, its header fields and its bytes."""

    def __init__(self, blob, offset):
        (start_id, self.state, _, self.attributes, self.monotonic_count) = struct.unpack_from("<HBBIQ", blob, offset)
        if start_id != START_ID:
            raise VarstoreError("no variable at 0x%X" % offset)
        self.public_key_index, name_size, data_size = struct.unpack_from("<III", blob, offset + 32)
        self.guid = uuid.UUID(bytes_le=bytes(blob[offset + 44:offset + 60]))
        self.offset = offset
        self.end = offset + VARIABLE_HEADER_SIZE + name_size + data_size
        if self.end > len(blob):
            raise VarstoreError("variable at 0x%X runs past the store" % offset)
        name = bytes(blob[offset + VARIABLE_HEADER_SIZE:offset + VARIABLE_HEADER_SIZE + name_size])
        self.name = name.decode("utf-16-le").rstrip("\0")
        self.data = bytes(blob[offset + VARIABLE_HEADER_SIZE + name_size:self.end])
        self.record = bytes(blob[offset:self.end])

    @property
    def live(self):
        return self.state == VAR_ADDED

    def renamed(self, name, data):
        """This record's header (state, attributes, count, time stamp, key
        index, GUID) over another name and data."""
        encoded = (name + "\0").encode("utf-16-le")
        header = bytearray(self.record[:VARIABLE_HEADER_SIZE])
        struct.pack_into("<II", header, 36, len(encoded), len(data))
        return bytes(header) + encoded + data


class Varstore:
    """The variable store of an OVMF_VARS.fd image."""

    def __init__(self, blob):
        self.blob = bytearray(blob)
        if len(blob) < 0x40 or blob[40:44] != FV_SIGNATURE:
            raise VarstoreError("not a firmware volume (no _FVH signature)")
        if uuid.UUID(bytes_le=bytes(blob[16:32])) != SYSTEM_NV_DATA_FV_GUID:
            raise VarstoreError("the firmware volume is not a system NV data volume")
        (self.header_length,) = struct.unpack_from("<H", blob, 48)
        self.store = self.header_length
        guid = uuid.UUID(bytes_le=bytes(blob[self.store:self.store + 16]))
        if guid != AUTHENTICATED_VARIABLE_GUID:
            raise VarstoreError("the variable store is not of authenticated variables (%s)" % guid)
        (self.store_size,) = struct.unpack_from("<I", blob, self.store + 16)
        if self.store + self.store_size > len(blob):
            raise VarstoreError("the variable store runs past the file")
        self.first = align(self.store + STORE_HEADER_SIZE)

    @classmethod
    def read(cls, path):
        with open(path, "rb") as source:
            return cls(source.read())

    def variables(self):
        found = []
        offset = self.first
        limit = self.store + self.store_size
        while offset + VARIABLE_HEADER_SIZE <= limit and struct.unpack_from("<H", self.blob, offset)[0] == START_ID:
            variable = Variable(self.blob, offset)
            found.append(variable)
            offset = align(variable.end)
        return found

    def live(self, name, guid):
        matches = [v for v in self.variables() if v.live and v.name == name and v.guid == guid]
        return matches[-1] if matches else None

    def layout(self):
        """What two stores must share for records to move between them:
        the volume header and the store header."""
        return bytes(self.blob[:self.first])

    def with_records(self, records):
        """A store of this one's layout holding records (bytes each) in
        order, each on a 4-byte boundary, the rest erased."""
        out = bytearray(self.blob)
        limit = self.store + self.store_size
        out[self.first:limit] = b"\xff" * (limit - self.first)
        offset = self.first
        for record in records:
            if offset + len(record) > limit:
                raise VarstoreError("the variables do not fit the store")
            out[offset:offset + len(record)] = record
            offset = align(offset + len(record))
        return Varstore(out)


def live_copy(source, template):
    """template's bytes with source's live records written into its store."""
    if source.layout() != template.layout():
        raise VarstoreError("the source and the template differ in layout (volume or store header)")
    if template.variables():
        raise VarstoreError("the template is not an empty varstore")
    out = bytearray(template.blob)
    offset = out_start = template.first
    limit = template.store + template.store_size
    for variable in source.variables():
        if not variable.live:
            continue
        if offset + len(variable.record) > limit:
            raise VarstoreError("the live variables do not fit the store")
        out[offset:offset + len(variable.record)] = variable.record
        offset = align(offset + len(variable.record))
    if out[offset:limit].strip(b"\xff"):
        raise VarstoreError("the template's store is not erased after 0x%X" % out_start)
    return Varstore(out)


def set_databases(source, db, dbx):
    """source with db's data replaced by db and dbx's by dbx (bytes of
    signature lists; dbx left out when empty). A dbx the source lacks is
    added after db, with db's header."""
    variables = source.variables()
    stale = [v.name for v in variables if not v.live]
    if stale:
        raise VarstoreError("the source holds records that are not live (%s): make it with live-copy first"
                            % ", ".join(stale))
    for data in (db, dbx):
        signature_lists(data)   # well formed, or VarstoreError
    if not db:
        raise VarstoreError("db must hold at least one signature list")
    template = source.live("db", IMAGE_SECURITY_DATABASE_GUID)
    if template is None:
        raise VarstoreError("the source has no db")
    records = []
    for variable in variables:
        if variable.guid == IMAGE_SECURITY_DATABASE_GUID and variable.name == "dbx":
            continue
        if variable.offset == template.offset:
            records.append(variable.renamed("db", db))
            if dbx:
                records.append(variable.renamed("dbx", dbx))
        else:
            records.append(variable.record)
    return source.with_records(records)


def pem_certificate(path):
    """The DER bytes of the first certificate of a PEM file."""
    with open(path) as source:
        match = re.search(r"-----BEGIN CERTIFICATE-----(.*?)-----END CERTIFICATE-----", source.read(), re.S)
    if not match:
        raise VarstoreError("%s holds no PEM certificate" % path)
    return base64.b64decode("".join(match.group(1).split()))


def signature_lists(data):
    """[(signature type, [signature data past the owner GUID])] of a run of
    EFI_SIGNATURE_LISTs that fills data exactly."""
    found = []
    offset = 0
    while offset < len(data):
        if offset + 28 > len(data):
            raise VarstoreError("malformed signature list at %d" % offset)
        kind = uuid.UUID(bytes_le=data[offset:offset + 16])
        list_size, header_size, signature_size = struct.unpack_from("<III", data, offset + 16)
        first = offset + 28 + header_size
        if (list_size < 28 + header_size or signature_size <= 16 or offset + list_size > len(data)
                or (offset + list_size - first) % signature_size):
            raise VarstoreError("malformed signature list at %d" % offset)
        found.append((kind, [data[at + 16:at + signature_size]
                             for at in range(first, offset + list_size, signature_size)]))
        offset += list_size
    return found


def x509_signatures(data):
    """The certificates (DER) of a list of EFI_SIGNATURE_LISTs of X.509 type."""
    return [item for kind, items in signature_lists(data) if kind == CERT_X509_GUID for item in items]


def sha256_signatures(data):
    """The SHA-256 image hashes of a list of EFI_SIGNATURE_LISTs."""
    return [item for kind, items in signature_lists(data) if kind == CERT_SHA256_GUID for item in items]


def databases(store):
    """{"db": ..., "dbx": ...}: for each, the SHA-256 (hex) of the DER of
    each certificate and each image hash (hex) it holds, by kind."""
    found = {}
    for name in DATABASES:
        variable = store.live(name, IMAGE_SECURITY_DATABASE_GUID)
        data = variable.data if variable else b""
        found[name] = {"x509": [hashlib.sha256(cert).hexdigest() for cert in x509_signatures(data)],
                       "sha256": [digest.hex() for digest in sha256_signatures(data)]}
    return found


def secure_boot_failures(store, certificate):
    failures = []
    for name, guid in (("PK", GLOBAL_VARIABLE_GUID), ("KEK", GLOBAL_VARIABLE_GUID),
                       ("db", IMAGE_SECURITY_DATABASE_GUID)):
        variable = store.live(name, guid)
        if variable is None:
            failures.append("no %s" % name)
        elif certificate not in x509_signatures(variable.data):
            failures.append("%s does not hold the certificate" % name)
    enable = store.live("SecureBootEnable", SECURE_BOOT_ENABLE_GUID)
    if enable is None or enable.data != b"\x01":
        failures.append("SecureBootEnable is not 1")
    custom = store.live("CustomMode", CUSTOM_MODE_GUID)
    if custom is not None and custom.data != b"\x00":
        failures.append("CustomMode is not 0")
    stale = [v.name for v in store.variables() if not v.live]
    if stale:
        failures.append("records not live: %s" % ", ".join(stale))
    return failures


def read_file(path):
    with open(path, "rb") as source:
        return source.read()


def describe(held):
    parts = ["certificate %s" % digest[:16] for digest in held["x509"]]
    parts += ["image hash %s" % digest[:16] for digest in held["sha256"]]
    return ", ".join(parts) or "nothing"


def main(argv):
    if len(argv) >= 2 and argv[1] == "list" and len(argv) == 3:
        for variable in Varstore.read(argv[2]).variables():
            print("0x%05X state 0x%02X attributes 0x%02X %s %s, %d bytes"
                  % (variable.offset, variable.state, variable.attributes, variable.guid, variable.name,
                     len(variable.data)))
        return 0
    if len(argv) == 5 and argv[1] == "live-copy":
        source, template = Varstore.read(argv[2]), Varstore.read(argv[3])
        out = live_copy(source, template)
        with open(argv[4], "wb") as target:
            target.write(out.blob)
        print("%s: %d live variables of %d records in %s" % (argv[4], len(out.variables()),
                                                              len(source.variables()), argv[2]))
        return 0
    if len(argv) == 4 and argv[1] == "check-secure-boot":
        failures = secure_boot_failures(Varstore.read(argv[2]), pem_certificate(argv[3]))
        if failures:
            print("%s: %s" % (argv[2], "; ".join(failures)))
            return 1
        print("%s: PK, KEK and db hold %s; SecureBootEnable 1, user mode" % (argv[2], argv[3]))
        return 0
    if len(argv) >= 2 and argv[1] == "set-databases":
        parser = argparse.ArgumentParser(prog="ovmf_varstore.py set-databases")
        parser.add_argument("source")
        parser.add_argument("output")
        parser.add_argument("--db", nargs="+", required=True)
        parser.add_argument("--dbx", nargs="+", default=[])
        options = parser.parse_args(argv[2:])
        lists = {name: b"".join(read_file(path) for path in getattr(options, name)) for name in DATABASES}
        out = set_databases(Varstore.read(options.source), lists["db"], lists["dbx"])
        with open(options.output, "wb") as target:
            target.write(out.blob)
        held = databases(out)
        print("%s: db %s; dbx %s" % (options.output, describe(held["db"]), describe(held["dbx"])))
        return 0
    if len(argv) == 3 and argv[1] == "databases":
        held = databases(Varstore.read(argv[2]))
        for name in DATABASES:
            print("%s: %s" % (name, describe(held[name])))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (VarstoreError, OSError) as error:
        print("ovmf_varstore: %s" % error, file=sys.stderr)
        sys.exit(1)
