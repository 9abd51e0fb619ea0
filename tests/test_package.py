"""harbor-lantern pack: the layout it writes, the ._pth it makes work, the
wheels it installs for Windows, the pyproject.toml it reads, and the inputs
it refuses without writing anything."""
import base64
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "src"))
# The packer's run-time dependencies, as make installs them for the checkout.
sys.path.insert(1, os.path.join(ROOT, "build", "pydeps"))
from harbor_lantern import pth  # noqa: E402
from stage_package import packer_env, stage  # noqa: E402

LAUNCHER = os.environ.get("HL_LAUNCHER")

OFFICIAL_PTH = ("python312.zip\r\n.\r\n\r\n# Uncomment to run site.main() "
                "automatically\r\n#import site\r\n")


def fake_pe(machine):
    """Just enough of a PE file for its machine field to be read."""
    data = bytearray(256)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x80)
    data[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<H", data, 0x84, machine)
    return bytes(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, content=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content.encode() if isinstance(content, str) else content)
    return path


def make_wheel(folder, name, tag, files, scripts=False, metadata="", version="1.0"):
    """A wheel as installers want it, written here: no network, no build
    backend. metadata: more lines for METADATA (Requires-Dist, ...)."""
    info = f"{name}-{version}.dist-info"
    contents = dict(files)
    contents[f"{info}/METADATA"] = (f"Metadata-Version: 2.1\nName: {name}\n"
                                    f"Version: {version}\n" + metadata)
    contents[f"{info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: "
                                 f"{str(tag.endswith('any')).lower()}\nTag: {tag}\n")
    if scripts:
        contents[f"{info}/entry_points.txt"] = f"[console_scripts]\n{name}-cli = {name}:main\n"
    record = []
    for path, text in contents.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest())
        record.append(f"{path},sha256={digest.rstrip(b'=').decode()},{len(text)}")
    contents[f"{info}/RECORD"] = "\n".join(record + [f"{info}/RECORD,,"]) + "\n"
    path = os.path.join(folder, f"{name}-{version}-{tag}.whl")
    with zipfile.ZipFile(write(path), "w") as archive:
        for member, text in contents.items():
            archive.writestr(member, text)
    return path


class Pth(unittest.TestCase):
    def test_additions_keep_every_line_of_the_makers_file(self):
        edited = "python312.zip\n.\n..\nLib/site-packages\nimport site\n"
        cases = [
            # (the maker's ._pth, packages installed, tkinter added, lines added)
            (OFFICIAL_PTH, False, False, [".."]),
            (OFFICIAL_PTH, True, False, ["..", "Lib\\site-packages", "import site"]),
            (OFFICIAL_PTH, True, True, ["..", "Lib", "Lib\\site-packages", "import site"]),
            (edited, True, False, []),
            (edited, False, True, ["Lib"]),
            ("python312.zip\n.\nimport site", True, False, ["..", "Lib\\site-packages"]),
            ("", False, False, [".."]),
        ]
        for text, installed, lib, added in cases:
            with self.subTest(text=text, installed=installed, lib=lib):
                result = pth.edit_pth(text, installed, lib)
                self.assertTrue(result.startswith(text))
                if added:
                    self.assertEqual(result[len(text):].strip().splitlines()[1:], added)
                else:
                    self.assertEqual(result, text)
                newline = "\r\n" if "\r\n" in text else "\n"
                self.assertEqual(result.count(newline), result.count("\n"))


