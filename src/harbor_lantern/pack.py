"""The pipeline of `harbor-lantern pack`: read the inputs and check them,
read the runtime (with Tcl/Tk when asked for), stage the bundle, install the
dependencies, make the ._pth work, check the names as Windows will hold
them, brand the launcher, sign it, zip. The bundle is staged as a map from
each path in the zip to its content, so nothing is copied before the zip."""
import hashlib
import os
import tempfile
from importlib import resources as package_data

from packaging.specifiers import SpecifierSet
from packaging.version import Version

from . import (__version__, archive, bytecode, dependencies, fetch, msi, names, pth,
               resources, signing, tcltk)
from .app import LAUNCHER, read_app
from .config import check_inputs
from .refusal import Refusal
from .runtime import read_runtime

SITE_PACKAGES = "python/Lib/site-packages/"


def launcher_bytes(arch, kind):
    """The prebuilt launcher for the runtime's architecture: an x64 one would
    start an ARM64 Python on Windows 11 only, through emulation."""
    path = package_data.files(__package__) / "launchers" / arch / f"{kind}.exe"
    if not path.is_file():
        raise Refusal(f"this harbor-lantern has no {kind} {arch} launcher: install it "
                      "from its wheel (in a checkout, make dist builds them).")
    return path.read_bytes()


def from_the_index(inputs, say):
    """(label, fetched) for the runtime named by version or, with none named,
    the newest that requires-python allows."""
    arch = inputs.arch or "x64"
    if inputs.python:
        got = fetch.fetch(inputs.python, arch, full=inputs.tkinter)
        return f"--python {inputs.python} ({got.path})", got
    if inputs.requires_python:
        specifier = SpecifierSet(inputs.requires_python)
        why = f"the newest that requires-python {inputs.requires_python!r} allows"
        got = fetch.fetch(
            inputs.requires_python, arch, full=inputs.tkinter,
            what=f"{inputs.given_as('requires_python')} {inputs.requires_python!r}",
            allows=lambda v: not Version(v).is_prerelease and specifier.contains(v))
    else:
        why = "the newest final release ([project] sets no requires-python)"
        got = fetch.fetch("3", arch, full=inputs.tkinter,
                          what="no runtime named, so the newest CPython",
                          allows=lambda v: not Version(v).is_prerelease)
    where = (f" in the cache, as the index cannot be read ({got.offline})"
             if got.offline else "")
    say(f"no runtime named: CPython {got.version} for {arch}, {why}{where}; "
        "--python X.Y names another.")
    return f"CPython {got.version} ({got.path})", got


def read_the_runtime(inputs, say):
    if not (inputs.python_zip or inputs.python_dir):
        label, got = from_the_index(inputs, say)
        runtime = read_runtime(python_zip=got.path, label=label)
        if got.package:
            tcltk.add(runtime, got.package, f"the full package {got.package}",
                      from_index=True)
    else:
        runtime = read_runtime(inputs.python_zip, inputs.python_dir,
                               inputs.label("python_zip" if inputs.python_zip
                                            else "python_dir"))
        if inputs.arch and inputs.arch != runtime.arch:
            raise Refusal(f"{runtime.source} is a runtime for {runtime.arch}, not for "
                          f"{inputs.label('arch')}: name the runtime for {inputs.arch}.")
        if inputs.tkinter_from:
            tcltk.add(runtime, inputs.tkinter_from, inputs.label("tkinter_from"))
        elif inputs.tkinter and not tcltk.has_tkinter(runtime):
            raise Refusal(f"{inputs.given_as('tkinter').rstrip(':')} with "
                          f"{runtime.source}: name python.org's full package of the "
                          "same release with --tkinter-from, or use --python X.Y.Z, "
                          "which downloads it.")
    return runtime


def branded(inputs, runtime):
    kind = ("windowed" if inputs.windowed else "tool" if inputs.console_tool
            else "console")
    launcher = launcher_bytes(runtime.arch, kind)
    strings = {}
    if inputs.name:
        strings["ProductName"] = inputs.name
    if inputs.version:
        strings["ProductVersion"] = inputs.version
    icon = None
    if inputs.icon:
        with open(inputs.icon, "rb") as f:
            icon = f.read()
    if not strings and icon is None:
        return launcher
    return resources.brand(launcher, f"the {runtime.arch} launcher", icon,
                           inputs.label("icon") if inputs.icon else None, strings)


