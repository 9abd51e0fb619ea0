"""Dependencies as Windows installs them: markers and extras evaluated for the
target, sdists, hashes, pylock.toml, the cache and offline packs, against a
package index in the "simple" format served on 127.0.0.1; then pinned
packages from the real package index."""
import hashlib
import io
import os
import shutil
import re
import subprocess
import sys
import tarfile
import tempfile
import unittest
import urllib.request
import zipfile
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
sys.path.insert(0, HERE)
from stage_package import packer_env, stage  # noqa: E402
from test_fetch import Server  # noqa: E402
from test_package import OFFICIAL_PTH, fake_pe, make_wheel, read, write  # noqa: E402

SITE = "Harbor-Lantern-1.1.0/python/Lib/site-packages/"

# A build backend that lives in the sdist itself, so building needs nothing
# from any index; the tag it writes stands for what a real build would give.
BACKEND = '''
import base64, hashlib, sys, zipfile
NAME, TAG, METADATA, FAILS = {name!r}, {tag!r}, {metadata!r}, {fails!r}
def build_wheel(directory, config_settings=None, metadata_directory=None):
    if FAILS:
        sys.stderr.write(FAILS)
        raise SystemExit(1)
    info = NAME + "-1.0.dist-info"
    files = {{NAME + "/__init__.py": "",
             info + "/METADATA": "Metadata-Version: " + METADATA + "\\nName: " + NAME
                                 + "\\nVersion: 1.0\\n",
             info + "/WHEEL": "Wheel-Version: 1.0\\nGenerator: t\\nRoot-Is-Purelib: true\\nTag: " + TAG + "\\n"}}
    record = [p + ",sha256=" + base64.urlsafe_b64encode(hashlib.sha256(t.encode()).digest())
              .rstrip(b"=").decode() + "," + str(len(t)) for p, t in files.items()]
    files[info + "/RECORD"] = "\\n".join(record + [info + "/RECORD,,"]) + "\\n"
    name = NAME + "-1.0-" + TAG + ".whl"
    with zipfile.ZipFile(directory + "/" + name, "w") as archive:
        for path, text in files.items():
            archive.writestr(path, text)
    return name
'''


def make_sdist(folder, name, tag, metadata="2.4", fails=None):
    """An sdist whose build writes Metadata-Version metadata, or fails with
    fails on its standard error."""
    files = {"pyproject.toml": f'[build-system]\nrequires = []\nbuild-backend = "backend"\n'
                               f'backend-path = ["."]\n[project]\nname = "{name}"\n'
                               'version = "1.0"\n',
             "backend.py": BACKEND.format(name=name, tag=tag, metadata=metadata,
                                          fails=fails),
             "PKG-INFO": f"Metadata-Version: {metadata}\nName: {name}\nVersion: 1.0\n"}
    path = write(os.path.join(folder, f"{name}-1.0.tar.gz"), b"")
    with tarfile.open(path, "w:gz") as archive:
        for member, text in files.items():
            info = tarfile.TarInfo(f"{name}-1.0/{member}")
            info.size = len(text.encode())
            archive.addfile(info, io.BytesIO(text.encode()))
    return path


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Index(Server):
    """A PEP 503 index of some distributions, on a port of its own."""

    def __init__(self, files):
        super().__init__()
        by_name = {}
        for path in files:
            name = os.path.basename(path).split("-", 1)[0].replace("_", "-").lower()
            by_name.setdefault(name, []).append(path)
        for name, paths in by_name.items():
            links = "".join(f'<a href="/files/{os.path.basename(p)}#sha256={sha256(p)}">'
                            f"{os.path.basename(p)}</a>\n" for p in paths)
            self.files[f"/simple/{name}/"] = (
                f"<!DOCTYPE html><html><body>{links}</body></html>").encode()
            for p in paths:
                self.files[f"/files/{os.path.basename(p)}"] = read(p)
        self.url += "/simple"


