#include <gtest/gtest.h>

#include "cli/CommandLine.h"
#include "cli/KeyValues.h"
#include "records/DeviceData.h"

using cli::Command;
using cli::ParseCommandLine;

namespace {

cli::Invocation Parsed(std::vector<std::string> args)
{
    cli::ParsedCommandLine parsed = ParseCommandLine(args);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    return parsed.invocation;
}

std::string UsageError(std::vector<std::string> args)
{
    cli::ParsedCommandLine parsed = ParseCommandLine(args);
    EXPECT_FALSE(parsed.ok);
    return parsed.error;
}

} // namespace

TEST(CommandLine, CommandsWithTheirArguments)
{
    cli::Invocation flash = Parsed({"--yes", "--simulate", "flash", "heron-100.hex"});
    EXPECT_EQ(flash.command, Command::Flash);
    EXPECT_TRUE(flash.yes);
    EXPECT_TRUE(flash.simulate);
    EXPECT_EQ(flash.family, 4);
    EXPECT_EQ(flash.file, "heron-100.hex");

    EXPECT_EQ(Parsed({"flash", "--family", "0", "kv.hex"}).family, 0);
    EXPECT_EQ(Parsed({"flash", "nova.hex", "--family=3"}).family, 3);
    EXPECT_EQ(Parsed({"flash", "--", "-odd.hex"}).file, "-odd.hex");

    cli::Invocation program = Parsed({"eeprom", "program", "VendorId=0x0403", "Description=A B"});
    EXPECT_EQ(program.command, Command::EepromProgram);
    EXPECT_EQ(program.assignments, (std::vector<std::string>{"VendorId=0x0403", "Description=A B"}));

    cli::Invocation load = Parsed({"settings", "load", "devinfo.bin", "--program"});
    EXPECT_EQ(load.command, Command::SettingsLoad);
    EXPECT_TRUE(load.program);
    EXPECT_FALSE(Parsed({"settings", "load", "devinfo.bin"}).program);
    EXPECT_TRUE(Parsed({"serial", "next", "--program"}).program);
    EXPECT_EQ(Parsed({"port-test"}).port, "");
    EXPECT_EQ(Parsed({"port-test", "COM3:"}).port, "COM3:");
    EXPECT_EQ(Parsed({"record", "show"}).command, Command::RecordShow);
    EXPECT_EQ(Parsed({"info"}).command, Command::Info);
    // Scripts put the switches after the command as well.
    EXPECT_TRUE(Parsed({"record", "program", "Type=98", "--yes"}).yes);
    EXPECT_EQ(Parsed({"--device", "serial:KS000042", "identify"}).device, "serial:KS000042");
    EXPECT_EQ(Parsed({"unit", "--device=location:1-2.3", "--yes"}).device, "location:1-2.3");
    EXPECT_EQ(Parsed({"flash", "--", "--device"}).file, "--device");
    EXPECT_NE(UsageError({"identify", "--device"}).find("--device needs"), std::string::npos);
    EXPECT_NE(UsageError({"--device", "KS000042", "identify"}).find("name a converter"), std::string::npos);

    cli::Invocation unit = Parsed({"unit", "--flash", "nova.hex", "--family=3", "--template",
                                   "t.bin", "--serial", "next", "--yes"});
    EXPECT_EQ(unit.command, Command::Unit);
    EXPECT_EQ(unit.file, "nova.hex");
    EXPECT_EQ(unit.family, 3);
    EXPECT_EQ(unit.templateFile, "t.bin");
    EXPECT_TRUE(unit.serialNext);
    EXPECT_TRUE(unit.yes);
    EXPECT_EQ(Parsed({"unit"}).file, "");

    cli::Invocation history = Parsed({"history", "12.3456.789", "--type", "0x62", "--since=01.12.26",
                                      "--station", "STATION2"});
    EXPECT_EQ(history.command, Command::History);
    EXPECT_EQ(history.serial, "12.3456.789");
    EXPECT_EQ(history.type, "0x62");
    EXPECT_EQ(history.since, "01.12.26");
    EXPECT_EQ(history.station, "STATION2");

    EXPECT_EQ(Parsed({"eeprom", "backups"}).command, Command::EepromBackups);
    cli::Invocation restore = Parsed({"eeprom", "restore", "b.ini", "--other-converter"});
    EXPECT_EQ(restore.command, Command::EepromRestore);
    EXPECT_EQ(restore.file, "b.ini");
    EXPECT_TRUE(restore.otherConverter);
    EXPECT_FALSE(Parsed({"eeprom", "restore", "b.ini"}).otherConverter);
}

