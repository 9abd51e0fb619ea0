"""Tcl/Tk and tkinter, which the embeddable runtime lacks, from python.org's
full package of the same release (or the maker's copy in its layout: DLLs\\,
tcl\\, Lib\\tkinter), laid out where the embeddable runtime finds them:
_tkinter.pyd and the Tcl/Tk DLLs beside python.exe, where extension modules
and their DLLs are looked for; the tcl folder at the runtime's top, since
_tkinter points Tcl at sys.prefix\\tcl\\tcl8.6 when TCL_LIBRARY is not set
(Tcl's own fallback looks above the exe); Lib\\tkinter and Lib\\turtle.py,
with Lib listed in the ._pth."""
import os
import re

from .app import collect_folder
from .archive import read_content
from .refusal import Refusal, warn
from .runtime import MACHINES, pe_imports, pe_machine, read_runtime_zip

# Every Tcl/Tk DLL the package has, whatever its version: 8.6 ships
# tcl86t.dll and tk86t.dll, Tcl/Tk 9 tcl90.dll, tcl9tk90.dll and the zlib1.dll
# they link against.
DLL = re.compile(r"(tcl|tk)[^/]*\.dll|zlib1\.dll", re.I)
IMPORTS = re.compile(rb"^[ \t]*(?:import|from)[ \t]+(tkinter|turtle)\b", re.M)
# Imports stand at the top of a module: reading only its start keeps the
# check cheap in an app of thousands of modules.
HEAD = 16 << 10


def read_source(path, label):
    """{relative path: content} of a full package zip or folder."""
    if os.path.isdir(path):
        return dict(collect_folder(path, f"{label}:"))
    return dict(read_runtime_zip(path, label))


def parts(files, label, from_index=False):
    """{path under python/: content} of what tkinter needs, and nothing else
    of the package."""
    by_folded = {name.casefold(): name for name in files}
    pyd = by_folded.get("dlls/_tkinter.pyd")
    if pyd is None and from_index:
        # python.org's early ARM64 builds came without Tcl/Tk.
        raise Refusal(f"{label} has no Tcl/Tk: python.org built that release without "
                      "it, so tkinter cannot be added; choose a release whose full "
                      "package has it, or pack for x64.")
    if pyd is None:
        raise Refusal(f"{label} has no DLLs\\_tkinter.pyd: name python.org's full "
                      "package zip, a Windows Python installation folder, or a zip or "
                      "folder in that layout (DLLs\\, tcl\\, Lib\\tkinter).")
    chosen = {"_tkinter.pyd": files[pyd]}
    for name, content in files.items():
        folded = name.casefold()
        if folded.startswith("dlls/") and DLL.fullmatch(name[5:]):
            chosen[name[5:]] = content
        elif folded.startswith("tcl/") or folded == "lib/turtle.py" or (
                folded.startswith("lib/tkinter/") and "__pycache__" not in folded
                and not folded.endswith(".pyc")):
            chosen[name] = content
    return chosen


def pyd_version_and_arch(pyd):
    data = read_content(pyd)
    versions = sorted({m.group(1) for m in (re.fullmatch(r"python3(\d+)\.dll", n, re.I)
                                            for n in pe_imports(data)) if m})
    machine = pe_machine(data[:4096])
    return ("3." + versions[0] if len(versions) == 1 else None,
            MACHINES[machine][0] if machine in MACHINES else f"machine {machine}")


def add(runtime, source, label, from_index=False):
    """Puts tkinter's parts from source into the runtime's files, after
    checking that they are for its Python version and architecture."""
    chosen = parts(read_source(source, label), label, from_index)
    version, arch = pyd_version_and_arch(chosen["_tkinter.pyd"])
    if (version, arch) != (runtime.version, runtime.arch):
        raise Refusal(f"{label} is tkinter for CPython {version or '(unknown)'} on "
                      f"{arch}, and {runtime.source} is CPython {runtime.version} on "
                      f"{runtime.arch}: take it from the full package of the runtime's "
                      "own release.")
    runtime.files.update(chosen)


def has_tkinter(runtime):
    return any(n.casefold() in ("_tkinter.pyd", "dlls/_tkinter.pyd") for n in runtime.files)


def warn_if_needed(app, runtime, installed=None, owners=None):
    """One line when the app's own modules, or those of a dependency, import
    tkinter or turtle and the runtime will not have them."""
    if has_tkinter(runtime):
        return
    for files, whose in ((app, None), (installed or {}, owners or {})):
        for relative, content in sorted(files.items()):
            if not relative.endswith(".py") or content is None:
                continue
            head = read_content(content, HEAD)
            found = (b"tkinter" in head or b"turtle" in head) and IMPORTS.search(head)
            if not found:
                continue
            module = found.group(1).decode()
            if whose is None:
                warn(f"{relative} imports {module}, which the embeddable runtime lacks: "
                     "add --tkinter.")
            else:
                warn(f"the dependency {whose.get(relative, relative.split('/')[0])} "
                     f"imports {module} (in {relative}), which the embeddable runtime "
                     "lacks: add --tkinter.")
            return
