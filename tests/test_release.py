"""The release's first check: a tag that is not the package's version stops
the release in one line, before anything is built or published."""
import os
import subprocess
import sys
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools",
                      "release-check.py")
sys.path.insert(0, os.path.join(os.path.dirname(SCRIPT), "..", "src"))
# The packer's run-time dependencies, as make installs them for the checkout.
sys.path.insert(1, os.path.join(os.path.dirname(SCRIPT), "..", "build", "pydeps"))
from harbor_lantern import __version__  # noqa: E402


class Tag(unittest.TestCase):
    def test_a_tag_of_another_version_is_refused(self):
        major, minor, patch = __version__.split(".")
        for tag in (f"v{major}.{minor}.{int(patch) + 1}", f"v{__version__}rc1", "latest"):
            with self.subTest(tag=tag):
                result = subprocess.run([sys.executable, SCRIPT, "--tag", tag,
                                         "--dist", "/nonexistent"],
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr, f"release-check: the tag {tag} is not the "
                                 "version in src/harbor_lantern/__init__.py "
                                 f"({__version__}): tag v{__version__}, or change "
                                 "__version__ first.\n")

    def test_the_right_tag_goes_on_to_the_wheel(self):
        result = subprocess.run([sys.executable, SCRIPT, "--tag", f"v{__version__}",
                                 "--dist", "/nonexistent"],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.stderr, f"release-check: /nonexistent holds 0 wheels of "
                         f"version {__version__}, not one: run make wheel.\n")


if __name__ == "__main__":
    unittest.main()
