"""The wheel as makers get it: installed with pip into a fresh venv, and
`harbor-lantern pack` run with nothing but that venv on PATH (no compiler,
no CMake, no make), on the real embeddable CPython."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from check_binary import RT_VERSION, resource_tree, version_strings  # noqa: E402
from test_package import make_wheel  # noqa: E402

WHEEL = os.environ["HL_WHEEL"]
REAL_RUNTIME = os.environ.get("HL_REAL_RUNTIME", "")


class InstalledTool(unittest.TestCase):
    def test_pack_from_a_venv_alone(self):
        if not os.path.isfile(REAL_RUNTIME):
            self.skipTest("!!! THE REAL CPYTHON RUNTIME WAS NOT FOUND: "
                          "python-3.7.4-embed-amd64.zip in ../shared/runtimes !!!")
        with tempfile.TemporaryDirectory() as root:
            venv = os.path.join(root, "venv")
            subprocess.run(["/usr/bin/python3", "-m", "venv", venv], check=True)
            # Its one run-time dependency, uv, from the wheels make fetched.
            subprocess.run([os.path.join(venv, "bin", "pip"), "install", "-q", "--no-index",
                            "--find-links", os.environ["HL_WHEELHOUSE"],
                            "--disable-pip-version-check", WHEEL], check=True)
            only_venv = {"PATH": os.path.join(venv, "bin"), "HOME": root}
            for tool in ("cmake", "make", "x86_64-w64-mingw32-g++", "clang", "windres"):
                self.assertIsNone(shutil.which(tool, path=only_venv["PATH"]), tool)
            version = subprocess.run(["harbor-lantern", "--version"], env=only_venv,
                                     capture_output=True, text=True, check=True)
            self.assertRegex(version.stdout, r"^harbor-lantern \d+\.\d+\.\d+\n$")

            app = os.path.join(root, "app")
            os.makedirs(app)
            with open(os.path.join(app, "firstrun.py"), "w") as f:
                f.write("import tidy\n")
            with open(os.path.join(app, "pyproject.toml"), "w") as f:
                f.write('[project]\nname = "Tally"\nversion = "3.0"\n'
                        'dependencies = ["tidy"]\n[tool.harbor-lantern]\n'
                        f'python-zip = "{REAL_RUNTIME}"\nwheels = "../wheels"\n')
            make_wheel(os.path.join(root, "wheels"), "tidy", "py3-none-any",
                       {"tidy/__init__.py": ""})
            result = subprocess.run(["harbor-lantern", "pack", "--icon",
                                     os.path.join(HERE, "e2e", "app.ico")],
                                    cwd=app, env=only_venv, capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stderr)
            [packed] = glob.glob(os.path.join(app, "dist", "Tally-3.0-win64.zip"))
            with zipfile.ZipFile(packed) as archive:
                names = archive.namelist()
                exe = archive.read("Tally-3.0/Harbor-Lantern.exe")
            self.assertIn("Tally-3.0/python/Lib/site-packages/tidy/__init__.py", names)
            self.assertIn("Tally-3.0/python/python37.dll", names)
            tree = resource_tree(exe)
            self.assertEqual(version_strings(tree[RT_VERSION][1])["ProductName"], "Tally")
            self.assertIn(14, tree)


if __name__ == "__main__":
    unittest.main()
