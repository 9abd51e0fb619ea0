"""The packer behind make dist: the layout it writes, and the inputs it
refuses without writing anything."""
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

PACKAGE = os.path.join(os.path.dirname(__file__), "..", "tools", "package.py")


class Package(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        root = self.tmp.name
        self.exe = self.file("Harbor-Lantern.exe", b"MZ launcher")
        self.runtime = os.path.join(root, "runtime")
        self.file("runtime/python.exe", b"MZ python")
        self.file("runtime/python312.zip", b"stdlib")
        self.file("runtime/Lib/site-packages/pkg/__init__.py", b"")
        self.script = self.file("app.py", b"print('hi')\n")
        self.out = os.path.join(root, "dist", "Harbor-Lantern-9.8.7-win64.zip")

    def file(self, relative, content):
        path = os.path.join(self.tmp.name, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def pack(self, python_dir, firstrun):
        return subprocess.run(
            [sys.executable, PACKAGE, "--exe", self.exe, "--version", "9.8.7",
             "--python-dir", python_dir, "--firstrun", firstrun, "--out", self.out],
            capture_output=True, text=True, timeout=60)

    def test_layout(self):
        result = self.pack(self.runtime, self.script)
        self.assertEqual(result.returncode, 0, result.stderr)
        with zipfile.ZipFile(self.out) as archive:
            self.assertEqual(archive.namelist(), [
                "Harbor-Lantern-9.8.7/Harbor-Lantern.exe",
                "Harbor-Lantern-9.8.7/firstrun.py",
                "Harbor-Lantern-9.8.7/python/Lib/site-packages/pkg/__init__.py",
                "Harbor-Lantern-9.8.7/python/python.exe",
                "Harbor-Lantern-9.8.7/python/python312.zip",
            ])
            self.assertEqual(archive.read("Harbor-Lantern-9.8.7/firstrun.py"),
                             b"print('hi')\n")
            self.assertEqual({i.date_time for i in archive.infolist()},
                             {(1980, 1, 1, 0, 0, 0)})
        first = open(self.out, "rb").read()
        os.utime(self.script, (1e9, 1e9))
        self.assertEqual(self.pack(self.runtime, self.script).returncode, 0)
        self.assertEqual(open(self.out, "rb").read(), first)

    def test_refusals_write_no_zip(self):
        os.makedirs(os.path.join(self.tmp.name, "empty"))
        os.makedirs(os.path.join(self.tmp.name, "folder/python.exe"))
        cases = {
            "no runtime named": ("", self.script, "PYTHON_DIR is not set"),
            "runtime without python.exe": (os.path.join(self.tmp.name, "empty"),
                                           self.script, "has no python.exe"),
            "python.exe is a folder": (os.path.join(self.tmp.name, "folder"),
                                       self.script, "has no python.exe"),
            "script missing": (self.runtime, os.path.join(self.tmp.name, "nope.py"),
                               "is not a file"),
        }
        for label, (python_dir, firstrun, message) in cases.items():
            with self.subTest(label):
                result = self.pack(python_dir, firstrun)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)
                self.assertEqual(len(result.stderr.strip().splitlines()), 1)
                self.assertFalse(os.path.exists(os.path.dirname(self.out))
                                 and os.listdir(os.path.dirname(self.out)))


if __name__ == "__main__":
    unittest.main()
