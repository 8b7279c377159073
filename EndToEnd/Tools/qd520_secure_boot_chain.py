#!/usr/bin/env python3
"""The driver signed through a certificate chain, as the platform vendors'
option-ROM CA issues it, in the firmware that enforces Secure Boot,
option-ROM verification and W^X (the OVMF of qd520_secure_boot.py), on
varstores made for each case.

Made here at run time (Tools/signing_pki.py, openssl): a root "option-ROM
CA", an issuing CA under it and a card maker's signer under that; a signer
of the same issuing CA whose certificate expired in 2021; another root
(standing for the CA a machine had before, never updated) with its own
issuing CA and signer. The ROMs (Tools/sign-image.sh --chain, every image
of the ROM signed, the issuing CA embedded in each signature):

  chain    signed by the card maker's signer
  expired  signed by the expired signer
  dual     the chain ROM's images signed again under the other root (sbsign
           appends a second signature)

The varstores: Debian's snakeoil PK and KEK (the build's test varstore),
db and dbx as each case needs them (efitools' cert-to-efi-sig-list and
hash-to-efi-sig-list, Tools/ovmf_varstore.py set-databases). The cases,
each one boot, run two at a time:

  chain            db: root                  accepted, protected, draws
  old-db           db: other root            refused: not allowed by db
  dbx-hash         db: root; dbx: the X64 image's SHA-256
                                             refused: hash found in dbx
  dbx-signer       db: root; dbx: signer     refused: forbidden by dbx
  dbx-issuing      db: root; dbx: issuing CA refused: forbidden by dbx
  expired          db: root                  accepted (no dates checked)
  dual-root        db: root                  accepted
  dual-other-root  db: other root            accepted: the first signature
                                             is not allowed, the second is
  dual-dbx-signer  db: both roots; dbx: signer         refused
  dual-dbx-other   db: both roots; dbx: other signer   refused

An accepted boot ends when the shell's banner is on the QD520's screen: the
image deferred to EndOfDxe, verified by db and loaded once, its code pages
read-only and data pages no-execute in the firmware's log and in the page
tables, the driver's banner on the serial port. A refused boot ends when
the shell has started: the firmware's reason, no load, no banner, the
screen black.

Exit status 0 when every check passed; 77 (skipped) when the firmware could
not be built from the kit (--unavailable names the file that says why).
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qd520_e2e  # noqa: E402
import qd520_screen  # noqa: E402
import qd520_secure_boot as sb  # noqa: E402

sys.path.insert(0, sb.TOOLS)
import ovmf_varstore  # noqa: E402
import signing_pki  # noqa: E402

SKIPPED = qd520_e2e.SKIPPED
OWNER = "5144d520-0000-4c4d-8a5e-00000000520a"   # the owner GUID of the test's signature list entries
SHELL_BANNER = "UEFI Interactive Shell"
FORBIDDEN = "Image is signed but signature is forbidden by DBX."
HASH_IN_DBX = "Image is signed but SHA256 hash of image is found in DBX."
EXPIRED_START, EXPIRED_END = "20200101000000Z", "20210101000000Z"

# name: (ROM, db entries, dbx entries, reason of the refusal or None when
# accepted, signatures that are not allowed before one is, what it shows)
CASES = {
    "chain": ("chain", ["root"], [], None, 0, "db holds the root: accepted"),
    "old-db": ("chain", ["other-root"], [], sb.NOT_IN_DB, 0,
               "db holds only another root (a machine never given the new CA): refused"),
    "dbx-hash": ("chain", ["root"], ["hash"], HASH_IN_DBX, 0,
                 "dbx holds the image's SHA-256: refused though the chain leads to db"),
    "dbx-signer": ("chain", ["root"], ["signer"], FORBIDDEN, 0, "dbx holds the signer's certificate: refused"),
    "dbx-issuing": ("chain", ["root"], ["issuing"], FORBIDDEN, 0, "dbx holds the issuing CA: refused"),
    "expired": ("expired", ["root"], [], None, 0,
                "the signer's certificate expired in 2021: accepted (the firmware checks no dates)"),
    "dual-root": ("dual", ["root"], [], None, 0, "signed under two roots, db holds the first: accepted"),
    "dual-other-root": ("dual", ["other-root"], [], None, 1,
                        "signed under two roots, db holds the second: accepted by the second signature"),
    "dual-dbx-signer": ("dual", ["root", "other-root"], ["signer"], FORBIDDEN, 0,
                        "signed under two roots, both in db, the first signer in dbx: refused"),
    "dual-dbx-other": ("dual", ["root", "other-root"], ["other-signer"], FORBIDDEN, 0,
                       "signed under two roots, both in db, the second signer in dbx: refused"),
}
# The accepted boots (the longer ones) first.
ORDER = sorted(CASES, key=lambda name: CASES[name][3] is not None)


def run(command):
    """Runs a tool; its output on failure in the exception's message."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (os.path.basename(command[0]), result.stdout.strip()))
    return result.stdout


