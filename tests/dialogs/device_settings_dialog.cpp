#include <QCalendarWidget>
#include <QDateEdit>
#include <QLineEdit>

#include "SimFixture.h"
#include "dialogs/DlgDevice.h"
#include "records/MyCrvUsbDevice.h"

namespace {

using platform::BoxOwner;
using platform::IDCANCEL;
using platform::IDOK;

class DeviceSettingsDialog : public DialogFixture<CDlgDevice> {
protected:
    QDateEdit* Date(const char* name) { return m_dlg->findChild<QDateEdit*>(name); }
    // The record as the converter holds it now.
    DeviceData Stored()
    {
        DeviceData data;
        EXPECT_TRUE(Device().ReadUserArea());
        EXPECT_TRUE(Device().GetDeviceData(data));
        return data;
    }
};

TEST_F(DeviceSettingsDialog, ShowsTheRecordAndStoresTheGroupsAsNumbers)
{
    ASSERT_TRUE(Connect());
    Open();
    EXPECT_EQ(m_dlg->windowTitle(), "Corvina II Device Settings");
    EXPECT_EQ(Edit("edit1008")->text(), "95");
    EXPECT_EQ(Edit("edit1010")->text(), "0012");
    EXPECT_EQ(Edit("edit1006")->text(), "0345");
    EXPECT_EQ(Edit("edit1009")->text(), "006");
    EXPECT_EQ(Date("datetime1014")->date(), QDate(2015, 3, 4));
    EXPECT_EQ(Date("datetime1015")->date(), QDate(2016, 5, 6));
    EXPECT_TRUE(Date("datetime1014")->calendarPopup());
    EXPECT_TRUE(Date("datetime1014")->displayFormat().contains("yyyy"));
    // Nothing after the last year the record can hold.
    Date("datetime1015")->setDate(QDate(2040, 1, 1));
    EXPECT_EQ(Date("datetime1015")->date(), QDate(2037, 12, 31));

    Type("edit1008", "96");
    Date("datetime1015")->setDate(QDate(2024, 2, 29));
    m_ui.QueueAnswer(IDOK);
    Click(m_dlg.get(), "button1");
    ASSERT_EQ(m_ui.Boxes().size(), 2u);
    EXPECT_EQ(m_ui.Boxes()[0].caption, "Save settings to EEPROM");
    EXPECT_EQ(m_ui.Boxes()[0].flags, 0x31u);
    // What will be written is read out before it is, dates as the fields show them.
    const QString shown = Date("datetime1015")->text();
    EXPECT_EQ(m_ui.Boxes()[0].text, "Are you really sure you want to save the settings to the EEPROM area?\n\n"
                                    "Device code=96\nSerial number=0012.0345.006\nDate of Manufacturing=" +
                                        Date("datetime1014")->text().toStdString() +
                                        "\nDate of Last Update=" + shown.toStdString());
    EXPECT_TRUE(shown.contains("2024"));
    // And the success is told once.
    EXPECT_EQ(m_ui.Boxes()[1].text, "The converter holds the new device record; the read-back matches it.");
    EXPECT_EQ(m_dlg->result(), QDialog::Accepted);
    EXPECT_EQ(m_dlg->m_nDeviceCode, 96u);

    const DeviceData d = Stored();
    EXPECT_EQ(d.DeviceCode, 96);
    EXPECT_EQ(d.SerialPart1, 12);
    EXPECT_EQ(d.SerialPart2, 345);
    EXPECT_EQ(d.SerialPart3, 6);
    EXPECT_EQ(d.ManufacturingDate, QDateTime(QDate(2015, 3, 4), QTime(0, 0), Qt::UTC).toSecsSinceEpoch());
    EXPECT_EQ(d.LastUpdateDate, QDateTime(QDate(2024, 2, 29), QTime(0, 0), Qt::UTC).toSecsSinceEpoch());
    EXPECT_NE(ProductionLog().find("*** Device data to user area flashed"), std::string::npos);
}

TEST_F(DeviceSettingsDialog, TypedDateBefore1970IsOutOfRangeAndNothingIsWritten)
{
    ASSERT_TRUE(Connect());
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    Open();
    QLocale::setDefault(previous);
    QDateEdit* picker = Date("datetime1014");
    // The short date of the locale, with the year in full so that 1969 can be typed.
    EXPECT_EQ(picker->displayFormat(), "M/d/yyyy");
    EXPECT_EQ(picker->text(), "3/4/2015");
    picker->setFocus();
    for (auto [section, text] : {std::pair{QDateTimeEdit::YearSection, "1969"},
                                 std::pair{QDateTimeEdit::MonthSection, "12"},
                                 std::pair{QDateTimeEdit::DaySection, "31"}}) {
        picker->setSelectedSection(section);
        QTest::keyClicks(picker, text);
    }
    ASSERT_EQ(picker->date(), QDate(1969, 12, 31));

    Click(m_dlg.get(), "button1");
    ASSERT_EQ(m_ui.Boxes().size(), 1u);
    EXPECT_EQ(m_ui.Boxes()[0].text, "Date is out of range.");
    EXPECT_EQ(m_ui.Boxes()[0].caption, "Date is out of range.");
    EXPECT_EQ(m_ui.Boxes()[0].flags, 0x30u);
    EXPECT_EQ(m_ui.Boxes()[0].owner, BoxOwner::Dialog);
    EXPECT_TRUE(m_dlg->isVisible());
    EXPECT_EQ(m_dlg->m_timeManufacturing, -1);
    EXPECT_EQ(ProductionLog(), "");

    picker->setDate(QDate(1970, 1, 1)); // the first day that can be stored as a time value
    m_ui.QueueAnswer(IDCANCEL);
    Click(m_dlg.get(), "button1");
    ASSERT_EQ(m_ui.Boxes().size(), 2u);
    EXPECT_EQ(m_ui.Boxes()[1].caption, "Save settings to EEPROM");
    EXPECT_TRUE(m_dlg->isVisible());
    EXPECT_EQ(ProductionLog(), "");
}

TEST_F(DeviceSettingsDialog, FirstGroupOfFiveDigitsFailsUntilShortened)
{
    Configure({{"UserArea", "SerialNumber", "10000.0345.006"}});
    ASSERT_TRUE(Connect());
    Open();
    QLineEdit* first = Edit("edit1010");
    EXPECT_EQ(first->text(), "10000");
    // The limit stops typing but not deleting.
    first->setFocus();
    first->end(false);
    QTest::keyClick(first, Qt::Key_5);
    EXPECT_EQ(first->text(), "10000");

    Click(m_dlg.get(), "button1");
    ASSERT_EQ(m_ui.Boxes().size(), 1u);
    EXPECT_EQ(m_ui.Boxes()[0].text, "Please enter no more than 4 characters.");
    EXPECT_EQ(m_ui.Boxes()[0].caption, "Kestrune");
    EXPECT_EQ(m_ui.Boxes()[0].flags, 0x30u);
    EXPECT_TRUE(first->hasFocus());
    EXPECT_EQ(first->selectedText(), "10000");
    EXPECT_TRUE(m_dlg->isVisible());

    first->end(false);
    QTest::keyClick(first, Qt::Key_Backspace);
    EXPECT_EQ(first->text(), "1000");
    QTest::keyClick(first, Qt::Key_7);
    EXPECT_EQ(first->text(), "1000");
    m_ui.QueueAnswer(IDOK);
    Click(m_dlg.get(), "button1");
    EXPECT_EQ(m_dlg->result(), QDialog::Accepted);
    EXPECT_EQ(Stored().SerialPart1, 1000);
}

TEST_F(DeviceSettingsDialog, ACodeAbove255NeverReachesTheFrameEvenWhenALaterControlFails)
{
    Configure({{"UserArea", "SerialNumber", "10000.0345.006"}});
    ASSERT_TRUE(Connect());
    Open();
    Type("edit1008", "300");
    Click(m_dlg.get(), "button1");
    ASSERT_EQ(BoxTexts(), std::vector<std::string>{"Please enter no more than 4 characters."});
    EXPECT_EQ(m_dlg->m_nDeviceCode, 95u);
    // A code the record can hold is taken even so, as the exchange took it.
    Type("edit1008", "96");
    Click(m_dlg.get(), "button1");
    EXPECT_EQ(m_dlg->m_nDeviceCode, 96u);
    EXPECT_EQ(ProductionLog(), "");
}

TEST_F(DeviceSettingsDialog, ARecordThatDoesNotFitIsNotWrittenAsTheOldOne)
{
    ASSERT_TRUE(Connect());
    DeviceData before;
    ASSERT_TRUE(Device().GetDeviceData(before));
    DeviceSettingsFields fields = DeviceFieldsFromRecord(before);
    fields.Serial1 = "70000"; // past what the checks let through: the record ends at 65535
    fields.Serial3 = "007";
    EXPECT_FALSE(WriteDeviceSettingsFields(Device(), fields));
    EXPECT_EQ(ProductionLog(), "");
    const DeviceData stored = Stored();
    EXPECT_EQ(stored.SerialPart1, 12);
    EXPECT_EQ(stored.SerialPart3, 6);
}

TEST_F(DeviceSettingsDialog, CodeAndGroupsThatCannotBeStoredAreRefused)
{
    ASSERT_TRUE(Connect());
    Open();
    struct Case {
        const char* edit;
        const char* text;
        const char* message;
        const char* caption;
    };
    const Case cases[] = {
        {"edit1008", "abc", "Please enter a positive integer.", "Kestrune"},
        {"edit1008", "-1", "Please enter a positive integer.", "Kestrune"},
        {"edit1008", "", "Please enter a positive integer.", "Kestrune"},
        {"edit1008", "256", "The device identification code must be a number from 0 to 255.",
         "Kestrune Error"},
        {"edit1010", "", "Each group of the serial number must begin with a digit.", "Kestrune Error"},
        {"edit1006", "x1", "Each group of the serial number must begin with a digit.", "Kestrune Error"},
    };
    for (const Case& c : cases) {
        m_ui.Clear();
        const QString before = Edit(c.edit)->text();
        Type(c.edit, c.text);
        Click(m_dlg.get(), "button1");
        ASSERT_EQ(m_ui.Boxes().size(), 1u) << c.text;
        EXPECT_EQ(m_ui.Boxes()[0].text, c.message) << c.text;
        EXPECT_EQ(m_ui.Boxes()[0].caption, c.caption) << c.text;
        EXPECT_TRUE(Edit(c.edit)->hasFocus()) << c.text;
        EXPECT_TRUE(m_dlg->isVisible());
        Type(c.edit, before);
    }
    // A refused code is not the code the frame switches to.
    EXPECT_EQ(m_dlg->m_nDeviceCode, 95u);
    // Blanks around the code are the exchange's to accept.
    Type("edit1008", " 97 ");
    m_ui.QueueAnswer(IDCANCEL);
    Click(m_dlg.get(), "button1");
    EXPECT_EQ(m_dlg->m_nDeviceCode, 97u);
    EXPECT_EQ(ProductionLog(), "");
    EXPECT_EQ(Stored().DeviceCode, 0x5F);
}

TEST_F(DeviceSettingsDialog, ReloadReportsReadAndChecksumFailuresAndKeepsTheFields)
{
    ASSERT_TRUE(Connect());
    Open();
    Type("edit1010", "0099");
    Click(m_dlg.get(), "button1016");
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_EQ(Edit("edit1010")->text(), "0012");

    Device().Disconnect();
    Configure({{"UserArea", "BadChecksum", "1"}});
    ASSERT_TRUE(Connect());
    m_ui.Clear();
    Type("edit1010", "0099");
    Click(m_dlg.get(), "button1016");
    ASSERT_EQ(m_ui.Boxes().size(), 1u);
    EXPECT_EQ(m_ui.Boxes()[0].text, "Checksum error");
    EXPECT_EQ(m_ui.Boxes()[0].caption, "Kestrune Error");
    EXPECT_EQ(m_ui.Boxes()[0].flags, 0x30u);
    EXPECT_EQ(Edit("edit1010")->text(), "0099");

    Device().Disconnect();
    Configure({{"UserArea", "ReadFails", "1"}});
    ASSERT_TRUE(Connect());
    m_ui.Clear();
    Click(m_dlg.get(), "button1016");
    ASSERT_EQ(m_ui.Boxes().size(), 1u);
    EXPECT_EQ(m_ui.Boxes()[0].text, "Cannot read from USB EEPROM");
    EXPECT_EQ(Edit("edit1010")->text(), "0099");
}

TEST_F(DeviceSettingsDialog, FailedWriteKeepsTheDialogOpenForAnotherTry)
{
    Configure({{"UserArea", "WriteFails", "1"}});
    ASSERT_TRUE(Connect());
    Open();
    m_ui.QueueAnswer(IDOK);
    m_ui.QueueAnswer(IDCANCEL);
    Click(m_dlg.get(), "button1");
    ASSERT_EQ(m_ui.Boxes().size(), 2u);
    EXPECT_EQ(m_ui.Boxes()[1].text, "Canot write to USB EEPROM");
    EXPECT_EQ(m_ui.Boxes()[1].caption, "Kestrune Error");
    EXPECT_EQ(m_ui.Boxes()[1].flags, 0x31u);
    EXPECT_TRUE(m_dlg->isVisible());
    // The attempt is logged as one that failed.
    EXPECT_NE(ProductionLog().find("*** Device data to user area NOT flashed: the write failed\r\n"), std::string::npos);
    EXPECT_EQ(ProductionLog().find("user area flashed"), std::string::npos);
}

// Typed whole, as a user of the locale writes a date: the year stays the one typed.
TEST_F(DeviceSettingsDialog, ADateTypedInTheLocaleKeepsItsFourDigitYear)
{
    ASSERT_TRUE(Connect());
    const struct {
        QLocale locale;
        const char* typed;
    } cases[] = {{QLocale(QLocale::German, QLocale::Germany), "15.03.2024"},
                 {QLocale(QLocale::English, QLocale::UnitedStates), "3/15/2024"},
                 {QLocale(QLocale::English, QLocale::UnitedKingdom), "15/03/2024"}};
    for (const auto& c : cases) {
        const QLocale previous;
        QLocale::setDefault(c.locale);
        Open();
        QLocale::setDefault(previous);
        QDateEdit* picker = Date("datetime1014");
        picker->setFocus(Qt::TabFocusReason);
        // Tabbed into, as from the field before: the first section is selected.
        QTest::keyClicks(picker, c.typed);
        QTest::keyClick(picker, Qt::Key_Tab);
        EXPECT_EQ(picker->date(), QDate(2024, 3, 15)) << c.typed << " shown as " << picker->text().toStdString();
        EXPECT_EQ(picker->text(), c.typed);
        Click(m_dlg.get(), "button2");
    }
}

// A record the converter does not keep: the operator goes on at the field that differed.
TEST_F(DeviceSettingsDialog, ADifferingReadBackFocusesItsField)
{
    Configure({{"UserArea", "WriteCorrupts", "1"}});
    ASSERT_TRUE(Connect());
    Open();
    m_ui.QueueAnswer(IDOK);
    Click(m_dlg.get(), "button1");
    ASSERT_GE(m_ui.Boxes().size(), 2u);
    EXPECT_EQ(m_ui.Boxes().back().text, "Canot write to USB EEPROM");
    EXPECT_TRUE(m_dlg->isVisible());
    EXPECT_EQ(m_dlg->focusWidget(), Edit("edit1010"));
}

TEST_F(DeviceSettingsDialog, CancelClosesWithoutWriting)
{
    ASSERT_TRUE(Connect());
    Open();
    Type("edit1009", "999");
    Click(m_dlg.get(), "button2");
    EXPECT_EQ(m_dlg->result(), QDialog::Rejected);
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_EQ(Stored().SerialPart3, 6);
}

} // namespace
