"""The windowed launcher, packed with --windowed on the real CPython runtime
and run under Wine on an Xvfb display: it starts pythonw.exe, passes 0 and 2
on silently (a dialog would hold it open), and shows every other end in a
dialog titled with the product name, which Enter closes."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, ".."))
from stage_package import packer_env, stage  # noqa: E402
from test_package import write  # noqa: E402
from wine import WINE, end_session, start_session, windows_path  # noqa: E402

LAUNCHER = os.environ["HL_LAUNCHER"]
WINDOWED = os.environ["HL_WINDOWED_LAUNCHER"]
DIALOG_TEXT = os.environ["HL_DIALOG_TEXT"]
REAL_RUNTIME = os.environ.get("HL_REAL_RUNTIME", "")
TITLE = "Caf\u00e9 Tally"
TIMEOUT = 60
FIRSTRUN = """\
import os, sys
here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "result.txt"), "w") as f:
    f.write(repr([os.path.basename(sys.executable), sys.argv[1:]]))
raise SystemExit(int(sys.argv[2]))
"""


def setUpModule():
    global display
    read_end, write_end = os.pipe()
    display = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                "800x600x24", "-nolisten", "tcp"], pass_fds=[write_end],
                               stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        os.environ["DISPLAY"] = ":" + f.readline().strip()
    # A server left from other tests would keep a desktop without a display.
    end_session()
    start_session()


def tearDownModule():
    end_session()
    display.terminate()
    display.wait()


class Windowed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(REAL_RUNTIME):
            raise unittest.SkipTest("no real CPython runtime beside the checkout "
                                    "(../shared/runtimes)")
        cls.root = tempfile.mkdtemp(prefix="hl-windowed-")
        write(os.path.join(cls.root, "app", "firstrun.py"), FIRSTRUN)
        tool = stage(os.path.join(cls.root, "tool"), {"x64/console.exe": LAUNCHER,
                                                      "x64/windowed.exe": WINDOWED})
        out = os.path.join(cls.root, "dist")
        subprocess.run([sys.executable, "-m", "harbor_lantern", "pack",
                        os.path.join(cls.root, "app"), "--python-zip", REAL_RUNTIME,
                        "--windowed", "--name", TITLE, "--out", out],
                       env=packer_env(tool), check=True, capture_output=True,
                       timeout=TIMEOUT)
        [packed] = [n for n in os.listdir(out) if n.endswith(".zip")]
        with zipfile.ZipFile(os.path.join(out, packed)) as archive:
            archive.extractall(os.path.join(cls.root, "unpacked"))
        cls.bundle = os.path.join(cls.root, "unpacked", f"{TITLE}-1.1.0")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def start(self, *arguments):
        # Pipes: Python dies at start when a standard handle is a regular file.
        return subprocess.Popen([*WINE, os.path.join(self.bundle, "Harbor-Lantern.exe"),
                                 *arguments], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def dialog(self, launcher):
        """The dialog's text, after which Enter closes it; and the launcher's
        exit status."""
        result = os.path.join(self.root, "dialog.txt")
        # Wine turns Unix arguments into UTF-16 by the locale's encoding.
        subprocess.run([*WINE, DIALOG_TEXT, TITLE, windows_path(result)], check=True,
                       env=dict(os.environ, LC_ALL="C.UTF-8"), stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=TIMEOUT)
        with open(result, encoding="utf-16-le") as f:
            text = f.read()
        found = subprocess.run(["xdotool", "search", "--name", TITLE],
                               capture_output=True, text=True).stdout.split()
        self.assertTrue(found, "xdotool finds no window named " + TITLE)
        subprocess.run(["xdotool", "key", "--window", found[0], "Return"], check=True)
        launcher.communicate(timeout=TIMEOUT)
        return text, launcher.returncode

    def test_silent_codes_under_pythonw(self):
        for code in (0, 2):
            with self.subTest(code=code):
                launcher = self.start("--code", str(code), "a b")
                launcher.communicate(timeout=TIMEOUT)
                self.assertEqual(launcher.returncode, code)
                with open(os.path.join(self.bundle, "result.txt")) as f:
                    self.assertEqual(f.read(), repr(
                        ["pythonw.exe", ["--code", str(code), "a b"]]))

    def test_other_codes_and_a_missing_pythonw_end_in_a_dialog(self):
        text, status = self.dialog(self.start("--code", "3"))
        self.assertEqual((text, status), (
            "Harbor-Lantern stopped (code 3). Press Enter to close this window.", 3))
        pythonw = os.path.join(self.bundle, "python", "pythonw.exe")
        os.rename(pythonw, pythonw + ".away")
        try:
            text, status = self.dialog(self.start())
        finally:
            os.rename(pythonw + ".away", pythonw)
        self.assertEqual((text, status), (
            "python\\pythonw.exe is missing: extract the whole zip file and start "
            "Harbor-Lantern.exe from the extracted folder.", 1))


if __name__ == "__main__":
    unittest.main()
