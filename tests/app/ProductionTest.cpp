// The Production menu against the simulated display: the unit job on its worker thread, the
// log's history, the backups and their restore, the diagnostics.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "GuiTest.h"
#include "app/CrvsetupApp.h"
#include "app/MainFrame.h"
#include "app/ProductionCommands.h"
#include "dialogs/DlgBackups.h"
#include "dialogs/DlgDiagnostics.h"
#include "dialogs/DlgHistory.h"
#include "dialogs/DlgRunUnit.h"
#include "dialogs/Seams.h"
#include "link/DeviceSelection.h"
#include "platform/Ui.h"
#include "res/Strings.h"

namespace fs = std::filesystem;

namespace {

std::string Bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

class Production : public GuiTest {
protected:
    CMainFrame& MainFrame() { return *theApp.MainWindow(); }
    std::string DriveC() { return dir_.File("data") + "/kestrune/drive_c"; }
    std::string LastBox() const
    {
        const auto boxes = BoxTexts();
        return boxes.empty() ? std::string() : boxes.back();
    }
    // Chooses the item of the Production menu; driver gets the dialog it opens.
    template <typename Dialog>
    void Choose(unsigned id, const std::function<void(Dialog&)>& driver)
    {
        bool driven = false;
        gui::seams::SetDialogDriver([&](QDialog& dialog) {
            auto* dlg = dynamic_cast<Dialog*>(&dialog);
            ASSERT_NE(dlg, nullptr);
            driven = true;
            driver(*dlg);
            dialog.reject();
        });
        MainFrame().findChild<QMenu*>("menuProduction")->findChild<QAction*>(QStringLiteral("action%1").arg(id))->trigger();
        gui::seams::SetDialogDriver(nullptr);
        EXPECT_TRUE(driven);
    }
};

TEST_F(Production, RunUnitDoesTheWholeJobFromTheMenu)
{
    const std::string firmware = WriteFirmware();
    gui::seams::SetBoxAnswerer([](const gui::BoxRequest&) { return platform::IDOK; });
    StartApp();
    Choose<CDlgRunUnit>(ID_PRODUCTION_RUN_UNIT, [&](CDlgRunUnit& dlg) {
        dlg.m_pFirmware->setText(QString::fromStdString(firmware));
        dlg.m_pSerialNext->setChecked(true);
        dlg.m_pStart->click();
        EXPECT_TRUE(dlg.Running());
        // Closing mid-job is refused: the converter may be being written.
        dlg.reject();
        EXPECT_TRUE(dlg.isVisible());
        ASSERT_TRUE(WaitFor([&] { return !dlg.Running(); }, 60000));
        QStringList steps;
        for (int i = 0; i < dlg.m_pSteps->count(); ++i) steps << dlg.m_pSteps->item(i)->text().section(' ', 0, 1);
        EXPECT_EQ(steps.join(' ').toStdString(),
                  "identify: ok firmware: ok serial: ok backup: ok eeprom: ok record: ok log: ok");
        EXPECT_EQ(dlg.Result().status, production::kUnitOk);
    });
    EXPECT_EQ(LastBox().rfind("The unit is done: ", 0), 0u) << LastBox();
    EXPECT_NE(LastBox().find(", logged ("), std::string::npos) << LastBox();
    EXPECT_EQ(Bytes(FlashFile()).empty(), false);
    EXPECT_TRUE(fs::exists(DriveC() + "/LOG/fertigung.log"));
}

struct UnitFault {
    const char* step;
    const char* simulator; // lines of the simulator's configuration
    const char* planted;   // a plain file where this folder (under the data folder) would be
};

class UnitFaults : public Production, public ::testing::WithParamInterface<UnitFault> {};

TEST_P(UnitFaults, TheFailedStepIsNamedAndFocused)
{
    const UnitFault& fault = GetParam();
    if (*fault.simulator != '\0') UseDisplay(fault.simulator);
    if (*fault.planted != '\0') {
        const std::string path = dir_.File("data") + "/kestrune/" + fault.planted;
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "not a folder";
    }
    std::string firmware = WriteFirmware();
    if (std::string(fault.step) == "firmware") {
        // Refused before the display is touched, as any file the boot loader would refuse.
        firmware = dir_.File("broken.hex");
        std::ofstream(firmware) << ":10000000not a record\n";
    }
    gui::seams::SetBoxAnswerer([](const gui::BoxRequest&) { return platform::IDOK; });
    StartApp();
    CDlgRunUnit dlg(Device(), &MainFrame());
    dlg.show();
    dlg.m_pFirmware->setText(QString::fromStdString(firmware));
    if (std::string(fault.step) == "template")
        dlg.m_pTemplate->setText(QString::fromStdString(dir_.File("missing.bin")));
    dlg.m_pSerialNext->setChecked(true);
    dlg.m_pStart->click();
    ASSERT_TRUE(WaitFor([&] { return !dlg.Running() && dlg.m_pStart->isEnabled(); }, 60000));
    EXPECT_NE(LastBox().find(std::string("The unit stopped at the step '") + fault.step + "'."), std::string::npos)
        << LastBox();
    ASSERT_GT(dlg.m_pSteps->count(), 0);
    EXPECT_EQ(dlg.m_pSteps->currentRow(), dlg.m_pSteps->count() - 1);
    EXPECT_EQ(dlg.m_pSteps->currentItem()->text().section(' ', 0, 1).toStdString(),
              std::string(fault.step) + ": FAILED");
    EXPECT_EQ(dlg.focusWidget(), dlg.m_pSteps);
}

INSTANTIATE_TEST_SUITE_P(EachStep, UnitFaults,
                         ::testing::Values(UnitFault{"identify", "[Converter]\nPresent=0\n", ""},
                                           UnitFault{"firmware", "", ""},
                                           UnitFault{"template", "", ""},
                                           UnitFault{"backup", "", "backups"},
                                           UnitFault{"eeprom", "[Eeprom]\nProgramFails=1\n", ""},
                                           UnitFault{"record", "[UserArea]\nWriteCorrupts=1\n", ""},
                                           UnitFault{"log", "", "drive_c/LOG"}),
                         [](const ::testing::TestParamInfo<UnitFault>& info) { return std::string(info.param.step); });

TEST_F(Production, HistoryFiltersTheRecordsOfSeveralStations)
{
    fs::create_directories(DriveC() + "/LOG");
    std::ofstream(DriveC() + "/LOG/fertigung.log", std::ios::binary)
        << "\r\n***\r\n*** [Sun Dec  6 10:14:04 2026] USER \"OPERATOR\" on COMPUTER \"STATION1\"\r\n"
           "*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x5f\r\n"
           "SerialNumber=0012.3456.789\r\nManufacturing=04.03.15\r\nLastUpdate=06.05.16\r\n"
           "\n***\n*** [Mon Dec  7 08:00:00 2026] USER \"TECH\" on COMPUTER \"station2\"\n"
           "*** USB data flashed\n***\n[USB]\nVendorId=0x0403\nSerialNumber=ZK000013\n"
           "\r\n***\r\n*** [Mon Dec  7 08:02:00 2026] USER \"TECH\" on COMPUTER \"STATION2\"\r\n"
           "*** Firmware updated\r\n***\r\n[Firmware]\r\nType=0x62\r\nSerialNumber=0013.3456.789\r\n"
           "File=nova-101.hex\r\nResult=0\r\n";
    StartApp();
    Choose<CDlgHistory>(ID_PRODUCTION_HISTORY, [&](CDlgHistory& dlg) {
        EXPECT_EQ(dlg.m_pTable->rowCount(), 3);
        dlg.m_pStation->setText("Station2");
        dlg.m_pFilter->click();
        ASSERT_EQ(dlg.m_pTable->rowCount(), 2);
        // Sorted by serial, the converter's serial comes after the display's.
        dlg.m_pTable->sortItems(0);
        EXPECT_EQ(dlg.m_pTable->item(0, 0)->text(), "0013.3456.789");
        EXPECT_EQ(dlg.m_pTable->item(1, 0)->text(), "ZK000013");
        EXPECT_EQ(dlg.m_pTable->item(0, 2)->data(Qt::AccessibleTextRole).toString(),
                  "serial 0013.3456.789, type 0x62, date Mon Dec  7 08:02:00 2026, station STATION2, "
                  "values Firmware updated: File=nova-101.hex, Result=0");

        // A refused filter keeps the focus for its correction.
        dlg.m_pSince->setText("2026-12-07");
        EXPECT_FALSE(dlg.OnFilter());
        EXPECT_EQ(dlg.focusWidget(), dlg.m_pSince);
        dlg.m_pSince->setText("07.12.26");
        dlg.m_pStation->clear();
        dlg.m_pType->setText("0x62");
        EXPECT_TRUE(dlg.OnFilter());
        EXPECT_EQ(dlg.m_pTable->rowCount(), 1);
    });
}

TEST_F(Production, RestoreGivesTheConverterBackByteForByte)
{
    StartApp();
    const std::string state = dir_.File("state/eeprom.bin");
    // Each record write takes the backup of what the converter held.
    gui::seams::SetBoxAnswerer([](const gui::BoxRequest&) { return platform::IDOK; });
    ASSERT_TRUE(Device().EnsureConnected());
    std::string between; // what the converter held between the writes
    for (int write = 0; write < 2; ++write) {
        ASSERT_GT(Device().GenerateSerialNumber(), 0);
        if (write == 1) between = Bytes(state);
        ASSERT_TRUE(Device().WriteUserArea());
    }
    ASSERT_FALSE(between.empty());
    ASSERT_NE(Bytes(state), between);

    std::vector<gui::BoxRequest> asked;
    gui::seams::SetBoxAnswerer([&](const gui::BoxRequest& box) {
        asked.push_back(box);
        return platform::IDOK;
    });
    Choose<CDlgBackups>(ID_PRODUCTION_BACKUPS, [&](CDlgBackups& dlg) {
        ASSERT_EQ(dlg.m_pList->topLevelItemCount(), 2);
        dlg.m_pList->setCurrentItem(dlg.m_pList->topLevelItem(1)); // the newer one
        EXPECT_TRUE(dlg.OnRestore());
    });
    EXPECT_EQ(Bytes(state), between);
    ASSERT_EQ(asked.size(), 2u);
    // The confirmation names the converter and the backup and lists what will be written.
    EXPECT_NE(asked[0].text.find("onto the converter "), std::string::npos) << asked[0].text;
    EXPECT_NE(asked[0].text.find("Record bytes: as read -> "), std::string::npos) << asked[0].text;
    EXPECT_NE(asked[1].text.find(" again."), std::string::npos) << asked[1].text;
}

TEST_F(Production, BackupsOfTheAttachedConverterComeFirst)
{
    StartApp();
    ASSERT_TRUE(Device().EnsureConnected());
    records::ConverterSnapshot attached;
    std::string error;
    ASSERT_TRUE(records::ReadConverter(Device(), attached, false, error)) << error;
    const std::string serial = records::StoredSerial(attached.converterSerial);
    for (const std::string& converter : {std::string("00000000"), serial, std::string("zzzzzzzz")}) {
        const std::string folder = dir_.File("data") + "/kestrune/backups/" + converter;
        fs::create_directories(folder);
        std::ofstream(folder + "/20261201T100000Z.ini") << "x";
    }
    CDlgBackups dlg(Device(), &MainFrame());
    ASSERT_EQ(dlg.m_pList->topLevelItemCount(), 3);
    std::vector<std::string> order;
    for (int i = 0; i < 3; ++i) order.push_back(dlg.m_pList->topLevelItem(i)->text(0).toStdString());
    EXPECT_EQ(order, (std::vector<std::string>{serial, "00000000", "zzzzzzzz"}));
    // A damaged backup writes nothing and says so.
    const std::string state = Bytes(dir_.File("state/eeprom.bin"));
    EXPECT_FALSE(dlg.OnRestore());
    EXPECT_NE(LastBox().find("cannot be restored"), std::string::npos) << LastBox();
    EXPECT_EQ(Bytes(dir_.File("state/eeprom.bin")), state);
}

TEST_F(Production, DiagnosticsReadsLineByLineAndCopies)
{
    StartApp();
    Choose<CDlgDiagnostics>(ID_PRODUCTION_DIAGNOSTICS, [&](CDlgDiagnostics& dlg) {
        const QString report = dlg.m_pReport->toPlainText();
        EXPECT_TRUE(report.startsWith("D2XX provider: ")) << report.toStdString();
        EXPECT_TRUE(report.contains("\nConverters found: 1\n")) << report.toStdString();
        // The look closed this program's own link first: the converter is not busy for it.
        EXPECT_TRUE(report.contains("\n  this user may open it: yes\n")) << report.toStdString();
        EXPECT_TRUE(report.contains("\nKestrune is ready - DIC:")) << report.toStdString();
        EXPECT_TRUE(dlg.m_pReport->isReadOnly());
        dlg.m_pCopy->click();
        EXPECT_EQ(QApplication::clipboard()->text(), report);
    });
    // The program's link is open again.
    EXPECT_TRUE(Device().CheckConnection());
}

// Several converters, the operator cancels the question: nothing is opened behind the operator's
// back, the window says so, and every way the desktop writes refuses before anything is sent.
TEST_F(Production, WithSeveralConvertersAndNoneChosenNothingIsWritten)
{
    UseDisplay("[Converter.2]\nSerialNumber=KS000042\n");
    const std::string firmware = WriteFirmware();
    gui::seams::SetBoxAnswerer([](const gui::BoxRequest&) { return platform::IDOK; });
    StartApp(); // unattended: the chooser is cancelled
    EXPECT_TRUE(theApp.NoConverterChosen());
    EXPECT_FALSE(Device().IsOpen());
    EXPECT_NE(StatusText().find("No converter is chosen"), std::string::npos) << StatusText();
    ASSERT_TRUE(WaitFor([] { return theApp.StartupTimerRuns() > 0; }, 5000));
    EXPECT_TRUE(BoxTexts().empty()) << LastBox();

    const auto stateFiles = [&] {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(dir_.File("state")))
            // frames.log traces what the display heard: reading sends frames too.
            if (entry.is_regular_file() && entry.path().extension() != ".lock" &&
                entry.path().filename() != "frames.log")
                files[entry.path().string()] = Bytes(entry.path().string());
        return files;
    };
    const auto before = stateFiles();
    const std::string refused = std::string(converters::kSeveralConvertersText) + "\nNothing was written.";
    const struct {
        unsigned id;
        const char* button; // clicked in the dialog the command opens
    } writes[] = {{ID_USB_SETTINGS, "button1"}, {ID_DEVICE_SETTINGS, "button1"},
                  {ID_PRODUCTION_RUN_UNIT, "buttonStart"}, {ID_UPDATE_HERON, nullptr}};
    for (const auto& write : writes) {
        const std::size_t boxes = BoxTexts().size();
        if (write.button != nullptr) {
            gui::seams::SetDialogDriver([&](QDialog& dialog) {
                if (auto* dlg = dynamic_cast<CDlgRunUnit*>(&dialog))
                    dlg->m_pFirmware->setText(QString::fromStdString(firmware));
                auto* button = dialog.findChild<QPushButton*>(write.button);
                ASSERT_NE(button, nullptr) << write.id;
                button->click();
                dialog.reject();
            });
        } else {
            gui::seams::QueueFileAnswer(firmware);
        }
        EXPECT_TRUE(MainFrame().SendCommand(write.id));
        gui::seams::SetDialogDriver(nullptr);
        ASSERT_GT(BoxTexts().size(), boxes) << write.id;
        EXPECT_EQ(LastBox(), refused) << write.id;
    }
    EXPECT_FALSE(Device().Worker().IsRunning());
    const auto after = stateFiles();
    for (const auto& [name, bytes] : after)
        EXPECT_TRUE(before.count(name) == 1 && before.at(name) == bytes) << name;
    EXPECT_FALSE(fs::exists(DriveC() + "/LOG/fertigung.log"));
}

