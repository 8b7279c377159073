"""Tests of Tools/sign-image.sh with keys made here: a good pair gives an
image that verifies against its certificate only, and its ROM; a signer
under an issuing CA signs with the chain embedded, so the root alone
verifies it; each way signing can fail stops with one line, leaves no
signed file and does not touch the unsigned image. Needs QD520_EFI_IMAGE
and QD520_EFIROM (the build's) and sbsigntool and openssl."""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, TOOLS)
import signing_pki  # noqa: E402
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


def signatures(path):
    """sbverify --list of path: [[subject of each certificate]] per signature."""
    listing = subprocess.run(["sbverify", "--list", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True).stdout
    found = []
    for line in listing.splitlines():
        if re.match(r"^signature \d+", line):
            found.append([])
        match = re.match(r"^ - subject: /CN=(.*)$", line)
        if match and found:
            found[-1].append(match.group(1))
    return found


@unittest.skipUnless(os.path.isfile(IMAGE) and os.path.isfile(EFIROM), "QD520_EFI_IMAGE and QD520_EFIROM not given")
class ChainSignTest(unittest.TestCase):
    """A signer whose certificate an issuing CA issued, as a card maker's
    is under the platform vendors' option-ROM CA."""

    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp()
        pki = signing_pki.Pki(cls.keys)
        cls.root = pki.root("QD520 test option ROM CA")
        cls.issuing = pki.issue(cls.root, "QD520 test issuing CA", kind="issuing")
        cls.signer = pki.issue(cls.issuing, "QD520 test card maker")
        cls.chain = pki.chain_file(cls.signer)
        cls.expired = pki.issue(cls.issuing, "QD520 test expired signer", start="20200101000000Z",
                                end="20210101000000Z")
        # Two intermediates: root, a policy CA, an issuing CA under it.
        cls.policy = pki.issue(cls.root, "QD520 test policy CA", kind="intermediate")
        cls.deep_issuing = pki.issue(cls.policy, "QD520 test deep issuing CA", kind="issuing")
        cls.deep_signer = pki.issue(cls.deep_issuing, "QD520 test deep signer")
        cls.other_root = pki.root("QD520 test other root")
        cls.other_issuing = pki.issue(cls.other_root, "QD520 test other issuing CA", kind="issuing")
        cls.other_signer = pki.issue(cls.other_issuing, "QD520 test other signer")
        cls.pki = pki

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys)

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.images = []
        for name in ("Driver.efi", "Driver.copy.efi"):
            self.images.append(os.path.join(self.work, name))
            shutil.copyfile(IMAGE, self.images[-1])
        self.signed = [path.replace(".efi", ".signed.efi") for path in self.images]
        self.rom = os.path.join(self.work, "Driver.signed.rom")

    def tearDown(self):
        shutil.rmtree(self.work)

    def pem_file(self, name, *signers):
        path = os.path.join(self.work, name)
        with open(path, "w") as target:
            for signer in signers:
                with open(signer.cert) as source:
                    target.write(source.read())
        return path

    def sign(self, signer, chain, images=None, signed=None):
        pairs = [path for pair in zip(images or self.images, signed or self.signed) for path in pair]
        return subprocess.run([SIGN, "--chain", chain, signer.key, signer.cert, EFIROM, self.rom, *pairs],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def verifies(self, root, path, number=1):
        """Whether signature number of the image at path verifies, its hash
        and signature (sbverify) and its signer through the certificates it
        carries to root (openssl: sbverify accepts any certificate as the
        anchor of a chain)."""
        if subprocess.run(["sbverify", "--cert", root, path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode != 0:
            return False
        signature, carried = os.path.join(self.work, "signature.p7"), os.path.join(self.work, "carried.pem")
        subprocess.run(["sbattach", "--detach", signature, "--signum", str(number), path], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-in", signature, "-print_certs", "-out", carried],
                       check=True)
        os.unlink(signature)
        with open(carried) as source:
            signer = source.read().split("-----END CERTIFICATE-----")[0] + "-----END CERTIFICATE-----\n"
        with open(carried + ".signer", "w") as target:
            target.write(signer[signer.index("-----BEGIN"):])
        return subprocess.run(["openssl", "verify", "-no_check_time", "-partial_chain", "-CAfile", root,
                               "-untrusted", carried, carried + ".signer"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    def assertRefused(self, result, message):
        self.assertEqual(1, result.returncode, result.stderr)
        self.assertEqual(1, len(result.stderr.splitlines()), result.stderr)
        self.assertRegex(result.stderr, "^sign: .*" + message)
        self.assertEqual([], [name for name in os.listdir(self.work) if ".signed" in name or ".tmp" in name])

    def test_every_image_carries_the_chain_and_the_root_alone_verifies_it(self):
        result = self.sign(self.signer, self.chain)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("signed by CN = QD520 test card maker through 1 intermediate(s)", result.stdout)
        for path in self.signed:
            self.assertEqual([["QD520 test card maker", "QD520 test issuing CA"]], signatures(path))
            self.assertTrue(self.verifies(self.root.cert, path))
            self.assertFalse(self.verifies(self.other_root.cert, path))
        with open(self.rom, "rb") as rom:
            self.assertEqual(b"\x55\xaa", rom.read(2))

    def test_two_intermediates_in_any_order(self):
        chain = self.pem_file("deep.pem", self.policy, self.deep_issuing)
        result = self.sign(self.deep_signer, chain)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("through 2 intermediate(s)", result.stdout)
        self.assertEqual(["QD520 test deep signer", "QD520 test policy CA", "QD520 test deep issuing CA"],
                         signatures(self.signed[0])[0])
        self.assertTrue(self.verifies(self.root.cert, self.signed[0]))

    def test_an_expired_signer_signs_and_the_line_says_so(self):
        result = self.sign(self.expired, self.chain)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("its certificate expired Jan  1 00:00:00 2021 GMT (firmware checks no dates", result.stdout)
        self.assertTrue(self.verifies(self.root.cert, self.signed[0]))

    def test_a_signed_image_gets_a_second_signature_and_verifies_under_either_root(self):
        self.assertEqual(0, self.sign(self.signer, self.chain).returncode)
        twice = [path.replace(".signed.efi", ".twice.efi") for path in self.signed]
        result = self.sign(self.other_signer, self.pem_file("other.pem", self.other_issuing), self.signed, twice)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual([["QD520 test card maker", "QD520 test issuing CA"],
                          ["QD520 test other signer", "QD520 test other issuing CA"]], signatures(twice[0]))
        self.assertTrue(self.verifies(self.root.cert, twice[0], 1))
        self.assertFalse(self.verifies(self.root.cert, twice[0], 2))
        self.assertTrue(self.verifies(self.other_root.cert, twice[0], 2))

    def test_a_chain_that_does_not_lead_from_the_certificate_is_refused(self):
        self.assertRefused(self.sign(self.signer, self.pem_file("other.pem", self.other_issuing)),
                           "does not lead from the certificate .*: no certificate in it issued it "
                           r"\(issuer CN = QD520 test issuing CA\); nothing signed$")
        self.assertRefused(self.sign(self.signer, self.pem_file("extra.pem", self.issuing, self.other_issuing)),
                           "does not lead from the certificate .*: it holds certificates off the path")
        self.assertRefused(self.sign(self.deep_signer, self.pem_file("gap.pem", self.policy)),
                           "no certificate in it issued it")
        self.assertRefused(self.sign(self.signer, self.pem_file("root.pem", self.issuing, self.root)),
                           "holds the root CN = QD520 test option ROM CA: give the intermediates only")

    def test_a_signature_without_the_chain_is_caught(self):
        # An sbsign that drops --addcert: the image verifies against the
        # signer (sbverify) but firmware holding only the root refuses it.
        bin_dir = os.path.join(self.work, "bin")
        os.mkdir(bin_dir)
        with open(os.path.join(bin_dir, "sbsign"), "w") as wrapper:
            wrapper.write('#!/bin/bash\nargs=()\nwhile [ $# -gt 0 ]; do\n'
                          '  if [ "$1" = --addcert ]; then shift 2; else args+=("$1"); shift; fi\ndone\n'
                          'exec %s "${args[@]}"\n' % shutil.which("sbsign"))
        os.chmod(os.path.join(bin_dir, "sbsign"), 0o755)
        result = subprocess.run([SIGN, "--chain", self.chain, self.signer.key, self.signer.cert, EFIROM, self.rom,
                                 self.images[0], self.signed[0]], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, env=dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"]))
        self.assertRefused(result, "does not carry the certificate and the chain")

    def test_a_chain_that_cannot_be_read_is_refused(self):
        self.assertRefused(self.sign(self.signer, os.path.join(self.work, "missing.pem")), "cannot read the chain")
        self.assertRefused(self.sign(self.signer, self.signer.key), "holds no PEM certificate")
        broken = os.path.join(self.work, "broken.pem")
        with open(broken, "w") as target:
            target.write("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n")
        self.assertRefused(self.sign(self.signer, broken), "not a PEM X.509 certificate")


if __name__ == "__main__":
    unittest.main()
