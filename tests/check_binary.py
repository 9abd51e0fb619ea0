"""Checks the built launcher as a user's machine will see it: what it
imports, how it is flagged, and that it stays within its size budget."""
import argparse
import re
import struct
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


RT_VERSION = 16
RT_MANIFEST = 24


def resource_tree(data):
    """Maps resource type to {id: bytes of its first language}, read
    straight from the PE file's resource directory."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    rsrc = None
    for i in range(sections):
        name, _, rva, raw_size, raw_offset = struct.unpack_from(
            "<8sIIII", data, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            rsrc = (rva, raw_offset)
    if rsrc is None:
        return {}
    rva, base = rsrc

    def entries(offset):
        named, numbered = struct.unpack_from("<HH", data, base + offset + 12)
        for i in range(named + numbered):
            ident, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
            yield ident, target

    def first_leaf(target):
        while target & 0x80000000:
            target = next(entries(target & 0x7FFFFFFF))[1]
        data_rva, size = struct.unpack_from("<II", data, base + target)
        start = base + data_rva - rva
        return data[start:start + size]

    return {kind: {ident: first_leaf(leaf) for ident, leaf in entries(target & 0x7FFFFFFF)}
            for kind, target in entries(0)}


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
    objdump = None
    version = None

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

    def test_manifest_runs_as_invoker_on_windows_10_and_11(self):
        manifest = resources(self.data)[RT_MANIFEST].decode("utf-8")
        self.assertRegex(manifest, r'requestedExecutionLevel level="asInvoker"')
        self.assertIn('supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"', manifest)

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
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("exe")
    args, rest = parser.parse_known_args()
    LauncherBinary.path = args.exe
    LauncherBinary.objdump = args.objdump
    LauncherBinary.version = args.version
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
