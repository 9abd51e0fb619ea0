"""The app's dependencies, installed as a Windows PC with the runtime's
architecture and Python version would install them.

uv resolves for another platform by design: it evaluates every environment
marker (sys_platform, platform_machine, python_full_version, extras) for the
target and picks the target's wheels, where pip would evaluate the markers
for this machine. It runs from the tool's own environment, never from PATH,
with none of the maker's pip or uv configuration, so the same inputs give the
same set anywhere. Its cache lives in the tool's own cache folder; uv locks
it, so two packs at once share it safely.
"""
import csv
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass

from .app import collect_folder
from .fetch import cache_folder
from .refusal import Refusal

DEFAULT_INDEX = "https://pypi.org/simple"
TARGETS = {"x64": ("x86_64-pc-windows-msvc", "Windows x64"),
           "arm64": ("aarch64-pc-windows-msvc", "Windows ARM64")}
SDIST = re.compile(r"(.+)-[^-]+\.(tar\.gz|zip)")
PYLOCK = re.compile(r"pylock(\.[^.]+)?\.toml")
# What uv says when the index cannot be reached at all, as opposed to an
# answer from it.
UNREACHABLE = re.compile(r"error sending request|tcp connect error|dns error|"
                         r"Connection refused|timed out|failed to lookup address")


@dataclass
class Request:
    """What to install: uv's requirement arguments, and how the maker gave
    them, for messages."""
    arguments: list
    source: str


def requested(inputs):
    if inputs.requirements:
        path = os.path.abspath(inputs.requirements)
        arguments = ["-r", path]
        if PYLOCK.fullmatch(os.path.basename(path)):
            arguments = ["--preview-features", "pylock"] + arguments
        return Request(arguments, inputs.label("requirements"))
    # After --, so that no requirement is ever read as an option.
    if inputs.dependencies:
        return Request(["--", *inputs.dependencies], inputs.dependencies_source)
    if inputs.wheels:
        # By name from the folder, not by file: a file installed by path
        # leaves its absolute path on this machine in direct_url.json.
        names = set()
        for entry in os.listdir(inputs.wheels):
            if entry.endswith(".whl"):
                names.add(entry.split("-", 1)[0])
            elif SDIST.fullmatch(entry):
                names.add(SDIST.fullmatch(entry).group(1))
        return Request(["--", *sorted(names)], inputs.label("wheels"))
    return None


def uv_binary():
    try:
        import uv
        return uv.find_uv_bin()
    except (ImportError, FileNotFoundError):
        raise Refusal(f"{sys.executable} has no uv, which installs the dependencies "
                      "for Windows: install harbor-lantern with pip or pipx, which "
                      "bring it.")


def clean_environment():
    """The environment without the maker's own pip and uv settings; proxies
    and certificates stay, a company network needs them."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("UV_", "PIP_", "VIRTUAL_ENV", "CONDA_"))}
    env["NO_COLOR"] = "1"
    return env


def run_uv(command):
    """Runs uv, passing its download lines on as progress; returns (exit
    status, all it said)."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               env=clean_environment(), text=True, errors="replace")
    said = []
    for line in process.stdout:
        said.append(line)
        if line.lstrip().startswith("Downloading "):
            sys.stderr.write(line)
            sys.stderr.flush()
    return process.wait(), "".join(said)


def cause(said):
    """uv's reason on one line: the innermost of its error and cause blocks,
    with the lines that continue it."""
    blocks = []
    for line in said.splitlines():
        if line.startswith(("error:", "  cause:")):
            blocks.append([line.split(":", 1)[1]])
        elif blocks and line.startswith(" " * 9) and line.strip(" ^"):
            blocks[-1].append(line)
    text = " ".join(blocks[-1]) if blocks else said[-300:]
    return " ".join(text.split())


