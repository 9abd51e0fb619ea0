"""make bench-pack: a branded pack of the real embeddable runtime, with no
dependencies, against a floor: Python's zipfile writing the same files on
one thread at zlib's default level. Also the zip's size against the same
files at level 9. Then a big app (1.4 GB in 20,041 files, made here once and
kept in build/) the same way, with the peak memory of each side; then an app
with numpy and click from the package index, with a cold cache and a warm
one, against packing the installed files as a plain app folder. Not a test:
the figures go into the README."""
import hashlib
import os
import random
import shutil
import statistics
import subprocess
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
# This machine's CPUs are shared and their speed drifts by a third from one
# minute to the next: each side of the big comparisons is timed this many
# times and its best kept.
BIG_RUNS = 3


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


BIG_APP = os.path.join(ROOT, "build", "bench-app")
FLOOR_SCRIPT = """
import os, sys, zipfile
top, target, level = sys.argv[1], sys.argv[2], int(sys.argv[3])
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED, compresslevel=level) as z:
    for folder, dirs, names in os.walk(top):
        dirs.sort()
        for n in sorted(names):
            path = os.path.join(folder, n)
            # Named as in the pack, under the top folder, so sizes compare.
            z.write(path, os.path.relpath(path, os.path.dirname(top)))
"""


