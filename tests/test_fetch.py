"""--python X.Y[.Z]: the runtime found in an index in python.org's format,
served over HTTP on 127.0.0.1, downloaded, checked, cached, and used again
with the server gone."""
import hashlib
import http.server
import json
import os
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
sys.path.insert(0, HERE)
from stage_package import packer_env, stage  # noqa: E402
from test_package import OFFICIAL_PTH, fake_pe, write  # noqa: E402


def runtime_zip(machine, minor):
    path = tempfile.mktemp(suffix=".zip")
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("python.exe", fake_pe(machine))
        archive.writestr(f"python3{minor}.dll", b"dll")
        archive.writestr(f"python3{minor}._pth", OFFICIAL_PTH)
        archive.writestr("__install__.json", "{}")
    with open(path, "rb") as f:
        data = f.read()
    os.remove(path)
    return data


class Server:
    """The index's two pages and the zips, from memory; `files` may be
    changed between requests."""

    def __init__(self):
        self.files, self.requests = {}, []
        files, requests = self.files, self.requests

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self, head=False):
                requests.append(self.path)
                body = files.get(self.path)
                self.send_response(200 if body is not None else 404)
                self.send_header("Content-Length", str(len(body or b"")))
                # The pages of a package index in the "simple" format end in /.
                self.send_header("Content-Type", "text/html" if self.path.endswith("/")
                                 else "application/octet-stream")
                self.end_headers()
                if not head:
                    self.wfile.write(body or b"")

            def do_HEAD(self):
                self.do_GET(head=True)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def entry(version, arch, data, digest=True):
    suffix = {"64": "amd64", "arm64": "arm64"}[arch]
    minor = ".".join(version.split(".")[:2])
    item = {"id": f"pythonembed-{minor}-{arch}", "company": "PythonEmbed",
            "sort-version": version, "tag": f"{minor}-{arch}",
            "url": f"/ftp/python/{version}/python-{version}-embeddable-{suffix}.zip"}
    if digest:
        item["hash"] = {"sha256": hashlib.sha256(data).hexdigest()}
    return item


