"""The maker's application folder, and the walk that every folder packed
goes through: sorted, links kept inside their folder, empty folders kept."""
import os

from .refusal import Refusal

SCRIPT = "firstrun.py"
LAUNCHER = "Harbor-Lantern.exe"
NOT_SHIPPED = {"__pycache__", ".git", ".hg", ".svn", ".bzr"}


def is_inside(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def collect_folder(root, what, ship=lambda relative, is_dir: True):
    """(relative path, source file) for every file under root to ship, and
    (relative path + "/", None) for every empty folder. A link may only lead
    to somewhere inside root: nothing from elsewhere on this machine."""
    real_root = os.path.realpath(root)
    found = []

    def visit(folder, relative):
        shipped = 0
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            child = f"{relative}{name}"
            is_dir = os.path.isdir(path)
            if not ship(child, is_dir):
                continue
            if os.path.islink(path):
                target = os.path.realpath(path)
                if not is_inside(target, real_root) or not os.path.exists(path):
                    raise Refusal(f"{what} {path} is a link to {target}, outside "
                                  f"{root}: replace it with what it names.")
                if is_dir and is_inside(os.path.realpath(folder), target):
                    raise Refusal(f"{what} {path} is a link to a folder that holds "
                                  "it: remove the loop.")
            if is_dir:
                visit(path, child + "/")
            elif os.path.isfile(path):
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


def read_app(app_dir=None, firstrun=None, label=None, leave_out=None):
    """The application's files by their path in the zip. leave_out is a
    folder inside the app not to ship: the output folder, when the maker
    packs from the app's own folder."""
    if firstrun:
        return {SCRIPT: firstrun}
    skip = os.path.realpath(leave_out) if leave_out else None

    def ships(relative, is_dir):
        name = relative.rsplit("/", 1)[-1]
        if name in NOT_SHIPPED or (not is_dir and name.endswith(".pyc")):
            return False
        return not (skip and is_dir and os.path.realpath(
            os.path.join(app_dir, relative)) == skip)

    return dict(collect_folder(app_dir, f"{label}:", ships))
