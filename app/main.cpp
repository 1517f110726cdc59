#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/CrvsetupApp.h"
#include "link/D2xxLibrary.h"
#include "platform/SimulationSwitch.h"
#include "records/MyCrvUsbDevice.h"

int main(int argc, char** argv)
{
    // Answered before any window system is needed.
    bool help = false;
    bool version = false;
    if (gui::WantsHelpOrVersion(argc, argv, &help, &version)) {
        const std::string provider = "D2XX provider: " + D2xxLibrary::DescribeProvider() + "\n";
        std::fputs((help ? gui::UsageText() : gui::VersionText() + "\n" + provider).c_str(), stdout);
        return 0;
    }

    // The environment changes before QApplication starts threads that may read it.
    CCommandLineInfo early;
    early.ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    std::string simulationFailure;
    if (early.m_bSimulate)
        simulationFailure = platform::EnableSimulation();

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
    return theApp.Run();
}
