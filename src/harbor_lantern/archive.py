"""The zip the user unpacks, and its .sha256.

Entries are written in a fixed order with one fixed time stamp, no owner and
the same permission bits for every file and every folder, so the same inputs
give the same bytes on any machine.
Memory stays bounded whatever the size of the app: the work is cut into
chunks of at most CHUNK input bytes that a pool of threads compresses (both
compressors release the GIL) at most WINDOW bytes ahead of the writer, and
the SHA-256 is taken as the bytes are written. Deflate is libdeflate's and
zlib-ng's, at the versions the package pins, not the zlib that Python was
built with: they are several times faster for the same size, and the same
compressors, whose output does not depend on the CPU's vector instructions,
give the same bytes on every host. libdeflate deflates a whole buffer in one
call, faster and smaller than zlib-ng; it cannot carry a stream across
calls, so zlib-ng deflates the chunks of large files, and fast is zlib-ng's
level 1 throughout, faster than libdeflate's.

A file larger than one chunk is deflated chunk by chunk, each chunk primed
with the 32 KiB before it and ended on a byte boundary, so that the chunks
join into one deflate stream whose bytes do not depend on the threads; its
CRC and sizes, known only at its end, follow its data in a data descriptor.
Entries of the runtime's zip that are already deflated or stored are copied
with their compressed bytes, checked against their CRC on the way; only
--compression small deflates them again, as python.org's zip is not
compressed at the highest level, and keeps python.org's bytes where they
are smaller.

ZIP64 records (APPNOTE 4.5, 4.3.14-4.3.15) are written only where the plain
format ends: more than 65,535 entries, or a size or offset at or above
4 GiB. zipfile can neither copy compressed bytes nor compress in parallel,
so the few records of the format are written here.
"""
import hashlib
import os
import struct
import tempfile
import zipfile
from collections import deque
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import deflate as libdeflate
from zlib_ng import zlib_ng as zlib

from .refusal import Refusal


def zlib_ng_deflate(data, level, primer=b"", mode=zlib.Z_FINISH):
    packer = (zlib.compressobj(level, zlib.DEFLATED, -15, zdict=primer) if primer
              else zlib.compressobj(level, zlib.DEFLATED, -15))
    return packer.compress(data) + packer.flush(mode)


def libdeflate_deflate(data, level):
    return libdeflate.deflate_compress(data, level)


@dataclass(frozen=True)
class Compression:
    """How a --compression deflates: an entry of one chunk with each
    (compressor, level) of whole, the chunks of a larger file with each
    zlib-ng level of chunks, the smallest kept. small weighs every byte:
    nothing is stored unless deflating fails to shrink it, and the runtime's
    entries are deflated again."""
    whole: tuple
    chunks: tuple
    every_byte: bool = False


# Measured on real files (a scientific stack), against zlib's level 9:
# zlib-ng 1 is the fastest there is, a third bigger; libdeflate 6 is 0.4 %
# smaller at two and a half times zlib 6's speed; libdeflate 9 is 1.2 %
# smaller in three quarters of zlib-ng 9's time. For chunks, zlib-ng 6 is
# within 3 %, and on data that hardly compresses zlib-ng's 6 can beat its 9,
# so small tries both.
COMPRESSIONS = {
    "fast": Compression(((zlib_ng_deflate, 1),), (1,)),
    "default": Compression(((libdeflate_deflate, 6),), (6,)),
    "small": Compression(((libdeflate_deflate, 9),), (9, 6), every_byte=True),
}
# The largest member of the runtime's zip that small deflates again, in
# memory as one piece.
RECOMPRESSED = 64 << 20
CHUNK = 4 << 20
WINDOW = 64 << 20
# Entries waiting at once, whatever their size: many tiny files cost memory
# for their bookkeeping too.
MAX_AHEAD = 4096
DICTIONARY = 32 << 10
# The samples that tell data that hardly compresses, and how little it must
# shrink at level 1 to be stored.
SAMPLE = 16 << 10
INCOMPRESSIBLE = 0.97
# 1980-01-01 00:00:00, the earliest time a zip entry can carry.
DOS_TIME, DOS_DATE = 0, (1 << 5) | 1
MSDOS_DIRECTORY = 0x10
MADE_ON_UNIX = 3 << 8
UNIX_FILE = 0o100644
UNIX_DIRECTORY = 0o040755
UTF8_NAMES = 0x800
DATA_DESCRIPTOR = 0x08
LIMIT = 0xFFFFFFFF
MAX_ENTRIES = 0xFFFF
ZIP64_EXTRA = 0x0001
CRC_POLYNOMIAL = 0xEDB88320


