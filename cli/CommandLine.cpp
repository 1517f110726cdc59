#include "cli/CommandLine.h"

#include <charconv>
#include <optional>

#include "link/DeviceSelection.h"

namespace cli {

std::string UsageText()
{
    return "Usage:\n"
           "kestrune-cli [--yes] [--simulate] [--device SPEC] [--json] [-q|-v] [--dry-run] COMMAND [ARGUMENTS]\n"
           "  identify                      connect, identify, print the ready line\n"
           "  info                          print the device-information report\n"
           "  flash [--family N] FILE       update the firmware (N 0..4, default 4)\n"
           "  eeprom show                   print the converter's USB settings\n"
           "  eeprom program KEY=VALUE...   change USB settings and program them\n"
           "  record show                   print the identification record\n"
           "  record program KEY=VALUE...   change the record and write it\n"
           "  settings save FILE            save record and USB settings to a settings file\n"
           "  settings load FILE [--program]  load a settings file; with --program write both\n"
           "  serial next [--program]       generate the next serial number; with --program write it\n"
           "  port-test [PORT]              identity test over a serial port\n"
           "  doctor                        check provider, converters, files; then identify\n"
           "  eeprom backups                list the backups taken before writes to converters\n"
           "  eeprom restore FILE [--other-converter]\n"
           "                                write a backup back to the converter it came from\n"
           "  unit [--flash FILE [--family N]] [--template SETTINGS] [--serial next]\n"
           "                                the bench's whole job for one display (see below)\n"
           "  history [SERIAL] [--type CODE] [--since DD.MM.YY] [--station NAME]\n"
           "                                list the production log's records that match\n"
           "  db init | db import LOGFILE | db sync | db check\n"
           "                                the shared records database ([Settings] Database=)\n"
           "kestrune-cli --help | --version\n"
           "\n"
           "Options:\n"
           "  --yes       answer every confirmation with OK (without it they are asked on a\n"
           "              terminal and refused when standard input is not one)\n"
           "  --simulate  use the simulated display built beside the program; without\n"
           "              KESTRUNE_SIM, a Nova display kept in the user's data folder\n"
           "  --device SPEC  the converter to use when several are attached: serial:S,\n"
           "              location:L (USB port path as 1-2.3, or location ID) or index:N;\n"
           "              default $KESTRUNE_DEVICE. With several attached and none named,\n"
           "              reading commands use the first and writing commands are refused\n"
           "  --json      the result as one JSON document on standard output (keys: see the\n"
           "              manual page); --json-lines: history as one JSON object a record\n"
           "  -q, --quiet   no progress and no informational lines: results and errors only\n"
           "  -v, --verbose each request to the converter and the display, timed, on standard error\n"
           "  --dry-run   a writing command reads and checks everything, prints the fields it\n"
           "              would change (old -> new) and writes nothing (no backup either)\n"
           "\n"
           "Keys of eeprom program: VendorId, ProductId (hexadecimal, 0x0403 or 403),\n"
           "  Manufacturer, ManufacturerId, SerialNumber, Description (63 characters at most).\n"
           "Keys of record program: Type (98 or 0x62), SerialNumber (0012.3456.789),\n"
           "  Manufacturing, LastUpdate (DD.MM.YY).\n"
           "Families: 0 KV line, 1 Opal display, 2 Braille keyboard of the Opal, 3 Nova,\n"
           "  4 heron and pika firmware.\n"
           "\n"
           "A firmware file is checked whole before the display is touched; a refusal names\n"
           "  the line and the reason on standard error (FILE:LINE: reason).\n"
           "Writes need what they change to have been read from the display: with an\n"
           "  unreadable EEPROM or record they are refused unless every field is given.\n"
           "\n"
           "unit: identify; flash when asked (and find the display again); load the\n"
           "  template; generate the next serial number; back up; program the EEPROM, then\n"
           "  the record; read both back; log. One summary line with each step's time; it\n"
           "  stops at the first step that fails, names it and exits with its status.\n"
           "Every write to a converter is backed up first to\n"
           "  $XDG_DATA_HOME/kestrune/backups/<converter serial>/<UTC time>.ini and read back\n"
           "  after it.\n"
           "\n"
           "Exit status: 0 success; 1 the operation failed or a value was refused;\n"
           "2 usage error; 3 no display found; 4 the display was written but its production\n"
           "log record or its serial-number status could not be stored.\n"
           "\n"
           "Environment: KESTRUNE_D2XX (the D2XX library), KESTRUNE_SIM (simulator\n"
           "configuration), KESTRUNE_PROFILE (profile store), KESTRUNE_REGISTRY (registry\n"
           "file), KESTRUNE_DRIVE_<letter> (folder of a drive letter).\n";
}

namespace {

struct Args {
    const std::vector<std::string>& list;
    std::size_t next = 0;
    bool AtEnd() const { return next >= list.size(); }
    const std::string& Peek() const { return list[next]; }
    const std::string& Take() { return list[next++]; }
};

ParsedCommandLine Fail(std::string error)
{
    ParsedCommandLine parsed;
    parsed.error = std::move(error);
    return parsed;
}

bool IsOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

std::optional<std::int32_t> ParseFamily(const std::string& text)
{
    std::int32_t value = -1;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > 4)
        return std::nullopt;
    return value;
}

// Arguments after a sub-command: plain words, "--" ending the options, and the flags given.
struct Rest {
    std::vector<std::string> words;
    bool program = false;
    std::optional<std::string> family;
    std::string error;
};

// The switches may also follow the command, where scripts tend to add them.
Rest TakeRest(Args& args, bool allowProgram, bool allowFamily, Invocation& inv)
{
    Rest rest;
    bool optionsEnded = false;
    while (!args.AtEnd()) {
        const std::string& arg = args.Take();
        if (optionsEnded || !IsOption(arg)) {
            rest.words.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (TakeCommonOption(arg, inv)) {
        } else if (allowProgram && arg == "--program") {
            rest.program = true;
        } else if (allowFamily && arg == "--family") {
            if (args.AtEnd()) {
                rest.error = "--family needs a number from 0 to 4";
                return rest;
            }
            rest.family = args.Take();
        } else if (allowFamily && arg.rfind("--family=", 0) == 0) {
            rest.family = arg.substr(9);
        } else {
            rest.error = "unknown option '" + arg + "'";
            return rest;
        }
    }
    return rest;
}

} // namespace

ParsedCommandLine Checked(const Invocation& inv)
{
    if (inv.quiet && inv.verbose) return Fail("-q and -v exclude each other");
    if (inv.jsonLines && inv.command != Command::History) return Fail("--json-lines is for history; --json for the others");
    if (inv.json && inv.jsonLines) return Fail("--json and --json-lines exclude each other");
    const bool writes = inv.command == Command::EepromProgram || inv.command == Command::RecordProgram ||
                        inv.command == Command::SettingsLoad || inv.command == Command::SerialNext ||
                        inv.command == Command::EepromRestore || inv.command == Command::Unit ||
                        inv.command == Command::Flash;
    if (inv.dryRun && !writes) return Fail("--dry-run is for commands that write");
    if (!inv.device.empty() && !converters::ParseDeviceSelection(inv.device))
        return Fail("--device " + inv.device + ": name a converter as serial:S, location:L or index:N");
    return {true, inv, {}};
}

bool WritesConverter(const Invocation& inv)
{
    switch (inv.command) {
    case Command::EepromProgram:
    case Command::RecordProgram:
    case Command::EepromRestore:
    case Command::Unit:
    case Command::Flash: return true;
    case Command::SettingsLoad:
    case Command::SerialNext: return inv.program;
    default: return false;
    }
}

bool TakeCommonOption(const std::string& arg, Invocation& inv)
{
    if (arg == "--yes") inv.yes = true;
    else if (arg == "--simulate") inv.simulate = true;
    else if (arg == "--json") inv.json = true;
    else if (arg == "--json-lines") inv.jsonLines = true;
    else if (arg == "-q" || arg == "--quiet") inv.quiet = true;
    else if (arg == "-v" || arg == "--verbose") inv.verbose = true;
    else if (arg == "--dry-run") inv.dryRun = true;
    else if (arg.rfind("--device=", 0) == 0) inv.device = arg.substr(9);
    else return false;
    return true;
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& given)
{
    // "--device SPEC" is "--device=SPEC", so that every option stays one word below.
    std::vector<std::string> list;
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (given[i] == "--") {
            list.insert(list.end(), given.begin() + static_cast<std::ptrdiff_t>(i), given.end());
            break;
        }
        if (given[i] != "--device") {
            list.push_back(given[i]);
        } else if (i + 1 < given.size()) {
            list.push_back("--device=" + given[++i]);
        } else {
            return Fail("--device needs serial:S, location:L or index:N");
        }
    }
    Args args{list};
    Invocation inv;
    for (const std::string& arg : list) {
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            ParsedCommandLine parsed;
            parsed.ok = true;
            parsed.invocation.command = Command::Help;
            return parsed;
        }
    }
    while (!args.AtEnd() && IsOption(args.Peek())) {
        const std::string& arg = args.Take();
        if (TakeCommonOption(arg, inv)) {
        } else if (arg == "--version") {
            inv.command = Command::Version;
            if (!args.AtEnd()) return Fail("--version takes no command");
            return {true, inv, {}};
        } else {
            return Fail("unknown option '" + arg + "'");
        }
    }
    if (args.AtEnd()) return Fail("a command is needed");

    const std::string command = args.Take();
    auto sub = [&]() -> std::string { return args.AtEnd() ? std::string() : args.Take(); };
    Rest rest;
    std::size_t minWords = 0;
    std::size_t maxWords = 0;
    if (command == "identify" || command == "info" || command == "doctor") {
        inv.command = command == "identify" ? Command::Identify
                      : command == "info"   ? Command::Info
                                            : Command::Doctor;
        rest = TakeRest(args, false, false, inv);
    } else if (command == "flash") {
        inv.command = Command::Flash;
        rest = TakeRest(args, false, true, inv);
        minWords = maxWords = 1;
    } else if (command == "eeprom" || command == "record") {
        const std::string what = sub();
        const bool eeprom = command == "eeprom";
        if (eeprom && (what == "backups" || what == "restore")) {
            return ParseBenchCommand(what == "backups" ? Command::EepromBackups : Command::EepromRestore,
                                     {list.begin() + static_cast<std::ptrdiff_t>(args.next), list.end()},
                                     inv);
        }
        if (what == "show") {
            inv.command = eeprom ? Command::EepromShow : Command::RecordShow;
        } else if (what == "program") {
            inv.command = eeprom ? Command::EepromProgram : Command::RecordProgram;
            minWords = 1;
            maxWords = SIZE_MAX;
        } else {
            return Fail(eeprom ? "eeprom needs 'show', 'program', 'backups' or 'restore'"
                               : "record needs 'show' or 'program'");
        }
        rest = TakeRest(args, false, false, inv);
    } else if (command == "settings") {
        const std::string what = sub();
        if (what == "save") {
            inv.command = Command::SettingsSave;
            rest = TakeRest(args, false, false, inv);
        } else if (what == "load") {
            inv.command = Command::SettingsLoad;
            rest = TakeRest(args, true, false, inv);
        } else {
            return Fail("settings needs 'save FILE' or 'load FILE'");
        }
        minWords = maxWords = 1;
    } else if (command == "serial") {
        if (sub() != "next") return Fail("serial needs 'next'");
        inv.command = Command::SerialNext;
        rest = TakeRest(args, true, false, inv);
    } else if (command == "unit" || command == "history") {
        return ParseBenchCommand(command == "unit" ? Command::Unit : Command::History,
                                 {list.begin() + static_cast<std::ptrdiff_t>(args.next), list.end()}, inv);
    } else if (command == "db") {
        const std::string what = sub();
        if (what == "init") inv.command = Command::DbInit;
        else if (what == "import") inv.command = Command::DbImport;
        else if (what == "sync") inv.command = Command::DbSync;
        else if (what == "check") inv.command = Command::DbCheck;
        else return Fail("db needs 'init', 'import LOGFILE', 'sync' or 'check'");
        rest = TakeRest(args, false, false, inv);
        minWords = maxWords = inv.command == Command::DbImport ? 1 : 0;
    } else if (command == "port-test") {
        inv.command = Command::PortTest;
        rest = TakeRest(args, false, false, inv);
        maxWords = 1;
    } else {
        return Fail("unknown command '" + command + "'");
    }

    if (!rest.error.empty()) return Fail(rest.error);
    if (rest.words.size() < minWords)
        return Fail(inv.command == Command::EepromProgram || inv.command == Command::RecordProgram
                        ? "KEY=VALUE is missing"
                        : "FILE is missing");
    if (rest.words.size() > maxWords) return Fail("unexpected argument '" + rest.words[maxWords] + "'");
    if (rest.family) {
        auto family = ParseFamily(*rest.family);
        if (!family) return Fail("--family needs a number from 0 to 4");
        inv.family = *family;
    }
    inv.program = rest.program;
    switch (inv.command) {
    case Command::Flash:
    case Command::SettingsSave:
    case Command::SettingsLoad:
    case Command::DbImport:
        inv.file = rest.words.front();
        break;
    case Command::EepromProgram:
    case Command::RecordProgram:
        inv.assignments = rest.words;
        break;
    case Command::PortTest:
        if (!rest.words.empty()) inv.port = rest.words.front();
        break;
    default:
        break;
    }
    return Checked(inv);
}

} // namespace cli
