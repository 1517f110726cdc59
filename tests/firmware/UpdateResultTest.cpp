// The box that closes a run, for every row of its table.
#include <gtest/gtest.h>

#include "firmware/UpdateWorker.h"

namespace {

TEST(UpdateResultBox, EveryResultAndFamilyHasItsTextCaptionAndIcon) {
    const std::string flash = "Error writing flash.";
    struct Case {
        std::int32_t result;
        std::int32_t family;
        std::uint32_t lastError;
        std::string text;
        std::string caption;
        unsigned flags;
    } cases[] = {
        {-1, 0, 2, "Error loading firmware file. (2) ", flash, 0x10},
        {-1, 4, 32, "Error loading firmware file. (32) ", flash, 0x10},
        {-1, 1, 0xFFFFFFFFu, "Error loading firmware file. (-1) ", flash, 0x10},
        {0, 0, 5, "Firmware successfully updated.", "Kestrune", 0x00},
        {0, 4, 5, "Firmware successfully updated.", "Kestrune", 0x00},
        {-3, 1, 0, "Error writing flash. (-3).", flash, 0x10},
        {-33, 4, 0, "Error writing flash. (-33).", flash, 0x10},
        {-34, 3, 0, "Error writing flash. (-34).", flash, 0x10},
        {'S', 2, 0, "Error writing flash. (83).", flash, 0x10},
        {'A', 4, 0, "Error writing flash. (65).", flash, 0x10},
        {-2, 7, 0, "Error writing flash. (-2).", flash, 0x10},
        {-3, 0, 0, "Error. Device not responding.", flash, 0x10},
        {-2, 0, 0, "Error setting communication parameters.", flash, 0x10},
        {'-', 0, 0, "Error writing flash.", flash, 0x10},
        {'A', 0, 0, "Address of record not programable.", flash, 0x10},
        {'F', 0, 0, "Flash write error.", flash, 0x10},
        {'H', 0, 0, "Record contains non-hex character.", flash, 0x10},
        {'L', 0, 0, "Record length error.", flash, 0x10},
        {'P', 0, 0, "Programming error.", flash, 0x10},
        {'R', 0, 0, "Record type not supported by loader.", flash, 0x10},
        {'S', 0, 0, "Record with incorrect checksum.", flash, 0x10},
        {'V', 0, 0, "Data read back does not match data written.", flash, 0x10},
        {'X', 0, 0, "", flash, 0x10},
        {13, 0, 0, "", flash, 0x10},
        {-33, 0, 0, "", flash, 0x10},
    };
    for (const Case& c : cases) {
        const UpdateResultBox box = DescribeUpdateResult(c.result, c.family, c.lastError);
        EXPECT_EQ(box.text, c.text) << c.result << " family " << c.family;
        EXPECT_EQ(box.caption, c.caption) << c.result << " family " << c.family;
        EXPECT_EQ(box.flags, c.flags) << c.result << " family " << c.family;
    }
}

} // namespace
