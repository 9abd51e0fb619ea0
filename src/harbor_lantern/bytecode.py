"""Bytecode compiled when packing, so that a user's first start is as fast as
the second and nothing is written into the app's folder at run time.

Bytecode depends on the CPython version alone, not on the OS or the
architecture, but on exactly that X.Y: the compiler is the runtime itself on
a Windows host, otherwise a CPython X.Y that uv finds or installs. The .pyc
files are hash-based (PEP 552, checked): a zip keeps local times without a
time zone, so a timestamp-based .pyc would be stale after unpacking in
another zone, and a checked one still notices a source file the user edits.
Each .pyc is kept in the tool's cache under the hash of its source, its name
and the compiler's build: a module compiles to the same bytes whatever was
compiled before it, so a warm pack compiles only what changed.
"""
import hashlib
import json
import os
import platform
import subprocess
import sys

from .archive import read_content
from .dependencies import clean_environment, uv_binary
from .fetch import cache_folder
from .refusal import Refusal, warn

# Files per compiler process: enough that starting one costs little, few
# enough that every core has work.
CHUNK = 400
# Each .pyc is written under a name of its own and renamed into the shared
# cache, so packs at once never see half a file.
WORKER = r"""
import json, os, py_compile, sys
jobs = json.load(sys.stdin)
failed = []
for source, target, shown in jobs:
    partial = f"{target}.{os.getpid()}"
    try:
        py_compile.compile(source, partial, shown, doraise=True,
                           invalidation_mode=py_compile.PycInvalidationMode.CHECKED_HASH)
        os.replace(partial, target)
    except py_compile.PyCompileError as error:
        failed.append([shown, error.exc_type_name])
json.dump(failed, sys.stdout)
"""
# The cache tag, and the build: another build of the same X.Y may write
# other bytes, so it is part of what the cache is keyed by.
PROBE = "import sys; print(sys.implementation.cache_tag); print(sys.version)"


def compilable(name):
    """The modules to compile: the app's and everything under python/Lib
    (dependencies, tkinter); firstrun.py is started by name, as source."""
    return (name.endswith(".py") and name != "firstrun.py" and "__pycache__/" not in name
            and (not name.startswith("python/") or name.startswith("python/Lib/")))


def probe(python):
    try:
        said = subprocess.run([python, "-c", PROBE], capture_output=True, text=True,
                              timeout=60, stdin=subprocess.DEVNULL)
    except OSError:
        return None
    parts = said.stdout.strip().split("\n", 1)
    return parts if said.returncode == 0 and len(parts) == 2 else None


