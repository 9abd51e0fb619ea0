"""Prints the SHA-256 of the zip of the files named on the command line, in
each --compression: what the tests compare between CPUs. Chunks are 64 KiB,
so that the chunked stream is covered in seconds even under emulation.

    zip_digests.py OUT FILE..."""
import os
import sys

from harbor_lantern import archive

archive.CHUNK = 1 << 16
out, *paths = sys.argv[1:]
files = {os.path.basename(p): p for p in paths}
files["empty/"] = None
print(" ".join(archive.write_zip(f"{out}-{compression}.zip", "T", files, compression)
               for compression in ("fast", "default", "small")))
