#pragma once
// kestrune-cli's command line: the switches, the command and its arguments.
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

enum class Command {
    Help,
    Version,
    Identify,
    Info,
    Flash,
    EepromShow,
    EepromProgram,
    RecordShow,
    RecordProgram,
    SettingsSave,
    SettingsLoad,
    SerialNext,
    PortTest,
    Doctor,
};

struct Invocation {
    Command command = Command::Help;
    bool yes = false;      // confirmations answered OK
    bool simulate = false; // the simulated display
    std::int32_t family = 4;
    std::string file;                     // flash, settings save and load
    std::vector<std::string> assignments; // KEY=VALUE of eeprom and record program
    bool program = false;                 // settings load, serial next
    std::string port;                     // port-test; empty: the profile's port
};

struct ParsedCommandLine {
    bool ok = false;
    Invocation invocation;
    std::string error; // the usage error when !ok
};

// args without the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The --help text.
std::string UsageText();

} // namespace cli
