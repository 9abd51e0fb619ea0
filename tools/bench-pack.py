"""make bench-pack: a branded pack of the real embeddable runtime, with no
dependencies, against a floor: Python's zipfile writing the same files on
one thread at zlib's default level. Also the zip's size against the same
files at level 9. Then an app with numpy and click from the package index,
with a cold cache and a warm one, against packing the installed files as a
plain app folder. Not a test: the figures go into the README."""
import os
import shutil
import statistics
import sys
import tempfile
import time
import zipfile

from harbor_lantern.config import read_inputs
from harbor_lantern.pack import pack

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNTIME = os.environ.get("HL_REAL_RUNTIME") or os.path.join(
    ROOT, "..", "shared", "runtimes", "python-3.7.4-embed-amd64.zip")
RUNS = 5


def floor(files, target, level):
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED, compresslevel=level) as z:
        for name, path in files:
            z.write(path, name)


def best(action):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main():
    if not os.path.isfile(RUNTIME):
        sys.exit(f"bench-pack: the real runtime {RUNTIME} is not here; set HL_REAL_RUNTIME")
    with tempfile.TemporaryDirectory() as tmp:
        inputs = dict(app_dir=os.path.join(ROOT, "sample"), python_zip=RUNTIME,
                      name="Bench Tally", version="1.0",
                      icon=os.path.join(ROOT, "tests", "e2e", "app.ico"),
                      out=os.path.join(tmp, "out"))
        packed = []
        pack_time = best(lambda: packed.append(pack(read_inputs(inputs), say=lambda _: 0)))
        with zipfile.ZipFile(packed[-1]) as archive:
            archive.extractall(os.path.join(tmp, "unpacked"))
        top = os.path.join(tmp, "unpacked")
        files = []
        for folder, dirs, names in os.walk(top):
            dirs.sort()
            files += [(os.path.relpath(os.path.join(folder, n), top),
                       os.path.join(folder, n)) for n in sorted(names)]
        floor_zip = os.path.join(tmp, "floor.zip")
        floor_time = best(lambda: floor(files, floor_zip, 6))
        floor(files, os.path.join(tmp, "level9.zip"), 9)
        total = sum(os.path.getsize(p) for _, p in files)
        sizes = {what: os.path.getsize(path) for what, path in (
            ("pack", packed[-1]), ("level 6", floor_zip),
            ("level 9", os.path.join(tmp, "level9.zip")))}
    print(f"{len(files)} files, {total:,} bytes; best of {RUNS} (median in brackets), "
          f"{os.cpu_count()} cores")
    print(f"  harbor-lantern pack (branded):  {pack_time[0]:.3f} s ({pack_time[1]:.3f} s)")
    print(f"  zipfile, 1 thread, level 6:     {floor_time[0]:.3f} s ({floor_time[1]:.3f} s)")
    print(f"  ratio pack / floor:             {pack_time[0] / floor_time[0]:.2f}x")
    print(f"  sizes: pack {sizes['pack']:,} B, level 6 {sizes['level 6']:,} B, "
          f"level 9 {sizes['level 9']:,} B "
          f"(pack {100 * (sizes['pack'] / sizes['level 9'] - 1):+.2f} % against level 9)")


DEPENDENCIES = ["numpy==1.21.6", "click==8.1.7"]
# Any request the warm pack made would go to this dead proxy and fail.
DEAD_PROXY = {k: "http://127.0.0.1:9" for k in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",
                                                "http_proxy", "https_proxy", "all_proxy")}


def timed(action, environment=()):
    saved = dict(os.environ)
    os.environ.update(environment)
    try:
        start = time.perf_counter()
        result = action()
        return time.perf_counter() - start, result
    finally:
        os.environ.clear()
        os.environ.update(saved)


def dependencies():
    with tempfile.TemporaryDirectory() as tmp:
        app = os.path.join(tmp, "app")
        os.makedirs(app)
        with open(os.path.join(app, "firstrun.py"), "w") as f:
            f.write("import numpy, click\n")
        cache = {"HARBOR_LANTERN_CACHE": os.path.join(tmp, "cache")}

        def pack_app(folder, out, **extra):
            return pack(read_inputs(dict(app_dir=folder, python_zip=RUNTIME, out=out,
                                         **extra)), say=lambda _: 0)

        cold, packed = timed(lambda: pack_app(app, os.path.join(tmp, "cold"),
                                              dependencies=DEPENDENCIES), cache)
        warm = min(timed(lambda: pack_app(app, os.path.join(tmp, "warm"),
                                          dependencies=DEPENDENCIES),
                         {**cache, **DEAD_PROXY})[0] for _ in range(RUNS))
        plain = os.path.join(tmp, "plain")
        with zipfile.ZipFile(packed) as archive:
            top = archive.namelist()[0].split("/")[0]
            archive.extractall(os.path.join(tmp, "unpacked"))
        shutil.copytree(os.path.join(tmp, "unpacked", top, "python", "Lib",
                                     "site-packages"), os.path.join(plain, "site"))
        shutil.copy(os.path.join(app, "firstrun.py"), plain)
        folder = min(timed(lambda: pack_app(plain, os.path.join(tmp, "plain-out")))[0]
                     for _ in range(RUNS))
    print(f"app with {' and '.join(DEPENDENCIES)} on CPython 3.7.4 x64 "
          f"(warm and plain: best of {RUNS}):")
    print(f"  cold cache (downloads):          {cold:.3f} s")
    print(f"  warm cache, no network:          {warm:.3f} s")
    print(f"  the same files as a plain app:   {folder:.3f} s")
    print(f"  warm - plain:                    {warm - folder:+.3f} s")


if __name__ == "__main__":
    main()
    dependencies()