TEST(CommandLine, HelpAndVersion)
{
    EXPECT_EQ(Parsed({"--help"}).command, Command::Help);
    EXPECT_EQ(Parsed({"flash", "--help"}).command, Command::Help);
    EXPECT_EQ(Parsed({"--version"}).command, Command::Version);
    EXPECT_NE(cli::UsageText().find("kestrune-cli [--yes] [--simulate] [--device SPEC] [--json] [-q|-v] [--dry-run] COMMAND [ARGUMENTS]"),
              std::string::npos);
}

TEST(CommandLine, UsageErrors)
{
    EXPECT_EQ(UsageError({}), "a command is needed");
    EXPECT_EQ(UsageError({"--loud", "identify"}), "unknown option '--loud'");
    EXPECT_EQ(UsageError({"-q", "identify", "--verbose"}), "-q and -v exclude each other");
    EXPECT_EQ(UsageError({"identify", "--json-lines"}), "--json-lines is for history; --json for the others");
    EXPECT_EQ(UsageError({"--dry-run", "record", "show"}), "--dry-run is for commands that write");
    EXPECT_EQ(UsageError({"history", "--json", "--json-lines"}), "--json and --json-lines exclude each other");
    EXPECT_EQ(UsageError({"reboot"}), "unknown command 'reboot'");
    EXPECT_EQ(UsageError({"flash"}), "FILE is missing");
    EXPECT_EQ(UsageError({"flash", "a.hex", "b.hex"}), "unexpected argument 'b.hex'");
    EXPECT_EQ(UsageError({"flash", "--family", "5", "heron.hex"}), "--family needs a number from 0 to 4");
    EXPECT_EQ(UsageError({"flash", "--family", "x", "heron.hex"}), "--family needs a number from 0 to 4");
    EXPECT_EQ(UsageError({"flash", "heron.hex", "--family"}), "--family needs a number from 0 to 4");
    EXPECT_EQ(UsageError({"eeprom"}), "eeprom needs 'show', 'program', 'backups' or 'restore'");
    EXPECT_EQ(UsageError({"eeprom", "program"}), "KEY=VALUE is missing");
    EXPECT_EQ(UsageError({"record", "show", "extra"}), "unexpected argument 'extra'");
    EXPECT_EQ(UsageError({"settings", "save"}), "FILE is missing");
    EXPECT_EQ(UsageError({"settings", "save", "a.bin", "--program"}), "unknown option '--program'");
    EXPECT_EQ(UsageError({"serial", "last"}), "serial needs 'next'");
    EXPECT_EQ(UsageError({"port-test", "COM1:", "COM2:"}), "unexpected argument 'COM2:'");
    EXPECT_EQ(UsageError({"identify", "--family", "4"}), "unknown option '--family'");
    EXPECT_EQ(UsageError({"unit", "--family", "3"}), "--family needs --flash FILE");
    EXPECT_EQ(UsageError({"unit", "--flash"}), "--flash needs a value");
    EXPECT_EQ(UsageError({"unit", "--serial", "last"}), "--serial takes only 'next'");
    EXPECT_EQ(UsageError({"unit", "--type", "98"}), "unknown option '--type'");
    EXPECT_EQ(UsageError({"unit", "extra"}), "unexpected argument 'extra'");
    EXPECT_EQ(UsageError({"history", "a", "b"}), "unexpected argument 'b'");
    EXPECT_EQ(UsageError({"history", "--flash", "x.hex"}), "unknown option '--flash'");
    // An empty filter would list the whole log as if it matched.
    EXPECT_EQ(UsageError({"history", "--station", ""}), "--station needs a value");
    EXPECT_EQ(UsageError({"history", "--since="}), "--since needs a value");
    EXPECT_EQ(UsageError({"history", ""}), "SERIAL is empty");
    EXPECT_EQ(UsageError({"eeprom", "restore"}), "FILE is missing");
    EXPECT_EQ(UsageError({"eeprom", "backups", "--other-converter"}), "unknown option '--other-converter'");
}