@dataclass(frozen=True)
class Member:
    """An entry of a zip file on disk, to be copied with its compressed bytes."""
    archive: str
    name: str
    header_offset: int
    method: int
    crc: int
    compressed_size: int
    size: int


def read_content(content, size=None):
    """The bytes of an entry's content (all of them, or the first size)."""
    if content is None:
        return b""
    if isinstance(content, bytes):
        return content if size is None else content[:size]
    if isinstance(content, Member):
        with zipfile.ZipFile(content.archive) as archive:
            data = archive.read(content.name)
        return data if size is None else data[:size]
    with open(content, "rb") as f:
        return f.read(-1 if size is None else size)


def order(files):
    """Depth first, names sorted at each level; a folder is an entry only
    when it is empty."""
    names = sorted(files, key=lambda n: n.rstrip("/").split("/"))
    folders = {n[:i + 1] for n in names for i, c in enumerate(n.rstrip("/")) if c == "/"}
    return [n for n in names if not (n.endswith("/") and n in folders)]


# -- CRC-32 of a file from the CRCs of its chunks ----------------------------
# crc(A + B) is crc(A) moved on by len(B) zero bytes, xor crc(B). Moving a
# CRC on is linear over GF(2): a 32 x 32 matrix, kept as the images of the
# 32 bits, for each power of two bytes.

def _apply(operator, value):
    result, bit = 0, 0
    while value:
        if value & 1:
            result ^= operator[bit]
        value >>= 1
        bit += 1
    return result


def _one_zero_byte(bit):
    register = 1 << bit
    for _ in range(8):
        register = (register >> 1) ^ (CRC_POLYNOMIAL if register & 1 else 0)
    return register


_SHIFTS = [[_one_zero_byte(bit) for bit in range(32)]]
for _ in range(63):
    _SHIFTS.append([_apply(_SHIFTS[-1], column) for column in _SHIFTS[-1]])


def crc32_combine(crc_a, crc_b, length_b):
    power = 0
    while length_b:
        if length_b & 1:
            crc_a = _apply(_SHIFTS[power], crc_a)
        length_b >>= 1
        power += 1
    return crc_a ^ crc_b


# -- the work done on the pool's threads -------------------------------------

def incompressible(data):
    """Whether samples from the start, middle and end of data hardly shrink
    at level 1: native code's data, media and archives inside an app. Such
    data is stored (level 0) at once, where deflating it would cost as much
    as compressible data and save next to nothing. Small data is always
    tried whole."""
    if len(data) < 4 * SAMPLE:
        return False
    kept = 0
    for at in (0, (len(data) - SAMPLE) // 2, len(data) - SAMPLE):
        packer = zlib.compressobj(1, zlib.DEFLATED, -15)
        kept += len(packer.compress(data[at:at + SAMPLE]) + packer.flush())
    return kept >= 3 * SAMPLE * INCOMPRESSIBLE


def compress_whole(content, compression):
    """(CRC-32, method, stored bytes, size) of an entry of one chunk: stored
    when deflating would not shrink it, or at once when samples say it will
    not, unless every byte counts (small)."""
    data = read_content(content)
    crc = zlib.crc32(data)
    if compression.every_byte or not incompressible(data):
        deflated = min((compress(data, level) for compress, level in compression.whole),
                       key=len)
        if len(deflated) < len(data):
            return crc, 8, deflated, len(data)
    return crc, 0, data, len(data)


def deflate_chunk(data, compression, primer=b"", mode=zlib.Z_FINISH):
    """The chunk as deflate blocks that end on a byte boundary (or end the
    stream): stored blocks for data that would not shrink, unless every
    byte counts."""
    levels = (compression.chunks if compression.every_byte or not incompressible(data)
              else (0,))
    return min((zlib_ng_deflate(data, level, primer, mode) for level in levels), key=len)


def compress_chunk(path, start, length, last, compression):
    """(CRC-32, deflated bytes) of one chunk of a large file."""
    primer_start = max(0, start - DICTIONARY)
    with open(path, "rb") as f:
        f.seek(primer_start)
        primer = f.read(start - primer_start)
        data = f.read(length)
    if len(data) != length:
        raise Refusal(f"{path} changed while it was being packed: pack again.")
    # Each chunk ends on a byte boundary and the next is primed with the data
    # before it, whatever level deflated it: the chunks join into one stream.
    return zlib.crc32(data), deflate_chunk(data, compression, primer,
                                           zlib.Z_FINISH if last else zlib.Z_SYNC_FLUSH)


# -- the records ----------------------------------------------------------------

class Output:
    """The zip being written: where it is, and its SHA-256 so far."""

    def __init__(self, f):
        self.f, self.offset, self.digest = f, 0, hashlib.sha256()

    def write(self, data):
        self.f.write(data)
        self.digest.update(data)
        self.offset += len(data)


@dataclass
class Entry:
    name: bytes
    flags: int
    content: object
    size: int
    chunks: int       # 0: written by the writer itself (a folder, a member)
    folder: bool
    offset: int = 0
    crc: int = 0
    compressed: int = 0
    method: int = 8
    zip64: bool = False  # sizes in ZIP64 form in its local header


def local_header(entry, crc, compressed, size):
    version = 45 if entry.zip64 else 20 if entry.method == 8 or entry.folder else 10
    extra = b""
    if entry.zip64:
        extra = struct.pack("<HHQQ", ZIP64_EXTRA, 16, size, compressed)
        compressed = size = LIMIT
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, version, entry.flags, entry.method,
                       DOS_TIME, DOS_DATE, crc, compressed, size, len(entry.name),
                       len(extra)) + entry.name + extra


