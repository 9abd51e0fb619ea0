"""Two clean builds of the same sources, in differently named folders and at
different times, must give the same Harbor-Lantern.exe and the same zip."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SKIP = {"build", "dist", ".git"}


def build_once(parent, name):
    tree = os.path.join(parent, name)
    shutil.copytree(ROOT, tree, ignore=lambda folder, names:
                    SKIP.intersection(names) if folder == ROOT else ())
    quiet = dict(stdout=subprocess.DEVNULL, check=True)
    subprocess.run(["cmake", "--preset", "windows"], cwd=tree, **quiet)
    subprocess.run(["cmake", "--build", "--preset", "windows", "--target",
                    "Harbor-Lantern", "stand_in_python"], cwd=tree, **quiet)
    build = os.path.join(tree, "build", "windows")
    runtime = os.path.join(parent, name + "-runtime")
    os.makedirs(runtime)
    shutil.copy(os.path.join(build, "stand_in_python.exe"),
                os.path.join(runtime, "python.exe"))
    open(os.path.join(runtime, "python312.dll"), "wb").close()
    out = os.path.join(build, "dist")
    subprocess.run([sys.executable, os.path.join(tree, "tools", "package.py"),
                    "--launcher-x64", os.path.join(build, "Harbor-Lantern.exe"),
                    "--launcher-version", "0", "--python-dir", runtime,
                    "--app-dir", os.path.join(tree, "sample"), "--out-dir", out], **quiet)
    [archive] = [os.path.join(out, n) for n in os.listdir(out) if n.endswith(".zip")]
    return {what: hashlib.sha256(open(path, "rb").read()).hexdigest()
            for what, path in (("exe", os.path.join(build, "Harbor-Lantern.exe")),
                               ("zip", archive))}


class Reproducible(unittest.TestCase):
    def test_two_clean_builds_match(self):
        with tempfile.TemporaryDirectory() as parent:
            first = build_once(parent, "first build")
            time.sleep(2)  # a different second for any time stamp
            second = build_once(parent, "the-second-one")
        self.assertEqual(first, second)


if __name__ == "__main__":
    unittest.main()