class RuntimeByVersion(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.root = self.tmp.name
        self.server = Server()
        self.addCleanup(self.server.stop)
        self.x64 = {v: runtime_zip(0x8664, v.split(".")[1])
                    for v in ("3.12.7", "3.12.8", "3.13.1")}
        arm64 = runtime_zip(0xAA64, "13")
        legacy = runtime_zip(0x8664, "10")
        versions = [entry(v, "64", d) for v, d in self.x64.items()]
        versions += [entry("3.13.1", "arm64", arm64),
                     entry("3.10.11", "64", legacy, digest=False),
                     dict(entry("3.14.0a1", "64", legacy), id="pythonembed-3.14-64"),
                     {"id": "pythoncore-3.13-64", "company": "PythonCore",
                      "sort-version": "3.13.9", "url": "/core.zip"}]
        for item, data in zip(versions, [*self.x64.values(), arm64, legacy, legacy]):
            self.server.files[item["url"]] = data
        # Split over two pages, the second named relative to the first.
        self.server.files["/ftp/python/index-windows.json"] = json.dumps(
            {"versions": versions[:2], "next": "index-windows-recent.json"}).encode()
        self.server.files["/ftp/python/index-windows-recent.json"] = json.dumps(
            {"versions": versions[2:]}).encode()
        write(os.path.join(self.root, "app", "firstrun.py"), b"")
        launchers = {}
        for arch, machine in (("x64", 0x8664), ("arm64", 0xAA64)):
            launchers[f"{arch}/console.exe"] = os.path.join(self.root, arch + ".exe")
            write(launchers[f"{arch}/console.exe"], fake_pe(machine))
        tool = stage(os.path.join(self.root, "tool"), launchers)
        self.env = packer_env(tool, HARBOR_LANTERN_CACHE=os.path.join(self.root, "cache"),
                        HARBOR_LANTERN_PYTHON_INDEX=self.server.url
                        + "/ftp/python/index-windows.json")

    def pack(self, *options, out="dist"):
        return subprocess.run(
            [sys.executable, "-m", "harbor_lantern", "pack", "app", "--out", out,
             *options], cwd=self.root, env=self.env, capture_output=True, text=True,
            timeout=120)

    def runtime_in(self, out):
        [name] = [n for n in os.listdir(os.path.join(self.root, out))
                  if n.endswith(".zip")]
        with zipfile.ZipFile(os.path.join(self.root, out, name)) as archive:
            return name, sorted(n.split("/", 2)[2] for n in archive.namelist()
                                if n.split("/")[1] == "python")

    def cached_files(self):
        found = []
        for folder, _, files in os.walk(self.env["HARBOR_LANTERN_CACHE"]):
            found += [os.path.join(folder, f) for f in files]
        return found

    def test_newest_of_a_series_then_from_the_cache_offline(self):
        result = self.pack("--python", "3.12")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "downloading python-3.12.8-embeddable-amd64.zip "
                         "(0.0 MB)\n")
        self.assertEqual(self.runtime_in("dist"), ("Harbor-Lantern-1.1.0-win64.zip", [
            "__install__.json", "python.exe", "python312._pth", "python312.dll"]))
        [cached] = self.cached_files()
        with open(cached, "rb") as f:
            self.assertEqual(f.read(), self.x64["3.12.8"])
        self.assertEqual(os.path.basename(os.path.dirname(cached)),
                         hashlib.sha256(self.x64["3.12.8"]).hexdigest())
        fetched = len(self.server.requests)
        self.pack("--python", "3.12", out="again")
        self.assertEqual(len(self.server.requests), fetched + 2, "the index only")
        self.server.stop()
        for wanted in ("3.12", "3.12.8"):
            with self.subTest(wanted=wanted):
                again = self.pack("--python", wanted, out="offline-" + wanted)
                self.assertEqual((again.returncode, again.stderr), (0, ""))
                self.assertIn("python312.dll", self.runtime_in("offline-" + wanted)[1])
        refused = self.pack("--python", "3.13")
        self.assertIn("cannot read the index", refused.stderr)
        self.assertIn("no CPython 3.13 for x64 is cached", refused.stderr)

    def test_index_refusals(self):
        cases = [
            (["--python", "3.11"], "has no CPython 3.11 for x64; it has 3.10, 3.12, 3.13"),
            (["--python", "3.12.9"], "has no CPython 3.12.9 for x64"),
            (["--python", "3.14"], "has no CPython 3.14 for x64"),
            (["--python", "3.12", "--arch", "arm64"], "has no CPython 3.12 for arm64; "
             "it has 3.13"),
            (["--python", "3.10"], "lists no SHA-256 for python-3.10.11-embeddable-amd64"),
        ]
        for options, message in cases:
            with self.subTest(options=options):
                result = self.pack(*options)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                self.assertIn(message, result.stderr)
        self.assertEqual(self.cached_files(), [])

    def test_a_mismatch_is_never_cached(self):
        url = "/ftp/python/3.13.1/python-3.13.1-embeddable-amd64.zip"
        tampered = self.server.files[url][:-1] + b"!"
        self.server.files[url] = tampered
        result = self.pack("--python", "3.13")
        expected = hashlib.sha256(self.x64["3.13.1"]).hexdigest()
        actual = hashlib.sha256(tampered).hexdigest()
        self.assertIn(f"SHA-256 {actual}, expected {expected}", result.stderr)
        self.assertEqual(self.cached_files(), [])
        self.assertFalse(os.path.exists(os.path.join(self.root, "dist")))

    def test_the_full_package_for_tkinter(self):
        full = runtime_zip(0x8664, "13")
        url = "/ftp/python/3.13.1/python-3.13.1-amd64.zip"
        listed = {"id": "pythoncore-3.13-64", "company": "PythonCore",
                  "sort-version": "3.13.1", "url": url,
                  "hash": {"sha256": hashlib.sha256(full).hexdigest()}}
        page = "/ftp/python/index-windows-recent.json"
        index = json.loads(self.server.files[page])
        self.server.files[page] = json.dumps(dict(index, versions=index["versions"]
                                                  + [listed])).encode()
        self.server.files[url] = full[:-1] + b"!"
        cases = [
            (["--python", "3.12"], "lists no full package of CPython 3.12.8 for x64"),
            (["--python", "3.13"], "python-3.13.1-amd64.zip does not match the index: "
             f"SHA-256 {hashlib.sha256(full[:-1] + b'!').hexdigest()}, expected "
             f"{hashlib.sha256(full).hexdigest()}"),
        ]
        for options, message in cases:
            with self.subTest(options=options):
                result = self.pack(*options, "--tkinter", out="refused")
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.root, "refused")))
        self.assertNotIn(url, " ".join(self.cached_files()))

    def test_two_packs_at_once_share_the_cache(self):
        packs = [subprocess.Popen(
            [sys.executable, "-m", "harbor_lantern", "pack", "app", "--python", "3.13",
             "--arch", "arm64", "--out", f"out{i}"], cwd=self.root, env=self.env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for i in range(4)]
        for i, pack in enumerate(packs):
            _, err = pack.communicate(timeout=120)
            self.assertEqual(pack.returncode, 0, err)
            self.assertEqual(self.runtime_in(f"out{i}")[0],
                             "Harbor-Lantern-1.1.0-win-arm64.zip")
        [cached] = self.cached_files()
        with open(cached, "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(),
                             os.path.basename(os.path.dirname(cached)))


if __name__ == "__main__":
    unittest.main()