def central_record(entry):
    fields, compressed, size, offset = [], entry.compressed, entry.size, entry.offset
    if entry.zip64 or size >= LIMIT:
        fields.append(size)
        size = LIMIT
    if entry.zip64 or compressed >= LIMIT:
        fields.append(compressed)
        compressed = LIMIT
    if offset >= LIMIT:
        fields.append(offset)
        offset = LIMIT
    extra = (struct.pack("<HH", ZIP64_EXTRA, 8 * len(fields))
             + b"".join(struct.pack("<Q", v) for v in fields)) if fields else b""
    version = 45 if fields else 20 if entry.method == 8 or entry.folder else 10
    # "Made on Unix", with the mode in the high half of the attributes and the
    # DOS ones in the low: Info-ZIP's unzip reads the names of entries made on
    # MS-DOS in the DOS code page, UTF-8 flag or not; every reader takes these.
    attributes = (UNIX_DIRECTORY << 16 | MSDOS_DIRECTORY if entry.folder
                  else UNIX_FILE << 16)
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, MADE_ON_UNIX | version, version,
                       entry.flags, entry.method, DOS_TIME, DOS_DATE, entry.crc,
                       compressed, size, len(entry.name), len(extra), 0, 0, 0,
                       attributes, offset) + entry.name + extra


def end_records(out, count, start, size):
    if count > MAX_ENTRIES or start >= LIMIT or size >= LIMIT:
        at = out.offset
        out.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count,
                              size, start))
        out.write(struct.pack("<IIQI", 0x07064B50, 0, at, 1))
    out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, min(count, MAX_ENTRIES),
                          min(count, MAX_ENTRIES), min(size, LIMIT), min(start, LIMIT), 0))


