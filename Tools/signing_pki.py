"""A certificate hierarchy for tests, made at run time with openssl: roots
(like a platform vendor's option-ROM CA), issuing CAs under them and leaf
signers under those (like a card maker's certificate), each an RSA-2048 key
and a PEM certificate in a folder of the caller's. A leaf may be given
validity dates in the past.

    pki = Pki(directory)
    root = pki.root("Option ROM CA")
    issuing = pki.issue(root, "Option ROM issuing CA", kind="issuing")
    signer = pki.issue(issuing, "Card maker", start="20200101000000Z", end="20210101000000Z")
    signer.key, signer.cert, signer.der()

Python standard library and the openssl command only.
"""

import os
import re
import subprocess
import types

# The extensions of each kind: a root, an issuing CA that may issue only
# leaves, an intermediate CA that may issue CAs, and a code-signing leaf.
CONFIG = """[ca]
default_ca = issuer

[issuer]
database = {directory}/index.txt
new_certs_dir = {directory}/issued
serial = {directory}/serial
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none

[any_name]
commonName = supplied

[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash

[issuing]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[intermediate]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


class PkiError(Exception):
    pass


def openssl(*arguments):
    result = subprocess.run(["openssl", *arguments], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise PkiError("openssl %s: %s" % (arguments[0], result.stdout.strip().splitlines()[-1:]))
    return result.stdout


class Signer(types.SimpleNamespace):
    """key, cert (paths), name (the common name), issuer (a Signer, or None
    for a root)."""

    def der(self):
        """The certificate's DER bytes."""
        return subprocess.run(["openssl", "x509", "-in", self.cert, "-outform", "DER"], check=True,
                              stdout=subprocess.PIPE).stdout

    def chain(self):
        """The CA certificates above this one, nearest first, root excluded."""
        found, issuer = [], self.issuer
        while issuer is not None and issuer.issuer is not None:
            found.append(issuer)
            issuer = issuer.issuer
        return found


class Pki:
    def __init__(self, directory):
        self.directory = os.path.abspath(directory)
        os.makedirs(os.path.join(self.directory, "issued"), exist_ok=True)
        open(os.path.join(self.directory, "index.txt"), "w").close()
        with open(os.path.join(self.directory, "serial"), "w") as serial:
            serial.write("1000\n")
        self.config = os.path.join(self.directory, "openssl.cnf")
        with open(self.config, "w") as config:
            config.write(CONFIG.format(directory=self.directory))

    def path(self, name, suffix):
        return os.path.join(self.directory, re.sub(r"[^A-Za-z0-9]+", "-", name).strip("-").lower() + suffix)

    def root(self, name, days=30):
        signer = Signer(key=self.path(name, ".key"), cert=self.path(name, ".pem"), name=name, issuer=None)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", str(days), "-subj", "/CN=" + name,
                "-config", self.config, "-extensions", "root", "-keyout", signer.key, "-out", signer.cert)
        return signer

    def issue(self, issuer, name, kind="leaf", start=None, end=None, days=30):
        """A certificate for name issued by issuer, of kind "leaf",
        "issuing" or "intermediate"; start and end (YYYYMMDDHHMMSSZ) set
        its validity instead of days from now."""
        if kind not in ("leaf", "issuing", "intermediate"):
            raise PkiError("no certificate kind %r" % kind)
        signer = Signer(key=self.path(name, ".key"), cert=self.path(name, ".pem"), name=name, issuer=issuer)
        request = self.path(name, ".csr")
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name, "-keyout", signer.key,
                "-out", request)
        validity = ["-startdate", start, "-enddate", end] if start else ["-days", str(days)]
        openssl("ca", "-batch", "-notext", "-config", self.config, "-extensions", kind,
                "-cert", issuer.cert, "-keyfile", issuer.key, "-in", request, "-out", signer.cert, *validity)
        return signer

    def chain_file(self, signer, name=None):
        """A PEM file of signer's intermediates (nearest first)."""
        path = self.path(name or signer.name, ".chain.pem")
        with open(path, "w") as target:
            for ca in signer.chain():
                with open(ca.cert) as source:
                    target.write(source.read())
        return path
