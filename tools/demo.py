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

from stage_package import packer_env, stage
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
    print("Beside it lie an empty python312.dll and the ._pth file of the official")
    print("embeddable runtime, so the packer treats it as CPython 3.12 and makes")
    print("its ._pth work. `harbor-lantern pack --python 3.12` packs a real one.\n")

    runtime = tempfile.mkdtemp(prefix="hl-demo-runtime-")
    shutil.copy(os.path.join(build, "stand_in_python.exe"),
                os.path.join(runtime, "python.exe"))
    open(os.path.join(runtime, "python312.dll"), "wb").close()
    with open(os.path.join(runtime, "python312._pth"), "w", newline="") as f:
        f.write("python312.zip\r\n.\r\n\r\n# Uncomment to run site.main() "
                "automatically\r\n#import site\r\n")
    out = os.path.join(build, "demo")
    shutil.rmtree(out, ignore_errors=True)
    tool = stage(os.path.join(build, "demo-tool"),
                 {"x64/console.exe": os.path.join(build, "Harbor-Lantern.exe")})
    subprocess.run([sys.executable, "-m", "harbor_lantern", "pack",
                    os.path.join(ROOT, "sample"), "--python-dir", runtime, "--out", out],
                   env=packer_env(tool), check=True)
    shutil.rmtree(runtime)
    [demo_zip] = [os.path.join(out, n) for n in os.listdir(out) if n.endswith(".zip")]

    unpacked = tempfile.mkdtemp(prefix="Harbor-Lantern demo D\u00e9j\u00e0 ")
    with zipfile.ZipFile(demo_zip) as archive:
        archive.extractall(unpacked)
    bundle = os.path.join(unpacked, f"Harbor-Lantern-{version}")
    print(f"unpacked into {bundle}")
    for folder, dirs, files in os.walk(bundle):
        dirs.sort()
        for entry in sorted(files):
            print("  " + os.path.relpath(os.path.join(folder, entry), bundle))

    env = environment(build)
    start_session(env, make_prefix=True)
    exe = os.path.join(bundle, "Harbor-Lantern.exe")
    shown = " ".join(f'"{a}"' if " " in a else a for a in ARGUMENTS)
    print(f"\nstarting: Harbor-Lantern.exe {shown}\n")
    sys.stdout.flush()
    # Wine's exit status carries the low 8 bits of the Windows exit code;
    # the end-to-end tests read all 32 from a Windows-side parent.
    code = subprocess.run([*WINE, exe, *ARGUMENTS], env=env,
                          stdin=subprocess.DEVNULL).returncode
    end_session(env)
    print(f"\nHarbor-Lantern.exe exit code: {code}")
    return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
