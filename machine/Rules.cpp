#include "machine/Rules.h"

#include <cstring>

#include "platform/win32.h"

namespace machine::rules {

namespace {

char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// "\\.\" or "\\?\" and a drive letter's two characters, such as \\.\C:.
bool IsDrive(WStringView rest) { return rest.size() == 2 && rest[1] == ':'; }

// The status and Win32 error pairs RtlNtStatusToDosError knows; `opens`
// marks those an open error given as one of the two converts to the other.
struct CodePair {
    uint32_t status;
    uint32_t win32;
    bool opens;
};
constexpr CodePair kCodes[] = {
    {0x00000000u, 0, false},
    {0x80000005u, 234, false},
    {0xC0000001u, ERROR_GEN_FAILURE, true},
    {0xC0000004u, 24, false},
    {0xC0000008u, 6, false},
    {0xC000000Du, ERROR_INVALID_PARAMETER, true},
    {0xC0000010u, ERROR_INVALID_FUNCTION, true},
    {0xC0000022u, ERROR_ACCESS_DENIED, true},
    {0xC0000023u, 122, false},
    {0xC0000034u, ERROR_FILE_NOT_FOUND, true},
    {0xC000003Au, ERROR_PATH_NOT_FOUND, true},
    {0xC0000043u, 32, true},
    {0xC00000A3u, ERROR_NOT_READY, true},
};
constexpr uint32_t kUnknownStatus = 317;         // ERROR_MR_MID_NOT_FOUND
constexpr uint32_t kOpenStatusOther = 0xC0000001u;  // STATUS_UNSUCCESSFUL

constexpr uint32_t kGenericAll = 0x10000000u;

}  // namespace

WString Folded(WStringView text) {
    WString key(text);
    for (WCHAR &c : key) c = wstr::FoldAscii(c);
    return key;
}

std::string Folded(std::string_view utf8) {
    std::string key(utf8);
    for (char &c : key) c = FoldChar(c);
    return key;
}

bool StartsNoCase(WStringView text, std::string_view asciiPrefix) {
    if (text.size() < asciiPrefix.size()) return false;
    for (size_t i = 0; i < asciiPrefix.size(); ++i)
        if (wstr::FoldAscii(text[i]) != wstr::FoldAscii(static_cast<WCHAR>(asciiPrefix[i]))) return false;
    return true;
}

bool IdHasEnumerator(WStringView id, WStringView enumerator) {
    const size_t n = enumerator.size();
    return id.size() > n && id[n] == '\\' && wstr::EqualNoCase(id.substr(0, n), enumerator);
}

Name UserPathName(WStringView path) {
    for (std::string_view root : {std::string_view("\\\\.\\GLOBALROOT"), std::string_view("\\\\?\\GLOBALROOT")})
        if (StartsNoCase(path, root)) return {Name::Kind::KernelName, WString(path.substr(root.size()))};
    for (std::string_view prefix : {std::string_view("\\\\.\\"), std::string_view("\\\\?\\")})
        if (StartsNoCase(path, prefix) && IsDrive(path.substr(prefix.size())))
            return {Name::Kind::Drive, WString(path.substr(prefix.size()))};
    return {Name::Kind::Itself, WString(path)};
}

Name NativeName(WStringView name) {
    for (std::string_view prefix : {std::string_view("\\??\\"), std::string_view("\\GLOBAL??\\")}) {
        if (!StartsNoCase(name, prefix)) continue;
        const WStringView rest = name.substr(prefix.size());
        if (IsDrive(rest)) return {Name::Kind::Drive, WString(rest)};
        return {Name::Kind::Interface, WString(WS("\\\\?\\")) + WString(rest)};
    }
    return {Name::Kind::Itself, WString(name)};
}

const char *ForwardingPartner(std::string_view library, const char *name) {
    if (name == nullptr || std::strncmp(name, "CM_", 3) != 0) return nullptr;
    if (library == "setupapi.dll") return "cfgmgr32.dll";
    if (library == "cfgmgr32.dll") return "setupapi.dll";
    return nullptr;
}

bool AsksWrite(uint32_t access) {
    return (access & (GENERIC_WRITE | kGenericAll | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                      FILE_WRITE_ATTRIBUTES)) != 0;
}

uint32_t DosErrorOf(uint32_t status) {
    for (const CodePair &p : kCodes)
        if (p.status == status) return p.win32;
    return kUnknownStatus;
}

OpenCodes OpenCodesOf(uint32_t code) {
    const bool isStatus = code >= 0x80000000u;
    OpenCodes codes{isStatus ? static_cast<uint32_t>(ERROR_GEN_FAILURE) : code, isStatus ? code : kOpenStatusOther};
    for (const CodePair &p : kCodes) {
        if (!p.opens) continue;
        if (isStatus && p.status == code) codes.win32 = p.win32;
        if (!isStatus && p.win32 == code) codes.status = p.status;
    }
    return codes;
}

SetQuery SetQueryOf(uint32_t flags, bool enumerator) {
    return {(flags & DIGCF_DEVICEINTERFACE) != 0, (flags & DIGCF_ALLCLASSES) != 0, (flags & DIGCF_PRESENT) != 0,
            enumerator};
}

}  // namespace machine::rules
