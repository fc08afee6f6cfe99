"""Checks of the release: what the built Windows programs carry, --version,
the package tools/release.sh writes, and that a second build is identical.

usage:
  release_checks.py programs VERSION BITS EXE...
      each EXE is a stripped console PE of BITS (32 or 64) with no link time,
      a version resource of VERSION and the manifest
  release_checks.py version VERSION ARCH NAME COMMAND...
      COMMAND --version exits 0 printing "NAME VERSION ARCH"
  release_checks.py package VERSION RELEASE_SCRIPT
      the script writes the package; its files, checksums and programs
  release_checks.py reproducible SOURCE_DIR PRESET TARGET BUILT_FILE
      the preset's TARGET built again in a temporary directory is BUILT_FILE
      byte for byte

Exits 0 when every check holds, 1 with one line per fault otherwise, 77
(skip) when a program cannot be run on this machine.  The PE is read with
the standard library only.
"""
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zipfile

PROGRAMS = ("enumerate-tarsel", "enumerate-tarsel-capture", "enumerate-tarsel-report")
# machine, optional header magic
ARCHITECTURES = {"32": (0x14C, 0x10B), "64": (0x8664, 0x20B)}
RT_VERSION, RT_MANIFEST = 16, 24
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}


class Pe:
    """The headers, sections and resources of a PE image."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, self.timestamp, self.symbol_table, self.symbols, optional_size,
         _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = []
        for i in range(sections):
            name, _, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), rva, raw_size, raw))

    def offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} is in no section")

    def resources(self):
        """{(type, id): bytes} of the resources named by number, first language each."""
        if not self.resource_rva:
            return {}
        base = self.offset(self.resource_rva)
        found = {}
        for type_id, names in self._directory(base, base):
            for name_id, languages in self._directory(base, names):
                _, entry = next(iter(self._directory(base, languages)))
                rva, size = struct.unpack_from("<II", self.data, base + entry)
                found[(type_id, name_id)] = self.data[self.offset(rva):self.offset(rva) + size]
        return found

    def _directory(self, base, at):
        named, numbered = struct.unpack_from("<HH", self.data, at + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
            yield name, (base + (target & 0x7FFFFFFF)) if target & 0x80000000 else target


def version_tree(blob, at=0):
    """One node of a VS_VERSIONINFO: (key, value, children)."""
    length, value_length, text = struct.unpack_from("<HHH", blob, at)
    end = at + length
    key_end = at + 6
    while blob[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = blob[at + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if text else value_length
    value = blob[value_at:value_at + value_size]
    if text:
        value = value.decode("utf-16-le").rstrip("\0")
    children = []
    child = (value_at + value_size + 3) & ~3
    while child < end:
        children.append(version_tree(blob, child))
        child = (child + struct.unpack_from("<H", blob, child)[0] + 3) & ~3
    return key, value, children


def version_faults(blob, name, version, bits):
    key, fixed, children = version_tree(blob)
    if key != "VS_VERSION_INFO":
        return [f"version resource named {key!r}"]
    faults = []
    major, minor, patch = (int(n) for n in version.split("."))
    numbers = struct.unpack_from("<IIIIII", fixed)
    if numbers[0] != 0xFEEF04BD or numbers[2:4] != ((major << 16) | minor, patch << 16):
        faults.append(f"fixed file version {numbers[2]:#x} {numbers[3]:#x}, not {version}")
    strings = {k: v for block, _, tables in children if block == "StringFileInfo"
               for _, _, entries in tables for k, v, _ in entries}
    wanted = {"FileVersion": version, "ProductVersion": version, "ProductName": "enumerate-tarsel",
              "OriginalFilename": name + ".exe", "InternalName": name}
    faults += [f"{k} is {strings.get(k)!r}, not {v!r}" for k, v in wanted.items() if strings.get(k) != v]
    if not strings.get("FileDescription", "").endswith(f"({bits}-bit)"):
        faults.append(f"FileDescription {strings.get('FileDescription')!r} does not name {bits}-bit")
    if "enumerate-tarsel" not in strings.get("LegalCopyright", ""):
        faults.append(f"LegalCopyright {strings.get('LegalCopyright')!r} does not name the project")
    return faults


def manifest_faults(text):
    root = ET.fromstring(text)
    local = {element: element.tag.rsplit("}", 1)[-1] for element in root.iter()}
    levels = [e.get("level") for e, tag in local.items() if tag == "requestedExecutionLevel"]
    systems = {e.get("Id", "").lower() for e, tag in local.items() if tag == "supportedOS"}
    faults = [] if levels == ["asInvoker"] else [f"execution levels {levels}"]
    if systems != SUPPORTED_OS:
        faults.append(f"supported systems {sorted(systems)}")
    faults += [f"manifest sets {tag}" for tag in local.values() if tag in ("activeCodePage", "codePage")]
    return faults


def program_faults(path, version, bits):
    """What is wrong with one shipped program: architecture, stripping, resources."""
    name = os.path.basename(path).removesuffix(".exe")
    with open(path, "rb") as f:
        pe = Pe(f.read())
    faults = []
    if (pe.machine, pe.magic) != ARCHITECTURES[bits]:
        faults.append(f"machine {pe.machine:#x} magic {pe.magic:#x}, not a {bits}-bit PE")
    if pe.subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        faults.append(f"subsystem {pe.subsystem}, not the console")
    if pe.symbol_table or pe.symbols or any(s[0].startswith(("/", ".debug")) for s in pe.sections):
        faults.append(f"not stripped: {pe.symbols} symbols, sections {[s[0] for s in pe.sections]}")
    if pe.timestamp:
        faults.append(f"link time {pe.timestamp} in the header")
    resources = pe.resources()
    if (RT_VERSION, 1) in resources:
        faults += version_faults(resources[(RT_VERSION, 1)], name, version, bits)
    else:
        faults.append("no version resource")
    if (RT_MANIFEST, 1) in resources:
        faults += manifest_faults(resources[(RT_MANIFEST, 1)])
    else:
        faults.append("no manifest")
    return [f"{path}: {fault}" for fault in faults]


def check_programs(version, bits, *paths):
    return [fault for path in paths for fault in program_faults(path, version, bits)]


def check_version(version, arch, name, *command):
    done = subprocess.run([*command, "--version"], capture_output=True, timeout=300)
    if done.returncode == 77:
        print("skipped: this machine cannot run the program's code")
        sys.exit(77)
    out = done.stdout.decode(errors="replace").replace("\r", "")
    wanted = f"{name} {version} {arch}\n"
    return [] if done.returncode == 0 and out == wanted else [
        f"{name} --version: exit {done.returncode}, printed {out!r}, not {wanted!r}"]


def check_package(version, script):
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run(["sh", script, scratch], check=True, timeout=3000)
        top = f"enumerate-tarsel-{version}-windows"
        with zipfile.ZipFile(os.path.join(scratch, top + ".zip")) as package:
            package.extractall(scratch)
            names = sorted(package.namelist())
        wanted = sorted([f"{top}/{f}" for f in ("SHA256SUMS", "SUPPORT.md", "docs/report.md")] +
                        [f"{top}/{bits}-bit/{p}.exe" for bits in ARCHITECTURES for p in PROGRAMS])
        if names != wanted:
            return [f"package holds {names}, not {wanted}"]
        root = os.path.join(scratch, top)
        faults = sums_faults(root, [n.removeprefix(top + "/") for n in names if not n.endswith("SHA256SUMS")])
        for bits in ARCHITECTURES:
            faults += check_programs(version, bits, *(os.path.join(root, f"{bits}-bit", p + ".exe") for p in PROGRAMS))
        return faults


def sums_faults(root, files):
    """SHA256SUMS lists every other file of the package with its digest."""
    with open(os.path.join(root, "SHA256SUMS"), encoding="ascii") as f:
        listed = dict(reversed(line.rstrip("\n").split("  ", 1)) for line in f)
    if sorted(listed) != sorted(files):
        return [f"SHA256SUMS lists {sorted(listed)}, not {sorted(files)}"]
    faults = []
    for path, digest in listed.items():
        with open(os.path.join(root, path), "rb") as f:
            if hashlib.sha256(f.read()).hexdigest() != digest:
                faults.append(f"SHA256SUMS: wrong digest for {path}")
    return faults


def check_reproducible(source, preset, target, built):
    with tempfile.TemporaryDirectory(prefix="tarsel-again-") as again:
        steps = (["cmake", "-S", source, "--preset", preset, "-B", again, "-DTARSEL_BUILD_TESTS=OFF"],
                 ["cmake", "--build", again, "--target", target, "-j2"])
        for step in steps:
            subprocess.run(step, check=True, stdout=subprocess.DEVNULL, timeout=3000)
        with open(built, "rb") as a, open(os.path.join(again, os.path.basename(built)), "rb") as b:
            first, second = a.read(), b.read()
    if first == second:
        return []
    differ = next((i for i, (x, y) in enumerate(zip(first, second)) if x != y), min(len(first), len(second)))
    return [f"{built}: a second build differs from byte {differ:#x} ({len(first)} and {len(second)} bytes)"]


def main(command, *args):
    checks = {"programs": check_programs, "version": check_version, "package": check_package,
              "reproducible": check_reproducible}
    faults = checks[command](*args)
    for fault in faults:
        print(fault)
    print(f"release {command}: {'FAILED' if faults else 'ok'}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
