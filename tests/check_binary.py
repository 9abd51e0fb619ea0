"""Checks the built launcher as a user's machine will see it: what it
imports, how it is flagged, and that it stays within its size budget."""
import argparse
import re
import struct
import sys
import unittest

import pefile

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


MACHINES = {"x86_64": (0x8664, "amd64"), "ARM64": (0xAA64, "arm64")}


def imports_of(pe):
    return {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports}
            for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}


RT_STRING = 6
RT_VERSION = 16
RT_MANIFEST = 24


def resource_tree(data):
    """Maps resource type to {id: bytes of its first language}."""
    pe = pefile.PE(data=data)
    tree = {}
    for kind in getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None).entries:
        found = tree.setdefault(kind.id, {})
        for item in kind.directory.entries:
            leaf = item.directory.entries[0].data.struct
            found[item.id] = pe.get_data(leaf.OffsetToData, leaf.Size)
    return tree


def resources(data):
    """Maps resource type to the bytes of its first entry."""
    return {kind: next(iter(found.values())) for kind, found in resource_tree(data).items()}


def pe_checksum(data):
    """(the checksum the file carries, the one its bytes give)."""
    field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
    words = bytearray(data)
    words[field:field + 4] = bytes(4)
    if len(words) % 2:
        words.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return struct.unpack_from("<I", data, field)[0], total + len(data)


def version_strings(block):
    text = block.decode("utf-16-le", errors="replace")
    found = {}
    for key in ("ProductName", "FileDescription", "FileVersion", "ProductVersion",
                "OriginalFilename"):
        match = re.search(key + "\0+([^\0]+)", text)
        found[key] = match.group(1) if match else None
    return found


class LauncherBinary(unittest.TestCase):
    path = None
    machine = None
    version = None
    windowed = False

    @classmethod
    def setUpClass(cls):
        with open(cls.path, "rb") as f:
            cls.data = f.read()
        cls.pe = pefile.PE(data=cls.data)
        cls.imports = imports_of(cls.pe)

    def test_imports_only_known_dlls(self):
        self.assertEqual(set(self.imports),
                         ALLOWED_DLLS | ({"user32.dll"} if self.windowed else set()))

    def test_uses_wide_apis_and_no_ansi_one(self):
        names = set().union(*self.imports.values())
        self.assertLessEqual(REQUIRED_WIDE | ({"MessageBoxW", "LoadStringW"}
                                              if self.windowed else set()), names)
        self.assertEqual(sorted(n for n in names if ANSI_NAME.search(n)), [])

    def test_is_a_64_bit_program_for_its_machine_and_subsystem(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, MACHINES[self.machine][0])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x20B)
        # 2: windows (no console), 3: console.
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 2 if self.windowed else 3)

    def test_string_table_names_the_product_for_the_dialog(self):
        strings = resources(self.data).get(RT_STRING)
        if not self.windowed:
            self.assertIsNone(strings)
            return
        # Block 1 holds strings 0 to 15, each a length and its UTF-16 units.
        self.assertEqual(strings[:4], b"\0\0" + struct.pack("<H", 14))
        self.assertEqual(strings[4:32].decode("utf-16-le"), "Harbor-Lantern")

    def test_aslr_high_entropy_and_nx(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        for name, bit in (("HIGH_ENTROPY_VA", 0x20), ("DYNAMIC_BASE", 0x40),
                          ("NX_COMPAT", 0x100)):
            self.assertTrue(flags & bit, name)

    def test_size_budget(self):
        self.assertLessEqual(len(self.data), SIZE_BUDGET)

    def test_manifest_runs_as_invoker_on_windows_10_and_11(self):
        manifest = resources(self.data)[RT_MANIFEST].decode("utf-8")
        self.assertRegex(manifest, r'requestedExecutionLevel level="asInvoker"')
        self.assertIn('supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"', manifest)
        self.assertIn(f'processorArchitecture="{MACHINES[self.machine][1]}"', manifest)

    def test_version_resource_names_the_product_and_its_version(self):
        block = resources(self.data)[RT_VERSION]
        self.assertEqual(version_strings(block), {
            "ProductName": "Harbor-Lantern",
            "FileDescription": "Harbor-Lantern: starts the bundled Python application",
            "FileVersion": self.version,
            "ProductVersion": self.version,
            "OriginalFilename": "Harbor-Lantern.exe",
        })
        # The numeric file version in VS_FIXEDFILEINFO, after its signature.
        fixed = block.index(struct.pack("<I", 0xFEEF04BD))
        ms, ls = struct.unpack_from("<II", block, fixed + 8)
        numbers = "%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16)
        self.assertEqual(numbers, self.version)

    def test_pe_checksum_is_valid(self):
        stored, computed = pe_checksum(self.data)
        self.assertEqual(stored, computed)

    def test_no_build_path_inside(self):
        self.assertNotIn(b"/work/", self.data)
        self.assertNotIn(b"/tmp/", self.data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--machine", required=True, choices=MACHINES)
    parser.add_argument("--version", required=True)
    parser.add_argument("--windowed", action="store_true")
    parser.add_argument("exe")
    args, rest = parser.parse_known_args()
    LauncherBinary.path = args.exe
    LauncherBinary.machine = args.machine
    LauncherBinary.version = args.version
    LauncherBinary.windowed = args.windowed
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