class Matrix:
    """The certificates, ROMs, signature lists and varstores of the cases,
    made in directory."""

    def __init__(self, args, directory):
        self.args = args
        self.directory = directory
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        pki = signing_pki.Pki(os.path.join(directory, "pki"))
        root = pki.root("QD520 test option ROM CA")
        issuing = pki.issue(root, "QD520 test option ROM issuing CA", kind="issuing")
        other_root = pki.root("QD520 test older root CA")
        other_issuing = pki.issue(other_root, "QD520 test older issuing CA", kind="issuing")
        self.signers = {
            "root": root, "issuing": issuing, "other-root": other_root,
            "signer": pki.issue(issuing, "QD520 test card maker"),
            "expired": pki.issue(issuing, "QD520 test card maker expired", start=EXPIRED_START, end=EXPIRED_END),
            "other-signer": pki.issue(other_issuing, "QD520 test card maker older CA"),
        }
        chain, other_chain = pki.chain_file(self.signers["signer"]), pki.chain_file(self.signers["other-signer"])
        self.images = {}
        self.roms = {}
        self.sign("chain", self.signers["signer"], chain, args.images)
        self.sign("expired", self.signers["expired"], chain, args.images)
        self.sign("dual", self.signers["other-signer"], other_chain, self.images["chain"])
        self.lists = {name: self.certificate_list(name) for name in ("root", "other-root", "signer", "issuing",
                                                                      "other-signer")}
        self.lists["hash"] = self.hash_list(self.images["chain"][0])
        self.varstores = {}

    def sign(self, name, signer, chain, images):
        """The ROM name of images signed by signer through chain."""
        folder = os.path.join(self.directory, name)
        os.makedirs(folder)
        signed = [os.path.join(folder, re.sub(r"(\.signed)?\.efi$", ".signed.efi", os.path.basename(image)))
                  for image in images]
        rom = os.path.join(folder, "Quandrel520Gop.%s.rom" % name)
        run([os.path.join(sb.TOOLS, "sign-image.sh"), "--chain", chain, signer.key, signer.cert, self.args.efirom,
             rom, *[path for pair in zip(images, signed) for path in pair]])
        self.images[name] = signed
        self.roms[name] = rom

    def certificate_list(self, name):
        path = os.path.join(self.directory, "%s.esl" % name)
        run(["cert-to-efi-sig-list", "-g", OWNER, self.signers[name].cert, path])
        return path

    def hash_list(self, image):
        """The signature list of the image's Authenticode SHA-256, the hash
        the firmware computes and looks up in db and dbx."""
        path = os.path.join(self.directory, "hash.esl")
        run(["hash-to-efi-sig-list", image, path])
        return path

    def varstore(self, db, dbx):
        """The varstore of the test's PK and KEK with db and dbx holding
        the named entries (made once for each pair)."""
        key = "db-%s.dbx-%s" % ("+".join(db), "+".join(dbx) or "none")
        if key not in self.varstores:
            path = os.path.join(self.directory, "OVMF_VARS.%s.fd" % key)
            run([sys.executable, "-B", os.path.join(sb.TOOLS, "ovmf_varstore.py"), "set-databases",
                 self.args.ovmf_vars, path, "--db", *[self.lists[name] for name in db]]
                + (["--dbx", *[self.lists[name] for name in dbx]] if dbx else []))
            self.varstores[key] = path
        return self.varstores[key]

    def expected_databases(self, db, dbx):
        """What ovmf_varstore.databases must read back for db and dbx."""
        def entries(names):
            return {"x509": [hashlib.sha256(self.signers[name].der()).hexdigest() for name in names if name != "hash"],
                    "sha256": [self.image_hash()] if "hash" in names else []}
        return {"db": entries(db), "dbx": entries(dbx)}

    def image_hash(self):
        with open(self.lists["hash"], "rb") as source:
            return ovmf_varstore.sha256_signatures(source.read())[0].hex()


class CaseMixin:
    """A case of the matrix: its varstore checked before anything else."""

    def setup_case(self, case, matrix):
        self.case = case
        rom, self.db, self.dbx, self.reason, self.not_allowed_first, self.what = CASES[case]
        self.expected = matrix.expected_databases(self.db, self.dbx)
        self.signers = matrix.signers
        return types.SimpleNamespace(**dict(vars(self.args), rom=matrix.roms[rom], driver=self.args.images[0],
                                            ovmf_vars=matrix.varstore(self.db, self.dbx)))

    def check_varstore(self):
        held = ovmf_varstore.databases(ovmf_varstore.Varstore.read(self.args.ovmf_vars))
        self.check("varstore: db holds %s; dbx holds %s; PK and KEK the test's"
                   % (" and ".join(self.db), " and ".join(self.dbx) or "nothing"), held == self.expected,
                   "read back %s" % held)


