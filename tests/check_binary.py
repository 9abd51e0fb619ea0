"""Checks the built launcher as a user's machine will see it: what it
imports, how it is flagged, and that it stays within its size budget."""
import argparse
import re
import subprocess
import sys
import unittest

SIZE_BUDGET = 16 * 1024
ALLOWED_DLLS = {"kernel32.dll", "msvcrt.dll"}
# The W entry points the run relies on; their ANSI twins must never appear.
REQUIRED_WIDE = {
    "GetModuleFileNameW", "GetFileAttributesW", "SetEnvironmentVariableW",
    "GetCommandLineW", "CreateProcessW", "__wgetmainargs",
}
# ANSI names seen in Windows programs: the A twin of a W API, or the ANSI
# argument and environment tables of the C runtime.
ANSI_NAME = re.compile(r"(^[A-Z]\w*[a-z0-9]A$)|^(__getmainargs|_acmdln|__initenv|_environ)$")


def parse(objdump, path):
    out = subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                         text=True).stdout
    imports = {}
    current = None
    for line in out.splitlines():
        dll = re.match(r"\s*DLL Name: (\S+)", line)
        if dll:
            current = dll.group(1).lower()
            imports[current] = set()
            continue
        entry = re.match(r"\s+[0-9a-f]{4,}\s+\d+\s+(\S+)$", line)
        if current and entry:
            imports[current].add(entry.group(1))
    header = {}
    for key in ("Magic", "Subsystem", "DllCharacteristics"):
        match = re.search(rf"^{key}\s+(\S+)", out, re.M)
        header[key] = match.group(1) if match else None
    machine = re.search(r"file format (\S+)", out)
    header["format"] = machine.group(1) if machine else None
    return imports, header


class LauncherBinary(unittest.TestCase):
    path = None
    objdump = None

    @classmethod
    def setUpClass(cls):
        cls.imports, cls.header = parse(cls.objdump, cls.path)
        with open(cls.path, "rb") as f:
            cls.data = f.read()

    def test_imports_only_kernel32_and_msvcrt(self):
        self.assertEqual(set(self.imports), ALLOWED_DLLS)

    def test_uses_wide_apis_and_no_ansi_one(self):
        names = set().union(*self.imports.values())
        self.assertLessEqual(REQUIRED_WIDE, names)
        self.assertEqual(sorted(n for n in names if ANSI_NAME.search(n)), [])

    def test_is_a_64_bit_console_program(self):
        self.assertEqual(self.header["format"], "pei-x86-64")
        self.assertEqual(self.header["Magic"], "020b")
        self.assertEqual(int(self.header["Subsystem"], 16), 3)

    def test_aslr_high_entropy_and_nx(self):
        flags = int(self.header["DllCharacteristics"], 16)
        for name, bit in (("HIGH_ENTROPY_VA", 0x20), ("DYNAMIC_BASE", 0x40),
                          ("NX_COMPAT", 0x100)):
            self.assertTrue(flags & bit, name)

    def test_size_budget(self):
        self.assertLessEqual(len(self.data), SIZE_BUDGET)

    def test_no_build_path_inside(self):
        self.assertNotIn(b"/work/", self.data)
        self.assertNotIn(b"/tmp/", self.data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("exe")
    args, rest = parser.parse_known_args()
    LauncherBinary.path = args.exe
    LauncherBinary.objdump = args.objdump
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
