// The libftdi1 provider's byte-level pieces: the bulk-IN stream into the receive queue, and the
// EEPROM image rules (checksum, strings, user area, the merge after a programming call).
#include <gtest/gtest.h>

#include <ctime>
#include <thread>

#include "ftdi/BulkIn.h"
#include "ftdi/Eeprom.h"

using namespace ftdiprov;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

Bytes Packet(std::uint8_t modem, std::uint8_t line, const Bytes& data)
{
    Bytes p = {modem, line};
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

Bytes Counting(std::size_t n, std::uint8_t first = 0)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

TEST(BulkIn, SplitsPacketsAndKeepsTheLastStatus)
{
    const Bytes full62 = Counting(62);
    Bytes twoAndShort = Packet(0x11, 0x60, full62);
    const Bytes second = Packet(0x31, 0x62, Counting(5, 100)); // overrun reported in packet 2
    twoAndShort.insert(twoAndShort.end(), second.begin(), second.end());
    Bytes expectedTwo = full62;
    const Bytes five = Counting(5, 100);
    expectedTwo.insert(expectedTwo.end(), five.begin(), five.end());

    struct Case {
        const char* name;
        Bytes transfer;
        std::size_t packetSize;
        Bytes payload;
        std::uint8_t modem, line, errors;
        bool seen;
    } cases[] = {
        {"nothing", {}, 64, {}, 0, 0, 0, false},
        {"one stray byte", {0x01}, 64, {}, 0, 0, 0, false},
        {"status only", {0x01, 0x60}, 64, {}, 0x01, 0x60, 0, true},
        {"short packet", Packet(0x11, 0x60, {'O', 'K'}), 64, {'O', 'K'}, 0x11, 0x60, 0, true},
        {"full packet and a short one", twoAndShort, 64, expectedTwo, 0x31, 0x62, 0x02, true},
        {"status bytes at every 8-byte boundary", Packet(1, 0x08, Counting(6)), 8, Counting(6), 1, 0x08, 0x08, true},
        {"packet size below three carries nothing", Packet(1, 0, {9}), 2, {}, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        LineStatus status;
        std::uint8_t errors = 0;
        Bytes payload;
        SplitBulkIn(std::span<const std::uint8_t>(c.transfer), c.packetSize, status, errors,
                    [&](std::span<const std::uint8_t> d) { payload.insert(payload.end(), d.begin(), d.end()); });
        EXPECT_EQ(payload, c.payload) << c.name;
        EXPECT_EQ(status.seen, c.seen) << c.name;
        EXPECT_EQ(status.modem, c.modem) << c.name;
        EXPECT_EQ(status.line, c.line) << c.name;
        EXPECT_EQ(errors, c.errors) << c.name;
    }
}

TEST(ReceiveQueue, ReadsWaitForTheCountOrTheDeadline)
{
    ReceiveQueue q;
    q.PushTransfer(Packet(1, 0x60, {'a', 'b'}), 64);
    EXPECT_EQ(q.Size(), 2u);

    // Short on time-out, with what there was; the wait is the whole time-out and costs no CPU.
    Bytes out(5);
    const std::clock_t cpu0 = std::clock();
    const auto start = Clock::now();
    EXPECT_EQ(q.Pop(out, start + std::chrono::milliseconds(300)), 2u);
    const auto waited = Clock::now() - start;
    const double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(cpu, 0.3 * 0.05);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[1], 'b');

    // Data from the reader thread ends the wait as soon as the count is there.
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q.PushTransfer(Packet(1, 0x60, {'x'}), 64);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q.PushTransfer(Packet(1, 0x60, {'y', 'z'}), 64);
    });
    Bytes three(3);
    const auto t0 = Clock::now();
    EXPECT_EQ(q.Pop(three, t0 + std::chrono::seconds(5)), 3u);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
    reader.join();
    EXPECT_EQ(three, (Bytes{'x', 'y', 'z'}));

    // A converter that leaves wakes every waiter at once.
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q.Close();
    });
    const auto t1 = Clock::now();
    EXPECT_FALSE(q.WaitForData(t1 + std::chrono::seconds(5)));
    EXPECT_LT(Clock::now() - t1, std::chrono::seconds(2));
    closer.join();
}

TEST(ReceiveQueue, OverrunAndLineErrorsAreReportedOnce)
{
    ReceiveQueue q(4);
    q.PushTransfer(Packet(1, 0x60 | 0x08, Counting(6)), 64); // framing error, two bytes too many
    EXPECT_EQ(q.Size(), 4u);
    EXPECT_EQ(q.TakeErrors(), 0x08u | 0x1u);
    EXPECT_EQ(q.TakeErrors(), 0u);
    q.Clear();
    EXPECT_EQ(q.Size(), 0u);
    EXPECT_EQ(q.Status().line, 0x68);
}

