// How the program ends: File > Exit, and the automatic update run, through the built program.
#include <signal.h>

#include <filesystem>

#include <QAction>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include "GuiTest.h"
#include "app/CrvsetupApp.h"
#include "app/MainFrame.h"
#include "dialogs/Seams.h"

#ifndef KESTRUNE_GUI_EXE
#error "the exit-status tests run the built program"
#endif

class ExitStatus : public GuiTest {
protected:
    struct Outcome {
        int status = -1;
        bool finished = false;
        std::string err;
    };

    // The program on the offscreen platform with the simulated display of this test.
    // With --simulate among the arguments, the program finds the simulator by itself.
    Outcome RunProgram(const QStringList& args, const std::string& extraIni = {},
                       const QString& sendCommands = {}, int signal = 0, int signalAfterMs = 0)
    {
        const std::string ini = dir_.File("exe-sim.ini");
        WriteText(ini, "[State]\nFolder=" + dir_.File("state") + "\n[BootLoader]\nResetAfterMs=50\n" + extraIni);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        if (args.contains("--simulate"))
            env.insert("KESTRUNE_D2XX", "/nonexistent/libftd2xx.so");
        else
            env.insert("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY);
        env.insert("KESTRUNE_SIM", QString::fromStdString(ini));
        env.insert("KESTRUNE_PROFILE", QString::fromStdString(dir_.File("exe.ini")));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir_.File("config")));
        env.insert("XDG_DATA_HOME", QString::fromStdString(dir_.File("data")));
        env.insert("KESTRUNE_DRIVE_C", QString::fromStdString(dir_.File("c")));
        env.remove("KESTRUNE_SCREENSHOTS");
        if (sendCommands.isEmpty())
            env.remove("KESTRUNE_SEND_COMMANDS");
        else
            env.insert("KESTRUNE_SEND_COMMANDS", sendCommands);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(KESTRUNE_GUI_EXE, args);
        Outcome out;
        if (signal != 0 && process.waitForStarted(10000) && !process.waitForFinished(signalAfterMs))
            ::kill(static_cast<pid_t>(process.processId()), signal);
        out.finished = process.waitForFinished(60000);
        if (!out.finished)
            process.kill();
        out.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        out.err = process.readAllStandardError().toStdString();
        return out;
    }
};

TEST_F(ExitStatus, FileExitInProcessEndsTheLoopWithZero)
{
    StartApp();
    ASSERT_TRUE(WaitFor([] { return theApp.StartupTimerRuns() > 0; }));
    QTimer::singleShot(50, [] {
        theApp.MainWindow()->findChild<QAction*>("action57665")->trigger();
    });
    EXPECT_EQ(theApp.Run(), 0);
    EXPECT_EQ(theApp.MainWindow(), nullptr);
}

TEST_F(ExitStatus, FileExitOfTheProgram)
{
    const Outcome out = RunProgram({}, {}, "57665");
    ASSERT_TRUE(out.finished);
    EXPECT_EQ(out.status, 0) << out.err;
}

TEST_F(ExitStatus, AutomaticRunThatSucceeded)
{
    const std::string file = WriteFirmware("heron-100.hex", 1024);
    const Outcome out = RunProgram({QString::fromStdString(file)});
    ASSERT_TRUE(out.finished);
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_NE(out.err.find("Kestrune: Firmware successfully updated."), std::string::npos) << out.err;
    EXPECT_EQ(ReadText(FlashFile()), std::string(FirmwareData().begin(), FirmwareData().end()));
}

TEST_F(ExitStatus, SimulateSwitchSelectsTheSimulatorBesideTheProgram)
{
    const std::string file = WriteFirmware("pika-2.hex", 256);
    const Outcome out = RunProgram({"--simulate", QString::fromStdString(file)});
    ASSERT_TRUE(out.finished);
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(ReadText(FlashFile()), std::string(FirmwareData().begin(), FirmwareData().end()));
}

TEST_F(ExitStatus, AutomaticRunThatFailed)
{
    const std::string file = WriteFirmware("heron-100.hex", 1024);
    const Outcome out = RunProgram({QString::fromStdString(file)}, "RefuseRecord=5:S\n");
    ASSERT_TRUE(out.finished);
    EXPECT_EQ(out.status, 1) << out.err;
    EXPECT_NE(out.err.find("Error writing flash.: Error writing flash. (83)."), std::string::npos) << out.err;
}

TEST_F(ExitStatus, StopSignalDuringAnAutomaticRun)
{
    const std::string file = WriteFirmware("heron-100.hex", 1024);
    WriteText(dir_.File("exe.ini"), "[Settings]\nLogFirmware=1\n");
    for (const int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        std::filesystem::remove(dir_.File("c/LOG/fertigung.log"));
        std::filesystem::remove(FlashFile());
        // Late verdicts keep the record loop going for some seconds.
        const Outcome out = RunProgram({QString::fromStdString(file)}, "VerdictDelayMs=150\n", {}, signal, 4000);
        ASSERT_TRUE(out.finished);
        EXPECT_EQ(out.status, 130) << out.err;
        EXPECT_NE(out.err.find("Firmware update stopped; the display holds part of the new firmware: flash it again."),
                  std::string::npos)
            << out.err;
        EXPECT_EQ(out.err.find("successfully"), std::string::npos) << out.err;
        EXPECT_NE(ReadText(FlashFile()), std::string(FirmwareData().begin(), FirmwareData().end()));
        const std::string log = ReadText(dir_.File("c/LOG/fertigung.log"));
        EXPECT_NE(log.find("Result=-4"), std::string::npos) << log;
    }
}

TEST_F(ExitStatus, HelpAndVersionNeedNoDisplay)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "no-such-platform");
    process.setProcessEnvironment(env);
    process.start(KESTRUNE_GUI_EXE, {"--version"});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(process.readAllStandardOutput().toStdString().rfind("Kestrune Version 3.04\nD2XX provider: ", 0), 0u);
    process.start(KESTRUNE_GUI_EXE, {"x.hex", "--help"});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(process.readAllStandardOutput().toStdString().rfind("Usage: kestrune", 0), 0u);
}
