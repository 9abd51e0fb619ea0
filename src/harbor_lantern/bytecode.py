"""Bytecode compiled when packing, so that a user's first start is as fast as
the second and nothing is written into the app's folder at run time.

Bytecode depends on the CPython version alone, not on the OS or the
architecture, but on exactly that X.Y: the compiler is the runtime itself on
a Windows host, otherwise a CPython X.Y that uv finds or installs. The .pyc
files are hash-based (PEP 552, checked): a zip keeps local times without a
time zone, so a timestamp-based .pyc would be stale after unpacking in
another zone, and a checked one still notices a source file the user edits.
"""
import json
import os
import platform
import subprocess
import sys

from .archive import read_content
from .dependencies import clean_environment, uv_binary
from .refusal import Refusal, warn

MODES = ("compiled", "sources", "only")
# Files per compiler process: a fixed split, so that which modules share a
# process, and with it the bytes marshal writes, never depends on the host.
CHUNK = 400
WORKER = r"""
import json, py_compile, sys
jobs = json.load(sys.stdin)
failed = []
for source, target, shown in jobs:
    try:
        py_compile.compile(source, target, shown, doraise=True,
                           invalidation_mode=py_compile.PycInvalidationMode.CHECKED_HASH)
    except py_compile.PyCompileError as error:
        failed.append([shown, error.exc_type_name])
json.dump(failed, sys.stdout)
"""
PROBE = "import sys; print(sys.implementation.cache_tag, sys.version_info[0], sys.version_info[1])"


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
    parts = said.stdout.split()
    return parts if said.returncode == 0 and len(parts) == 3 else None


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
    """(python, cache tag), or (None, why not)."""
    tag = "cpython-" + runtime.version.replace(".", "")
    python = runtime_itself(runtime, scratch)
    if python:
        seen = probe(python)
        if seen and seen[0] == tag:
            return python, tag
    python, why = uv_python(runtime.version)
    if python:
        seen = probe(python)
        if seen and seen[0] == tag:
            return python, tag
        why = f"uv found {python}, which is not CPython {runtime.version}"
    return None, why


def compile_files(files, runtime, mode, scratch, label):
    """Adds __pycache__/<name>.<tag>.pyc beside each module (mode compiled)
    or puts <name>.pyc in its place (mode only). Returns the files."""
    if mode == "sources":
        return files
    names = sorted(n for n, c in files.items() if c is not None and compilable(n))
    if not names:
        return files
    python, tag = compiler(runtime, scratch)
    if python is None:
        warn(f"no CPython {runtime.version} on this machine to compile the modules with "
             f"({tag}), so the zip ships them as sources only: install one (uv python "
             f"install {runtime.version}), or give {label} sources to say so.")
        return files
    sources = os.path.join(scratch, "sources")
    compiled = os.path.join(scratch, "compiled")
    jobs = []
    for number, name in enumerate(names):
        content = files[name]
        source = content if isinstance(content, str) else None
        if source is None:
            source = os.path.join(sources, f"{number}.py")
            os.makedirs(sources, exist_ok=True)
            with open(source, "wb") as f:
                f.write(read_content(content))
        # The name a traceback shows when there is no source beside the .pyc.
        shown = name.replace("/", "\\")
        jobs.append([source, os.path.join(compiled, f"{number}.pyc"), shown])
    failed = run_workers(python, jobs)
    if failed:
        shown = ", ".join(f"{n} ({kind})" for n, kind in failed[:5])
        more = f" and {len(failed) - 5} more" if len(failed) > 5 else ""
        warn(f"{len(failed)} module(s) do not compile and ship as source only: "
             f"{shown}{more}.")
    broken = {n.replace("\\", "/") for n, _ in failed}
    for number, name in enumerate(names):
        if name in broken:
            continue
        pyc = os.path.join(compiled, f"{number}.pyc")
        folder, _, base = name.rpartition("/")
        prefix = folder + "/" if folder else ""
        if mode == "only":
            del files[name]
            files[prefix + base[:-3] + ".pyc"] = pyc
        else:
            files[f"{prefix}__pycache__/{base[:-3]}.{tag}.pyc"] = pyc
    return files


def run_workers(python, jobs):
    """Compiles in fresh processes with a fixed hash seed (sets and
    frozensets are marshalled in hash order), a few at a time."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONHASHSEED"] = "0"
    chunks = [jobs[i:i + CHUNK] for i in range(0, len(jobs), CHUNK)]
    os.makedirs(os.path.dirname(jobs[0][1]), exist_ok=True)
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
