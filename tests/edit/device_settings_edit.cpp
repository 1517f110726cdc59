#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "records/DeviceSettingsEdit.h"

namespace {

TEST(DeviceFieldsFromRecord, PadsTheGroupsAndKeepsLongerOnesWhole)
{
    DeviceData d;
    d.DeviceCode = 0x5F;
    d.SerialPart1 = 12;
    d.SerialPart2 = 345;
    d.SerialPart3 = 6;
    d.ManufacturingDate = 1425427200;
    d.LastUpdateDate = 1462492800;
    DeviceSettingsFields f = DeviceFieldsFromRecord(d);
    EXPECT_EQ(f.DeviceCode, 0x5Fu);
    EXPECT_EQ(f.Serial1, "0012");
    EXPECT_EQ(f.Serial2, "0345");
    EXPECT_EQ(f.Serial3, "006");
    EXPECT_EQ(f.Manufacturing, 1425427200);
    EXPECT_EQ(f.LastUpdate, 1462492800);

    // What the record shows can be written back as it is.
    EXPECT_EQ(CheckDeviceSettingsFields(f).field, DeviceField::None);
    EXPECT_EQ(ParseDecimalPrefix(f.Serial2), 345);

    d.SerialPart1 = 10000; // a record may hold it, the four-character edit not
    EXPECT_EQ(DeviceFieldsFromRecord(d).Serial1, "10000");
}

TEST(ParseDecimalPrefix, SkipsBlanksAndStopsAtTheFirstNonDigit)
{
    EXPECT_EQ(ParseDecimalPrefix("0012"), 12);
    EXPECT_EQ(ParseDecimalPrefix(" 345"), 345);
    EXPECT_EQ(ParseDecimalPrefix("\t006"), 6);
    EXPECT_EQ(ParseDecimalPrefix("12a4"), 12);
    EXPECT_EQ(ParseDecimalPrefix(""), 0);
    EXPECT_EQ(ParseDecimalPrefix("abc"), 0);
    EXPECT_EQ(ParseDecimalPrefix("-5"), 0);
    EXPECT_EQ(ParseDecimalPrefix("+5"), 0);
    EXPECT_EQ(ParseDecimalPrefix(" 7 8"), 7);
    EXPECT_EQ(ParseDecimalPrefix("99999999999999"), std::numeric_limits<std::int32_t>::max());
}

DeviceSettingsFields Good()
{
    DeviceSettingsFields f;
    f.DeviceCode = 95;
    f.Serial1 = "0012";
    f.Serial2 = "0345";
    f.Serial3 = "006";
    f.Manufacturing = 1425427200;
    f.LastUpdate = 1462492800;
    return f;
}

TEST(CheckDeviceSettingsFields, RefusesWhatTheRecordCannotHold)
{
    EXPECT_EQ(CheckDeviceSettingsFields(Good()).field, DeviceField::None);

    DeviceSettingsFields f = Good();
    f.LastUpdate = -86400;
    DeviceFieldProblem p = CheckDeviceSettingsFields(f);
    EXPECT_EQ(p.field, DeviceField::LastUpdate);
    EXPECT_EQ(p.message, "Date is out of range.");
    EXPECT_EQ(p.caption, "Date is out of range.");
    f.Manufacturing = -1;
    EXPECT_EQ(CheckDeviceSettingsFields(f).field, DeviceField::Manufacturing);

    f = Good();
    f.DeviceCode = 255;
    EXPECT_EQ(CheckDeviceSettingsFields(f).field, DeviceField::None);
    f.DeviceCode = 256;
    p = CheckDeviceSettingsFields(f);
    EXPECT_EQ(p.field, DeviceField::DeviceCode);
    EXPECT_EQ(p.message, "The device identification code must be a number from 0 to 255.");
    EXPECT_EQ(p.caption, "Kestrune Error");

    // The dates come before the code.
    f.Manufacturing = -3600;
    EXPECT_EQ(CheckDeviceSettingsFields(f).field, DeviceField::Manufacturing);
}

TEST(CheckDeviceSettingsFields, SerialGroupsNeedADigitFirstAndKeepTheirLength)
{
    struct Case {
        std::string DeviceSettingsFields::*group;
        const char* text;
        DeviceField field;
        const char* message;
        const char* caption;
    };
    const char* notNumber = "Each group of the serial number must begin with a digit.";
    const char* error = "Kestrune Error";
    const Case cases[] = {
        {&DeviceSettingsFields::Serial1, "", DeviceField::Serial1, notNumber, error},
        {&DeviceSettingsFields::Serial1, "a12", DeviceField::Serial1, notNumber, error},
        {&DeviceSettingsFields::Serial2, "  ", DeviceField::Serial2, notNumber, error},
        {&DeviceSettingsFields::Serial2, "", DeviceField::Serial2, notNumber, error},
        {&DeviceSettingsFields::Serial3, "-1", DeviceField::Serial3, notNumber, error},
        {&DeviceSettingsFields::Serial3, "a1", DeviceField::Serial3, notNumber, error},
        // The class library's message under the application's title.
        {&DeviceSettingsFields::Serial1, "10000", DeviceField::Serial1,
         "Please enter no more than 4 characters.", "Kestrune"},
        {&DeviceSettingsFields::Serial3, "0006", DeviceField::Serial3,
         "Please enter no more than 3 characters.", "Kestrune"},
        {&DeviceSettingsFields::Serial2, " 12", DeviceField::None, "", ""},
        {&DeviceSettingsFields::Serial3, "1x", DeviceField::None, "", ""},
    };
    for (const Case& c : cases) {
        DeviceSettingsFields f = Good();
        f.*c.group = c.text;
        const DeviceFieldProblem p = CheckDeviceSettingsFields(f);
        EXPECT_EQ(p.field, c.field) << '"' << c.text << '"';
        EXPECT_EQ(p.message, c.message) << '"' << c.text << '"';
        EXPECT_EQ(p.caption, c.caption) << '"' << c.text << '"';
    }
    EXPECT_EQ(MaxCharsMessage(12), "Please enter no more than 12 characters.");
}

} // namespace