class AcceptedChainBoot(CaseMixin, sb.SecureBootMixin, qd520_e2e.Boot):
    """The ROM accepted: verified by db, loaded once, protected, and the
    shell's console drawn by the driver."""

    def __init__(self, case, args, matrix):
        super().__init__(case, args)
        self.args = self.setup_case(case, matrix)
        self.devices = [{"id": "qd520", "rom": True}]
        self.layout = sb.PeLayout.read(matrix.images[CASES[case][0]][0])
        self.font = qd520_screen.load_font(args.edk2)

    def drive(self):
        self.qemu.wait_serial(qd520_e2e.SHELL_STARTED)
        self.pci = self.qemu.pci_devices()
        path = os.path.join(self.directory, "screen.ppm")
        # The graphics console draws the banner as the serial console
        # prints it; a driver that has not started by the time the shell
        # has will not draw it, so there is nothing to wait for.
        started = qd520_e2e.BANNER in self.qemu.serial()
        while True:
            self.qemu.screendump(path, "qd520")
            if not started or qd520_screen.find_text(qd520_screen.read_ppm(path), self.font, SHELL_BANNER):
                break
            self.qemu.tick("the shell's banner on the QD520's screen")
        self.read_page_tables()
        self.qemu.quit()

    def check_all(self):
        self.check_varstore()
        self.check_run()
        log = self.firmware_log()
        self.check_verification_passed(log, 1)
        path = sb.rom_image_path(self.pci["qd520"], self.args.rom) if "qd520" in self.pci else "?"
        reasons = verification_reasons(log, path)
        self.check("firmware log: %d signature(s) not allowed by db before one was" % self.not_allowed_first,
                   reasons == [sb.NOT_IN_DB] * self.not_allowed_first, "reasons logged: %s" % reasons)
        self.check_protected(log)
        serial = self.qemu.serial()
        self.check_serial_basics(serial, 1)
        screen = self.screendump("screen")
        if screen is not None:
            self.check_text_on_screen("the QD520's screen", screen, [SHELL_BANNER])


class RefusedChainBoot(CaseMixin, sb.RefusedRomBoot):
    """The ROM refused with the case's reason; the driver never runs."""

    def __init__(self, case, args, matrix):
        super().__init__(case, args)
        self.args = self.setup_case(case, matrix)

    def rom(self):
        return self.args.rom

    def check_all(self):
        self.check_varstore()
        super().check_all()


def verification_reasons(log, path):
    """The verification's reasons logged for path after EndOfDxe, before it
    was loaded or refused (one per signature it did not accept)."""
    lines = log.splitlines()
    for index, line in enumerate(lines):
        if line.endswith(sb.LOADABLE + path + "."):
            reasons = []
            for after in lines[index + 1:]:
                if sb.LOADING.match(after) or after.startswith(sb.REFUSED):
                    break
                match = sb.REFUSAL_REASON.match(after)
                if match:
                    reasons.append(match.group(1).strip().split(" and ")[0])
            return reasons
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    qd520_e2e.add_qemu_arguments(parser, timeout=150, packaged_ovmf=False)
    parser.add_argument("--ovmf-code", required=True, help="OVMF_CODE.fd of Tools/build-ovmf.sh")
    parser.add_argument("--ovmf-vars", required=True, help="its Secure Boot varstore (PK and KEK kept, db and dbx set)")
    parser.add_argument("--unavailable", help="the file that says why the firmware was not built, if it exists")
    parser.add_argument("--images", required=True, nargs="+", help="the unsigned images of the ROM, X64 first")
    parser.add_argument("--efirom", required=True, help="the kit's EfiRom")
    parser.add_argument("--edk2", required=True, help="EDK II tree (the console font)")
    parser.add_argument("--output", required=True, help="directory for the boots' files")
    parser.add_argument("--case", action="append", choices=ORDER, help="case to run (repeatable)")
    args = parser.parse_args()

    skip = qd520_e2e.firmware_skip("secure boot through a chain", args.unavailable, (args.ovmf_code, args.ovmf_vars))
    if skip:
        print(skip)
        return SKIPPED
    absent = qd520_e2e.missing(("sbsign", "sbattach", "openssl", "cert-to-efi-sig-list", "hash-to-efi-sig-list"))
    if absent:
        print(absent)
        return 2

    start = time.monotonic()
    try:
        matrix = Matrix(args, os.path.join(args.output, "matrix"))
        boots = [(AcceptedChainBoot if CASES[case][3] is None else RefusedChainBoot)(case, args, matrix)
                 for case in args.case or ORDER]
    except (RuntimeError, signing_pki.PkiError, ovmf_varstore.VarstoreError, OSError) as error:
        print("secure boot through a chain: FAILED making the certificates, ROMs and varstores: %s" % error)
        return 1
    print("secure boot through a chain: certificates, %d ROMs, %d signature lists, %d varstores made in %.1f s"
          % (len(matrix.roms), len(matrix.lists), len(matrix.varstores), time.monotonic() - start))
    for boot in boots:
        print("  %-16s %s" % (boot.case, boot.what))
    return qd520_e2e.run_boots(boots, args.jobs, "secure boot through a chain", start)


if __name__ == "__main__":
    sys.exit(main())
