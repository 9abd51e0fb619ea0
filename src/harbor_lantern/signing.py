"""Authenticode: the branded launcher signed and then verified before it
goes into the zip. The signature is the last change to the file: it covers
everything but the checksum and the certificate table.

Three ways to sign, one at a time: key files (PEM or PKCS#12), a key on a
PKCS#11 token or HSM, both through osslsigncode, or the maker's own signing
command (a signing service's client, signtool, jsign). Whatever signed it,
the check after signing tells a signature that is broken or does not match
the file (a refusal) from one whose chain this machine cannot follow to a
trusted root (a warning: Windows may still trust it).
"""
import calendar
import ctypes
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass

from .refusal import Refusal, warn

# -ignore-crl (no network for revocation lists) and PKCS#11 signing are there
# from 2.5 on. Signatures are byte-reproducible only within one version.
OLDEST_OSSLSIGNCODE = (2, 5)
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
FILE_PLACEHOLDER = "{file}"


@dataclass
class Signing:
    cert: str = None
    key: str = None
    pkcs12: str = None
    password_file: str = None
    pkcs11_module: str = None
    pin_file: str = None
    command: str = None
    timestamp_url: str = None


def split_command(command, windows=os.name == "nt"):
    """The words of --sign-command as the maker's shell would split them. On
    Windows, POSIX rules would take the backslashes of paths as escapes:
    there only double quotes group, and they are taken off."""
    if not windows:
        return shlex.split(command)
    return [w[1:-1] if len(w) > 1 and w[0] == w[-1] == '"' else w
            for w in shlex.split(command, posix=False)]


def read_signing(signing):
    """The signing inputs checked; None when there is nothing to sign with."""
    if signing == Signing():
        return None
    ways = [name for name, given in (
        ("--sign-pkcs12", signing.pkcs12),
        ("--sign-pkcs11-module", signing.pkcs11_module),
        ("--sign-command", signing.command),
        ("--sign-key", signing.key and not signing.pkcs11_module)) if given]
    if len(ways) > 1:
        raise Refusal("sign one way at a time, not with " + " and ".join(ways) + ".")
    if signing.command:
        if any([signing.cert, signing.key, signing.password_file, signing.pin_file]):
            raise Refusal("--sign-command signs by itself: give it no --sign-cert, "
                          "--sign-key, --sign-password-file or --sign-pin-file.")
        try:
            words = split_command(signing.command)
        except ValueError as error:
            raise Refusal(f"--sign-command {signing.command!r} cannot be split into "
                          f"words ({error}): check its quotes.")
        if not words or not any(FILE_PLACEHOLDER in w for w in words[1:]):
            raise Refusal(f"--sign-command {signing.command!r} has no {FILE_PLACEHOLDER}"
                          ": put it where the command takes the file to sign.")
        return signing
    if signing.pkcs11_module:
        if not (signing.cert and signing.key):
            raise Refusal("signing with a token needs --sign-cert (the certificate, "
                          "PEM) and --sign-key (the key's pkcs11: URI) with "
                          "--sign-pkcs11-module.")
        if not signing.key.startswith("pkcs11:"):
            raise Refusal(f"--sign-key {signing.key} is not a pkcs11: URI, as a key on "
                          "a token is named (pkcs11:token=...;object=...).")
        needed = [("--sign-pkcs11-module", signing.pkcs11_module),
                  ("--sign-cert", signing.cert)]
        if signing.pin_file:
            needed.append(("--sign-pin-file", signing.pin_file))
    elif signing.pkcs12:
        if signing.cert or signing.key:
            raise Refusal("sign with --sign-cert and --sign-key or with --sign-pkcs12, "
                          "not both.")
        needed = [("--sign-pkcs12", signing.pkcs12)]
    elif signing.cert and signing.key:
        needed = [("--sign-cert", signing.cert), ("--sign-key", signing.key)]
    else:
        raise Refusal("signing needs --sign-cert (certificate chain, PEM) with "
                      "--sign-key (private key, PEM or a token's pkcs11: URI), "
                      "--sign-pkcs12 (.pfx), or --sign-command.")
    if signing.password_file:
        needed.append(("--sign-password-file", signing.password_file))
    for what, path in needed:
        if not os.path.isfile(path):
            raise Refusal(f"{what} {path} is not a file.")
    if signing.pkcs11_module:
        check_pkcs11_module(signing.pkcs11_module)
    return signing


def check_pkcs11_module(path):
    """Every PKCS#11 library exports C_GetFunctionList; a wrong file would
    otherwise fail deep inside osslsigncode with a message that names no
    input."""
    try:
        library = ctypes.CDLL(os.path.abspath(path))
        library.C_GetFunctionList
    except (OSError, AttributeError):
        raise Refusal(f"--sign-pkcs11-module {path} is not a PKCS#11 library: name "
                      "your token's or HSM's module (SoftHSM: libsofthsm2.so).")


