// The rules of Windows that a machine file relies on, written once: the
// simulator answers by them, and the capture inverts them to write a machine
// that answers a recorded run the same way.  A rule kept in two places drifts,
// and a capture whose rule differs from the replay's does not replay.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/wstr.h"

namespace machine::rules {

// ---- Case folding ---------------------------------------------------------
// Names, paths, identifiers and enumerators compare ignoring the case of the
// ASCII letters A to Z only.

WString Folded(WStringView text);
std::string Folded(std::string_view utf8);
bool StartsNoCase(WStringView text, std::string_view asciiPrefix);

// Whether a device instance identifier lies under an enumerator ("USB" takes
// "USB\VID_...", not "USBSTOR\...").
bool IdHasEnumerator(WStringView id, WStringView enumerator);

// ---- Path resolution ------------------------------------------------------

// What a path names once it is not an interface path (user-mode paths) or
// not an object's own name or alias (native names).
struct Name {
    enum class Kind {
        Itself,      // looked up as it is written: an object name or alias
        KernelName,  // \\.\GLOBALROOT\Device\X: the kernel name \Device\X
        Drive,       // \\.\C:, \??\C: or \GLOBAL??\C:: what dos_devices maps "C:" to
        Interface,   // \??\rest: the interface path \\?\rest
    };
    Kind kind = Kind::Itself;
    WString text;  // the kernel name, the drive ("C:") or the interface path
};
Name UserPathName(WStringView path);
Name NativeName(WStringView name);

// What a user-mode path opens, through `lookups`:
//   int Interface(WStringView path, bool *isInterface): the object of an
//       interface path (-1: none); *isInterface false when no interface has it
//   const WString *Drive(WStringView drive): the drive's target, or null
//   int Object(WStringView name, bool caseInsensitive): an object by name or
//       alias, or -1
// Interface paths first, then a kernel name below GLOBALROOT, a drive through
// its DOS device, and last the path as an object's name or alias.
template <typename Lookups>
int ResolveUserPath(WStringView path, const Lookups &lookups) {
    bool isInterface = false;
    const int object = lookups.Interface(path, &isInterface);
    if (isInterface) return object;
    const Name name = UserPathName(path);
    if (name.kind == Name::Kind::KernelName) return lookups.Object(name.text, true);
    if (name.kind == Name::Kind::Drive) {
        const WString *target = lookups.Drive(name.text);
        if (target != nullptr) return lookups.Object(*target, true);
    }
    return lookups.Object(path, true);
}

// What a native name opens: an object's name or alias, else \??\C: through
// its DOS device, or \??\rest as the interface path \\?\rest.
template <typename Lookups>
int ResolveNativeName(WStringView nativeName, bool caseInsensitive, const Lookups &lookups) {
    const int object = lookups.Object(nativeName, caseInsensitive);
    if (object >= 0) return object;
    const Name name = NativeName(nativeName);
    if (name.kind == Name::Kind::Drive) {
        const WString *target = lookups.Drive(name.text);
        return target == nullptr ? -1 : lookups.Object(*target, true);
    }
    if (name.kind == Name::Kind::Interface) {
        bool isInterface = false;
        const int reached = lookups.Interface(name.text, &isInterface);
        if (isInterface) return reached;
    }
    return -1;
}

// ---- Libraries --------------------------------------------------------------

// setupapi.dll forwards the configuration manager to cfgmgr32.dll, so both
// export every CM_ entry of the two: the other library whose table serves
// `name` for `library`, or null.
const char *ForwardingPartner(std::string_view library, const char *name);

// ---- Access ---------------------------------------------------------------

// Whether an open asks for write access: such opens fail with an object's
// write error when it has one, and the capture tells read opens from write
// opens by it.
bool AsksWrite(uint32_t access);

// ---- Status codes and Win32 errors ----------------------------------------

// RtlNtStatusToDosError: the Win32 error of an NTSTATUS (317,
// ERROR_MR_MID_NOT_FOUND, for one it does not know).
uint32_t DosErrorOf(uint32_t status);

// An open error as a file gives it: a Win32 error (below 0x80000000) or an
// NTSTATUS, and the other of the pair that opens fail with, CreateFileW
// taking the error and NtCreateFile the status.
struct OpenCodes {
    uint32_t win32 = 0;
    uint32_t status = 0;
};
OpenCodes OpenCodesOf(uint32_t code);

// ---- Device information sets ----------------------------------------------

// What SetupDiGetClassDevsW asks for.
struct SetQuery {
    bool interfaces = false;  // DIGCF_DEVICEINTERFACE
    bool all = false;         // DIGCF_ALLCLASSES
    bool present = false;     // DIGCF_PRESENT
    bool enumerator = false;  // an enumerator was given
};
SetQuery SetQueryOf(uint32_t flags, bool enumerator);

// Whether a set of the query takes a device.  `device` answers, each asked
// only when the rule needs it (a large machine has many devices):
//   bool Present(), ClassMatches() (its setup class is the query's),
//   HasInterface() (one of the query's class, any with all; present when
//   asked for), EnumeratorMatches() (its id lies under the enumerator).
template <typename Device>
bool SetSelects(const SetQuery &query, const Device &device) {
    if (query.present && !device.Present()) return false;
    if (query.interfaces) return device.HasInterface();
    if (!query.all && !device.ClassMatches()) return false;
    return !query.enumerator || device.EnumeratorMatches();
}

}  // namespace machine::rules
