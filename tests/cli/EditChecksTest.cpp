// The checks and conversions the USB and device settings dialogs share with kestrune-cli, and
// the report texts of the information and port test commands.
#include <gtest/gtest.h>

#include <cstdio>

#include "records/DeviceReport.h"
#include "records/DeviceSettingsEdit.h"
#include "records/UsbSettingsEdit.h"

TEST(UsbSettingsEdit, ParseHexWord)
{
    const struct {
        const char* text;
        std::uint16_t value;
    } rows[] = {
        {"", 0},          {"0x0403", 0x0403}, {"0403", 0x0403},   {"x403", 0x0403},
        {" 403", 0x0403}, {"\t0x6001", 0x6001}, {"0x0000", 0},     {"0000", 0},
        {"12345", 0x2345}, {"1fg", 0x1F},      {"FfFf", 0xFFFF},   {"123456789", 0x6789},
        {"0x12 34", 0x12}, {"0x 12", 0x12},
    };
    for (const auto& row : rows) EXPECT_EQ(ParseHexWord(row.text), row.value) << row.text;
    // No defined value: refused by the checks instead of programmed as something.
    for (const char* bad : {"0X1234", "X1", "-5", "+5", "g1", "\n12"})
        EXPECT_EQ(ParseHexWord(bad), std::nullopt) << bad;
}

TEST(UsbSettingsEdit, FieldsShowIdsAsFourHexDigits)
{
    UsbSettingsRecord record;
    record.data.VendorId = 0x0403;
    record.data.ProductId = 0x6001;
    std::snprintf(record.manufacturer.data(), 64, "ZKM");
    std::snprintf(record.serialNumber.data(), 64, "ZK000013");
    UsbSettingsFields fields = UsbFieldsFromRecord(record.data);
    EXPECT_EQ(fields.VendorId, "0x0403");
    EXPECT_EQ(fields.ProductId, "0x6001");
    EXPECT_EQ(fields.Manufacturer, "ZKM");
    EXPECT_EQ(fields.SerialNumber, "ZK000013");
    EXPECT_EQ(fields.Description, "");
    EXPECT_EQ(CheckUsbSettingsFields(fields).field, UsbField::None);
}

TEST(UsbSettingsEdit, RefusesTextsLongerThanTheBuffersAndIdsWithoutValue)
{
    UsbSettingsFields fields;
    fields.VendorId = "0x0403";
    fields.Description = std::string(63, 'd');
    EXPECT_EQ(CheckUsbSettingsFields(fields).field, UsbField::None);

    fields.Description = std::string(64, 'd');
    UsbFieldProblem problem = CheckUsbSettingsFields(fields);
    EXPECT_EQ(problem.field, UsbField::Description);
    EXPECT_EQ(problem.message, "The Device Description must not be longer than 63 characters.");

    fields.ProductId = "0X1234";
    problem = CheckUsbSettingsFields(fields);
    EXPECT_EQ(problem.field, UsbField::ProductId); // the IDs come first
    EXPECT_EQ(problem.message, "The Product ID must be a hexadecimal number, such as 0x0403.");
}

TEST(DeviceSettingsEdit, FieldsKeepTheGroups)
{
    DeviceData data;
    data.DeviceCode = 0x5F;
    data.SerialPart1 = 12;
    data.SerialPart2 = 345;
    data.SerialPart3 = 6;
    DeviceSettingsFields fields = DeviceFieldsFromRecord(data);
    EXPECT_EQ(fields.DeviceCode, 0x5Fu);
    EXPECT_EQ(fields.Serial1, "0012");
    EXPECT_EQ(fields.Serial2, "0345");
    EXPECT_EQ(fields.Serial3, "006");
    EXPECT_EQ(CheckDeviceSettingsFields(fields).field, DeviceField::None);
    EXPECT_EQ(ParseDecimalPrefix(fields.Serial2), 345);

    data.SerialPart1 = 10000; // a record may hold it, the four-character edit not
    EXPECT_EQ(DeviceFieldsFromRecord(data).Serial1, "10000");
}

TEST(DeviceSettingsEdit, Refusals)
{
    DeviceSettingsFields good;
    good.DeviceCode = 255;
    good.Serial1 = "0012";
    good.Serial2 = "0345";
    good.Serial3 = "006";
    ASSERT_EQ(CheckDeviceSettingsFields(good).field, DeviceField::None);

    struct Row {
        const char* name;
        void (*change)(DeviceSettingsFields&);
        DeviceField field;
        const char* message;
        const char* caption;
    };
    const Row rows[] = {
        {"first group of five", [](DeviceSettingsFields& f) { f.Serial1 = "10000"; },
         DeviceField::Serial1, "Please enter no more than 4 characters.", "Kestrune"},
        {"third group of four", [](DeviceSettingsFields& f) { f.Serial3 = "0006"; },
         DeviceField::Serial3, "Please enter no more than 3 characters.", "Kestrune"},
        {"date before 1970", [](DeviceSettingsFields& f) { f.Manufacturing = -3600; },
         DeviceField::Manufacturing, "Date is out of range.", "Date is out of range."},
        {"negative last update", [](DeviceSettingsFields& f) { f.LastUpdate = -1; },
         DeviceField::LastUpdate, "Date is out of range.", "Date is out of range."},
        {"empty group", [](DeviceSettingsFields& f) { f.Serial2 = ""; }, DeviceField::Serial2,
         "Each group of the serial number must begin with a digit.", "Kestrune Error"},
        {"letter first", [](DeviceSettingsFields& f) { f.Serial3 = "a1"; }, DeviceField::Serial3,
         "Each group of the serial number must begin with a digit.", "Kestrune Error"},
        {"DIC 256", [](DeviceSettingsFields& f) { f.DeviceCode = 256; }, DeviceField::DeviceCode,
         "The device identification code must be a number from 0 to 255.", "Kestrune Error"},
    };
    for (const Row& row : rows) {
        DeviceSettingsFields fields = good;
        row.change(fields);
        DeviceFieldProblem problem = CheckDeviceSettingsFields(fields);
        EXPECT_EQ(problem.field, row.field) << row.name;
        EXPECT_EQ(problem.message, row.message) << row.name;
        EXPECT_EQ(problem.caption, row.caption) << row.name;
    }
}

TEST(DeviceReport, ReplyLines)
{
    EXPECT_EQ(FormatIdentityReplyLine(-1), "Error waiting for 'id' message reply.\r\n");
    EXPECT_EQ(FormatIdentityReplyLine(100), "Device replied with device id 100 [0x64] (\"Nova 20\").\r\n");
    EXPECT_EQ(FormatIdentityReplyLine(98), "Device replied with device id 98 [0x62] (\"Nova\").\r\n");
}

TEST(DeviceReport, InformationHeader)
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