def run(command, what, **options):
    result = subprocess.run(command, capture_output=True, text=True, **options)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise Refusal(f"{what} (exit {result.returncode}); its own message is above.")
    return result.stdout


def osslsigncode_version():
    found = None
    if shutil.which("osslsigncode"):
        line = subprocess.run(["osslsigncode", "--version"], capture_output=True,
                              text=True).stdout
        match = re.match(r"osslsigncode (\d+)\.(\d+)", line)
        found = match and (int(match.group(1)), int(match.group(2)))
    if not found or found < OLDEST_OSSLSIGNCODE:
        raise Refusal("signing and its check need osslsigncode 2.5 or later (found: "
                      + (".".join(map(str, found)) if found else "none")
                      + "): install it from your system's packages.")
    return ".".join(map(str, found))


def signing_time(leaf):
    """A fixed signing time keeps the signature reproducible: the build's
    SOURCE_DATE_EPOCH, or else the moment the certificate became valid."""
    if os.environ.get("SOURCE_DATE_EPOCH", "").isdigit():
        return int(os.environ["SOURCE_DATE_EPOCH"])
    start = run(["openssl", "x509", "-noout", "-startdate", "-in", leaf],
                "openssl could not read the signing certificate")
    stamp = start.strip().partition("=")[2]
    return calendar.timegm(time.strptime(stamp, "%b %d %H:%M:%S %Y %Z"))


def sign_with_osslsigncode(signing, unsigned, signed, name, scratch, kind="the launcher"):
    """The certificates the signer gave, for the check's trust."""
    certificates = os.path.join(scratch, "certificates.pem")
    if signing.pkcs12:
        password = f"file:{signing.password_file}" if signing.password_file else "pass:"
        run(["openssl", "pkcs12", "-in", signing.pkcs12, "-nokeys", "-passin",
             password, "-out", certificates],
            f"openssl could not read --sign-pkcs12 {signing.pkcs12}")
        credentials = ["-pkcs12", signing.pkcs12]
    else:
        shutil.copyfile(signing.cert, certificates)
        credentials = ["-certs", signing.cert, "-key", signing.key]
        if signing.pkcs11_module:
            credentials += ["-pkcs11module", os.path.abspath(signing.pkcs11_module)]
    # A password or PIN only ever from its file: never on a command line.
    secret = signing.pin_file if signing.pkcs11_module else signing.password_file
    if secret:
        credentials += ["-readpass", secret]
    timestamp = ["-ts", signing.timestamp_url] if signing.timestamp_url else []
    # The leaf comes first in a chain file, and -time takes the first.
    # An MSI also gets the signature of its metadata (MsiDigitalSignatureEx).
    extended = ["-add-msi-dse"] if unsigned.endswith(".msi") else []
    command = ["osslsigncode", "sign", *credentials, "-h", "sha256", "-n", name,
               "-time", str(signing_time(certificates)), *timestamp, *extended,
               "-in", unsigned, "-out", signed]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        explain_failed_signing(signing, result.stdout + result.stderr, kind)
    return certificates


def explain_failed_signing(signing, output, kind):
    if signing.pkcs11_module:
        if "PIN incorrect" in output or "Login failed" in output:
            raise Refusal(f"the token refused the PIN in --sign-pin-file "
                          f"{signing.pin_file}: put the right PIN there (a token may "
                          "lock after a few wrong ones).")
        if "not found at" in output or "No matching initialized token" in output:
            raise Refusal(f"the token has no key at --sign-key {signing.key}: list "
                          "its objects (pkcs11-tool --list-objects) and name one.")
    if signing.timestamp_url and re.search(r"(?i)timestamp|TSA|connect", output) \
            and "Failed to read key" not in output:
        raise Refusal(f"--sign-timestamp-url {signing.timestamp_url} gave no "
                      "time stamp: check the address, or sign without one.")
    sys.stderr.write(output)
    with_what = (f"--sign-pkcs12 {signing.pkcs12}" if signing.pkcs12 else
                 f"--sign-cert {signing.cert} and --sign-key {signing.key}")
    raise Refusal(f"osslsigncode could not sign {kind} with {with_what}; its "
                  "own message is above.")


def sign_with_command(signing, unsigned_bytes, scratch, file_name):
    """Runs the maker's command on a copy of the file, as a shell would
    split it but with no shell, and takes back the file it left."""
    target = os.path.join(scratch, "to-sign", file_name)
    os.makedirs(os.path.dirname(target))
    with open(target, "wb") as f:
        f.write(unsigned_bytes)
    words = [w.replace(FILE_PLACEHOLDER, target) for w in split_command(signing.command)]
    try:
        result = subprocess.run(words, capture_output=True, text=True)
    except OSError as error:
        raise Refusal(f"--sign-command could not start {words[0]} ({error.strerror}).")
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise Refusal(f"--sign-command {words[0]} failed (exit {result.returncode}); "
                      "its own message is above.")
    return target