def explain(said, request, runtime, wheels, index, cache):
    built = re.search(r"The built wheel `([^`]+?)-\d[^`]*\.whl` is not compatible", said)
    if built:
        name = built.group(1).replace("_", "-")
        raise Refusal(f"{name} (from {request.source}) has no wheel for CPython "
                      f"{runtime.version} on {TARGETS[runtime.arch][1]}, and its "
                      "sources build one for this machine only: it needs a Windows "
                      "wheel; put one in --wheels.")
    no_wheel = re.search(r"Because (?:only )?([\w.-]+?)[=<>!~ ].* has no wheels with a "
                         r"matching", said)
    if no_wheel:
        raise Refusal(f"no wheel of {no_wheel.group(1)} for CPython {runtime.version} "
                      f"on {TARGETS[runtime.arch][1]} "
                      + (f"in --wheels {wheels}" if wheels else f"on {index}")
                      + f" (from {request.source}): put one in --wheels, or drop the "
                      "requirement.")
    mismatch = re.search(r"Hash mismatch for `([^`]+)`", said)
    if mismatch:
        hashes = re.findall(r"^ +(sha256:[0-9a-f]+)$", said, re.M)
        found = f" (expected {hashes[0]}, got {hashes[-1]})" if len(hashes) > 1 else ""
        raise Refusal(f"{mismatch.group(1)} does not match its hash in "
                      f"{request.source}{found}: nothing was packed; check the pin, "
                      "or download it again.")
    if re.search(r"Couldn't parse requirement|Failed to parse", said):
        bad = re.search(r"^ {9}(\S.*)$", said, re.M)
        reason = cause(said)
        if bad:
            reason = reason.replace(bad.group(1).strip(), "").strip()
        raise Refusal(f"{request.source} has an invalid requirement"
                      + (f" `{bad.group(1).strip()}`" if bad else "")
                      + f" ({reason}): fix it.")
    if index and UNREACHABLE.search(said):
        raise Refusal(f"cannot reach the package index {index} ({cause(said)}), and "
                      f"the cache {cache} does not hold what {request.source} needs: "
                      "connect once, or give --wheels with a folder of wheels.")
    raise Refusal(f"cannot install {request.source} for CPython {runtime.version} "
                  f"on {TARGETS[runtime.arch][1]}: {cause(said)}")


def owners(installed):
    """{relative path: "name version"} of the installed files, from each
    distribution's RECORD."""
    found = {}
    for relative, source in installed.items():
        match = re.fullmatch(r"([^/]+)-([^-/]+)\.dist-info/RECORD", relative)
        if not match or not isinstance(source, str):
            continue
        with open(source, encoding="utf-8", errors="replace") as f:
            for row in csv.reader(f):
                if row:
                    found[row[0]] = f"{match.group(1)} {match.group(2)}"
    return found


def install(request, runtime, wheels, index_url, refresh, scratch, say):
    """{relative path under Lib/site-packages/: source file} of what was
    installed."""
    if request is None or request.arguments == ["--"]:
        return {}
    target = os.path.join(scratch, "site-packages")
    cache = os.path.join(cache_folder(), "uv")
    platform, _ = TARGETS[runtime.arch]
    # The system's certificates, as pip uses them: a company network that
    # inspects TLS, or a mirror with its own CA, is trusted there.
    command = [uv_binary(), "pip", "install", "--no-config", "--python", sys.executable,
               "--target", target, "--python-platform", platform,
               "--python-version", runtime.full_version, "--cache-dir", cache,
               "--no-progress", "--system-certs"]
    if wheels:
        # Only that folder, offline; it may hold sdists as well as wheels.
        attempts = [["--no-index", "--find-links", os.path.abspath(wheels), "--offline"]]
        index = None
    else:
        index = index_url or DEFAULT_INDEX
        # The cache answers first, so a pack that has everything cached asks
        # no network; the index is asked when the cache cannot answer.
        online = ["--index-url", index] + (["--refresh"] if refresh else [])
        offline = ["--index-url", index, "--offline"]
        attempts = [online, offline] if refresh else [offline, online]
    online_said = None
    for options in attempts:
        shutil.rmtree(target, ignore_errors=True)
        status, said = run_uv(command + options + request.arguments)
        if status == 0:
            break
        if "--offline" not in options:
            online_said = said
            # The index answered: the cache cannot do better.
            if not UNREACHABLE.search(said):
                break
    if status != 0:
        # Offline, uv only says what the cache lacks: the index's answer, or
        # why it could not be had, is the one to report.
        explain(online_said or said, request, runtime, wheels, index, cache)
    if index and "--offline" in options:
        print(f"harbor-lantern: packed offline: the dependencies came from the cache "
              f"{cache}" + ("" if refresh else
                            " (--refresh asks the index for newer releases)"),
              file=sys.stderr)
    # Console-script wrappers: Unix scripts for this machine, of no use on
    # Windows; and the lock uv holds on the folder while it installs.
    shutil.rmtree(os.path.join(target, "bin"), ignore_errors=True)
    if os.path.exists(os.path.join(target, ".lock")):
        os.remove(os.path.join(target, ".lock"))
    if not os.path.isdir(target):
        return {}
    installed = sorted(
        (m.group(1), m.group(2)) for m in (
            re.fullmatch(r"(.+)-([^-]+)\.dist-info", n) for n in os.listdir(target)) if m)
    say("installed " + ", ".join(f"{n} {v}" for n, v in installed))
    return dict(collect_folder(target, "installed"))
