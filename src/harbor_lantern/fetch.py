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

from packaging.version import InvalidVersion, Version

from .refusal import Refusal

INDEX = "https://www.python.org/ftp/python/index-windows.json"
ARCHES = {"64": "x64", "arm64": "arm64", "32": "x86"}
# The embeddable runtime and the full package of a release; free-threaded
# builds (pythoncore-3.13t-64), test packages (pythontest-...) and anything
# else never match. Pre-releases carry "-dev" in their ids.
KINDS = {"PythonEmbed": re.compile(r"pythonembed-(\d+\.\d+)(?:-dev)?-(64|arm64|32)"),
         "PythonCore": re.compile(r"pythoncore-(\d+\.\d+)(?:-dev)?-(64|arm64|32)")}
SUFFIXES = {"x64": "amd64", "arm64": "arm64"}
TIMEOUT = 30
CHUNK = 1 << 16


@dataclass
class Fetched:
    version: str
    path: str            # the checked embeddable zip
    package: str = None  # the full package of the same release, when asked for
    offline: str = None  # why the index was not read, when the cache answered


@dataclass
class Release:
    company: str
    arch: str
    version: str     # "3.12.8", or a pre-release such as "3.15.0a8"
    url: str
    sha256: str      # None when the index lists none

    @property
    def file_name(self):
        return urllib.parse.urlsplit(self.url).path.rsplit("/", 1)[-1]

    @property
    def key(self):
        return Version(self.version)

    @property
    def final(self):
        return not self.key.is_prerelease

    @property
    def line(self):
        return ".".join(self.version.split(".")[:2])


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


def series(wanted):
    """What --python X.Y or X.Y.Z takes: a final release of that series, or
    exactly that release, pre-releases included."""
    if wanted.count(".") >= 2:
        return lambda version: version == wanted
    return lambda version: (version.startswith(wanted + ".")
                            and not Version(version).is_prerelease)


class Index:
    """python.org's index of Windows runtimes, read one page at a time and
    only as far as a question needs: each page is a request, and the first
    one alone answers most packs."""

    def __init__(self, url):
        self.url, self.next, self.seen, self.releases = url, url, set(), []

    def more(self):
        if not self.next or self.next in self.seen:
            return False
        url = self.next
        self.seen.add(url)
        with urllib.request.urlopen(url, timeout=TIMEOUT) as response:
            page = json.load(response)
        for entry in page.get("versions", []):
            # Another schema may mean other fields: never guess at them.
            if entry.get("schema") != 1:
                continue
            company = str(entry.get("company"))
            kind = company in KINDS and KINDS[company].fullmatch(str(entry.get("id", "")))
            version = str(entry.get("sort-version", ""))
            try:
                Version(version)
            except InvalidVersion:
                continue
            if not kind or not entry.get("url"):
                continue
            digest = (entry.get("hash") or {}).get("sha256")
            self.releases.append(Release(
                company, ARCHES[kind.group(2)], version,
                urllib.parse.urljoin(url, entry["url"]), digest.lower() if digest else None))
        self.next = urllib.parse.urljoin(url, page["next"]) if page.get("next") else None
        return True

    def listed(self, company, arch):
        return [r for r in self.releases if r.company == company and r.arch == arch]

    def newest(self, company, arch, allows):
        """The newest release that allows() takes. A page lists the newest
        release of each line before the older ones, so reading stops once
        every newer line read is ruled out whole (its newest and its X.Y.0
        both refused)."""
        while True:
            mine = self.listed(company, arch)
            taken = [r for r in mine if allows(r.version)]
            best = max(taken, key=lambda r: r.key, default=None)
            if best is not None and not any(
                    r.key > best.key and allows(r.line + ".0") for r in mine):
                return best
            if not self.more():
                return best


