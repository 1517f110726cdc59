#include <gtest/gtest.h>

#include "FakeLink.h"
#include "platform/Clock.h"
#include "protocol/DeviceModel.h"

namespace {

Bytes Repeat(Bytes head, std::initializer_list<int> unit, int times, Bytes tail)
{
    for (int i = 0; i < times; ++i)
        for (int v : unit)
            head.push_back(static_cast<std::uint8_t>(v));
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(DeviceRequests, IdentifyDotFirmnessAndInitValuesByteForByte)
{
    FakeLink link;
    EXPECT_TRUE(link.SendIdentifyRequest());
    EXPECT_TRUE(link.SetDotFirmness(50, 5));
    EXPECT_TRUE(link.SetDotFirmness(0x1FF, -1)); // low bytes only
    link.SelectDeviceModel(2, 95);
    EXPECT_TRUE(link.SendInitValues());
    link.SelectDeviceModel(2, 66);
    EXPECT_TRUE(link.SendInitValues());

    ASSERT_EQ(link.writes.size(), 5u);
    EXPECT_EQ(link.writes[0], Hex({0x02, 0x42, 0x50, 0x50, 0x03}));
    EXPECT_EQ(link.writes[1], Hex({0x02, 0x46, 0x50, 0x52, 0x33, 0x32, 0x30, 0x35, 0x03}));
    EXPECT_EQ(link.writes[2], Hex({0x02, 0x46, 0x50, 0x52, 0x3F, 0x3F, 0x3F, 0x3F, 0x03}));
    EXPECT_EQ(link.writes[3], Repeat(Hex({0x02, 0x41, 0x50, 0x56}), {0x30, 0x3A}, 6, Hex({0x03})));
    EXPECT_EQ(link.writes[4], Repeat(Hex({0x02, 0x41, 0x50, 0x56}), {0x30, 0x30}, 6, Hex({0x03})));
}

struct ConfigurationCase {
    std::uint32_t id;
    Bytes frame;
};

class Configuration : public testing::TestWithParam<ConfigurationCase> {};

TEST_P(Configuration, FrameForTheSelectedModel)
{
    FakeLink link;
    ASSERT_EQ(link.SelectDeviceModel(2, GetParam().id), static_cast<std::int32_t>(GetParam().id));
    EXPECT_TRUE(link.SendConfiguration());
    ASSERT_EQ(link.writes.size(), 1u);
    EXPECT_EQ(link.writes[0], GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(
    Models, Configuration,
    testing::Values(
        // KV40c, 57600 baud: sent as 5 7 6 0 0 0.
        ConfigurationCase{95, Hex({0x02, 0x41, 0x50, 0x5D, 0x35, 0x3F, 0x35, 0x37, 0x36, 0x30, 0x30,
                                   0x30, 0x30, 0x30, 0x30, 0x31, 0x32, 0x38, 0x30, 0x31, 0x30, 0x32,
                                   0x30, 0x30, 0x30, 0x31, 0x30, 0x30, 0x30, 0x31, 0x03})},
        // Nova, 115200 baud, Option2 0.
        ConfigurationCase{98, Hex({0x02, 0x41, 0x50, 0x5D, 0x36, 0x32, 0x31, 0x31, 0x35, 0x32, 0x30,
                                   0x30, 0x30, 0x30, 0x30, 0x31, 0x32, 0x38, 0x30, 0x31, 0x30, 0x32,
                                   0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x03})},
        // KV80, 38400 baud, 80 + 2 trailing cells, no parameters.
        ConfigurationCase{66, Hex({0x02, 0x41, 0x50, 0x5D, 0x34, 0x32, 0x33, 0x38, 0x34, 0x30, 0x30,
                                   0x30, 0x30, 0x30, 0x30, 0x30, 0x35, 0x32, 0x30, 0x30, 0x30, 0x30,
                                   0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x03})},
        // KVVR-80s: 20 leading cells go in their own field.
        ConfigurationCase{91, Hex({0x02, 0x41, 0x50, 0x5D, 0x35, 0x3B, 0x35, 0x37, 0x36, 0x30, 0x30,
                                   0x30, 0x31, 0x34, 0x30, 0x31, 0x35, 0x30, 0x30, 0x31, 0x30, 0x32,
                                   0x30, 0x30, 0x30, 0x31, 0x30, 0x30, 0x30, 0x31, 0x03})}));

TEST(DeviceRequests, ConfigurationOnlyWhileSelectionKindIsTwo)
{
    FakeLink link;
    EXPECT_TRUE(link.SendConfiguration()); // nothing selected
    link.SelectDeviceModel(1, 95);
    EXPECT_TRUE(link.SendConfiguration());
    EXPECT_TRUE(link.writes.empty());
    // An unknown code keeps the previous selection, which is then sent again.
    link.SelectDeviceModel(2, 95);
    EXPECT_EQ(link.SelectDeviceModel(2, 5), -1);
    EXPECT_TRUE(link.SendConfiguration());
    ASSERT_EQ(link.writes.size(), 1u);
    EXPECT_EQ(link.writes[0][4], 0x35);
    EXPECT_EQ(link.writes[0][5], 0x3F);
}

TEST(DeviceRequests, CellCountsAndPadding)
{
    Bytes cells(200);
    for (std::size_t i = 0; i < cells.size(); ++i)
        cells[i] = static_cast<std::uint8_t>(i);

    FakeLink kv80ii;
    kv80ii.SelectDeviceModel(2, 86);
    EXPECT_TRUE(kv80ii.WriteCells(cells));
    ASSERT_EQ(kv80ii.writes.size(), 1u);
    const Bytes& frame = kv80ii.writes[0];
    ASSERT_EQ(frame.size(), 2u * 86 + 5); // 80 + 2 + 2 x (1 + 1)
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), Hex({0x02, 0x43, 0x55, 0x56}));
    EXPECT_EQ(frame[4 + 2 * 85], 0x35); // cell 85 = 0x55
    EXPECT_EQ(frame[5 + 2 * 85], 0x35);
    EXPECT_EQ(frame.back(), 0x03);

    FakeLink opal;
    opal.SelectDeviceModel(2, 89);
    EXPECT_EQ(opal.CellCount(), 40); // the extra units do not count
    const Bytes three{0x12, 0x34, 0xFF};
    EXPECT_TRUE(opal.WriteCells(three));
    ASSERT_EQ(opal.writes.size(), 1u);
    Bytes expected{0x02, 0x43, 0x52, 0x58, 0x31, 0x32, 0x33, 0x34, 0x3F, 0x3F};
    for (int i = 3; i < 40; ++i)
        expected.insert(expected.end(), {0x30, 0x30});
    expected.push_back(0x03);
    EXPECT_EQ(opal.writes[0], expected);

    FakeLink none; // no model: an empty cell frame
    EXPECT_TRUE(none.WriteCells(cells));
    EXPECT_EQ(none.writes.at(0), Hex({0x02, 0x43, 0x50, 0x50, 0x03}));

    FakeLink tooMany; // a count the length byte cannot carry is not sent
    tooMany.MainCells = 300;
    EXPECT_TRUE(tooMany.WriteCells(cells));
    EXPECT_TRUE(tooMany.writes.empty());
}

TEST(DeviceRequests, AuxWriteAndWriteDisplay)
{
    FakeLink link;
    link.SelectDeviceModel(2, 95);
    const Bytes buffer{1, 2, 3};
    EXPECT_FALSE(link.WriteAux(buffer));
    EXPECT_TRUE(link.writes.empty());
    EXPECT_FALSE(link.WriteDisplay(buffer)); // cells go out, the aux write does not
    ASSERT_EQ(link.writes.size(), 1u);
    EXPECT_EQ(link.writes[0][1], 'C');

    link.writes.clear();
    link.AuxWriteBytes = 4;
    EXPECT_TRUE(link.WriteAux(buffer));
    EXPECT_EQ(link.writes.at(0), Hex({0x02, 0x44, 0x50, 0x54, 0x30, 0x31, 0x30, 0x32, 0x30, 0x33,
                                      0x30, 0x30, 0x03}));
}

TEST(DeviceRequests, SendsReportSuccessWhateverTheLinkSays)
{
    FakeLink link;
    link.writeResult = FALSE;
    link.SelectDeviceModel(2, 95);
    EXPECT_TRUE(link.SendIdentifyRequest());
    EXPECT_TRUE(link.SendConfiguration());
    EXPECT_TRUE(link.SendInitValues());
    EXPECT_TRUE(link.SetDotFirmness(1, 2));
    EXPECT_TRUE(link.WriteCells({}));
    EXPECT_EQ(link.writes.size(), 5u);
}

const Bytes kIdentity95 = {0x02, 0x4A, 0x50, 0x55, 0x35, 0x3F, 0x31, 0x32, 0x33, 0x03};

TEST(IdentityReply, DecodesCodeAndRevisionOrLeavesFieldsAlone)
{
    FakeLink link;
    link.replies.push_back(kIdentity95);
    EXPECT_EQ(link.ReadIdentityReply(2000), 95);
    EXPECT_EQ(link.DeviceId, 95);
    EXPECT_EQ(link.RevisionMajor, 1);
    EXPECT_EQ(link.RevisionMinor, 0x23);
    EXPECT_EQ(link.readTimeouts, std::vector<std::uint32_t>{2000});

    link.replies.push_back(Bytes(kIdentity95.begin(), kIdentity95.end() - 1));
    Bytes wrongLetter = kIdentity95;
    wrongLetter[1] = 'K';
    link.replies.push_back(wrongLetter);
    link.RevisionMajor = 7;
    EXPECT_EQ(link.ReadIdentityReply(10), -1);
    EXPECT_EQ(link.ReadIdentityReply(10), -1);
    EXPECT_EQ(link.DeviceId, 95);
    EXPECT_EQ(link.RevisionMajor, 7);

    // Framing bytes are not checked.
    Bytes loose = kIdentity95;
    loose[0] = 0;
    loose[2] = 0;
    loose[3] = 0;
    loose[9] = 0;
    loose[4] = 0x36;
    loose[5] = 0x32;
    link.replies.push_back(loose);
    EXPECT_EQ(link.ReadIdentityReply(10), 98);
}

class IdentifyTest : public testing::Test {
protected:
    void SetUp() override { platform::SetClock(&clock); }
    void TearDown() override { platform::SetClock(nullptr); }
    platform::VirtualClock clock{1000};
};

TEST_F(IdentifyTest, RetriesFiveTimesWithPausesThenGivesUp)
{
    FakeLink link;
    link.DeviceId = 95;
    link.Identify(2000);
    EXPECT_EQ(link.DeviceId, -1);
    EXPECT_EQ(link.writes.size(), 6u);
    EXPECT_EQ(link.readTimeouts, (std::vector<std::uint32_t>{2000, 250, 250, 250, 250, 250}));
    EXPECT_EQ(clock.TickCount(), 1000u + 5 * 500);
}

TEST_F(IdentifyTest, StopsAtTheFirstGoodReplyAndZeroTimeoutDoesNothing)
{
    FakeLink link;
    link.replies = {Bytes{0x02}, Bytes{}, kIdentity95};
    link.Identify(1000);
    EXPECT_EQ(link.DeviceId, 95);
    EXPECT_EQ(link.writes.size(), 3u);

    FakeLink idle;
    idle.DeviceId = 42;
    idle.Identify(0);
    EXPECT_EQ(idle.DeviceId, 42);
    EXPECT_TRUE(idle.writes.empty());
    EXPECT_TRUE(idle.readTimeouts.empty());
}

TEST(ProbeDevice, OpensIdentifiesRetriesWhenAskedAndCloses)
{
    FakeLink failing;
    failing.openResult = FALSE;
    EXPECT_FALSE(failing.ProbeDevice("COM2", 300, TRUE));
    EXPECT_TRUE(failing.writes.empty());
    EXPECT_EQ(failing.closes, 0);

    FakeLink once;
    EXPECT_FALSE(once.ProbeDevice("COM2", 300, FALSE));
    EXPECT_EQ(once.opened, std::vector<std::string>{"COM2"});
    EXPECT_EQ(once.writes.size(), 1u);
    EXPECT_EQ(once.closes, 1);

    FakeLink retried;
    EXPECT_FALSE(retried.ProbeDevice("COM2", 300, TRUE));
    EXPECT_EQ(retried.readTimeouts, (std::vector<std::uint32_t>{300, 300, 300}));
    EXPECT_EQ(retried.closes, 1);

    FakeLink found;
    found.replies = {Bytes{}, kIdentity95};
    EXPECT_TRUE(found.ProbeDevice("COM2", 300, TRUE));
    EXPECT_EQ(found.writes.size(), 2u);
    EXPECT_EQ(found.DeviceId, 95);
    EXPECT_EQ(found.closes, 1);
}

TEST(DeviceRequests, KeyTablesAndBitReversal)
{
    FakeLink link;
    const std::uint8_t* first = nullptr;
    const std::uint8_t* second = nullptr;
    EXPECT_EQ(link.GetKeyTables(&first, &second), 16);
    const Bytes expected{11, 12, 13, 14, 15, 16, 17, 18, 20, 21, 20, 21, 22, 23, 22, 23};
    EXPECT_EQ(Bytes(first, first + 16), expected);
    EXPECT_EQ(Bytes(second, second + 16), expected);
    EXPECT_TRUE(link.IsReady());

    EXPECT_EQ(link.ReverseBits(0x01), 0x80);
    EXPECT_EQ(link.ReverseBits(0x80), 0x01);
    EXPECT_EQ(link.ReverseBits(0x0F), 0xF0);
    EXPECT_EQ(link.ReverseBits(0xA6), 0x65);
    for (int v = 0; v < 256; ++v)
        ASSERT_EQ(link.ReverseBits(link.ReverseBits(static_cast<std::uint8_t>(v))), v);
}

} // namespace
