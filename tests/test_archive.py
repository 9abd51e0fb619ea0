"""The zip's records: the plain format for a bundle that fits it, ZIP64 past
65,535 entries, large files in chunks, the runtime's compressed bytes copied,
each read back by zipfile, Info-ZIP, 7-Zip and libarchive; and a disk that
fills up. A file over 4 GiB (sparse zeros: it costs a minute, not disk)
too."""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))
# The packer's run-time dependencies, as make installs them for the checkout.
sys.path.insert(1, os.path.join(HERE, "..", "build", "pydeps"))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
sys.path.insert(0, HERE)
from harbor_lantern import archive  # noqa: E402
from harbor_lantern.refusal import Refusal  # noqa: E402
from harbor_lantern.runtime import read_runtime_zip  # noqa: E402
from stage_package import packer_env, stage  # noqa: E402
from test_package import fake_pe  # noqa: E402

ZIP64_END = b"PK\x06\x06"


def readers(path):
    """Each reader's verdict on every entry and CRC: (name, exit status, output)."""
    commands = [("unzip", ["unzip", "-tqq", path]), ("7z", ["7z", "t", "-bd", path]),
                ("bsdtar", ["sh", "-c", 'bsdtar -xOf "$0" >/dev/null', path])]
    verdicts = []
    for name, command in commands:
        result = subprocess.run(command, capture_output=True, text=True, errors="replace")
        verdicts.append((name, result.returncode, result.stdout[-500:] + result.stderr))
    with zipfile.ZipFile(path) as z:
        verdicts.append(("zipfile", 0 if z.testzip() is None else 1, ""))
    return verdicts


def text(seed, size):
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"abcdefghij") for _ in range(rng.randint(2, 9)))
             for _ in range(500)]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" "
    return bytes(out[:size])


