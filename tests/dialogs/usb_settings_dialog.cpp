#include <algorithm>

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include "SimFixture.h"
#include "dialogs/DlgUsb.h"
#include "records/MyCrvUsbDevice.h"
#include "records/UsbSettingsEdit.h"

namespace {

using platform::BoxOwner;
using platform::IDCANCEL;
using platform::IDOK;

using UsbSettingsDialog = DialogFixture<CDlgUsb>;

TEST_F(UsbSettingsDialog, ShowsTheImageInMemoryWithoutTouchingTheConverter)
{
    ASSERT_TRUE(Connect());
    // Memory and converter differ: opening must show memory.
    UsbSettingsRecord record;
    Device().GetUsbSettings(&record.data);
    std::snprintf(record.description.data(), 64, "only in memory");
    Device().SetUsbSettings(&record.data);

    Open();
    EXPECT_EQ(m_dlg->windowTitle(), "USB Settings");
    EXPECT_EQ(Edit("edit1001")->text(), "0x0403");
    EXPECT_EQ(Edit("edit1000")->text(), "0x6001");
    EXPECT_EQ(Edit("edit1002")->text(), "ZKM");
    EXPECT_EQ(Edit("edit1003")->text(), "ZK");
    EXPECT_EQ(Edit("edit1004")->text(), "ZK000012");
    EXPECT_EQ(Edit("edit1005")->text(), "only in memory");
    EXPECT_EQ(m_dlg->m_strVendorId, "0x0403");
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_TRUE(Edit("edit1001")->hasFocus());

    // Reload reads the converter again.
    Click(m_dlg.get(), "button1016");
    EXPECT_EQ(Edit("edit1005")->text(), "Corvina KV");
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_TRUE(m_dlg->isVisible());
}

TEST_F(UsbSettingsDialog, ReloadThatCannotReadKeepsTheFields)
{
    Configure({{"Eeprom", "ReadFails", "1"}});
    ASSERT_TRUE(Connect());
    m_ui.Clear(); // the connect's own report
    Open();
    Type("edit1002", "Typed");
    Click(m_dlg.get(), "button1016");
    ASSERT_EQ(m_ui.Boxes().size(), 1u);
    const auto box = m_ui.Boxes()[0];
    EXPECT_EQ(box.text, "Cannot read from USB EEPROM");
    EXPECT_EQ(box.caption, "Kestrune Error");
    EXPECT_EQ(box.flags, 0x30u);
    EXPECT_EQ(box.owner, BoxOwner::Dialog);
    EXPECT_EQ(Edit("edit1002")->text(), "Typed");
}

TEST_F(UsbSettingsDialog, ProgramWritesWhatASecondProcessReadsBack)
{
    ASSERT_TRUE(Connect());
    Open();
    Type("edit1001", "0x1234");
    Type("edit1000", "x5678");
    Type("edit1002", "Maker");
    Type("edit1003", "MK");
    Type("edit1004", "MK000777");
    // The longest description an FT-X holds beside Maker and MK000777: 44 characters in all.
    Type("edit1005", std::string(31, 'd').c_str());
    m_ui.QueueAnswer(IDOK);
    Click(m_dlg.get(), "button1");

    ASSERT_EQ(m_ui.Boxes().size(), 2u);
    const auto box = m_ui.Boxes()[0];
    // The success is told once, for those who do not see the dialog close.
    EXPECT_EQ(m_ui.Boxes()[1].text, "The converter holds the new USB settings; the read-back matches them.");
    // The values to be written are in the confirmation, for those who cannot see the fields.
    EXPECT_EQ(box.text, "Are you really sure you want to save the settings to the EEPROM area?\n\n"
                        "VendorId=0x1234\nProductId=x5678\nManufacturer=Maker\nManufacturerId=MK\n"
                        "SerialNumber=MK000777\nDescription=" + std::string(31, 'd'));
    EXPECT_EQ(box.caption, "Save settings to EEPROM");
    EXPECT_EQ(box.flags, 0x31u);
    EXPECT_EQ(box.owner, BoxOwner::Dialog);
    EXPECT_FALSE(m_dlg->isVisible());
    EXPECT_EQ(m_dlg->result(), QDialog::Accepted);
    EXPECT_NE(ProductionLog().find("*** USB data flashed"), std::string::npos);

    Device().Disconnect();
    int status = -1;
    const std::string shown = RunCli("eeprom show", &status);
    if (shown.empty())
        GTEST_SKIP() << "no kestrune-cli to read the converter from a second process";
    EXPECT_EQ(status, 0);
    EXPECT_NE(shown.find("VendorId=0x1234"), std::string::npos) << shown;
    EXPECT_NE(shown.find("ProductId=0x5678"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Manufacturer=Maker\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("ManufacturerId=MK\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("SerialNumber=MK000777"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Description=" + std::string(31, 'd') + "\n"), std::string::npos) << shown;
}

TEST_F(UsbSettingsDialog, CancelAtTheConfirmationWritesNothingAndProgramAsksAgain)
{
    ASSERT_TRUE(Connect());
    Open();
    Type("edit1001", "0x1234");
    m_ui.QueueAnswer(IDCANCEL);
    Click(m_dlg.get(), "button1");
    EXPECT_TRUE(m_dlg->isVisible());
    EXPECT_EQ(Edit("edit1001")->text(), "0x1234");
    EXPECT_EQ(ProductionLog(), "");
    UsbSettingsRecord record;
    Device().GetUsbSettings(&record.data);
    EXPECT_EQ(record.data.VendorId, 0x0403); // not even the image in memory

    m_ui.QueueAnswer(IDCANCEL);
    Click(m_dlg.get(), "button1");
    ASSERT_EQ(m_ui.Boxes().size(), 2u);
    EXPECT_EQ(m_ui.Boxes()[1].caption, "Save settings to EEPROM");
    EXPECT_TRUE(m_dlg->isVisible());
}

TEST_F(UsbSettingsDialog, RefusesValuesTheConverterCannotTake)
{
    ASSERT_TRUE(Connect());
    Open();
    struct Case {
        const char* edit;
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        // Upper-case X is not trimmed, so nothing defines the value.
        {"edit1000", "0X1234", "The Product ID must be a hexadecimal number, such as 0x0403."},
        {"edit1004", std::string(64, 's'), "The Serial Number must not be longer than 63 characters."},
        {"edit1001", "12345", "The Vendor ID \"12345\" is larger than 0xffff, the largest USB ID; nothing was programmed."},
        {"edit1001", "0x0000", "The Vendor ID \"0x0000\" is 0x0000, which no driver finds; nothing was programmed."},
        {"edit1000", "x", "The Product ID must be a hexadecimal number, such as 0x0403."},
        {"edit1002", "Z\xc3\xbc" "rich", "The Manufacturer \"Z\xc3\xbc" "rich\" holds a character other than "
                                    "printable ASCII; nothing was programmed."},
        // A tab cannot be typed into the field (it moves the focus), but it can be pasted.
        {"edit1005", "CORVINA\tUSB",
         "The Device Description \"CORVINA\\tUSB\" holds a control character (a line break, a tab); nothing was programmed."},
    };
    for (const Case& c : cases) {
        const std::size_t before = m_ui.Boxes().size();
        // Neither a tab nor a character beyond ASCII is typed by key clicks: they are pasted.
        if (std::any_of(c.text.begin(), c.text.end(),
                        [](char ch) { return ch == '\t' || static_cast<unsigned char>(ch) > 0x7E; })) {
            QGuiApplication::clipboard()->setText(QString::fromStdString(c.text));
            Edit(c.edit)->setFocus();
            Edit(c.edit)->selectAll();
            QTest::keyClick(Edit(c.edit), Qt::Key_V, Qt::ControlModifier);
        } else {
            Type(c.edit, c.text.c_str());
        }
        Click(m_dlg.get(), "button1");
        ASSERT_EQ(m_ui.Boxes().size(), before + 1) << c.text;
        EXPECT_EQ(m_ui.Boxes().back().text, c.message);
        EXPECT_EQ(m_ui.Boxes().back().caption, "Kestrune Error");
        EXPECT_TRUE(Edit(c.edit)->hasFocus()) << c.text;
        EXPECT_EQ(Edit(c.edit)->selectedText().toStdString(), c.text);
        EXPECT_TRUE(m_dlg->isVisible());
        Type(c.edit, std::string(c.edit) == "edit1001"   ? "0x0403"
                     : std::string(c.edit) == "edit1000" ? "0x6001"
                                                         : "CORVINA USB");
    }
    EXPECT_EQ(ProductionLog(), "");
}

TEST_F(UsbSettingsDialog, FailedProgrammingKeepsTheDialogAndTheNewValuesInMemory)
{
    Configure({{"Eeprom", "ProgramFails", "1"}});
    ASSERT_TRUE(Connect());
    Open();
    Type("edit1001", "1f");
    m_ui.QueueAnswer(IDOK);
    Click(m_dlg.get(), "button1");
    ASSERT_EQ(m_ui.Boxes().size(), 2u);
    EXPECT_EQ(m_ui.Boxes()[1].text, "Canot write to USB EEPROM");
    EXPECT_EQ(m_ui.Boxes()[1].caption, "Kestrune Error");
    EXPECT_EQ(m_ui.Boxes()[1].flags, 0x30u);
    EXPECT_TRUE(m_dlg->isVisible());
    UsbSettingsRecord record;
    Device().GetUsbSettings(&record.data);
    EXPECT_EQ(record.data.VendorId, 0x1F);
}

TEST_F(UsbSettingsDialog, AValueTheConverterDoesNotKeepIsNamed)
{
    Configure({{"Eeprom", "ProgramCorrupts", "1"}});
    ASSERT_TRUE(Connect());
    Open();
    Type("edit1001", "0xF300");
    m_ui.QueueAnswer(IDOK);
    Click(m_dlg.get(), "button1");
    ASSERT_EQ(m_ui.Boxes().size(), 3u);
    EXPECT_EQ(m_ui.Boxes()[1].text,
              "The converter does not hold what was programmed: ProductId differs when read back.");
    EXPECT_EQ(m_ui.Boxes()[1].caption, "Kestrune Error");
    EXPECT_EQ(m_ui.Boxes()[2].text, "Canot write to USB EEPROM");
    EXPECT_TRUE(m_dlg->isVisible());
    // The operator goes on at the field that differed, not at the first one.
    EXPECT_EQ(m_dlg->focusWidget(), Edit("edit1000"));
    // The log holds what the converter holds, and no device got its number.
    EXPECT_NE(ProductionLog().find("*** USB data NOT verified: ProductId differs when read back\r\n***\r\n"
                                   "[USB]\r\nVendorId=0xf300\r\nProductId=0x6000\r\n"),
              std::string::npos)
        << ProductionLog();
    EXPECT_EQ(ProductionLog().find("*** USB data flashed"), std::string::npos);
}

TEST(UsbSettingsDialogParse, ParseHexWordOfTheDialog)
{
    EXPECT_EQ(CDlgUsb::ParseHexWord("0x0403"), 0x0403);
    EXPECT_EQ(CDlgUsb::ParseHexWord("12345"), 0x2345);
    EXPECT_EQ(CDlgUsb::ParseHexWord("0x0000"), 0);
    EXPECT_EQ(CDlgUsb::ParseHexWord(""), 0);
    EXPECT_EQ(CDlgUsb::ParseHexWord("0X1234"), std::nullopt);
}

} // namespace
