#pragma once
// The program's command line: switches and the firmware file of the automatic update run.
#include <string>
#include <vector>

class CCommandLineInfo {
public:
    // Arguments without the program name, after Qt took its own. Each argument beginning with
    // "/" or "-" is a switch; the first other one is the file name; the rest has no effect.
    // An absolute path is a file name, not a switch, when such an entry exists.
    void ParseCommandLine(const std::vector<std::string>& args);

    std::string m_strFileName;
    bool m_bHelp = false;
    bool m_bVersion = false;
    bool m_bService = false;
    bool m_bSimulate = false;
    std::string m_strDevice; // --device SPEC (or --device=SPEC): the converter to use
};

namespace gui {

// The text of --help and of --version.
std::string UsageText();
std::string VersionText();
// --help or --version anywhere: they are answered before any window is opened.
bool WantsHelpOrVersion(int argc, char** argv, bool* help, bool* version);

} // namespace gui
