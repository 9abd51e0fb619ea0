"""The per-user MSI, built by wixl on Linux from the same staged files as the
zip, installed, upgraded, refused as a downgrade and removed by Wine's
msiexec in a prefix of its own, with the real CPython 3.7.4 runtime."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, ".."))
from stage_package import packer_env, stage  # noqa: E402
from test_branding import make_signing_chain  # noqa: E402
from test_package import OFFICIAL_PTH, fake_pe, write  # noqa: E402
from wine import WINE, end_session, start_session, windows_path  # noqa: E402

LAUNCHER = os.environ["HL_LAUNCHER"]
RUNTIME = os.environ.get("HL_REAL_RUNTIME", "")
TIMEOUT = 120
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(RUNTIME):
            raise unittest.SkipTest("no real CPython runtime beside the checkout "
                                    "(../shared/runtimes)")
        cls.root = tempfile.mkdtemp(prefix="hl-msi-")
        # A prefix of its own: what is installed here touches no other test.
        os.environ["WINEPREFIX"] = os.path.join(cls.root, "prefix")
        subprocess.run(["sh", os.path.join(HERE, "..", "..", "tools", "make-wine-prefix.sh")],
                       check=True, capture_output=True)
        start_session()
        cls.tool = stage(os.path.join(cls.root, "tool"), {"x64/console.exe": LAUNCHER})
        cls.env = packer_env(cls.tool)
        cls.programs = os.path.join(cls.root, "prefix", "drive_c", "users", os.environ.get(
            "USER", "root"), "AppData", "Local", "Programs")
        cls.menu = os.path.join(os.path.dirname(os.path.dirname(cls.programs)), "Roaming",
                                "Microsoft", "Windows", "Start Menu", "Programs")

    @classmethod
    def tearDownClass(cls):
        end_session()
        shutil.rmtree(cls.root, ignore_errors=True)

    def pack(self, version, extra_files=(), *options):
        app = os.path.join(self.root, f"app-{version}")
        write(os.path.join(app, "firstrun.py"),
              "import sys\nprint('Tally', sys.version.split()[0])\n")
        write(os.path.join(app, "pyproject.toml"), "[project]\nname = 'Tally'\n"
              f"version = '{version}'\nauthors = [{{name = 'Harbor Makers'}}]\n")
        for name in extra_files:
            write(os.path.join(app, name), name)
        out = os.path.join(self.root, f"out-{version}")
        result = subprocess.run(
            [sys.executable, "-m", "harbor_lantern", "pack", app, "--python-zip", RUNTIME,
             "--bytecode", "sources", "--msi", "--out", out, *options],
            env=self.env, capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stderr)
        return os.path.join(out, f"Tally-{version}-win64.msi")

    def msiexec(self, *arguments):
        return subprocess.run([*WINE, "msiexec", *arguments, "/qn"],
                              stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=TIMEOUT).returncode

    def apps_entries(self):
        """{DisplayName, DisplayVersion, Publisher} of each product registered."""
        export = os.path.join(self.root, "uninstall.reg")
        if os.path.exists(export):
            os.remove(export)
        subprocess.run([*WINE, "reg", "export", UNINSTALL, windows_path(export)],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        entries, current = [], None
        if not os.path.exists(export):
            return entries
        with open(export, encoding="utf-16") as f:
            for line in f:
                if line.startswith("[") and line.strip().endswith("}]"):
                    current = {}
                    entries.append(current)
                elif current is not None and line.startswith('"'):
                    key, _, value = line.strip().partition("=")
                    if key.strip('"') in ("DisplayName", "DisplayVersion", "Publisher"):
                        current[key.strip('"')] = value.strip('"')
        return [e for e in entries if e]

    def test_install_upgrade_downgrade_and_remove(self):
        first = self.pack("2.1", ["old.txt"])
        with open(first, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        again = self.pack("2.1", ["old.txt"], "--out", os.path.join(self.root, "again"))
        with open(again, "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest,
                             "the same inputs give the same MSI")
        second = self.pack("2.2")
        folder = os.path.join(self.programs, "Tally")
        steps = [  # what is done, its status, files in the folder, the Apps entries
            ("install 2.1", ["/i", windows_path(first)], 0, ["old.txt"], ["2.1.0"]),
            ("upgrade to 2.2", ["/i", windows_path(second)], 0, [], ["2.2.0"]),
            # 1603, of which a Unix parent sees the low 8 bits.
            ("2.1 over 2.2", ["/i", windows_path(first)], 1603 & 0xFF, [], ["2.2.0"]),
        ]
        for label, arguments, status, extra, versions in steps:
            with self.subTest(label):
                self.assertEqual(self.msiexec(*arguments), status)
                self.assertEqual(sorted(os.listdir(folder)), sorted(
                    ["Harbor-Lantern.exe", "firstrun.py", "pyproject.toml", "python"]
                    + extra))
                self.assertEqual(self.apps_entries(), [
                    {"DisplayName": "Tally", "DisplayVersion": v,
                     "Publisher": "Harbor Makers"} for v in versions])
                self.assertTrue(os.path.isfile(os.path.join(self.menu, "Tally.lnk")))
        ran = subprocess.run([*WINE, os.path.join(folder, "Harbor-Lantern.exe")],
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        self.assertEqual(ran.stdout.strip(), b"Tally 3.7.4")
        self.assertEqual(self.msiexec("/x", windows_path(second)), 0)
        self.assertFalse(os.path.exists(folder))
        self.assertFalse(os.path.exists(os.path.join(self.menu, "Tally.lnk")))
        self.assertEqual(self.apps_entries(), [])
        query = subprocess.run([*WINE, "reg", "query", r"HKCU\Software\Tally"],
                               stdin=subprocess.DEVNULL, capture_output=True)
        self.assertNotEqual(query.returncode, 0, "the app's registry key is gone")

    def test_a_signed_msi_and_the_refusals(self):
        keys = os.path.join(self.root, "keys")
        os.makedirs(keys)
        make_signing_chain(keys)
        signed = self.pack("3.0", (), "--sign-cert", os.path.join(keys, "chain.pem"),
                           "--sign-key", os.path.join(keys, "leaf.key"))
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile",
                                   os.path.join(keys, "root.pem"), "-in", signed],
                                  capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        arm64 = os.path.join(self.root, "arm64-runtime")
        write(os.path.join(arm64, "python.exe"), fake_pe(0xAA64))
        write(os.path.join(arm64, "python312.dll"))
        write(os.path.join(arm64, "python312._pth"), OFFICIAL_PTH)
        app = os.path.join(self.root, "app-3.0")
        cases = [
            (["--python-dir", arm64], "wixl, the MSI builder, has no ARM64 target"),
            (["--python-zip", RUNTIME, "--app-version", "1.0rc1"],
             "--app-version 1.0rc1 is not a version Windows Installer can compare"),
        ]
        for options, message in cases:
            with self.subTest(message=message):
                result = subprocess.run(
                    [sys.executable, "-m", "harbor_lantern", "pack", app, "--msi",
                     "--bytecode", "sources", "--out", os.path.join(self.root, "refused"),
                     *options], env=self.env, capture_output=True, text=True,
                    timeout=TIMEOUT)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.root, "refused")))


if __name__ == "__main__":
    unittest.main()
