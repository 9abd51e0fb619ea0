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
import email.parser
import json
import os
import re
import shutil
import subprocess
import sys
import urllib.parse
import urllib.request
from dataclasses import dataclass

from packaging.utils import (InvalidWheelFilename, canonicalize_name,
                             parse_wheel_filename)
from packaging.version import InvalidVersion, Version

from .app import collect_folder
from .fetch import cache_folder
from .refusal import Refusal, warn

DEFAULT_INDEX = "https://pypi.org/simple"
TARGETS = {"x64": ("x86_64-pc-windows-msvc", "Windows x64"),
           "arm64": ("aarch64-pc-windows-msvc", "Windows ARM64")}
SDIST = re.compile(r"(.+)-[^-]+\.(tar\.gz|zip)")
PYLOCK = re.compile(r"pylock(\.[^.]+)?\.toml")
# What uv says when the index cannot be reached at all, as opposed to an
# answer from it.
# A build tool's closing line that only says a command failed.
GENERIC_ERROR = re.compile(r"command .* failed with exit|subprocess-exited-with-error|"
                           r"^error: failed-wheel-build|exit status", re.I)
SIMPLE_TYPES = ("application/vnd.pypi.simple.v1+json, "
                "application/vnd.pypi.simple.v1+html;q=0.2, text/html;q=0.1")
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


def build_error(said):
    """The line of a failed build's output that says what went wrong: the
    last error a compiler or a build script wrote, not the command that
    ran it; else the output's last line."""
    lines = [line.strip() for line in said.splitlines()
             if line.startswith(" " * 9) and line.strip()
             and line.strip() not in ("[stderr]", "[stdout]")]
    errors = [line for line in lines if re.search(r"\berror\b", line, re.I)
              and not GENERIC_ERROR.search(line)]
    return (errors or lines or ["no output"])[-1]


def wheel_versions(index, name, runtime):
    """The final versions of name on the index with a wheel that installs on
    the runtime, newest first; none when the index cannot say."""
    interpreters = {"py3", f"py{runtime.version.replace('.', '')}",
                    f"cp{runtime.version.replace('.', '')}"}
    minor = int(runtime.version.split(".")[1])
    request = urllib.request.Request(f"{index.rstrip('/')}/{canonicalize_name(name)}/",
                                     headers={"Accept": SIMPLE_TYPES})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            page = response.read().decode("utf-8", "replace")
            kind = response.headers.get("Content-Type", "")
    except (OSError, ValueError):
        return []
    if "json" in kind:
        names = [f.get("filename", "") for f in json.loads(page).get("files", [])]
    else:
        names = [urllib.parse.unquote(m.rsplit("/", 1)[-1].split("#")[0])
                 for m in re.findall(r'href="([^"]+)"', page)]
    found = set()
    for file_name in names:
        try:
            _, version, _, tags = parse_wheel_filename(file_name)
        except (InvalidWheelFilename, InvalidVersion):
            continue
        if version.is_prerelease:
            continue
        for tag in tags:
            stable = (tag.abi == "abi3" and tag.interpreter.startswith("cp3")
                      and tag.interpreter[3:].isdigit() and int(tag.interpreter[3:]) <= minor)
            if tag.platform in ("any", runtime.platform) and (
                    tag.interpreter in interpreters or stable):
                found.add(version)
    return [str(v) for v in sorted(found, reverse=True)]


def explain(said, request, runtime, wheels, index, cache):
    failed = re.search(r"Failed to build `([^`=@ ]+)(?:==| @ )?([^`]*)`", said)
    if failed:
        name, version = failed.group(1), failed.group(2)
        logs = os.path.join(cache_folder(), "logs")
        os.makedirs(logs, exist_ok=True)
        log = os.path.join(logs, f"build-{name}-{version or 'source'}.log")
        with open(log, "w", encoding="utf-8") as f:
            f.write(said)
        others = [v for v in wheel_versions(index, name, runtime) if v != version] \
            if index else []
        instead = (f", or require {name}=={others[0]}, which has one" if others else "")
        raise Refusal(f"{name} {version} (from {request.source}) did not build from its "
                      f"sources: {build_error(said)} -- put a wheel of it for CPython "
                      f"{runtime.version} on {TARGETS[runtime.arch][1]} in --wheels"
                      f"{instead}; the whole build log is in {log}")
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


def forget_the_cache(target):
    """uv leaves uv_cache.json (and its RECORD line) in what it installs from
    a folder of wheels: it holds the wheel file's time, which a mere copy of
    the folder changes, and says nothing the installed package needs."""
    for entry in os.listdir(target):
        note = os.path.join(target, entry, "uv_cache.json")
        if not entry.endswith(".dist-info") or not os.path.isfile(note):
            continue
        os.remove(note)
        record = os.path.join(target, entry, "RECORD")
        with open(record, encoding="utf-8", newline="") as f:
            rows = [row for row in f if not row.startswith(f"{entry}/uv_cache.json,")]
        with open(record, "w", encoding="utf-8", newline="") as f:
            f.writelines(rows)


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


def warn_if_built_here(said, target):
    """One line for each dependency built from its sources whose own
    dependencies its build chose: metadata older than 2.2 (PEP 643), or
    Requires-Dist marked dynamic. Its setup.py ran on this machine, and may
    have chosen by this machine's platform."""
    for name, version in re.findall(r"^\s*Built ([^=\s]+)==(\S+)", said, re.M):
        wanted = canonicalize_name(name)
        for entry in os.listdir(target):
            match = re.fullmatch(r"(.+)-([^-]+)\.dist-info", entry)
            if not match or canonicalize_name(match.group(1)) != wanted:
                continue
            with open(os.path.join(target, entry, "METADATA"), encoding="utf-8",
                      errors="replace") as f:
                metadata = email.parser.Parser().parse(f, headersonly=True)
            old = Version(metadata.get("Metadata-Version", "1.0")) < Version("2.2")
            dynamic = "requires-dist" in {d.lower() for d in metadata.get_all("Dynamic", [])}
            if old or dynamic:
                warn(f"{name} {version} was built from its sources on this machine, and "
                     "its build chose its dependencies ("
                     + ("metadata " + metadata.get("Metadata-Version", "1.0") if old
                        else "Dynamic: Requires-Dist")
                     + "): on Windows they may differ; a Windows wheel of it avoids that.")


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
    forget_the_cache(target)
    installed = sorted(
        (m.group(1), m.group(2)) for m in (
            re.fullmatch(r"(.+)-([^-]+)\.dist-info", n) for n in os.listdir(target)) if m)
    say("installed " + ", ".join(f"{n} {v}" for n, v in installed))
    warn_if_built_here(said, target)
    return dict(collect_folder(target, "installed"))