// A name the desktop cannot read is said, not ignored; one that matches nothing is named in the
// not-found box, as is a converter held by another program.
TEST_F(Production, ANamedConverterThatCannotBeUsedIsSaidInTheBox)
{
    const struct {
        const char* environment;
        const char* simulator;
        const char* box;
    } cases[] = {
        {"serial", "", "KESTRUNE_DEVICE=serial: name a converter as serial:S, location:L or index:N; it is not used."},
        {"serial:KS999999", "", "No USB device found.\nNo converter attached matches --device serial:KS999999."},
        {"", "[Converter]\nBusy=1\n",
         "No USB device found.\nAnother program is using the display's USB converter: close that program, then "
         "try again."},
        {"", "[Display]\nResponds=0\n", "Error waiting for 'id' message reply."},
    };
    for (const auto& c : cases) {
        ScopedEnv named("KESTRUNE_DEVICE", *c.environment ? c.environment : nullptr);
        UseDisplay(c.simulator);
        gui::seams::Reset();
        gui::seams::SetUnattended(true);
        StartApp();
        ASSERT_TRUE(WaitFor([] { return theApp.StartupTimerRuns() > 0; }, 5000));
        EXPECT_EQ(BoxTexts().empty() ? std::string() : BoxTexts().front(), c.box) << c.environment << c.simulator;
        theApp.ExitInstance(0);
        Device().ClosePort();
    }
}
