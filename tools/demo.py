"""make demo: packs a demo zip, unpacks it where a user would (a fresh
folder whose name has a space and a non-ASCII letter), starts the launcher
from there under Wine with a few arguments, and shows what the interpreter
received and the launcher's exit code."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

from wine import WINE, end_session, environment, start_session

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
ARGUMENTS = ["--greeting", "Hej", "caf\u00e9 cr\u00e8me", "two  spaces"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the Windows build folder")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    version = open(os.path.join(build, "version.txt")).read().strip()

    print("No Windows Python can be had on this machine (it has no network),")
    print("so python\\python.exe in this demo zip is the test stand-in: instead of")
    print("running firstrun.py it prints what it received from the launcher.")
    print("`make dist PYTHON_DIR=... FIRSTRUN=...` packs a real runtime.\n")

    runtime = tempfile.mkdtemp(prefix="hl-demo-runtime-")
    shutil.copy(os.path.join(build, "stand_in_python.exe"),
                os.path.join(runtime, "python.exe"))
    demo_zip = os.path.join(build, "demo", f"Harbor-Lantern-{version}-demo-win64.zip")
    subprocess.run([sys.executable, os.path.join(HERE, "package.py"),
                    "--exe", os.path.join(build, "Harbor-Lantern.exe"),
                    "--version", version, "--python-dir", runtime,
                    "--firstrun", os.path.join(ROOT, "sample", "firstrun.py"),
                    "--out", demo_zip], check=True)
    shutil.rmtree(runtime)

    unpacked = tempfile.mkdtemp(prefix="Harbor-Lantern demo D\u00e9j\u00e0 ")
    with zipfile.ZipFile(demo_zip) as archive:
        archive.extractall(unpacked)
    bundle = os.path.join(unpacked, f"Harbor-Lantern-{version}")
    print(f"unpacked into {bundle}")
    for entry in sorted(os.listdir(bundle)):
        print(f"  {entry}")

    env = environment(build)
    start_session(env, make_prefix=True)
    exe = os.path.join(bundle, "Harbor-Lantern.exe")
    shown = " ".join(f'"{a}"' if " " in a else a for a in ARGUMENTS)
    print(f"\nstarting: Harbor-Lantern.exe {shown}\n")
    sys.stdout.flush()
    # Wine's exit status carries the low 8 bits of the Windows exit code;
    # the end-to-end tests read all 32 from a Windows-side parent.
    code = subprocess.run([WINE, exe, *ARGUMENTS], env=env,
                          stdin=subprocess.DEVNULL).returncode
    end_session(env)
    print(f"\nHarbor-Lantern.exe exit code: {code}")
    return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
