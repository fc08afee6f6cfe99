#!/usr/bin/env python3
"""Machine files against their tool, their schema and the program.

    machine_files.py roundtrip TOOL PROGRAM   normalise, check, normalise again, and compare the program's logs
    machine_files.py schema TOOL              the schema is the generated one; it and the reader agree

Every shipped, golden and test machine file takes part.
"""
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCHEMA = os.path.join(ROOT, "machines", "machine.schema.json")


def machines():
    files = glob.glob(os.path.join(ROOT, "machines", "*.json"))
    files += glob.glob(os.path.join(ROOT, "tests", "golden", "machines", "*.json"))
    files += glob.glob(os.path.join(ROOT, "tests", "sim", "machines", "*.json"))
    return sorted(f for f in files if f != SCHEMA)


def bad_machines():
    return sorted(glob.glob(os.path.join(ROOT, "tests", "sim", "machines", "bad", "*.json")))


def deep_list(depth):
    return json.loads("[" * depth + "]" * depth)


HUB = {"name": "\\Device\\Hub", "hub": {"ports": [{"port": 1}]}}
# (what, the machine, its verdict, for an exception: where in the schema its
# description is and the words that tell the reader's rule).  A verdict of
# "exception" means the schema accepts what the reader refuses.
VERDICTS = [
    ("the least machine", {"devices": [{"id": "ROOT\\1"}]}, "valid", None),
    ("clock at the int64 maximum", {"clock": 9223372036854775807}, "valid", None),
    ("clock above the int64 maximum", {"clock": 9223372036854775808}, "invalid", None),
    ("clock below the int64 minimum", {"clock": -9223372036854775809}, "invalid", None),
    ("clock as 1e18", {"clock": 1e18}, "exception", (["properties", "clock"], "which this schema cannot tell")),
    ("problem as 1.0", {"devices": [{"id": "A\\1", "problem": 1.0}]}, "exception",
     (["$defs", "device", "properties", "problem"], "which this schema cannot tell")),
    ("a devinst of 0", {"devices": [{"id": "A\\1", "devinst": 0}]}, "invalid", None),
    ("a devinst above 32 bits", {"devices": [{"id": "A\\1", "devinst": 4294967296}]}, "invalid", None),
    ("a port of 0", {"objects": [dict(HUB, hub={"ports": [{"port": 0}]})]}, "invalid", None),
    ("an empty id", {"devices": [{"id": ""}]}, "invalid", None),
    ("an empty object name", {"objects": [{"name": ""}]}, "invalid", None),
    ("a text comment", {"devices": [{"id": "A\\1", "comment": "spare"}]}, "valid", None),
    ("a comment of control characters", {"devices": [{"id": "A\\1", "comment": "\x1b[2J\x7f\x9b\n"}]}, "valid", None),
    ("a null comment", {"objects": [dict(HUB, comment=None)]}, "valid", None),
    ("a comment object", {"devices": [{"id": "A\\1", "comment": {"text": "x"}}]}, "invalid", None),
    ("a comment number", {"objects": [dict(HUB, hub={"ports": [{"port": 1, "comment": 7}]})]}, "invalid", None),
    ("a deep comment", {"devices": [{"id": "A\\1", "comment": deep_list(200)}]}, "invalid", None),
    ("a handle value", {"handle_values": ["0x104", 264]}, "valid", None),
    ("a handle value of 0", {"handle_values": [0]}, "invalid", None),
    ("a handle value not a multiple of 4", {"handle_values": ["0x106"]}, "invalid", None),
    ("a handle value of 0xFFFFFFFF", {"handle_values": [4294967295]}, "invalid", None),
    ("a volume serial of 4 digits", {"volumes": {"C:": {"serial": "1A2B"}}}, "invalid", None),
    ("a CID of one byte", {"objects": [{"name": "\\Device\\Sd", "sd_cid": "00"}]}, "invalid", None),
    ("a string index with a leading zero", {"objects": [dict(HUB, hub={"ports": [{"port": 1, "strings": {"01": "x"}}]})]},
     "valid", None),
    ("a string index of 0", {"objects": [dict(HUB, hub={"ports": [{"port": 1, "strings": {"0": "x"}}]})]}, "invalid", None),
    ("a string of 127 characters", {"objects": [dict(HUB, hub={"ports": [{"port": 1, "strings": {"1": "x" * 127}}]})]},
     "invalid", None),
    ("a library named in capitals", {"libraries": {"KERNEL32.DLL": "missing"}}, "valid", None),
    ("an unknown library", {"libraries": {"kernel33.dll": "missing"}}, "invalid", None),
    ("two devices of one id", {"devices": [{"id": "A\\1"}, {"id": "a\\1"}]}, "exception",
     (["$defs", "device", "properties", "id"], "unique ignoring case")),
    ("a parent not in the file", {"devices": [{"id": "A\\1", "parent": "B\\1"}]}, "exception",
     (["$defs", "device", "properties", "parent"], "one of the file's devices")),
]