// An image as libftdi1 lays it out: strings from the chip's string start, serial last.
Bytes Image(d2xx::FT_DEVICE chip, const std::vector<std::string>& strings)
{
    Bytes image(EepromSize(chip), 0);
    image[0x02] = 0x03;
    image[0x03] = 0x04;
    std::size_t at = chip == d2xx::FT_DEVICE_X_SERIES ? 0xA0 : chip == d2xx::FT_DEVICE_232R ? 0x18 : 0x14;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        const auto length = static_cast<std::uint8_t>(2 + 2 * strings[i].size());
        image[0x0E + 2 * i] = static_cast<std::uint8_t>(at | 0x80);
        image[0x0F + 2 * i] = length;
        image[at] = length;
        image[at + 1] = 0x03;
        for (std::size_t k = 0; k < strings[i].size(); ++k)
            image[at + 2 + 2 * k] = static_cast<std::uint8_t>(strings[i][k]);
        at += length;
    }
    StoreChecksum(image, chip);
    return image;
}

TEST(FtdiEeprom, ChecksumLeavesOutTheXSeriesUserArea)
{
    Bytes x = Image(d2xx::FT_DEVICE_X_SERIES, {"ZKM", "Corvina Nova", "ZK000001"});
    const std::uint16_t sum = EepromChecksum(x, d2xx::FT_DEVICE_X_SERIES);
    EXPECT_EQ(x[0xFE] | x[0xFF] << 8, sum);
    x[0x24] ^= 0xFF; // user area
    x[0x7F] ^= 0xFF;
    EXPECT_EQ(EepromChecksum(x, d2xx::FT_DEVICE_X_SERIES), sum);
    x[0x80] ^= 0x01; // factory words count
    EXPECT_NE(EepromChecksum(x, d2xx::FT_DEVICE_X_SERIES), sum);

    Bytes bm = Image(d2xx::FT_DEVICE_BM, {"ZKM", "Corvina", "ZK1"});
    const std::uint16_t bmSum = EepromChecksum(bm, d2xx::FT_DEVICE_BM);
    bm[0x60] ^= 0x01;
    EXPECT_NE(EepromChecksum(bm, d2xx::FT_DEVICE_BM), bmSum);
    // Seed 0xAAAA over zero words: each word is a left rotation.
    EXPECT_EQ(EepromChecksum(Bytes(4, 0), d2xx::FT_DEVICE_BM), 0x5555);
}

TEST(FtdiEeprom, StringsAndUserAreaFollowThePointers)
{
    const Bytes r = Image(d2xx::FT_DEVICE_232R, {"ZKM", "CORVINA USB", "ZK000001"});
    EXPECT_EQ(DescriptorString(r, 0x0E), "ZKM");
    EXPECT_EQ(DescriptorString(r, 0x10), "CORVINA USB");
    EXPECT_EQ(DescriptorString(r, 0x12), "ZK000001");
    // From the end of the serial string (0x18 + 8 + 24 + 18) to the checksum word.
    const ByteRange area = UserArea(r, d2xx::FT_DEVICE_232R);
    EXPECT_EQ(area.start, 0x4Au);
    EXPECT_EQ(area.size, 0x7Eu - 0x4A);
    const ByteRange x = UserArea(Image(d2xx::FT_DEVICE_X_SERIES, {"A", "B", "C"}), d2xx::FT_DEVICE_X_SERIES);
    EXPECT_EQ(x.start, 0x24u);
    EXPECT_EQ(x.size, 92u);

    Bytes broken = r;
    broken[0x13] = 0xF0; // serial length past the end
    EXPECT_EQ(DescriptorString(broken, 0x12), "");
    EXPECT_EQ(UserArea(broken, d2xx::FT_DEVICE_232R).start + UserArea(broken, d2xx::FT_DEVICE_232R).size, 0x7Eu);
    broken = r;
    broken[0x10] = 0x80 | 0x7F; // description pointer at the last byte
    EXPECT_EQ(DescriptorString(broken, 0x10), "");
    broken[0x10] = 0x80 | 0x18;
    broken[0x11] = 0;
    EXPECT_EQ(DescriptorString(broken, 0x10), "");
    EXPECT_EQ(UserArea(Bytes(100, 0), d2xx::FT_DEVICE_232R).size, 0u);
}