def copy_member(out, entry):
    """Writes a member of another zip with its compressed bytes, inflating
    them on the way only to check its CRC."""
    member = entry.content
    label = f"{member.archive} at {member.name}"
    with open(member.archive, "rb") as f:
        f.seek(member.header_offset)
        header = f.read(30)
        if len(header) < 30 or header[:4] != b"PK\3\4":
            raise Refusal(f"{label} is damaged (no local header): download it again.")
        name_length, extra_length = struct.unpack_from("<HH", header, 26)
        f.seek(member.header_offset + 30 + name_length + extra_length)
        out.write(local_header(entry, member.crc, member.compressed_size, member.size))
        inflater = zlib.decompressobj(-15) if member.method == 8 else None
        crc, size, left = 0, 0, member.compressed_size
        while left:
            block = f.read(min(left, CHUNK // 4))
            if not block:
                raise Refusal(f"{label} is cut short: download it again.")
            left -= len(block)
            out.write(block)
            try:
                plain = inflater.decompress(block) if inflater else block
            except zlib.error:
                crc = None
                break
            crc, size = zlib.crc32(plain, crc), size + len(plain)
    if (crc, size) != (member.crc, member.size):
        raise Refusal(f"{label} does not match its CRC: download it again.")


def entries(top, files, recompress=False):
    for relative in order(files):
        content = files[relative]
        name = f"{top}/{relative}"
        try:
            encoded, flags = name.encode("ascii"), 0
        except UnicodeEncodeError:
            encoded, flags = name.encode("utf-8"), UTF8_NAMES
        folder = relative.endswith("/")
        if folder:
            yield Entry(encoded, flags, None, 0, 0, True, method=0)
        elif isinstance(content, Member) and not (recompress and content.size
                                                  <= RECOMPRESSED):
            yield Entry(encoded, flags, content, content.size, 0, False,
                        crc=content.crc, compressed=content.compressed_size,
                        method=content.method,
                        zip64=max(content.size, content.compressed_size) >= LIMIT)
        elif isinstance(content, Member):
            yield Entry(encoded, flags, content, content.size, 1, False)
        else:
            size = len(content) if isinstance(content, bytes) else os.path.getsize(content)
            chunks = 1 if size <= CHUNK else -(-size // CHUNK)
            entry = Entry(encoded, flags, content, size, chunks, False)
            if chunks > 1:
                entry.flags |= DATA_DESCRIPTOR
                # Deflate's worst case grows the data a little: 4 GiB is
                # reached a little before the input reaches it.
                entry.zip64 = size + (size >> 11) + 4096 >= LIMIT
            yield entry


def tasks(top, files, compression):
    """(entry, chunk index, work to submit, input bytes) in the zip's order."""
    for entry in entries(top, files, recompress=compression.every_byte):
        if entry.chunks == 0:
            yield entry, 0, None, 0
        elif entry.chunks == 1:
            yield entry, 0, (compress_whole, entry.content, compression), entry.size
        else:
            for i in range(entry.chunks):
                length = min(CHUNK, entry.size - i * CHUNK)
                last = i == entry.chunks - 1
                yield entry, i, (compress_chunk, entry.content, i * CHUNK, length,
                                 last, compression), length


def write_entries(out, top, files, compression):
    central = bytearray()
    count = 0
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        ahead, ahead_bytes, source = deque(), 0, tasks(top, files, compression)
        try:
            while True:
                for entry, index, work, size in source:
                    ahead.append((entry, index, pool.submit(*work) if work else None,
                                  size))
                    ahead_bytes += size
                    if ahead_bytes >= WINDOW or len(ahead) >= MAX_AHEAD:
                        break
                if not ahead:
                    break
                entry, index, future, size = ahead.popleft()
                ahead_bytes -= size
                if index == 0:
                    entry.offset = out.offset
                    count += 1
                if entry.folder:
                    out.write(local_header(entry, 0, 0, 0))
                elif future is None:
                    copy_member(out, entry)
                elif entry.chunks == 1:
                    # Its size as read, should the file have changed since.
                    entry.crc, entry.method, data, entry.size = future.result()
                    member = entry.content if isinstance(entry.content, Member) else None
                    if member and entry.crc != member.crc:
                        raise Refusal(f"{member.archive} at {member.name} does not match "
                                      "its CRC: download it again.")
                    if member and member.compressed_size <= len(data):
                        # python.org's own deflate was as small: copied as it is.
                        entry.method, entry.compressed = member.method, member.compressed_size
                        copy_member(out, entry)
                    else:
                        entry.compressed = len(data)
                        out.write(local_header(entry, entry.crc, entry.compressed,
                                               entry.size))
                        out.write(data)
                else:
                    if index == 0:
                        out.write(local_header(entry, 0, 0, 0))
                    crc, data = future.result()
                    entry.crc = crc if index == 0 else crc32_combine(
                        entry.crc, crc, min(CHUNK, entry.size - index * CHUNK))
                    entry.compressed += len(data)
                    out.write(data)
                    if index < entry.chunks - 1:
                        continue
                    out.write(struct.pack("<IIQQ" if entry.zip64 else "<IIII", 0x08074B50,
                                          entry.crc, entry.compressed, entry.size))
                central += central_record(entry)
        except BaseException:
            pool.shutdown(cancel_futures=True)
            raise
    start = out.offset
    out.write(central)
    end_records(out, count, start, len(central))


def write_zip(target, top, files, compression="default"):
    """Writes target and target.sha256; returns the SHA-256. files maps each
    path in the bundle to bytes, a source file, a Member of another zip, or
    None for an empty folder."""
    folder = os.path.dirname(os.path.abspath(target))
    os.makedirs(folder, exist_ok=True)
    # Both are written beside the targets and renamed at the end, the zip
    # last but one: a failure, a full disk among them, never leaves a zip
    # that looks finished.
    handle, partial = tempfile.mkstemp(dir=folder, suffix=".partial")
    sums = partial + ".sha256"
    try:
        try:
            with os.fdopen(handle, "wb") as f:
                out = Output(f)
                write_entries(out, top, files, COMPRESSIONS[compression])
            digest = out.digest.hexdigest()
            # Binary: sha256sum wants a line feed, and Windows' text mode
            # would write CR LF.
            with open(sums, "wb") as f:
                f.write(f"{digest}  {os.path.basename(target)}\n".encode())
        except OSError as error:
            raise Refusal(f"cannot write {target} ({error.strerror or error}): free "
                          "some space or give --out another folder; no zip was written.")
        # mkstemp's file is private to its owner; a zip is not.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(partial, 0o666 & ~umask)
        os.replace(partial, target)
        os.replace(sums, target + ".sha256")
    except BaseException:
        for leftover in (partial, sums):
            if os.path.exists(leftover):
                os.remove(leftover)
        raise
    return digest
