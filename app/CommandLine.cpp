#include "app/CommandLine.h"

#include <cstring>

#include "platform/System.h"
#include "res/Strings.h"

namespace {

bool IsSwitch(const std::string& arg)
{
    if (arg.empty())
        return false;
    if (arg[0] == '-')
        return true;
    // Here a leading slash also starts every absolute path.
    return arg[0] == '/' && !platform::PathFileExists(arg);
}

} // namespace

void CCommandLineInfo::ParseCommandLine(const std::vector<std::string>& args)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--device" && i + 1 < args.size()) {
            m_strDevice = args[++i];
            continue;
        }
        if (arg.rfind("--device=", 0) == 0) {
            m_strDevice = arg.substr(9);
            continue;
        }
        if (IsSwitch(arg)) {
            if (arg == "--help" || arg == "-h")
                m_bHelp = true;
            else if (arg == "--version")
                m_bVersion = true;
            else if (arg == "--service")
                m_bService = true;
            else if (arg == "--simulate")
                m_bSimulate = true;
            continue;
        }
        if (m_strFileName.empty())
            m_strFileName = arg;
    }
}

namespace gui {

std::string UsageText()
{
    return LoadStdString(IDS_GUI_USAGE);
}

std::string VersionText()
{
    return LoadStdString(IDS_ABOUT_VERSION);
}

bool WantsHelpOrVersion(int argc, char** argv, bool* help, bool* version)
{
    *help = false;
    *version = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            *help = true;
        else if (std::strcmp(argv[i], "--version") == 0)
            *version = true;
    }
    return *help || *version;
}

} // namespace gui
