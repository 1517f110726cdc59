#include <gtest/gtest.h>

#include "protocol/Frame.h"
#include "sim/DisplayEmulator.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DisplayEmulator, AnswersIdentifyWithItsCodeAndRevision)
{
    sim::DisplayEmulator display({.deviceId = 95, .revisionMajor = 1, .revisionMinor = 0x23});
    Bytes out;
    const Bytes identify{0x02, 0x42, 0x50, 0x50, 0x03};
    // Split across two deliveries, as a serial line may hand it over.
    display.Receive(std::span(identify).first(2), 0, out);
    EXPECT_TRUE(out.empty());
    display.Receive(std::span(identify).subspan(2), 0, out);
    EXPECT_EQ(out, (Bytes{0x02, 0x4A, 0x50, 0x55, 0x35, 0x3F, 0x31, 0x32, 0x33, 0x03}));
    ASSERT_EQ(display.Frames().size(), 1u);
    EXPECT_EQ(display.Frames()[0].letter, 'B');
    EXPECT_EQ(display.Frames()[0].raw, identify);
}

TEST(DisplayEmulator, SilentDisplayRecordsButNeverAnswers)
{
    sim::DisplayEmulator display({.responds = false});
    Bytes out;
    const Bytes identify{0x02, 0x42, 0x50, 0x50, 0x03};
    display.Receive(identify, 0, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(display.Frames().size(), 1u);
}

TEST(DisplayEmulator, RecordsFramesWithDecodedPayloadAndSkipsNoise)
{
    sim::DisplayEmulator display;
    Bytes out;
    const Bytes firmness{0x02, 0x46, 0x50, 0x52, 0x33, 0x32, 0x30, 0x35, 0x03};
    Bytes stream{0x55, 0x03, 0x02, 0x43}; // noise, then a frame cut short by the next STX
    stream.insert(stream.end(), firmness.begin(), firmness.end());
    display.Receive(stream, 0, out);
    EXPECT_TRUE(out.empty());
    const auto frames = display.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].letter, 'F');
    EXPECT_EQ(frames[0].payload, (Bytes{50, 5}));
    display.ClearFrames();
    EXPECT_TRUE(display.Frames().empty());
}

TEST(DisplayEmulator, QueuedRepliesGoOutWithTheNextPollOrReceive)
{
    sim::DisplayEmulator display;
    const Bytes keys{0x00, 0x20};
    display.QueueKeyReport(keys);
    display.QueueLReply(Bytes{0x07});
    Bytes out;
    display.Poll(0, out);
    EXPECT_EQ(out, (Bytes{0x02, 'K', 0x50, 0x52, 0x30, 0x30, 0x32, 0x30, 0x03,
                          0x02, 'L', 0x50, 0x51, 0x30, 0x37, 0x03}));
    out.clear();
    display.Poll(0, out);
    EXPECT_TRUE(out.empty());
    display.QueueLReply({});
    display.Receive(Bytes{0x02, 0x42, 0x50, 0x50, 0x03}, 0, out);
    EXPECT_EQ(out.size(), 10u + 5u);
}

TEST(DisplayEmulator, OverlongFrameIsDropped)
{
    sim::DisplayEmulator display;
    Bytes stream{0x02, 'C'};
    stream.resize(protocol::kMaxFrameSize + 10, 0x30);
    stream.push_back(0x03);
    Bytes out;
    display.Receive(stream, 0, out);
    EXPECT_TRUE(display.Frames().empty());
}

} // namespace