def verdicts(tool, validator, document):
    """Each machine of VERDICTS through the schema and the reader: the same verdict, or a documented exception."""
    failures = []
    with tempfile.TemporaryDirectory() as work:
        for what, machine, verdict, exception in VERDICTS:
            path = os.path.join(work, "machine.json")
            with open(path, "w") as f:
                json.dump(machine, f)
            by_schema = validator.is_valid(machine)
            check = run([tool, "check", path])
            by_reader = check.returncode == 0
            if check.returncode not in (0, 2) or check.stderr.count(b"\n") != (0 if by_reader else 1):
                failures.append("%s: the reader's check ended %d: %r" % (what, check.returncode, check.stderr[:300]))
            if by_reader and re.search(r"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]", run([tool, "normalise", path]).stdout.decode("latin-1")):
                failures.append("%s: the normalised file holds a control character as it is" % what)
            expected = (by_schema, by_reader) == ((True, False) if verdict == "exception" else (verdict == "valid",) * 2)
            if not expected:
                failures.append("%s: the schema says %s, the reader %s, expected %s"
                                % (what, by_schema, by_reader, verdict))
            if exception:
                where, words = exception
                node = document
                for key in where:
                    node = node[key]
                if words not in node.get("description", ""):
                    failures.append("%s: the schema's description at %s does not say %r" % (what, "/".join(where), words))
    return failures


def run(argv, **kwargs):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def log_of(program, machine, work):
    """The program's log on a machine, its time and heap addresses masked."""
    run_dir = tempfile.mkdtemp(dir=work)
    result = run([program], cwd=run_dir, env=dict(os.environ, TARSEL_MACHINE=machine))
    if result.returncode != 0:
        raise AssertionError("%s: the program failed with %d: %s" % (machine, result.returncode, result.stderr))
    with open(os.path.join(run_dir, "enumerate-tarsel.txt"), "rb") as f:
        text = f.read().decode("latin-1")
    text = re.sub(r"(?m)^Log Session: -?[0-9]+\r$", "Log Session: #\r", text)
    return re.sub(r"(?m)^LEAVE GetMediaTypes [0-9A-F]{8} ", "LEAVE GetMediaTypes ######## ", text)


def roundtrip(tool, program):
    failures = []
    with tempfile.TemporaryDirectory() as work:
        for machine in machines():
            name = os.path.relpath(machine, ROOT)
            first = run([tool, "normalise", machine])
            if first.returncode != 0:
                failures.append("%s: normalise failed: %s" % (name, first.stderr.decode()))
                continue
            normal = os.path.join(tempfile.mkdtemp(dir=work), os.path.basename(machine))
            with open(normal, "wb") as f:
                f.write(first.stdout)
            check = run([tool, "check", normal])
            if check.returncode != 0:
                failures.append("%s: the normalised file fails its check: %s" % (name, check.stderr.decode()))
                continue
            again = run([tool, "normalise", normal])
            if again.stdout != first.stdout:
                failures.append("%s: normalising the normalised file changes it" % name)
            if log_of(program, machine, work) != log_of(program, normal, work):
                failures.append("%s: the program's log differs on the normalised file" % name)
    return failures


def schema(tool):
    import jsonschema

    failures = []
    generated = run([tool, "schema"]).stdout.decode()
    with open(SCHEMA) as f:
        if f.read() != generated:
            failures.append("machines/machine.schema.json is not what tarsel-machine schema writes")
    document = json.loads(generated)
    jsonschema.Draft202012Validator.check_schema(document)
    validator = jsonschema.Draft202012Validator(document)
    for machine in machines():
        name = os.path.relpath(machine, ROOT)
        with open(machine) as f:
            errors = list(validator.iter_errors(json.load(f)))
        if errors:
            failures.append("%s: not valid by the schema: %s" % (name, errors[0].message))
        if name.startswith("machines" + os.sep):
            with open(machine) as f:
                if json.load(f).get("$schema") != "machine.schema.json":
                    failures.append("%s: does not name the schema" % name)
    failures += verdicts(tool, validator, document)
    for machine in bad_machines():
        name = os.path.relpath(machine, ROOT)
        check = run([tool, "check", machine])
        line = check.stderr.decode()
        if check.returncode != 2 or not line.startswith("enumerate-tarsel: bad machine file %s: " % machine):
            failures.append("%s: the reader accepts it (exit %d, %r)" % (name, check.returncode, line))
        with open(machine) as f:
            if validator.is_valid(json.load(f)):
                failures.append("%s: the schema accepts it" % name)
    return failures


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "roundtrip":
        failures = roundtrip(os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3]))
    elif len(sys.argv) == 3 and sys.argv[1] == "schema":
        failures = schema(os.path.abspath(sys.argv[2]))
    else:
        sys.exit(__doc__)
    for failure in failures:
        print(failure)
    print("%d machines, %d bad machines, %d failures" % (len(machines()), len(bad_machines()), len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
