// Comparison of wide strings ignoring letter case, as the C runtime's
// _wcsicmp does in the "C" locale: only A to Z fold.
#include <gtest/gtest.h>

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

}  // namespace
