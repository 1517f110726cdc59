#include <gtest/gtest.h>

#include <cstdio>

#include "protocol/DeviceModel.h"
#include "records/DeviceReport.h"
#include "records/UsbSettingsEdit.h"

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

    EXPECT_EQ(FormatIdentityReplyLine(100), "Device replied with device id 100 [0x64] (\"Nova 20\").\r\n");
    EXPECT_EQ(FormatIdentityReplyLine(98), "Device replied with device id 98 [0x62] (\"Nova\").\r\n");
}

TEST(FormatDeviceInformation, CodeAndIdsInLowerCaseHexadecimal)
{
    DeviceData data;
    data.DeviceCode = 89;
    data.SerialPart1 = 42;
    data.SerialPart2 = 1234;
    data.SerialPart3 = 7;
    UsbSettingsRecord usb;
    usb.data.VendorId = 1027;
    usb.data.ProductId = 0xF208;
    std::snprintf(usb.manufacturer.data(), 64, "ZKM");
    std::snprintf(usb.manufacturerId.data(), 64, "ZK");
    std::snprintf(usb.description.data(), 64, "Corvina Opal");
    std::snprintf(usb.serialNumber.data(), 64, "ZK000042");
    EXPECT_EQ(FormatDeviceInformation(data, usb.data),
              "Device Information\r\n\r\n"
              "Device Type (USB): 0x59\r\n"
              "SerialNumber: 0042.1234.007\r\n"
              "\r\nVendor ID: 0x0403\r\n"
              "Product ID: 0xf208\r\n"
              "Manufacturer: ZKM\r\n"
              "Manufacturer ID: ZK\r\n"
              "Description: Corvina Opal\r\n"
              "USB Serial Number: ZK000042\r\n\r\n");
}

} // namespace
