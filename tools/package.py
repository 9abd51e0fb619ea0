"""make dist: turns a maker's application and a Windows Python runtime into
the zip that a user unpacks and double-clicks:

    <NAME>-<VERSION>/
        Harbor-Lantern.exe
        firstrun.py      and the rest of the application folder
        python/          the runtime's whole content, its ._pth made to work,
                         the dependencies in Lib/site-packages

The pipeline: read the inputs, check them, stage the bundle in a temporary
folder, install the dependencies with pip, brand and sign the launcher, zip.
Every refusal is one line on standard error and leaves no zip behind. The
same inputs give the same bytes: entries in a fixed order, one fixed time
stamp, no owner or permission bits from this machine.
"""
import argparse
import hashlib
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import tomllib
import zipfile
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import branding  # noqa: E402
from branding import Refusal  # noqa: E402

LAUNCHER = "Harbor-Lantern.exe"
SCRIPT = "firstrun.py"
# The earliest time a zip entry can carry; any fixed time would do.
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)
MACHINES = {0x8664: ("x64", "win_amd64", "win64"),
            0xAA64: ("ARM64", "win_arm64", "win-arm64")}
MACHINES_32_BIT = {0x14C: "x86", 0x1C4: "ARM"}
NOT_SHIPPED = {"__pycache__", ".git", ".hg", ".svn", ".bzr"}
# What Windows cannot have in a file name, so an unpacked zip would lose it.
UNSAFE_IN_NAME = re.compile(r'[<>:"|?*\\\x00-\x1f]|[. ]$')
# NAME and VERSION name the zip and its top folder.
LABEL = re.compile(r"[^\W_][\w.+ -]*", re.UNICODE)


@dataclass
class Inputs:
    launchers: dict
    launcher_version: str
    python_dir: str = None
    python_zip: str = None
    firstrun: str = None
    app_dir: str = None
    requirements: str = None
    wheels: str = None
    name: str = None
    version: str = None
    dependencies: list = None
    out_dir: str = "dist"
    signing: branding.Signing = None
    icon: str = None
    source_dir: str = None


@dataclass
class Runtime:
    version: str          # "3.12"
    machine: int
    pth_files: list = field(default_factory=list)

    @property
    def label(self):
        return MACHINES[self.machine][0]

    @property
    def platform(self):
        return MACHINES[self.machine][1]

    @property
    def zip_suffix(self):
        return MACHINES[self.machine][2]


def step(message):
    print(message, flush=True)


# -- read the inputs ---------------------------------------------------------

def read_inputs(args):
    def given(value):
        return value if value else None

    inputs = Inputs(
        launchers={"x64": args.launcher_x64, "ARM64": given(args.launcher_arm64)},
        launcher_version=args.launcher_version,
        python_dir=given(args.python_dir), python_zip=given(args.python_zip),
        firstrun=given(args.firstrun), app_dir=given(args.app_dir),
        requirements=given(args.requirements), wheels=given(args.wheels),
        name=given(args.name), version=given(args.version), out_dir=args.out_dir,
        icon=given(args.icon), source_dir=args.source_dir,
        signing=branding.read_signing(args))
    project = read_pyproject(inputs.app_dir) if inputs.app_dir else {}
    if inputs.name is None and isinstance(project.get("name"), str):
        inputs.name = project["name"]
    if inputs.version is None and isinstance(project.get("version"), str):
        inputs.version = project["version"]
    if inputs.requirements is None and isinstance(project.get("dependencies"), list):
        inputs.dependencies = [str(d) for d in project["dependencies"]]
    return inputs


def read_pyproject(app_dir):
    path = os.path.join(app_dir, "pyproject.toml")
    if not os.path.isfile(path):
        return {}
    try:
        with open(path, "rb") as f:
            project = tomllib.load(f).get("project", {})
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise Refusal(f"{path} is not valid TOML ({error}): fix it, or give NAME, "
                      "VERSION and REQUIREMENTS yourself.")
    return project if isinstance(project, dict) else {}