def check_only_signed(signed, unsigned_bytes, what, scratch):
    """A signature adds only the certificate table and its directory entry,
    and sets the checksum: without it the file must be the one given."""
    stripped = os.path.join(scratch, "stripped.exe")
    result = subprocess.run(["osslsigncode", "remove-signature", "-in", signed,
                             "-out", stripped], capture_output=True, text=True)
    if result.returncode != 0:
        raise Refusal(f"{what} left the launcher unsigned: check that it signs the "
                      f"file named by {FILE_PLACEHOLDER}, in place.")
    with open(stripped, "rb") as f:
        if f.read() != unsigned_bytes:
            raise Refusal(f"{what} changed the launcher in other ways than signing "
                          "it: let it only add an Authenticode signature.")


def der_value(data, at):
    """(start, end) of the value of the DER element at `at`."""
    length, at = data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        length, at = int.from_bytes(data[at:at + count], "big"), at + count
    return at, at + length


def signed_content(signature):
    """What an Authenticode signer's signature covers: the value of the
    SpcIndirectDataContent, inside ContentInfo, [0], SignedData (after its
    version and digest algorithms), contentInfo, [0]."""
    start, _ = der_value(signature, 0)
    start, _ = der_value(signature, der_value(signature, start)[1])  # [0]
    start, _ = der_value(signature, start)                           # SignedData
    after_algorithms = der_value(signature, der_value(signature, start)[1])[1]
    start, _ = der_value(signature, after_algorithms)                # contentInfo
    start, _ = der_value(signature, der_value(signature, start)[1])  # [0]
    start, end = der_value(signature, start)
    return signature[start:end]


def verify(signed, certificates, what, scratch, kind="the launcher"):
    """Refuses a signature that is broken or does not match the file; warns
    when its chain reaches no root this machine trusts."""
    trust = os.path.join(scratch, "trust.pem")
    with open(trust, "w") as out:
        for path in (SYSTEM_ROOTS, certificates):
            if path and os.path.isfile(path):
                with open(path) as f:
                    out.write(f.read() + "\n")
    result = subprocess.run(["osslsigncode", "verify", "-ignore-crl", "-CAfile", trust,
                             "-TSA-CAfile", trust, "-in", signed],
                            capture_output=True, text=True)
    output = result.stdout + result.stderr
    if result.returncode == 0:
        return
    # The file's digest against the one signed.
    if "MISMATCH" in output or "No signature found" in output:
        raise Refusal(f"{kind} signed by {what} does not match its signature: "
                      "it was changed after signing, or signed wrongly.")
    # The signer's signature over what it signed, with no chain to follow.
    extracted = os.path.join(scratch, "signature.der")
    content = os.path.join(scratch, "signed-content.der")
    subprocess.run(["osslsigncode", "extract-signature", "-in", signed, "-out",
                    extracted], capture_output=True, check=False)
    try:
        with open(extracted, "rb") as f:
            data = signed_content(f.read())
    except (OSError, IndexError):
        data = None
    if data is not None:
        with open(content, "wb") as f:
            f.write(data)
    if data is None or subprocess.run(
            ["openssl", "smime", "-verify", "-noverify", "-binary", "-inform", "DER",
             "-in", extracted, "-content", content, "-out", os.devnull],
            capture_output=True).returncode != 0:
        raise Refusal(f"the signature that {what} made is broken: it does not verify "
                      "against its own certificate.")
    reason = re.search(r"Error: (.+)", output)
    warn(f"the signature is whole and matches {kind}, but its certificate "
         "chain reaches no root this machine trusts ("
         f"{reason.group(1).strip() if reason else 'chain not verified'}): add the "
         "intermediate certificates to --sign-cert; on users' machines the root must "
         "be trusted.")


def sign(signing, launcher, name, scratch, say, file_name="Harbor-Lantern.exe"):
    """The signed file's bytes (the launcher, or the MSI named file_name);
    the file's own when not signing."""
    if signing is None:
        return launcher
    version = osslsigncode_version()
    installer = file_name.endswith(".msi")
    kind = "the installer" if installer else "the launcher"
    scratch = os.path.join(scratch, "signing-" + ("msi" if installer else "exe"))
    os.makedirs(scratch)
    extension = os.path.splitext(file_name)[1]
    unsigned = os.path.join(scratch, "unsigned" + extension)
    with open(unsigned, "wb") as f:
        f.write(launcher)
    if signing.command:
        what = f"--sign-command {split_command(signing.command)[0]}"
        signed = sign_with_command(signing, launcher, scratch, file_name)
        # An MSI's signature rewrites its container: only the check below
        # can tell a signed MSI from a changed one.
        if not installer:
            check_only_signed(signed, launcher, what, scratch)
        certificates = None
    else:
        what = "osslsigncode"
        signed = os.path.join(scratch, "signed" + extension)
        certificates = sign_with_osslsigncode(signing, unsigned, signed, name, scratch,
                                              kind)
    verify(signed, certificates, what, scratch, kind)
    say(f"signed {kind} with {what}; checked with osslsigncode {version}")
    with open(signed, "rb") as f:
        return f.read()
