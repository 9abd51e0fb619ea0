"""The command: harbor-lantern pack, in the manner of pip and uv."""
import argparse
import sys

from . import __version__
from .config import read_inputs
from .pack import pack
from .refusal import Refusal

PROG = "harbor-lantern"

DESCRIPTION = """\
Packs a Python application with a Windows Python runtime and the
Harbor-Lantern launcher into a zip that users unpack and double-click.
Works on Windows, macOS and Linux; needs no compiler."""

PACK_EPILOG = """\
Every option but the signing ones can also be set in the app's
pyproject.toml, under [tool.harbor-lantern], named like the option without
its dashes (python, arch, python-zip, python-dir, requirements, wheels,
index-url, icon, out, windowed = true, tkinter = true, tkinter-from,
bytecode, compression, exclude = [...], console-tool = true, msi = true,
publisher, upgrade-code); paths there are relative to the pyproject.toml.
[project] gives the name, the version, the dependencies, requires-python
(which chooses the runtime when none is named) and the publisher (authors).
The command line wins.

examples:
  harbor-lantern pack --python 3.12
  harbor-lantern pack myapp --python-zip python-3.12.8-embed-amd64.zip \\
      --wheels wheels --icon app.ico"""


def parser():
    top = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION)
    top.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    pack_command = commands.add_parser(
        "pack", help="pack an application into a zip for Windows",
        description="Packs APP_DIR (a folder with firstrun.py at its top) into "
        "<out>/<name>-<version>-win64.zip (or -win-arm64.zip).",
        epilog=PACK_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    pack_command.add_argument("app_dir", nargs="?", metavar="APP_DIR",
                              help="the application folder (default: this folder)")
    pack_command.add_argument("--firstrun", metavar="SCRIPT",
                              help="pack a single script as firstrun.py instead")
    runtime = pack_command.add_argument_group(
        "the Windows Python runtime (one of the first three; with none, the newest "
        "CPython that [project] requires-python allows, from python.org)")
    runtime.add_argument("--python", metavar="X.Y[.Z]",
                         help="download it from python.org (the newest X.Y.Z for "
                         "X.Y; a pre-release only by its exact version), checked and "
                         "cached")
    runtime.add_argument("--python-zip", metavar="FILE",
                         help="the embeddable zip from python.org")
    runtime.add_argument("--python-dir", metavar="DIR", help="an unpacked runtime")
    runtime.add_argument("--arch", metavar="{x64,arm64}",
                         help="the architecture for --python (default: x64)")
    deps = pack_command.add_argument_group(
        "dependencies (default: [project] dependencies), installed as Windows would "
        "install them")
    deps.add_argument("--requirements", metavar="FILE",
                      help="a requirements file (hashes are checked) or a pylock.toml")
    deps.add_argument("--wheels", metavar="DIR",
                      help="install only from this folder of wheels and sdists, offline")
    deps.add_argument("--index-url", metavar="URL",
                      help="the package index (default: https://pypi.org/simple), "
                      "such as a company mirror")
    deps.add_argument("--refresh", action="store_true", default=None,
                      help="ask the index for newer releases than the cache holds")
    tk = pack_command.add_argument_group(
        "tkinter, which the embeddable runtime lacks")
    tk.add_argument("--tkinter", action="store_true", default=None,
                    help="add Tcl/Tk and tkinter from python.org's full package of the "
                    "runtime's release (with --python: downloaded, checked, cached)")
    tk.add_argument("--tkinter-from", metavar="FILE|DIR",
                    help="take them from this full package zip or Windows Python "
                    "folder instead (with --python-zip or --python-dir)")
    contents = pack_command.add_argument_group("what goes into the zip, and how")
    contents.add_argument(
        "--exclude", action="append", metavar="PATTERN",
        help="leave out what this .gitignore-style pattern names (repeatable); "
        "version control, caches, virtual environments, the packer's own output and "
        "what the app's .gitignore files name are left out anyway")
    contents.add_argument(
        "--bytecode", choices=("compiled", "sources", "only"),
        help="compiled (default): each module with its .pyc, compiled with a CPython of "
        "the runtime's X.Y, so the first start is as fast as the next; sources: "
        "modules as source only; only: .pyc in place of each module, no source "
        "(firstrun.py stays source)")
    contents.add_argument(
        "--compression", choices=("fast", "default", "small"),
        help="fast: the quickest pack, for trying a build; default: within 3 %% of "
        "the smallest in a fraction of its time; small: the smallest zip, slower")
    brand = pack_command.add_argument_group("the launcher")
    brand.add_argument("--name", metavar="NAME",
                       help="names the zip and the launcher's ProductName")
    brand.add_argument("--app-version", dest="version", metavar="VERSION",
                       help="names the zip and the launcher's ProductVersion")
    brand.add_argument("--icon", metavar="FILE.ico", help="the launcher's icon")
    brand.add_argument("--windowed", action="store_true", default=None,
                       help="for an app with its own window: a launcher with no "
                       "console that starts pythonw.exe and shows failures in a dialog")
    brand.add_argument("--console-tool", action="store_true", default=None,
                       help="for a command-line tool typed at a prompt: the app starts in "
                       "the user's current folder and its exit code is passed on with no "
                       "message and no pause")
    installer = pack_command.add_argument_group("the installer")
    installer.add_argument("--msi", action="store_true", default=None,
                           help="also write a per-user MSI installer beside the zip (needs "
                           "wixl, from msitools)")
    installer.add_argument("--publisher", metavar="NAME",
                           help="the publisher shown in Settings > Apps (default: the "
                           "first of [project] authors)")
    installer.add_argument("--upgrade-code", metavar="GUID",
                           help="the MSI's UpgradeCode (default: derived from the name); "
                           "keep it for every version")
    sign = pack_command.add_argument_group(
        "signing (Authenticode): key files, a token, or your own command")
    sign.add_argument("--sign-cert", metavar="PEM",
                      help="the certificate chain, leaf first (or the leaf alone)")
    sign.add_argument("--sign-key", metavar="PEM|URI",
                      help="its private key: a PEM file, or pkcs11:token=...;object=... "
                      "on a token")
    sign.add_argument("--sign-pkcs12", metavar="PFX",
                      help="certificate and key in one file, instead")
    sign.add_argument("--sign-password-file", metavar="FILE",
                      help="the key's password, read from this file only")
    sign.add_argument("--sign-pkcs11-module", metavar="MODULE",
                      help="the token's or HSM's PKCS#11 library")
    sign.add_argument("--sign-pin-file", metavar="FILE",
                      help="the token's PIN, read from this file only")
    sign.add_argument("--sign-command", metavar="'TOOL ARGS {file}'",
                      help="sign with your own tool instead (a signing service's "
                      "client, signtool, jsign): {file} is the launcher to sign")
    sign.add_argument("--sign-timestamp-url", metavar="URL",
                      help="an RFC 3161 time-stamping service")
    contents.add_argument("--out", metavar="DIR",
                          help="where the zip (and the MSI) go (default: dist)")
    return top


def main(argv=None):
    arguments = parser().parse_args(argv)
    if arguments.command != "pack":
        parser().print_help()
        return 2
    given = {k: v for k, v in vars(arguments).items() if k != "command"}
    try:
        pack(read_inputs(given))
    except Refusal as refusal:
        print(f"{PROG}: error: {refusal}", file=sys.stderr)
        return 1
    return 0
