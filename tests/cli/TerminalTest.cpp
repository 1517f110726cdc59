// The terminal as user interface, and the --simulate switch.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/Terminal.h"
#include "platform/SimulationSwitch.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// A FILE* whose text the test reads back.
class Capture {
public:
    Capture() : file_(std::tmpfile()) {}
    ~Capture() { std::fclose(file_); }
    std::FILE* File() { return file_; }
    std::string Text()
    {
        std::fflush(file_);
        std::rewind(file_);
        std::string text;
        char chunk[256];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) text.append(chunk, n);
        return text;
    }

private:
    std::FILE* file_;
};

class Answer {
public:
    explicit Answer(const std::string& text) : file_(std::tmpfile())
    {
        std::fputs(text.c_str(), file_);
        std::rewind(file_);
    }
    ~Answer() { std::fclose(file_); }
    std::FILE* File() { return file_; }

private:
    std::FILE* file_;
};

const std::string kConfirm = "Are you really sure you want to save the settings to the EEPROM area?";
const std::string kConfirmCaption = "Save settings to EEPROM";

int Confirm(cli::TerminalUi& ui)
{
    return ui.MessageBox(kConfirm, kConfirmCaption, platform::MB_ICONEXCLAMATION | platform::MB_OKCANCEL,
                         platform::BoxOwner::Dialog);
}

} // namespace

TEST(Terminal, BoxLine)
{
    EXPECT_EQ(cli::BoxLine("Kestrune Error", "No USB device found."), "Kestrune Error: No USB device found.");
    EXPECT_EQ(cli::BoxLine("Unknown Device!", "Ooops Unknown Device found!\nDevice ID: 0x06"),
              "Unknown Device!: Ooops Unknown Device found! / Device ID: 0x06");
    EXPECT_EQ(cli::BoxLine("C", "a\r\nb\rc\n"), "C: a / b / c / ");
}

TEST(Terminal, MessageBoxesAndConfirmations)
{
    {
        Capture err;
        Answer none("");
        cli::TerminalUi ui(false, false, none.File(), err.File());
        EXPECT_EQ(ui.MessageBox("Cannot read from USB EEPROM", "Kestrune Error", platform::MB_ICONEXCLAMATION,
                                platform::BoxOwner::MainWindow),
                  platform::IDOK);
        EXPECT_EQ(Confirm(ui), platform::IDCANCEL);
        EXPECT_EQ(err.Text(), "Kestrune Error: Cannot read from USB EEPROM\n" + kConfirmCaption + ": " +
                                  kConfirm + "\nkestrune-cli: not confirmed: standard input is not a "
                                             "terminal (--yes answers OK)\n");
    }
    {
        Capture err;
        Answer none("");
        cli::TerminalUi ui(true, false, none.File(), err.File());
        EXPECT_EQ(Confirm(ui), platform::IDOK);
        EXPECT_EQ(err.Text(), ""); // --yes was the answer; only -v echoes the question
        ui.EchoAnswered();
        EXPECT_EQ(Confirm(ui), platform::IDOK);
        EXPECT_EQ(err.Text(), kConfirmCaption + ": " + kConfirm + "\n");
    }
    const struct {
        const char* typed;
        int answer;
    } rows[] = {{"y\n", platform::IDOK},     {"YES\n", platform::IDOK}, {"ok\r\n", platform::IDOK},
                {"n\n", platform::IDCANCEL}, {"\n", platform::IDCANCEL}, {"", platform::IDCANCEL},
                {"yes please\n", platform::IDCANCEL}};
    for (const auto& row : rows) {
        Capture err;
        Answer typed(row.typed);
        cli::TerminalUi ui(false, true, typed.File(), err.File());
        EXPECT_EQ(Confirm(ui), row.answer) << row.typed;
        EXPECT_EQ(err.Text().rfind(kConfirmCaption + ": " + kConfirm + " [y/N] ", 0), 0u);
    }
}

TEST(Terminal, ProgressAsLinesWithoutATerminal)
{
    Capture err;
    cli::TerminalProgress progress(false, err.File());
    progress.CreateProgressBar();
    progress.ShowStatusText("Please reset the device to start the firmware update procedure");
    progress.ShowStatusText("Erasing flash memory, please wait...C8051F120 Firmware Updater\r\n: ");
    for (int p = 1; p <= 3; ++p) {
        progress.SetProgressPos(p);
        progress.ShowStatusText("Updating flash memory: " + std::to_string(p) + " %");
    }
    progress.ShowStatusText("Updating flash memory: 3 %"); // the same text again is no new line
    progress.DestroyProgressBar();
    progress.ShowStatusText("Kestrune is ready");
    progress.Finish();
    EXPECT_EQ(err.Text(),
              "Please reset the device to start the firmware update procedure\n"
              "Erasing flash memory, please wait...C8051F120 Firmware Updater: \n"
              "Updating flash memory: 1 %\n"
              "Updating flash memory: 2 %\n"
              "Updating flash memory: 3 %\n"
              "Kestrune is ready\n");
}

