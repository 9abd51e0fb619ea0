"""Packs a Harbor-Lantern bundle as a zip that unpacks into one folder:

    Harbor-Lantern-<version>/
        Harbor-Lantern.exe
        firstrun.py
        python/          (the runtime folder's whole content)

The zip is the same byte for byte for the same inputs: entries in a fixed
order, one fixed time stamp, no owner or permission bits from this machine.
"""
import argparse
import os
import sys
import tempfile
import zipfile

# The earliest time a zip entry can carry; any fixed time would do.
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)


def refuse(message):
    print("make dist: " + message, file=sys.stderr)
    sys.exit(2)


def check_inputs(exe, python_dir, firstrun):
    if not python_dir:
        refuse("PYTHON_DIR is not set: name the folder of a Windows Python "
               "runtime, the one with python.exe at its top.")
    if not os.path.isfile(os.path.join(python_dir, "python.exe")):
        refuse(f"{python_dir} has no python.exe at its top: such a zip would only "
               "show its users the missing-interpreter message; name the folder "
               "of a Windows Python runtime.")
    if not firstrun or not os.path.isfile(firstrun):
        refuse(f"FIRSTRUN={firstrun or '(not set)'} is not a file: name the script "
               "to ship as firstrun.py.")
    if not os.path.isfile(exe):
        refuse(f"{exe} has not been built.")


def entries(exe, python_dir, firstrun, top):
    """(name inside the zip, file on disk), in the order they are written."""
    yield f"{top}/Harbor-Lantern.exe", exe
    yield f"{top}/firstrun.py", firstrun
    found = []
    for folder, dirs, files in os.walk(python_dir):
        dirs.sort()
        for name in files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, python_dir).replace(os.sep, "/")
            found.append((f"{top}/python/{relative}", path))
    yield from sorted(found)


def write_zip(target, items):
    folder = os.path.dirname(os.path.abspath(target))
    os.makedirs(folder, exist_ok=True)
    # Written beside the target and renamed at the end: a failure never
    # leaves a zip that looks finished.
    handle, partial = tempfile.mkstemp(dir=folder, suffix=".partial")
    os.close(handle)
    try:
        with zipfile.ZipFile(partial, "w") as archive:
            for name, path in items:
                info = zipfile.ZipInfo(name, ENTRY_TIME)
                info.create_system = 0
                info.external_attr = 0
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    archive.writestr(info, f.read(), compresslevel=9)
        os.replace(partial, target)
    except BaseException:
        os.remove(partial)
        raise


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--python-dir", default="")
    parser.add_argument("--firstrun", default="")
    parser.add_argument("--out", required=True, help="the zip to write")
    args = parser.parse_args()

    check_inputs(args.exe, args.python_dir, args.firstrun)
    top = f"Harbor-Lantern-{args.version}"
    write_zip(args.out, entries(args.exe, args.python_dir, args.firstrun, top))
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
