// Comparison of wide strings ignoring letter case, as the C runtime's
// _wcsicmp does in the "C" locale: only A to Z fold.
#include <gtest/gtest.h>

#include <string>

#include "platform/wstr.h"

namespace {

struct Case {
    const WCHAR *a;
    const WCHAR *b;
    bool equal;
};

TEST(WideStringTest, EqualNoCaseFoldsOnlyAsciiLetters) {
    const Case cases[] = {
        {WS("{36FC9E60-C465-11CF-8056-444553540000}\\0012"), WS("{36fc9e60-c465-11cf-8056-444553540000}\\0012"), true},
        {WS("{36fc9e60-c465-11cf-8056-444553540000}\\0012"), WS("{36fc9e60-c465-11cf-8056-444553540000}\\0013"), false},
        {WS("abc"), WS("abcd"), false},  // a prefix is not equal, either way round
        {WS("abcd"), WS("ABC"), false},
        {WS("@"), WS("`"), false},  // 0x40 and 0x60 differ by the case bit but are not letters
        {WS("["), WS("{"), false},
        {WS("Z"), WS("z"), true},
        {WS("\u00C4"), WS("\u00E4"), false},  // beyond ASCII nothing folds
        {WS(""), WS(""), true},
        {nullptr, WS(""), true},  // null counts as empty
        {nullptr, WS("a"), false},
        {WS("a"), nullptr, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(wstr::ToUtf8(c.a == nullptr ? WS("(null)") : c.a) + " / " +
                     wstr::ToUtf8(c.b == nullptr ? WS("(null)") : c.b));
        EXPECT_EQ(wstr::EqualNoCase(c.a, c.b), c.equal);
        EXPECT_EQ(wstr::EqualNoCase(c.b, c.a), c.equal);
        EXPECT_EQ(wstr::EqualNoCase(wstr::ViewBounded(c.a, 100), wstr::ViewBounded(c.b, 100)), c.equal);
        if (c.a != nullptr && c.b != nullptr) {
            // The sized form agrees, given the text with room for its terminator.
            WString text(c.a);
            text.append(2, WCHAR(0));
            EXPECT_EQ(wstr::EqualNoCaseSized(text.data(), text.size(), c.b), c.equal);
        }
    }
}

TEST(WideStringTest, EqualNoCaseSizedEndsTheTextAtItsFirstTerminator) {
    const WCHAR embedded[] = {'A', 'b', 0, 'c', 0};
    EXPECT_TRUE(wstr::EqualNoCaseSized(embedded, 5, WS("ab")));
    EXPECT_FALSE(wstr::EqualNoCaseSized(embedded, 5, WS("abc")));  // what follows the terminator is not text
    EXPECT_FALSE(wstr::EqualNoCaseSized(embedded, 5, WS("a")));
    // No terminator within the capacity: nothing can be equal.
    const WCHAR unterminated[] = {'a', 'b', 'c'};
    EXPECT_FALSE(wstr::EqualNoCaseSized(unterminated, 3, WS("abc")));
    EXPECT_FALSE(wstr::EqualNoCaseSized(unterminated, 3, WS("abcd")));
    EXPECT_TRUE(wstr::EqualNoCaseSized(embedded, 3, WS("AB")));
}

struct Utf8Case {
    std::string utf8;
    std::u16string utf16;
};

TEST(WideStringTest, FromUtf8DecodesRunsAndReplacesBadSequences) {
    const Utf8Case cases[] = {
        {"", u""},
        {"USB\\VID_046D&PID_C52B\\5&1F2A", u"USB\\VID_046D&PID_C52B\\5&1F2A"},
        {"a\xC3\xA4" "b", u"a\u00E4b"},                   // two-byte sequence between ASCII runs
        {"\xE2\x82\xAC" "1", u"\u20AC" "1"},              // three bytes
        {"x\xF0\x9F\x98\x80y", u"x\U0001F600y"},          // four bytes: a surrogate pair
        {"a\xFF" "b", u"a\uFFFD" "b"},                    // not a lead byte
        {"a\xC3", u"a\uFFFD"},                            // cut short at the end
        {"\xC3" "b", u"\uFFFD" "b"},                      // continuation missing
        {"\x7F\x01", u"\x7F\x01"},
    };
    for (const Utf8Case &c : cases) {
        SCOPED_TRACE(c.utf8);
        const WString wide = wstr::FromUtf8(c.utf8);
        EXPECT_EQ(std::u16string(wide.begin(), wide.end()), c.utf16);
        if (c.utf16.find(u'\uFFFD') == std::u16string::npos) {
            EXPECT_EQ(wstr::ToUtf8(wide), c.utf8);
        }
    }
}

}  // namespace