def pack(inputs, say=print):
    if inputs.tkinter_from:
        inputs.tkinter = True
    check_inputs(inputs)
    sign = signing.read_signing(signing.Signing(
        inputs.sign_cert, inputs.sign_key, inputs.sign_pkcs12, inputs.sign_password_file,
        inputs.sign_pkcs11_module, inputs.sign_pin_file, inputs.sign_command,
        inputs.sign_timestamp_url))
    name = inputs.name or "Harbor-Lantern"
    version = inputs.version or __version__
    top = f"{name}-{version}"
    runtime = read_the_runtime(inputs, say)
    # No console: a console program started from it would open one.
    if inputs.windowed and "pythonw.exe" not in runtime.files:
        raise Refusal(f"{runtime.source} has no pythonw.exe, which a windowed app "
                      "starts: use the official embeddable runtime, or leave out "
                      + inputs.given_as("windowed").rstrip(":") + ".")
    if inputs.msi:
        if runtime.arch != "x64":
            raise Refusal(f"{inputs.given_as('msi').rstrip(':')} with a runtime for "
                          f"{runtime.arch}: wixl, the MSI builder, has no ARM64 target, so "
                          "no ARM64 MSI can be built; ship the zip for ARM64.")
        msi.wixl()
        product = {"name": name, "publisher": inputs.publisher or name,
                   "version": msi.product_version(version, inputs.given_as("version")
                                                  .rstrip(":")),
                   "upgrade_code": msi.upgrade_code(name, inputs.upgrade_code,
                                                    inputs.given_as("upgrade_code")
                                                    .rstrip(":"))}
    app = read_app(inputs.app_dir, inputs.firstrun, inputs.label(
        "app_dir" if inputs.app_dir else "firstrun"), out=inputs.out,
        excludes=inputs.exclude or (), say=say)
    launcher = branded(inputs, runtime)
    wanted = dependencies.requested(inputs)
    with tempfile.TemporaryDirectory(prefix="harbor-lantern-") as scratch:
        files = dict(app)
        files.update(("python/" + k, v) for k, v in runtime.files.items())
        installed = dependencies.install(wanted, runtime, inputs.wheels, inputs.index_url,
                                         inputs.refresh, scratch, say)
        if not inputs.tkinter:
            tcltk.warn_if_needed(app, runtime, installed, dependencies.owners(installed))
        # What the maker's runtime folder already holds stays as it is.
        for relative, source in installed.items():
            files.setdefault(SITE_PACKAGES + relative, source)
        packages = any(k.startswith(SITE_PACKAGES) and not k.endswith("/")
                       for k in files)
        files.update(("python/" + k, v) for k, v in pth.edited_pth_files(
            runtime, packages, lib=inputs.tkinter).items())
        files = bytecode.compile_files(files, runtime, inputs.bytecode or "compiled",
                                       scratch, inputs.given_as("bytecode"))
        files = names.windows_names(files)
        target = os.path.join(inputs.out, f"{top}-{runtime.zip_suffix}.zip")
        names.warn_if_too_long([f"{top}/{n}" for n in files], os.path.basename(target))
        files[LAUNCHER] = signing.sign(sign, launcher, name, scratch, say)
        digest = archive.write_zip(target, top, files, inputs.compression or "default")
        say(f"wrote {target} ({os.path.getsize(target):,} bytes): CPython "
            f"{runtime.version} for {runtime.arch}" + (", signed" if sign else ""))
        say(f"SHA-256 {digest}")
        if inputs.msi:
            installer = target[:-len(".zip")] + ".msi"
            built = msi.build(files, os.path.join(scratch, "app.msi"), product, scratch)
            with open(built, "rb") as f:
                data = signing.sign(sign, f.read(), name, scratch, say,
                                    file_name=os.path.basename(installer))
            digest = write_with_sha256(installer, data)
            say(f"wrote {installer} ({len(data):,} bytes): installs per user into "
                f"%LOCALAPPDATA%\\Programs\\{name}" + (", signed" if sign else ""))
            say(f"SHA-256 {digest}")
    return target


def write_with_sha256(target, data):
    """target and target.sha256, each renamed into place whole."""
    digest = hashlib.sha256(data).hexdigest()
    for path, content in ((target, data), (target + ".sha256", (
            f"{digest}  {os.path.basename(target)}\n").encode())):
        with open(path + ".partial", "wb") as f:
            f.write(content)
        os.replace(path + ".partial", path)
    return digest
