#include <gtest/gtest.h>

#include <cstdio>

#include "protocol/DeviceModel.h"
#include "records/DeviceReport.h"

namespace {

TEST(FormatIdentityReplyLine, NamesTheModelOrTheMissingReply)
{
    EXPECT_EQ(FormatIdentityReplyLine(-1), "Error waiting for 'id' message reply.\r\n");
    const DeviceModelInfo& row = DeviceModelTable[0];
    char expected[128];
    std::snprintf(expected, sizeof expected, "Device replied with device id %u [0x%02x] (\"%s\").\r\n",
                  row.DeviceId, row.DeviceId, row.ShortName);
    EXPECT_EQ(FormatIdentityReplyLine(static_cast<std::int32_t>(row.DeviceId)), expected);

    std::uint32_t missing = 0;
    while (FindDeviceModel(missing) >= 0)
        ++missing;
    std::snprintf(expected, sizeof expected,
                  "Device replied with device id %u [0x%02x] (\"\").\r\n", missing, missing);
    EXPECT_EQ(FormatIdentityReplyLine(static_cast<std::int32_t>(missing)), expected);
}

} // namespace
