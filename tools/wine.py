"""What every script that runs Windows programs here needs from Wine: the
paths of its loader and server, one long-lived session, and Windows names
for Unix files."""
import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
# Under emulation, Debian's arm64 Wine runs inside an arm64 root, where the
# folders the tests use are mounted at their own paths.
_root = ["chroot", os.environ["HL_WINE_ROOT"]] if os.environ.get("HL_WINE_ROOT") else []
WINE = _root + ["/usr/lib/wine/wine64"]
WINESERVER = _root + ["/usr/lib/wine/wineserver"]


def windows_path(unix_path):
    # Wine's drive Z: is the Unix root.
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def environment(build, **extra):
    """The environment for Wine programs in the build's own prefix."""
    return dict(os.environ, WINEPREFIX=os.path.join(build, "wineprefix"),
                WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", **extra)


def start_session(env=None, make_prefix=False):
    """One persistent Wine server: otherwise every start pays for a new one.
    The first program of a new server also starts Wine's own services, which
    would hold on to any pipe they inherit, so a throwaway program with no
    streams of ours takes that first start."""
    quiet = dict(env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    if make_prefix:
        subprocess.run(["sh", os.path.join(HERE, "make-wine-prefix.sh")], check=True,
                       **quiet)
    subprocess.run([*WINESERVER, "-p"], env=env)
    subprocess.run([*WINE, "cmd", "/c", "exit", "0"], stderr=subprocess.DEVNULL, **quiet)


def end_session(env=None):
    subprocess.run([*WINESERVER, "-k"], env=env)
