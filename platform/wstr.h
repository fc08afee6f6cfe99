// 16-bit wide strings, the same on both builds (wchar_t on Windows,
// char16_t on Linux), and the few C-runtime style helpers the logic needs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/win32.h"

#ifdef _WIN32
#define WS(s) L##s
#else
#define WS(s) u##s
#endif

using WString = std::basic_string<WCHAR>;
using WStringView = std::basic_string_view<WCHAR>;

namespace wstr {

// Length up to the first NUL; a null pointer has length 0.
inline size_t Len(const WCHAR *s) {
    if (s == nullptr) return 0;
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

// Length up to the first NUL, but never past `limit` characters.
inline size_t LenBounded(const WCHAR *s, size_t limit) {
    if (s == nullptr) return 0;
    size_t n = 0;
    while (n < limit && s[n] != 0) ++n;
    return n;
}

// The value of one hexadecimal digit, either case, of a narrow or wide
// text; -1 for any other character.
template <typename Char>
constexpr int HexDigitValue(Char c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

inline WCHAR FoldAscii(WCHAR c) { return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + ('a' - 'A')) : c; }

// Whole-string comparison ignoring the case of the ASCII letters A to Z, as
// the C runtime's _wcsicmp does in the "C" locale.  Null counts as empty.
inline bool EqualNoCase(const WCHAR *a, const WCHAR *b) {
    if (a == nullptr) a = WS("");
    if (b == nullptr) b = WS("");
    for (;; ++a, ++b) {
        const WCHAR x = *a, y = *b;
        // Fold only where the characters differ: compared names mostly agree.
        if (x != y && FoldAscii(x) != FoldAscii(y)) return false;
        if (x == 0) return true;
    }
}

// EqualNoCase of two counted strings.  It compares from the end: names of one
// kind share long prefixes (a driver key is its class GUID and then an
// instance number, interface paths start alike) and differ at the end.
inline bool EqualNoCase(WStringView a, WStringView b) {
    if (a.size() != b.size()) return false;
    for (size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i] && FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

// EqualNoCase of a text terminated within its first `capacity` characters and
// a name of known length without terminators inside.
inline bool EqualNoCaseSized(const WCHAR *text, size_t capacity, WStringView name) {
    return name.size() < capacity && text[name.size()] == 0 && EqualNoCase(WStringView(text, name.size()), name);
}

// A C string as a counted one, null as empty, at most `limit` characters.
inline WStringView ViewBounded(const WCHAR *s, size_t limit) {
    return s == nullptr ? WStringView() : WStringView(s, LenBounded(s, limit));
}

inline bool EqualExact(const WCHAR *a, const WCHAR *b) {
    if (a == nullptr) a = WS("");
    if (b == nullptr) b = WS("");
    for (;; ++a, ++b) {
        if (*a != *b) return false;
        if (*a == 0) return true;
    }
}

// Compares at most n characters ignoring ASCII case; a shorter string differs.
inline bool PrefixNoCase(const WCHAR *s, const WCHAR *prefix, size_t n) {
    if (s == nullptr) return false;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == 0 || FoldAscii(s[i]) != FoldAscii(prefix[i])) return false;
    }
    return true;
}

// Heap copy of the first n characters and a NUL, with calloc, released by
// the receiver with free(); null on failure.
WCHAR *DupCalloc(const WCHAR *s, size_t n);
inline WCHAR *DupCalloc(const WCHAR *s) { return DupCalloc(s, Len(s)); }

// ASCII text to a wide string (for literals built at run time).
WString FromAscii(std::string_view s);
// Wide to single-byte: U+0000..U+00FF as the byte of that value, above as '?'.
std::string ToLatin1(WStringView s);
// Wide to UTF-8 (for messages and tests).
std::string ToUtf8(WStringView s);
WString FromUtf8(std::string_view s);

}  // namespace wstr
