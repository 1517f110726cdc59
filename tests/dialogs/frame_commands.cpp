#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSlider>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SimFixture.h"
#include "app/ChildView.h"
#include "app/MainFrame.h"
#include "dialogs/QtText.h"
#include "app/QtUi.h"
#include "dialogs/Seams.h"
#include "app/StatusBar.h"
#include "dialogs/DlgDevice.h"
#include "dialogs/DlgTest.h"
#include "platform/Clock.h"
#include "platform/Profile.h"
#include "records/MyCrvUsbDevice.h"
#include "records/UsbSettingsEdit.h"
#include "res/Strings.h"
#include "tools/SampleFirmware.h"

namespace {

using platform::BoxOwner;
using platform::IDCANCEL;
using platform::IDOK;

// The frame with its real command table; every box goes through the frame's own seams.
class FrameCommands : public SimFixture {
protected:
    void SetUp() override
    {
        SimFixture::SetUp();
        gui::seams::Reset();
        gui::seams::SetUnattended(true);
        m_frame = std::make_unique<CMainFrame>(Device());
        m_qtUi.SetMainWindow(m_frame.get());
        m_recorder = platform::SetUi(&m_qtUi);
    }
    void TearDown() override
    {
        platform::SetUi(m_recorder);
        m_frame.reset();
        gui::seams::Reset();
        platform::SetClock(nullptr);
        if (m_sim)
            m_sim->SetTimeSource(nullptr);
        SimFixture::TearDown();
    }
    std::vector<gui::BoxRequest> Boxes() const { return gui::seams::Boxes(); }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const auto& b : Boxes())
            texts.push_back(b.text);
        return texts;
    }
    std::string StatusView() const { return gui::FromQt(m_frame->m_wndView->StatusText()); }
    std::string StatusBar() const { return gui::FromQt(m_frame->m_wndStatusBar->Message()); }
    void Send(unsigned id) { EXPECT_TRUE(m_frame->SendCommand(id)) << id; }
    // The report of the next information dialog, as the dialog holds it and as it shows it.
    void CaptureReport()
    {
        gui::seams::SetDialogDriver([this](QDialog& dlg) {
            auto* test = dynamic_cast<CDlgTest*>(&dlg);
            ASSERT_NE(test, nullptr);
            m_report = test->m_strReport;
            m_shown = gui::FromQt(dlg.findChild<QPlainTextEdit*>("edit1017")->toPlainText());
            Click(&dlg, "button1");
        });
    }
    // Time moves only when the program waits, in the simulator as well.
    void UseVirtualClock()
    {
        platform::SetClock(&m_clock);
        m_sim->SetTimeSource([] { return platform::GetTickCount(); });
    }

    std::unique_ptr<CMainFrame> m_frame;
    gui::QtUi m_qtUi;
    platform::UserInterface* m_recorder = nullptr;
    platform::VirtualClock m_clock{1000};
    std::string m_report;
    std::string m_shown;
};

constexpr unsigned kCommands[] = {ID_USB_SETTINGS,       ID_DEVICE_SETTINGS,    ID_GENERATE_SERIAL,
                                  ID_RECONNECT,          ID_LOAD_SETTINGS,      ID_DEVICE_INFORMATION,
                                  ID_SERIAL_PORT_TEST,   ID_DEVICE_CONTROLS,    ID_SAVE_SETTINGS};

TEST_F(FrameCommands, EveryCommandIsRefusedWhileAnUpdateRuns)
{
    const std::vector<unsigned> menu = m_frame->MenuCommandIds();
    for (unsigned id : kCommands)
        EXPECT_EQ(std::count(menu.begin(), menu.end(), id), 0) << id;

    Configure({{"BootLoader", "ResetAfterMs", "50"}});
    const std::string file = m_dir + "/heron-100.hex";
    std::ofstream(file, std::ios::binary) << tools::IntelHexText(tools::SampleFirmwareData(1024));
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(m_frame->StartUpdate(file, 4));
    // The run stays active at least until its end-of-run message is handled by the event loop.
    for (unsigned id : kCommands)
        Send(id);
    EXPECT_EQ(Texts(), std::vector<std::string>(std::size(kCommands), LoadStdString(IDS_UPDATE_RUNNING)));
    EXPECT_EQ(gui::seams::DialogsRun(), 0);
    EXPECT_TRUE(gui::seams::FileRequests().empty());

    for (int i = 0; i < 1000 && m_frame->UpdateActive(); ++i)
        QTest::qWait(20);
    EXPECT_FALSE(m_frame->UpdateActive());
    EXPECT_EQ(Texts().back(), "Firmware successfully updated.");
}

