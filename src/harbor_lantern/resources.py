"""Brands a prebuilt launcher: the maker's icon, ProductName and
ProductVersion go into its resources, with no compiler.

No maintained Python library writes PE resources, so this module does, and
only that: it reads the resource section into a tree, changes the tree, lays
the tree out as a new section in place of the old one, and moves only what
follows it (the base relocations, which nothing but their data directory
points to). Code, data and imports keep their bytes and addresses.

The section's layout, as Windows reads it:

    directory tables   three levels (type, name, language); each a 16-byte
                       header and 8-byte entries, named entries first (sorted),
                       then id entries (ascending); a set high bit marks a
                       subdirectory or a name
    name strings       a 16-bit length and UTF-16 code units
    data entries       16 bytes each: RVA, size, code page, reserved
    data               each resource's bytes, 8-aligned
"""
import struct
from array import array
from dataclasses import dataclass, field

from .refusal import Refusal

RT_STRING, RT_ICON, RT_GROUP_ICON, RT_VERSION = 6, 3, 14, 16
# The windowed launcher titles its dialogs with this string.
PRODUCT_NAME_STRING = 1
SUBDIRECTORY = 0x80000000
DIR_RESOURCE, DIR_SECURITY, DIR_BASERELOC = 2, 4, 5


def align(value, to):
    return (value + to - 1) // to * to


@dataclass
class Section:
    header: int       # file offset of its 40-byte header
    name: bytes
    virtual_size: int
    rva: int
    raw_size: int
    raw_pointer: int


@dataclass
class Image:
    data: bytes
    optional: int     # file offset of the optional header
    directories: int  # file offset of the data directories
    sections: list = field(default_factory=list)

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    @property
    def section_alignment(self):
        return self.u32(self.optional + 32)

    @property
    def file_alignment(self):
        return self.u32(self.optional + 36)

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset_of(self, rva):
        for s in self.sections:
            if s.rva <= rva < s.rva + max(s.virtual_size, s.raw_size):
                return s.raw_pointer + rva - s.rva
        raise ValueError(f"RVA 0x{rva:X} is in no section")


def read_image(data, what):
    try:
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError("not a 64-bit image")
        image = Image(bytes(data), optional, optional + 112)
        for i in range(count):
            header = optional + optional_size + 40 * i
            name, vsize, rva, rsize, rptr = struct.unpack_from("<8sIIII", data, header)
            image.sections.append(Section(header, name.rstrip(b"\0"), vsize, rva,
                                          rsize, rptr))
    except (struct.error, ValueError) as error:
        raise Refusal(f"{what} is not a 64-bit Windows executable ({error}).")
    return image


# -- the resource tree: {type: {name: {language: Resource}}} ------------------
# Types and names are ints (ids) or strs (names).

@dataclass
class Resource:
    data: bytes
    code_page: int = 0


def read_tree(image):
    rva, size = image.directory(DIR_RESOURCE)
    if not size:
        return {}
    base = image.offset_of(rva)
    data = image.data

    def name_of(value):
        if not value & SUBDIRECTORY:
            return value
        at = base + (value & ~SUBDIRECTORY)
        length = struct.unpack_from("<H", data, at)[0]
        return data[at + 2:at + 2 + 2 * length].decode("utf-16-le")

    def directory(offset, depth):
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        node = {}
        for i in range(named + ids):
            key, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
            if depth < 2:
                node[name_of(key)] = directory(target & ~SUBDIRECTORY, depth + 1)
            else:
                data_rva, length, code_page = struct.unpack_from(
                    "<III", data, base + target)
                start = image.offset_of(data_rva)
                node[name_of(key)] = Resource(data[start:start + length], code_page)
        return node

    return directory(0, 0)


def ordered(node):
    return (sorted((k for k in node if isinstance(k, str)), key=str.upper)
            + sorted(k for k in node if isinstance(k, int)))


