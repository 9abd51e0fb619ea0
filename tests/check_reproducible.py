"""Two clean builds of the same sources, in differently named folders and at
different times, must give the same launchers, the same wheel and the same
zip; an edited manifest must reach the exe when it is built again."""
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
sys.path.insert(0, os.path.join(ROOT, "tests"))
from check_binary import resource_tree  # noqa: E402
from test_branding import read  # noqa: E402

quiet = dict(stdout=subprocess.DEVNULL, check=True)


def copy_tree(parent, name):
    tree = os.path.join(parent, name)
    shutil.copytree(ROOT, tree, ignore=lambda folder, names:
                    SKIP.intersection(names) if folder == ROOT else ())
    return tree


def build_once(parent, name):
    tree = copy_tree(parent, name)
    subprocess.run(["make", "-s", "wheel"], cwd=tree, **quiet)
    build = os.path.join(tree, "build", "windows")
    arm64 = os.path.join(tree, "build", "windows-arm64")
    subprocess.run(["cmake", "--build", "--preset", "windows-arm64", "--target",
                    "stand_in_python"], cwd=tree, **quiet)
    runtime = os.path.join(parent, name + "-runtime")
    os.makedirs(runtime)
    shutil.copy(os.path.join(arm64, "stand_in_python.exe"),
                os.path.join(runtime, "python.exe"))
    open(os.path.join(runtime, "python312.dll"), "wb").close()
    out = os.path.join(build, "dist")
    subprocess.run([sys.executable, "-m", "harbor_lantern", "pack",
                    os.path.join(tree, "sample"), "--python-dir", runtime, "--icon",
                    os.path.join(ROOT, "tests", "e2e", "app.ico"), "--name", "Sample",
                    "--out", out], env=dict(os.environ, PYTHONPATH=os.pathsep.join([
                        os.path.join(tree, "build", "package", "src"),
                        os.path.join(tree, "build", "pydeps")])), **quiet)
    [archive] = [os.path.join(out, n) for n in os.listdir(out) if n.endswith(".zip")]
    [wheel] = [os.path.join(tree, "dist", n) for n in os.listdir(os.path.join(tree, "dist"))]
    return {what: hashlib.sha256(read(path)).hexdigest()
            for what, path in (("x64 exe", os.path.join(build, "Harbor-Lantern.exe")),
                               ("arm64 exe", os.path.join(arm64, "Harbor-Lantern.exe")),
                               ("x64 windowed exe",
                                os.path.join(build, "Harbor-Lantern-windowed.exe")),
                               ("arm64 windowed exe",
                                os.path.join(arm64, "Harbor-Lantern-windowed.exe")),
                               ("x64 tool exe", os.path.join(build, "Harbor-Lantern-tool.exe")),
                               ("arm64 tool exe",
                                os.path.join(arm64, "Harbor-Lantern-tool.exe")),
                               ("wheel", wheel), ("branded arm64 zip", archive))}


class Reproducible(unittest.TestCase):
    def test_two_clean_builds_match(self):
        with tempfile.TemporaryDirectory() as parent:
            first = build_once(parent, "first build")
            time.sleep(2)  # a different second for any time stamp
            second = build_once(parent, "the-second-one")
        self.assertEqual(first, second)


class ResourcesRebuild(unittest.TestCase):
    def test_an_edited_manifest_reaches_the_exe(self):
        with tempfile.TemporaryDirectory() as parent:
            tree = copy_tree(parent, "tree")
            subprocess.run(["cmake", "--preset", "windows"], cwd=tree, **quiet)
            exe = os.path.join(tree, "build", "windows", "Harbor-Lantern.exe")

            def rebuilt():
                subprocess.run(["cmake", "--build", "--preset", "windows", "--target",
                                "Harbor-Lantern"], cwd=tree, **quiet)
                return resource_tree(read(exe))
            rebuilt()
            manifest = os.path.join(tree, "src", "launcher", "Harbor-Lantern.manifest")
            with open(manifest) as f:
                text = f.read()
            with open(manifest, "w") as f:
                f.write(text.replace("<description>", "<description>Edited. "))
            self.assertIn(b"<description>Edited. ", rebuilt()[24][1])


if __name__ == "__main__":
    unittest.main()
