"""The Windows Python runtime as given: the embeddable zip, read directly,
or an unpacked folder. Its version comes from python3XY.dll, its
architecture from python.exe's PE machine field."""
import os
import re
import stat
import struct
import zipfile
from dataclasses import dataclass

from . import resources
from .app import collect_folder
from .archive import Member, read_content
from .refusal import Refusal

# machine: (architecture, pip platform, zip name suffix)
MACHINES = {0x8664: ("x64", "win_amd64", "win64"),
            0xAA64: ("arm64", "win_arm64", "win-arm64")}
MACHINES_32_BIT = {0x14C: "x86", 0x1C4: "ARM"}
RT_VERSION = 16


@dataclass
class Runtime:
    version: str     # "3.12"
    machine: int
    files: dict      # relative path under python/: bytes, a source path, or None
    source: str      # how the maker named it, for messages
    pth_files: list
    full_version: str = None  # "3.12.8" where the DLL says, else version

    @property
    def arch(self):
        return MACHINES[self.machine][0]

    @property
    def platform(self):
        return MACHINES[self.machine][1]

    @property
    def zip_suffix(self):
        return MACHINES[self.machine][2]


def read_runtime(python_zip=None, python_dir=None, label=None):
    if python_dir:
        files = dict(collect_folder(python_dir, f"{label}:"))
    else:
        files = dict(read_runtime_zip(python_zip, label))
    return inspect(files, label)


def read_runtime_zip(path, label):
    """(relative path, content) of each entry: a Member, copied into the zip
    with its compressed bytes, or bytes for one compressed some other way.
    An entry that would land outside the runtime folder is refused, never
    extracted."""
    try:
        archive = zipfile.ZipFile(path)
    except (zipfile.BadZipFile, OSError) as error:
        raise Refusal(f"{label} cannot be read as a zip ({error}): name the "
                      "embeddable zip as downloaded.")
    entries = []
    with archive:
        for info in archive.infolist():
            name = info.filename.replace("\\", "/")
            parts = name.rstrip("/").split("/")
            if name.startswith("/") or re.match(r"[A-Za-z]:", name) or ".." in parts:
                raise Refusal(f"{label} has an entry {info.filename} that points "
                              "outside its folder: use the zip as downloaded.")
            if stat.S_ISLNK(info.external_attr >> 16):
                raise Refusal(f"{label} has a link {info.filename}: use the zip as "
                              "downloaded.")
            relative = "/".join(p for p in parts if p not in ("", "."))
            if not relative:
                continue
            if info.is_dir():
                entries.append((relative + "/", None))
            elif info.compress_type in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED) \
                    and not info.flag_bits & 1:
                entries.append((relative, Member(
                    os.path.abspath(path), info.filename, info.header_offset,
                    info.compress_type, info.CRC, info.compress_size, info.file_size)))
            else:
                try:
                    entries.append((relative, archive.read(info)))
                except (zipfile.BadZipFile, OSError, EOFError) as error:
                    raise Refusal(f"{label} is damaged at {info.filename} ({error}): "
                                  "download it again.")
    return entries


def pe_machine(head):
    if head[:2] != b"MZ" or len(head) < 0x40:
        return None
    offset = struct.unpack_from("<I", head, 0x3C)[0]
    if head[offset:offset + 4] != b"PE\0\0" or len(head) < offset + 6:
        return None
    return struct.unpack_from("<H", head, offset + 4)[0]


def pe_imports(data):
    """The names of the DLLs a 64-bit PE file imports."""
    try:
        image = resources.read_image(data, "the module")
        rva, size = image.directory(1)
        names, at = [], image.offset_of(rva) if size else None
        while at is not None:
            descriptor = struct.unpack_from("<5I", data, at)
            if not any(descriptor):
                break
            start = image.offset_of(descriptor[3])
            names.append(data[start:data.index(b"\0", start)].decode("ascii", "replace"))
            at += 20
        return names
    except (Refusal, ValueError, struct.error):
        return []


def full_version(dll, version):
    """X.Y.Z from the DLL's fixed file version, whose third field CPython
    writes as micro * 1000 + release level * 10 + serial. A pre-release, or a
    DLL without one, gives X.Y alone."""
    try:
        image = resources.read_image(read_content(dll), "the DLL")
        # The first version resource, whatever its name and language.
        languages = next(iter(resources.read_tree(image)[RT_VERSION].values()))
        block, _ = resources.parse_block(next(iter(languages.values())).data)
        high, low = struct.unpack_from("<8xII", block.value)
    except (Refusal, KeyError, ValueError, StopIteration, struct.error):
        return version
    field = low >> 16
    if f"{high >> 16}.{high & 0xFFFF}" != version or (field % 1000) // 10 != 15:
        return version
    return f"{version}.{field // 1000}"


def inspect(files, label):
    if "python.exe" not in files:
        raise Refusal(f"{label} has no python.exe at its top: such a zip would only "
                      "show its users the missing-interpreter message; name a "
                      "Windows Python runtime.")
    top = [name for name in files if "/" not in name]
    versions = sorted({m.group(1) for m in
                       (re.fullmatch(r"python3(\d+)\.dll", n, re.I) for n in top) if m})
    if len(versions) != 1:
        raise Refusal(f"{label} has {'no' if not versions else 'more than one'} "
                      "python3XY.dll at its top, so its Python version is unknown: "
                      "name an unpacked Windows Python runtime.")
    machine = pe_machine(read_content(files["python.exe"], 4096))
    if machine in MACHINES_32_BIT:
        raise Refusal(f"{label} is a 32-bit ({MACHINES_32_BIT[machine]}) runtime: "
                      "the launcher is 64-bit; use the 64-bit (amd64) or ARM64 "
                      "embeddable zip.")
    if machine not in MACHINES:
        raise Refusal(f"{label}: python.exe is not an x64 or ARM64 Windows program "
                      "(machine " + (f"0x{machine:04X}" if machine is not None else
                                     "unreadable") + "): name a Windows Python runtime.")
    pth = sorted(n for n in top if n.lower().endswith("._pth"))
    version = "3." + versions[0]
    [dll] = [n for n in top if n.lower() == f"python3{versions[0]}.dll"]
    return Runtime(version=version, machine=machine, files=files, source=label,
                   pth_files=pth, full_version=full_version(files[dll], version))