TEST_F(FrameCommands, WithoutADisplayTheGuardedCommandsOnlyReportIt)
{
    Configure({{"Converter", "Present", "0"}});
    UseVirtualClock(); // the search for a converter retries for a second
    for (unsigned id : {ID_USB_SETTINGS, ID_DEVICE_SETTINGS, ID_DEVICE_CONTROLS, ID_GENERATE_SERIAL,
                        ID_RECONNECT, ID_DEVICE_INFORMATION}) {
        gui::seams::Reset();
        gui::seams::SetUnattended(true);
        Send(id);
        ASSERT_EQ(Texts(), std::vector<std::string>{"No USB device found."}) << id;
        EXPECT_EQ(Boxes()[0].caption, "Kestrune Error");
        EXPECT_EQ(Boxes()[0].flags, 0x40u);
        EXPECT_EQ(gui::seams::DialogsRun(), 0) << id;
        EXPECT_EQ(StatusView(), "No USB device found.") << id;
    }
}

TEST_F(FrameCommands, UsbSettingsRunsTheDialogThenRewritesTheReadyLine)
{
    std::string vendor;
    gui::seams::SetDialogDriver([&](QDialog& dlg) {
        vendor = gui::FromQt(dlg.findChild<QLineEdit*>("edit1001")->text());
        Click(&dlg, "button2");
    });
    Send(ID_USB_SETTINGS);
    EXPECT_EQ(gui::seams::DialogsRun(), 1);
    EXPECT_EQ(vendor, "0x0403");
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(StatusView(), "Kestrune is ready - DIC:0x5f - SN:0012.0345.006 - Rev:1.23 - "
                            "P:04.03.15 - U:06.05.16");
}

TEST_F(FrameCommands, DeviceSettingsSwitchesTheModelAfterEitherButton)
{
    ASSERT_TRUE(Connect());
    Device().SendIdentifyRequest();
    ASSERT_EQ(Device().ReadIdentityReply(1000), 0x5F);
    std::size_t frames = ReceivedFrames().size();
    const auto newFrames = [&] {
        auto all = ReceivedFrames();
        std::vector<std::string> out(all.begin() + static_cast<std::ptrdiff_t>(frames), all.end());
        frames = all.size();
        return out;
    };

    // Cancel after the code was accepted (and the write refused at the confirmation).
    gui::seams::QueueBoxAnswer(IDCANCEL);
    gui::seams::SetDialogDriver([](QDialog& dlg) {
        TypeInto(dlg.findChild<QLineEdit*>("edit1008"), "96");
        Click(&dlg, "button1");
        Click(&dlg, "button2");
    });
    Send(ID_DEVICE_SETTINGS);
    auto sent = newFrames();
    // The configuration of the KV60c first, then the ready line's identify request (whose reply
    // gives the display's own code back).
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0].substr(0, 17), "02 41 50 5d 36 30");
    EXPECT_EQ(sent[1], "02 42 50 50 03");
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0].rfind(LoadStdString(IDS_CONFIRM_PROGRAM) + "\n\nDevice code=96\n", 0), 0u) << Texts()[0];

    // The code already in use: no configuration frame.
    ASSERT_EQ(Device().DeviceId, 95);
    gui::seams::SetDialogDriver([](QDialog& dlg) { Click(&dlg, "button2"); });
    Send(ID_DEVICE_SETTINGS);
    sent = newFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], "02 42 50 50 03");
}

