#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "records/UsbSettingsEdit.h"

namespace {

struct HexCase {
    const char* text;
    std::optional<std::uint16_t> value;
};

TEST(ParseHexWord, TrimsTheLeadingSetAndReadsHexDigits)
{
    const HexCase cases[] = {
        {"", 0},          {"0x0403", 0x0403}, {"0403", 0x0403},  {"x403", 0x0403},
        {" 403", 0x0403}, {"\t0x6001", 0x6001}, {"0x0000", 0},   {"0000", 0},
        {"x0x12", 0x12},  {"12345", 0x2345}, {"1fg", 0x1F},      {"FFFF", 0xFFFF},
        {"0xAbCd", 0xABCD}, {"123456789", 0x6789}, {"ffff1", 0xFFF1},
        {"0x 12", 0x12},  {"0x0403h", 0x0403}, {"FfFf", 0xFFFF}, {"0x12 34", 0x12},
    };
    for (const HexCase& c : cases)
        EXPECT_EQ(ParseHexWord(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseHexWord, TextsWithoutADefinedValueAreNotNumbers)
{
    // Upper-case X is not in the trimmed set, and a sign or a letter beyond f starts no number.
    for (const char* text : {"0X1234", "X1", "g1", "-5", "+5", "\n12", "0x.1"})
        EXPECT_EQ(ParseHexWord(text), std::nullopt) << '"' << text << '"';
}

UsbSettingsFields GoodFields()
{
    return {"0x0403", "0x6001", "ZKM", "ZK", "ZK000013", "Corvina KV"};
}

TEST(CheckUsbSettingsFields, AcceptsWellFormedFieldsAndTheLongestTexts)
{
    EXPECT_EQ(CheckUsbSettingsFields(GoodFields()).field, UsbField::None);
    UsbSettingsFields f = GoodFields();
    f.Description = std::string(63, 'd');
    f.VendorId = "x1";
    f.ProductId = "0x0000ffff";
    EXPECT_EQ(CheckUsbSettingsFields(f).field, UsbField::None);

    // Empty texts are no problem, one character too many is.
    UsbSettingsFields bare;
    bare.VendorId = "0x0403";
    bare.ProductId = "0x6001";
    bare.Description = std::string(63, 'd');
    EXPECT_EQ(CheckUsbSettingsFields(bare).field, UsbField::None);
    bare.Description = std::string(64, 'd');
    const UsbFieldProblem p = CheckUsbSettingsFields(bare);
    EXPECT_EQ(p.field, UsbField::Description);
    EXPECT_EQ(p.message, "The Device Description must not be longer than 63 characters.");
}

TEST(CheckUsbSettingsFields, NamesTheFirstFieldTopToBottom)
{
    UsbSettingsFields f = GoodFields();
    f.Description = std::string(64, 'd');
    f.ManufacturerId = std::string(64, 'm');
    UsbFieldProblem p = CheckUsbSettingsFields(f);
    EXPECT_EQ(p.field, UsbField::ManufacturerId);
    EXPECT_EQ(p.message, "The Manufacturer ID must not be longer than 63 characters.");

    f.ProductId = "0X1234";
    p = CheckUsbSettingsFields(f);
    EXPECT_EQ(p.field, UsbField::ProductId);
    EXPECT_EQ(p.message, "The Product ID must be a hexadecimal number, such as 0x0403.");

    for (auto [member, field] : {std::pair{&UsbSettingsFields::Manufacturer, UsbField::Manufacturer},
                                 std::pair{&UsbSettingsFields::SerialNumber, UsbField::SerialNumber},
                                 std::pair{&UsbSettingsFields::Description, UsbField::Description}}) {
        UsbSettingsFields one = GoodFields();
        one.*member = std::string(100, 'x');
        EXPECT_EQ(CheckUsbSettingsFields(one).field, field);
    }
    UsbSettingsFields vendor = GoodFields();
    vendor.VendorId = "q";
    EXPECT_EQ(CheckUsbSettingsFields(vendor).field, UsbField::VendorId);
}

TEST(CheckUsbSettingsFields, RefusesWhatTheConverterCannotTakeNamingTheValue)
{
    struct Case {
        std::string UsbSettingsFields::*member;
        std::string value;
        UsbField field; // None: accepted
        std::string message;
    } cases[] = {
        {&UsbSettingsFields::VendorId, "0xffff", UsbField::None, ""},
        {&UsbSettingsFields::VendorId, " 403 ", UsbField::None, ""},
        // Read up to the first other character, a typo would program another ID.
        {&UsbSettingsFields::ProductId, "0x6O15", UsbField::ProductId,
         "The Product ID must be a hexadecimal number, such as 0x0403."},
        {&UsbSettingsFields::VendorId, "0x0403junk", UsbField::VendorId,
         "The Vendor ID must be a hexadecimal number, such as 0x0403."},
        {&UsbSettingsFields::ProductId, "0x6_15", UsbField::ProductId,
         "The Product ID must be a hexadecimal number, such as 0x0403."},
        {&UsbSettingsFields::VendorId, "0x0000ffff", UsbField::None, ""},
        {&UsbSettingsFields::VendorId, "0x1beef", UsbField::VendorId,
         "The Vendor ID \"0x1beef\" is larger than 0xffff, the largest USB ID; nothing was programmed."},
        {&UsbSettingsFields::ProductId, "0x10000", UsbField::ProductId,
         "The Product ID \"0x10000\" is larger than 0xffff, the largest USB ID; nothing was programmed."},
        {&UsbSettingsFields::ProductId, "123456789abcdef", UsbField::ProductId,
         "The Product ID \"123456789abcdef\" is larger than 0xffff, the largest USB ID; nothing was programmed."},
        {&UsbSettingsFields::Description, "a\r\n*** USB data flashed", UsbField::Description,
         "The Device Description \"a\\r\\n*** USB data flashed\" holds a control character (a line break, a tab); "
         "nothing was programmed."},
        {&UsbSettingsFields::SerialNumber, std::string("ZK\x7f", 3), UsbField::SerialNumber,
         "The Serial Number \"ZK\\x7f\" holds a control character (a line break, a tab); nothing was programmed."},
        // No driver finds a converter with ID 0, however the 0 is written.
        {&UsbSettingsFields::VendorId, "0x0000", UsbField::VendorId,
         "The Vendor ID \"0x0000\" is 0x0000, which no driver finds; nothing was programmed."},
        {&UsbSettingsFields::ProductId, "", UsbField::ProductId,
         "The Product ID must be a hexadecimal number, such as 0x0403."},
        {&UsbSettingsFields::ProductId, "x", UsbField::ProductId,
         "The Product ID must be a hexadecimal number, such as 0x0403."},
        {&UsbSettingsFields::ProductId, " ", UsbField::ProductId,
         "The Product ID must be a hexadecimal number, such as 0x0403."},
        {&UsbSettingsFields::ProductId, "00000", UsbField::ProductId,
         "The Product ID \"00000\" is 0x0000, which no driver finds; nothing was programmed."},
        // The bus would show each UTF-8 byte as a character of its own.
        {&UsbSettingsFields::Description, "Gr\xc3\xb6\xc3\x9f" "e \xe2\x82\xac", UsbField::Description,
         "The Device Description \"Gr\xc3\xb6\xc3\x9f" "e \xe2\x82\xac\" holds a character other than "
         "printable ASCII; nothing was programmed."},
        {&UsbSettingsFields::ManufacturerId, "\xfc", UsbField::ManufacturerId,
         "The Manufacturer ID \"\xfc\" holds a character other than printable ASCII; nothing was programmed."},
        {&UsbSettingsFields::SerialNumber, "~ !", UsbField::None, ""},
    };
    for (const Case& c : cases) {
        UsbSettingsFields f = GoodFields();
        f.*c.member = c.value;
        const UsbFieldProblem p = CheckUsbSettingsFields(f);
        EXPECT_EQ(p.field, c.field) << c.value;
        EXPECT_EQ(p.message, c.message) << c.value;
    }
}

TEST(UsbFieldsFromRecord, ShowsIdsWithFourLowerCaseDigitsAndTextsAsTheyAre)
{
    UsbSettingsRecord record;
    record.data.VendorId = 1027;
    record.data.ProductId = 0xF208;
    std::snprintf(record.manufacturer.data(), 64, "%s", "ZKM");
    std::snprintf(record.serialNumber.data(), 64, "%s", "ZK000001");
    const UsbSettingsFields f = UsbFieldsFromRecord(record.data);
    EXPECT_EQ(f.VendorId, "0x0403");
    EXPECT_EQ(f.ProductId, "0xf208");
    EXPECT_EQ(f.Manufacturer, "ZKM");
    EXPECT_EQ(f.ManufacturerId, "");
    EXPECT_EQ(f.SerialNumber, "ZK000001");
    EXPECT_EQ(f.Description, "");

    // What the record shows can be programmed back as it is.
    EXPECT_EQ(CheckUsbSettingsFields(f).field, UsbField::None);

    record.data.VendorId = 0;
    record.data.ProductId = 0x6001;
    EXPECT_EQ(UsbFieldsFromRecord(record.data).VendorId, "0x0000");
    EXPECT_EQ(UsbFieldsFromRecord(record.data).ProductId, "0x6001");
}

} // namespace
