#include <charconv>

#include "cli/CommandLine.h"

namespace cli {

namespace {

ParsedCommandLine Fail(std::string error)
{
    ParsedCommandLine parsed;
    parsed.error = std::move(error);
    return parsed;
}

} // namespace

ParsedCommandLine ParseBenchCommand(Command command, const std::vector<std::string>& rest,
                                    Invocation inv)
{
    inv.command = command;
    std::vector<std::string> words;
    bool familyGiven = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& arg = rest[i];
        // Options with a value, as "--name VALUE" or "--name=VALUE".
        auto value = [&](const std::string& name, std::string& out) -> int {
            if (arg == name) {
                if (i + 1 >= rest.size()) return -1;
                out = rest[++i];
                return 1;
            }
            if (arg.rfind(name + "=", 0) == 0) {
                out = arg.substr(name.size() + 1);
                return 1;
            }
            return 0;
        };
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (TakeCommonOption(arg, inv)) continue;
        struct Option {
            Command command;
            const char* name;
            std::string* out;
        };
        std::string family, serial;
        const Option options[] = {
            {Command::Unit, "--flash", &inv.file},        {Command::Unit, "--family", &family},
            {Command::Unit, "--template", &inv.templateFile}, {Command::Unit, "--serial", &serial},
            {Command::History, "--type", &inv.type},      {Command::History, "--since", &inv.since},
            {Command::History, "--station", &inv.station},
        };
        int taken = 0;
        for (const Option& o : options) {
            if (o.command != command || taken != 0) continue;
            taken = value(o.name, *o.out);
            // An empty value would quietly mean no filter at all.
            if (taken < 0 || (taken > 0 && o.out->empty())) return Fail(std::string(o.name) + " needs a value");
            if (taken > 0 && o.out == &family) {
                std::int32_t n = -1;
                auto [end, error] = std::from_chars(family.data(), family.data() + family.size(), n);
                if (error != std::errc() || end != family.data() + family.size() || n < 0 || n > 4)
                    return Fail("--family needs a number from 0 to 4");
                inv.family = n;
                familyGiven = true;
            }
            if (taken > 0 && o.out == &serial) {
                if (serial != "next") return Fail("--serial takes only 'next'");
                inv.serialNext = true;
            }
        }
        if (taken > 0) continue;
        if (command == Command::EepromRestore && arg == "--other-converter") {
            inv.otherConverter = true;
            continue;
        }
        return Fail("unknown option '" + arg + "'");
    }
    if (command == Command::Unit && familyGiven && inv.file.empty())
        return Fail("--family needs --flash FILE");
    const std::size_t maxWords = command == Command::EepromRestore || command == Command::History ? 1 : 0;
    if (command == Command::EepromRestore && words.empty()) return Fail("FILE is missing");
    if (words.size() > maxWords) return Fail("unexpected argument '" + words[maxWords] + "'");
    if (command == Command::EepromRestore) inv.file = words.front();
    if (command == Command::History && !words.empty()) {
        if (words.front().empty()) return Fail("SERIAL is empty");
        inv.serial = words.front();
    }
    return Checked(inv);
}

} // namespace cli