TEST_F(FrameCommands, GeneratedSerialNumberIsShownWithTheRecordsOtherGroups)
{
    Configure({{"UserArea", "SerialNumber", "0012.1234.007"}});
    platform::WritePrivateProfileString("Device95Status", "SerialNumber", "0041.0001.001",
                                        Device().ProfilePath);
    Send(ID_GENERATE_SERIAL);
    const auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Serial Number generated: 0042.1234.007");
    EXPECT_EQ(boxes[0].caption, "Kestrune Error");
    EXPECT_EQ(boxes[0].flags, 0x40u);
    EXPECT_EQ(boxes[0].owner, BoxOwner::MainWindow);
    UsbSettingsRecord usb;
    Device().GetUsbSettings(&usb.data);
    EXPECT_STREQ(usb.data.SerialNumber, "ZK000042");
}

TEST_F(FrameCommands, ASerialNumberPastTheLastIsRefusedNotShownAsGenerated)
{
    platform::WritePrivateProfileString("Device95Status", "SerialNumber", "65535.0001.001",
                                        Device().ProfilePath);
    Send(ID_GENERATE_SERIAL);
    const auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u) << boxes.back().text;
    EXPECT_EQ(boxes[0].text.rfind("No serial number was generated", 0), 0u) << boxes[0].text;
    EXPECT_EQ(boxes[0].flags, 0x30u);
    DeviceData data;
    EXPECT_TRUE(Device().GetDeviceData(data));
    EXPECT_EQ(data.SerialPart1, 12);
}

TEST_F(FrameCommands, ReconnectOpensTheLinkAgain)
{
    ASSERT_TRUE(Connect());
    Send(ID_RECONNECT);
    EXPECT_TRUE(Texts().empty());
    EXPECT_TRUE(Device().Connected);
    EXPECT_EQ(StatusView().rfind("Kestrune is ready - DIC:0x5f", 0), 0u) << StatusView();
}

TEST_F(FrameCommands, DeviceInformationTextByteForByte)
{
    CaptureReport();
    Send(ID_DEVICE_INFORMATION);
    EXPECT_EQ(m_report,
              "Device Information\r\n\r\n"
              "Device Type (USB): 0x5f\r\n"
              "SerialNumber: 0012.0345.006\r\n"
              "\r\nVendor ID: 0x0403\r\n"
              "Product ID: 0x6001\r\n"
              "Manufacturer: ZKM\r\n"
              "Manufacturer ID: ZK\r\n"
              "Description: Corvina KV\r\n"
              "USB Serial Number: ZK000012\r\n\r\n"
              "Sending 'init' request to device...\r\n"
              "Sending the 'id' request to device...\r\n"
              "Device replied with device id 95 [0x5f] (\"KV40c\").\r\n");
    EXPECT_EQ(m_shown.find('\r'), std::string::npos);
    EXPECT_NE(m_shown.find("Device Type (USB): 0x5f\nSerialNumber"), std::string::npos);
    // The KV40c's configuration, then the identify request, then the ready line's.
    const auto frames = ReceivedFrames();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[frames.size() - 3],
              "02 41 50 5d 35 3f 35 37 36 30 30 30 30 30 30 31 32 38 30 31 30 32 30 30 30 31 30 30 30 31 03");
    EXPECT_EQ(frames[frames.size() - 2], "02 42 50 50 03");
    EXPECT_EQ(StatusView().rfind("Kestrune is ready - DIC:0x5f", 0), 0u);
}

TEST_F(FrameCommands, DeviceInformationWhenTheDisplayDoesNotAnswer)
{
    Configure({{"Display", "Responds", "0"}});
    UseVirtualClock();
    CaptureReport();
    Send(ID_DEVICE_INFORMATION);
    const std::string tail = "Sending 'init' request to device...\r\n"
                             "Sending the 'id' request to device...\r\n"
                             "Error waiting for 'id' message reply.\r\n";
    ASSERT_GE(m_report.size(), tail.size());
    EXPECT_EQ(m_report.substr(m_report.size() - tail.size()), tail);
    EXPECT_EQ(m_report.rfind("Device Information\r\n\r\nDevice Type (USB): 0x5f\r\n", 0), 0u);
}

TEST_F(FrameCommands, DeviceInformationWithAnUnreadableEeprom)
{
    Configure({{"Eeprom", "ReadFails", "1"}});
    CaptureReport();
    Send(ID_DEVICE_INFORMATION);
    EXPECT_EQ(m_report, "Cannot read from USB EEPROM");
    // The connect reported it as well.
    EXPECT_EQ(Texts(), std::vector<std::string>{"Cannot read from USB EEPROM"});
}

