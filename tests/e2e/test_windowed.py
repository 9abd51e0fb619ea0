"""The windowed launcher, packed with --windowed on the real CPython runtime
and run under Wine on an Xvfb display: it starts pythonw.exe, passes 0 and 2
on silently (a dialog would hold it open), and shows every other end in a
dialog titled with the product name, which Enter closes."""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, ".."))
from stage_package import packer_env, stage  # noqa: E402
from test_fetch import Server  # noqa: E402
from test_package import write  # noqa: E402
import real_runtimes  # noqa: E402
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


def modern_runtime(name):
    try:
        return real_runtimes.get(name)
    except real_runtimes.Unreachable as error:
        raise unittest.SkipTest(real_runtimes.skip_message(error))


class Windowed(unittest.TestCase):
    @classmethod
    def runtime(cls):
        if not os.path.isfile(REAL_RUNTIME):
            raise unittest.SkipTest("no real CPython runtime beside the checkout "
                                    "(../shared/runtimes)")
        return ["--python-zip", REAL_RUNTIME]

    @classmethod
    def setUpClass(cls):
        runtime = cls.runtime()
        cls.root = tempfile.mkdtemp(prefix="hl-windowed-")
        write(os.path.join(cls.root, "app", "firstrun.py"), FIRSTRUN)
        tool = stage(os.path.join(cls.root, "tool"), {"x64/console.exe": LAUNCHER,
                                                      "x64/windowed.exe": WINDOWED})
        out = os.path.join(cls.root, "dist")
        subprocess.run([sys.executable, "-m", "harbor_lantern", "pack",
                        os.path.join(cls.root, "app"), *runtime, "--windowed", "--name", TITLE, "--out", out],
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
        # Under Wine, pythonw.exe dies at start when a standard handle is a
        # terminal, a regular file or a pipe: /dev/null for all three.
        return subprocess.Popen([*WINE, os.path.join(self.bundle, "Harbor-Lantern.exe"),
                                 *arguments], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

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


class WindowedOn313(Windowed):
    """The same on python.org's CPython 3.13.2."""

    @classmethod
    def runtime(cls):
        return ["--python-dir", modern_runtime("python-3.13.2-embed-amd64")]


TK_TITLE = "Tally \u00e9t\u00e9"
TK_APP = f"""\
import tkinter
root = tkinter.Tk()
root.title({TK_TITLE!r})
tkinter.Label(root, text="Tcl/Tk " + str(tkinter.TkVersion), padx=40, pady=30).pack()
root.bind("<Escape>", lambda event: root.destroy())
root.after(60000, root.destroy)
root.mainloop()
"""


class Tkinter(unittest.TestCase):
    """A tkinter app packed on Linux opens its Tk window: the 3.8 runtime and
    the tkinter parts of the same build, from an index in python.org's format
    served on 127.0.0.1 and from the maker's own files."""

    runtime_option = "--python-zip"

    def runtime_and_parts(self):
        shared = os.path.dirname(REAL_RUNTIME)
        embed = os.path.join(shared, "python-3.8-embed-amd64.zip")
        parts = os.path.join(shared, "python-3.8-tkinter-amd64.zip")
        if not (os.path.isfile(embed) and os.path.isfile(parts)):
            self.skipTest("!!! THE REAL CPYTHON 3.8 RUNTIME AND ITS TKINTER PARTS ARE NOT "
                          "in ../shared/runtimes: the tkinter cases were not run !!!")
        return embed, parts

    def setUp(self):
        self.embed, self.parts = self.runtime_and_parts()
        self.root = tempfile.mkdtemp(prefix="hl-tkinter-")
        self.addCleanup(shutil.rmtree, self.root, True)
        write(os.path.join(self.root, "app", "firstrun.py"), TK_APP)
        self.tool = stage(os.path.join(self.root, "tool"), {"x64/console.exe": LAUNCHER,
                                                            "x64/windowed.exe": WINDOWED})

    def pack(self, label, *options, env=()):
        out = os.path.join(self.root, label)
        subprocess.run([sys.executable, "-m", "harbor_lantern", "pack",
                        os.path.join(self.root, "app"), "--windowed", "--name", "Tally",
                        "--out", out, *options],
                       env=packer_env(self.tool, HARBOR_LANTERN_CACHE=os.path.join(
                           self.root, "cache"), **dict(env)),
                       check=True, capture_output=True, timeout=TIMEOUT)
        [packed] = [n for n in os.listdir(out) if n.endswith(".zip")]
        return os.path.join(out, packed)

    def pack_and_open(self, label, *options, env=()):
        unpacked = os.path.join(self.root, f"Mes t\u00e9l\u00e9chargements {label}")
        with zipfile.ZipFile(self.pack(label, *options, env=env)) as archive:
            archive.extractall(unpacked)
        launcher = subprocess.Popen(
            [*WINE, os.path.join(unpacked, "Tally-1.1.0", "Harbor-Lantern.exe")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        found, deadline = [], time.monotonic() + TIMEOUT
        while not found and time.monotonic() < deadline:
            time.sleep(0.5)
            found = subprocess.run(["xdotool", "search", "--name", TK_TITLE],
                                   capture_output=True, text=True).stdout.split()
        if not found:
            end_session()
            start_session()
        self.assertTrue(found, f"no Tk window named {TK_TITLE} within {TIMEOUT} s")
        subprocess.run(["xdotool", "key", "--window", found[-1], "Escape"], check=True,
                       capture_output=True)
        launcher.communicate(timeout=TIMEOUT)
        self.assertEqual(launcher.returncode, 0)

    def test_from_the_makers_files(self):
        self.pack_and_open("files", self.runtime_option, self.embed, "--tkinter-from",
                           self.parts)

    def test_from_the_index(self):
        server = Server()
        self.addCleanup(server.stop)
        versions = []
        for company, kind, path, name in (
                ("PythonEmbed", "pythonembed", self.embed,
                 "python-3.8.20-embeddable-amd64.zip"),
                ("PythonCore", "pythoncore", self.parts, "python-3.8.20-amd64.zip")):
            with open(path, "rb") as f:
                data = f.read()
            url = f"/ftp/python/3.8.20/{name}"
            server.files[url] = data
            versions.append({"schema": 1, "id": f"{kind}-3.8-64", "company": company,
                             "sort-version": "3.8.20", "url": url,
                             "hash": {"sha256": hashlib.sha256(data).hexdigest()}})
        server.files["/ftp/python/index-windows.json"] = json.dumps(
            {"versions": versions}).encode()
        env = {"HARBOR_LANTERN_PYTHON_INDEX": server.url + "/ftp/python/index-windows.json"}
        self.pack_and_open("index", "--python", "3.8", "--tkinter", env=env)
        # Both packages are cached now: the next pack needs no index.
        server.stop()
        with zipfile.ZipFile(self.pack("offline", "--python", "3.8", "--tkinter",
                                       env=env)) as archive:
            self.assertIn("Tally-1.1.0/python/_tkinter.pyd", archive.namelist())


class TkinterOn313(Tkinter):
    """python.org's CPython 3.13.2 with the Tcl/Tk parts of its full package."""
    runtime_option = "--python-dir"
    test_from_the_index = None

    def runtime_and_parts(self):
        return (modern_runtime("python-3.13.2-embed-amd64"),
                modern_runtime("python-3.13.2-tkinter-amd64"))


if __name__ == "__main__":
    unittest.main()
