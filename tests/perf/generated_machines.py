#!/usr/bin/env python3
"""Generated machines: deterministic, valid for the simulator and by the schema
of machine files (the generator writes keys by hand, the schema is made from
the format's one table), shaped as asked, and the program runs on them with
its operation count written on request.

    generated_machines.py PROGRAM
"""
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GEN = os.path.join(ROOT, "tools", "gen-machine.py")
SCHEMA = os.path.join(ROOT, "machines", "machine.schema.json")
DISK = "{4d36e967-e325-11ce-bfc1-08002be10318}"
CDROM = "{4d36e965-e325-11ce-bfc1-08002be10318}"
HOOKED = "{E768C1E7-986A-404D-BBF3-748B5DCE914A}"
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def generate(devices, seed):
    return subprocess.run([sys.executable, GEN, "--devices", str(devices), "--seed", str(seed)], check=True,
                          capture_output=True, text=True).stdout


def shape(text, devices):
    m = json.loads(text)
    devs = m["devices"]
    check(len(devs) == devices, "%d devices asked, %d written" % (devices, len(devs)))
    ids = {d["id"].lower() for d in devs}
    check(len(ids) == len(devs), "device ids unique")
    check(all(d.get("parent") is None or d["parent"].lower() in ids for d in devs), "every parent exists")
    storage = [d for d in devs if d.get("class") in (DISK, CDROM)]
    check(0.03 * devices <= len(storage) <= 0.08 * devices, "storage is about 5%% (%d of %d)" % (len(storage), devices))
    kinds = {d["id"].split("\\")[0] for d in storage}
    check(devices < 200 or {"USBSTOR", "SD", "SCSI"} <= kinds, "sticks, SD cards and SCSI disks or drives: %s" % sorted(kinds))
    hooked = [d for d in devs if any(i["class"] == HOOKED for i in d.get("interfaces", []))]
    check(0.1 * devices <= len(hooked) <= 0.6 * devices, "a share is hooked (%d)" % len(hooked))
    # Every USB device is plugged into a hub port that names its driver key.
    keys = {p["driver_key"].lower() for o in m["objects"] if "hub" in o for p in o["hub"]["ports"]}
    usb = [d for d in devs if d["id"].startswith("USB\\VID_") and "&MI_" not in d["id"] and "MS_COMP" not in d["id"]]
    check(usb and all(d["properties"]["Driver"].lower() in keys for d in usb), "every USB device sits on a hub port")
    names = {o["name"] for o in m["objects"]}
    check(all(i["object"] in names for d in storage for i in d["interfaces"]), "storage interfaces open objects")
    return storage


def valid_by_schema(text):
    import jsonschema

    with open(SCHEMA) as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    errors = list(validator.iter_errors(json.loads(text)))
    check(not errors, "valid by the schema: %s" % (errors[0].message if errors else ""))


def run(program, text, storage):
    with tempfile.TemporaryDirectory() as work:
        machine = os.path.join(work, "machine.json")
        with open(machine, "w") as f:
            f.write(text)
        stats = os.path.join(work, "stats.txt")
        env = dict(os.environ, TARSEL_MACHINE=machine, TARSEL_SIM_STATS=stats, TARSEL_SIM_STATS_PER_OP="1")
        out = subprocess.run([program], cwd=work, env=env, capture_output=True, text=True, timeout=120)
        check(out.returncode == 0 and out.stdout.strip() == "Enumeration successful",
              "program ran: %d %r %r" % (out.returncode, out.stdout, out.stderr))
        with open(os.path.join(work, "enumerate-tarsel.txt"), encoding="latin-1") as f:
            log = f.read()
        check(all(d["id"] in log for d in storage), "every storage device is in the log")
        with open(stats) as f:
            lines = f.read().split("\n")
        total = lines[0].split()
        fields = [l.rsplit(" ", 1) for l in lines[1:] if l]
        boot = {k: int(v) for k, v in fields if k.startswith("boot_")}
        per_op = [(k, v) for k, v in fields if not k.startswith("boot_")]
        check(sorted(boot) == ["boot_cpu_us", "boot_wall_us"] and all(v > 0 for v in boot.values()),
              "stats give the machine's load time: %r" % boot)
        check(total[0] == "calls" and int(total[1]) > len(storage), "stats start with the call count: %r" % lines[0])
        check(sum(int(n) for _, n in per_op) == int(total[1]), "per-operation counts add up to the total")
        check(any(op == "SetupDiGetClassDevsW" for op, _ in per_op), "the operations are named")

        # Without the per-operation request only the total and the load time.
        env.pop("TARSEL_SIM_STATS_PER_OP")
        os.remove(os.path.join(work, "enumerate-tarsel.txt"))
        out = subprocess.run([program], cwd=work, env=env, capture_output=True, text=True, timeout=120)
        with open(stats) as f:
            keys = [l.split()[0] for l in f.read().split("\n") if l]
        check(out.returncode == 0 and keys == ["calls", "boot_wall_us", "boot_cpu_us"],
              "totals only without TARSEL_SIM_STATS_PER_OP: %r" % keys)
        return int(total[1])


def main():
    program = os.path.abspath(sys.argv[1])
    a, b, c = generate(300, 3), generate(300, 3), generate(300, 4)
    check(a == b, "same size and seed give the same file")
    check(a != c, "another seed gives another file")
    calls = {}
    for devices, text in ((300, a), (60, generate(60, 1))):
        valid_by_schema(text)
        calls[devices] = run(program, text, shape(text, devices))
    check(calls[300] > calls[60], "a larger machine takes more operations")
    print("%d passed, %d failed" % (1 if not failures else 0, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
