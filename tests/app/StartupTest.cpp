// The command line, the start-up timer and the automatic update run, in-process.
#include <QTimer>

#include <sys/stat.h>

#include <filesystem>

#include "GuiTest.h"
#include "app/CommandLine.h"
#include "app/CrvsetupApp.h"
#include "app/MainFrame.h"
#include "dialogs/Seams.h"
#include "records/MyCrvUsbDevice.h"

TEST(AppCommandLine, FirstPlainArgumentIsTheFile)
{
    struct Case {
        std::vector<std::string> args;
        std::string file;
    };
    const Case cases[] = {
        {{"/q", "-x", "first.hex", "second.hex"}, "first.hex"},
        {{}, ""},
        {{"-v", "/dde"}, ""},
        {{"only.hex", "--service"}, "only.hex"},
        {{"", "a.hex"}, "a.hex"},
    };
    for (const Case& c : cases) {
        CCommandLineInfo info;
        info.ParseCommandLine(c.args);
        EXPECT_EQ(info.m_strFileName, c.file);
    }
}

TEST(AppCommandLine, SwitchesOfThisProgram)
{
    CCommandLineInfo info;
    info.ParseCommandLine({"--service", "--simulate", "/service", "-simulate"});
    EXPECT_TRUE(info.m_bService);
    EXPECT_TRUE(info.m_bSimulate);
    EXPECT_FALSE(info.m_bHelp);
    EXPECT_TRUE(info.m_strFileName.empty());
}

TEST(AppCommandLine, AnExistingAbsolutePathIsAFileNotASwitch)
{
    TempDir dir;
    const std::string file = dir.File("heron-100.hex");
    WriteText(file, ":00000001FF\n");
    CCommandLineInfo info;
    info.ParseCommandLine({"/nonexistent/pika.hex", file, "later.hex"});
    EXPECT_EQ(info.m_strFileName, file);
}

TEST(AppCommandLine, HelpAndVersionAreFoundAnywhere)
{
    char prog[] = "kestrune", a[] = "x.hex", h[] = "--help", v[] = "--version";
    char* withHelp[] = {prog, a, h, nullptr};
    char* withVersion[] = {prog, v, nullptr};
    char* plain[] = {prog, a, nullptr};
    bool help = false, version = false;
    EXPECT_TRUE(gui::WantsHelpOrVersion(3, withHelp, &help, &version));
    EXPECT_TRUE(help);
    EXPECT_TRUE(gui::WantsHelpOrVersion(2, withVersion, &help, &version));
    EXPECT_TRUE(version);
    EXPECT_FALSE(gui::WantsHelpOrVersion(2, plain, &help, &version));
    EXPECT_NE(gui::UsageText().find("--simulate"), std::string::npos);
    EXPECT_EQ(gui::VersionText(), "Kestrune Version 3.04");
}

class Startup : public GuiTest {
protected:
    // Runs the loop until the start-up timer has fired.
    void AwaitStartupTimer()
    {
        ASSERT_TRUE(WaitFor([] { return theApp.StartupTimerRuns() > 0; }, 5000));
    }
};

TEST_F(Startup, ReadyLineAndTheStartupTimerRunsOnce)
{
    StartApp();
    EXPECT_TRUE(theApp.StartupTimerActive());
    EXPECT_EQ(StatusText().rfind("Kestrune is ready - ", 0), 0u) << StatusText();
    AwaitStartupTimer();
    Pump(700);
    EXPECT_EQ(theApp.StartupTimerRuns(), 1);
    EXPECT_FALSE(theApp.StartupTimerActive());
    // Empty command line, display connected: no message, no update.
    EXPECT_TRUE(gui::seams::Boxes().empty());
    EXPECT_FALSE(theApp.AutomaticRun());
    EXPECT_FALSE(theApp.QuitTimerActive());
    EXPECT_FALSE(Device().Worker().IsRunning());
}

TEST_F(Startup, FileMissingShowsNothing)
{
    StartApp({"-x", dir_.File("heron-missing.hex")});
    AwaitStartupTimer();
    Pump(600);
    EXPECT_TRUE(gui::seams::Boxes().empty());
    EXPECT_FALSE(theApp.AutomaticRun());
    EXPECT_FALSE(theApp.QuitTimerActive());
    EXPECT_TRUE(theApp.MainWindow()->isVisible());
}

