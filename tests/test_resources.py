"""Branding on the prebuilt launcher of each architecture, read back with
pefile: the resources the packer wrote, and everything else unchanged."""
import os
import struct
import sys
import unittest

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))
# The packer's run-time dependencies, as make installs them for the checkout.
sys.path.insert(1, os.path.join(HERE, "..", "build", "pydeps"))
sys.path.insert(0, HERE)
from check_binary import (RT_MANIFEST, RT_VERSION, imports_of, pe_checksum,  # noqa: E402
                          resource_tree, version_strings)
from harbor_lantern import resources  # noqa: E402
from harbor_lantern.refusal import Refusal  # noqa: E402
from test_branding import make_icon, png, read  # noqa: E402

LAUNCHER = os.environ["HL_LAUNCHER"]


def icon_bytes(sizes):
    path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"hl-{os.getpid()}.ico")
    images = [png(size, (size % 256, 7, 7)) + bytes(size * 50) for size in sizes]
    make_icon(path, list(zip(sizes, images)))
    data = read(path)
    os.remove(path)
    return data, images


class Branded(unittest.TestCase):
    def test_icon_and_names_and_nothing_else(self):
        original = read(LAUNCHER)
        before = pefile.PE(data=original)
        cases = [
            # (icon sizes, strings)
            ((16,), {"ProductName": "Tally"}),
            ((16, 32, 48, 256), {"ProductName": "Caf\u00e9 \u65e5\u672c",
                                 "ProductVersion": "2.5.0-beta+1"}),
            ((), {"ProductVersion": "9"}),
        ]
        for sizes, strings in cases:
            with self.subTest(sizes=sizes, strings=strings):
                icon, images = icon_bytes(sizes) if sizes else (None, [])
                exe = resources.brand(original, "launcher", icon, "--icon", strings)
                # Branding what was branded replaces, never adds.
                exe = resources.brand(exe, "launcher", icon, "--icon", strings)
                after = pefile.PE(data=exe)
                tree = resource_tree(exe)
                self.assertEqual(pe_checksum(exe)[0], pe_checksum(exe)[1])
                expected = version_strings(resource_tree(original)[RT_VERSION][1])
                expected.update(strings)
                self.assertEqual(version_strings(tree[RT_VERSION][1]), expected)
                self.assertEqual(tree[RT_MANIFEST], resource_tree(original)[RT_MANIFEST])
                if sizes:
                    group = tree[resources.RT_GROUP_ICON][1]
                    ids = [struct.unpack_from("<H", group, 6 + 14 * i + 12)[0]
                           for i in range(struct.unpack_from("<H", group, 4)[0])]
                    self.assertEqual([tree[resources.RT_ICON][i] for i in ids], images)
                else:
                    self.assertNotIn(resources.RT_ICON, tree)
                self.assertEqual(imports_of(after), imports_of(before))
                for old, new in zip(before.sections, after.sections):
                    if old.Name.startswith(b".rsrc"):
                        break
                    self.assertEqual((new.VirtualAddress, new.get_data()),
                                     (old.VirtualAddress, old.get_data()))
                self.assertEqual(after.OPTIONAL_HEADER.AddressOfEntryPoint,
                                 before.OPTIONAL_HEADER.AddressOfEntryPoint)
                self.assertEqual(after.OPTIONAL_HEADER.SizeOfImage % 0x1000, 0)

    def test_refused(self):
        original = read(LAUNCHER)
        cases = [
            (b"MZ" + bytes(100), None, "is not a 64-bit Windows executable"),
            (original, b"\0\0\1\0\0\0", "is not a valid .ico"),
            (original, png(16, (0, 0, 0)), "is not a valid .ico"),
            (original + b"overlay", None, "has data outside its sections"),
        ]
        for exe, icon, message in cases:
            with self.subTest(message):
                with self.assertRaisesRegex(Refusal, message):
                    resources.brand(exe, "launcher", icon, "--icon", {"ProductName": "x"})


if __name__ == "__main__":
    unittest.main()
