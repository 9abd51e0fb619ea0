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

import real_runtimes
from stage_package import packer_env, stage
from wine import WINE, end_session, environment, start_session

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
ARGUMENTS = ["--greeting", "Hej", "caf\u00e9 cr\u00e8me", "two  spaces"]


def stand_in_runtime(build):
    """The stand-in as python.exe, beside an empty python312.dll and the
    official ._pth, so the packer treats it as CPython 3.12."""
    runtime = tempfile.mkdtemp(prefix="hl-demo-runtime-")
    shutil.copy(os.path.join(build, "stand_in_python.exe"),
                os.path.join(runtime, "python.exe"))
    open(os.path.join(runtime, "python312.dll"), "wb").close()
    with open(os.path.join(runtime, "python312._pth"), "w", newline="") as f:
        f.write("python312.zip\r\n.\r\n\r\n# Uncomment to run site.main() "
                "automatically\r\n#import site\r\n")
    return runtime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the Windows build folder")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    version = open(os.path.join(build, "version.txt")).read().strip()

    tool = stage(os.path.join(build, "demo-tool"),
                 {"x64/console.exe": os.path.join(build, "Harbor-Lantern.exe")})
    try:
        runtime = real_runtimes.get("python-3.13.2-embed-amd64")
        print(f"The runtime is python.org's CPython 3.13.2 embeddable, from {runtime}.\n")
        stand_in = False
    except real_runtimes.Unreachable as error:
        print(f"The package index cannot be reached ({error}), so python\\python.exe in "
              "this demo is the test stand-in, which prints what it received.\n")
        runtime, stand_in = stand_in_runtime(build), True
    out = os.path.join(build, "demo")
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run([sys.executable, "-m", "harbor_lantern", "pack",
                    os.path.join(ROOT, "sample"), "--python-dir", runtime, "--out", out],
                   env=packer_env(tool), check=True)
    if stand_in:
        shutil.rmtree(runtime)
    [demo_zip] = [os.path.join(out, n) for n in os.listdir(out) if n.endswith(".zip")]

    unpacked = tempfile.mkdtemp(prefix="Harbor-Lantern demo D\u00e9j\u00e0 ")
    with zipfile.ZipFile(demo_zip) as archive:
        archive.extractall(unpacked)
    bundle = os.path.join(unpacked, f"Harbor-Lantern-{version}")
    print(f"unpacked into {bundle}")
    for entry in sorted(os.listdir(bundle)):
        print("  " + entry)
    print(f"  (python\\ holds {sum(len(f) for _, _, f in os.walk(os.path.join(bundle, 'python')))} "
          "files)")

    env = environment(build)
    start_session(env, make_prefix=True)
    exe = os.path.join(bundle, "Harbor-Lantern.exe")
    shown = " ".join(f'"{a}"' if " " in a else a for a in ARGUMENTS)
    print(f"\nstarting: Harbor-Lantern.exe {shown}\n")
    sys.stdout.flush()
    # Wine's exit status carries the low 8 bits of the Windows exit code;
    # the end-to-end tests read all 32 from a Windows-side parent. Python
    # dies at start when a standard handle is a regular file (CI's log may
    # be one): its output comes through a pipe and is shown from here.
    ran = subprocess.run([*WINE, exe, *ARGUMENTS], env=env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    sys.stdout.write(ran.stdout.decode("utf-8", "replace").replace("\r\n", "\n"))
    code = ran.returncode
    end_session(env)
    print(f"\nHarbor-Lantern.exe exit code: {code}")
    return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
