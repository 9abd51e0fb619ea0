"""The maker's application folder, and the walk that every folder packed
goes through: sorted, links kept inside their folder, empty folders kept."""
import os
import re
from collections import Counter

import pathspec

from .names import refusal_of
from .refusal import Refusal

SCRIPT = "firstrun.py"
LAUNCHER = "Harbor-Lantern.exe"
# Version control, and the caches of Python and of the tools makers run.
NOT_SHIPPED = {"__pycache__", ".git", ".hg", ".svn", ".bzr", ".tox", ".nox",
               ".mypy_cache", ".pytest_cache", ".ruff_cache"}
# What the packer writes: zips, installers and their hashes.
PACKED = re.compile(r".+-win(64|-arm64)\.(zip|msi)(\.sha256)?")


def is_inside(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def collect_folder(root, what, ship=lambda relative, is_dir: True, excludable=False):
    """(relative path, source file) for every file under root to ship, and
    (relative path + "/", None) for every empty folder. A link may only lead
    to somewhere inside root: nothing from elsewhere on this machine."""
    real_root = os.path.realpath(root)
    found = []

    def visit(folder, relative):
        shipped = 0
        # scandir tells files, folders and links from the folder's own
        # listing, without a stat of each: an app can hold tens of thousands.
        with os.scandir(folder) as listing:
            found_here = sorted(listing, key=lambda entry: entry.name)
        for entry in found_here:
            name, path = entry.name, entry.path
            child = f"{relative}{name}"
            is_dir = entry.is_dir()
            if not ship(child, is_dir):
                continue
            if entry.is_symlink():
                target = os.path.realpath(path)
                if not is_inside(target, real_root) or not os.path.exists(path):
                    raise Refusal(f"{what} {path} is a link to {target}, outside "
                                  f"{root}: put a copy of what it names in its place"
                                  + (f", or leave it out (--exclude {child})."
                                     if excludable else "."))
                if is_dir and is_inside(os.path.realpath(folder), target):
                    raise Refusal(f"{what} {path} is a link to a folder that holds "
                                  "it: remove the loop.")
            if is_dir:
                visit(path, child + "/")
            elif refusal_of(name):
                # Before the file is opened: Windows lists an Aux.py as a
                # file, but opening it opens the AUX device, which never
                # ends.
                raise Refusal(f"{child} cannot be unpacked on Windows "
                              f"({refusal_of(name)}): rename it.")
            elif entry.is_file():
                found.append((child, path))
            else:
                raise Refusal(f"{what} {path} is neither a file nor a folder: "
                              "remove it.")
            shipped += 1
        if relative and not shipped:
            found.append((relative, None))

    visit(root, "")
    return found


def check_app_dir(app_dir, label):
    if not os.path.isfile(os.path.join(app_dir, SCRIPT)):
        raise Refusal(f"{label} has no {SCRIPT} at its top: the launcher starts "
                      f"{SCRIPT}; add it or name the right folder.")
    for entry in os.listdir(app_dir):
        if entry.casefold() in ("python", LAUNCHER.casefold()):
            raise Refusal(f"{label} has an entry named {entry} at its top, where the "
                          "zip puts the launcher's own: rename it.")


def read_app(app_dir=None, firstrun=None, label=None, out=None, excludes=(), say=print):
    """The application's files by their path in the zip, without what does
    not belong in it: version control, caches, virtual environments (a
    folder with a pyvenv.cfg, linked or not), what the packer wrote (the
    output folder, the default dist folder's zips), what the app's
    .gitignore files and the maker's excludes name. One line says what was
    left out."""
    if firstrun:
        return {SCRIPT: firstrun}
    out = os.path.realpath(out) if out else None
    # The packer's output where the maker packed before with the default --out.
    default_out = os.path.realpath(os.path.join(app_dir, "dist"))
    chosen = pathspec.GitIgnoreSpec.from_lines(excludes)
    ignores = {}
    left_out = Counter()

    def gitignore(folder):
        """The .gitignore of folder (relative, "" or ending in /), read once."""
        if folder not in ignores:
            path = os.path.join(app_dir, folder, ".gitignore")
            ignores[folder] = None
            if os.path.isfile(path):
                with open(path, encoding="utf-8", errors="replace") as f:
                    ignores[folder] = pathspec.GitIgnoreSpec.from_lines(f)
        return ignores[folder]

    def ignored(relative, is_dir):
        tail = "/" if is_dir else ""
        if chosen.match_file(relative + tail):
            return True
        parts = relative.split("/")
        for depth in range(len(parts)):
            folder = "".join(p + "/" for p in parts[:depth])
            spec = gitignore(folder)
            if spec and spec.match_file("/".join(parts[depth:]) + tail):
                return True
        return False

    def ships(relative, is_dir):
        path = os.path.join(app_dir, relative)
        name = relative.rsplit("/", 1)[-1]
        if is_dir:
            leave = (name in NOT_SHIPPED
                     or os.path.isfile(os.path.join(path, "pyvenv.cfg"))
                     or os.path.realpath(path) == out or ignored(relative, True))
        else:
            leave = (name.endswith(".pyc") or ignored(relative, False)
                     or (PACKED.fullmatch(name) is not None
                         and os.path.realpath(os.path.dirname(path)) == default_out))
        if leave:
            left_out[relative.split("/")[0] + ("/" if is_dir or "/" in relative else "")] \
                += count_files(path) if is_dir else 1
        return not leave

    found = dict(collect_folder(app_dir, f"{label}:", ships, excludable=True))
    # Python's own caches go without a word; anything else is said.
    said = {top: n for top, n in left_out.items() if top != "__pycache__/"}
    if said:
        tops = sorted(said, key=lambda top: (-said[top], top))
        say(f"left out {sum(said.values()):,} file(s) that do not belong in the zip: "
            + ", ".join(f"{top} ({said[top]:,})" for top in tops[:5])
            + (f" and {len(tops) - 5} more" if len(tops) > 5 else "")
            + " (--exclude leaves out more)")
    return found


def count_files(folder):
    return sum(len(names) for _, _, names in os.walk(folder))
