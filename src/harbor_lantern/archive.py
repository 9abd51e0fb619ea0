"""The zip the user unpacks, and its .sha256.

Entries are compressed in parallel (zlib releases the GIL) and written in a
fixed order, so the same inputs give the same bytes on any machine: one
fixed time stamp, no owner or permission bits. zipfile cannot take data
that is already compressed, so the few records of the format are written
here; a bundle never needs ZIP64 (it is refused rather than written wrong).
"""
import hashlib
import os
import struct
import tempfile
import zlib
from concurrent.futures import ThreadPoolExecutor

from .refusal import Refusal

# zlib's level 6 is within 1 % of level 9 on a runtime and half its time.
LEVEL = 6
# 1980-01-01 00:00:00, the earliest time a zip entry can carry.
DOS_TIME, DOS_DATE = 0, (1 << 5) | 1
MSDOS_DIRECTORY = 0x10
UTF8_NAMES = 0x800
LIMIT = 0xFFFFFFFF


def order(files):
    """Depth first, names sorted at each level; a folder is an entry only
    when it is empty."""
    names = sorted(files, key=lambda n: n.rstrip("/").split("/"))
    folders = {n[:i + 1] for n in names for i, c in enumerate(n.rstrip("/")) if c == "/"}
    return [n for n in names if not (n.endswith("/") and n in folders)]


def compressed(content):
    """(CRC-32, method, stored bytes, size) of one entry."""
    if content is None:
        return 0, 0, b"", 0
    if not isinstance(content, bytes):
        with open(content, "rb") as f:
            content = f.read()
    crc = zlib.crc32(content)
    packer = zlib.compressobj(LEVEL, zlib.DEFLATED, -15)
    deflated = packer.compress(content) + packer.flush()
    if len(deflated) < len(content):
        return crc, 8, deflated, len(content)
    return crc, 0, content, len(content)


def write_entries(out, top, files):
    names = order(files)
    if len(names) > 0xFFFF:
        raise Refusal(f"the bundle has {len(names)} files, more than a zip without "
                      "ZIP64 can hold: leave out what the app does not need.")
    central = bytearray()
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        for relative, (crc, method, data, size) in zip(
                names, pool.map(compressed, (files[n] for n in names))):
            name = f"{top}/{relative}"
            try:
                encoded, flags = name.encode("ascii"), 0
            except UnicodeEncodeError:
                encoded, flags = name.encode("utf-8"), UTF8_NAMES
            offset = out.tell()
            if max(offset, size) >= LIMIT:
                raise Refusal("the bundle is larger than 4 GiB, more than a zip "
                              "without ZIP64 can hold.")
            version = 20 if method == 8 or relative.endswith("/") else 10
            fields = (flags, method, DOS_TIME, DOS_DATE, crc, len(data), size,
                      len(encoded))
            out.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, version, *fields, 0))
            out.write(encoded)
            out.write(data)
            attributes = MSDOS_DIRECTORY if relative.endswith("/") else 0
            central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, version, version,
                                   *fields, 0, 0, 0, 0, attributes, offset)
            central += encoded
    start = out.tell()
    out.write(central)
    out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(names), len(names),
                          len(central), start, 0))


def write_zip(target, top, files):
    """Writes target and target.sha256; returns the SHA-256. files maps each
    path in the bundle to bytes, a source file, or None for an empty folder."""
    folder = os.path.dirname(os.path.abspath(target))
    os.makedirs(folder, exist_ok=True)
    # Written beside the target and renamed at the end: a failure never
    # leaves a zip that looks finished.
    handle, partial = tempfile.mkstemp(dir=folder, suffix=".partial")
    try:
        with os.fdopen(handle, "wb") as out:
            write_entries(out, top, files)
        with open(partial, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        # mkstemp's file is private to its owner; a zip is not.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(partial, 0o666 & ~umask)
        os.replace(partial, target)
    except BaseException:
        os.remove(partial)
        raise
    with open(target + ".sha256", "w") as f:
        f.write(f"{digest}  {os.path.basename(target)}\n")
    return digest
