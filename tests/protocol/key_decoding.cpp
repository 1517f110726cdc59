#include <gtest/gtest.h>

#include "FakeLink.h"
#include "protocol/Frame.h"
#include "protocol/ReplyParser.h"

namespace {

using protocol::KeyLayout;
using protocol::ReplyParser;

struct Event {
    std::int32_t code;
    std::int32_t pressed;
    std::uint8_t state;
    bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e)
{
    return os << "{" << e.code << "," << e.pressed << "," << int(e.state) << "}";
}

Bytes Chars(const Bytes& report)
{
    Bytes chars;
    for (std::uint8_t b : report) {
        const auto pair = protocol::EncodeDataByte(b);
        chars.insert(chars.end(), pair.begin(), pair.end());
    }
    return chars;
}

class KeyDecoding : public testing::Test {
protected:
    ReplyParser parser;

    // Decodes one report and returns the events it added.
    std::vector<Event> Decode(const Bytes& report, const KeyLayout& layout)
    {
        KeyEventQueue queue;
        parser.DecodeKeyReport(Chars(report), layout, &queue);
        std::vector<Event> events;
        for (std::uint32_t i = 0; i < queue.Count; ++i)
            events.push_back({queue.Events[i].Code, queue.Events[i].Pressed, queue.Events[i].KeyState});
        return events;
    }

