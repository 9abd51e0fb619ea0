import sys


class Refusal(Exception):
    """One line for the maker: what is wrong with which input, and what to do.
    Raised before the zip is renamed into place, so a refused pack leaves no
    zip behind."""


def warn(text):
    """One line on standard error, and the pack goes on."""
    print(f"harbor-lantern: warning: {text}", file=sys.stderr)