class Dependencies(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        root = cls.root = cls.tmp.name
        dists = os.path.join(root, "dists")
        files = [make_wheel(dists, name, "py3-none-any", {f"{name}/__init__.py": ""})
                 for name in ("winonly", "linuxonly", "pynew", "pyold", "amdonly",
                              "armonly", "nested", "guidep", "linuxdep")]
        files.append(make_wheel(dists, "parent", "py3-none-any", {"parent/__init__.py": ""},
                                metadata="Provides-Extra: gui\n"
                                'Requires-Dist: nested; implementation_name == "cpython" '
                                'and platform_python_implementation == "CPython"\n'
                                'Requires-Dist: guidep; extra == "gui"\n'
                                'Requires-Dist: linuxdep; extra == "gui" and '
                                'os_name != "nt"\n'))
        files.append(make_wheel(dists, "unixonly", "cp312-cp312-manylinux_2_17_x86_64",
                                {"unixonly/__init__.py": ""}))
        files.append(make_sdist(dists, "puresrc", "py3-none-any"))
        files.append(make_sdist(dists, "nativesrc", "cp311-cp311-linux_x86_64"))
        files.append(make_sdist(dists, "oldsrc", "py3-none-any", metadata="2.1"))
        files.append(make_sdist(dists, "brokensrc", "py3-none-any", fails=(
            "compiling _sha3.c\nsha3module.c:10:10: fatal error: pystrhex.h: No such file "
            "or directory\ncompilation terminated.\nerror: command '/usr/bin/gcc' failed "
            "with exit code 1\n")))
        files.append(make_wheel(dists, "brokensrc", "cp312-cp312-win_amd64",
                                {"brokensrc/__init__.py": ""}, version="2.0"))
        files.append(make_wheel(dists, "brokensrc", "cp313-cp313-win_amd64",
                                {"brokensrc/__init__.py": ""}, version="3.0"))
        cls.files = {os.path.basename(p).split("-", 1)[0]: p for p in files}
        cls.index = Index(files)
        cls.tool = stage(os.path.join(root, "tool"), {
            "x64/console.exe": write(os.path.join(root, "x64.exe"), fake_pe(0x8664)),
            "arm64/console.exe": write(os.path.join(root, "arm64.exe"), fake_pe(0xAA64))})
        cls.runtimes = {}
        for arch, machine in (("x64", 0x8664), ("arm64", 0xAA64)):
            path = cls.runtimes[arch] = os.path.join(root, f"runtime-{arch}.zip")
            with zipfile.ZipFile(path, "w") as archive:
                archive.writestr("python.exe", fake_pe(machine))
                archive.writestr("python312.dll", b"dll")
                archive.writestr("python312._pth", OFFICIAL_PTH)
        cls.app = os.path.dirname(write(os.path.join(root, "app", "firstrun.py"), ""))

    @classmethod
    def tearDownClass(cls):
        cls.index.stop()
        cls.tmp.cleanup()

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.root)
        self.cache = os.path.join(self.work, "cache")

    def pack(self, requirements, arch="x64", index=None, extra=(), out="out"):
        """(result, {installed top-level names}) of one pack."""
        path = write(os.path.join(self.work, "requirements.txt"), requirements) \
            if "\n" in requirements else requirements
        out = os.path.join(self.work, out)
        result = subprocess.run(
            [sys.executable, "-m", "harbor_lantern", "pack",
             "--bytecode", "sources", self.app, "--python-zip",
             self.runtimes[arch], "--requirements", path, "--out", out,
             *(["--index-url", index or self.index.url] if "--wheels" not in extra
               else []), *extra],
            env=packer_env(self.tool, HARBOR_LANTERN_CACHE=self.cache),
            capture_output=True, text=True, timeout=180)
        installed = set()
        zips = [n for n in os.listdir(out) if n.endswith(".zip")] if os.path.isdir(out) \
            else []
        if zips:
            with zipfile.ZipFile(os.path.join(out, zips[0])) as archive:
                installed = {n[len(SITE):].split("/")[0] for n in archive.namelist()
                             if n.startswith(SITE) and ".dist-info" not in n}
        return result, installed

    def assert_packed(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_markers_and_extras_are_evaluated_for_the_target(self):
        requirements = ('winonly; platform_system == "Windows" and os_name == "nt" '
                        'and sys_platform == "win32"\n'
                        'linuxonly; sys_platform == "linux"\n'
                        # This machine's Python is 3.11: its answer would be the
                        # other way round.
                        'pynew; python_version >= "3.12"\n'
                        'pyold; python_version < "3.12"\n'
                        'amdonly; platform_machine == "AMD64"\n'
                        'armonly; platform_machine == "ARM64"\n'
                        "parent[gui]\n")
        common = {"winonly", "pynew", "parent", "nested", "guidep"}
        for arch, expected in (("x64", common | {"amdonly"}),
                               ("arm64", common | {"armonly"})):
            with self.subTest(arch):
                result, installed = self.pack(requirements, arch, out=arch)
                self.assert_packed(result)
                self.assertEqual(installed, expected)
                self.assertIn("installed amdonly 1.0" if arch == "x64" else
                              "installed armonly 1.0", result.stdout)

    def test_sdists_hashes_and_locks(self):
        winonly = self.files["winonly"]
        url = f"{self.index.url[:-len('/simple')]}/files/{os.path.basename(winonly)}"
        # As uv export --format pylock.toml writes a universal lock.
        packages = "".join(
            f'[[packages]]\nname = "{name}"\nversion = "1.0"\nmarker = "{marker}"\n'
            f'wheels = [{{ url = "{url.replace("winonly", name)}", hashes = {{ sha256 = '
            f'"{sha256(self.files[name])}" }} }}]\n\n'
            for name, marker in (("winonly", "sys_platform == 'win32'"),
                                 ("linuxonly", "sys_platform == 'linux'")))
        lock = write(os.path.join(self.work, "pylock.toml"),
                     'lock-version = "1.0"\ncreated-by = "uv"\n\n' + packages)
        cases = [
            ("pure sdist", "puresrc\n", {"puresrc"}),
            ("pinned hash", f"winonly==1.0 --hash=sha256:{sha256(winonly)}\n", {"winonly"}),
            ("pylock.toml", lock, {"winonly"}),
        ]
        for n, (label, requirements, expected) in enumerate(cases):
            with self.subTest(label):
                result, installed = self.pack(requirements, out=f"out-{n}")
                self.assert_packed(result)
                self.assertEqual(installed, expected)
                self.assertNotIn("built from its sources", result.stderr)
        with self.subTest("an sdist whose build chose its dependencies"):
            result, installed = self.pack("oldsrc\n", out="old")
            self.assert_packed(result)
            self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
            self.assertIn("oldsrc 1.0 was built from its sources on this machine, and its "
                          "build chose its dependencies (metadata 2.1): on Windows they "
                          "may differ", result.stderr)
        with self.subTest("a copied folder of wheels gives the same zip"):
            copy = os.path.join(self.work, "copied wheels")
            os.makedirs(copy)
            for name in ("winonly", "parent", "nested"):
                shutil.copyfile(self.files[name], os.path.join(copy, os.path.basename(
                    self.files[name])))
                os.utime(os.path.join(copy, os.path.basename(self.files[name])),
                         (1234567890, 1234567890))
            zips = []
            for label, folder in (("first", os.path.dirname(self.files["winonly"])),
                                  ("copy", copy)):
                result, installed = self.pack("winonly\nparent\n", extra=[
                    "--wheels", folder], out=label)
                self.assert_packed(result)
                zips.append(sha256(os.path.join(self.work, label,
                                                "Harbor-Lantern-1.1.0-win64.zip")))
            self.assertEqual(zips[0], zips[1])
        with self.subTest("sdists in --wheels, offline"):
            result, installed = self.pack("puresrc\n", extra=[
                "--wheels", os.path.dirname(self.files["puresrc"])], out="folder")
            self.assert_packed(result)
            self.assertEqual(installed, {"puresrc"})

    def refused(self, message, requirements, **options):
        result, _ = self.pack(requirements, out="refused", **options)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(message, result.stderr)
        self.assertEqual(len(result.stderr.strip().splitlines()), 1, result.stderr)
        self.assertNotIn("Traceback", result.stderr)
        out = os.path.join(self.work, "refused")
        self.assertFalse(os.path.isdir(out) and os.listdir(out))

    def test_bad_input_is_one_line_and_no_zip(self):
        cases = [
            ("no such package", "nosuch\n", "nosuch"),
            ("no such version", "winonly==9.9\n", "winonly"),
            ("invalid line", "winonly\nbad line here\n",
             "has an invalid requirement `bad line here`"),
            ("wrong hash", "winonly==1.0 --hash=sha256:" + "0" * 64 + "\n",
             "winonly==1.0 does not match its hash in --requirements"),
            ("a build only for this machine", "nativesrc\n",
             "nativesrc (from --requirements"),
            ("only a Linux wheel", "unixonly\n",
             "no wheel of unixonly for CPython 3.12 on Windows x64"),
        ]
        for label, requirements, message in cases:
            with self.subTest(label):
                self.refused(message, requirements)
        with self.subTest("a build that fails"):
            self.refused("brokensrc 1.0 (from --requirements", "brokensrc==1.0\n")
            result, _ = self.pack("brokensrc==1.0\n", out="refused")
            log = re.search(r"the whole build log is in (\S+)", result.stderr).group(1)
            self.assertIn(" did not build from its sources: sha3module.c:10:10: fatal "
                          "error: pystrhex.h: No such file or directory -- put a wheel of it "
                          "for CPython 3.12 on Windows x64 in --wheels, or require "
                          "brokensrc==2.0, which has one;", result.stderr.replace(
                              "brokensrc 1.0 (from --requirements " +
                              os.path.join(self.work, "requirements.txt") + ")", ""))
            with open(log) as f:
                self.assertIn("compilation terminated.", f.read())
        with self.subTest("needs a Windows wheel"):
            self.refused("it needs a Windows wheel; put one in --wheels.", "nativesrc\n")
        with self.subTest("index unreachable, nothing cached"):
            self.refused("cannot reach the package index http://127.0.0.1:9/simple",
                         "winonly\n", index="http://127.0.0.1:9/simple")

    def test_the_cache_packs_offline_and_is_shared_by_packs_at_once(self):
        index = Index([self.files["winonly"], self.files["parent"], self.files["nested"]])
        requirements = "winonly\nparent\n"
        with ThreadPoolExecutor(2) as pool:
            results = list(pool.map(lambda n: self.pack(requirements, index=index.url,
                                                        out=f"at-once-{n}"), (1, 2)))
        for result, installed in results:
            self.assert_packed(result)
            self.assertEqual(installed, {"winonly", "parent", "nested"})
        zips = [os.path.join(self.work, f"at-once-{n}", "Harbor-Lantern-1.1.0-win64.zip")
                for n in (1, 2)]
        self.assertEqual(sha256(zips[0]), sha256(zips[1]))
        index.stop()
        for label, extra in (("offline", []), ("refresh", ["--refresh"])):
            with self.subTest(label):
                result, installed = self.pack(requirements, index=index.url, out=label,
                                              extra=extra)
                self.assert_packed(result)
                self.assertIn("packed offline", result.stderr)
        self.assertEqual(sha256(os.path.join(self.work, "offline",
                                             "Harbor-Lantern-1.1.0-win64.zip")),
                         sha256(zips[0]))


def pypi_reachable():
    try:
        urllib.request.urlopen("https://pypi.org/simple/click/", timeout=15).close()
        return True
    except OSError:
        return False


class RealIndex(unittest.TestCase):
    """Pinned releases from the real package index."""

    def setUp(self):
        if not pypi_reachable():
            self.skipTest("!!! THE PACKAGE INDEX https://pypi.org CANNOT BE REACHED: "
                          "the real-index cases were not run !!!")

    def test_windows_only_dependencies_come_along(self):
        with tempfile.TemporaryDirectory() as root:
            tool = stage(os.path.join(root, "tool"), {
                "x64/console.exe": write(os.path.join(root, "x64.exe"), fake_pe(0x8664))})
            app = os.path.dirname(write(os.path.join(root, "app", "firstrun.py"), ""))
            runtime = os.path.join(root, "python38.zip")
            with zipfile.ZipFile(runtime, "w") as archive:
                archive.writestr("python.exe", fake_pe(0x8664))
                archive.writestr("python38.dll", b"dll")
            for requirement, expected in (("click==8.1.7", "colorama"),
                                          ("tzlocal==5.2", "tzdata")):
                with self.subTest(requirement):
                    out = os.path.join(root, requirement)
                    result = subprocess.run(
                        [sys.executable, "-m", "harbor_lantern", "pack",
                         "--bytecode", "sources", app,
                         "--python-zip", runtime, "--out", out, "--requirements",
                         write(os.path.join(root, "r.txt"), requirement + "\n")],
                        env=packer_env(tool, HARBOR_LANTERN_CACHE=os.path.join(root, "c")),
                        capture_output=True, text=True, timeout=300)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertRegex(result.stdout, rf"installed .*\b{expected} ")


if __name__ == "__main__":
    unittest.main()
