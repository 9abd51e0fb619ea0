"""Lays out the harbor-lantern distribution's source with the launchers
built from this commit in its package data, ready for pip to build the wheel
or for make dist to run from. Every file gets fixed permission bits, so two
clones give the same wheel."""
import argparse
import os
import shutil

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def copy(source, target):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(source, target)
    os.chmod(target, 0o644)


def stage(target, launchers):
    """launchers: {"x64/console.exe": path, ...}; a missing one is left out."""
    shutil.rmtree(target, ignore_errors=True)
    for name in ("pyproject.toml", "README.md", "LICENSE"):
        copy(os.path.join(ROOT, name), os.path.join(target, name))
    package = os.path.join(ROOT, "src", "harbor_lantern")
    for name in sorted(os.listdir(package)):
        if name.endswith(".py"):
            copy(os.path.join(package, name),
                 os.path.join(target, "src", "harbor_lantern", name))
    for relative, path in sorted(launchers.items()):
        if path and os.path.isfile(path):
            copy(path, os.path.join(target, "src", "harbor_lantern", "launchers",
                                    *relative.split("/")))
    return os.path.join(target, "src")


# Where make installs the packer's run-time dependencies for the checkout.
PYDEPS = os.path.join(ROOT, "build", "pydeps")


def packer_env(source, **extra):
    """The environment that runs `python -m harbor_lantern` from a staged
    source folder (what stage() returns), with its dependencies beside it."""
    return dict(os.environ, PYTHONPATH=source + os.pathsep + PYDEPS, **extra)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("target")
    parser.add_argument("--launcher", action="append", default=[],
                        metavar="ARCH/NAME.exe=PATH")
    args = parser.parse_args()
    stage(args.target, dict(item.split("=", 1) for item in args.launcher))


if __name__ == "__main__":
    main()
