"""The zip's bytes on an ARM64 host: the packer's archive run by Debian's
arm64 Python in the arm64 root (under qemu), with the aarch64 wheels of the
compressors at the versions make pins, writes the zips it writes here."""
import os
import random
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, TESTS)
from test_archive import text  # noqa: E402
from test_dependencies import pypi_reachable  # noqa: E402

ROOT = os.environ["HL_WINE_ROOT"]
COMPRESSORS = ["zlib-ng==1.1.0", "deflate==0.9.0"]
PYDEPS = os.path.join(TESTS, "..", "build", "pydeps")
SOURCE = os.path.join(TESTS, "..", "src")


class Arm64Zip(unittest.TestCase):
    def test_the_arm64_zips_are_these_zips(self):
        if not os.path.exists(os.path.join(ROOT, "usr", "bin", "python3")):
            self.fail(f"the arm64 root {ROOT} has no python3: remove it and make it again")
        if not pypi_reachable():
            self.skipTest("!!! THE PACKAGE INDEX https://pypi.org CANNOT BE REACHED: the "
                          "zip's bytes on ARM64 were not compared !!!")
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        path = lambda *p: os.path.join(tmp.name, *p)  # noqa: E731
        subprocess.run([sys.executable, "-m", "pip", "download", "-q",
                        "--disable-pip-version-check", "--only-binary=:all:", "--platform",
                        "manylinux2014_aarch64", "--python-version", "3.11",
                        "--implementation", "cp", "-d", path("wheels"), *COMPRESSORS],
                       check=True, timeout=300)
        for wheel in os.listdir(path("wheels")):
            with zipfile.ZipFile(path("wheels", wheel)) as archive:
                archive.extractall(path("site"))
        prose, noise = text(9, 300_000), random.Random(9).randbytes(150_000)
        inputs = []
        for name, content in (("prose.txt", prose), ("mixed.bin", prose + noise),
                              ("noise.bin", noise)):
            inputs.append(path(name))
            with open(inputs[-1], "wb") as f:
                f.write(content)
        digests = {}
        for host, python, site in (("x86-64", sys.executable, PYDEPS),
                                   ("arm64", "/usr/bin/python3", path("site"))):
            command = [python, os.path.join(TESTS, "zip_digests.py"), path(host), *inputs]
            if host == "arm64":
                command = ["chroot", ROOT] + command
            env = dict(os.environ, PYTHONPATH=os.pathsep.join(
                [os.path.abspath(SOURCE), os.path.abspath(site)]))
            result = subprocess.run(command, env=env, capture_output=True, text=True,
                                    timeout=900)
            self.assertEqual(result.returncode, 0, result.stderr)
            digests[host] = result.stdout.split()
        self.assertEqual(len(digests["x86-64"]), 3)
        self.assertEqual(digests["arm64"], digests["x86-64"])


if __name__ == "__main__":
    unittest.main()