def make_big_app():
    """About 1.4 GB in 20,041 files: modules and data in many sizes, half
    text that compresses and half bytes that do not, and 41 large files as
    native libraries are."""
    marker = os.path.join(BIG_APP, ".complete")
    if os.path.exists(marker):
        return BIG_APP
    shutil.rmtree(BIG_APP, ignore_errors=True)
    rng = random.Random(1)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(
        2, 12))) for _ in range(5000)]
    corpus = b" ".join(rng.choice(words) for _ in range(2_000_000))
    with open(os.path.join(ROOT, "sample", "firstrun.py"), "rb") as f:
        firstrun = f.read()
    os.makedirs(BIG_APP)
    with open(os.path.join(BIG_APP, "firstrun.py"), "wb") as f:
        f.write(firstrun)

    def content(size):
        half = size // 2
        start = rng.randrange(len(corpus) - half)
        return corpus[start:start + half] + rng.randbytes(size - half)

    for i in range(20_000):
        folder = os.path.join(BIG_APP, "lib", f"package{i // 200:03d}", f"sub{i % 7}")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"module{i:05d}.py"), "wb") as f:
            f.write(content(int(rng.lognormvariate(9.6, 1.0)) + 200))
    used = sum(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(BIG_APP)
               for n in ns)
    for i in range(40):
        with open(os.path.join(BIG_APP, "lib", f"native{i:02d}.dll"), "wb") as f:
            f.write(content((1_400_000_000 - used) // 40))
    open(marker, "w").close()
    return BIG_APP


# Linux carries a process's peak memory across exec, so a child forked from
# this process would count this process's memory as its own: it is started
# from a small Python that reports the child's own peak.
MEASURE = """
import os, sys, time
# What the side before left to write back to disk would slow this one.
os.sync()
start = time.perf_counter()
pid = os.fork()
if pid == 0:
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    os.execv(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
print(time.perf_counter() - start, usage.ru_maxrss, status)
"""


def measured(command, runs=1):
    """(seconds, peak resident memory in MB) of one command, the best of runs."""
    results = []
    for _ in range(runs):
        seconds, peak, status = subprocess.run(
            [sys.executable, "-c", MEASURE, *command], capture_output=True, text=True,
            check=True).stdout.split()
        if int(status):
            sys.exit(f"bench-pack: {' '.join(command[:4])} failed")
        results.append((float(seconds), int(peak) / 1024))
    return min(results)


def against_the_floor(label, app):
    """Each --compression packing app with the runtime, whole process
    against whole process: zipfile writing the same files at level 6 on one
    thread, and the size against level 9."""
    count = sum(len(ns) for _, _, ns in os.walk(app)) - 1
    total = sum(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(app) for n in ns)
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as tmp:
        # Read once, so that every side finds the files in the page cache.
        measured([sys.executable, "-c", FLOOR_SCRIPT, app, os.path.join(tmp, "warm.zip"), "1"])
        packs = {}
        for compression in ("fast", "default", "small"):
            out = os.path.join(tmp, compression)
            seconds, memory = measured(
                [sys.executable, "-m", "harbor_lantern", "pack", app, "--python-zip",
                 RUNTIME, "--bytecode", "sources", "--compression", compression,
                 "--out", out], BIG_RUNS)
            [packed] = [os.path.join(out, n) for n in os.listdir(out) if n.endswith(".zip")]
            packs[compression] = (seconds, memory, os.path.getsize(packed))
        # The floor zips the same files: the app and the runtime, unpacked.
        unpacked = os.path.join(tmp, "unpacked")
        os.makedirs(unpacked)
        subprocess.run(["bsdtar", "-xf", packed, "-C", unpacked], check=True)
        [top] = [os.path.join(unpacked, n) for n in os.listdir(unpacked)]
        floor_time, floor_memory = measured([sys.executable, "-c", FLOOR_SCRIPT, top,
                                             os.path.join(tmp, "floor.zip"), "6"], BIG_RUNS)
        measured([sys.executable, "-c", FLOOR_SCRIPT, top, os.path.join(tmp, "l9.zip"), "9"])
        level9 = os.path.getsize(os.path.join(tmp, "l9.zip"))
        level6 = os.path.getsize(os.path.join(tmp, "floor.zip"))
    print(f"{label}: {count:,} files, {total / 1e6:,.0f} MB, with the runtime; best of "
          f"{BIG_RUNS} runs each")
    print(f"  zipfile, 1 thread, level 6:  {floor_time:6.1f} s, peak {floor_memory:4.0f} MB, "
          f"{level6:,} B; level 9: {level9:,} B")
    for compression, (seconds, memory, size) in packs.items():
        print(f"  pack --compression {compression:7} {seconds:6.1f} s "
              f"({seconds / floor_time:.2f}x), peak {memory:4.0f} MB, {size:,} B "
              f"({100 * (size / level9 - 1):+.2f} % against level 9)")


def big_app():
    against_the_floor("big app", make_big_app())


REAL_FILES = ["pandas==2.2.3", "numpy==1.26.4", "matplotlib==3.9.2", "scipy==1.14.1",
              "scikit-learn==1.5.2"]


def real_files():
    """An app of real files: a scientific stack installed for Windows on
    CPython 3.11.9, kept in build/ once made."""
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import real_runtimes
    app = os.path.join(ROOT, "build", "bench-real-app-" + hashlib.sha256(
        " ".join(REAL_FILES).encode()).hexdigest()[:8])
    if not os.path.exists(os.path.join(app, "firstrun.py")):
        shutil.rmtree(app, ignore_errors=True)
        with tempfile.TemporaryDirectory() as tmp:
            os.makedirs(os.path.join(tmp, "app"))
            with open(os.path.join(tmp, "app", "firstrun.py"), "w") as f:
                f.write("import pandas, matplotlib, scipy\n")
            packed = pack(read_inputs(dict(
                app_dir=os.path.join(tmp, "app"), bytecode="sources",
                python_dir=real_runtimes.get("python-3.11.9-embed-amd64"),
                dependencies=REAL_FILES, out=os.path.join(tmp, "out"))), say=lambda _: 0)
            with zipfile.ZipFile(packed) as archive:
                archive.extractall(os.path.join(tmp, "unpacked"))
            [top] = os.listdir(os.path.join(tmp, "unpacked"))
            os.makedirs(app)
            shutil.move(os.path.join(tmp, "unpacked", top, "python", "Lib", "site-packages"),
                        os.path.join(app, "site"))
            shutil.copy(os.path.join(tmp, "app", "firstrun.py"), app)
    against_the_floor(f"real files ({', '.join(REAL_FILES)})", app)


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
                                         bytecode="sources", **extra)), say=lambda _: 0)

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


def runtime_by_version():
    """A warm --python 3.13 (the runtime cached) against --python-zip of the
    same zip: how many pages of the index it asks for, and what they cost.
    The index is served on 127.0.0.1 in python.org's three-page shape."""
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import real_runtimes
    from test_fetch import Server, entry, serve_index
    runtime = real_runtimes.get("python-3.13.2-embed-amd64")
    with tempfile.TemporaryDirectory() as tmp:
        embed = os.path.join(tmp, "python-3.13.2-embeddable-amd64.zip")
        with zipfile.ZipFile(embed, "w", zipfile.ZIP_DEFLATED) as z:
            for name in sorted(os.listdir(runtime)):
                z.write(os.path.join(runtime, name), name)
        with open(embed, "rb") as f:
            data = f.read()
        server = Server()
        try:
            index = serve_index(server, [[(entry("3.13.2", "64", data), data)],
                                         [(entry("3.12.8", "64", b"old"), b"old")], []])
            env = {"HARBOR_LANTERN_CACHE": os.path.join(tmp, "cache"),
                   "HARBOR_LANTERN_PYTHON_INDEX": index}
            app = os.path.join(ROOT, "sample")

            def pack_it(out, **runtime_option):
                return pack(read_inputs(dict(app_dir=app, out=os.path.join(tmp, out),
                                             **runtime_option)), say=lambda _: 0)

            timed(lambda: pack_it("cold", python="3.13"), env)
            before = len(server.requests)
            warm = min(timed(lambda: pack_it("warm", python="3.13"), env)[0]
                       for _ in range(RUNS))
            pages = (len(server.requests) - before) / RUNS
            local = min(timed(lambda: pack_it("zip", python_zip=embed), env)[0]
                        for _ in range(RUNS))
        finally:
            server.stop()
    print(f"--python 3.13 with CPython 3.13.2 cached, best of {RUNS}:")
    print(f"  index requests per pack:         {pages:g}")
    print(f"  warm --python 3.13:              {warm:.3f} s")
    print(f"  --python-zip of the same zip:    {local:.3f} s")
    print(f"  difference:                      {warm - local:+.3f} s")


