"""A short run of bench/soak.py against the binary under test: fifty sessions of mixed work,
then every download and upload, leftovers, and the server's descriptors, threads and memory
checked. The full run (200 sessions, three minutes) is bench/soak.py on its own."""
import os
import shlex
import subprocess
import sys
import unittest

from harness import binary, is_windows, launcher

SOAK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "soak.py")
SECONDS = 20
SOCKET_TIMEOUT = 30
SETTLE = 30


class ShortSoak(unittest.TestCase):
    def test_fifty_sessions_of_mixed_work(self):
        if is_windows():
            print("\n[soak] under a launcher /proc describes the launcher: descriptors, threads "
                  "and memory are not checked, the load and the file checks are",
                  file=sys.stderr)
        command = [sys.executable, SOAK, binary(), "--seconds", str(SECONDS), "--sessions", "50",
                   "--upload-budget", "256", "--timeout", str(SOCKET_TIMEOUT),
                   "--settle", str(SETTLE), "--launcher", shlex.join(launcher())]
        # The soak bounds itself; this limit only guards against a soak that does not.
        limit = SECONDS + SOCKET_TIMEOUT * 3 + SETTLE + 120
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=limit)
        output = result.stdout.decode("latin-1")
        print("\n" + output, file=sys.stderr)
        self.assertEqual(result.returncode, 0, output)
        self.assertIn("soak: passed", output)
        self.assertIn("client errors               0", output)


if __name__ == "__main__":
    unittest.main()
