"""Tests of Tools/sign-image.sh with keys made here: a good pair gives an
image that verifies against its certificate only, and its ROM; each way
signing can fail stops with one line, leaves no signed file and does not
touch the unsigned image. Needs QD520_EFI_IMAGE and QD520_EFIROM (the
build's) and sbsigntool and openssl."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SIGN = os.path.join(TOOLS, "sign-image.sh")
IMAGE = os.environ.get("QD520_EFI_IMAGE", "")
EFIROM = os.environ.get("QD520_EFIROM", "")


def make_pair(directory, name, passphrase=None):
    key, cert = os.path.join(directory, name + ".key"), os.path.join(directory, name + ".pem")
    command = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-days", "1", "-subj", "/CN=%s" % name,
               "-keyout", key, "-out", cert]
    command += ["-passout", "pass:" + passphrase] if passphrase else ["-nodes"]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return key, cert


@unittest.skipUnless(os.path.isfile(IMAGE) and os.path.isfile(EFIROM), "QD520_EFI_IMAGE and QD520_EFIROM not given")
class SignImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp()
        cls.key, cls.cert = make_pair(cls.keys, "QD520 signing test")
        cls.other_key, cls.other_cert = make_pair(cls.keys, "QD520 other signer")
        cls.locked_key, cls.locked_cert = make_pair(cls.keys, "QD520 locked", passphrase="open sesame")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys)

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.image = os.path.join(self.work, "Driver.efi")
        shutil.copyfile(IMAGE, self.image)
        self.image_digest = self.digest(self.image)
        self.signed = os.path.join(self.work, "Driver.signed.efi")
        self.rom = os.path.join(self.work, "Driver.signed.rom")

    def tearDown(self):
        shutil.rmtree(self.work)

    def digest(self, path):
        with open(path, "rb") as source:
            return hashlib.sha256(source.read()).hexdigest()

    def sign(self, key, cert, *options, env=None):
        return subprocess.run([SIGN, *options, key, cert, EFIROM, self.rom, self.image, self.signed],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)

    def verifies(self, cert):
        return subprocess.run(["sbverify", "--cert", cert, self.signed], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    def assertRefused(self, result, message):
        self.assertEqual(1, result.returncode, result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(1, len(lines), result.stderr)
        self.assertTrue(lines[0].startswith("sign: "), lines[0])
        self.assertIn(message, lines[0])
        self.assertFalse(os.path.exists(self.signed), "a signed image was left")
        self.assertFalse(os.path.exists(self.rom), "a signed ROM was left")
        self.assertEqual(self.image_digest, self.digest(self.image), "the unsigned image changed")
        self.assertEqual([], [name for name in os.listdir(self.work) if ".tmp" in name])

    def test_a_pair_signs_an_image_that_verifies_against_its_certificate_only(self):
        result = self.sign(self.key, self.cert)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("signed by CN = QD520 signing test", result.stdout)
        self.assertNotIn("TEST key", result.stdout)
        self.assertTrue(self.verifies(self.cert))
        self.assertFalse(self.verifies(self.other_cert))
        self.assertEqual(self.image_digest, self.digest(self.image))
        with open(self.rom, "rb") as rom:
            self.assertEqual(b"\x55\xaa", rom.read(2))

    def test_the_test_key_says_so(self):
        result = self.sign(self.key, self.cert, "--test-key")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("TEST key", result.stdout)
        self.assertIn("never ship it", result.stdout)

    def test_an_encrypted_key_signs_with_its_passphrase_and_not_without(self):
        result = self.sign(self.locked_key, self.locked_cert, "--passin", "pass:open sesame")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertTrue(self.verifies(self.locked_cert))
        os.unlink(self.signed)
        os.unlink(self.rom)
        self.assertRefused(self.sign(self.locked_key, self.locked_cert, "--passin", "pass:wrong"),
                           "wrong passphrase")

    def test_a_key_that_cannot_be_read_stops_and_removes_old_signed_files(self):
        for path in (self.signed, self.rom):
            with open(path, "wb") as stale:
                stale.write(b"signed by an earlier key")
        self.assertRefused(self.sign(os.path.join(self.keys, "missing.key"), self.cert), "cannot read the key")
        self.assertRefused(self.sign(self.keys, self.cert), "cannot read the key")
        self.assertRefused(self.sign(self.cert, self.cert), "not a PEM private key")

    def test_a_certificate_of_another_key_stops(self):
        self.assertRefused(self.sign(self.key, self.other_cert), "is not the key's")
        self.assertRefused(self.sign(self.key, self.key), "cannot read the certificate")

    def test_without_sbsigntool_it_stops(self):
        bin_dir = os.path.join(self.work, "bin")
        os.mkdir(bin_dir)
        for tool in ("bash", "rm", "mktemp", "openssl"):
            os.symlink(shutil.which(tool), os.path.join(bin_dir, tool))
        self.assertRefused(self.sign(self.key, self.cert, env=dict(os.environ, PATH=bin_dir)),
                           "sbsign not found: install sbsigntool")

    def test_an_image_sbsign_cannot_sign_leaves_nothing(self):
        with open(self.image, "wb") as image:
            image.write(b"MZ not a PE image")
        self.image_digest = self.digest(self.image)
        self.assertRefused(self.sign(self.key, self.cert), "sbsign failed")


if __name__ == "__main__":
    unittest.main()