class TkinterParts(unittest.TestCase):
    def test_only_what_tkinter_needs_and_every_tcl_tk_dll(self):
        from harbor_lantern import tcltk
        package = ["python.exe", "python313.dll", "DLLs/_tkinter.pyd", "DLLs/_ssl.pyd",
                   "DLLs/tcl86t.dll", "DLLs/tk86t.dll", "DLLs/tcl90.dll", "DLLs/tcl9tk90.dll",
                   "DLLs/zlib1.dll", "DLLs/libssl-3.dll", "Lib/os.py", "Lib/turtle.py",
                   "Lib/tkinter/__init__.py", "Lib/tkinter/__pycache__/ttk.cpython-313.pyc",
                   "Lib/turtledemo/clock.py", "Lib/idlelib/idle.py", "tcl/tcl8.6/init.tcl",
                   "tcl/tk8.6/tk.tcl", "Scripts/pip.exe"]
        chosen = tcltk.parts({name: b"" for name in package}, "the package")
        self.assertEqual(sorted(chosen), [
            "Lib/tkinter/__init__.py", "Lib/turtle.py", "_tkinter.pyd", "tcl/tcl8.6/init.tcl",
            "tcl/tk8.6/tk.tcl", "tcl86t.dll", "tcl90.dll", "tcl9tk90.dll", "tk86t.dll",
            "zlib1.dll"])


