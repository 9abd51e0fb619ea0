"""The checks a release passes before its wheel is published, run by the
release workflow and by make release-check alike:

1. the tag (when there is one) names exactly harbor_lantern.__version__;
2. the workflows pass actionlint;
3. the wheel's metadata is valid and its description renders (twine check);
4. the wheel installs into a fresh venv with its run-time dependencies from
   the package index, and `harbor-lantern --version` there prints exactly
   the version;
5. the wheel's SHA-256 goes beside it, in the sha256sum format.

Each failure is one line on standard error and exit status 1. twine comes
from the package index at the version pinned here, into a venv in
build/release-tools; actionlint is built there by make release-check (its
package on the index only downloads the binary from GitHub at install time).
"""
import argparse
import glob
import hashlib
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TWINE = "twine==6.2.0"
TOOLS_DIR = os.path.join(ROOT, "build", "release-tools")


class Stop(Exception):
    pass


def version_in_source():
    with open(os.path.join(ROOT, "src", "harbor_lantern", "__init__.py")) as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


def check_tag(tag, version):
    if tag is None:
        return
    if tag.removeprefix("v") != version:
        raise Stop(f"the tag {tag} is not the version in src/harbor_lantern/__init__.py "
                   f"({version}): tag v{version}, or change __version__ first.")


def run(command, what, **options):
    result = subprocess.run(command, capture_output=True, text=True, **options)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise Stop(f"{what} failed (exit {result.returncode}); its output is above.")
    return result.stdout


def twine():
    """twine in a venv of its own, made once."""
    venv = os.path.join(TOOLS_DIR, "twine")
    stamp = os.path.join(venv, "pinned.txt")
    if not (os.path.exists(stamp) and open(stamp).read() == TWINE):
        run([sys.executable, "-m", "venv", "--clear", venv], "making twine's venv")
        run([os.path.join(venv, "bin", "pip"), "install", "-q",
             "--disable-pip-version-check", TWINE], "installing " + TWINE)
        with open(stamp, "w") as f:
            f.write(TWINE)
    return os.path.join(venv, "bin", "twine")


def check_wheel(wheel, version, actionlint):
    if not os.path.isfile(actionlint):
        raise Stop(f"{actionlint} is not there: make release-check builds it.")
    run([actionlint, "-no-color",
         *sorted(glob.glob(os.path.join(ROOT, ".github", "workflows", "*.yml")))],
        "actionlint on .github/workflows")
    run([twine(), "check", "--strict", wheel], "twine check")
    with tempfile.TemporaryDirectory() as root:
        venv = os.path.join(root, "venv")
        run([sys.executable, "-m", "venv", venv], "making a fresh venv")
        run([os.path.join(venv, "bin", "pip"), "install", "-q", "--disable-pip-version-check",
             wheel], "installing the wheel with its dependencies from the index")
        printed = run([os.path.join(venv, "bin", "harbor-lantern"), "--version"],
                      "harbor-lantern --version", env={"PATH": os.path.join(venv, "bin")})
    if printed != f"harbor-lantern {version}\n":
        raise Stop(f"the installed harbor-lantern --version printed {printed.strip()!r}, "
                   f"not 'harbor-lantern {version}'.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tag", help="the release's tag, such as v1.2.0")
    parser.add_argument("--dist", default=os.path.join(ROOT, "dist"),
                        help="where make wheel put the wheel")
    parser.add_argument("--actionlint", default=os.path.join(TOOLS_DIR, "actionlint"))
    arguments = parser.parse_args()
    try:
        version = version_in_source()
        check_tag(arguments.tag, version)
        wheels = glob.glob(os.path.join(arguments.dist, f"harbor_lantern-{version}-*.whl"))
        if len(wheels) != 1:
            raise Stop(f"{arguments.dist} holds {len(wheels)} wheels of version {version}, "
                       "not one: run make wheel.")
        [wheel] = wheels
        check_wheel(wheel, version, arguments.actionlint)
        with open(wheel, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(wheel + ".sha256", "w") as f:
            f.write(f"{digest}  {os.path.basename(wheel)}\n")
    except Stop as stop:
        print(f"release-check: {stop}", file=sys.stderr)
        return 1
    print(f"release-check: {os.path.basename(wheel)} {digest}: ready to publish")
    return 0


if __name__ == "__main__":
    sys.exit(main())