// kestrune-sim on a pseudo-terminal for one test.
class PtyDisplay {
public:
    explicit PtyDisplay(const char* deviceId)
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            execl(KESTRUNE_SIM_PTY, KESTRUNE_SIM_PTY, "--device-id", deviceId, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            m_path += c;
        close(out[0]);
    }
    ~PtyDisplay()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    const std::string& Path() const { return m_path; }

private:
    pid_t m_pid = -1;
    std::string m_path;
};

TEST_F(FrameCommands, SerialPortTestOnTheDefaultPort)
{
    PtyDisplay display("95");
    ASSERT_FALSE(display.Path().empty());
    // No "Port" key: COM1.
    platform::WritePrivateProfileString("Ports", "COM1", display.Path().c_str(), Device().ProfilePath);
    m_frame->SetStatusViewText("before");
    CaptureReport();
    Send(ID_SERIAL_PORT_TEST);
    EXPECT_EQ(m_report, "Sending 'init' request to device...\r\n"
                        "Sending the 'id' request to device...\r\n"
                        "Device replied with device id 95 [0x5f] (\"KV40c\").\r\n");
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(StatusView(), "before");
    EXPECT_FALSE(Device().Connected); // the USB link is not touched
}

TEST_F(FrameCommands, SerialPortTestOnTheConfiguredPortAndOnOneThatCannotOpen)
{
    PtyDisplay display("200");
    ASSERT_FALSE(display.Path().empty());
    platform::WritePrivateProfileString("Settings", "Port", "com7:", Device().ProfilePath);
    platform::WritePrivateProfileString("Ports", "COM7", display.Path().c_str(), Device().ProfilePath);
    CaptureReport();
    Send(ID_SERIAL_PORT_TEST);
    EXPECT_EQ(m_report.substr(m_report.find("Device replied")),
              "Device replied with device id 200 [0xc8] (\"\").\r\n");

    platform::WritePrivateProfileString("Ports", "COM7", (m_dir + "/no-such-tty").c_str(),
                                        Device().ProfilePath);
    gui::seams::Reset();
    gui::seams::SetUnattended(true);
    Send(ID_SERIAL_PORT_TEST);
    ASSERT_EQ(Texts(), std::vector<std::string>{"Error initializing COM port."});
    EXPECT_EQ(Boxes()[0].caption, "Kestrune Error");
    EXPECT_EQ(Boxes()[0].flags, 0x40u);
    EXPECT_EQ(gui::seams::DialogsRun(), 0);
}

TEST_F(FrameCommands, DeviceControlsRunsTheDialogOnly)
{
    m_frame->SetStatusViewText("before");
    gui::seams::SetDialogDriver([](QDialog& dlg) {
        dlg.findChild<QSlider*>("slider1018")->setValue(33);
        Click(&dlg, "button1019");
        Click(&dlg, "button1");
    });
    Send(ID_DEVICE_CONTROLS);
    EXPECT_EQ(gui::seams::DialogsRun(), 1);
    EXPECT_EQ(StatusView(), "before");
    EXPECT_EQ(ReceivedFrames().back(), "02 46 50 52 32 32 30 35 03");
}

