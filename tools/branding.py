"""The launcher that goes into the zip: built again with the maker's icon and
names in its resources, then signed with Authenticode by osslsigncode and
verified, the signature being the last change to the file."""
import calendar
import os
import shutil
import struct
import subprocess
import sys
import time
from dataclasses import dataclass

PRESETS = {"x64": "windows", "ARM64": "windows-arm64"}
# Signatures are byte-reproducible only within one osslsigncode version,
# and verification needs its -ignore-crl (no network for revocation lists).
OSSLSIGNCODE = "osslsigncode 2.9"
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"


class Refusal(Exception):
    """One line for the maker: what is wrong with which input, what to do."""


@dataclass
class Signing:
    cert: str = None
    key: str = None
    pkcs12: str = None
    password_file: str = None
    timestamp_url: str = None


def add_signing_options(parser):
    for option in ("sign-cert", "sign-key", "sign-pkcs12", "sign-password-file",
                   "sign-timestamp-url"):
        parser.add_argument("--" + option, default="")


def read_signing(args):
    signing = Signing(args.sign_cert or None, args.sign_key or None,
                      args.sign_pkcs12 or None, args.sign_password_file or None,
                      args.sign_timestamp_url or None)
    if signing == Signing():
        return None
    if signing.pkcs12:
        if signing.cert or signing.key:
            raise Refusal("sign with SIGN_CERT and SIGN_KEY or with SIGN_PKCS12, "
                          "not both.")
        needed = [("SIGN_PKCS12", signing.pkcs12)]
    elif signing.cert and signing.key:
        needed = [("SIGN_CERT", signing.cert), ("SIGN_KEY", signing.key)]
    else:
        raise Refusal("signing needs SIGN_CERT=<certificate chain, PEM> with "
                      "SIGN_KEY=<private key, PEM>, or SIGN_PKCS12=<.pfx>.")
    if signing.password_file:
        needed.append(("SIGN_PASSWORD_FILE", signing.password_file))
    for what, path in needed:
        if not os.path.isfile(path):
            raise Refusal(f"{what}={path} is not a file.")
    return signing


def check_icon(path):
    """An .ico as Windows reads it: a directory of images, each inside the
    file. windres would take much else and fail later, or not at all."""
    if not os.path.isfile(path):
        raise Refusal(f"ICON={path} is not a file: name a Windows .ico file.")
    with open(path, "rb") as f:
        data = f.read()
    valid = len(data) >= 6
    if valid:
        reserved, kind, count = struct.unpack_from("<HHH", data)
        valid = reserved == 0 and kind == 1 and 0 < count and len(data) >= 6 + 16 * count
    for i in range(count if valid else 0):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * i + 8)
        valid = valid and size > 0 and offset >= 6 + 16 * count \
            and offset + size <= len(data)
    if not valid:
        raise Refusal(f"ICON={path} is not a valid .ico file: make one with "
                      "ImageMagick (convert 16.png 32.png 48.png 256.png app.ico).")


def run(command, what, **options):
    result = subprocess.run(command, capture_output=True, text=True, **options)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise Refusal(f"{what} (exit {result.returncode}); its own message is above.")
    return result.stdout


def brand(inputs, arch, launcher, scratch, name, version):
    """The launcher built again with the maker's icon, ProductName and
    ProductVersion; the prebuilt one when there is nothing to brand."""
    if not (inputs.icon or name or version):
        return launcher
    build = os.path.join(scratch, "launcher-" + arch)
    options = [f"-DHL_PRODUCT_NAME={name or 'Harbor-Lantern'}",
               f"-DHL_ICON={os.path.abspath(inputs.icon) if inputs.icon else ''}"]
    if version:
        options.append(f"-DHL_PRODUCT_VERSION={version}")
    run(["cmake", "--preset", PRESETS[arch], "-B", build, *options],
        "CMake could not configure the branded launcher", cwd=inputs.source_dir)
    run(["cmake", "--build", build, "--target", "Harbor-Lantern"],
        "the branded launcher did not build", cwd=inputs.source_dir)
    return os.path.join(build, "Harbor-Lantern.exe")


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


def sign(signing, launcher, target, name, scratch):
    if signing is None:
        shutil.copyfile(launcher, target)
        return
    check_osslsigncode()
    certificates = os.path.join(scratch, "certificates.pem")
    leaf = os.path.join(scratch, "leaf.pem")
    if signing.pkcs12:
        password = f"file:{signing.password_file}" if signing.password_file else "pass:"
        for only_leaf, out in ((False, certificates), (True, leaf)):
            run(["openssl", "pkcs12", "-in", signing.pkcs12, "-nokeys", "-passin",
                 password, "-out", out] + (["-clcerts"] if only_leaf else []),
                f"openssl could not read SIGN_PKCS12={signing.pkcs12}")
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
               "-time", str(signing_time(leaf)), *timestamp, "-in", launcher,
               "-out", signed]
    run(command, "osslsigncode could not sign the launcher with "
        + (f"SIGN_PKCS12={signing.pkcs12}" if signing.pkcs12 else
           f"SIGN_CERT={signing.cert} and SIGN_KEY={signing.key}"))
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
    shutil.copyfile(signed, target)
