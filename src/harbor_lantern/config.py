"""The inputs of a pack: the command line first, then the app's
pyproject.toml ([tool.harbor-lantern], then [project]); each checked before
anything is staged. Every input remembers where it came from, so that a
refusal names it as the maker wrote it."""
import functools
import os
import re
import tomllib
from dataclasses import dataclass, field

from packaging.specifiers import InvalidSpecifier, SpecifierSet
from validate_pyproject import api
from validate_pyproject.errors import ValidationError

from .app import check_app_dir, is_inside
from .refusal import Refusal

# The keys of [tool.harbor-lantern], named like the options; the paths are
# relative to the pyproject.toml's folder.
TOOL_KEYS = {"python": str, "arch": str, "python-zip": "path", "python-dir": "path",
             "requirements": "path", "wheels": "path", "index-url": str,
             "icon": "path", "out": "path", "windowed": bool, "tkinter": bool,
             "tkinter-from": "path", "bytecode": str, "compression": str,
             "exclude": list, "console-tool": bool, "msi": bool, "publisher": str,
             "upgrade-code": str}
ARCHES = ("x64", "arm64")
BYTECODE = ("compiled", "sources", "only")
COMPRESSION = ("fast", "default", "small")
RUNTIME_KEYS = ("python_zip", "python_dir", "python")
PYTHON_VERSION = re.compile(r"3\.\d+(\.\d+((a|b|rc)\d+)?)?")
# The name and version name the zip and its top folder.
LABEL = re.compile(r"[^\W_][\w.+ -]{0,99}", re.UNICODE)


@dataclass
class Inputs:
    app_dir: str = None
    firstrun: str = None
    python_zip: str = None
    python_dir: str = None
    python: str = None
    arch: str = None
    requirements: str = None
    wheels: str = None
    dependencies: list = None
    dependencies_source: str = None
    requires_python: str = None
    index_url: str = None
    refresh: bool = False
    name: str = None
    version: str = None
    icon: str = None
    out: str = None
    windowed: bool = False
    console_tool: bool = False
    msi: bool = False
    publisher: str = None
    upgrade_code: str = None
    tkinter: bool = False
    tkinter_from: str = None
    bytecode: str = None
    compression: str = None
    exclude: list = None
    sign_cert: str = None
    sign_key: str = None
    sign_pkcs12: str = None
    sign_password_file: str = None
    sign_pkcs11_module: str = None
    sign_pin_file: str = None
    sign_command: str = None
    sign_timestamp_url: str = None
    # How each input was given, for messages: "--wheels" or "wheels in ...".
    labels: dict = field(default_factory=dict)

    def given_as(self, key):
        return (self.labels.get(key) or OPTION_NAMES.get(key)
                or "--" + key.replace("_", "-"))

    def label(self, key):
        return f"{self.given_as(key)} {getattr(self, key)}"


# The command line's names where they are not the field's own.
OPTION_NAMES = {"app_dir": "APP_DIR", "version": "--app-version"}


def read_inputs(given):
    """given: {field: value} from the command line, absent or empty when not
    given there."""
    inputs = Inputs()
    for key, value in given.items():
        if value not in (None, ""):
            setattr(inputs, key, value)
    if inputs.app_dir is None and inputs.firstrun is None:
        inputs.app_dir = "."
    if inputs.app_dir and os.path.isdir(inputs.app_dir):
        apply_pyproject(inputs, os.path.join(inputs.app_dir, "pyproject.toml"))
    if inputs.out is None:
        inputs.out = "dist"
    return inputs