TEST(Terminal, ProgressBarOnATerminal)
{
    Capture err;
    cli::TerminalProgress progress(true, err.File());
    progress.ShowStatusText("Please reset the device to start the firmware update procedure");
    progress.SetProgressPos(50);
    progress.ShowStatusText("Updating flash memory: 50 %");
    progress.SetProgressPos(101); // family 0 may pass 100 a little
    progress.ShowStatusText("Kestrune is ready");
    progress.Finish();
    // Not a terminal: the width of one, 80 columns.
    const std::string half = "\rUpdating flash memory: [" + std::string(20, '#') + std::string(20, '.') + "]  50 %\x1b[K";
    const std::string full = "\rUpdating flash memory: [" + std::string(40, '#') + "] 101 %\x1b[K";
    EXPECT_EQ(err.Text(), "Please reset the device to start the firmware update procedure\n" + half + full +
                              "\nKestrune is ready\n");

    // Narrower terminals: never into the last column, which would wrap a line per redraw.
    const struct {
        int columns;
        std::string line;
    } widths[] = {
        {200, "Updating flash memory: [" + std::string(40, '#') + "] 100 %"},
        {60, "Updating flash memory: [" + std::string(28, '#') + "] 100 %"},
        {42, "Updating flash memory: [" + std::string(10, '#') + "] 100 %"},
        {41, "[" + std::string(32, '#') + "] 100 %"},
        {19, "[" + std::string(10, '#') + "] 100 %"},
        {18, "100 %"},
        {6, "100 %"},
        {5, "100%"},
        {4, "100"},
        {3, ""},
        {1, ""},
        {0, "100 %"},
    };
    for (const auto& w : widths) {
        EXPECT_EQ(cli::TerminalProgress::BarLine(100, w.columns), w.line) << w.columns;
    }
}

class SimulationSwitch : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(dir_ / "bin");
    }
    std::string Library() { return (dir_ / "bin" / platform::kSimulatorLibraryName).string(); }
    void MakeLibrary() { std::ofstream(Library()) << "stand-in"; }
    TempDir temp_;
    fs::path dir_ = temp_.Path();
    // The switch sets these for the process; the next test must find them as they were.
    ScopedEnv data_{"XDG_DATA_HOME", (dir_ / "data").c_str()};
    ScopedEnv sim_{"KESTRUNE_SIM", nullptr};
    ScopedEnv d2xx_{"KESTRUNE_D2XX", "/usr/lib/libftd2xx.so"};
};

TEST_F(SimulationSwitch, SelectsTheLibraryAndWritesTheDefaultDisplayOnce)
{
    MakeLibrary();
    ASSERT_EQ(platform::EnableSimulation((dir_ / "bin").string()), "");
    EXPECT_EQ(std::string(std::getenv("KESTRUNE_D2XX")), Library());
    const fs::path config = dir_ / "data" / "kestrune" / "simulator" / "simulator.ini";
    EXPECT_EQ(std::string(std::getenv("KESTRUNE_SIM")), config.string());
    std::stringstream text;
    text << std::ifstream(config).rdbuf();
    EXPECT_EQ(text.str(), platform::DefaultSimulatorConfig());
    EXPECT_NE(text.str().find("DeviceCode=98"), std::string::npos);
    EXPECT_NE(text.str().find("ResetAfterMs=1000"), std::string::npos);

    // An edited configuration is the operator's: it stays as it is.
    std::ofstream(config) << "[Display]\nResponds=0\n";
    ::unsetenv("KESTRUNE_SIM");
    ASSERT_EQ(platform::EnableSimulation((dir_ / "bin").string()), "");
    std::stringstream again;
    again << std::ifstream(config).rdbuf();
    EXPECT_EQ(again.str(), "[Display]\nResponds=0\n");
}

TEST_F(SimulationSwitch, KeepsAConfigurationGiven)
{
    MakeLibrary();
    ::setenv("KESTRUNE_SIM", "/somewhere/bench.ini", 1);
    ASSERT_EQ(platform::EnableSimulation((dir_ / "bin").string()), "");
    EXPECT_EQ(std::string(std::getenv("KESTRUNE_SIM")), "/somewhere/bench.ini");
    EXPECT_FALSE(fs::exists(dir_ / "data"));
}

TEST_F(SimulationSwitch, TakesTheLibraryBesideTheProgramBeforeTheInstalledOne)
{
    const fs::path installed = dir_ / "lib" / "kestrune" / platform::kSimulatorLibraryName;
    fs::create_directories(installed.parent_path());
    std::ofstream(installed) << "stand-in";
    ASSERT_EQ(platform::EnableSimulation((dir_ / "bin").string()), "");
    EXPECT_EQ(std::string(std::getenv("KESTRUNE_D2XX")), installed.string());

    MakeLibrary();
    ASSERT_EQ(platform::EnableSimulation((dir_ / "bin").string()), "");
    EXPECT_EQ(std::string(std::getenv("KESTRUNE_D2XX")), Library());
}

TEST_F(SimulationSwitch, ChangesNothingWithoutTheLibrary)
{
    const std::string failure = platform::EnableSimulation((dir_ / "bin").string());
    EXPECT_NE(failure.find("is missing"), std::string::npos);
    EXPECT_EQ(std::string(std::getenv("KESTRUNE_D2XX")), "/usr/lib/libftd2xx.so");
    EXPECT_EQ(std::getenv("KESTRUNE_SIM"), nullptr);
    EXPECT_FALSE(fs::exists(dir_ / "data"));
}
