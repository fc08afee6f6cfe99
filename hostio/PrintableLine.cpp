// Escaping what a file said before it reaches a terminal: a line break
// would split a one-line message and an escape sequence would act on the
// engineer's terminal.
#include <cstdio>

#include "hostio/HostIo.h"

namespace hostio {

namespace {

void AppendEscape(std::string &out, const char *form, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, form, value);
    out += text;
}

// The length of the well-formed UTF-8 sequence at `at`, or 0.
size_t Utf8Length(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    // Overlong forms, surrogates and values above U+10FFFF.
    const unsigned second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second >= 0x90))
        return 0;
    return length;
}

}  // namespace

std::string PrintableLine(std::string_view text, C1Form c1) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        // Runs of printable ASCII, nearly all of any text, go in one append.
        size_t plain = i;
        while (plain < text.size() && static_cast<unsigned char>(text[plain]) - 0x20u < 0x5Fu) ++plain;
        if (plain != i) {
            out.append(text.data() + i, plain - i);
            i = plain;
            continue;
        }
        const unsigned c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '\n') out += "\\n";
            else if (c == '\r') out += "\\r";
            else if (c == '\t') out += "\\t";
            else if (c < 0x20 || c == 0x7F) AppendEscape(out, "\\x%02X", c);
            else out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        const size_t length = Utf8Length(text, i);
        if (length == 0) {
            AppendEscape(out, "\\x%02X", c);
            ++i;
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            AppendEscape(out, c1 == C1Form::Hex ? "\\x%02X" : "\\u%04X", static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace hostio