TEST_F(Startup, DisplayAbsentOnlyReportsIt)
{
    const std::string file = WriteFirmware();
    UseNoDisplay();
    StartApp({file});
    EXPECT_EQ(StatusText().rfind("Kestrune is ready", 0), 0u);
    AwaitStartupTimer();
    const std::vector<gui::BoxRequest> boxes = gui::seams::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "No USB device found.");
    EXPECT_EQ(boxes[0].caption, "Kestrune Error");
    EXPECT_EQ(boxes[0].flags, platform::MB_ICONINFORMATION);
    EXPECT_EQ(boxes[0].owner, platform::BoxOwner::MainWindow);

    // The display comes back and is connected: the command-line file is still not used.
    UseDisplay();
    ASSERT_TRUE(Device().ConnectDevice(TRUE));
    Pump(800);
    EXPECT_FALSE(theApp.AutomaticRun());
    EXPECT_FALSE(Device().Worker().IsRunning());
    EXPECT_EQ(gui::seams::Boxes().size(), 1u);
    EXPECT_EQ(theApp.StartupTimerRuns(), 1);
}

TEST_F(Startup, AHeldOrForbiddenConverterIsExplainedInTheStatusView)
{
    const std::pair<const char*, const char*> faults[] = {
        {"Busy", "Another program is using the display's USB converter: close that program, then try again."},
        {"AccessDenied", "You have no permission to use the display's USB converter: install the udev rule "
                         "60-kestrune.rules, then plug the display in again."},
    };
    UseDisplay();
    StartApp();
    for (const auto& [key, sentence] : faults) {
        UseDisplay(std::string("[Converter]\n") + key + "=1\n");
        const std::size_t before = gui::seams::Boxes().size();
        EXPECT_FALSE(Device().ConnectDevice(TRUE)) << key;
        // The box says why at once, and so does the status view.
        const auto boxes = gui::seams::Boxes();
        ASSERT_EQ(boxes.size(), before + 1) << key;
        EXPECT_EQ(boxes.back().text, std::string("No USB device found.\n") + sentence);
        EXPECT_EQ(StatusText(), std::string("No USB device found.\n") + sentence);
    }
}

// The program still starts, on its defaults, and the ready text says which file it could not use.
TEST_F(Startup, UnusableStoreFilesAreNamedUnderTheReadyLine)
{
    const std::string folder = dir_.File("profile-folder");
    std::filesystem::create_directory(folder);
    const std::string fifo = dir_.File("registry-fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const ScopedEnv profile("KESTRUNE_PROFILE", folder.c_str());
    const ScopedEnv registry("KESTRUNE_REGISTRY", fifo.c_str());
    StartApp();
    const std::string text = StatusText();
    EXPECT_EQ(text.rfind("Kestrune is ready - ", 0), 0u) << text;
    EXPECT_NE(text.find("\nProfile store " + folder + ": not a regular file; its settings are not used.\n"
                        "Registry file " + fifo + ": not a regular file; its settings are not used."),
              std::string::npos)
        << text;
    AwaitStartupTimer();
    EXPECT_TRUE(gui::seams::Boxes().empty());
}

TEST_F(Startup, AutomaticRunStartsWithFamily4AndArmsTheQuitTimer)
{
    // A file named for another family still goes to the worker with family 4.
    const std::string file = WriteFirmware("opal-but-given.hex");
    StartApp({"/switch", "-other", file, dir_.File("second.hex")});
    AwaitStartupTimer();
    // Armed by the timer call itself: 500 ms have not passed yet.
    EXPECT_TRUE(theApp.QuitTimerActive());
    EXPECT_TRUE(theApp.AutomaticRun());
    EXPECT_EQ(Device().Worker().m_nFamily, 4);
    EXPECT_STREQ(Device().Worker().m_szFirmwarePath.data(), file.c_str());
    EXPECT_EQ(g_strCommandLineFile, file);
    // The worker refuses the name: the run ends with -1 and the program with status 1.
    const int status = theApp.Run();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Device().Worker().m_nResult.load(), -1);
}

TEST_F(Startup, QuitTimerWaitsForTheEndOfTheRun)
{
    const std::string file = WriteFirmware("heron-100.hex", 2048);
    StartApp({file});
    AwaitStartupTimer();
    ASSERT_TRUE(theApp.AutomaticRun());
    // The boot loader's banner alone is followed by a second's pause: the quit timer fires first.
    ASSERT_TRUE(WaitFor([] { return theApp.QuitPending(); }, 3000));
    EXPECT_TRUE(Device().Worker().IsRunning());
    EXPECT_TRUE(theApp.MainWindow()->isVisible());
    const int status = theApp.Run();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Device().Worker().m_nResult.load(), 0);
    // Nobody is at the screen for the result: no box was shown.
    EXPECT_TRUE(gui::seams::Boxes().empty());
    EXPECT_EQ(ReadText(FlashFile()), std::string(FirmwareData().begin(), FirmwareData().end()));
}