def apply_pyproject(inputs, path):
    if not os.path.isfile(path):
        return
    try:
        with open(path, "rb") as f:
            document = tomllib.load(f)
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise Refusal(f"{path} is not valid TOML ({error}): fix it.")
    validate(document, path)
    tool = document.get("tool", {}).get("harbor-lantern", {})
    if not isinstance(tool, dict):
        raise Refusal(f"{path}: [tool.harbor-lantern] must be a table.")
    unknown = sorted(set(tool) - set(TOOL_KEYS))
    if unknown:
        raise Refusal(f"{path}: [tool.harbor-lantern] has no key {unknown[0]}; the "
                      "keys are " + ", ".join(TOOL_KEYS) + ".")
    folder = os.path.dirname(path)
    runtime_given = any(getattr(inputs, k) for k in RUNTIME_KEYS)
    for key, kind in TOOL_KEYS.items():
        if key not in tool:
            continue
        value = tool[key]
        if kind is bool:
            if not isinstance(value, bool):
                raise Refusal(f"{path}: [tool.harbor-lantern] {key} must be true or "
                              "false.")
        elif kind is list:
            if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
                raise Refusal(f"{path}: [tool.harbor-lantern] {key} must be a list of "
                              "strings.")
        elif not isinstance(value, str) or not value:
            raise Refusal(f"{path}: [tool.harbor-lantern] {key} must be a string.")
        attribute = key.replace("-", "_")
        # Patterns from both places count.
        if kind is list:
            setattr(inputs, attribute, list(value) + list(getattr(inputs, attribute) or []))
            continue
        # One runtime: the command line's replaces the file's.
        if getattr(inputs, attribute) not in (None, False) or (
                runtime_given and attribute in RUNTIME_KEYS):
            continue
        setattr(inputs, attribute, os.path.join(folder, value) if kind == "path"
                else value)
        inputs.labels[attribute] = f"{key} in {path}:"
    project = document.get("project", {})
    if not isinstance(project, dict):
        return
    for key, attribute in (("name", "name"), ("version", "version")):
        if getattr(inputs, attribute) is None and isinstance(project.get(key), str):
            setattr(inputs, attribute, project[key])
            inputs.labels[attribute] = f"[project] {key} in {path}:"
    authors = project.get("authors")
    if inputs.publisher is None and isinstance(authors, list) and authors \
            and isinstance(authors[0], dict):
        inputs.publisher = authors[0].get("name") or authors[0].get("email")
        inputs.labels["publisher"] = f"[project] authors in {path}:"
    if isinstance(project.get("requires-python"), str):
        inputs.requires_python = project["requires-python"]
        inputs.labels["requires_python"] = f"requires-python in {path}:"
    if inputs.requirements is None and isinstance(project.get("dependencies"), list):
        inputs.dependencies = [str(d) for d in project["dependencies"]]
        inputs.dependencies_source = f"[project] dependencies in {path}"


def validate(document, path):
    """The file as build tools read it: a misspelt or mistyped key in
    [project] would otherwise pack an app without what the maker meant."""
    try:
        validator()(document)
    except ValidationError as error:
        # `project.dependencies[0]` must be pep508: [project] dependencies[0] ...
        message = re.sub(r"`(project|tool|build-system)(?:\.([^`]*))?`",
                         lambda m: f"[{m.group(1)}]" + (f" {m.group(2)}" if m.group(2)
                                                        else ""), error.message)
        raise Refusal(f"{path}: {message.replace('`', '')}: fix it (build tools read it "
                      "so too).")


@functools.cache
def validator():
    return api.Validator()


