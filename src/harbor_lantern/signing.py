"""Authenticode: the branded launcher signed by osslsigncode and verified
before it goes into the zip. The signature is the last change to the file:
it covers everything but the checksum and the certificate table."""
import calendar
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass

from .refusal import Refusal

# Signatures are byte-reproducible only within one osslsigncode version,
# and verification needs its -ignore-crl (no network for revocation lists).
OSSLSIGNCODE = "osslsigncode 2.9"
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"


@dataclass
class Signing:
    cert: str = None
    key: str = None
    pkcs12: str = None
    password_file: str = None
    timestamp_url: str = None


def read_signing(cert=None, key=None, pkcs12=None, password_file=None,
                 timestamp_url=None):
    signing = Signing(cert, key, pkcs12, password_file, timestamp_url)
    if signing == Signing():
        return None
    if signing.pkcs12:
        if signing.cert or signing.key:
            raise Refusal("sign with --sign-cert and --sign-key or with --sign-pkcs12, "
                          "not both.")
        needed = [("--sign-pkcs12", signing.pkcs12)]
    elif signing.cert and signing.key:
        needed = [("--sign-cert", signing.cert), ("--sign-key", signing.key)]
    else:
        raise Refusal("signing needs --sign-cert (certificate chain, PEM) with "
                      "--sign-key (private key, PEM), or --sign-pkcs12 (.pfx).")
    if signing.password_file:
        needed.append(("--sign-password-file", signing.password_file))
    for what, path in needed:
        if not os.path.isfile(path):
            raise Refusal(f"{what} {path} is not a file.")
    return signing


def run(command, what, **options):
    result = subprocess.run(command, capture_output=True, text=True, **options)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise Refusal(f"{what} (exit {result.returncode}); its own message is above.")
    return result.stdout


def signing_time(leaf):
    """A fixed signing time keeps the signature reproducible: the build's
    SOURCE_DATE_EPOCH, or else the moment the certificate became valid."""
    if os.environ.get("SOURCE_DATE_EPOCH", "").isdigit():
        return int(os.environ["SOURCE_DATE_EPOCH"])
    start = run(["openssl", "x509", "-noout", "-startdate", "-in", leaf],
                "openssl could not read the signing certificate")
    stamp = start.strip().partition("=")[2]
    return calendar.timegm(time.strptime(stamp, "%b %d %H:%M:%S %Y %Z"))


def check_osslsigncode():
    found = ""
    if shutil.which("osslsigncode"):
        found = subprocess.run(["osslsigncode", "--version"], capture_output=True,
                               text=True).stdout.partition(",")[0]
    if found != OSSLSIGNCODE:
        raise Refusal(f"signing needs {OSSLSIGNCODE} (found: {found or 'none'}): "
                      "apt-get install -t bookworm-backports osslsigncode.")


def sign(signing, launcher, name, scratch):
    """The signed launcher's bytes; the launcher's own when not signing."""
    if signing is None:
        return launcher
    check_osslsigncode()
    unsigned = os.path.join(scratch, "unsigned.exe")
    with open(unsigned, "wb") as f:
        f.write(launcher)
    certificates = os.path.join(scratch, "certificates.pem")
    leaf = os.path.join(scratch, "leaf.pem")
    if signing.pkcs12:
        password = f"file:{signing.password_file}" if signing.password_file else "pass:"
        for only_leaf, out in ((False, certificates), (True, leaf)):
            run(["openssl", "pkcs12", "-in", signing.pkcs12, "-nokeys", "-passin",
                 password, "-out", out] + (["-clcerts"] if only_leaf else []),
                f"openssl could not read --sign-pkcs12 {signing.pkcs12}")
        credentials = ["-pkcs12", signing.pkcs12]
    else:
        # The leaf comes first in a chain file.
        shutil.copyfile(signing.cert, certificates)
        shutil.copyfile(signing.cert, leaf)
        credentials = ["-certs", signing.cert, "-key", signing.key]
    if signing.password_file:
        credentials += ["-readpass", signing.password_file]
    signed = os.path.join(scratch, "signed.exe")
    timestamp = ["-ts", signing.timestamp_url] if signing.timestamp_url else []
    command = ["osslsigncode", "sign", *credentials, "-h", "sha256", "-n", name,
               "-time", str(signing_time(leaf)), *timestamp, "-in", unsigned,
               "-out", signed]
    run(command, "osslsigncode could not sign the launcher with "
        + (f"--sign-pkcs12 {signing.pkcs12}" if signing.pkcs12 else
           f"--sign-cert {signing.cert} and --sign-key {signing.key}"))
    # Trusted for this check: the system's roots and the maker's own chain,
    # so that a chain to a private root verifies too; what is checked is
    # that the signature is whole and matches the file.
    trust = os.path.join(scratch, "trust.pem")
    with open(trust, "w") as out:
        for path in (SYSTEM_ROOTS, certificates):
            if os.path.isfile(path):
                with open(path) as f:
                    out.write(f.read() + "\n")
    run(["osslsigncode", "verify", "-ignore-crl", "-CAfile", trust, "-in", signed],
        "the signed launcher does not verify")
    with open(signed, "rb") as f:
        return f.read()
