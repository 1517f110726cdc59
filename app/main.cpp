#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/CrvsetupApp.h"

int main(int argc, char** argv)
{
    // Answered before any window system is needed.
    bool help = false;
    bool version = false;
    if (gui::WantsHelpOrVersion(argc, argv, &help, &version)) {
        std::fputs((help ? gui::UsageText() : gui::VersionText() + "\n").c_str(), stdout);
        return 0;
    }

    QApplication app(argc, argv);
    // Docks and Wayland compositors find the menu entry, and with it the icon, by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(KESTRUNE_APP_ID));
    // Qt has taken its own options out of argv by now.
    const QStringList arguments = QCoreApplication::arguments();
    std::vector<std::string> args;
    for (qsizetype i = 1; i < arguments.size(); ++i)
        args.push_back(arguments[i].toStdString());

    theApp.InitInstance(args);
    return theApp.Run();
}
