#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/CrvsetupApp.h"
#include "link/D2xxLibrary.h"
#include "platform/SimulationSwitch.h"
#include "platform/StopSignals.h"
#include "records/MyCrvUsbDevice.h"

int main(int argc, char** argv)
{
    // Answered before any window system is needed.
    bool help = false;
    bool version = false;
    if (gui::WantsHelpOrVersion(argc, argv, &help, &version)) {
        const std::string provider = "D2XX provider: " + D2xxLibrary::DescribeProvider() + "\n";
        const std::string text = help ? gui::UsageText() : gui::VersionText() + "\n" + provider;
        // Text that never reached the reader (a closed pipe) is no success.
        return std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
    }

    // The environment changes before QApplication starts threads that may read it.
    CCommandLineInfo early;
    early.ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    std::string simulationFailure;
    if (early.m_bSimulate)
        simulationFailure = platform::EnableSimulation();

    platform::InstallStopSignals();
    QApplication app(argc, argv);
    // Docks and Wayland compositors find the menu entry, and with it the icon, by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(KESTRUNE_APP_ID));
    if (!simulationFailure.empty())
        std::fprintf(stderr, "kestrune: --simulate: %s\n", simulationFailure.c_str());
    // Qt has taken its own options out of argv by now.
    const QStringList arguments = QCoreApplication::arguments();
    std::vector<std::string> args;
    for (qsizetype i = 1; i < arguments.size(); ++i)
        args.push_back(arguments[i].toStdString());

    CMyCrvUsbDevice theDevice;
    theApp.InitInstance(theDevice, args);
    int status = theApp.Run();
    // What an unattended run wrote to standard error is its report; lost, it is no success.
    if (std::fflush(stderr) != 0 || std::ferror(stderr) != 0 || std::ferror(stdout) != 0)
        status = status != 0 ? status : 1;
    return status;
}