def no_release(index, wanted, arch, what):
    """The refusal when nothing fits: names what the index has for arch."""
    while index.more():
        pass
    mine = index.listed("PythonEmbed", arch)
    finals = sorted({r.line for r in mine if r.final}, key=Version)
    if not mine:
        others = sorted({r.arch for r in index.releases if r.arch != "x86"})
        return Refusal(f"--arch {arch}: the index {index.url} has no embeddable runtime "
                       f"for {arch}; it has them for {', '.join(others) or 'none'}.")
    if not what.startswith("--python"):
        return Refusal(f"{what} allows none of the CPython releases that the index "
                       f"{index.url} has for {arch} ({', '.join(finals)}): widen it, "
                       "or name a runtime with --python.")
    previews = sorted({r.version for r in mine if not r.final
                       and r.version.startswith(wanted + ".")}, key=Version)
    if previews:
        return Refusal(f"--python {wanted}: the index {index.url} has only pre-releases "
                       f"of CPython {wanted} for {arch} ({', '.join(previews)}): name one "
                       f"exactly, such as --python {previews[-1]}, or choose a final "
                       f"release ({', '.join(finals)}).")
    if any(r.line == wanted for r in index.listed("PythonCore", arch)):
        return Refusal(f"{what}: the index {index.url} has no checked embeddable "
                       f"CPython {wanted} (it lists them from 3.11 on): download "
                       f"python-{wanted}.N-embed-{SUFFIXES[arch]}.zip from python.org, "
                       "check it, and give --python-zip.")
    return Refusal(f"{what}: the index {index.url} has no CPython {wanted} for {arch}; "
                   f"it has {', '.join(finals)}.")


def cached(folder, release):
    path = os.path.join(folder, release.sha256, release.file_name)
    return path if os.path.isfile(path) and sha256_of(path) == release.sha256 else None


def cached_without_index(folder, allows, arch):
    """The newest runtime in the cache that allows() takes, each checked
    again against the hash it was stored under."""
    name = re.compile(r"python-(\d+\.\d+\.\d+(?:(?:a|b|rc)\d+)?)-embed(?:dable)?-"
                      + SUFFIXES[arch] + r"\.zip")
    found = []
    for path in glob.glob(os.path.join(glob.escape(folder), "*", "python-*.zip")):
        match = name.fullmatch(os.path.basename(path))
        if match and allows(match.group(1)):
            found.append((Version(match.group(1)), match.group(1), path))
    for _, version, path in sorted(found, reverse=True):
        if sha256_of(path) == os.path.basename(os.path.dirname(path)):
            return version, path
    return None, None


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


def fetch(wanted, arch, full=False, allows=None, what=None):
    """The checked embeddable zip and, with full, the full package of exactly
    its release. wanted is X.Y or X.Y.Z; with allows, what allows() takes is
    told by what (requires-python)."""
    index = Index(os.environ.get("HARBOR_LANTERN_PYTHON_INDEX") or INDEX)
    folder = os.path.join(cache_folder(), "runtimes")
    what = what or f"--python {wanted}"
    exact = allows is None and wanted.count(".") >= 2
    allows = allows or series(wanted)
    version, path = cached_without_index(folder, allows, arch)
    package = None
    if path and full:
        package = cached_by_name(folder, f"python-{version}-{SUFFIXES[arch]}.zip")
    # An exact release already checked into the cache needs no index at all.
    if exact and path and (package or not full):
        return Fetched(version, path, package)
    try:
        release = index.newest("PythonEmbed", arch, allows)
        if release is None:
            raise no_release(index, wanted, arch, what)
        full_release = full and index.newest(
            "PythonCore", arch, lambda v: v == release.version)
    except (urllib.error.URLError, OSError, ValueError, KeyError) as error:
        reason = getattr(error, "reason", error)
        if path and full and not package:
            raise Refusal(f"--tkinter: cannot read the index {index.url} ({reason}) and "
                          f"the full package of CPython {version} for {arch} is not "
                          f"cached in {folder}: connect once.")
        if path:
            return Fetched(version, path, package, offline=f"{reason}")
        fits = f"CPython {wanted}" if what.startswith("--python") else "runtime that fits"
        raise Refusal(f"{what}: cannot read the index {index.url} ({reason}) "
                      f"and no {fits} for {arch} is cached in {folder}: "
                      "connect once, or give --python-zip.")
    runtime = checked_download(release, folder, what, "--python-zip")
    if not full:
        return Fetched(release.version, runtime)
    if full_release is None:
        raise Refusal(f"--tkinter: the index {index.url} lists no full package of "
                      f"CPython {release.version} for {arch}, where Tcl/Tk comes from: "
                      "give --python-zip and --tkinter-from with python.org's full "
                      "package.")
    return Fetched(release.version, runtime, checked_download(
        full_release, folder, "--tkinter", "--tkinter-from"))


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
