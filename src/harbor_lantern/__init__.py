"""Harbor-Lantern: packs a Python application with a Windows Python runtime
and a tiny launcher into a zip that users unpack and double-click."""

# Also the version of the launchers built from the same commit: CMake reads
# it from here.
__version__ = "1.1.0"
