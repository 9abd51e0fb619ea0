"""Bytecode compiled when packing, on python.org's CPython 3.11.9 (whose X.Y
Debian 12's Python has): hash-based .pyc for every module of the app and of
its dependencies, a packed app that starts under Wine without writing any
.pyc (from a read-only folder too), .pyc only, the same bytes twice; and a
runtime whose X.Y this machine lacks packing sources with one line."""
import hashlib
import marshal
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
import real_runtimes  # noqa: E402
from stage_package import packer_env, stage  # noqa: E402
from test_package import OFFICIAL_PTH, fake_pe, make_wheel, write  # noqa: E402
from wine import WINE, end_session, start_session  # noqa: E402

LAUNCHER = os.environ["HL_LAUNCHER"]
TIMEOUT = 120
FIRSTRUN = "import tally, tidy\nprint(tally.VALUE, tidy.VALUE)\n"


def setUpModule():
    start_session()


def tearDownModule():
    end_session()


def snapshot(folder):
    """Every file below folder with its size and modification time."""
    found = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            found[os.path.relpath(path, folder)] = (os.path.getsize(path),
                                                    os.stat(path).st_mtime_ns)
    return found


class Bytecode(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="hl-bytecode-")
        path = lambda *p: os.path.join(cls.root, *p)  # noqa: E731
        write(path("app", "firstrun.py"), FIRSTRUN)
        write(path("app", "tally", "__init__.py"), "VALUE = 'tally'\n")
        write(path("app", "tally", "broken.py"), "def (:\n")
        make_wheel(path("wheels"), "tidy", "py3-none-any",
                   {"tidy/__init__.py": "VALUE = 'tidy'\n"})
        cls.tool = stage(path("tool"), {"x64/console.exe": LAUNCHER})
        cls.env = packer_env(cls.tool, HARBOR_LANTERN_CACHE=path("cache"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def pack(self, label, runtime, *options):
        out = os.path.join(self.root, label)
        result = subprocess.run(
            [sys.executable, "-m", "harbor_lantern", "pack", os.path.join(self.root, "app"),
             "--python-dir", runtime, "--wheels", os.path.join(self.root, "wheels"),
             "--out", out, *options], env=self.env, capture_output=True, text=True,
            timeout=600)
        self.assertEqual(result.returncode, 0, result.stderr)
        [name] = [n for n in os.listdir(out) if n.endswith(".zip")]
        return os.path.join(out, name), result.stderr

    def runtime_3_11(self):
        try:
            return real_runtimes.get(real_runtimes.EMBEDDED["3.11.9"])
        except real_runtimes.Unreachable as error:
            self.skipTest(real_runtimes.skip_message(error))

    def start_twice(self, packed, label, read_only=False):
        """Unpacks, starts twice; returns what the app printed and the files
        that changed."""
        folder = os.path.join(self.root, f"unpacked {label} \u00e9")
        os.makedirs(folder)
        if read_only:
            # As root, permission bits stop no write: a read-only mount does.
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", folder],
                           check=True)
            self.addCleanup(subprocess.run, ["umount", "-l", folder])
        with zipfile.ZipFile(packed) as archive:
            archive.extractall(folder)
        if read_only:
            subprocess.run(["mount", "-o", "remount,ro", folder], check=True)
        [top] = os.listdir(folder)
        before = snapshot(folder)
        printed = []
        for _ in range(2):
            ran = subprocess.run([*WINE, os.path.join(folder, top, "Harbor-Lantern.exe")],
                                 stdin=subprocess.DEVNULL, capture_output=True,
                                 timeout=TIMEOUT)
            self.assertEqual(ran.returncode, 0, ran.stderr)
            printed.append(ran.stdout.decode().strip())
        after = snapshot(folder)
        changed = sorted(n for n in set(before) | set(after) if before.get(n) != after.get(n))
        return printed, changed

    def test_compiled_sources_and_only_on_3_11(self):
        runtime = self.runtime_3_11()
        packed, said = self.pack("compiled", runtime)
        self.assertIn("1 module(s) do not compile and ship as source only: "
                      "tally\\broken.py (SyntaxError)", said)
        with zipfile.ZipFile(packed) as archive:
            names = archive.namelist()
            pycs = {n: archive.read(n) for n in names if n.endswith(".pyc")}
        top = names[0].split("/")[0]
        self.assertEqual(sorted(pycs), [
            f"{top}/python/Lib/site-packages/tidy/__pycache__/__init__.cpython-311.pyc",
            f"{top}/tally/__pycache__/__init__.cpython-311.pyc"])
        for data in pycs.values():
            # The magic of 3.11, then the flags of a checked hash-based .pyc.
            self.assertEqual((data[:4], data[4:8]), (bytes.fromhex("a70d0d0a"),
                                                     b"\3\0\0\0"))
        again, _ = self.pack("again", runtime)
        with open(packed, "rb") as first, open(again, "rb") as second:
            self.assertEqual(hashlib.sha256(first.read()).digest(),
                             hashlib.sha256(second.read()).digest())
        only, _ = self.pack("only", runtime, "--bytecode", "only")
        for label, zip_path, read_only in (("compiled", packed, False),
                                           ("compiled read-only", packed, True),
                                           ("only", only, False)):
            with self.subTest(label=label):
                printed, changed = self.start_twice(zip_path, label, read_only)
                self.assertEqual((printed, changed), (["tally tidy"] * 2, []))
        with zipfile.ZipFile(only) as archive:
            shipped = [n.split("/", 1)[1] for n in archive.namelist()
                       if n.endswith((".py", ".pyc")) and "/python/" not in "/" + n]
        self.assertEqual(sorted(shipped), ["firstrun.py", "tally/__init__.pyc",
                                           "tally/broken.py"])

    def test_the_runtime_takes_the_pyc_while_its_source_is_unchanged(self):
        if sys.version_info[:2] != (3, 11):
            self.skipTest("needs this machine's Python to be 3.11, as the runtime is")
        packed, _ = self.pack("taken", self.runtime_3_11())
        folder = os.path.join(self.root, "taken-unpacked")
        with zipfile.ZipFile(packed) as archive:
            archive.extractall(folder)
        [top] = os.listdir(folder)
        pyc = os.path.join(folder, top, "tally", "__pycache__", "__init__.cpython-311.pyc")
        source = os.path.join(folder, top, "tally", "__init__.py")
        # The shipped header (with the source's hash), other code behind it:
        # what the app prints says which one ran.
        with open(pyc, "rb") as f:
            header = f.read(16)
        with open(pyc, "wb") as f:
            f.write(header + marshal.dumps(compile("VALUE = 'pyc'\n", source, "exec")))
        exe = os.path.join(folder, top, "Harbor-Lantern.exe")
        for edit, printed in (("", "pyc tidy"), ("# edited\n", "tally tidy")):
            with self.subTest(edit=edit):
                with open(source, "a") as f:
                    f.write(edit)
                ran = subprocess.run([*WINE, exe], stdin=subprocess.DEVNULL,
                                     capture_output=True, timeout=TIMEOUT)
                self.assertEqual(ran.stdout.decode().strip(), printed, ran.stderr)

    def test_a_runtime_whose_version_this_machine_lacks(self):
        runtime = os.path.join(self.root, "runtime-3.99")
        write(os.path.join(runtime, "python.exe"), fake_pe(0x8664))
        write(os.path.join(runtime, "python399.dll"))
        write(os.path.join(runtime, "python399._pth"), OFFICIAL_PTH)
        packed, said = self.pack("lacking", runtime)
        self.assertEqual(said.count("\n"), 1, said)
        self.assertIn("no CPython 3.99 on this machine to compile the modules with", said)
        self.assertIn("uv python install 3.99", said)
        with zipfile.ZipFile(packed) as archive:
            self.assertEqual([n for n in archive.namelist() if n.endswith(".pyc")], [])


if __name__ == "__main__":
    unittest.main()
