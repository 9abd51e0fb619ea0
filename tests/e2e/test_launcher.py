"""End to end on the real Harbor-Lantern.exe under Wine.

Each test lays out a bundle as a user unpacks it (the launcher, python\\ with
the stand-in interpreter, firstrun.py) in a fresh temporary folder. Exact
command lines and 32-bit exit codes need a Windows-side parent: spawn.exe
reads a request and starts the launcher with CreateProcessW. The console
pause needs a console: Wine gives one when standard input is a terminal.
"""
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from stage_package import packer_env, stage  # noqa: E402
from wine import WINE, end_session, start_session, windows_path  # noqa: E402

LAUNCHER = os.environ["HL_LAUNCHER"]
STAND_IN = os.environ["HL_STAND_IN"]
SPAWN = os.environ["HL_SPAWN"]
RECORDED_VARIABLES = ("PYTHONHOME", "PYTHONPATH", "PYTHONUTF8",
                      "PYTHONNOUSERSITE", "HL_UNRELATED")
MISSING = (b"python\\python.exe is missing: extract the whole zip file and "
           b"start Harbor-Lantern.exe from the extracted folder.\n")
OWN_FOLDER = b"cannot find my own folder\n"
START_REFUSED = re.compile(rb"\Acannot start the bundled Python \(error ([1-9][0-9]*)\)\r\n\Z")
TIMEOUT = 60
# How long a pause must hold before it counts as waiting.
PAUSE_HOLDS = 2.0


def stopped(code):
    return b"\nHarbor-Lantern stopped (code %d). Press Enter to close this window.\n" % code


def on_stream(message):
    # Standard error stays in the C runtime's text mode, which writes each
    # line feed as CR LF.
    return message.replace(b"\n", b"\r\n")


def setUpModule():
    start_session()


def run_wine(arguments, **options):
    """Runs a Wine program to its end; returns (exit status, stderr bytes).

    Standard error goes through a file: a pipe might be kept open by Wine's
    services long after the program has ended."""
    with tempfile.TemporaryFile() as err:
        status = subprocess.run([*WINE, *arguments], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err,
                                timeout=TIMEOUT, **options).returncode
        err.seek(0)
        return status, err.read()


def tearDownModule():
    end_session()


def make_bundle(parent, name, interpreter=True, script=True, launcher=LAUNCHER):
    folder = os.path.join(parent, name)
    os.makedirs(os.path.join(folder, "python"))
    shutil.copy(launcher, os.path.join(folder, "Harbor-Lantern.exe"))
    if interpreter:
        shutil.copy(STAND_IN, os.path.join(folder, "python", "python.exe"))
    if script:
        with open(os.path.join(folder, "firstrun.py"), "w") as f:
            f.write("raise SystemExit(0)\n")
    return folder


