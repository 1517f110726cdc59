#include <gtest/gtest.h>

#include "FakeLink.h"
#include "protocol/ReplyParser.h"

namespace {

using protocol::ReplyParser;

class ReplyParserTest : public testing::Test {
protected:
    // Feeds the bytes; returns the results and records the state after each byte.
    std::vector<int> Feed(const Bytes& bytes)
    {
        std::vector<int> results;
        states.clear();
        for (std::uint8_t b : bytes) {
            results.push_back(link.FeedReplyByte(b, &letter, &count, &queue));
            states.push_back(link.Parser().State());
        }
        return results;
    }
    static std::vector<int> OnlyLast(std::size_t n, int last)
    {
        std::vector<int> v(n, 0);
        v.back() = last;
        return v;
    }
    std::string Payload() const
    {
        const auto p = link.Parser().Payload();
        return std::string(p.begin(), p.end());
    }

    FakeLink link;
    std::uint8_t letter = 0xEE;
    std::uint32_t count = 0xEEEE;
    KeyEventQueue queue;
    std::vector<int> states;
};

TEST_F(ReplyParserTest, IdentityReplyWalksEveryState)
{
    const Bytes reply{0x02, 0x4A, 0x50, 0x55, 0x35, 0x3F, 0x31, 0x32, 0x33, 0x03};
    EXPECT_EQ(Feed(reply), OnlyLast(reply.size(), 1));
    EXPECT_EQ(states, (std::vector<int>{1, 2, 3, 4, 4, 4, 4, 4, 5, 0}));
    EXPECT_EQ(letter, 'J');
    EXPECT_EQ(count, 5u); // the identity reply counts characters
    EXPECT_EQ(Payload(), "5?123");
}

TEST_F(ReplyParserTest, IdleIgnoresAllButStxAndStxClearsTheLastFrame)
{
    EXPECT_EQ(Feed({0x41, 0x03, 0x00, 0xFF}), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(states, (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(letter, 0xEE);
    Feed({0x02, 'L', 0x50, 0x51, 0x31, 0x32, 0x03});
    EXPECT_EQ(letter, 'L');
    EXPECT_EQ(count, 2u); // "L" counts bytes of two characters
    EXPECT_EQ(Payload(), "12");
    Feed({0x02});
    EXPECT_EQ(Payload(), "");
}

TEST_F(ReplyParserTest, RejectedLetterEndsAtTheNextEtxWithLetterZero)
{
    // In state 5 even an STX is ignored: the frame ends only at an ETX.
    const Bytes frame{0x02, 'X', 0x02, 'J', 0x50, 0x55, 0x03};
    EXPECT_EQ(Feed(frame), std::vector<int>(frame.size(), 0));
    EXPECT_EQ(states, (std::vector<int>{1, 5, 5, 5, 5, 5, 0}));
    EXPECT_EQ(letter, 0);
    EXPECT_EQ(count, 0u);
    // The parser is idle again and takes the next frame.
    EXPECT_EQ(Feed({0x02, 'L', 0x50, 0x50, 0x30, 0x03}), OnlyLast(6, 1));
}

TEST_F(ReplyParserTest, ZeroLengthStillStoresOneByte)
{
    EXPECT_EQ(Feed({0x02, 'L', 0x50, 0x50, 'x', 'y', 0x03}), OnlyLast(7, 1));
    EXPECT_EQ(states, (std::vector<int>{1, 2, 3, 4, 5, 5, 0}));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Payload(), "x");
    // An ETX right after the length is that one byte; the frame ends at the next ETX.
    EXPECT_EQ(Feed({0x02, 'K', 0x50, 0x50, 0x03}), std::vector<int>(5, 0));
    EXPECT_EQ(states.back(), 5);
    EXPECT_EQ(Feed({0x03}), std::vector<int>{1});
    EXPECT_EQ(letter, 'K');
}

TEST_F(ReplyParserTest, EtxInsidePayload)
{
    // Before the expected count: error, the frame ends at the next ETX and is still decoded.
    EXPECT_EQ(Feed({0x02, 'K', 'P', 'R', '0', 0x03}), std::vector<int>(6, 0));
    EXPECT_EQ(states.back(), 5);
    EXPECT_EQ(queue.Count, 0u);
    EXPECT_EQ(Feed({0x03}), std::vector<int>{0});
    EXPECT_EQ(letter, 'K');
    EXPECT_EQ(count, 4u);
    EXPECT_GT(queue.Count, 0u);

    // Reaching the count: the ETX is payload, the next ETX completes the frame.
    EXPECT_EQ(Feed({0x02, 'K', 'P', 'Q', '0', 0x03}), std::vector<int>(6, 0));
    EXPECT_EQ(states.back(), 5);
    EXPECT_EQ(Payload(), std::string("0\x03", 2));
    EXPECT_EQ(Feed({0x03}), std::vector<int>{1});
}

TEST_F(ReplyParserTest, StxInPayloadAndNoiseBeforeEtxAreTolerated)
{
    EXPECT_EQ(Feed({0x02, 'L', 0x50, 0x51, 0x02, 0x30, 0x41, 0x42, 0x03}), OnlyLast(9, 1));
    EXPECT_EQ(Payload(), std::string("\x02" "0", 2));
    EXPECT_EQ(states, (std::vector<int>{1, 2, 3, 4, 4, 5, 5, 5, 0}));
}

TEST_F(ReplyParserTest, LengthUsesLowNibbleOfTheFirstCharacter)
{
    // 0x7F 0x5F is 255 bytes: 510 characters, well inside the 1024-byte buffer.
    Bytes frame{0x02, 'L', 0x7F, 0x5F};
    frame.resize(frame.size() + 600, '1');
    frame.push_back(0x03);
    const auto results = Feed(frame);
    EXPECT_EQ(results.back(), 1);
    EXPECT_EQ(count, 510u);
    EXPECT_EQ(Payload().size(), 510u);
    EXPECT_EQ(states[4 + 509], 5);
}

TEST_F(ReplyParserTest, NullOutputsAreAllowed)
{
    for (std::uint8_t b : Bytes{0x02, 'K', 0x50, 0x51, 0x30, 0x30, 0x03})
        link.FeedReplyByte(b, nullptr, nullptr, nullptr);
    EXPECT_EQ(link.Parser().State(), 0);
}

} // namespace
