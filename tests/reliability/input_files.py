"""Files the tools read that are not files: each refused with exit 2 and one line.

Every program that reads a file named from outside (the program and the
capture through TARSEL_MACHINE, the machine tool, the report's log and its
--machine file) is given a directory, a FIFO, a device that never ends and a
file that cannot be read.  Each must refuse it at once, with exit status 2,
exactly one line on stderr, nothing on stdout and, for the program and the
capture, no log.  So must every reader of machine files be given machine
files whose text would break that line or act on a terminal (line breaks,
escape sequences, C1 controls in keys and values) or whose nesting has no end.

usage: input_files.py PROGRAM CAPTURE MACHINE_TOOL REPORT LOG
"""
import os
import subprocess
import sys
import tempfile


def unreadable(directory):
    """A file whose reading fails.  Root reads any file whatever its mode, so there it is
    /proc/self/mem, a regular file whose first bytes cannot be read."""
    if os.geteuid() == 0:
        return "/proc/self/mem"
    path = os.path.join(directory, "unreadable.json")
    with open(path, "w") as f:
        f.write("{}")
    os.chmod(path, 0)
    return path


def fifo(directory):
    path = os.path.join(directory, "fifo")
    os.mkfifo(path)
    return path


def a_directory(directory):
    path = os.path.join(directory, "folder")
    os.mkdir(path)
    return path


KINDS = [
    ("a directory", a_directory),
    ("a FIFO", fifo),
    ("a device", lambda _: "/dev/zero"),
    ("an unreadable file", unreadable),
]


def machine_file(text):
    def make(directory):
        path = os.path.join(directory, "machine.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path
    return make


CONTENTS = [
    ("a key holding an escape sequence", machine_file('{"a\\u001b[2J\\u0007b": 1}')),
    ("a GUID holding a line break", machine_file('{"devices": [{"id": "A\\\\1", "class": "{x\\ny}"}]}')),
    ("a parent holding C1 controls and DEL", machine_file('{"devices": [{"id": "A\\\\1", "parent": "\\u009b2J\\u007f\\u0085"}]}')),
    ("a raw escape in a string", machine_file('{"devices": [{"id": "A\x1b[2J\n"}]}')),
    ("a comment nested 100,000 deep", machine_file('{"devices": [{"id": "A\\\\1", "comment": ' + "[" * 100000 + "]" * 100000 + "}]}")),
    ("a comment that is an object", machine_file('{"devices": [{"id": "A\\\\1", "comment": {"\\u001b": 1}}]}')),
]


def invocations(program, capture, tool, report, log):
    """(name, argv, extra environment) for a bad file at path."""
    return [
        ("enumerate-tarsel, TARSEL_MACHINE", lambda path: ([program], {"TARSEL_MACHINE": path})),
        ("capture, TARSEL_MACHINE", lambda path: ([capture], {"TARSEL_MACHINE": path})),
        ("tarsel-machine check", lambda path: ([tool, "check", path], {})),
        ("tarsel-machine normalise", lambda path: ([tool, "normalise", path], {})),
        ("report, the log", lambda path: ([report, path], {})),
        ("report, --machine", lambda path: ([report, "--machine", path, log], {})),
    ]


def refused(argv, env, directory):
    try:
        done = subprocess.run(argv, cwd=directory, env=dict(os.environ, **env), capture_output=True, timeout=20)
    except subprocess.TimeoutExpired:
        return "still running after 20 s"
    err = done.stderr.decode(errors="replace")
    if done.returncode != 2 or done.stdout or err.count("\n") != 1 or not err.endswith("\n"):
        return f"exit {done.returncode}, stdout {done.stdout[:200]!r}, stderr {err[:300]!r}"
    if any(c < " " or "\x7f" <= c <= "\x9f" for c in err[:-1]) or "\ufffd" in err:
        return f"a control character or a byte that is not UTF-8 on stderr: {err[:300]!r}"
    if os.path.exists(os.path.join(directory, "enumerate-tarsel.txt")):
        return "the log was touched"
    return None


def main():
    program, capture, tool, report, log = (os.path.abspath(a) for a in sys.argv[1:6])
    failed = total = 0
    machine_readers = invocations(program, capture, tool, report, log)[:4]
    cases = [(kind, make, name, command) for kind, make in KINDS
             for name, command in invocations(program, capture, tool, report, log)]
    cases += [(kind, make, name, command) for kind, make in CONTENTS for name, command in machine_readers]
    for kind, make, name, command in cases:
        with tempfile.TemporaryDirectory() as directory:
            argv, env = command(make(directory))
            problem = refused(argv, env, directory)
        total += 1
        failed += problem is not None
        print(f"{'FAIL' if problem else 'ok  '} {kind}: {name}{': ' + problem if problem else ''}")
    print(f"{failed} failed of {total} checks")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
