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
