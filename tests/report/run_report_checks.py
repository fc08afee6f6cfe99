"""Runs of enumerate-tarsel-report on logs the program writes: the default
machine's log, and that machine with one USB stick removed; every HTML page
the runs give is parsed as XML to prove it well formed."""
import csv
import io
import json
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

PROGRAM, REPORT, SOURCE = sys.argv[1:4]
STICK = "USBSTOR\\DISK&VEN_SANDISK&PROD_ULTRA&REV_1.00\\4C530001230918117143&0"
STICK_USB = "USB\\VID_0781&PID_5581\\4C530001230918117143"
PRINTER = "USB\\VID_03F0&PID_1E2A\\PHBBM12345"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def report(*args, status=0):
    run = subprocess.run([REPORT, *args], capture_output=True, timeout=120)
    check(run.returncode == status, f"{args}: status {run.returncode}, stderr {run.stderr!r}")
    if "html" in args:
        try:
            ElementTree.fromstring(run.stdout)
        except ElementTree.ParseError as error:
            failures.append(f"{args}: HTML not well formed: {error}")
    return json.loads(run.stdout) if "json" in args else run.stdout.decode("utf-8")


def machine_without_stick(path):
    """The default machine with the SanDisk stick unplugged: its two device
    nodes, its disk and volume objects, its drive letter and its hub port."""
    with open(os.path.join(SOURCE, "machines", "default.json")) as file:
        machine = json.load(file)
    gone = [d for d in machine["devices"] if d["id"] in (STICK, STICK_USB)]
    objects = {i.get("object") for d in gone for i in d.get("interfaces", [])} | {"\\Device\\HarddiskVolume7"}
    drivers = {d.get("properties", {}).get("Driver", "").lower() for d in gone}
    machine["devices"] = [d for d in machine["devices"] if d not in gone]
    machine["objects"] = [o for o in machine["objects"] if o["name"] not in objects]
    machine["dos_devices"].pop("D:")
    machine["volumes"].pop("D:", None)
    for obj in machine["objects"]:
        ports = obj.get("hub", {}).get("ports", [])
        ports[:] = [p for p in ports if str(p.get("driver_key", "")).lower() not in drivers]
    with open(path, "w") as file:
        json.dump(machine, file)


def machine_printer_stopped(path):
    """The default machine with the USB printer's node not started."""
    with open(os.path.join(SOURCE, "machines", "default.json")) as file:
        machine = json.load(file)
    for device in machine["devices"]:
        if device["id"] == PRINTER:
            device["status"] = [s for s in device["status"] if s != "DN_STARTED"]
    with open(path, "w") as file:
        json.dump(machine, file)


def listed(log_path):
    """The three lists of each session of the log, read plainly."""
    sessions, current = [], None
    with open(log_path, "rb") as file:
        for line in file.read().decode("latin-1").split("\r\n"):
            if line.startswith("Log Session: "):
                sessions.append({})
                current = None
            elif line in ("All devices: ", "Hooked devices legacy: ", "Hooked devices: "):
                current = {"All devices: ": "all", "Hooked devices legacy: ": "legacy"}.get(line, "hooked")
                sessions[-1][current] = []
            elif current and line.startswith("\t"):
                sessions[-1][current].append(line[1:])
    return sessions


