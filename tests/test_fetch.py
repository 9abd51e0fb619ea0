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


# A pyproject.toml's [project] needs both; they brand the launcher, so the
# x64 one is the real one where the build gives it.
PROJECT = "[project]\nname = 'Harbor-Lantern'\nversion = '1.1.0'\n"


def runtime_zip(machine, minor, version=""):
    path = tempfile.mktemp(suffix=".zip")
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("python.exe", fake_pe(machine))
        archive.writestr(f"python3{minor}.dll", b"dll")
        archive.writestr(f"python3{minor}._pth", OFFICIAL_PTH)
        archive.writestr("__install__.json", json.dumps({"version": version}))
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


def entry(version, arch, data, company="PythonEmbed", digest=True, id=None):
    """An entry as python.org's index writes it."""
    kind = {"PythonEmbed": "pythonembed", "PythonCore": "pythoncore"}[company]
    minor = ".".join(version.split(".")[:2])
    dev = "-dev" if not version.replace(".", "").isdigit() else ""
    name = {"PythonEmbed": "embeddable-", "PythonCore": ""}[company]
    suffix = {"64": "amd64", "arm64": "arm64", "32": "win32"}[arch]
    item = {"schema": 1, "id": id or f"{kind}-{minor}{dev}-{arch}", "company": company,
            "sort-version": version, "tag": f"{minor}{dev}-{arch}",
            "url": f"/ftp/python/{version}/python-{version}-{name}{suffix}.zip"}
    if digest:
        item["hash"] = {"sha256": hashlib.sha256(data).hexdigest()}
    return item


def serve_index(server, pages):
    """Three pages as python.org has them: the newest release of every line
    first, older ones on the recent page, the legacy page without hashes;
    each page's `next` relative to it. pages: [[(entry, data)], ...]."""
    names = ["index-windows.json", "index-windows-recent.json",
             "index-windows-legacy.json"]
    for number, page in enumerate(pages):
        for item, data in page:
            server.files[item["url"]] = data
        document = {"versions": [item for item, _ in page]}
        if number + 1 < len(pages):
            document["next"] = names[number + 1]
        server.files["/ftp/python/" + names[number]] = json.dumps(document).encode()
    return server.url + "/ftp/python/" + names[0]


