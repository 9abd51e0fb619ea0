"""Signing as makers sign: a key on a real PKCS#11 token (SoftHSM, set up
here in a folder of its own), their own signing command, a time stamp from
a time-stamping service on 127.0.0.1 (openssl ts behind an HTTP server), a
leaf-only certificate; and the check after signing that tells a broken
signature from an untrusted chain."""
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "src"))
sys.path.insert(1, os.path.join(HERE, "..", "build", "pydeps"))
from stage_package import packer_env, stage  # noqa: E402
from harbor_lantern import signing  # noqa: E402
from test_branding import make_signing_chain, openssl, read  # noqa: E402
from test_package import OFFICIAL_PTH, fake_pe, write  # noqa: E402

LAUNCHER = os.environ["HL_LAUNCHER"]
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
PIN = "271828"
KEY_URI = "pkcs11:token=maker;object=signing-key;type=private"
TSA_CONFIG = """\
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {folder}/tsa.serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def verify(path, root, tsa_root=None):
    options = ["-TSA-CAfile", tsa_root] if tsa_root else []
    return subprocess.run(["osslsigncode", "verify", "-ignore-crl", "-CAfile", root,
                           *options, "-in", path], capture_output=True, text=True)


class TimeStampingService:
    """RFC 3161 over HTTP: each request answered by openssl ts -reply."""

    def __init__(self, folder):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "tsa.key",
                "-out", "tsa.pem", "-days", "30", "-subj", "/CN=Harbor-Lantern test TSA",
                "-addext", "extendedKeyUsage=critical,timeStamping", cwd=folder)
        write(os.path.join(folder, "tsa.serial"), "01\n")
        write(os.path.join(folder, "tsa.cnf"), TSA_CONFIG.format(folder=folder))

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                reply = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile",
                     "/dev/stdin", "-inkey", "tsa.key", "-signer", "tsa.pem", "-out",
                     "/dev/stdout"], cwd=folder, input=query, capture_output=True).stdout
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/"
        self.root = os.path.join(folder, "tsa.pem")
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class SignCommandWords(unittest.TestCase):
    def test_split_as_each_shell_would(self):
        cases = [  # command, on Windows, words
            ("sign-tool --in {file}", False, ["sign-tool", "--in", "{file}"]),
            ("'my tool' {file}", False, ["my tool", "{file}"]),
            (r'"C:\Program Files\Kits\signtool.exe" sign /fd sha256 {file}', True,
             [r"C:\Program Files\Kits\signtool.exe", "sign", "/fd", "sha256", "{file}"]),
            (r"C:\tools\signtool.exe sign {file}", True,
             [r"C:\tools\signtool.exe", "sign", "{file}"]),
        ]
        for command, windows, words in cases:
            with self.subTest(command=command):
                self.assertEqual(signing.split_command(command, windows), words)


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="hl-signing-")
        cls.path = staticmethod(lambda *p: os.path.join(cls.tmp, *p))
        make_signing_chain(cls.tmp)
        runtime = cls.path("runtime.zip")
        with zipfile.ZipFile(runtime, "w") as archive:
            archive.writestr("python.exe", fake_pe(0x8664))
            archive.writestr("python312.dll", b"")
            archive.writestr("python312._pth", OFFICIAL_PTH)
        write(cls.path("app", "firstrun.py"), "")
        cls.tool = stage(cls.path("tool"), {"x64/console.exe": LAUNCHER})
        cls.base = [sys.executable, "-m", "harbor_lantern", "pack", cls.path("app"),
                    "--python-zip", runtime, "--name", "Tally"]
        # The token: SoftHSM with its store in this folder, the leaf's key in it.
        os.makedirs(cls.path("tokens"))
        write(cls.path("softhsm2.conf"),
              f"directories.tokendir = {cls.path('tokens')}\nobjectstore.backend = file\n")
        # The copy handed to a signing command lies under a temporary folder
        # whose name has spaces and a non-ASCII letter.
        os.makedirs(cls.path("temp f\u00f6lder"))
        cls.env = packer_env(cls.tool, SOFTHSM2_CONF=cls.path("softhsm2.conf"),
                             TMPDIR=cls.path("temp f\u00f6lder"))
        subprocess.run(["softhsm2-util", "--init-token", "--free", "--label", "maker",
                        "--pin", PIN, "--so-pin", "31415926"], env=cls.env, check=True,
                       capture_output=True)
        openssl("pkcs8", "-topk8", "-nocrypt", "-in", "leaf.key", "-outform", "DER",
                "-out", "leaf.p8", cwd=cls.tmp)
        subprocess.run(["pkcs11-tool", "--module", SOFTHSM, "--token-label", "maker",
                        "--login", "--pin", PIN, "--write-object", cls.path("leaf.p8"),
                        "--type", "privkey", "--id", "01", "--label", "signing-key"],
                       env=cls.env, check=True, capture_output=True)
        write(cls.path("pin.txt"), PIN)
        write(cls.path("wrong-pin.txt"), "000000")
        cls.tsa = TimeStampingService(cls.tmp)

    @classmethod
    def tearDownClass(cls):
        cls.tsa.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def pack(self, out, *options):
        return subprocess.run([*self.base, "--out", self.path(out), *options],
                              env=self.env, capture_output=True, text=True, timeout=300)

    def signed_exe(self, out, *options):
        result = self.pack(out, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        with zipfile.ZipFile(self.path(out, "Tally-1.1.0-win64.zip")) as archive:
            exe = write(self.path(out, "Harbor-Lantern.exe"),
                        archive.read("Tally-1.1.0/Harbor-Lantern.exe"))
        return exe, result

    def test_ways_of_signing(self):
        token = ["--sign-pkcs11-module", SOFTHSM, "--sign-key", KEY_URI,
                 "--sign-cert", self.path("chain.pem"), "--sign-pin-file",
                 self.path("pin.txt")]
        command = (f"osslsigncode sign -certs {self.path('chain.pem')} -key "
                   f"{self.path('leaf.key')} -h sha256 -time 1700000000 -in {{file}} "
                   "-out {file}.signed")
        mover = write(self.path("sign.sh"),
                      f'{command.replace("{file}", chr(34) + "$1" + chr(34))} && '
                      'mv "$1.signed" "$1"\n')
        cases = [
            ("token", token),
            ("command", ["--sign-command", f"sh {mover} {{file}}"]),
            ("timestamp", ["--sign-cert", self.path("chain.pem"), "--sign-key",
                           self.path("leaf.key"), "--sign-timestamp-url", self.tsa.url]),
        ]
        unsigned = None
        for label, options in cases:
            with self.subTest(label):
                exe, result = self.signed_exe(label, *options)
                if label == "command":
                    # The packer is not told the maker's private root.
                    self.assertRegex(result.stderr, r"\Aharbor-lantern: warning: .*"
                                     r"self-signed certificate in certificate chain.*\n\Z")
                else:
                    self.assertEqual(result.stderr, "")
                self.assertIn("checked with osslsigncode 2.", result.stdout)
                checked = verify(exe, self.path("root.pem"), self.tsa.root)
                self.assertEqual(checked.returncode, 0, checked.stdout)
                if label == "timestamp":
                    self.assertIn("Timestamp Server Signature verification: ok", checked.stdout)
                    self.assertNotIn("Timestamp is not available", checked.stdout)
                stripped = self.path(label, "stripped.exe")
                subprocess.run(["osslsigncode", "remove-signature", "-in", exe, "-out",
                                stripped], check=True, capture_output=True)
                unsigned = unsigned or read(stripped)
                self.assertEqual(read(stripped), unsigned)
                for out in os.listdir(self.path(label)):
                    self.assertNotIn(PIN.encode(), read(self.path(label, out)))
                self.assertNotIn(PIN, result.stdout + result.stderr)

    def test_a_leaf_alone_warns_and_still_packs(self):
        exe, result = self.signed_exe("leaf", "--sign-cert", self.path("leaf.pem"),
                                      "--sign-key", self.path("leaf.key"))
        [line] = result.stderr.splitlines()
        self.assertTrue(line.startswith("harbor-lantern: warning: "), line)
        self.assertIn("unable to get local issuer certificate", line)
        self.assertIn("add the intermediate certificates to --sign-cert", line)
        self.assertEqual(verify(exe, self.path("root.pem")).returncode, 0)

    def test_refusals(self):
        tamper = write(self.path("tamper.py"),
                       "import sys\nf = open(sys.argv[1], 'r+b')\nf.seek(0x400)\n"
                       "b = f.read(1)\nf.seek(0x400)\nf.write(bytes([b[0] ^ 1]))\n")
        sign_then_tamper = write(self.path("sign-then-tamper.sh"), (
            f"osslsigncode sign -certs {self.path('chain.pem')} -key "
            f"{self.path('leaf.key')} -in \"$1\" -out \"$1.s\" && mv \"$1.s\" \"$1\" && "
            f"{sys.executable} {tamper} \"$1\"\n"))
        key_files = ["--sign-cert", self.path("chain.pem"), "--sign-key",
                     self.path("leaf.key")]
        token = ["--sign-pkcs11-module", SOFTHSM, "--sign-cert", self.path("chain.pem")]
        cases = [
            (token + ["--sign-key", KEY_URI, "--sign-pin-file", self.path("wrong-pin.txt")],
             "the token refused the PIN"),
            (token + ["--sign-key", "pkcs11:token=maker;object=absent;type=private",
                      "--sign-pin-file", self.path("pin.txt")], "the token has no key at"),
            (["--sign-pkcs11-module", self.path("pin.txt"), "--sign-cert",
              self.path("chain.pem"), "--sign-key", KEY_URI], "is not a PKCS#11 library"),
            (["--sign-command", "true"], "has no {file}"),
            (["--sign-command", "true {file}"], "left the launcher unsigned"),
            (["--sign-command", f"{sys.executable} {tamper} {{file}}"],
             "left the launcher unsigned"),
            (["--sign-command", f"sh {sign_then_tamper} {{file}}"],
             "changed the launcher in other ways than signing"),
            (["--sign-command", "false {file}"], "--sign-command false failed (exit 1)"),
            (key_files + ["--sign-pkcs12", self.path("chain.pem")], "one way at a time"),
            (key_files + ["--sign-command", "x {file}"], "one way at a time"),
        ]
        for options, message in cases:
            with self.subTest(message):
                result = self.pack("refused", *options)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr.strip().splitlines()[-1])
                self.assertNotIn(PIN, result.stdout + result.stderr)
                self.assertFalse(os.path.exists(self.path("refused")))


if __name__ == "__main__":
    unittest.main()
