// Numbers as wide text for the record's string fields, written the way the
// C runtime's "%x", "%u" and "%08X" conversions write them.
#pragma once

#include <cstdint>

#include "platform/wstr.h"

namespace numtext {

// "0x" and lower-case hexadecimal digits without leading zeros ("0x0" for 0).
inline WString HexLower(uint32_t value) {
    WCHAR digits[8];
    int n = 0;
    do {
        digits[n++] = static_cast<WCHAR>("0123456789abcdef"[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    WString out = WS("0x");
    while (n > 0) out.push_back(digits[--n]);
    return out;
}

// Unsigned decimal without leading zeros.
inline WString Decimal(uint32_t value) {
    WCHAR digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<WCHAR>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    WString out;
    while (n > 0) out.push_back(digits[--n]);
    return out;
}

// Exactly eight upper-case hexadecimal digits with leading zeros.
inline WString Hex8Upper(uint32_t value) {
    WString out(8, WS('0'));
    for (int i = 7; i >= 0; --i) {
        out[static_cast<size_t>(i)] = static_cast<WCHAR>("0123456789ABCDEF"[value & 0xF]);
        value >>= 4;
    }
    return out;
}

}  // namespace numtext