def read_record(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        fields = f.read().decode("utf-16-le").split("\0")
    record = {"command_line": fields[0], "cwd": fields[1]}
    for name, value in zip(RECORDED_VARIABLES, fields[2:]):
        record[name] = value[1:] if value.startswith("=") else None
    return record


class Bundle(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="hl-e2e-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.record_path = os.path.join(self.root, "record.bin")

    def spawn(self, application, command_line, cwd="", environment=(),
              exit_code=0):
        """Starts the launcher from spawn.exe; returns (exit code, stderr)."""
        request = os.path.join(self.root, "request.bin")
        result = os.path.join(self.root, "result.txt")
        for stale in (result, self.record_path):
            if os.path.exists(stale):
                os.remove(stale)
        fields = [application, command_line, cwd,
                  "HL_RECORD=" + windows_path(self.record_path),
                  "HL_EXIT_CODE=%d" % exit_code, *environment]
        with open(request, "wb") as f:
            f.write("".join(field + "\0" for field in fields).encode("utf-16-le"))
        _, err = run_wine([SPAWN, windows_path(request), windows_path(result)])
        outcome = err.decode()
        if os.path.exists(result):
            with open(result) as f:
                outcome = f.read()
        kind, _, number = outcome.partition(" ")
        self.assertEqual(kind, "exit", outcome)
        return int(number), err

    def record(self):
        return read_record(self.record_path)


class CommandLinesAndFolders(Bundle):
    def test_child_gets_quoted_paths_then_the_tail_verbatim(self):
        folders = ["plain", "with  two spaces", "Donn\u00e9es \u00fcber \u65e5\u672c",
                   "emoji \U0001F600 outside the BMP"]
        # (how the launcher is named, the text after the name); {exe} is the
        # launcher's full path.
        tails = [
            ('"{exe}"', ""),
            ('"{exe}"', " --flag x"),
            ('"{exe}"', '-v'),
            ('"{exe}"', "\t-v\t\tx"),
            ('"{exe}"', '   "a b"  c\\ d\\\\" \\"e\\"'),
            ('"{exe}"', " Gr\u00fc\u00dfe \U0001F600 \u4e2d\u6587"),
            ("Harbor-Lantern.exe", ""),
            ("Harbor-Lantern.exe", " -v x"),
            ("Harbor-Lantern.exe", "\t-v"),
            ("Harbor-Lantern.exe\n-v", " -w"),
            ('a"b', ' c".exe d'),
        ]
        for folder in folders:
            bundle = make_bundle(self.root, folder)
            exe = windows_path(os.path.join(bundle, "Harbor-Lantern.exe"))
            expected_prefix = '"%s\\python\\python.exe" "%s\\firstrun.py"' % (
                windows_path(bundle), windows_path(bundle))
            for name, tail in tails:
                with self.subTest(folder=folder, name=name, tail=tail):
                    line = name.format(exe=exe) + tail
                    code, err = self.spawn(exe, line, cwd=windows_path(bundle))
                    self.assertEqual((code, err), (0, b""))
                    record = self.record()
                    self.assertEqual(record["command_line"], expected_prefix + tail)
                    self.assertEqual(record["cwd"], windows_path(bundle))

    def test_environment_is_fixed_whatever_the_parent_had(self):
        bundle = make_bundle(self.root, "env \u00e9")
        exe = windows_path(os.path.join(bundle, "Harbor-Lantern.exe"))
        parents = {
            "none of them set": ["PYTHONHOME", "PYTHONPATH", "PYTHONUTF8",
                                 "PYTHONNOUSERSITE", "HL_UNRELATED"],
            "all of them set": ["PYTHONHOME=C:\\elsewhere", "PYTHONPATH=C:\\mine",
                                "PYTHONUTF8=0", "PYTHONNOUSERSITE=0",
                                "HL_UNRELATED=kept \u00e9"],
        }
        for label, environment in parents.items():
            with self.subTest(parent=label):
                code, err = self.spawn(exe, '"%s"' % exe, environment=environment)
                self.assertEqual((code, err), (0, b""))
                record = self.record()
                self.assertEqual(record["PYTHONHOME"], windows_path(bundle) + "\\python")
                self.assertIsNone(record["PYTHONPATH"])
                self.assertEqual(record["PYTHONUTF8"], "1")
                self.assertEqual(record["PYTHONNOUSERSITE"], "1")
                unrelated = environment[-1].partition("=")[2] or None
                self.assertEqual(record["HL_UNRELATED"], unrelated)

    def test_working_directory_is_the_root_for_a_launcher_at_a_drive_root(self):
        drive_folder = os.path.join(self.root, "drive")
        os.makedirs(os.path.join(drive_folder, "sub"))
        bundle = make_bundle(self.root, "unpacked")
        for entry in os.listdir(bundle):
            shutil.move(os.path.join(bundle, entry), drive_folder)
        link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "y:")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(drive_folder, link)
        self.addCleanup(os.remove, link)

        code, err = self.spawn("Y:\\Harbor-Lantern.exe", '"Y:\\Harbor-Lantern.exe" a',
                               cwd="Y:\\sub")
        self.assertEqual((code, err), (0, b""))
        record = self.record()
        self.assertEqual(record["command_line"],
                         '"Y:\\python\\python.exe" "Y:\\firstrun.py" a')
        self.assertEqual(record["cwd"], "Y:\\")
        self.assertEqual(record["PYTHONHOME"], "Y:\\python")


class PackedApp(Bundle):
    def test_starts_where_the_user_unpacked_the_zip(self):
        runtime = os.path.join(self.root, "runtime")
        os.makedirs(runtime)
        shutil.copy(STAND_IN, os.path.join(runtime, "python.exe"))
        open(os.path.join(runtime, "python312.dll"), "wb").close()
        app = os.path.join(self.root, "app")
        os.makedirs(os.path.join(app, "tally"))
        for name in ("firstrun.py", "tally/__init__.py"):
            with open(os.path.join(app, name), "w") as f:
                f.write("import tally\n")
        out = os.path.join(self.root, "dist")
        # The stand-in's architecture picks the launcher and names the zip.
        tool = stage(os.path.join(self.root, "tool"), {"x64/console.exe": LAUNCHER,
                                                       "arm64/console.exe": LAUNCHER})
        subprocess.run([sys.executable, "-m", "harbor_lantern", "pack", app,
                        "--python-dir", runtime, "--name", "Tally", "--app-version", "2.0",
                        "--out", out], env=packer_env(tool), check=True,
                       capture_output=True, timeout=TIMEOUT)
        unpacked = os.path.join(self.root, "Mes t\u00e9l\u00e9chargements \u65e5\u672c")
        [packed] = [n for n in os.listdir(out) if n.endswith(".zip")]
        with zipfile.ZipFile(os.path.join(out, packed)) as archive:
            archive.extractall(unpacked)
        bundle = windows_path(os.path.join(unpacked, "Tally-2.0"))
        exe = bundle + "\\Harbor-Lantern.exe"
        code, err = self.spawn(exe, '"%s" --flag "a b"' % exe, exit_code=3)
        self.assertEqual((code, err), (3, on_stream(stopped(3))))
        self.assertEqual(self.record()["command_line"],
                         '"%s\\python\\python.exe" "%s\\firstrun.py" --flag "a b"'
                         % (bundle, bundle))


    def real_runtime(self):
        real_runtime = os.environ.get("HL_REAL_RUNTIME", "")
        if not os.path.isfile(real_runtime):
            # The one real runtime is x64: the ARM64 run has none to give.
            self.skipTest("no real CPython runtime for this launcher's architecture "
                          "(the x64 tests take python-3.7.4-embed-amd64.zip from "
                          "../shared/runtimes)")
        return real_runtime

    def pack_and_start(self, app, *options):
        """Packs app on the real runtime, unpacks it into a folder with a
        non-ASCII name and starts it with two arguments; returns what
        firstrun.py wrote into result.txt."""
        tool = stage(os.path.join(self.root, "tool"), {"x64/console.exe": LAUNCHER})
        out = os.path.join(self.root, "dist")
        subprocess.run([sys.executable, "-m", "harbor_lantern", "pack", app,
                        "--python-zip", self.real_runtime(), *options, "--out", out],
                       env=packer_env(tool, HARBOR_LANTERN_CACHE=os.path.join(
                           self.root, "cache")),
                       check=True, capture_output=True, timeout=300)
        unpacked = os.path.join(self.root, "Mes t\u00e9l\u00e9chargements")
        [packed] = [n for n in os.listdir(out) if n.endswith(".zip")]
        with zipfile.ZipFile(os.path.join(out, packed)) as archive:
            archive.extractall(unpacked)
        [bundle] = [os.path.join(unpacked, n) for n in os.listdir(unpacked)]
        # Python dies at start when a standard handle is a regular file:
        # pipes here.
        result = subprocess.run([*WINE, os.path.join(bundle, "Harbor-Lantern.exe"),
                                 "--flag", "a b"], stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=TIMEOUT)
        self.assertEqual((result.returncode, result.stderr[-len(on_stream(stopped(3))):]),
                         (3, on_stream(stopped(3))), result.stderr)
        with open(os.path.join(bundle, "result.txt")) as f:
            return f.read()

    def test_real_cpython_imports_the_app_and_its_dependency(self):
        sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
        from test_package import make_wheel, write
        wheels = os.path.join(self.root, "wheels")
        make_wheel(wheels, "tidy", "py3-none-any", {"tidy/__init__.py": "VALUE = 'tidy'\n"})
        app = os.path.join(self.root, "app")
        write(os.path.join(app, "helper.py"), "VALUE = 'helper'\n")
        write(os.path.join(app, "firstrun.py"),
              "import os, sys, helper, tidy\n"
              "here = os.path.dirname(os.path.abspath(__file__))\n"
              "with open(os.path.join(here, 'result.txt'), 'w') as f:\n"
              "    f.write(repr([helper.VALUE, tidy.VALUE, sys.argv[1:], sys.version[:5]]))\n"
              "raise SystemExit(3)\n")
        write(os.path.join(app, "requirements.txt"), "tidy\n")
        self.assertEqual(self.pack_and_start(app, "--wheels", wheels, "--requirements",
                                             os.path.join(app, "requirements.txt")),
                         repr(["helper", "tidy", ["--flag", "a b"], "3.7.4"]))

    def test_real_cpython_computes_with_numpy_from_the_package_index(self):
        self.real_runtime()
        try:
            urllib.request.urlopen("https://pypi.org/simple/numpy/", timeout=15).close()
        except OSError:
            self.skipTest("!!! THE PACKAGE INDEX https://pypi.org CANNOT BE REACHED: "
                          "numpy on the real runtime was not tried !!!")
        app = os.path.join(self.root, "app")
        os.makedirs(app)
        with open(os.path.join(app, "firstrun.py"), "w") as f:
            f.write("import os, numpy\n"
                    "here = os.path.dirname(os.path.abspath(__file__))\n"
                    "with open(os.path.join(here, 'result.txt'), 'w') as f:\n"
                    "    f.write(repr([numpy.__version__, int(numpy.arange(10).sum()),\n"
                    "                  round(float(numpy.linalg.det([[2.0, 1.0], [1.0, 3.0]])), 9)]))\n"
                    "raise SystemExit(3)\n")
        with open(os.path.join(app, "pyproject.toml"), "w") as f:
            f.write('[project]\nname = "Numbers"\nversion = "1.0"\n'
                    'dependencies = ["numpy==1.21.6"]\n')
        self.assertEqual(self.pack_and_start(app), repr(["1.21.6", 45, 5.0]))


class ExitCodesAndFailures(Bundle):
    def test_exit_codes(self):
        bundle = make_bundle(self.root, "codes")
        exe = windows_path(os.path.join(bundle, "Harbor-Lantern.exe"))
        for child in (0, 2, 1, 3, 4, 255, 256, 259, 0x7FFFFFFF, 0x80000000,
                      0xC0000005, 0xC000013A, 0xFFFFFFFF):
            with self.subTest(child=child):
                code, err = self.spawn(exe, '"%s" x' % exe, exit_code=child)
                self.assertEqual(code, child)
                self.assertEqual(err, b"" if child in (0, 2) else on_stream(stopped(child)))

    def test_the_command_line_tool_keeps_the_callers_folder_and_every_code(self):
        tool = os.environ.get("HL_TOOL_LAUNCHER")
        if not tool:
            self.skipTest("no command-line tool launcher named (HL_TOOL_LAUNCHER)")
        bundle = make_bundle(self.root, "tool \u00e9", launcher=tool)
        exe = windows_path(os.path.join(bundle, "Harbor-Lantern.exe"))
        caller = os.path.join(self.root, "where the user is")
        os.makedirs(caller)
        for child in (0, 1, 3, 0xC0000005):
            with self.subTest(child=child):
                code, err = self.spawn(exe, '"%s" rel.py' % exe, cwd=windows_path(caller),
                                       exit_code=child)
                self.assertEqual((code, err), (child, b""))
                self.assertEqual(self.record()["cwd"], windows_path(caller))
        os.remove(os.path.join(bundle, "python", "python.exe"))
        code, err = self.spawn(exe, '"%s"' % exe, cwd=windows_path(caller))
        self.assertEqual((code, err), (1, on_stream(MISSING)))

    def test_launcher_failures(self):
        cases = {
            "interpreter missing": (dict(interpreter=False), MISSING),
            "firstrun.py missing starts all the same": (dict(script=False), b""),
        }
        for label, (layout, message) in cases.items():
            with self.subTest(label):
                bundle = make_bundle(self.root, label, **layout)
                exe = windows_path(os.path.join(bundle, "Harbor-Lantern.exe"))
                code, err = self.spawn(exe, '"%s"' % exe)
                self.assertEqual(err, on_stream(message))
                self.assertEqual(code, 1 if message else 0)
                self.assertEqual(self.record() is not None, not message)

    def test_a_folder_named_python_exe_is_a_refused_start(self):
        bundle = make_bundle(self.root, "folder", interpreter=False)
        os.makedirs(os.path.join(bundle, "python", "python.exe"))
        exe = windows_path(os.path.join(bundle, "Harbor-Lantern.exe"))
        code, err = self.spawn(exe, '"%s"' % exe)
        self.assertEqual(code, 1)
        self.assertRegex(err, START_REFUSED)

    def test_a_path_the_platform_cuts_starts_nothing(self):
        # A launcher deeper than 260 characters: the platform hands over the
        # path cut to 259, whose last backslash names some parent folder.
        # An interpreter planted there must not start.
        deep = self.root
        while len(windows_path(deep)) < 300:
            deep = os.path.join(deep, "d" * 40)
        exe_dir = os.path.join(deep, "launcher folder")
        bundle = make_bundle(os.path.dirname(exe_dir), os.path.basename(exe_dir))
        exe_windows = windows_path(os.path.join(bundle, "Harbor-Lantern.exe"))
        cut = exe_windows[:259]
        planted = cut[:cut.rindex("\\")]
        planted_unix = "/" + planted[3:].replace("\\", "/")
        self.assertTrue(os.path.isdir(planted_unix))
        os.makedirs(os.path.join(planted_unix, "python"), exist_ok=True)
        shutil.copy(STAND_IN, os.path.join(planted_unix, "python", "python.exe"))

        env = dict(os.environ, HL_RECORD=windows_path(self.record_path))
        outcome = run_wine([os.path.join(bundle, "Harbor-Lantern.exe")], env=env)
        self.assertEqual(outcome, (1, on_stream(OWN_FOLDER)))
        self.assertIsNone(self.record())


class ConsolePause(Bundle):
    """Standard input a pseudo-terminal: Wine gives the launcher a console."""

    def start_at_console(self, bundle, exit_code):
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        env = dict(os.environ, HL_EXIT_CODE=str(exit_code),
                   HL_RECORD=windows_path(self.record_path))
        process = subprocess.Popen([*WINE, os.path.join(bundle, "Harbor-Lantern.exe")],
                                   stdin=slave, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, env=env)
        os.close(slave)
        self.addCleanup(process.stderr.close)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process, master

    def drain(self, master):
        # Whatever Wine's console writes to the terminal must be read, or it
        # can block on a full terminal buffer.
        while select.select([master], [], [], 0)[0]:
            try:
                os.read(master, 4096)
            except OSError:
                return

    def read_stderr(self, process, expected, seconds=20):
        """Reads until as many bytes as `expected` holds have come, or time is up."""
        got = b""
        deadline = time.monotonic() + seconds
        while len(got) < len(expected) and time.monotonic() < deadline:
            if select.select([process.stderr], [], [], 0.1)[0]:
                chunk = os.read(process.stderr.fileno(), 4096)
                if not chunk:
                    break
                got += chunk
        return got

    def wait(self, process, master, seconds):
        deadline = time.monotonic() + seconds
        while process.poll() is None and time.monotonic() < deadline:
            self.drain(master)
            time.sleep(0.05)
        return process.poll()

    def test_waits_for_enter_after_each_message_that_pauses(self):
        cases = {
            "interpreter missing": (dict(interpreter=False), 0, MISSING, 1),
            "child ended with 3": ({}, 3, stopped(3), 3),
            "child ended with 1": ({}, 1, stopped(1), 1),
        }
        for label, (layout, child, message, expected) in cases.items():
            with self.subTest(label):
                bundle = make_bundle(self.root, label, **layout)
                process, master = self.start_at_console(bundle, child)
                message = on_stream(message)
                self.assertEqual(self.read_stderr(process, message), message)
                # Still waiting well after its message.
                self.assertIsNone(self.wait(process, master, PAUSE_HOLDS))
                os.write(master, b"\r")
                self.assertEqual(self.wait(process, master, TIMEOUT), expected)

    def test_refused_start_pauses_too(self):
        bundle = make_bundle(self.root, "folder", interpreter=False)
        os.makedirs(os.path.join(bundle, "python", "python.exe"))
        process, master = self.start_at_console(bundle, 0)
        err = self.read_stderr(process, b"cannot start the bundled Python (error 5)\n")
        self.assertRegex(err, START_REFUSED)
        self.assertIsNone(self.wait(process, master, PAUSE_HOLDS))
        os.write(master, b"\r")
        self.assertEqual(self.wait(process, master, TIMEOUT), 1)

    def test_never_waits_when_input_is_a_pipe(self):
        # A pipe that stays open and empty: a wrong pause would block here.
        bundle = make_bundle(self.root, "piped")
        env = dict(os.environ, HL_EXIT_CODE="3", HL_RECORD=windows_path(self.record_path))
        with tempfile.TemporaryFile() as err:
            process = subprocess.Popen([*WINE, os.path.join(bundle, "Harbor-Lantern.exe")],
                                       stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                       stderr=err, env=env)
            try:
                self.assertEqual(process.wait(timeout=TIMEOUT), 3)
            finally:
                process.stdin.close()
                if process.poll() is None:
                    process.kill()
            err.seek(0)
            self.assertEqual(err.read(), on_stream(stopped(3)))

    def test_ends_at_once_after_0_and_2(self):
        for child in (0, 2):
            with self.subTest(child=child):
                bundle = make_bundle(self.root, "silent %d" % child)
                process, master = self.start_at_console(bundle, child)
                self.assertEqual(self.wait(process, master, TIMEOUT), child)
                # Wine's console host may keep the pipe open: read, do not
                # wait for its end.
                self.assertEqual(self.read_stderr(process, b"x", seconds=1), b"")


if __name__ == "__main__":
    unittest.main()