with tempfile.TemporaryDirectory() as directory:
    log = os.path.join(directory, "enumerate-tarsel.txt")
    altered = os.path.join(directory, "no-stick.json")
    machine_without_stick(altered)
    stopped = os.path.join(directory, "printer-stopped.json")
    machine_printer_stopped(stopped)
    for machine in (None, None, altered, stopped):
        env = dict(os.environ)
        env.pop("TARSEL_MACHINE", None)
        if machine:
            env["TARSEL_MACHINE"] = machine
        subprocess.run([PROGRAM], cwd=directory, env=env, check=True, capture_output=True, timeout=120)
    lists = listed(log)

    sessions = report("--list", "--format", "json", log)["sessions"]
    check(len(sessions) == 4, f"--list: {len(sessions)} sessions")
    default = report("--session", "2", "--format", "json", log)["session"]
    devices = {d["id"]: d for d in default["devices"]}
    # Every identifier of the three lists is a row with its counts.
    for name, ids in lists[1].items():
        for ident in ids:
            row = devices.get(ident)
            check(row is not None and row["lists"][name] == ids.count(ident), f"{ident} in {name}: {row and row['lists']}")
    check(default["list_sizes"] == {k: len(v) for k, v in lists[1].items()}, f"list sizes {default['list_sizes']}")
    check(lists[2]["all"] == [i for i in lists[1]["all"] if i != STICK], "the altered machine lost more than the stick")

    same = report("--diff", "1", "2", "--format", "json", log)["diff"]
    check(all(not v for lst in same["lists"].values() for v in lst.values()) and not same["changed_facts"]
          and not same["no_longer_named"] and not same["newly_named"], f"two runs of one machine differ: {same}")
    change = report("--diff", "2", "3", "--format", "json", log)["diff"]
    for name in ("all", "legacy", "hooked"):
        check(change["lists"][name] == {"added": [], "removed": [STICK], "count_changed": []},
              f"--diff {name}: {change['lists'][name]}")
    check(change["no_longer_named"] == [STICK, STICK_USB], f"--diff gone: {change['no_longer_named']}")
    check(change["newly_named"] == [] and change["changed_facts"] == [], f"--diff else: {change}")
    check("- removed  " + STICK in report("--diff", "2", "3", log), "--diff text")
    # Same lists, another reason: the diff names the printer's changed standing.
    reason = report("--diff", "2", "4", "--format", "json", log)["diff"]["changed_facts"]
    check([c for c in reason if c["fact"] == "standing"] == [
        {"id": PRINTER, "fact": "standing", "from": "hooked, not of interest: left out by its class filter",
         "to": "hooked, not of interest: device not started"}], f"--diff standing: {reason}")

    # Every finding, on every golden log and the default machine's, has a
    # reason, a sentence and the lines that show it; every row a standing.
    expected_dir = os.path.join(SOURCE, "tests", "golden", "expected")
    for path in [log] + [os.path.join(expected_dir, n) for n in sorted(os.listdir(expected_dir))]:
        for device in report("--format", "json", path)["session"]["devices"]:
            for finding in device["explained"]:
                check(finding["reason"] and finding["because"] and finding["lines"], f"{path}: {device['id']}: {finding}")
            check(device["standing"]["because"], f"{path}: {device['id']}: no standing")

    # Many logs in one CSV table: the same rows as each log's JSON report.
    golden = [os.path.join(SOURCE, "tests", "golden", "expected", name + ".txt")
              for name in ("default", "hooked_fixed_disk", "started_with_problem")]
    table = list(csv.DictReader(io.StringIO(report("--format", "csv", *golden), newline="")))
    expected = [(path, d["id"], "; ".join(d["findings"]), d["standing"]["because"])
                for path in golden for d in report("--format", "json", path)["session"]["devices"]]
    check([(r["log"], r["id"], r["findings"], r["because"]) for r in table] == expected,
          f"--format csv: {len(table)} rows, {len(expected)} in the JSON reports")
    lines = report("--format", "jsonl", *golden).splitlines()
    check([json.loads(line)["id"] for line in lines] == [e[1] for e in expected], "--format jsonl rows")

    # A captured machine file says who wrote it, and the report repeats it.
    with open(os.path.join(SOURCE, "machines", "default.json")) as file:
        captured = json.load(file)
    captured["captured_by"] = {"program": "enumerate-tarsel-capture", "version": "9.8.7", "architecture": "windows-x86",
                               "windows": {"major": 10, "minor": 0, "build": 19045}}
    captured_path = os.path.join(directory, "captured.json")
    with open(captured_path, "w") as file:
        json.dump(captured, file)
    notes = report("--format", "json", "--machine", captured_path, log)["session"]["notes"]
    check(f"machine file {captured_path}: written by enumerate-tarsel-capture 9.8.7 (windows-x86) on Windows 10.0.19045"
          in notes, f"captured_by note: {notes}")

    for args in (["--list"], [], ["--device", "usb"], ["--machine", os.path.join(SOURCE, "machines", "default.json")],
                 ["--diff", "2", "3"]):
        report(*args, "--format", "html", log)
    with open(log, "rb") as file:
        damaged = file.read()
    cut = os.path.join(directory, "cut.txt")
    with open(cut, "wb") as file:
        file.write(damaged[: len(damaged) // 2] + b"\x00\x01<&\xff")
    report("--format", "html", "--device", "a", cut)
    report("--format", "html", os.path.join(SOURCE, "README.md"), status=1)

for failure in failures:
    print("FAIL:", failure)
print(f"{len(failures)} failure(s)")
sys.exit(1 if failures else 0)
