"""Apps packed on today's CPythons, python.org's own 3.11.9, 3.12.9 and
3.13.2 runtimes (fetched as tools/real_runtimes.py says), with compiled
dependencies from the real package index, started under Wine from a folder
with a non-ASCII name; their console output goes through a pipe."""
import json
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
from test_branding import make_signing_chain  # noqa: E402
from test_dependencies import pypi_reachable  # noqa: E402
from test_package import write  # noqa: E402
from wine import WINE, end_session, start_session  # noqa: E402

LAUNCHER = os.environ["HL_LAUNCHER"]
TIMEOUT = 120
# Compiled wheels for each of these versions; numpy 2.x needs ucrtbase.crealf,
# which Wine 8.0 lacks.
DEPENDENCIES = ["PyYAML==6.0.2", "msgpack==1.1.0"]
FIRSTRUN = """\
import json, sys
import msgpack, msgpack._cmsgpack, yaml
document = yaml.load("n: [1, 2, 3]\\nword: caf\\u00e9\\n", Loader=yaml.CSafeLoader)
packed = msgpack.packb(document)
print(json.dumps({"python": sys.version.split()[0], "argv": sys.argv[1:],
                  "libyaml": yaml.__with_libyaml__, "yaml": yaml.__version__,
                  "msgpack": msgpack.version, "extension": msgpack.Packer.__module__,
                  "round trip": msgpack.unpackb(packed), "size": len(packed)}))
"""


def setUpModule():
    start_session()


def tearDownModule():
    end_session()


class TodaysPythons(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not pypi_reachable():
            raise unittest.SkipTest("!!! THE PACKAGE INDEX https://pypi.org CANNOT BE "
                                    "REACHED: the tests on CPython 3.11-3.13 were not run !!!")
        cls.root = tempfile.mkdtemp(prefix="hl-modern-")
        write(os.path.join(cls.root, "app", "firstrun.py"), FIRSTRUN)
        write(os.path.join(cls.root, "app", "pyproject.toml"),
              "[project]\nname = 'Tally'\nversion = '3.0'\n"
              f"dependencies = {json.dumps(DEPENDENCIES)}\n")
        cls.tool = stage(os.path.join(cls.root, "tool"), {
            "x64/console.exe": LAUNCHER, "x64/tool.exe": os.environ.get("HL_TOOL_LAUNCHER")})
        cls.env = packer_env(cls.tool, HARBOR_LANTERN_CACHE=os.path.join(cls.root, "cache"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def runtime(self, version):
        try:
            return real_runtimes.get(real_runtimes.EMBEDDED[version])
        except real_runtimes.Unreachable as error:
            self.skipTest(real_runtimes.skip_message(error))

    def pack_and_run(self, label, version, *options):
        out = os.path.join(self.root, label)
        packed = subprocess.run(
            [sys.executable, "-m", "harbor_lantern", "pack", os.path.join(self.root, "app"),
             "--python-dir", self.runtime(version), "--out", out, *options],
            env=self.env, capture_output=True, text=True, timeout=600)
        self.assertEqual(packed.returncode, 0, packed.stderr)
        unpacked = os.path.join(self.root, f"T\u00e9l\u00e9chargements {label}")
        with zipfile.ZipFile(os.path.join(out, "Tally-3.0-win64.zip")) as archive:
            archive.extractall(unpacked)
        exe = os.path.join(unpacked, "Tally-3.0", "Harbor-Lantern.exe")
        ran = subprocess.run([*WINE, exe, "--flag", "a b"], stdin=subprocess.DEVNULL,
                             capture_output=True, timeout=TIMEOUT)
        self.assertEqual(ran.returncode, 0, ran.stderr.decode(errors="replace"))
        return exe, json.loads(ran.stdout)

    def test_compiled_dependencies_import_and_compute(self):
        for version in real_runtimes.EMBEDDED:
            with self.subTest(version=version):
                _, result = self.pack_and_run(version, version)
                self.assertEqual(result, {
                    "python": version, "argv": ["--flag", "a b"], "libyaml": True,
                    "yaml": "6.0.2", "msgpack": [1, 1, 0],
                    "extension": "msgpack._cmsgpack",
                    "round trip": {"n": [1, 2, 3], "word": "caf\u00e9"}, "size": 18})

    def test_a_signed_launcher_on_3_13(self):
        keys = os.path.join(self.root, "keys")
        os.makedirs(keys, exist_ok=True)
        make_signing_chain(keys)
        exe, result = self.pack_and_run(
            "signed", "3.13.2", "--sign-cert", os.path.join(keys, "chain.pem"),
            "--sign-key", os.path.join(keys, "leaf.key"))
        self.assertEqual((result["python"], result["round trip"]["word"]),
                         ("3.13.2", "caf\u00e9"))
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile",
                                   os.path.join(keys, "root.pem"), "-in", exe],
                                  capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)


    def test_a_command_line_tool_on_3_13(self):
        """Typed at a prompt in the user's own folder: a relative path is
        found there, and exit code 1 (a linter's "would change") ends the
        launcher at once with nothing written."""
        if not os.environ.get("HL_TOOL_LAUNCHER"):
            self.skipTest("no command-line tool launcher named (HL_TOOL_LAUNCHER)")
        app = os.path.join(self.root, "tool-app")
        write(os.path.join(app, "firstrun.py"),
              "import sys\nwith open(sys.argv[1]) as f:\n    print(f.read().strip())\n"
              "raise SystemExit(1)\n")
        write(os.path.join(app, "pyproject.toml"),
              "[project]\nname = 'Tally'\nversion = '3.0'\n")
        out = os.path.join(self.root, "tool-out")
        packed = subprocess.run(
            [sys.executable, "-m", "harbor_lantern", "pack", app, "--console-tool",
             "--python-dir", self.runtime("3.13.2"), "--out", out],
            env=self.env, capture_output=True, text=True, timeout=600)
        self.assertEqual(packed.returncode, 0, packed.stderr)
        with zipfile.ZipFile(os.path.join(out, "Tally-3.0-win64.zip")) as archive:
            archive.extractall(os.path.join(self.root, "tool-unpacked"))
        user = os.path.join(self.root, "the user's folder")
        write(os.path.join(user, "rel.txt"), "found from the user's folder\n")
        ran = subprocess.run([*WINE, os.path.join(self.root, "tool-unpacked", "Tally-3.0",
                                                  "Harbor-Lantern.exe"), "rel.txt"],
                             cwd=user, stdin=subprocess.DEVNULL, capture_output=True,
                             timeout=TIMEOUT)
        self.assertEqual((ran.returncode, ran.stdout.strip(), ran.stderr),
                         (1, b"found from the user's folder", b""))


if __name__ == "__main__":
    unittest.main()
