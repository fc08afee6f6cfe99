#include <gtest/gtest.h>

#include "platform/twocall.h"

namespace {

TEST(QueryTwice, EndsAtTheFirstStepThatFailsAndAsksAgainOnlyIntoABlock) {
    const struct {
        SizeAnswer sizeAnswer;
        DWORD size;
        bool secondAnswer;
        TwoCall result;
        bool askedAgain;
    } cases[] = {
        {SizeAnswer::Nothing, 8, true, TwoCall::Nothing, false},
        {SizeAnswer::Failed, 8, true, TwoCall::SizeFailed, false},
        {SizeAnswer::Size, 1, true, TwoCall::SizeRefused, false},   // below the least believed
        {SizeAnswer::Size, 65, true, TwoCall::SizeRefused, false},  // above the most believed
        {SizeAnswer::Size, 64, false, TwoCall::Failed, true},
        {SizeAnswer::Size, 2, true, TwoCall::Answered, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.result));
        CQueryBlock block;
        bool askedAgain = false;
        const TwoCall result = QueryTwice(
            block,
            [&](DWORD *size) {
                *size = c.size;
                return c.sizeAnswer;
            },
            2, 64, CharsAndNul,
            [&](DWORD size) {
                askedAgain = true;
                EXPECT_EQ(size, c.size);
                EXPECT_EQ(block.Bytes(), CharsAndNul(size));
                return c.secondAnswer;
            });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(askedAgain, c.askedAgain);
        EXPECT_EQ(block.As<void>() != nullptr, c.askedAgain);
    }
}

TEST(CQueryBlock, ReusedBlocksAreZeroedAgainAndLargerOnesReplaceThem) {
    CQueryBlock block;
    auto *first = static_cast<unsigned char *>(block.Zeroed(16));
    ASSERT_NE(first, nullptr);
    for (int i = 0; i < 16; ++i) first[i] = 0xAB;

    auto *again = static_cast<unsigned char *>(block.Zeroed(12));
    EXPECT_EQ(again, first);  // no larger than it holds: the same block
    EXPECT_EQ(block.Bytes(), 12u);
    for (int i = 0; i < 12; ++i) ASSERT_EQ(again[i], 0) << i;

    auto *larger = static_cast<unsigned char *>(block.Zeroed(64));
    ASSERT_NE(larger, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(larger[i], 0) << i;

    unsigned char *handed = block.Release<unsigned char>();
    EXPECT_EQ(handed, larger);
    EXPECT_EQ(block.As<void>(), nullptr);
    EXPECT_EQ(block.Bytes(), 0u);
    std::free(handed);
}

}  // namespace