    static KeyLayout Model(std::uint32_t id)
    {
        FakeLink device;
        EXPECT_EQ(device.SelectDeviceModel(2, id), static_cast<std::int32_t>(id));
        return {device.DeviceId,  device.LeadingCells, device.MainCells,
                device.TrailingCells, device.ExtraUnits1, device.ExtraUnits2};
    }
};

// KV40c: two extra-unit bytes, the front byte B[2], then from B[3] bit 0: keys 11/12, two
// unused bits, 80 routing bits, keys 13/14.
TEST_F(KeyDecoding, FrontKeysMapToTheirCodes)
{
    const KeyLayout kv40c = Model(95);
    Bytes report(14, 0);
    report[2] = 0x20;
    EXPECT_EQ(Decode(report, kv40c), (std::vector<Event>{{1, 1, 0}}));
    EXPECT_EQ(Decode(report, kv40c), std::vector<Event>{}); // no change, no event
    report[2] = 0xFF;
    EXPECT_EQ(Decode(report, kv40c),
              (std::vector<Event>{{4, 1, 0}, {3, 1, 0}, {7, 1, 0}, {8, 1, 0}, {5, 1, 0}, {6, 1, 0}, {2, 1, 0}}));
    report[2] = 0;
    EXPECT_EQ(Decode(report, kv40c).size(), 8u);
    // The extra-unit bytes are not interpreted.
    report[0] = 0xFF;
    report[1] = 0xFF;
    EXPECT_TRUE(Decode(report, kv40c).empty());
}

TEST_F(KeyDecoding, KeysElevenToFourteenNeverBothOfAPair)
{
    const KeyLayout kv40c = Model(95);
    Bytes report(14, 0);
    report[3] = 0x01;
    EXPECT_EQ(Decode(report, kv40c), (std::vector<Event>{{11, 1, 0x04}}));
    report[3] = 0x03; // both bits: key 11 wins
    EXPECT_TRUE(Decode(report, kv40c).empty());
    report[3] = 0x02;
    EXPECT_EQ(Decode(report, kv40c), (std::vector<Event>{{11, 0, 0x08}, {12, 1, 0x08}}));
    report[13] = 0x30; // bits 84 and 85 from B[3]: key 13 wins over 14
    EXPECT_EQ(Decode(report, kv40c), (std::vector<Event>{{13, 1, 0x18}}));
    report[13] = 0x20;
    report[3] = 0;
    EXPECT_EQ(Decode(report, kv40c), (std::vector<Event>{{12, 0, 0x20}, {13, 0, 0x20}, {14, 1, 0x20}}));
}

TEST_F(KeyDecoding, RoutingKeysOfMainCells)
{
    const KeyLayout kv40c = Model(95);
    Bytes report(14, 0);
    report[3] = 0x10 | 0x20; // cell 0, both routing keys
    report[4] = 0x01;        // cell 2, first key
    report[13] = 0x08;       // cell 39, second key (stream bit 79)
    EXPECT_EQ(Decode(report, kv40c), (std::vector<Event>{{256, 1, 0}, {512, 1, 0}, {258, 1, 0}, {551, 1, 0}}));
    report[3] = 0x20;
    EXPECT_EQ(Decode(report, kv40c), (std::vector<Event>{{256, 0, 0}}));
}

// KVVR-40: no extra units, 13 leading and 40 main cells; 106 routing bits start at bit 6 of
// B[1] so that they end on a byte boundary with the four key bits.
TEST_F(KeyDecoding, LeadingCellsComeFirstAndShiftTheStart)
{
    const KeyLayout vr40 = Model(64);
    Bytes report(16, 0);
    report[1] = 0x40;  // leading cell 0, first key
    report[4] = 0x80;  // leading cell 12, second key (stream bit 25)
    report[5] = 0x01 | 0x10; // key 11, then main cell 0 (cell 13) first key
    report[15] = 0x08 | 0x20; // last main cell (52) second key, key 14
    EXPECT_EQ(Decode(report, vr40), (std::vector<Event>{{11, 1, 0x24},
                                                        {14, 1, 0x24},
                                                        {256, 1, 0x24},
                                                        {512 + 12, 1, 0x24},
                                                        {256 + 13, 1, 0x24},
                                                        {512 + 52, 1, 0x24}}));
}

TEST_F(KeyDecoding, TrailingCellsFollowTheMainCells)
{
    const KeyLayout kv80ii = Model(86); // 80 + 2 trailing, start at bit 4 of B[3]
    Bytes report(25, 0);
    report[24] = 0x08; // stream bit 163: trailing cell 81, second key
    EXPECT_EQ(Decode(report, kv80ii), (std::vector<Event>{{512 + 81, 1, 0}}));
    report[24] = 0;
    report[3] = 0x10; // key 11 sits at bit 4, after the padding
    EXPECT_EQ(Decode(report, kv80ii), (std::vector<Event>{{11, 1, 0x04}, {512 + 81, 0, 0x04}}));
}

// The Opal: routing bits fill each byte from the bottom, eight bits between keys 11/12 and the
// routing bits, no leading padding.
TEST_F(KeyDecoding, OpalBitOrder)
{
    const KeyLayout opal = Model(89);
    Bytes report(15, 0);
    report[3] = 0x02;  // key 12
    report[4] = 0x01;  // stream bit 0 lands at position 7: cell 3, second key
    report[5] = 0x80;  // stream bit 15 lands at position 8: cell 4, first key
    report[14] = 0x01; // key 13 right after the 80 routing bits
    EXPECT_EQ(Decode(report, opal), (std::vector<Event>{{12, 1, 0x18},
                                                         {13, 1, 0x18},
                                                         {512 + 3, 1, 0x18},
                                                         {256 + 4, 1, 0x18}}));

    // A last byte holding m bits puts stream bit t at bit m-1-t.
    parser.Reset();
    KeyLayout small = opal;
    small.MainCells = 3; // six bits
    Bytes shortReport(6, 0);
    shortReport[4] = 0x01; // stream bit 0 -> bit 5: cell 2, second key
    EXPECT_EQ(Decode(shortReport, small), (std::vector<Event>{{512 + 2, 1, 0}}));
}

TEST_F(KeyDecoding, QueueLimitNullQueueAndPersistentState)
{
    const KeyLayout kv40c = Model(95);
    Bytes report(14, 0xFF);
    KeyEventQueue queue;
    queue.Reserved = 0xABCD;
    queue.Count = 250;
    parser.DecodeKeyReport(Chars(report), kv40c, &queue);
    EXPECT_EQ(queue.Count, 256u);
    EXPECT_EQ(queue.Reserved, 0xABCDu);
    EXPECT_EQ(queue.Events[250].Code, 11); // keys first, then front keys
    EXPECT_EQ(queue.Events[251].Code, 13);
    EXPECT_EQ(queue.Events[252].Code, 4);

    // Without a queue the events are dropped but the state still moves on.
    parser.DecodeKeyReport(Chars(Bytes(14, 0)), kv40c, nullptr);
    const auto released = Decode(Bytes(14, 0), kv40c);
    EXPECT_TRUE(released.empty());

    // A change of model is no reset: a front key held stays held.
    report.assign(14, 0);
    report[2] = 0x20;
    Decode(report, kv40c);
    Bytes nova(14, 0);
    nova[2] = 0x20;
    EXPECT_TRUE(Decode(nova, Model(98)).empty());
}

TEST_F(KeyDecoding, ShortReportReadsMissingBitsAsReleased)
{
    const KeyLayout vr80s = Model(91); // 100 cells: needs 29 report bytes
    EXPECT_TRUE(Decode(Bytes(3, 0), vr80s).empty());
    EXPECT_TRUE(Decode(Bytes{}, vr80s).empty());
    EXPECT_EQ(Decode(Bytes{0, 0, 0x20}, vr80s), (std::vector<Event>{{1, 1, 0}}));
}

TEST_F(KeyDecoding, KeyReportThroughTheParser)
{
    FakeLink device;
    device.SelectDeviceModel(2, 95);
    Bytes report(14, 0);
    report[2] = 0x20;
    Bytes frame{0x02, 'K'};
    const auto length = protocol::EncodeLengthByte(static_cast<std::uint8_t>(report.size()));
    frame.insert(frame.end(), length.begin(), length.end());
    const Bytes chars = Chars(report);
    frame.insert(frame.end(), chars.begin(), chars.end());
    frame.push_back(0x03);
    KeyEventQueue queue;
    std::uint8_t letter = 0;
    std::uint32_t count = 0;
    int completed = 0;
    for (std::uint8_t b : frame)
        completed += device.FeedReplyByte(b, &letter, &count, &queue);
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(letter, 'K');
    EXPECT_EQ(count, 28u);
    ASSERT_EQ(queue.Count, 1u);
    EXPECT_EQ(queue.Events[0].Code, 1);
    EXPECT_EQ(queue.Events[0].Pressed, 1);
}

} // namespace