def runtime_itself(runtime, scratch):
    """On Windows, the runtime's own python.exe, where this machine runs it."""
    host = {"AMD64": "x64", "ARM64": "arm64"}.get(platform.machine().upper())
    if sys.platform != "win32" or host not in (runtime.arch, "arm64"):
        return None
    folder = os.path.join(scratch, "compiler")
    for relative, content in runtime.files.items():
        if relative.endswith("/"):
            continue
        path = os.path.join(folder, *relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(read_content(content))
    return os.path.join(folder, "python.exe")


def uv_python(version):
    """A CPython X.Y that uv finds on this machine, or one it installs."""
    uv = uv_binary()
    find = [uv, "python", "find", "--no-config", "--no-project", version]
    said = ""
    for attempt in (None, [uv, "python", "install", "--no-config", version]):
        if attempt:
            done = subprocess.run(attempt, capture_output=True, text=True,
                                  env=clean_environment(), stdin=subprocess.DEVNULL)
            said = (done.stderr or done.stdout).strip().splitlines()
            said = said[-1].strip() if said else f"exit status {done.returncode}"
            if done.returncode != 0:
                return None, said
        found = subprocess.run(find, capture_output=True, text=True,
                               env=clean_environment(), stdin=subprocess.DEVNULL)
        if found.returncode == 0 and found.stdout.strip():
            return found.stdout.strip().splitlines()[0], None
    return None, said


def compiler(runtime, scratch):
    """(python, cache tag, its build), or (None, why not, None)."""
    tag = "cpython-" + runtime.version.replace(".", "")
    python = runtime_itself(runtime, scratch)
    if python:
        seen = probe(python)
        if seen and seen[0] == tag:
            return python, tag, seen[1]
    python, why = uv_python(runtime.version)
    if python:
        seen = probe(python)
        if seen and seen[0] == tag:
            return python, tag, seen[1]
        why = f"uv found {python}, which is not CPython {runtime.version}"
    return None, why, None


def compile_files(files, runtime, mode, scratch, label):
    """Adds __pycache__/<name>.<tag>.pyc beside each module (mode compiled)
    or puts <name>.pyc in its place (mode only). Returns the files."""
    if mode == "sources":
        return files
    names = sorted(n for n, c in files.items() if c is not None and compilable(n))
    if not names:
        return files
    python, tag, build = compiler(runtime, scratch)
    if python is None:
        warn(f"no CPython {runtime.version} on this machine to compile the modules with "
             f"({tag}), so the zip ships them as sources only: install one (uv python "
             f"install {runtime.version}), or give {label} sources to say so.")
        return files
    sources = os.path.join(scratch, "sources")
    cache = os.path.join(cache_folder(), "bytecode", tag)
    os.makedirs(cache, exist_ok=True)
    jobs, pycs = [], {}
    for number, name in enumerate(names):
        data = read_content(files[name])
        # The name a traceback shows when there is no source beside the .pyc.
        shown = name.replace("/", "\\")
        key = hashlib.sha256(b"\0".join([build.encode(), shown.encode(), data]))
        pycs[name] = os.path.join(cache, key.hexdigest() + ".pyc")
        if os.path.isfile(pycs[name]):
            continue
        source = files[name] if isinstance(files[name], str) else None
        if source is None:
            source = os.path.join(sources, f"{number}.py")
            os.makedirs(sources, exist_ok=True)
            with open(source, "wb") as f:
                f.write(data)
        jobs.append([source, pycs[name], shown])
    failed = run_workers(python, jobs) if jobs else []
    if failed:
        shown = ", ".join(f"{n} ({kind})" for n, kind in failed[:5])
        more = f" and {len(failed) - 5} more" if len(failed) > 5 else ""
        warn(f"{len(failed)} module(s) do not compile and ship as source only: "
             f"{shown}{more}.")
    for name in names:
        if not os.path.isfile(pycs[name]):
            continue
        folder, _, base = name.rpartition("/")
        prefix = folder + "/" if folder else ""
        if mode == "only":
            del files[name]
            files[prefix + base[:-3] + ".pyc"] = pycs[name]
        else:
            files[f"{prefix}__pycache__/{base[:-3]}.{tag}.pyc"] = pycs[name]
    return files


def run_workers(python, jobs):
    """Compiles in fresh processes with a fixed hash seed (sets and
    frozensets are marshalled in hash order), a few at a time."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONHASHSEED"] = "0"
    chunks = [jobs[i:i + CHUNK] for i in range(0, len(jobs), CHUNK)]
    failed, running = [], []
    width = max(1, os.cpu_count() or 1)
    for chunk in chunks + [None] * width:
        if chunk is not None:
            running.append(subprocess.Popen(
                [python, "-s", "-c", WORKER], stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True))
            running[-1].stdin.write(json.dumps(chunk))
            running[-1].stdin.close()
        if len(running) >= width or chunk is None:
            if not running:
                continue
            process = running.pop(0)
            out = process.stdout.read()
            err = process.stderr.read()
            if process.wait() != 0:
                raise Refusal(f"compiling the modules with {python} failed: "
                              f"{(err.strip().splitlines() or ['no reason given'])[-1]}")
            failed += json.loads(out)
    return failed