TEST_F(FrameCommands, SaveSettingsFileAndItsFailure)
{
    ASSERT_TRUE(Connect());
    const std::string file = m_dir + "/devinfo.bin";
    gui::seams::QueueFileAnswer(file);
    Send(ID_SAVE_SETTINGS);
    const auto requests = gui::seams::FileRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].save);
    EXPECT_EQ(requests[0].defaultExtension, "bin");
    EXPECT_EQ(requests[0].defaultName, "devinfo.bin");
    EXPECT_EQ(requests[0].filter, "EEPROM Data Files (*.bin)|*.bin|All files (*.*)|*.*||");
    EXPECT_EQ(requests[0].flags, 0x806u);
    EXPECT_EQ(StatusBar(), "Settings saved to file.");
    EXPECT_EQ(StateFile("devinfo.bin").rfind("[Device]\r\nType=0x5f\r\nSerialNumber=0012.0345.006\r\n"
                                             "Manufacturing=04.03.15\r\nLastUpdate=06.05.16\r\n[USB]\r\n"
                                             "VendorId=0x0403\r\nProductId=0x6001\r\n", 0),
              0u);

    m_frame->m_wndStatusBar->SetMessage("unchanged");
    const std::string inNoFolder = m_dir + "/missing-folder/devinfo.bin";
    gui::seams::QueueFileAnswer(inNoFolder);
    Send(ID_SAVE_SETTINGS);
    ASSERT_EQ(Texts(), std::vector<std::string>{"Cannot save EEPROM data to file\n" + inNoFolder +
                                                ": the folder does not exist"});
    EXPECT_EQ(Boxes()[0].caption, "Kestrune Error");
    EXPECT_EQ(Boxes()[0].flags, 0x10u);
    EXPECT_EQ(StatusBar(), "unchanged");

    gui::seams::QueueFileAnswer(std::nullopt); // Cancel
    Send(ID_SAVE_SETTINGS);
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(StatusBar(), "unchanged");
}

TEST_F(FrameCommands, LoadReadableUnreadableAndOutOfRangeFiles)
{
    ASSERT_TRUE(Connect());
    const std::string good = m_dir + "/good.bin";
    std::ofstream(good) << "[Device]\r\nType=0x60\r\nSerialNumber=0007.0008.009\r\n"
                           "Manufacturing=01.02.20\r\nLastUpdate=03.04.21\r\n"
                           "[USB]\r\nVendorId=0x0403\r\nProductId=0xf208\r\nManufacturer=Loaded\r\n";
    gui::seams::QueueFileAnswer(good);
    Send(ID_LOAD_SETTINGS);
    EXPECT_FALSE(gui::seams::FileRequests().at(0).save);
    EXPECT_EQ(gui::seams::FileRequests().at(0).flags, 0x806u);
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(StatusBar(), "Settings loaded into memory.");
    DeviceData data;
    EXPECT_TRUE(Device().GetDeviceData(data));
    EXPECT_EQ(data.DeviceCode, 0x60);
    EXPECT_EQ(FormatSerialNumber(data), "0007.0008.009");
    UsbSettingsRecord usb;
    Device().GetUsbSettings(&usb.data);
    EXPECT_STREQ(usb.data.Manufacturer, "Loaded");
    EXPECT_EQ(usb.data.ProductId, 0xF208);

    // A path that names a folder cannot be read (even by root): nothing is loaded.
    const std::string unreadable = m_dir + "/folder.bin";
    std::filesystem::create_directory(unreadable);
    gui::seams::QueueFileAnswer(unreadable);
    Send(ID_LOAD_SETTINGS);
    ASSERT_EQ(Texts(), std::vector<std::string>{"Cannot load data from file\n" + unreadable + ": not a regular file"});
    EXPECT_EQ(Boxes()[0].caption, "Kestrune Error");
    EXPECT_EQ(Boxes()[0].flags, 0x10u);
    EXPECT_EQ(StatusBar(), "Kestrune is ready");
    EXPECT_TRUE(Device().GetDeviceData(data));
    EXPECT_EQ(data.DeviceCode, 0x60);

    // A month 13 stops the load: only the dispatch's box, the status bar keeps its text.
    m_frame->m_wndStatusBar->SetMessage("unchanged");
    const std::string bad = m_dir + "/bad.bin";
    std::ofstream(bad) << "[Device]\r\nType=0x61\r\nManufacturing=01.13.15\r\n";
    gui::seams::QueueFileAnswer(bad);
    Send(ID_LOAD_SETTINGS);
    const auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "Unspecified error\nManufacturing=01.13.15: not a date DD.MM.YY");
    EXPECT_EQ(boxes[1].caption, "Kestrune");
    EXPECT_EQ(boxes[1].flags, 0x10u);
    EXPECT_EQ(StatusBar(), "unchanged");
    EXPECT_TRUE(Device().GetDeviceData(data));
    EXPECT_EQ(data.DeviceCode, 0x60);

    gui::seams::QueueFileAnswer(std::nullopt);
    Send(ID_LOAD_SETTINGS);
    EXPECT_EQ(Boxes().size(), 2u);
}

} // namespace
