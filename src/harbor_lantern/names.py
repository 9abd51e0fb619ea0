"""The names in the zip, as Windows will hold them once unpacked.

Windows refuses some names outright (device names, reserved characters, a
trailing dot or space) and folds case, so two names that differ only in case
become one file. macOS may hand over names in decomposed Unicode (NFD), which
Windows keeps as they are: `import café` written in the usual composed form
(NFC) would then not find the file. So every name goes into the zip in NFC,
and names that meet in NFC, or in NFC and case, are a clash."""
import re
import unicodedata

from .refusal import Refusal, warn

# Device names, with or without an extension: NUL.txt is NUL. The
# superscript digits count as digits for COM and LPT.
DEVICE = re.compile(r"(CON|PRN|AUX|NUL|(COM|LPT)[0-9\u00b9\u00b2\u00b3])", re.I)
UNSAFE_IN_NAME = re.compile(r'[<>:"|?*\\\x00-\x1f]|[. ]$')
# Explorer's "Extract All" unpacks into a folder named after the zip, in
# Downloads; a user name of 20 letters is the longest the logon screen takes.
DOWNLOADS = "C:\\Users\\" + "u" * 20 + "\\Downloads\\"
MAX_PATH = 259


def refusal_of(part):
    """Why Windows cannot hold one path component, or None."""
    if UNSAFE_IN_NAME.search(part):
        return f"the name {part!r} is not allowed there"
    if DEVICE.fullmatch(part.split(".", 1)[0].rstrip(" ")):
        return f"{part!r} is a device name there, with any extension"
    return None


def windows_names(files):
    """files with every path in NFC; refuses a name Windows cannot hold and
    names that Windows would make one. Paths are compared in NFC and case
    folded, component by component: a file and a folder of one name clash,
    while two spellings of one folder only merge."""
    renamed, seen = {}, {}

    def claim(key, original, is_folder):
        other, other_is_folder = seen.setdefault(key, (original, is_folder))
        if other == original or (is_folder and other_is_folder):
            return
        how = ("differ only in case" if other.rstrip("/").casefold()
               == original.rstrip("/").casefold()
               else "are one name on Windows once written in Unicode NFC")
        raise Refusal(f"{other} and {original} {how}, and Windows would keep one of "
                      "them: rename one.")

    for relative, content in files.items():
        parts = relative.rstrip("/").split("/")
        for part in parts:
            reason = refusal_of(part)
            if reason:
                raise Refusal(f"{relative} cannot be unpacked on Windows ({reason}): "
                              "rename it.")
        name = unicodedata.normalize("NFC", relative)
        folded = name.rstrip("/").casefold().split("/")
        for i in range(1, len(parts)):
            claim("/".join(folded[:i]), "/".join(parts[:i]) + "/", True)
        claim("/".join(folded), relative, relative.endswith("/"))
        renamed[name] = content
    return renamed


def windows_length(path):
    """Windows counts UTF-16 code units."""
    return len(path.encode("utf-16-le")) // 2


def longest_unpacked(names, zip_name):
    """(path, length) of the longest path once Explorer has unpacked the zip
    under DOWNLOADS."""
    folder = DOWNLOADS + re.sub(r"\.zip$", "", zip_name, flags=re.I) + "\\"
    path = max((folder + n.rstrip("/").replace("/", "\\") for n in names),
               key=windows_length)
    return path, windows_length(path)


def warn_if_too_long(names, zip_name):
    path, length = longest_unpacked(names, zip_name)
    if length > MAX_PATH:
        warn(f"{path} is {length} characters long once unpacked in Downloads, past "
             f"Windows' {MAX_PATH}: tell your users to unpack the zip into a short "
             "folder such as C:\\Apps, or shorten the names.")
