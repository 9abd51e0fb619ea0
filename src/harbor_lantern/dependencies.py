"""The app's dependencies, installed by pip for the runtime's version and
platform, never for this machine's, with the maker's own pip settings left
out. pip runs from the tool's own environment."""
import os
import re
import shutil
import subprocess
import sys

from .app import collect_folder
from .refusal import Refusal


def requested(requirements=None, dependencies=None, wheels=None):
    if requirements:
        return ["-r", os.path.abspath(requirements)]
    if dependencies:
        return list(dependencies)
    if wheels:
        # By name from the folder, not by file: a wheel installed by file
        # leaves its absolute path on this machine in direct_url.json.
        return sorted({n.split("-", 1)[0] for n in os.listdir(wheels)
                       if n.endswith(".whl")})
    return []


def install(wanted, runtime, wheels, scratch, say):
    """{relative path under Lib/site-packages/: source file} of what pip
    installed."""
    if not wanted:
        return {}
    target = os.path.join(scratch, "site-packages")
    command = [sys.executable, "-m", "pip", "install", "--isolated", "--no-input",
               "--disable-pip-version-check", "--root-user-action=ignore",
               "--no-cache-dir", "--target", target,
               "--platform", runtime.platform, "--python-version", runtime.version,
               "--implementation", "cp", "--only-binary=:all:", "--no-compile"]
    if wheels:
        command += ["--no-index", "--find-links", os.path.abspath(wheels)]
    say(f"installing for CPython {runtime.version} on {runtime.platform}: "
        + " ".join(wanted))
    result = subprocess.run(command + wanted, env=dict(os.environ, TMPDIR=scratch),
                            capture_output=True, text=True)
    if result.returncode != 0:
        explain(result, runtime)
    # Console-script wrappers: Unix scripts for this machine, of no use on
    # Windows.
    shutil.rmtree(os.path.join(target, "bin"), ignore_errors=True)
    if not os.path.isdir(target):
        return {}
    return dict(collect_folder(target, "installed"))


def explain(result, runtime):
    if "No module named pip" in result.stderr:
        raise Refusal(f"{sys.executable} has no pip: install harbor-lantern into an "
                      "environment with pip (python -m venv makes one).")
    # Unreachable, pip also ends with "Could not find a version", which
    # would blame the wheels.
    if "Failed to establish a new connection" in result.stderr:
        sys.stderr.write(result.stderr)
        raise Refusal("pip could not reach the package index (its message is above): "
                      "without network, give --wheels with a folder of wheels "
                      "downloaded for Windows.")
    missing = re.search(r"Could not find a version that satisfies the requirement "
                        r"(\S+)", result.stderr)
    if missing:
        raise Refusal(f"no wheel of {missing.group(1)} for CPython {runtime.version} "
                      f"on {runtime.platform}: put one in --wheels (pip download "
                      f"--only-binary=:all: --platform {runtime.platform} "
                      f"--python-version {runtime.version}) or drop the requirement.")
    sys.stderr.write(result.stdout + result.stderr)
    raise Refusal(f"pip could not install the dependencies (exit {result.returncode}); "
                  "its own message is above.")
