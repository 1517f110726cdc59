#pragma once
// The desktop program under test: one QApplication for the process (offscreen, on a desktop of
// $KESTRUNE_TEST_SCREEN, default 1920x1080), and a fixture with a private folder, a simulated
// display configured there, and every modal seam answered by the test.
#include <QSize>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "records/MyCrvUsbDevice.h"
#include "support/TempDir.h"

// The desktop size the offscreen screen was given.
QSize TestScreenSize();

// Lets the event loop run until pred holds or timeoutMs passed; returns pred().
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 10000);
// Lets the event loop run for ms.
void Pump(int ms);

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The simulated display: the defaults plus these INI lines (a short operator reset is
    // always configured). Call before the display is opened.
    void UseDisplay(const std::string& extraIni = {});
    // No converter at all.
    void UseNoDisplay();

    // A family-4 sample firmware file (heron-100.hex by default) of dataBytes bytes; its image.
    std::string WriteFirmware(const std::string& name = "heron-100.hex", std::size_t dataBytes = 512);
    const std::vector<std::uint8_t>& FirmwareData() const { return firmwareData_; }
    std::string FlashFile() const { return dir_.File("state/flash.bin"); }

    // theApp.InitInstance with the test's device and these arguments; ExitInstance comes in
    // TearDown.
    void StartApp(const std::vector<std::string>& args = {});
    // The status view's whole text.
    std::string StatusText() const;
    std::vector<std::string> BoxTexts() const;

    // The test's device object, as the program's main hands its own to theApp.
    CMyCrvUsbDevice& Device() { return *device_; }

    TempDir dir_;

private:
    std::unique_ptr<CMyCrvUsbDevice> device_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
    std::vector<std::uint8_t> firmwareData_;
    bool started_ = false;
};

