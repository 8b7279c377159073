"""Tests of Tools/ovmf_varstore.py on synthetic varstores: the live copy
keeps exactly the live records, byte for byte; the Secure Boot check
rejects each way a varstore can fail to enforce with the test certificate;
setting db and dbx changes those two records only."""

import hashlib
import os
import struct
import sys
import unittest
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import ovmf_varstore as vs  # noqa: E402

STORE_SIZE = 0x1000
CERT = bytes(range(256)) * 3   # stands for a DER certificate
OTHER_CERT = bytes(reversed(CERT))
OWNER = uuid.UUID("a0baa8a3-041d-48a8-bc87-c36d121b5e3d")


def volume(store_guid=vs.AUTHENTICATED_VARIABLE_GUID, fv_guid=vs.SYSTEM_NV_DATA_FV_GUID, records=b""):
    """A firmware volume of one variable store, erased after the records."""
    header = bytearray(72)
    header[16:32] = fv_guid.bytes_le
    struct.pack_into("<Q", header, 32, 72 + STORE_SIZE)
    header[40:44] = vs.FV_SIGNATURE
    struct.pack_into("<IHH", header, 44, 0x4FEFF, 72, 0)
    store = bytearray(b"\xff" * STORE_SIZE)
    store[0:16] = store_guid.bytes_le
    struct.pack_into("<IBBHI", store, 16, STORE_SIZE, 0x5A, 0xFE, 0, 0)
    store[28:28 + len(records)] = records
    return bytes(header + store)


def record(name, guid, data, state=vs.VAR_ADDED, attributes=0x27):
    encoded = (name + "\0").encode("utf-16-le")
    header = struct.pack("<HBBIQ16sIII16s", vs.START_ID, state, 0, attributes, 7, bytes(range(16)), 0,
                         len(encoded), len(data), guid.bytes_le)
    body = header + encoded + data
    return body + b"\xee" * (vs.align(len(body)) - len(body))   # padding a copy must not carry


def signature_list(certificate):
    size = 16 + len(certificate)
    return struct.pack("<16sIII", vs.CERT_X509_GUID.bytes_le, 28 + size, 0, size) + OWNER.bytes_le + certificate


def hash_list(*digests):
    return struct.pack("<16sIII", vs.CERT_SHA256_GUID.bytes_le, 28 + 48 * len(digests), 0, 48) + b"".join(
        OWNER.bytes_le + digest for digest in digests)


def secure_boot_records(certificate=CERT, enable=b"\x01", custom=b"\x00"):
    return (record("PK", vs.GLOBAL_VARIABLE_GUID, signature_list(certificate))
            + record("KEK", vs.GLOBAL_VARIABLE_GUID, signature_list(certificate))
            + record("db", vs.IMAGE_SECURITY_DATABASE_GUID, signature_list(certificate))
            + record("SecureBootEnable", vs.SECURE_BOOT_ENABLE_GUID, enable, attributes=3)
            + record("CustomMode", vs.CUSTOM_MODE_GUID, custom, attributes=3))


class LiveCopyTest(unittest.TestCase):
    def test_live_records_are_copied_byte_for_byte_in_order_and_the_rest_dropped(self):
        live_a = record("Lang", vs.GLOBAL_VARIABLE_GUID, b"eng")
        live_b = record("Timeout", vs.GLOBAL_VARIABLE_GUID, b"\x05\x00")
        source = vs.Varstore(volume(records=record("ConOut", vs.GLOBAL_VARIABLE_GUID, b"old", state=0x3C)
                                    + live_a
                                    + record("BootOrder", vs.GLOBAL_VARIABLE_GUID, b"\x01\x00", state=0x3D)
                                    + record("ConIn", vs.GLOBAL_VARIABLE_GUID, b"mid", state=0x3E)
                                    + live_b))
        out = vs.live_copy(source, vs.Varstore(volume()))
        self.assertEqual(["Lang", "Timeout"], [v.name for v in out.variables()])
        self.assertEqual([live_a.rstrip(b"\xee"), live_b.rstrip(b"\xee")], [v.record for v in out.variables()])
        first = out.first
        self.assertEqual(out.blob[first:first + len(live_a.rstrip(b"\xee"))], live_a.rstrip(b"\xee"))
        # The padding between records is erased flash, not the source's bytes.
        self.assertNotIn(b"\xee", bytes(out.blob))
        self.assertEqual(len(volume()), len(out.blob))

    def test_a_store_of_another_layout_is_refused(self):
        source = vs.Varstore(volume(records=record("Lang", vs.GLOBAL_VARIABLE_GUID, b"eng")))
        template = bytearray(volume())
        struct.pack_into("<I", template, 72 + 16, STORE_SIZE - 0x100)
        with self.assertRaisesRegex(vs.VarstoreError, "layout"):
            vs.live_copy(source, vs.Varstore(bytes(template)))

    def test_a_template_holding_variables_is_refused(self):
        with self.assertRaisesRegex(vs.VarstoreError, "not an empty varstore"):
            vs.live_copy(vs.Varstore(volume()),
                         vs.Varstore(volume(records=record("Lang", vs.GLOBAL_VARIABLE_GUID, b"eng"))))

    def test_other_volumes_are_not_read_as_varstores(self):
        with self.assertRaisesRegex(vs.VarstoreError, "not of authenticated variables"):
            vs.Varstore(volume(store_guid=uuid.UUID(int=1)))
        with self.assertRaisesRegex(vs.VarstoreError, "system NV data"):
            vs.Varstore(volume(fv_guid=uuid.UUID(int=2)))
        with self.assertRaisesRegex(vs.VarstoreError, "_FVH"):
            vs.Varstore(bytes(4096))


