#!/usr/bin/env python3
"""Checks tools/install-deps.sh against package mirrors as they are on a bad
day, with stand-ins for apt-get, dpkg-query, dpkg and sudo first on the PATH:
an index update that keeps failing, i386 packages that cannot be installed,
a required package that cannot be installed."""
import os
import subprocess
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "install-deps.sh")
LINE_32 = ("32-bit Wine could not be installed (apt-get: held broken packages); "
           "the 32-bit Windows tests will be skipped")

# apt-get stands in for a mirror mid-sync: every call is logged; "update" fails
# as apt does when an index is out of step; "install" refuses what $REFUSE matches.
APT_GET = r'''#!/bin/sh
echo "$*" >>"$CALLS"
case "$1" in
update)
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100 ;;
install)
    case "$*" in
    *$REFUSE*)
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100 ;;
    esac ;;
esac
exit 0
'''
STANDINS = {
    "apt-get": APT_GET,
    "dpkg-query": "#!/bin/sh\nexit 1\n",  # nothing is installed yet
    "dpkg": '#!/bin/sh\necho "dpkg $*" >>"$CALLS"\n',
    "sudo": '#!/bin/sh\nexec "$@"\n',
}


class InstallDepsTest(unittest.TestCase):
    def run_script(self, refuse):
        with tempfile.TemporaryDirectory() as d:
            for name, body in STANDINS.items():
                path = os.path.join(d, name)
                with open(path, "w") as f:
                    f.write(body)
                os.chmod(path, 0o755)
            calls = os.path.join(d, "calls")
            env = dict(os.environ, PATH=d + os.pathsep + os.environ["PATH"], CALLS=calls, REFUSE=refuse,
                       TARSEL_APT_PAUSE="0")
            r = subprocess.run(["sh", SCRIPT, "all"], env=env, capture_output=True, text=True, timeout=60)
            with open(calls) as f:
                return r, f.read().splitlines()

    def test_bad_mirror_days(self):
        cases = [
            # what apt refuses, exit status, 32-bit line printed
            (":i386", 0, True),
            ("wine64", 100, False),  # a required package: apt's own failure ends the set-up
        ]
        for refuse, status, line_32 in cases:
            with self.subTest(refuse=refuse):
                r, calls = self.run_script(refuse)
                self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                self.assertEqual(calls.count("update -q"), 3)  # retried, then the lists at hand
                self.assertIn("dpkg --add-architecture i386", calls)
                required = next(c for c in calls if c.startswith("install") and "wine64" in c)
                for package in ("g++-mingw-w64-i686", "g++-mingw-w64-x86-64", "clang", "nlohmann-json3-dev"):
                    self.assertIn(package, required.split())
                self.assertNotIn(":i386", required)
                self.assertEqual(LINE_32 in r.stdout.splitlines(), line_32)
                if status:
                    self.assertIn("held broken packages", r.stderr)


if __name__ == "__main__":
    unittest.main()