# -- check them --------------------------------------------------------------

def check_inputs(inputs):
    if bool(inputs.python_dir) == bool(inputs.python_zip):
        raise Refusal("name the Windows Python runtime once: PYTHON_ZIP=<the "
                      "embeddable zip> or PYTHON_DIR=<its unpacked folder>.")
    if bool(inputs.app_dir) == bool(inputs.firstrun):
        raise Refusal("name the application once: APP_DIR=<folder with firstrun.py "
                      "at its top> or FIRSTRUN=<a single script>.")
    named = [
        ("PYTHON_DIR", inputs.python_dir, os.path.isdir, "is not a folder: name the "
         "folder of a Windows Python runtime, with python.exe at its top."),
        ("PYTHON_ZIP", inputs.python_zip, os.path.isfile, "is not a file: name the "
         "embeddable zip as downloaded from python.org."),
        ("FIRSTRUN", inputs.firstrun, os.path.isfile, "is not a file: name the "
         "script to ship as firstrun.py."),
        ("APP_DIR", inputs.app_dir, os.path.isdir, "is not a folder: name the folder "
         "of your application, with firstrun.py at its top."),
        ("REQUIREMENTS", inputs.requirements, os.path.isfile, "is not a file: name a "
         "pip requirements file."),
        ("WHEELS", inputs.wheels, os.path.isdir, "is not a folder: name the folder "
         "that holds the .whl files."),
    ]
    for what, path, exists, advice in named:
        if path and not exists(path):
            raise Refusal(f"{what}={path} {advice}")
    if inputs.app_dir:
        check_app_dir(inputs.app_dir)
    if inputs.icon:
        branding.check_icon(inputs.icon)
    for what, value in (("NAME", inputs.name), ("VERSION", inputs.version)):
        if value is not None and not LABEL.fullmatch(value):
            raise Refusal(f"{what}={value} cannot name a zip and its folder: use "
                          "letters, digits, spaces and . _ + - only.")
    out = os.path.realpath(inputs.out_dir)
    for what, folder in (("APP_DIR", inputs.app_dir), ("PYTHON_DIR", inputs.python_dir)):
        if folder and is_inside(out, os.path.realpath(folder)):
            raise Refusal(f"the output folder {inputs.out_dir} lies inside {what}="
                          f"{folder}: the zip would pack itself; write it elsewhere.")


def check_app_dir(app_dir):
    if not os.path.isfile(os.path.join(app_dir, SCRIPT)):
        raise Refusal(f"APP_DIR={app_dir} has no {SCRIPT} at its top: the launcher "
                      f"starts {SCRIPT}; add it or name the right folder.")
    for entry in os.listdir(app_dir):
        if entry.casefold() in ("python", LAUNCHER.casefold()):
            raise Refusal(f"APP_DIR={app_dir} has an entry named {entry} at its top, "
                          "where the zip puts the launcher's own: rename it.")