class RuntimeByVersion(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.root = self.tmp.name
        self.server = Server()
        self.addCleanup(self.server.stop)
        self.x64 = {v: runtime_zip(0x8664, v.split(".")[1], v)
                    for v in ("3.11.9", "3.12.8", "3.12.9", "3.13.1", "3.13.2", "3.15.0a8")}
        wrong = runtime_zip(0x14C, "13")
        self.arm64 = runtime_zip(0xAA64, "13")
        x64 = {v: (entry(v, "64", d), d) for v, d in self.x64.items()}
        serve_index(self.server, [
            [x64["3.15.0a8"], x64["3.13.2"], x64["3.12.9"], x64["3.11.9"],
             (entry("3.13.2", "arm64", self.arm64), self.arm64),
             # Never taken: free-threaded, test packages, 32-bit, another schema.
             (entry("3.13.2", "64", wrong, "PythonCore", id="pythoncore-3.13t-64"), wrong),
             (entry("3.13.2", "64", wrong, "PythonCore", id="pythontest-3.13-64"), wrong),
             (entry("3.13.2", "32", wrong), wrong),
             (dict(entry("3.14.0", "64", wrong), schema=2), wrong)],
            [x64["3.13.1"], x64["3.12.8"]],
            [(entry("3.10.11", "64", wrong, "PythonCore", digest=False), wrong)]])
        write(os.path.join(self.root, "app", "firstrun.py"), b"")
        launchers = {}
        for arch, machine in (("x64", 0x8664), ("arm64", 0xAA64)):
            launchers[f"{arch}/console.exe"] = os.path.join(self.root, arch + ".exe")
            write(launchers[f"{arch}/console.exe"], fake_pe(machine))
        if os.environ.get("HL_LAUNCHER"):
            launchers["x64/console.exe"] = os.environ["HL_LAUNCHER"]
        tool = stage(os.path.join(self.root, "tool"), launchers)
        self.env = packer_env(tool, HARBOR_LANTERN_CACHE=os.path.join(self.root, "cache"),
                        HARBOR_LANTERN_PYTHON_INDEX=self.server.url
                        + "/ftp/python/index-windows.json")

    def pack(self, *options, out="dist"):
        return subprocess.run(
            [sys.executable, "-m", "harbor_lantern", "pack", "app", "--out", out,
             *options], cwd=self.root, env=self.env, capture_output=True, text=True,
            timeout=120)

    def packed(self, out):
        [name] = [n for n in os.listdir(os.path.join(self.root, out)) if n.endswith(".zip")]
        return os.path.join(self.root, out, name)

    def packed_version(self, out):
        with zipfile.ZipFile(self.packed(out)) as archive:
            [install] = [n for n in archive.namelist() if n.endswith("__install__.json")]
            return json.loads(archive.read(install))["version"]

    def index_requests(self):
        return [r for r in self.server.requests if r.endswith(".json")]

    def cached_files(self):
        found = []
        for folder, _, files in os.walk(self.env["HARBOR_LANTERN_CACHE"]):
            found += [os.path.join(folder, f) for f in files]
        return found

    def test_pages_read_only_as_far_as_needed_then_the_cache_offline(self):
        cases = [  # options, release taken, index pages read
            (["--python", "3.12"], "3.12.9", 1),
            (["--python", "3.13.1"], "3.13.1", 2),
            (["--python", "3.15.0a8"], "3.15.0a8", 1),
            (["--python", "3.12"], "3.12.9", 1),
            # An exact release in the cache needs no index.
            (["--python", "3.12.9"], "3.12.9", 0),
        ]
        for number, (options, version, pages) in enumerate(cases):
            with self.subTest(options=options):
                before = len(self.index_requests())
                result = self.pack(*options, out=f"out{number}")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(self.packed_version(f"out{number}"), version)
                self.assertEqual(len(self.index_requests()) - before, pages)
        self.assertEqual(sorted(os.path.basename(p) for p in self.cached_files()), [
            f"python-{v}-embeddable-amd64.zip" for v in ("3.12.9", "3.13.1", "3.15.0a8")])
        self.server.stop()
        for wanted in ("3.12", "3.12.9"):
            with self.subTest(wanted=wanted):
                again = self.pack("--python", wanted, out="offline-" + wanted)
                self.assertEqual((again.returncode, again.stderr), (0, ""))
                self.assertEqual(self.packed_version("offline-" + wanted), "3.12.9")
        refused = self.pack("--python", "3.11")
        self.assertIn("cannot read the index", refused.stderr)
        self.assertIn("no CPython 3.11 for x64 is cached", refused.stderr)

    def test_index_refusals(self):
        cases = [
            (["--python", "3.14"], "has no CPython 3.14 for x64; it has 3.11, 3.12, 3.13"),
            (["--python", "3.12.5"], "has no CPython 3.12.5 for x64"),
            (["--python", "3.15"], "has only pre-releases of CPython 3.15 for x64 "
             "(3.15.0a8): name one exactly, such as --python 3.15.0a8"),
            (["--python", "3.12", "--arch", "arm64"], "has no CPython 3.12 for arm64; "
             "it has 3.13"),
            (["--python", "3.10"], "has no checked embeddable CPython 3.10 (it lists them "
             "from 3.11 on): download python-3.10.N-embed-amd64.zip"),
        ]
        for options, message in cases:
            with self.subTest(options=options):
                result = self.pack(*options)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                self.assertIn(message, result.stderr)
        self.assertEqual(self.cached_files(), [])

    def test_no_runtime_named_takes_what_requires_python_allows(self):
        pyproject = os.path.join(self.root, "app", "pyproject.toml")
        cases = [  # requires-python (None: not set), release, arch
            (None, "3.13.2", "x64"),
            (">=3.11,<3.13", "3.12.9", "x64"),
            ("~=3.12.0,!=3.12.9", "3.12.8", "x64"),
        ]
        for number, (requires, version, arch) in enumerate(cases):
            with self.subTest(requires=requires):
                write(pyproject, PROJECT + (
                    f"requires-python = '{requires}'\n" if requires else ""))
                result = self.pack("--arch", arch, out=f"out{number}")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.count("no runtime named"), 1)
                self.assertIn(f"no runtime named: CPython {version} for {arch}, the newest "
                              + ("final release" if requires is None else
                                 f"that requires-python {requires!r} allows"),
                              result.stdout)
                if arch == "x64":
                    self.assertEqual(self.packed_version(f"out{number}"), version)
        write(pyproject, PROJECT + "requires-python = '>=3.14'\n")
        refused = self.pack()
        self.assertEqual(refused.returncode, 1)
        self.assertIn(f"requires-python in {os.path.join('app', 'pyproject.toml')}: "
                      "'>=3.14' allows none of the CPython releases that the index",
                      refused.stderr)
        self.assertIn("for x64 (3.11, 3.12, 3.13)", refused.stderr)
        write(pyproject, PROJECT + "requires-python = '>=3.12,<3.13'\n")
        self.server.stop()
        offline = self.pack(out="offline")
        self.assertEqual(offline.returncode, 0, offline.stderr)
        self.assertIn("CPython 3.12.9 for x64, the newest that requires-python "
                      "'>=3.12,<3.13' allows in the cache, as the index cannot be read",
                      offline.stdout)
        write(pyproject, PROJECT + "requires-python = 'three'\n")
        self.assertIn("'three' is not a version specifier", self.pack().stderr)

    def test_a_mismatch_is_never_cached(self):
        url = "/ftp/python/3.13.2/python-3.13.2-embeddable-amd64.zip"
        tampered = self.server.files[url][:-1] + b"!"
        self.server.files[url] = tampered
        result = self.pack("--python", "3.13")
        expected = hashlib.sha256(self.x64["3.13.2"]).hexdigest()
        actual = hashlib.sha256(tampered).hexdigest()
        self.assertIn(f"SHA-256 {actual}, expected {expected}", result.stderr)
        self.assertEqual(self.cached_files(), [])
        self.assertFalse(os.path.exists(os.path.join(self.root, "dist")))

    def test_the_full_package_for_tkinter(self):
        full = runtime_zip(0x8664, "13")
        no_tk = runtime_zip(0xAA64, "13")
        page = "/ftp/python/index-windows.json"
        index = json.loads(self.server.files[page])
        listed = [entry("3.13.2", "64", full, "PythonCore"),
                  entry("3.13.2", "arm64", no_tk, "PythonCore")]
        self.server.files[page] = json.dumps(dict(index, versions=index["versions"]
                                                  + listed)).encode()
        self.server.files[listed[0]["url"]] = full[:-1] + b"!"
        self.server.files[listed[1]["url"]] = no_tk
        cases = [
            (["--python", "3.12"], "lists no full package of CPython 3.12.9 for x64"),
            (["--python", "3.13"], "python-3.13.2-amd64.zip does not match the index: "
             f"SHA-256 {hashlib.sha256(full[:-1] + b'!').hexdigest()}, expected "
             f"{hashlib.sha256(full).hexdigest()}"),
            (["--python", "3.13", "--arch", "arm64"], "python-3.13.2-arm64.zip has no "
             "Tcl/Tk: python.org built that release without it"),
        ]
        for options, message in cases:
            with self.subTest(options=options):
                result = self.pack(*options, "--tkinter", out="refused")
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.root, "refused")))
        self.assertNotIn(listed[0]["url"].rsplit("/")[-1], " ".join(self.cached_files()))

    def test_two_packs_at_once_share_the_cache(self):
        packs = [subprocess.Popen(
            [sys.executable, "-m", "harbor_lantern", "pack", "app", "--python", "3.13",
             "--arch", "arm64", "--out", f"out{i}"], cwd=self.root, env=self.env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for i in range(4)]
        for i, pack in enumerate(packs):
            _, err = pack.communicate(timeout=120)
            self.assertEqual(pack.returncode, 0, err)
            self.assertEqual(os.path.basename(self.packed(f"out{i}")),
                             "Harbor-Lantern-1.1.0-win-arm64.zip")
        [cached] = self.cached_files()
        with open(cached, "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(),
                             os.path.basename(os.path.dirname(cached)))


if __name__ == "__main__":
    unittest.main()