TEST(FtdiEeprom, MergeKeepsWhatTheStructuresDoNotCarry)
{
    // X series: the user area, the chip byte 0x00 and the drive byte 0x0C stay as they were.
    Bytes before = Image(d2xx::FT_DEVICE_X_SERIES, {"ZKM", "Corvina Nova", "ZK000001"});
    for (std::size_t i = 0x24; i < 0x80; ++i)
        before[i] = static_cast<std::uint8_t>(i);
    before[0x00] = 0x00;
    before[0x0C] = 0x27;
    before[0x80] = 0x5A; // factory data
    Bytes built = Image(d2xx::FT_DEVICE_X_SERIES, {"ZKM", "Bench display 7", "ZK000077"});
    std::fill(built.begin() + 0x24, built.begin() + 0x80, 0); // libftdi1's build clears these
    built[0x00] = 0x80;
    built[0x02] = 0x34;
    built[0x03] = 0x12;
    built[0x1A] = 4;
    Bytes merged = MergeProgrammedImage(before, built, d2xx::FT_DEVICE_X_SERIES);
    EXPECT_TRUE(std::equal(before.begin() + 0x24, before.begin() + 0x80, merged.begin() + 0x24));
    EXPECT_EQ(merged[0x00], 0x00);
    EXPECT_EQ(merged[0x0C], 0x27);
    EXPECT_EQ(merged[0x80], 0x5A);
    EXPECT_EQ(merged[0x02] | merged[0x03] << 8, 0x1234);
    EXPECT_EQ(merged[0x1A], 4);
    EXPECT_EQ(DescriptorString(merged, 0x10), "Bench display 7");
    EXPECT_EQ(DescriptorString(merged, 0x12), "ZK000077");
    EXPECT_EQ(merged[0xFE] | merged[0xFF] << 8, EepromChecksum(merged, d2xx::FT_DEVICE_X_SERIES));

    // BM: longer strings push the user area back; its record moves with it.
    Bytes bm = Image(d2xx::FT_DEVICE_BM, {"ZKM", "CORVINA USB", "ZK000001"});
    const ByteRange oldArea = UserArea(bm, d2xx::FT_DEVICE_BM);
    const Bytes record = Counting(25, 0x40);
    std::copy(record.begin(), record.end(), bm.begin() + static_cast<std::ptrdiff_t>(oldArea.start));
    StoreChecksum(bm, d2xx::FT_DEVICE_BM);
    const Bytes longer = Image(d2xx::FT_DEVICE_BM, {"ZKM", "CORVINA USB longer", "ZK000001"});
    Bytes moved = MergeProgrammedImage(bm, longer, d2xx::FT_DEVICE_BM);
    const ByteRange newArea = UserArea(moved, d2xx::FT_DEVICE_BM);
    EXPECT_EQ(newArea.start, oldArea.start + 14);
    EXPECT_TRUE(std::equal(record.begin(), record.end(), moved.begin() + static_cast<std::ptrdiff_t>(newArea.start)));
    EXPECT_EQ(DescriptorString(moved, 0x10), "CORVINA USB longer");
    EXPECT_EQ(moved[0x7E] | moved[0x7F] << 8, EepromChecksum(moved, d2xx::FT_DEVICE_BM));

    // Images of the wrong size are returned unchanged.
    EXPECT_EQ(MergeProgrammedImage(Bytes(64, 1), Bytes(64, 2), d2xx::FT_DEVICE_BM), Bytes(64, 1));
}

TEST(FtdiEeprom, NumbersAndNames)
{
    const struct {
        std::uint16_t bcd;
        bool serial;
        d2xx::FT_DEVICE chip;
    } chips[] = {{0x1000, true, 9}, {0x0600, true, 5}, {0x0400, true, 0}, {0x0200, false, 0},
                 {0x0200, true, 1}, {0x0900, true, 8}, {0x1234, true, 3}};
    for (const auto& c : chips)
        EXPECT_EQ(ChipFromBcdDevice(c.bcd, c.serial), c.chip) << std::hex << c.bcd;

    EXPECT_EQ(D2xxVersionNumber(1, 5, 0), 0x00010500u);
    EXPECT_EQ(D2xxVersionNumber(2, 8, 30), 0x00020830u);
    EXPECT_EQ(D2xxVersionNumber(1, 4, 24), 0x00010424u);

    EXPECT_EQ(ManufacturerIdFromSerial("ZK000001"), "ZK");
    EXPECT_EQ(ManufacturerIdFromSerial("12345"), "");
    EXPECT_EQ(ManufacturerIdFromSerial(""), "");
}

} // namespace
