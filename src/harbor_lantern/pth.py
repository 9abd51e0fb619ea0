"""The runtime's ._pth file, made to work for a packed app. While a ._pth
sits beside python.exe, Python leaves the script's folder off sys.path and
imports site only on an `import site` line: the app needs `..`, and
installed packages need `Lib\\site-packages` and `import site`."""

from .archive import read_content

MARK = "# added by harbor-lantern"


def pth_additions(text, packages, lib=False):
    paths = {line.strip().replace("/", "\\").rstrip("\\").casefold()
             for line in text.splitlines()
             if line.strip() and not line.lstrip().startswith("#")}
    wanted = [".."]
    # The standard library modules that come as files, tkinter's among them.
    if lib:
        wanted.append("Lib")
    if packages:
        wanted += ["Lib\\site-packages", "import site"]
    return [line for line in wanted if line.casefold() not in paths]


def edit_pth(text, packages, lib=False):
    """The ._pth with the additions after every line of the maker's own."""
    added = pth_additions(text, packages, lib)
    if not added:
        return text
    newline = "\r\n" if "\r\n" in text else "\n"
    if text and not text.endswith(("\n", "\r")):
        text += newline
    return text + newline.join([MARK, *added]) + newline


def edited_pth_files(runtime, packages, lib=False):
    """{path under python/: new bytes} for each ._pth that needs lines."""
    edited = {}
    for name in runtime.pth_files:
        content = read_content(runtime.files[name])
        # Bytes that are not UTF-8 pass through unchanged.
        text = content.decode("utf-8", errors="surrogateescape")
        new = edit_pth(text, packages, lib)
        if new != text:
            edited[name] = new.encode("utf-8", errors="surrogateescape")
    return edited
