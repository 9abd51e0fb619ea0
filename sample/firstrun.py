"""The script that Harbor-Lantern.exe starts: replace it with your own.

It shows the contract between the launcher and the script:
- the user's arguments arrive exactly as typed after Harbor-Lantern.exe;
- the working directory is the folder that holds Harbor-Lantern.exe;
- the interpreter is the bundled one, in UTF-8 mode, without the user's
  PYTHONPATH or user site directory;
- exit code 0 (done) and 2 (usage error, after argparse's own message) end
  the launcher silently; any other code keeps a double-clicked window open
  with "Harbor-Lantern stopped (code N)" until the user presses Enter.
"""
import argparse
import site
import sys


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="Harbor-Lantern.exe",
        description="Sample first-run script: reports the Python it runs on.")
    parser.add_argument("words", nargs="*", help="any words, echoed back")
    parser.add_argument("--greeting", default="Hello",
                        help="what to say first (default: %(default)s)")
    args = parser.parse_args(argv)

    print(f"{args.greeting} from firstrun.py")
    print(f"interpreter prefix: {sys.prefix}")
    print(f"UTF-8 mode: {'on' if sys.flags.utf8_mode else 'off'}")
    print(f"user site directory: {'enabled' if site.ENABLE_USER_SITE else 'disabled'}")
    if args.words:
        print("words: " + " | ".join(args.words))
    return 0


if __name__ == "__main__":
    sys.exit(main())