TEST(KeyValues, UsbKeysTakeTheTextsAsTheyAre)
{
    UsbSettingsFields fields;
    EXPECT_EQ(cli::ApplyUsbAssignment(fields, "vendorid=0X1234").status, cli::AssignStatus::Ok);
    EXPECT_EQ(fields.VendorId, "0X1234"); // judged later by the dialog's checks
    EXPECT_EQ(cli::ApplyUsbAssignment(fields, "Description=a=b").status, cli::AssignStatus::Ok);
    EXPECT_EQ(fields.Description, "a=b");
    EXPECT_EQ(cli::ApplyUsbAssignment(fields, "SerialNumber=").status, cli::AssignStatus::Ok);
    EXPECT_EQ(fields.SerialNumber, "");
    EXPECT_EQ(cli::ApplyUsbAssignment(fields, "Colour=red").status, cli::AssignStatus::Usage);
    EXPECT_EQ(cli::ApplyUsbAssignment(fields, "=x").status, cli::AssignStatus::Usage);
    EXPECT_EQ(cli::ApplyUsbAssignment(fields, "VendorId").status, cli::AssignStatus::Usage);
}

TEST(KeyValues, RecordKeys)
{
    DeviceSettingsFields fields;
    const struct {
        const char* assignment;
        cli::AssignStatus status;
        std::uint32_t code;
    } types[] = {
        {"Type=98", cli::AssignStatus::Ok, 98},
        {"type=0x5f", cli::AssignStatus::Ok, 0x5F},
        {"Type=0X60", cli::AssignStatus::Ok, 0x60},
        {"Type=256", cli::AssignStatus::Ok, 256}, // the record's limit is the check's matter
        {"Type=", cli::AssignStatus::Refused, 256},
        {"Type=0x", cli::AssignStatus::Refused, 256},
        {"Type=9a", cli::AssignStatus::Refused, 256},
        {"Type=-1", cli::AssignStatus::Refused, 256},
        {"Type=99999999999", cli::AssignStatus::Refused, 256},
    };
    for (const auto& row : types) {
        EXPECT_EQ(cli::ApplyDeviceAssignment(fields, row.assignment).status, row.status) << row.assignment;
        EXPECT_EQ(fields.DeviceCode, row.code) << row.assignment;
    }

    EXPECT_EQ(cli::ApplyDeviceAssignment(fields, "SerialNumber=12.345.6").status, cli::AssignStatus::Ok);
    EXPECT_EQ(fields.Serial1, "12");
    EXPECT_EQ(fields.Serial2, "345");
    EXPECT_EQ(fields.Serial3, "6");
    EXPECT_EQ(cli::ApplyDeviceAssignment(fields, "SerialNumber=0012.3456").status, cli::AssignStatus::Refused);
    EXPECT_EQ(cli::ApplyDeviceAssignment(fields, "SerialNumber=1.2.3.4").status, cli::AssignStatus::Refused);
    EXPECT_EQ(fields.Serial1, "12");

    EXPECT_EQ(cli::ApplyDeviceAssignment(fields, "Model=5").status, cli::AssignStatus::Usage);
}

TEST(KeyValues, DatesAreRealDaysTheRecordCanHold)
{
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    std::int64_t time = 0;
    ASSERT_TRUE(cli::ParseShortDate("04.03.15", time));
    ShortDate back = ToShortDate(time);
    EXPECT_EQ(back.day, 4);
    EXPECT_EQ(back.month, 3);
    EXPECT_EQ(back.year2, 15);
    std::int64_t expected = 0;
    ASSERT_TRUE(LocalMidnight(2015, 3, 4, expected));
    EXPECT_EQ(time, expected);

    EXPECT_TRUE(cli::ParseShortDate("1.1.00", time));
    EXPECT_TRUE(cli::ParseShortDate("29.02.24", time));
    EXPECT_TRUE(cli::ParseShortDate("31.12.37", time));
    for (const char* bad : {"31.02.15", "29.02.23", "00.01.15", "01.13.15", "01.01.38", "01.01.99",
                            "01.01", "01-01-15", "001.01.15", "a.b.c", ""}) {
        EXPECT_FALSE(cli::ParseShortDate(bad, time)) << bad;
    }

    DeviceSettingsFields fields;
    fields.Manufacturing = 42;
    cli::AssignResult refused = cli::ApplyDeviceAssignment(fields, "Manufacturing=31.02.15");
    EXPECT_EQ(refused.status, cli::AssignStatus::Refused);
    EXPECT_NE(refused.message.find("Date is out of range."), std::string::npos);
    EXPECT_EQ(fields.Manufacturing, 42);
    EXPECT_EQ(cli::ApplyDeviceAssignment(fields, "LastUpdate=06.05.16").status, cli::AssignStatus::Ok);
    EXPECT_EQ(ToShortDate(fields.LastUpdate).month, 5);
}
