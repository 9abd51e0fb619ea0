"""The sample firstrun.py under the host's python3, with the environment
the launcher gives it."""
import os
import subprocess
import sys
import unittest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "sample", "firstrun.py")
LAUNCHER_ENV = {"PYTHONUTF8": "1", "PYTHONNOUSERSITE": "1"}


def run(*args):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(LAUNCHER_ENV)
    return subprocess.run([sys.executable, SCRIPT, *args], capture_output=True,
                          text=True, env=env, timeout=60)


class SampleFirstRun(unittest.TestCase):
    def test_outcomes(self):
        cases = [
            # arguments, exit code, text expected on stdout, on stderr
            ((), 0, ["Hello from firstrun.py", "UTF-8 mode: on",
                     "user site directory: disabled",
                     "interpreter prefix: " + sys.prefix], []),
            (("--greeting", "Hej", "caf\u00e9", "a b"), 0,
             ["Hej from firstrun.py", "words: caf\u00e9 | a b"], []),
            (("--help",), 0, ["usage: Harbor-Lantern.exe", "--greeting"], []),
            # A usage error exits 2, which the launcher passes on silently.
            (("--no-such-option",), 2, [],
             ["usage: Harbor-Lantern.exe", "unrecognized arguments: --no-such-option"]),
        ]
        for args, code, out, err in cases:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, code, result.stderr)
                for text in out:
                    self.assertIn(text, result.stdout)
                for text in err:
                    self.assertIn(text, result.stderr)


if __name__ == "__main__":
    unittest.main()