BYTECODE_APP = ["pandas==2.2.3", "numpy==1.26.4"]
BYTECODE_FIRSTRUN = """\
import pandas, numpy
print(int(pandas.DataFrame({"a": numpy.arange(10)}).a.sum()))
"""


def bytecode():
    """An app with pandas on CPython 3.11.9 packed with --bytecode compiled
    and sources: the pack's time (with the compiled modules cached and not),
    the zip's size, and the app's first and second start under Wine."""
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import real_runtimes
    import wine
    runtime = real_runtimes.get("python-3.11.9-embed-amd64")
    build = os.path.join(ROOT, "build", "windows")
    env = wine.environment(build)
    wine.start_session(env)
    with tempfile.TemporaryDirectory() as tmp:
        app = os.path.join(tmp, "app")
        os.makedirs(app)
        with open(os.path.join(app, "firstrun.py"), "w") as f:
            f.write(BYTECODE_FIRSTRUN)
        cache = {"HARBOR_LANTERN_CACHE": os.path.join(tmp, "cache")}

        def pack_it(mode):
            return pack(read_inputs(dict(app_dir=app, python_dir=runtime, bytecode=mode,
                                         dependencies=BYTECODE_APP,
                                         out=os.path.join(tmp, mode))), say=lambda _: 0)

        timed(lambda: pack_it("sources"), cache)
        cold = timed(lambda: pack_it("compiled"), cache)[0]
        packed, times = {}, {}
        for mode in ("compiled", "sources"):
            runs = [timed(lambda: pack_it(mode), cache) for _ in range(3)]
            times[mode] = min(t for t, _ in runs)
            packed[mode] = runs[-1][1]
        # Wine's own first start (its services, its DLLs) is not the app's.
        subprocess.run([*wine.WINE, os.path.join(runtime, "python.exe"), "-c", "pass"],
                       env=env, stdin=subprocess.DEVNULL, capture_output=True)
        starts = {}
        for mode, path in packed.items():
            folder = os.path.join(tmp, "unpacked-" + mode)
            with zipfile.ZipFile(path) as archive:
                archive.extractall(folder)
            [top] = os.listdir(folder)
            exe = os.path.join(folder, top, "Harbor-Lantern.exe")
            starts[mode] = []
            for _ in range(2):
                start = time.perf_counter()
                subprocess.run([*wine.WINE, exe], env=env, stdin=subprocess.DEVNULL,
                               capture_output=True, check=True)
                starts[mode].append(time.perf_counter() - start)
        sizes = {mode: os.path.getsize(path) for mode, path in packed.items()}
    wine.end_session(env)
    print(f"app with {' and '.join(BYTECODE_APP)} on CPython 3.11.9 x64, under Wine:")
    for mode in ("compiled", "sources"):
        first, second = starts[mode]
        print(f"  {mode:9} first start {first:.2f} s, second {second:.2f} s "
              f"({first / second:.2f}x); pack {times[mode]:.2f} s; zip {sizes[mode]:,} B")
    print(f"  compiled, nothing cached yet: pack {cold:.2f} s")
    print(f"  compiled against sources: pack {times['compiled'] / times['sources']:.2f}x, "
          f"zip {sizes['compiled'] / sizes['sources']:.2f}x")


if __name__ == "__main__":
    parts = {"runtime": main, "big-app": big_app, "real-files": real_files,
             "dependencies": dependencies, "runtime-by-version": runtime_by_version,
             "bytecode": bytecode}
    for name in sys.argv[1:] or parts:
        parts[name]()
