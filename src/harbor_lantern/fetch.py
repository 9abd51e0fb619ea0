"""The runtime by version: found in python.org's index of Windows runtimes,
downloaded once, checked against the index's SHA-256 before anything reads
it, and kept in a per-user cache. The same goes for the full package of the
same release, where Tcl/Tk and tkinter come from.

The cache holds each zip under the SHA-256 it was checked against, so a file
is only ever found there whole: it is written under a name of its own and
renamed into place after the check, which also lets two packs download the
same runtime at once.
"""
import glob
import hashlib
import json
import os
import re
import sys
import tempfile
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass

from .refusal import Refusal

INDEX = "https://www.python.org/ftp/python/index-windows.json"
ARCHES = {"x64": "64", "arm64": "arm64"}
# The embeddable runtime, and the full package of the same release;
# free-threaded builds (3.14t) and test packages are other ids.
KINDS = {"PythonEmbed": re.compile(r"pythonembed-(\d+\.\d+)-(64|arm64|32)"),
         "PythonCore": re.compile(r"pythoncore-(\d+\.\d+)-(64|arm64|32)")}
SUFFIXES = {"x64": "amd64", "arm64": "arm64"}
FINAL = re.compile(r"\d+\.\d+\.\d+")
TIMEOUT = 30
CHUNK = 1 << 16


@dataclass
class Release:
    version: str     # "3.12.8"
    url: str
    sha256: str      # None when the index lists none

    @property
    def file_name(self):
        return urllib.parse.urlsplit(self.url).path.rsplit("/", 1)[-1]


def cache_folder():
    if os.environ.get("HARBOR_LANTERN_CACHE"):
        return os.environ["HARBOR_LANTERN_CACHE"]
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA") or os.path.expanduser("~\\AppData\\Local")
    elif sys.platform == "darwin":
        base = os.path.expanduser("~/Library/Caches")
    else:
        base = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return os.path.join(base, "harbor-lantern")


def version_key(version):
    return tuple(int(n) for n in version.split("."))


def matches(wanted, version):
    return version == wanted or version.startswith(wanted + ".")


def read_index(url):
    """Every embeddable runtime and full package that the index lists, page
    by page: {company: {arch: [Release]}}."""
    found, seen = {}, set()
    while url and url not in seen:
        seen.add(url)
        with urllib.request.urlopen(url, timeout=TIMEOUT) as response:
            page = json.load(response)
        for entry in page.get("versions", []):
            company = str(entry.get("company"))
            kind = company in KINDS and KINDS[company].fullmatch(str(entry.get("id", "")))
            version = str(entry.get("sort-version", ""))
            if not kind or not FINAL.fullmatch(version):
                continue
            digest = (entry.get("hash") or {}).get("sha256")
            arch = {v: k for k, v in ARCHES.items()}.get(kind.group(2), "x86")
            found.setdefault(company, {}).setdefault(arch, []).append(Release(
                version, urllib.parse.urljoin(url, entry["url"]),
                digest.lower() if digest else None))
        url = urllib.parse.urljoin(url, page["next"]) if page.get("next") else None
    return found


def choose(releases, wanted, arch, index):
    mine = [r for r in releases.get(arch, []) if matches(wanted, r.version)]
    if mine:
        return max(mine, key=lambda r: version_key(r.version))
    listed = sorted({".".join(r.version.split(".")[:2])
                     for r in releases.get(arch, [])}, key=version_key)
    if not listed:
        raise Refusal(f"--arch {arch}: the index {index} has no embeddable runtime "
                      f"for {arch}; it has them for "
                      + ", ".join(sorted(a for a in releases if a != "x86")) + ".")
    raise Refusal(f"--python {wanted}: the index {index} has no CPython {wanted} "
                  f"for {arch}; it has {', '.join(listed)}.")


def cached(folder, release):
    path = os.path.join(folder, release.sha256, release.file_name)
    return path if os.path.isfile(path) and sha256_of(path) == release.sha256 else None


def cached_without_index(folder, wanted, arch):
    """The newest matching runtime in the cache, each checked again against
    the hash it was stored under."""
    name = re.compile(r"python-(\d+\.\d+\.\d+)-embed(?:dable)?-" + SUFFIXES[arch]
                      + r"\.zip")
    found = []
    for path in glob.glob(os.path.join(glob.escape(folder), "*", "python-*.zip")):
        match = name.fullmatch(os.path.basename(path))
        if match and matches(wanted, match.group(1)):
            found.append((version_key(match.group(1)), path))
    for _, path in sorted(found, reverse=True):
        if sha256_of(path) == os.path.basename(os.path.dirname(path)):
            return path
    return None


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(CHUNK), b""):
            digest.update(block)
    return digest.hexdigest()


