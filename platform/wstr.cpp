#include "platform/wstr.h"

#include <cstdlib>
#include <cstring>

namespace wstr {

WCHAR *DupCalloc(const WCHAR *s, size_t n) {
    auto *copy = static_cast<WCHAR *>(std::calloc(n + 1, sizeof(WCHAR)));
    if (copy != nullptr && n != 0) std::memcpy(copy, s, n * sizeof(WCHAR));
    return copy;
}

WString FromAscii(std::string_view s) {
    WString out;
    out.reserve(s.size());
    for (unsigned char c : s) out.push_back(static_cast<WCHAR>(c));
    return out;
}

std::string ToLatin1(WStringView s) {
    std::string out;
    out.reserve(s.size());
    for (WCHAR c : s) out.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    return out;
}

std::string ToUtf8(WStringView s) {
    std::string out;
    out.reserve(s.size());  // exact for ASCII, the usual case
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = static_cast<uint16_t>(s[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size()) {
            uint32_t lo = static_cast<uint16_t>(s[i + 1]);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

WString FromUtf8(std::string_view s) {
    WString out;
    out.reserve(s.size());  // never fewer bytes than characters
    size_t i = 0;
    while (i < s.size()) {
        // A run of ASCII, most text, is widened without decoding.
        size_t ascii = i;
        while (ascii < s.size() && static_cast<unsigned char>(s[ascii]) < 0x80) ++ascii;
        if (ascii > i) {
            const size_t at = out.size();
            out.resize(at + (ascii - i));
            for (size_t k = i; k < ascii; ++k) out[at + (k - i)] = static_cast<WCHAR>(s[k]);
            i = ascii;
            continue;
        }
        auto c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t extra;
        if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            out.push_back(static_cast<WCHAR>(0xFFFD));
            ++i;
            continue;
        }
        bool ok = true;
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        if (!ok) {
            out.push_back(static_cast<WCHAR>(0xFFFD));
            ++i;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(cp));
        }
    }
    return out;
}

}  // namespace wstr