def lay_out(tree, rva):
    """The section's bytes for the tree, to be loaded at rva."""
    levels = [[tree]]
    for _ in range(2):
        levels.append([node[k] for node in levels[-1] for k in ordered(node)])
    leaves = [node[k] for node in levels[2] for k in ordered(node)]
    offsets, at = {}, 0
    for level in levels:
        for node in level:
            offsets[id(node)] = at
            at += 16 + 8 * len(node)
    names = {}
    for level in levels:
        for node in level:
            for key in node:
                if isinstance(key, str) and key not in names:
                    names[key] = at
                    at += 2 + len(key.encode("utf-16-le"))
    at = align(at, 4)
    for leaf in leaves:
        offsets[id(leaf)] = at
        at += 16
    data_at = {}
    for leaf in leaves:
        at = align(at, 8)
        data_at[id(leaf)] = at
        at += len(leaf.data)
    out = bytearray(at)
    for depth, level in enumerate(levels):
        for node in level:
            keys = ordered(node)
            start = offsets[id(node)]
            struct.pack_into("<IIHHHH", out, start, 0, 0, 0, 0,
                             sum(isinstance(k, str) for k in keys),
                             sum(isinstance(k, int) for k in keys))
            for i, key in enumerate(keys):
                entry = names[key] | SUBDIRECTORY if isinstance(key, str) else key
                target = offsets[id(node[key])]
                if depth < 2:
                    target |= SUBDIRECTORY
                struct.pack_into("<II", out, start + 16 + 8 * i, entry, target)
    for name, at in names.items():
        units = name.encode("utf-16-le")
        struct.pack_into("<H", out, at, len(units) // 2)
        out[at + 2:at + 2 + len(units)] = units
    for leaf in leaves:
        start = data_at[id(leaf)]
        struct.pack_into("<IIII", out, offsets[id(leaf)], rva + start, len(leaf.data),
                         leaf.code_page, 0)
        out[start:start + len(leaf.data)] = leaf.data
    return bytes(out)


def replace_tree(image, tree, what):
    """The image with its resource section laid out anew from tree."""
    rva, _ = image.directory(DIR_RESOURCE)
    if image.directory(DIR_SECURITY)[1]:
        raise Refusal(f"{what} is signed already: brand the unsigned launcher.")
    ordered_sections = sorted(image.sections, key=lambda s: s.rva)
    rsrc = next((s for s in ordered_sections if s.rva == rva), None)
    if rsrc is None:
        raise Refusal(f"{what} has no resource section of its own.")
    after = ordered_sections[ordered_sections.index(rsrc) + 1:]
    if any(s.name != b".reloc" for s in after):
        raise Refusal(f"{what} has sections after its resources that code may point "
                      "into: it is not a Harbor-Lantern launcher.")
    end = max(s.raw_pointer + s.raw_size for s in image.sections)
    if end != len(image.data) or rsrc.raw_pointer + rsrc.raw_size != (
            after[0].raw_pointer if after else end):
        raise Refusal(f"{what} has data outside its sections: it is not a "
                      "Harbor-Lantern launcher.")

    section = lay_out(tree, rsrc.rva)
    raw = section.ljust(align(len(section), image.file_alignment), b"\0")
    data = bytearray(image.data[:rsrc.raw_pointer]) + raw
    moves = []
    rva_end = align(rsrc.rva + len(section), image.section_alignment)
    for s in after:
        moves.append((s, rva_end - s.rva, len(data)))
        data += image.data[s.raw_pointer:s.raw_pointer + s.raw_size]
        rva_end = align(rva_end + s.virtual_size, image.section_alignment)

    struct.pack_into("<IIII", data, rsrc.header + 8, len(section), rsrc.rva, len(raw),
                     rsrc.raw_pointer)
    struct.pack_into("<II", data, image.directories + 8 * DIR_RESOURCE, rsrc.rva,
                     len(section))
    for s, delta, pointer in moves:
        struct.pack_into("<IIII", data, s.header + 8, s.virtual_size, s.rva + delta,
                         s.raw_size, pointer)
        for index in range(16):
            if index == DIR_SECURITY:  # a file offset, not an RVA
                continue
            at, size = image.directory(index)
            if size and s.rva <= at < s.rva + s.virtual_size:
                struct.pack_into("<I", data, image.directories + 8 * index, at + delta)
    initialized = image.u32(image.optional + 8) + len(raw) - rsrc.raw_size
    struct.pack_into("<I", data, image.optional + 8, initialized)
    struct.pack_into("<I", data, image.optional + 56, rva_end)  # SizeOfImage
    struct.pack_into("<I", data, image.optional + 64, pe_checksum(data, image.optional))
    return bytes(data)


def pe_checksum(data, optional):
    """The PE checksum: 16-bit one's complement sum of the file with the
    checksum field taken as 0, plus the file's length."""
    words = bytearray(data)
    words[optional + 64:optional + 68] = bytes(4)
    if len(words) % 2:
        words.append(0)
    total = sum(array("H", bytes(words)))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


# -- the version resource -----------------------------------------------------
# VS_VERSIONINFO is a tree of blocks: wLength, wValueLength, wType, a
# NUL-terminated UTF-16 key, padding to 4, the value, padding to 4, the
# children. A text value's wValueLength counts code units, a binary one's
# bytes.

@dataclass
class Block:
    key: str
    text: bool
    value: bytes
    children: list


def parse_block(data, at=0):
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    start = align(key_end + 2, 4)
    value_end = start + (2 * value_length if kind == 1 else value_length)
    children, child = [], align(value_end, 4)
    while child < end:
        block, child_end = parse_block(data, child)
        children.append(block)
        child = align(child_end, 4)
    return Block(key, kind == 1, data[start:value_end], children), end


def write_block(block):
    out = bytearray(6) + (block.key + "\0").encode("utf-16-le")
    out += bytes(align(len(out), 4) - len(out)) + block.value
    for child in block.children:
        out += bytes(align(len(out), 4) - len(out)) + write_block(child)
    if len(out) > 0xFFFF:
        raise Refusal("the version resource would exceed 64 KiB: use shorter names.")
    value_length = len(block.value) // 2 if block.text else len(block.value)
    struct.pack_into("<HHH", out, 0, len(out), value_length, int(block.text))
    return bytes(out)


def set_version_strings(data, strings):
    """The version resource with those StringFileInfo values replaced, in
    every language it has; the other values and the fixed numbers kept."""
    root, _ = parse_block(data)
    found = set()
    for info in root.children:
        if info.key != "StringFileInfo":
            continue
        for table in info.children:
            for value in table.children:
                if value.key in strings:
                    value.value = (strings[value.key] + "\0").encode("utf-16-le")
                    found.add(value.key)
    missing = set(strings) - found
    if missing:
        raise Refusal("the launcher's version resource has no "
                      + ", ".join(sorted(missing)) + ": it is not a Harbor-Lantern "
                      "launcher.")
    return write_block(root)


# -- the string table ---------------------------------------------------------
# Strings live in blocks of 16, block n + 1 holding ids 16n to 16n + 15, each
# string a 16-bit length and that many UTF-16 code units.

def set_string(block, string_id, text):
    strings, at = [], 0
    for _ in range(16):
        length = struct.unpack_from("<H", block, at)[0]
        strings.append(block[at + 2:at + 2 + 2 * length])
        at += 2 + 2 * length
    strings[string_id % 16] = text.encode("utf-16-le")
    return b"".join(struct.pack("<H", len(s) // 2) + s for s in strings)


# -- icons --------------------------------------------------------------------

def read_icon(data, what):
    """The images of an .ico file, and the group resource that names them
    as RT_ICON ids 1 to n: the file's directory with 14-byte entries, each
    ending in its id where the file had its offset."""
    try:
        reserved, kind, count = struct.unpack_from("<HHH", data)
        if reserved != 0 or kind != 1 or count == 0:
            raise ValueError
        group = bytearray(struct.pack("<HHH", 0, 1, count))
        images = []
        for i in range(count):
            entry = data[6 + 16 * i:6 + 16 * i + 16]
            size, offset = struct.unpack_from("<II", entry, 8)
            if len(entry) < 16 or not size or offset < 6 + 16 * count \
                    or offset + size > len(data):
                raise ValueError
            images.append(data[offset:offset + size])
            group += entry[:12] + struct.pack("<H", i + 1)
    except (struct.error, ValueError):
        raise Refusal(f"{what} is not a valid .ico file: make one with ImageMagick "
                      "(convert 16.png 32.png 48.png 256.png app.ico).")
    return images, bytes(group)


def brand(exe, what, icon=None, icon_label="--icon", strings=None):
    """The launcher's bytes with the icon (the bytes of an .ico) as its first
    and only icon group and the version strings replaced."""
    image = read_image(exe, what)
    tree = read_tree(image)
    versions = tree.get(RT_VERSION, {})
    if len(versions) != 1:
        raise Refusal(f"{what} has no version resource: it is not a Harbor-Lantern "
                      "launcher.")
    [languages] = versions.values()
    language, version = next(iter(languages.items()))
    if strings:
        for resource in languages.values():
            resource.data = set_version_strings(resource.data, strings)
    block = tree.get(RT_STRING, {}).get(PRODUCT_NAME_STRING // 16 + 1, {})
    if strings and "ProductName" in strings:
        for resource in block.values():
            resource.data = set_string(resource.data, PRODUCT_NAME_STRING,
                                       strings["ProductName"])
    if icon is not None:
        images, group = read_icon(icon, icon_label)
        tree.pop(RT_ICON, None)
        # Explorer shows the first group.
        tree[RT_GROUP_ICON] = {1: {language: Resource(group, version.code_page)}}
        tree[RT_ICON] = {i + 1: {language: Resource(image, version.code_page)}
                         for i, image in enumerate(images)}
    return replace_tree(image, tree, what)
