"""make bench: the launch overhead of Harbor-Lantern.exe against the least
launcher that does the same job, timed under Wine. A benchmark, not a test:
its figures depend on the machine and on what else runs on it."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

from wine import WINE, end_session, environment, start_session, windows_path



def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=100)
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    bundle = tempfile.mkdtemp(prefix="hl-bench bundle ")
    os.makedirs(os.path.join(bundle, "python"))
    shutil.copy(os.path.join(build, "Harbor-Lantern.exe"), bundle)
    shutil.copy(os.path.join(build, "floor_launcher.exe"), bundle)
    shutil.copy(os.path.join(build, "stand_in_python.exe"),
                os.path.join(bundle, "python", "python.exe"))
    open(os.path.join(bundle, "firstrun.py"), "w").close()

    # The stand-in writes its record to the null device instead of the
    # console, so that output costs nothing in any of the three.
    env = environment(build, HL_RECORD="NUL")
    start_session(env, make_prefix=True)
    print(f"Wine {subprocess.run([*WINE, '--version'], capture_output=True, text=True).stdout.strip()}, "
          f"{os.cpu_count()} cores; (a) interpreter, (b) floor, (c) Harbor-Lantern")
    sys.stdout.flush()
    try:
        code = subprocess.run(
            [*WINE, os.path.join(build, "bench.exe"), windows_path(bundle),
             windows_path(os.path.join(bundle, "floor_launcher.exe")),
             str(args.runs), str(args.rounds)],
            env=env, stdin=subprocess.DEVNULL).returncode
    finally:
        end_session(env)
        shutil.rmtree(bundle, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