class Packer(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.root = self.tmp.name
        self.exe = LAUNCHER
        self.exe_arm64 = write(self.path("build-arm64/Harbor-Lantern.exe"), fake_pe(0xAA64))
        self.exe_windowed = write(self.path("build/windowed.exe"), fake_pe(0x8664) + b"w")
        self.tool = stage(self.path("tool"), {"x64/console.exe": self.exe,
                                              "arm64/console.exe": self.exe_arm64,
                                              "x64/windowed.exe": self.exe_windowed})
        self.out = self.path("dist")
        self.app = self.path("app")
        write(self.path("app/firstrun.py"), "import helper\n")
        write(self.path("app/helper.py"), "VALUE = 1\n")
        write(self.path("app/data/words.txt"), "hej\n")
        write(self.path("app/__pycache__/helper.cpython-312.pyc"), b"\0")
        write(self.path("app/stale.pyc"), b"\0")
        write(self.path("app/.git/HEAD"), "ref\n")
        os.makedirs(self.path("app/empty"))
        self.runtime_zip = self.make_runtime_zip("python-3.12.8-embed-amd64.zip")

    def path(self, relative):
        return os.path.join(self.root, relative)

    def make_runtime_zip(self, name, machine=0x8664, dll="python312.dll", extra=()):
        path = self.path(name)
        with zipfile.ZipFile(path, "w") as archive:
            archive.writestr("python.exe", fake_pe(machine))
            archive.writestr(dll, b"dll")
            archive.writestr("python312.zip", b"stdlib")
            archive.writestr("python312._pth", OFFICIAL_PTH)
            archive.writestr("DLLs/", b"")
            for member, data in extra:
                archive.writestr(member, data)
        return path

    def pack(self, *options, cwd=None):
        return subprocess.run(
            [sys.executable, "-m", "harbor_lantern", "pack",
             "--bytecode", "sources", "--out", self.out, *options],
            # A dead index: a pack that names no runtime never reaches python.org.
            env=packer_env(self.tool, HARBOR_LANTERN_CACHE=self.path("cache"),
                           HARBOR_LANTERN_PYTHON_INDEX="http://127.0.0.1:9/index.json"),
            cwd=cwd, capture_output=True, text=True, timeout=120)

    def packed(self, *options):
        result = self.pack(*options)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        [name] = [n for n in os.listdir(self.out) if n.endswith(".zip")]
        with zipfile.ZipFile(os.path.join(self.out, name)) as archive:
            self.assertEqual({i.date_time for i in archive.infolist()},
                             {(1980, 1, 1, 0, 0, 0)})
            return {n: archive.read(n) for n in archive.namelist()}, name

    def test_app_folder_and_runtime_zip(self):
        before = read(self.runtime_zip)
        archive, name = self.packed("--python-zip", self.runtime_zip, self.app)
        self.assertEqual(name, "Harbor-Lantern-1.1.0-win64.zip")
        top = "Harbor-Lantern-1.1.0/"
        self.assertEqual([n[len(top):] for n in list(archive)], [
            "Harbor-Lantern.exe", "data/words.txt", "empty/", "firstrun.py",
            "helper.py", "python/DLLs/", "python/python.exe", "python/python312._pth",
            "python/python312.dll", "python/python312.zip"])
        self.assertEqual(archive[top + "python/python312._pth"].decode(),
                         OFFICIAL_PTH + "# added by harbor-lantern\r\n..\r\n")
        self.assertEqual(read(self.runtime_zip), before)
        digest = hashlib.sha256(read(os.path.join(self.out, name))).hexdigest()
        with open(os.path.join(self.out, name + ".sha256")) as f:
            self.assertEqual(f.read(), f"{digest}  {name}\n")

    def test_version_and_architecture_choose_the_zip_and_launcher(self):
        cases = [
            (0x8664, "python312.dll", "Harbor-Lantern-1.1.0-win64.zip", self.exe),
            (0xAA64, "python313.dll", "Harbor-Lantern-1.1.0-win-arm64.zip", self.exe_arm64),
        ]
        for machine, dll, expected, launcher in cases:
            with self.subTest(dll=dll):
                runtime = self.path(f"runtime-{machine}")
                write(os.path.join(runtime, "python.exe"), fake_pe(machine))
                write(os.path.join(runtime, dll))
                result = self.pack("--python-dir", runtime, "--firstrun",
                                   self.path("app/helper.py"))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(f"CPython 3.{dll[7:9]}", result.stdout)
                self.assertIn(expected, os.listdir(self.out))
                # No ._pth: the runtime goes in as it is.
                with zipfile.ZipFile(os.path.join(self.out, expected)) as archive:
                    self.assertFalse([n for n in archive.namelist() if "_pth" in n])
                    self.assertEqual(archive.read("Harbor-Lantern-1.1.0/Harbor-Lantern.exe"),
                                     read(launcher))

    def test_dependencies_from_a_wheel_folder(self):
        wheels = self.path("wheels")
        make_wheel(wheels, "tidy", "py3-none-any", {"tidy/__init__.py": "def main(): pass\n"},
                   scripts=True)
        make_wheel(wheels, "fast", "cp312-cp312-win_amd64", {"fast/__init__.py": ""})
        make_wheel(wheels, "oldabi", "cp311-cp311-win_amd64", {"oldabi/__init__.py": ""})
        make_wheel(wheels, "unixonly", "cp312-cp312-manylinux_2_17_x86_64",
                   {"unixonly/__init__.py": ""})
        requirements = write(self.path("requirements.txt"), "tidy\nfast\n")
        archive, _ = self.packed("--python-zip", self.runtime_zip, self.app,
                                 "--requirements", requirements, "--wheels", wheels)
        names = list(archive)
        site = "Harbor-Lantern-1.1.0/python/Lib/site-packages/"
        self.assertIn(site + "tidy/__init__.py", names)
        self.assertIn(site + "fast/__init__.py", names)
        self.assertEqual([n for n in names if n.endswith(".pyc") or "/bin/" in n], [])
        self.assertTrue(archive["Harbor-Lantern-1.1.0/python/python312._pth"].decode()
                        .endswith("..\r\nLib\\site-packages\r\nimport site\r\n"))
        packed = os.path.join(self.out, "Harbor-Lantern-1.1.0-win64.zip")
        first = read(packed)
        self.packed("--python-zip", self.runtime_zip, self.app,
                    "--requirements", requirements, "--wheels", wheels)
        self.assertEqual(read(packed), first)

        self.clear_out()
        for wanted in ("oldabi", "unixonly"):
            with self.subTest(wanted):
                write(requirements, wanted + "\n")
                self.refused(f"no wheel of {wanted} for CPython 3.12 on Windows x64",
                             "--python-zip", self.runtime_zip, self.app,
                             "--requirements", requirements, "--wheels", wheels)

    def test_pyproject_gives_the_defaults(self):
        wheels = self.path("wheels")
        make_wheel(wheels, "tidy", "py3-none-any", {"tidy/__init__.py": ""})
        write(self.path("app/pyproject.toml"),
              '[project]\nname = "Tally"\nversion = "2.1"\ndependencies = ["tidy"]\n')
        archive, name = self.packed("--python-zip", self.runtime_zip, self.app,
                                    "--wheels", wheels)
        self.assertEqual(name, "Tally-2.1-win64.zip")
        self.assertIn("Tally-2.1/python/Lib/site-packages/tidy/__init__.py",
                      list(archive))
        self.clear_out()
        archive, name = self.packed("--python-zip", self.runtime_zip, self.app,
                                    "--wheels", wheels, "--name", "Other", "--app-version", "3")
        self.assertEqual(name, "Other-3-win64.zip")

    def test_tool_table_and_the_command_line_over_it(self):
        wheels = self.path("app/vendor")
        make_wheel(wheels, "tidy", "py3-none-any", {"tidy/__init__.py": ""})
        write(self.path("app/runtime.zip"), read(self.runtime_zip))
        write(self.path("app/pyproject.toml"),
              '[project]\nname = "Tally"\ndynamic = ["version"]\ndependencies = ["tidy"]\n'
              '[tool.harbor-lantern]\npython-zip = "runtime.zip"\nwheels = "vendor"\n'
              'python = "3.99"\nout = "../table-out"\n')
        # From the app's own folder, as makers run it: the zip goes to the
        # table's out, and the runtime given here replaces the table's.
        result = self.pack(cwd=self.app)
        self.assertIn("name the Windows Python runtime once", result.stderr)
        self.out = self.path("table-out")
        result = subprocess.run(
            [sys.executable, "-m", "harbor_lantern", "pack",
             "--bytecode", "sources", "--python-zip",
             self.runtime_zip], env=packer_env(self.tool), cwd=self.app,
            capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        with zipfile.ZipFile(self.path("table-out/Tally-1.1.0-win64.zip")) as archive:
            names = archive.namelist()
        self.assertIn("Tally-1.1.0/python/Lib/site-packages/tidy/__init__.py", names)
        self.assertIn("Tally-1.1.0/vendor/tidy-1.0-py3-none-any.whl", names)

        self.clear_out()
        write(self.path("app/pyproject.toml"), '[tool.harbor-lantern]\nicon_file = "a"\n')
        self.refused("has no key icon_file; the keys are python, arch, python-zip",
                     self.app, "--python-zip", self.runtime_zip)

    def test_only_what_belongs_in_the_zip(self):
        outside = self.path("elsewhere")
        write(os.path.join(outside, "pyvenv.cfg"), "home = /usr/bin\n")
        os.symlink(outside, self.path("app/linked-env"))
        for relative in (".venv/pyvenv.cfg", ".venv/lib/site.py", ".tox/py/log.txt",
                         ".mypy_cache/x.json", "dist/Harbor-Lantern-1.0-win64.zip",
                         "dist/Harbor-Lantern-1.0-win64.zip.sha256", "dist/notes.txt",
                         "build/out.o", "run.log", "keep.log", "docs/guide.md",
                         "data/big.bin", "data/small.bin"):
            write(self.path("app/" + relative), "x")
        os.symlink("/usr/bin/python3", self.path("app/.venv/python"))
        write(self.path("app/.gitignore"), "build/\n*.log\n!keep.log\n")
        write(self.path("app/data/.gitignore"), "big.bin\n")
        write(self.path("app/pyproject.toml"), "[tool.harbor-lantern]\n"
              'exclude = ["docs/"]\n')
        result = self.pack("--python-zip", self.runtime_zip, self.app)
        self.assertEqual(result.returncode, 0, result.stderr)
        with zipfile.ZipFile(os.path.join(self.out, os.listdir(self.out)[0])) as archive:
            shipped = sorted(n.split("/", 1)[1] for n in archive.namelist()
                             if not n.split("/", 1)[1].startswith("python/"))
        self.assertEqual(shipped, [
            ".gitignore", "Harbor-Lantern.exe", "data/.gitignore", "data/small.bin",
            "data/words.txt", "dist/notes.txt", "empty/", "firstrun.py", "helper.py",
            "keep.log", "pyproject.toml"])
        self.assertIn("left out 14 file(s) that do not belong in the zip: .venv/ (3), "
                      "dist/ (2), .git/ (1), .mypy_cache/ (1), .tox/ (1) and 6 more",
                      result.stdout)
        self.clear_out()
        os.symlink(self.path("secret.txt"), self.path("app/key.txt"))
        self.refused("put a copy of what it names in its place, or leave it out "
                     "(--exclude key.txt)", "--python-zip", self.runtime_zip, self.app)
        self.pack("--python-zip", self.runtime_zip, self.app, "--exclude", "key.txt")
        self.assertTrue(os.listdir(self.out))

    def test_pyproject_mistakes_are_one_line(self):
        cases = [
            ('name = "T"\nversion = "1"\ndepenencies = ["tidy"]\n',
             "[project] must not contain {'depenencies'} properties"),
            ('name = "T"\nversion = 2\n', "[project] version must be string"),
            ('name = "T"\nversion = "1"\nrequires-python = ">>3"\n',
             "[project] requires-python must be pep508-versionspec"),
            ('name = "T"\nversion = "1"\ndependencies = ["a b c"]\n',
             "[project] dependencies[0] must be pep508"),
        ]
        for project, message in cases:
            with self.subTest(message=message):
                write(self.path("app/pyproject.toml"), "[project]\n" + project)
                self.refused(f"{os.path.join(self.app, 'pyproject.toml')}: {message}",
                             "--python-zip", self.runtime_zip, self.app)

    def test_windowed_from_the_table(self):
        runtime = self.make_runtime_zip("w.zip", extra=[("pythonw.exe", fake_pe(0x8664))])
        write(self.path("app/pyproject.toml"), "[tool.harbor-lantern]\nwindowed = true\n")
        archive, _ = self.packed("--python-zip", runtime, self.app)
        self.assertEqual(archive["Harbor-Lantern-1.1.0/Harbor-Lantern.exe"],
                         read(self.exe_windowed))
        self.clear_out()
        self.refused("has no pythonw.exe, which a windowed app starts",
                     "--python-zip", self.runtime_zip, self.app)

    def test_an_app_or_a_dependency_that_imports_tkinter_is_warned(self):
        wheels = self.path("wheels")
        make_wheel(wheels, "guikit", "py3-none-any",
                   {"guikit/__init__.py": "", "guikit/windows.py": "import tkinter\n"})
        cases = [
            ("app/gui/window.py", "harbor-lantern: warning: gui/window.py imports "
             "tkinter, which the embeddable runtime lacks: add --tkinter.\n"),
            ("app/gui/plain.py", "harbor-lantern: warning: the dependency guikit 1.0 "
             "imports tkinter (in guikit/windows.py), which the embeddable runtime "
             "lacks: add --tkinter.\n"),
        ]
        for module, warning in cases:
            with self.subTest(module=module):
                shutil.rmtree(self.out, ignore_errors=True)
                shutil.rmtree(self.path("app/gui"), ignore_errors=True)
                write(self.path(module), "import os\nfrom tkinter import ttk\n"
                      if module.endswith("window.py") else "import os\n")
                result = self.pack("--python-zip", self.runtime_zip, self.app,
                                   "--wheels", wheels)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, warning)
                self.assertTrue(os.listdir(self.out))

    def test_output_folder_inside_the_app_is_left_out(self):
        self.packed("--python-zip", self.runtime_zip, self.app)
        os.replace(self.out, self.path("app/dist"))
        self.out = self.path("app/dist")
        archive, _ = self.packed("--python-zip", self.runtime_zip, self.app)
        self.assertEqual([n for n in archive if "/dist/" in n], [])

    def clear_out(self):
        for old in os.listdir(self.out):
            os.remove(os.path.join(self.out, old))

    def refused(self, message, *options):
        result = self.pack(*options)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(message, result.stderr)
        self.assertEqual(len(result.stderr.strip().splitlines()), 1, result.stderr)
        self.assertFalse(os.path.isdir(self.out) and os.listdir(self.out))

    def test_refusals_write_no_zip(self):
        zip_ = ["--python-zip", self.runtime_zip]
        app = [self.app]
        outside = write(self.path("secret.txt"), "secret")
        linked_app = self.path("linked")
        write(os.path.join(linked_app, "firstrun.py"))
        os.symlink(outside, os.path.join(linked_app, "key.txt"))
        linked_runtime = self.path("linked-runtime")
        write(os.path.join(linked_runtime, "python.exe"), fake_pe(0x8664))
        os.symlink(self.root, os.path.join(linked_runtime, "Lib"))
        for label, top_entry in (("python-entry", "python/x.py"),
                                 ("exe-entry", "Harbor-Lantern.exe")):
            write(self.path(f"{label}/firstrun.py"))
            write(self.path(f"{label}/{top_entry}"))
        cases = [
            ("no runtime, no index", app, "no runtime named, so the newest CPython: "
             "cannot read the index http://127.0.0.1:9/index.json"),
            ("two runtimes", zip_ + ["--python-dir", self.app] + app,
             "name the Windows Python runtime once"),
            ("no python.exe", ["--python-dir", self.app] + app, "has no python.exe"),
            ("windowed and a console tool", zip_ + app + ["--windowed", "--console-tool"],
             "--windowed and --console-tool: an app is either double-clicked"),
            ("32-bit", ["--python-zip", self.make_runtime_zip("x86.zip", 0x14C)] + app,
             "32-bit (x86) runtime"),
            ("no version", ["--python-zip", self.make_runtime_zip("v.zip", dll="py.dll")]
             + app, "python3XY.dll"),
            ("entry with ..", ["--python-zip", self.make_runtime_zip(
                "dots.zip", extra=[("../evil.txt", b"x")])] + app, "points outside"),
            ("absolute entry", ["--python-zip", self.make_runtime_zip(
                "abs.zip", extra=[("/etc/evil", b"x")])] + app, "points outside"),
            ("not a zip", ["--python-zip", outside] + app, "cannot be read as a zip"),
            ("no firstrun.py", zip_ + [self.path("app/data")],
             "has no firstrun.py"),
            ("python at the top", zip_ + [self.path("python-entry")],
             "entry named python"),
            ("launcher at the top", zip_ + [self.path("exe-entry")],
             "entry named Harbor-Lantern.exe"),
            ("link out of the app", zip_ + [linked_app], "outside"),
            ("link out of the runtime", ["--python-dir", linked_runtime] + app, "outside"),
            ("script missing", zip_ + ["--firstrun", self.path("nope.py")], "is not a file"),
            ("bad name", zip_ + app + ["--name", "../up"], "--name ../up cannot name"),
            ("zip in the app itself", zip_ + app + ["--out", self.app], "itself"),
            ("python and arch", ["--python", "3.12", "--arch", "x86"] + app,
             "--arch x86 is not an architecture"),
            ("windowed without pythonw", zip_ + app + ["--windowed"],
             "has no pythonw.exe, which a windowed app starts: use the official "
             "embeddable runtime, or leave out --windowed."),
            ("arch of a zip", zip_ + app + ["--arch", "arm64"],
             "is a runtime for x64, not for --arch arm64"),
            ("tkinter from a runtime", zip_ + app + ["--tkinter-from", self.runtime_zip],
             "has no DLLs\\_tkinter.pyd"),
            ("tkinter of another build", zip_ + app + ["--tkinter-from", self.make_runtime_zip(
                "arm.zip", extra=[("DLLs/_tkinter.pyd", fake_pe(0xAA64))])],
             "is tkinter for CPython (unknown) on arm64, and --python-zip"),
            ("tkinter from files and the index", app + ["--python", "3.12",
                                                        "--tkinter-from", self.app],
             "with --python, Tcl/Tk comes from the index's full package"),
            ("tkinter without a source", zip_ + app + ["--tkinter"],
             "name python.org's full package of the same release with --tkinter-from"),
        ]
        for label, options, message in cases:
            with self.subTest(label):
                self.refused(message, *options)


if __name__ == "__main__":
    unittest.main()