class SecureBootCheckTest(unittest.TestCase):
    def failures(self, records, certificate=CERT):
        return vs.secure_boot_failures(vs.Varstore(volume(records=records)), certificate)

    def test_keys_with_the_certificate_and_secure_boot_on_pass(self):
        self.assertEqual([], self.failures(secure_boot_records()))

    def test_another_certificate_in_the_keys_fails(self):
        self.assertEqual(["PK does not hold the certificate", "KEK does not hold the certificate",
                          "db does not hold the certificate"], self.failures(secure_boot_records(OTHER_CERT)))

    def test_secure_boot_disabled_or_custom_mode_fails(self):
        self.assertEqual(["SecureBootEnable is not 1"], self.failures(secure_boot_records(enable=b"\x00")))
        self.assertEqual(["CustomMode is not 0"], self.failures(secure_boot_records(custom=b"\x01")))

    def test_a_deleted_db_does_not_count_and_deleted_records_fail(self):
        records = secure_boot_records().replace(
            record("db", vs.IMAGE_SECURITY_DATABASE_GUID, signature_list(CERT)),
            record("db", vs.IMAGE_SECURITY_DATABASE_GUID, signature_list(CERT), state=0x3C))
        self.assertEqual(["no db", "records not live: db"], self.failures(records))

    def test_the_certificate_is_found_among_several_signature_lists(self):
        data = signature_list(OTHER_CERT) + signature_list(CERT)
        self.assertEqual([OTHER_CERT, CERT], vs.x509_signatures(data))
        with self.assertRaisesRegex(vs.VarstoreError, "malformed"):
            vs.x509_signatures(data[:-1])


class SetDatabasesTest(unittest.TestCase):
    DIGEST = bytes(range(32))

    def setUp(self):
        self.before = record("Lang", vs.GLOBAL_VARIABLE_GUID, b"eng")
        self.db = record("db", vs.IMAGE_SECURITY_DATABASE_GUID, signature_list(CERT))
        self.after = record("PK", vs.GLOBAL_VARIABLE_GUID, signature_list(CERT))

    def store(self, *records):
        return vs.Varstore(volume(records=b"".join(records)))

    def test_db_and_dbx_hold_exactly_the_lists_given_and_the_rest_is_unchanged(self):
        db = signature_list(OTHER_CERT)
        dbx = hash_list(self.DIGEST) + signature_list(CERT)
        out = vs.set_databases(self.store(self.before, self.db, self.after), db, dbx)
        variables = out.variables()
        self.assertEqual(["Lang", "db", "dbx", "PK"], [v.name for v in variables])
        self.assertEqual(self.before.rstrip(b"\xee"), variables[0].record)
        self.assertEqual(self.after.rstrip(b"\xee"), variables[3].record)
        self.assertEqual((db, dbx), (variables[1].data, variables[2].data))
        for variable in variables[1:3]:
            # The header of the source's db: live, time-based authenticated
            # write access, its count and time stamp, the database GUID.
            self.assertEqual((vs.VAR_ADDED, 0x27, 7, vs.IMAGE_SECURITY_DATABASE_GUID),
                             (variable.state, variable.attributes, variable.monotonic_count, variable.guid))
            self.assertEqual(self.db[8:36], variable.record[8:36])
        self.assertEqual({"db": {"x509": [hashlib.sha256(OTHER_CERT).hexdigest()], "sha256": []},
                          "dbx": {"x509": [hashlib.sha256(CERT).hexdigest()], "sha256": [self.DIGEST.hex()]}},
                         vs.databases(out))
        end = vs.align(variables[-1].end)
        self.assertEqual(b"\xff" * (len(out.blob) - end), bytes(out.blob[end:]))

    def test_without_a_dbx_list_an_old_dbx_is_dropped(self):
        old_dbx = record("dbx", vs.IMAGE_SECURITY_DATABASE_GUID, hash_list(self.DIGEST))
        out = vs.set_databases(self.store(self.db, old_dbx, self.after), signature_list(OTHER_CERT), b"")
        self.assertEqual(["db", "PK"], [v.name for v in out.variables()])
        self.assertEqual([], vs.databases(out)["dbx"]["sha256"])

    def test_what_cannot_be_set_is_refused(self):
        with self.assertRaisesRegex(vs.VarstoreError, "not live"):
            vs.set_databases(self.store(record("Lang", vs.GLOBAL_VARIABLE_GUID, b"x", state=0x3C), self.db),
                             signature_list(CERT), b"")
        with self.assertRaisesRegex(vs.VarstoreError, "no db"):
            vs.set_databases(self.store(self.before), signature_list(CERT), b"")
        with self.assertRaisesRegex(vs.VarstoreError, "at least one"):
            vs.set_databases(self.store(self.db), b"", hash_list(self.DIGEST))
        with self.assertRaisesRegex(vs.VarstoreError, "malformed"):
            vs.set_databases(self.store(self.db), signature_list(CERT), hash_list(self.DIGEST)[:-1])
        with self.assertRaisesRegex(vs.VarstoreError, "do not fit"):
            vs.set_databases(self.store(self.db), signature_list(CERT * 6), b"")


if __name__ == "__main__":
    unittest.main()