def is_inside(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


# -- stage the bundle --------------------------------------------------------

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


def app_ships(relative, is_dir):
    name = relative.rsplit("/", 1)[-1]
    return name not in NOT_SHIPPED and not (not is_dir and name.endswith(".pyc"))


def place(bundle, relative, source=None, data=None):
    target = os.path.join(bundle, *relative.rstrip("/").split("/"))
    if relative.endswith("/"):
        os.makedirs(target, exist_ok=True)
        return
    os.makedirs(os.path.dirname(target), exist_ok=True)
    if source is not None:
        shutil.copyfile(source, target)
    else:
        with open(target, "wb") as f:
            f.write(data)


def stage_runtime(inputs, bundle):
    python = os.path.join(bundle, "python")
    os.makedirs(python)
    if inputs.python_dir:
        for relative, source in collect_folder(inputs.python_dir, "PYTHON_DIR:"):
            place(python, relative, source)
    else:
        for relative, data in read_runtime_zip(inputs.python_zip):
            place(python, relative, data=data)
    source = inputs.python_dir or inputs.python_zip
    exe = os.path.join(python, "python.exe")
    if not os.path.isfile(exe):
        raise Refusal(f"{source} has no python.exe at its top: such a zip would only "
                      "show its users the missing-interpreter message; name a "
                      "Windows Python runtime.")
    return inspect_runtime(python, source)


def read_runtime_zip(path):
    """(relative path, bytes) of each entry; an entry that would land outside
    the runtime folder is refused, never extracted."""
    try:
        archive = zipfile.ZipFile(path)
    except (zipfile.BadZipFile, OSError) as error:
        raise Refusal(f"PYTHON_ZIP={path} cannot be read as a zip ({error}): name "
                      "the embeddable zip as downloaded.")
    entries = []
    with archive:
        for info in archive.infolist():
            name = info.filename.replace("\\", "/")
            parts = name.rstrip("/").split("/")
            if name.startswith("/") or re.match(r"[A-Za-z]:", name) or ".." in parts:
                raise Refusal(f"PYTHON_ZIP={path} has an entry {info.filename} that "
                              "points outside its folder: use the zip as downloaded.")
            if stat.S_ISLNK(info.external_attr >> 16):
                raise Refusal(f"PYTHON_ZIP={path} has a link {info.filename}: use "
                              "the zip as downloaded.")
            relative = "/".join(p for p in parts if p not in ("", "."))
            if not relative:
                continue
            if info.is_dir():
                entries.append((relative + "/", b""))
            else:
                entries.append((relative, archive.read(info)))
    return entries


def inspect_runtime(python, source):
    """The Python version from python3XY.dll, the machine from python.exe."""
    names = os.listdir(python)
    versions = sorted({m.group(1) for m in
                       (re.fullmatch(r"python3(\d+)\.dll", n, re.I) for n in names) if m})
    if len(versions) != 1:
        raise Refusal(f"{source} has {'no' if not versions else 'more than one'} "
                      "python3XY.dll at its top, so its Python version is unknown: "
                      "name an unpacked Windows Python runtime.")
    machine = pe_machine(os.path.join(python, "python.exe"))
    if machine in MACHINES_32_BIT:
        raise Refusal(f"{source} is a 32-bit ({MACHINES_32_BIT[machine]}) runtime: "
                      "the launcher is 64-bit; use the 64-bit (amd64) or ARM64 "
                      "embeddable zip.")
    if machine not in MACHINES:
        raise Refusal(f"{source}: python.exe is not an x64 or ARM64 Windows program "
                      "(machine " + (f"0x{machine:04X}" if machine is not None else
                                     "unreadable") + "): name a Windows Python runtime.")
    pth = sorted(n for n in names if n.lower().endswith("._pth")
                 and os.path.isfile(os.path.join(python, n)))
    return Runtime(version="3." + versions[0], machine=machine, pth_files=pth)


def pe_machine(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ" or len(head) < 0x40:
        return None
    offset = struct.unpack_from("<I", head, 0x3C)[0]
    with open(path, "rb") as f:
        f.seek(offset)
        signature = f.read(6)
    if len(signature) < 6 or signature[:4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", signature, 4)[0]


def stage_app(inputs, bundle):
    if inputs.firstrun:
        place(bundle, SCRIPT, inputs.firstrun)
        return
    for relative, source in collect_folder(inputs.app_dir, "APP_DIR:", app_ships):
        place(bundle, relative, source)


# -- install the dependencies ------------------------------------------------

def install(inputs, runtime, bundle, scratch):
    """pip installs wheels for the runtime's version and platform, never for
    this machine's, with the maker's own pip settings left out."""
    requested = []
    if inputs.requirements:
        requested = ["-r", os.path.abspath(inputs.requirements)]
    elif inputs.dependencies:
        requested = inputs.dependencies
    elif inputs.wheels:
        # By name from the folder, not by file: a wheel installed by file
        # leaves its absolute path on this machine in direct_url.json.
        requested = sorted({n.split("-", 1)[0] for n in os.listdir(inputs.wheels)
                            if n.endswith(".whl")})
    if not requested:
        return
    target = site_packages(bundle)
    scripts = os.path.join(target, "bin")
    had_scripts = os.path.exists(scripts)
    command = [sys.executable, "-m", "pip", "install", "--isolated", "--no-input",
               "--disable-pip-version-check", "--root-user-action=ignore",
               "--no-cache-dir", "--target", target,
               "--platform", runtime.platform, "--python-version", runtime.version,
               "--implementation", "cp", "--only-binary=:all:", "--no-compile"]
    if inputs.wheels:
        command += ["--no-index", "--find-links", os.path.abspath(inputs.wheels)]
    step(f"installing for CPython {runtime.version} on {runtime.platform}: "
         + " ".join(requested))
    result = subprocess.run(command + requested, env=dict(os.environ, TMPDIR=scratch),
                            capture_output=True, text=True)
    if result.returncode != 0:
        missing = re.search(r"Could not find a version that satisfies the "
                            r"requirement (\S+)", result.stderr)
        # Unreachable, pip also ends with "Could not find a version", which
        # would blame the wheels.
        if "Failed to establish a new connection" in result.stderr:
            sys.stderr.write(result.stderr)
            raise Refusal("pip could not reach the package index (its message is "
                          "above): without network, give WHEELS=<folder of wheels "
                          "downloaded for Windows>.")
        if missing:
            raise Refusal(f"no wheel of {missing.group(1)} for CPython "
                          f"{runtime.version} on {runtime.platform}: put one in "
                          f"WHEELS (pip download --only-binary=:all: --platform "
                          f"{runtime.platform} --python-version {runtime.version}) "
                          "or drop the requirement.")
        sys.stderr.write(result.stdout + result.stderr)
        raise Refusal(f"pip could not install the dependencies (exit "
                      f"{result.returncode}); its own message is above.")
    # Console-script wrappers: Unix scripts for this machine, of no use on
    # Windows.
    if not had_scripts and os.path.isdir(scripts):
        shutil.rmtree(scripts)


def site_packages(bundle):
    return os.path.join(bundle, "python", "Lib", "site-packages")


# -- the ._pth file ----------------------------------------------------------

def pth_additions(text, packages):
    """What the bundle needs in the maker's ._pth. While a ._pth exists,
    Python leaves the script's folder off sys.path and imports site only on
    an `import site` line."""
    paths = {line.strip().replace("/", "\\").rstrip("\\").casefold()
             for line in text.splitlines()
             if line.strip() and not line.lstrip().startswith("#")}
    wanted = [".."]
    if packages:
        wanted += ["Lib\\site-packages", "import site"]
    return [line for line in wanted if line.casefold() not in paths]


def edit_pth(text, packages):
    """The ._pth with the additions after every line of the maker's own."""
    added = pth_additions(text, packages)
    if not added:
        return text
    newline = "\r\n" if "\r\n" in text else "\n"
    if text and not text.endswith(("\n", "\r")):
        text += newline
    return text + newline.join(["# added by make dist", *added]) + newline


def make_pth_work(runtime, bundle, packages):
    for name in runtime.pth_files:
        path = os.path.join(bundle, "python", name)
        # Bytes that are not UTF-8 pass through unchanged.
        with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
            text = f.read()
        added = pth_additions(text, packages)
        if added:
            with open(path, "w", encoding="utf-8", errors="surrogateescape",
                      newline="") as f:
                f.write(edit_pth(text, packages))
            step(f"python/{name}: added " + ", ".join(added))


# -- zip ---------------------------------------------------------------------

def bundle_entries(bundle):
    entries = collect_folder(bundle, "staged")
    seen = {}
    for relative, _ in entries:
        for part in relative.rstrip("/").split("/"):
            if UNSAFE_IN_NAME.search(part):
                raise Refusal(f"{relative} cannot be unpacked on Windows (the name "
                              f"{part!r} is not allowed there): rename it.")
        other = seen.setdefault(relative.casefold(), relative)
        if other != relative:
            raise Refusal(f"{other} and {relative} differ only in case, and Windows "
                          "would keep one of them: rename one.")
    return entries


def write_zip(target, top, entries):
    folder = os.path.dirname(os.path.abspath(target))
    os.makedirs(folder, exist_ok=True)
    # Written beside the target and renamed at the end: a failure never
    # leaves a zip that looks finished.
    handle, partial = tempfile.mkstemp(dir=folder, suffix=".partial")
    os.close(handle)
    try:
        with zipfile.ZipFile(partial, "w") as archive:
            for relative, path in entries:
                info = zipfile.ZipInfo(f"{top}/{relative}", ENTRY_TIME)
                info.create_system = 0
                if path is None:
                    info.external_attr = 0x10  # MS-DOS directory attribute
                    archive.writestr(info, b"")
                    continue
                info.external_attr = 0
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    archive.writestr(info, f.read(), compresslevel=9)
        os.replace(partial, target)
    except BaseException:
        os.remove(partial)
        raise
    with open(target, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(target + ".sha256", "w") as f:
        f.write(f"{digest}  {os.path.basename(target)}\n")
    return digest


def pack(inputs):
    check_inputs(inputs)
    name = inputs.name or "Harbor-Lantern"
    version = inputs.version or inputs.launcher_version
    with tempfile.TemporaryDirectory(prefix="hl-dist-") as staging:
        top = f"{name}-{version}"
        bundle = os.path.join(staging, top)
        scratch = os.path.join(staging, "scratch")
        os.makedirs(scratch)
        runtime = stage_runtime(inputs, bundle)
        step(f"runtime: CPython {runtime.version} for {runtime.label}, from "
             f"{inputs.python_dir or inputs.python_zip}")
        stage_app(inputs, bundle)
        step(f"application: {inputs.app_dir or inputs.firstrun}")
        install(inputs, runtime, bundle, scratch)
        # Packages installed now or shipped in the maker's runtime folder.
        packages = os.path.isdir(site_packages(bundle)) and bool(
            os.listdir(site_packages(bundle)))
        make_pth_work(runtime, bundle, packages)
        # A native launcher for each runtime: an x64 one would start an ARM64
        # Python on Windows 11 only, through emulation.
        launcher = inputs.launchers.get(runtime.label)
        if not launcher or not os.path.isfile(launcher):
            raise Refusal(f"the {runtime.label} launcher {launcher or ''} has not been "
                          "built: run make build.")
        launcher = branding.brand(inputs, runtime.label, launcher, scratch,
                                  name if inputs.name else None, inputs.version)
        branding.sign(inputs.signing, launcher, os.path.join(bundle, LAUNCHER),
                      name, scratch)
        step(f"launcher: {LAUNCHER} for {runtime.label}"
             + (", signed" if inputs.signing else ""))
        target = os.path.join(inputs.out_dir, f"{top}-{runtime.zip_suffix}.zip")
        digest = write_zip(target, top, bundle_entries(bundle))
    size = os.path.getsize(target)
    step(f"wrote {target} ({size:,} bytes)\nSHA-256 {digest}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--launcher-x64", required=True)
    parser.add_argument("--launcher-arm64", default="")
    parser.add_argument("--launcher-version", required=True)
    parser.add_argument("--source-dir", default=os.path.dirname(
        os.path.dirname(os.path.abspath(__file__))))
    for option in ("python-dir", "python-zip", "firstrun", "app-dir", "requirements",
                   "wheels", "name", "version", "icon"):
        parser.add_argument("--" + option, default="")
    branding.add_signing_options(parser)
    parser.add_argument("--out-dir", default="dist")
    try:
        pack(read_inputs(parser.parse_args()))
    except Refusal as refusal:
        print(f"make dist: {refusal}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
