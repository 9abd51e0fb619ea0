"""Names in the zip as Windows will hold them: device names, reserved
characters, clashes in case and in Unicode form, path lengths; then a packed
zip unpacked by bsdtar and by zipfile."""
import os
import subprocess
import sys
import tempfile
import unicodedata
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "src"))
# The packer's run-time dependencies, as make installs them for the checkout.
sys.path.insert(1, os.path.join(HERE, "..", "build", "pydeps"))
sys.path.insert(0, HERE)
from harbor_lantern import names  # noqa: E402
from harbor_lantern.refusal import Refusal  # noqa: E402
from stage_package import packer_env, stage  # noqa: E402
from test_package import OFFICIAL_PTH, fake_pe, write  # noqa: E402

NFD_CAFE = unicodedata.normalize("NFD", "caf\u00e9")


class Components(unittest.TestCase):
    def test_what_windows_refuses_and_what_it_takes(self):
        refused = ["CON", "con", "Nul.txt", "aux.py", "prn.tar.gz", "COM1", "lpt9.log",
                   "COM0", "LPT0", "com\u00b9", "LPT\u00b3.txt", "CON .txt", "a:b",
                   "what?", "trailing.", "trailing ", "tab\there", "back\\slash"]
        taken = ["CONSOLE", "console.py", "nul_", "auxiliary", "COM10", "LPT", "COM",
                 "com\u2074", "my.CON", "x.nul", "caf\u00e9", NFD_CAFE, ".hidden"]
        for part in refused:
            with self.subTest(refused=part):
                self.assertIsNotNone(names.refusal_of(part))
        for part in taken:
            with self.subTest(taken=part):
                self.assertIsNone(names.refusal_of(part))

    def test_clashes_and_nfc(self):
        nfc = "caf\u00e9"
        cases = [
            # (paths, the clash named, or None and the NFC names)
            (["a/README", "a/readme"], "differ only in case"),
            ([f"{NFD_CAFE}.py", f"{nfc}.py"], "one name on Windows once written in "
             "Unicode NFC"),
            ([f"{NFD_CAFE.upper()}.py", f"{nfc}.py"], "one name on Windows"),
            (["data", "Data/x.txt"], "differ only in case"),
            (["lib/aux.py"], "device name"),
            (["Data/x.txt", "data/y.txt"], ["Data/x.txt", "data/y.txt"]),
            ([f"{NFD_CAFE}/donn\u0065\u0301es.csv", "empty/"],
             [f"{nfc}/donn\u00e9es.csv", "empty/"]),
        ]
        for paths, expected in cases:
            with self.subTest(paths=paths):
                files = {p: None for p in paths}
                if isinstance(expected, str):
                    with self.assertRaises(Refusal) as refusal:
                        names.windows_names(files)
                    self.assertIn(expected, str(refusal.exception))
                    self.assertEqual(len(str(refusal.exception).splitlines()), 1)
                else:
                    self.assertEqual(list(names.windows_names(files)), expected)

    def test_longest_path_under_downloads(self):
        prefix = "C:\\Users\\" + "u" * 20 + "\\Downloads\\App-1.0-win64\\"
        short = ["App-1.0/python/python.exe", "App-1.0/firstrun.py"]
        path, length = names.longest_unpacked(short, "App-1.0-win64.zip")
        self.assertEqual((path, length), (prefix + "App-1.0\\python\\python.exe",
                                          len(prefix) + 25))
        # Outside the Basic Multilingual Plane a letter is two code units.
        _, length = names.longest_unpacked(["\U0001F600"], "x.zip")
        self.assertEqual(length, len(names.DOWNLOADS) + 2 + 2)


class Packed(unittest.TestCase):
    def test_unpacked_names_are_what_windows_stores(self):
        with tempfile.TemporaryDirectory() as root:
            tool = stage(os.path.join(root, "tool"), {
                "x64/console.exe": write(os.path.join(root, "x64.exe"), fake_pe(0x8664))})
            runtime = os.path.join(root, "runtime.zip")
            with zipfile.ZipFile(runtime, "w") as archive:
                archive.writestr("python.exe", fake_pe(0x8664))
                archive.writestr("python312.dll", b"dll")
                archive.writestr("python312._pth", OFFICIAL_PTH)
            app = os.path.join(root, "app")
            write(os.path.join(app, "firstrun.py"), "import caf\u00e9\n")
            write(os.path.join(app, f"{NFD_CAFE}.py"), "")
            deep = "/".join(["a-rather-long-folder-name-" + str(i) for i in range(8)])
            write(os.path.join(app, deep, f"donn{NFD_CAFE[-2:]}es.csv"), "1\n")
            out = os.path.join(root, "out")
            result = subprocess.run(
                [sys.executable, "-m", "harbor_lantern", "pack",
                 "--bytecode", "sources", app, "--python-zip",
                 runtime, "--out", out], env=packer_env(tool), capture_output=True,
                text=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stderr)
            [warning] = result.stderr.splitlines()
            self.assertRegex(warning, r"^harbor-lantern: warning: C:\\Users\\u{20}\\"
                             r"Downloads\\Harbor-Lantern-1.1.0-win64\\Harbor-Lantern-1.1.0"
                             r"\\a-rather.*\.csv is 3\d\d characters long .*C:\\Apps")
            packed = os.path.join(out, "Harbor-Lantern-1.1.0-win64.zip")
            with zipfile.ZipFile(packed) as archive:
                stored = archive.namelist()
            self.assertIn("Harbor-Lantern-1.1.0/caf\u00e9.py", stored)
            self.assertEqual(stored, [unicodedata.normalize("NFC", n) for n in stored])
            listed = subprocess.run(["bsdtar", "-tf", packed], capture_output=True,
                                    text=True, check=True, env=dict(
                                        os.environ, LC_ALL="C.UTF-8")).stdout.splitlines()
            self.assertEqual(listed, stored)
            unpacked = os.path.join(root, "unpacked")
            os.makedirs(unpacked)
            subprocess.run(["bsdtar", "-xf", packed, "-C", unpacked], check=True,
                           env=dict(os.environ, LC_ALL="C.UTF-8"))
            on_disk = sorted(
                os.path.relpath(os.path.join(folder, n), unpacked)
                for folder, dirs, files in os.walk(unpacked) for n in files)
            self.assertEqual(on_disk, sorted(n for n in stored if not n.endswith("/")))


if __name__ == "__main__":
    unittest.main()