class Records(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.root = self.tmp.name

    def path(self, name, content=None):
        path = os.path.join(self.root, name)
        if content is not None:
            with open(path, "wb") as f:
                f.write(content)
        return path

    def accepted_by_all(self, path):
        for name, status, output in readers(path):
            self.assertEqual(status, 0, f"{name}: {output}")

    def test_only_data_that_would_not_shrink_is_stored_at_once(self):
        noise, prose = random.Random(7).randbytes(1 << 20), text(8, 1 << 20)
        # (label, data, stored at once, method of the entry)
        cases = [("noise", noise, True, 0), ("prose", prose, False, 8),
                 ("prose then noise", prose[:1 << 19] + noise[:1 << 19], False, 8),
                 ("noise with prose in the middle",
                  noise[:400_000] + prose[:248_576] + noise[:400_000], False, 8),
                 ("too small to sample: deflated, kept stored", noise[:60_000], False, 0)]
        for label, data, at_once, method in cases:
            with self.subTest(label):
                self.assertEqual(archive.incompressible(data), at_once)
                compression = archive.COMPRESSIONS["default"]
                self.assertEqual(zlib.decompress(archive.deflate_chunk(data, compression),
                                                 -15), data)
                _, kept_method, kept, _ = archive.compress_whole(data, compression)
                self.assertEqual(kept_method, method)
                self.assertEqual(zlib.decompress(kept, -15) if method else kept, data)

    def test_the_same_bytes_on_cpus_with_other_vector_instructions(self):
        """Compressors choose their code by the CPU's vector instructions
        (AVX-512 here); some then find other matches and write other bytes.
        The same zips under emulated x86-64 CPUs with AVX2 at most, and with
        none past SSE2."""
        emulator = shutil.which("qemu-x86_64-static")
        if emulator is None:
            self.fail("qemu-x86_64-static is missing: make installs qemu-user-static")
        prose, noise = text(9, 300_000), random.Random(9).randbytes(150_000)
        inputs = [self.path("prose.txt", prose), self.path("mixed.bin", prose + noise),
                  self.path("noise.bin", noise)]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [os.path.join(HERE, "..", "src"), os.path.join(HERE, "..", "build", "pydeps")]))
        digests = {}
        for cpu in ("host", "max", "qemu64"):
            command = [sys.executable, os.path.join(HERE, "zip_digests.py"),
                       self.path(cpu), *inputs]
            if cpu != "host":
                command = [emulator, "-cpu", cpu] + command
            digests[cpu] = subprocess.run(command, env=env, capture_output=True, text=True,
                                          check=True, timeout=600).stdout.split()
        self.assertEqual(len(digests["host"]), 3)
        self.assertEqual(digests["max"], digests["host"])
        self.assertEqual(digests["qemu64"], digests["host"])

    def test_crc_of_chunks_joined(self):
        data = text(1, 300_000)
        for cut in (0, 1, 31, 4096, 299_999, 300_000):
            with self.subTest(cut=cut):
                self.assertEqual(archive.crc32_combine(zlib.crc32(data[:cut]),
                                                       zlib.crc32(data[cut:]),
                                                       len(data) - cut),
                                 zlib.crc32(data))

    def test_small_bundles_keep_the_plain_format_and_large_files_go_in_chunks(self):
        large = self.path("large.bin", text(2, 3 * archive.CHUNK + 12345))
        noise = self.path("noise.bin", random.Random(3).randbytes(archive.CHUNK + 1))
        files = {"a.txt": b"hello\n", "empty/": None, "large.bin": large,
                 "noise.bin": noise, "caf\u00e9.txt": b"x"}
        target = self.path("plain.zip")
        digest = archive.write_zip(target, "Top", files)
        with open(target, "rb") as f:
            data = f.read()
        self.assertNotIn(ZIP64_END, data)
        self.assertEqual(digest, __import__("hashlib").sha256(data).hexdigest())
        self.accepted_by_all(target)
        with zipfile.ZipFile(target) as z:
            with open(large, "rb") as f:
                self.assertEqual(z.read("Top/large.bin"), f.read())
            self.assertEqual(z.getinfo("Top/a.txt").flag_bits & archive.DATA_DESCRIPTOR, 0)
        # The same inputs, the same bytes.
        archive.write_zip(self.path("again.zip"), "Top", files)
        with open(self.path("again.zip"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_non_ascii_names_come_out_right_in_every_reader(self):
        top = "Mon Appli \u00e9-2.1"
        files = {"caf\u00e9/r\u00e9sum\u00e9.txt": b"x" * 100, "empty \u65e5/": None,
                 "a.txt": b"hi"}
        target = self.path("names.zip")
        archive.write_zip(target, top, files)
        expected = sorted([top, f"{top}/a.txt", f"{top}/caf\u00e9",
                           f"{top}/caf\u00e9/r\u00e9sum\u00e9.txt", f"{top}/empty \u65e5"])
        commands = {"unzip": ["unzip", "-q", target, "-d"],
                    "7z": ["7z", "x", "-bd", target, "-o{}"],
                    "bsdtar": ["bsdtar", "-xf", target, "-C"], "zipfile": None}
        for reader, command in commands.items():
            with self.subTest(reader=reader):
                into = self.path("out-" + reader)
                os.makedirs(into)
                if command is None:
                    with zipfile.ZipFile(target) as z:
                        z.extractall(into)
                else:
                    command = [c.format(into) for c in command]
                    subprocess.run(command + ([] if "-o" in command[-1] else [into]),
                                   check=True, capture_output=True)
                found = sorted(os.path.relpath(os.path.join(d, n), into)
                               for d, ds, fs in os.walk(into) for n in ds + fs)
                self.assertEqual(found, expected)
                with open(os.path.join(into, top, "a.txt"), "rb") as f:
                    self.assertEqual(f.read(), b"hi")

    def test_each_compression_is_read_by_all_and_small_deflates_the_runtime_again(self):
        runtime = self.path("runtime.zip")
        with zipfile.ZipFile(runtime, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            z.writestr("python.txt", text(4, 200_000))
        [member] = dict(read_runtime_zip(runtime, "runtime")).values()
        large = self.path("large.bin", text(5, 2 * archive.CHUNK + 99))
        files = {"a.txt": text(6, 50_000), "large.bin": large, "python/python.txt": member}
        sizes = {}
        for compression in ("fast", "default", "small"):
            with self.subTest(compression=compression):
                target = self.path(compression + ".zip")
                archive.write_zip(target, "Top", files, compression)
                self.accepted_by_all(target)
                with zipfile.ZipFile(target) as z:
                    self.assertEqual(z.read("Top/large.bin"), text(5, 2 * archive.CHUNK + 99))
                    runtime_entry = z.getinfo("Top/python/python.txt").compress_size
                sizes[compression] = os.path.getsize(target)
                # The runtime's entry is copied as it is, unless small.
                self.assertEqual(runtime_entry == member.compressed_size,
                                 compression != "small")
        self.assertLess(sizes["small"], sizes["default"])
        self.assertLess(sizes["default"], sizes["fast"])

    def test_an_app_of_70000_files_packs_with_zip64(self):
        count = 70_000
        app = os.path.join(self.root, "app")
        for folder in range(count // 1000):
            os.makedirs(os.path.join(app, f"d{folder:02d}"))
            for i in range(folder * 1000, folder * 1000 + 1000):
                with open(os.path.join(app, f"d{folder:02d}", f"f{i:05d}.py"), "wb") as f:
                    f.write(b"x = %d\n" % i)
        with open(os.path.join(app, "firstrun.py"), "w") as f:
            f.write("")
        runtime = self.path("runtime.zip")
        with zipfile.ZipFile(runtime, "w") as z:
            z.writestr("python.exe", fake_pe(0x8664))
            z.writestr("python312.dll", b"dll")
        tool = stage(self.path("tool"), {"x64/console.exe": self.path("x64.exe",
                                                                        fake_pe(0x8664))})
        result = subprocess.run([sys.executable, "-m", "harbor_lantern", "pack",
                                 "--bytecode", "sources", app,
                                 "--python-zip", runtime, "--out", self.path("out")],
                                env=packer_env(tool), capture_output=True, text=True,
                                timeout=600)
        self.assertEqual(result.returncode, 0, result.stderr)
        target = self.path("out/Harbor-Lantern-1.1.0-win64.zip")
        with open(target, "rb") as f:
            self.assertIn(ZIP64_END, f.read()[-200:])
        entries = count + 4  # firstrun.py, the launcher, python.exe, the DLL
        with zipfile.ZipFile(target) as z:
            self.assertEqual(len(z.infolist()), entries)
        self.accepted_by_all(target)
        listed = subprocess.run(["bsdtar", "-tf", target], capture_output=True,
                                text=True, check=True).stdout.splitlines()
        self.assertEqual(len(listed), entries)

    def test_runtime_entries_are_copied_compressed_and_checked(self):
        source = self.path("runtime.zip")
        with zipfile.ZipFile(source, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
            z.writestr("python.exe", text(4, 200_000))
            z.writestr("stored.zip", b"already small", compress_type=zipfile.ZIP_STORED)
        files = dict(read_runtime_zip(source, "runtime.zip"))
        self.assertIsInstance(files["python.exe"], archive.Member)
        target = self.path("copied.zip")
        archive.write_zip(target, "T", files)
        self.accepted_by_all(target)
        with zipfile.ZipFile(source) as original, zipfile.ZipFile(target) as copied:
            for name in ("python.exe", "stored.zip"):
                a, b = original.getinfo(name), copied.getinfo("T/" + name)
                self.assertEqual((a.CRC, a.compress_type, a.compress_size),
                                 (b.CRC, b.compress_type, b.compress_size))
        # A flipped byte in the compressed data: refused, no zip.
        with open(source, "r+b") as f:
            f.seek(files["python.exe"].header_offset + 30 + len("python.exe") + 100)
            byte = f.read(1)
            f.seek(-1, 1)
            f.write(bytes([byte[0] ^ 0xFF]))
        with self.assertRaises(Refusal) as refusal:
            archive.write_zip(self.path("damaged.zip"), "T", files)
        self.assertIn("at python.exe", str(refusal.exception))
        self.assertEqual(sorted(os.listdir(self.root)),
                         ["copied.zip", "copied.zip.sha256", "runtime.zip"])

    def test_a_full_disk_leaves_no_zip(self):
        small = self.path("small")
        os.makedirs(small)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", small],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            self.skipTest("!!! CANNOT MOUNT A SMALL TMPFS (needs root): the full-disk "
                          f"case was not run: {mounted.stderr.strip()} !!!")
        self.addCleanup(subprocess.run, ["umount", small])
        noise = self.path("noise.bin", random.Random(5).randbytes(3 << 20))
        with self.assertRaises(Refusal) as refusal:
            archive.write_zip(os.path.join(small, "app.zip"), "T", {"noise.bin": noise})
        self.assertIn("No space left on device", str(refusal.exception))
        self.assertEqual(os.listdir(small), [])

    def test_a_file_over_4_gib(self):
        big = self.path("zeros.bin")
        with open(big, "wb") as f:
            f.truncate((4 << 30) + 4096 * 3 + 7)
        target = self.path("big.zip")
        archive.write_zip(target, "T", {"a.txt": b"a", "zeros.bin": big, "z.txt": b"z"})
        with zipfile.ZipFile(target) as z:
            self.assertEqual(z.getinfo("T/zeros.bin").file_size, os.path.getsize(big))
        self.accepted_by_all(target)


if __name__ == "__main__":
    unittest.main()
