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
    EepromBackups,
    EepromRestore,
    Unit,
    History,
    DbInit,
    DbImport,
    DbSync,
    DbCheck,
};

struct Invocation {
    Command command = Command::Help;
    bool yes = false;      // confirmations answered OK
    bool simulate = false; // the simulated display
    bool json = false;      // --json: one JSON document on standard output
    bool jsonLines = false; // --json-lines: history as one JSON object a record
    bool quiet = false;     // -q: results and errors only
    bool verbose = false;   // -v: every request on standard error
    bool dryRun = false;    // --dry-run: everything up to the write, which is left out
    std::string device;     // --device: serial:S, location:L or index:N; empty: none
    std::int32_t family = 4;
    std::string file;                     // flash, settings save and load
    std::vector<std::string> assignments; // KEY=VALUE of eeprom and record program
    bool program = false;                 // settings load, serial next
    std::string port;                     // port-test; empty: the profile's port
    bool otherConverter = false;          // eeprom restore of another converter's backup
    // unit: file is the firmware to flash (empty: no flash), family its family.
    std::string templateFile;
    bool serialNext = false;
    // history's filters, as given.
    std::string serial;
    std::string type;
    std::string since;
    std::string station;
};

struct ParsedCommandLine {
    bool ok = false;
    Invocation invocation;
    std::string error; // the usage error when !ok
};

// The switches every command takes, before or after its words (--yes, --simulate, --json,
// --json-lines, -q/--quiet, -v/--verbose, --dry-run): true when arg was one of them.
bool TakeCommonOption(const std::string& arg, Invocation& inv);

// The checks of the switches against each other and the command; parsed as given when they pass.
ParsedCommandLine Checked(const Invocation& invocation);

// Whether the command writes to a converter (a dry run counts: it shows that converter's changes).
bool WritesConverter(const Invocation& invocation);

// args without the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The bench commands (unit, history, eeprom backups and restore) after their command words.
ParsedCommandLine ParseBenchCommand(Command command, const std::vector<std::string>& rest,
                                    Invocation inv);

// The --help text.
std::string UsageText();

} // namespace cli