def check_inputs(inputs):
    runtimes = [k for k in RUNTIME_KEYS if getattr(inputs, k)]
    if len(runtimes) > 1:
        raise Refusal("name the Windows Python runtime once: --python X.Y[.Z] (with "
                      "--arch), --python-zip (the embeddable zip) or --python-dir "
                      "(its unpacked folder)" + (
                          ", not " + " and ".join(inputs.label(k) for k in runtimes)
                          if runtimes else "") + ".")
    if inputs.windowed and inputs.console_tool:
        raise Refusal(f"{inputs.given_as('windowed').rstrip(':')} and "
                      f"{inputs.given_as('console_tool').rstrip(':')}: an app is either "
                      "double-clicked with its own window or typed at a prompt; give one.")
    if inputs.app_dir and inputs.firstrun:
        raise Refusal("name the application once: APP_DIR (a folder with firstrun.py "
                      "at its top) or --firstrun (a single script).")
    if inputs.python and not PYTHON_VERSION.fullmatch(inputs.python):
        raise Refusal(f"{inputs.label('python')} is not a version: give X.Y or X.Y.Z, "
                      "such as 3.12 or 3.12.8 (or a pre-release such as 3.15.0a8).")
    if not runtimes and inputs.requires_python:
        try:
            SpecifierSet(inputs.requires_python)
        except InvalidSpecifier:
            raise Refusal(f"{inputs.given_as('requires_python')} "
                          f"{inputs.requires_python!r} is not a version specifier: "
                          "write it as pip reads it, such as \">=3.11\".")
    if inputs.bytecode and inputs.bytecode not in BYTECODE:
        raise Refusal(f"{inputs.label('bytecode')} is not a way to ship modules: give "
                      + ", ".join(BYTECODE) + ".")
    if inputs.compression and inputs.compression not in COMPRESSION:
        raise Refusal(f"{inputs.label('compression')} is not a compression: give "
                      + ", ".join(COMPRESSION) + ".")
    if inputs.arch and inputs.arch not in ARCHES:
        raise Refusal(f"{inputs.label('arch')} is not an architecture: give x64 or "
                      "arm64.")
    named = [
        ("python_dir", os.path.isdir, "is not a folder: name the folder of a Windows "
         "Python runtime, with python.exe at its top."),
        ("python_zip", os.path.isfile, "is not a file: name the embeddable zip as "
         "downloaded from python.org."),
        ("firstrun", os.path.isfile, "is not a file: name the script to ship as "
         "firstrun.py."),
        ("app_dir", os.path.isdir, "is not a folder: name the folder of your "
         "application, with firstrun.py at its top."),
        ("requirements", os.path.isfile, "is not a file: name a pip requirements file."),
        ("wheels", os.path.isdir, "is not a folder: name the folder that holds the "
         ".whl files."),
        ("icon", os.path.isfile, "is not a file: name a Windows .ico file."),
        ("tkinter_from", os.path.exists, "is not there: name python.org's full "
         "package zip or a Windows Python installation folder."),
    ]
    for key, exists, advice in named:
        if getattr(inputs, key) and not exists(getattr(inputs, key)):
            raise Refusal(f"{inputs.label(key)} {advice}")
    if inputs.app_dir:
        check_app_dir(inputs.app_dir, inputs.label("app_dir"))
    for key in ("name", "version"):
        value = getattr(inputs, key)
        if value is not None and not LABEL.fullmatch(value):
            raise Refusal(f"{inputs.label(key)} cannot name a zip and its folder: use "
                          "up to 100 letters, digits, spaces and . _ + - only.")
    if inputs.tkinter_from and inputs.python:
        raise Refusal(f"{inputs.label('tkinter_from')} and {inputs.label('python')}: "
                      "with --python, Tcl/Tk comes from the index's full package of the "
                      "same release; give --tkinter alone, or --python-zip with "
                      "--tkinter-from.")
    if inputs.index_url and inputs.wheels:
        raise Refusal(f"{inputs.label('index_url')} and {inputs.label('wheels')} name "
                      "two sources: give one (--wheels installs offline from that "
                      "folder alone).")
    if inputs.index_url and not re.match(r"(https?|file)://", inputs.index_url):
        raise Refusal(f"{inputs.label('index_url')} is not a URL: name a package "
                      "index such as https://pypi.org/simple.")
    out = os.path.realpath(inputs.out)
    if inputs.python_dir and is_inside(out, os.path.realpath(inputs.python_dir)):
        raise Refusal(f"the output folder {inputs.out} lies inside "
                      f"{inputs.label('python_dir')}: the zip would pack itself; "
                      "write it elsewhere.")
    if inputs.app_dir and out == os.path.realpath(inputs.app_dir):
        raise Refusal(f"the output folder {inputs.out} is {inputs.label('app_dir')} "
                      "itself: the zip would pack itself; give --out another folder.")
