#!/usr/bin/env python3
"""Plants a machine file's devices in a Wine prefix, laid out in the registry
the way Wine's setupapi reads devices, so that the Windows programs meet them
under Wine.  This is how a developer sees what Wine answers for a machine:
plant it, run the program or the capture in that prefix, read the log.

  wine-plant.py MACHINE.json --reg OUT.reg      write the registry file only
  wine-plant.py MACHINE.json --prefix DIR       write it and import it into DIR

What Wine reads (dlls/setupapi/devinst.c):
- a device is the key HKLM\\System\\CurrentControlSet\\Enum\\<instance id>; its
  ClassGUID value puts it in its class's sets; its registry properties are
  values of that key (DeviceDesc, HardwareID, CompatibleIDs, Driver, ...);
- an interface is the key Control\\DeviceClasses\\{class}\\##?#<path> with a
  DeviceInstance value naming the device, and below it the key "#" (the empty
  reference string) with SymbolicLink (the path the sets report) and, for a
  present interface, Control\\Linked = 1.
Wine keeps no presence of devices, no status, parent or DEVINST in the
registry: it answers those itself, whatever the machine file says.  Objects
(disks, hubs) have no driver under Wine, so opening an interface path fails
as Wine fails it.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

ENUM = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum"
DEVICE_CLASSES = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses"
# Machine-file property names and the registry value names Wine reads them from.
VALUE_NAMES = {
    "DeviceDesc": "DeviceDesc", "HardwareIDs": "HardwareID", "CompatibleIDs": "CompatibleIDs",
    "Service": "Service", "Class": "Class", "ClassGUID": "ClassGUID", "Driver": "Driver",
    "Mfg": "Mfg", "FriendlyName": "FriendlyName", "LocationInformation": "LocationInformation",
}
REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 3, 4, 7


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def hex_value(kind, data):
    return f"hex({kind:x}):" + ",".join(f"{b:02x}" for b in data)


def utf16z(text):
    return (text + "\0").encode("utf-16-le")


def value_text(value):
    """A machine-file property as the data of a .reg line."""
    if isinstance(value, str):
        return quoted(value)
    if isinstance(value, list):
        return hex_value(REG_MULTI_SZ, b"".join(utf16z(s) for s in value) + b"\0\0")
    kind = value["type"]
    if "bytes" in value:
        return hex_value(kind, bytes.fromhex(value["bytes"]))
    data = value["value"]
    if isinstance(data, int):
        return hex_value(kind, (data & 0xFFFFFFFF).to_bytes(4, "little"))
    if isinstance(data, list):
        return hex_value(kind, b"".join(utf16z(s) for s in data) + b"\0\0")
    return hex_value(kind, utf16z(data))


def interface_keys(interface, instance_id):
    """The keys and values of one interface, as Wine's setupapi names them."""
    path = interface["path"]
    if not path.startswith("\\\\?\\"):
        raise ValueError(f"interface path {path!r} does not start with \\\\?\\")
    link, _, refstr = path[4:].partition("\\")
    klass = f"{DEVICE_CLASSES}\\{interface['class']}\\##?#{link}"
    keys = [(klass, {"DeviceInstance": quoted(instance_id)}),
            (f"{klass}\\#{refstr}", {"SymbolicLink": quoted(path)})]
    if interface.get("present", True):
        keys.append((f"{klass}\\#{refstr}\\Control", {"Linked": "dword:00000001"}))
    return keys


def registry_file(machine):
    keys = []
    for device in machine.get("devices", []):
        values = {}
        if "class" in device:
            values["ClassGUID"] = quoted(device["class"])
        for name, value in device.get("properties", {}).items():
            if name in VALUE_NAMES:
                values[VALUE_NAMES[name]] = value_text(value)
        keys.append((f"{ENUM}\\{device['id']}", values))
        for interface in device.get("interfaces", []):
            keys += interface_keys(interface, device["id"])
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in keys:
        lines.append(f"[{key}]")
        lines += [f"{quoted(name)}={data}" for name, data in values.items()]
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def import_into(prefix, reg):
    here = os.path.dirname(os.path.abspath(__file__))
    reg_exe = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/reg.exe"
    env = dict(os.environ, WINEPREFIX=os.path.abspath(prefix))
    done = subprocess.run(["sh", os.path.join(here, "wine-run.sh"), reg_exe, "import", reg], env=env,
                          capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        sys.exit(f"reg import into {prefix}: exit {done.returncode}: {done.stderr.strip() or done.stdout.strip()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("machine")
    parser.add_argument("--reg", help="where to write the registry file")
    parser.add_argument("--prefix", help="the Wine prefix to import it into")
    args = parser.parse_args()
    if not args.reg and not args.prefix:
        parser.error("give --reg, --prefix or both")
    try:
        with open(args.machine, encoding="utf-8") as f:
            text = registry_file(json.load(f))
    except (OSError, ValueError, KeyError, TypeError) as e:
        sys.exit(f"{args.machine}: {e}")
    with tempfile.TemporaryDirectory() as scratch:
        reg = args.reg or os.path.join(scratch, "machine.reg")
        with open(reg, "w", encoding="utf-16", newline="") as f:
            f.write(text)
        if args.prefix:
            import_into(args.prefix, reg)


if __name__ == "__main__":
    main()