def download(release, folder):
    os.makedirs(folder, exist_ok=True)
    handle, partial = tempfile.mkstemp(dir=folder, prefix=".download-")
    digest = hashlib.sha256()
    try:
        with os.fdopen(handle, "wb") as out, \
                urllib.request.urlopen(release.url, timeout=TIMEOUT) as response:
            total = int(response.headers.get("Content-Length") or 0)
            progress = Progress(release.file_name, total)
            for block in iter(lambda: response.read(CHUNK), b""):
                out.write(block)
                digest.update(block)
                progress.advance(len(block))
            progress.done()
        actual = digest.hexdigest()
        if actual != release.sha256:
            raise Refusal(f"{release.url} does not match the index: SHA-256 "
                          f"{actual}, expected {release.sha256}; it was not used or "
                          "kept. Try again later, or check your network.")
        target = os.path.join(folder, release.sha256)
        os.makedirs(target, exist_ok=True)
        path = os.path.join(target, release.file_name)
        os.replace(partial, path)
        return path
    except BaseException:
        if os.path.exists(partial):
            os.remove(partial)
        raise


class Progress:
    """One line on standard error, redrawn in place at a terminal; a single
    line elsewhere, so logs stay short."""

    def __init__(self, name, total):
        self.name, self.total, self.got = name, total, 0
        self.live = sys.stderr.isatty()
        self.shown = -1
        size = f" ({total / 1e6:.1f} MB)" if total else ""
        sys.stderr.write(f"downloading {name}{size}" + ("" if self.live else "\n"))
        sys.stderr.flush()

    def advance(self, count):
        self.got += count
        if self.live and self.total:
            percent = 100 * self.got // self.total
            if percent != self.shown:
                self.shown = percent
                sys.stderr.write(f"\rdownloading {self.name}: {percent:3d}% of "
                                 f"{self.total / 1e6:.1f} MB")
                sys.stderr.flush()

    def done(self):
        if self.live:
            sys.stderr.write("\n")
            sys.stderr.flush()


def cached_by_name(folder, file_name):
    for path in glob.glob(os.path.join(glob.escape(folder), "*", glob.escape(file_name))):
        if sha256_of(path) == os.path.basename(os.path.dirname(path)):
            return path
    return None


def fetch(wanted, arch, full=False):
    """The path of the checked embeddable zip of CPython wanted for arch, and
    with full, the path of the full package of exactly its release (else
    None)."""
    index = os.environ.get("HARBOR_LANTERN_PYTHON_INDEX") or INDEX
    folder = os.path.join(cache_folder(), "runtimes")
    try:
        listed = read_index(index)
    except (urllib.error.URLError, OSError, ValueError, KeyError) as error:
        reason = getattr(error, "reason", error)
        path = cached_without_index(folder, wanted, arch)
        if path and full:
            version = re.match(r"python-(\d+\.\d+\.\d+)", os.path.basename(path)).group(1)
            package = cached_by_name(folder, f"python-{version}-{SUFFIXES[arch]}.zip")
            if package:
                return path, package
            raise Refusal(f"--tkinter: cannot read the index {index} ({reason}) and the "
                          f"full package of CPython {version} for {arch} is not cached "
                          f"in {folder}: connect once.")
        if path:
            return path, None
        raise Refusal(f"--python {wanted}: cannot read the index {index} ({reason}) "
                      f"and no CPython {wanted} for {arch} is cached in {folder}: "
                      "connect once, or give --python-zip.")
    release = choose(listed.get("PythonEmbed", {}), wanted, arch, index)
    runtime = checked_download(release, folder, f"--python {wanted}", "--python-zip")
    if not full:
        return runtime, None
    [package] = [r for r in listed.get("PythonCore", {}).get(arch, [])
                 if r.version == release.version][:1] or [None]
    if package is None:
        raise Refusal(f"--tkinter: the index {index} lists no full package of CPython "
                      f"{release.version} for {arch}, where Tcl/Tk comes from: give "
                      "--python-zip and --tkinter-from with python.org's full package.")
    return runtime, checked_download(package, folder, "--tkinter", "--tkinter-from")


def checked_download(release, folder, given_as, instead):
    if not release.sha256:
        raise Refusal(f"{given_as}: the index lists no SHA-256 for "
                      f"{release.file_name}, so it cannot be checked: download it "
                      f"yourself, check it, and give {instead}.")
    path = cached(folder, release)
    if path:
        return path
    try:
        return download(release, folder)
    except (urllib.error.URLError, OSError) as error:
        reason = getattr(error, "reason", error)
        raise Refusal(f"{given_as}: cannot download {release.url} "
                      f"({reason}): connect, or give {instead}.")
