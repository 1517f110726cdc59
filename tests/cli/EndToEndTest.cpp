// kestrune-cli as a script runs it: the built program against the simulated display, each test
// with its own simulator configuration, profile store, drive C and temporary folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "CliProcess.h"
#include "support/TempDir.h"
#include "tools/SampleFirmware.h"

namespace fs = std::filesystem;
using clitest::ProcessOptions;
using clitest::ProcessResult;

namespace {

using Ini = std::map<std::string, std::map<std::string, std::string>>;

// The simulated display of every test unless it says otherwise: a Nova (code 98) on an
// X-series converter with a valid record, its boot loader entered 50 ms after DTR was set.
Ini BaseSimulator(const fs::path& state)
{
    return {
        {"Converter", {{"Present", "1"}, {"SerialNumber", "ZK000001"}, {"ChipType", "9"}}},
        {"Eeprom",
         {{"VendorId", "0x0403"}, {"ProductId", "0xF208"}, {"MaxPower", "500"}, {"SelfPowered", "0"},
          {"RemoteWakeup", "1"}, {"Manufacturer", "ZKM"}, {"ManufacturerId", "ZK"},
          {"Description", "Corvina Nova"}, {"SerialNumber", "ZK000001"}}},
        {"UserArea",
         {{"DeviceCode", "98"}, {"SerialNumber", "0001.0001.001"}, {"Manufacturing", "2024-03-04"},
          {"LastUpdate", "2024-03-04"}}},
        {"Display", {{"Revision", "1.00"}}},
        {"BootLoader", {{"ResetAfterMs", "50"}}},
        {"State", {{"Folder", state.string()}}},
    };
}

const char* const kReady =
    "Kestrune is ready - DIC:0x62 - SN:0001.0001.001 - Rev:1.00 - P:04.03.24 - U:04.03.24\n";
const char* const kNoDevice = "Kestrune Error: No USB device found.\n";
const char* const kConfirmLine =
    "Save settings to EEPROM: Are you really sure you want to save the settings to the EEPROM area?\n";

const char* const kUsbSection =
    "[USB]\n"
    "VendorId=0x0403\n"
    "ProductId=0xf208\n"
    "Manufacturer=ZKM\n"
    "ManufacturerId=ZK\n"
    "Description=Corvina Nova\n"
    "SerialNumber=ZK000001\n"
    "MaxPower=0x01f4\n"
    "PnP=1\n"
    "SelfPowered=0x0000\n"
    "RemoteWakeup=0x0001\n"
    "Rev4=1\n"
    "IsoIn=0\n"
    "IsoOut=0\n"
    "PullDownEnable=1\n"
    "SerNumEnable=1\n"
    "USBVersionEnable=0\n"
    "USBVersion=0x0110\n";

// ASCII text as a UTF-16LE file with its byte-order mark.
std::string Utf16(const std::string& text)
{
    std::string out = "\xFF\xFE";
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}

// The EEPROM bytes a backup file holds in [Raw] Words, as the simulator keeps them.
std::string BackupWords(const fs::path& backup)
{
    const std::string text = ReadText(backup);
    const std::size_t at = text.find("\r\nWords=");
    std::string bytes;
    for (std::size_t i = at == std::string::npos ? text.size() : at + 8; i + 1 < text.size() && text[i] != '\r'; i += 2)
        bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return bytes;
}

const char* const kDeviceSection =
    "[Device]\n"
    "Type=0x62\n"
    "SerialNumber=0001.0001.001\n"
    "Manufacturing=04.03.24\n"
    "LastUpdate=04.03.24\n";

// How the program reaches the simulated converter: the simulator's own D2XX library, or our
// libftdi1 provider through Debian's libftdi1 onto the simulated USB bus.
struct LinkPath {
    std::string name;
    std::map<std::string, std::string> env;
    std::string providerVersion; // as --version prints it
};

std::vector<LinkPath> LinkPaths()
{
    std::vector<LinkPath> paths;
#ifdef KESTRUNE_SIM_LIBRARY
    paths.push_back({"D2xxFace", {{"KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY}}, "1.04.24"});
#endif
#if defined(KESTRUNE_FTDI_PROVIDER) && defined(KESTRUNE_USBSIM_DIR)
    paths.push_back({"LibftdiOverUsbFace",
                     {{"KESTRUNE_D2XX", KESTRUNE_FTDI_PROVIDER}, {"LD_LIBRARY_PATH", KESTRUNE_USBSIM_DIR}},
                     "1.05.00"});
#endif
    return paths;
}

// Test names say the path; the parameter itself need not be printed.
void PrintTo(const LinkPath& path, std::ostream* out)
{
    *out << path.name;
}

class CliFixture : public ::testing::Test {
protected:
    void Start(const LinkPath& path)
    {
#if !defined(KESTRUNE_CLI) || !defined(KESTRUNE_SIM_LIBRARY)
        (void)path;
        GTEST_SKIP() << "kestrune-cli or the simulator library is not built";
#else
        path_ = path;
        dir_ = temp_.Path();
        for (const char* sub : {"state", "c", "tmp", "config", "data"}) fs::create_directories(dir_ / sub);
        sim_ = BaseSimulator(dir_ / "state");
        WriteSimulator(dir_ / "sim.ini", sim_);
        env_ = {
            {"KESTRUNE_SIM", (dir_ / "sim.ini").string()},
            {"KESTRUNE_PROFILE", (dir_ / "kestrune.ini").string()},
            {"KESTRUNE_REGISTRY", (dir_ / "registry.reg").string()},
            {"KESTRUNE_DRIVE_C", (dir_ / "c").string()},
            {"XDG_CONFIG_HOME", (dir_ / "config").string()},
            {"XDG_DATA_HOME", (dir_ / "data").string()},
            {"TMPDIR", (dir_ / "tmp").string()},
            {"TZ", "UTC"},
        };
        for (const auto& [key, value] : path.env) env_[key] = value;
#endif
    }


    static void WriteSimulator(const fs::path& file, const Ini& ini)
    {
        std::string text;
        for (const auto& [section, keys] : ini) {
            text += "[" + section + "]\n";
            for (const auto& [key, value] : keys) text += key + "=" + value + "\n";
        }
        WriteText(file, text);
    }

    // Changes keys of this test's simulated display before the next run.
    void Simulate(const std::string& section, const std::string& key, const std::string& value)
    {
        sim_[section][key] = value;
        WriteSimulator(dir_ / "sim.ini", sim_);
    }

    ProcessResult Run(const std::vector<std::string>& args, ProcessOptions options = {})
    {
#ifdef KESTRUNE_CLI
        for (const auto& [key, value] : env_) options.env.emplace(key, value);
        return clitest::RunProcess(KESTRUNE_CLI, args, options);
#else
        (void)args;
        (void)options;
        return {};
#endif
    }

    fs::path Log() const { return dir_ / "c" / "LOG" / "fertigung.log"; }

    LinkPath path_;
    TempDir temp_;
    fs::path dir_;
    Ini sim_;
    std::map<std::string, std::string> env_;
};

// Commands whose path to the converter does not matter: the simulator's D2XX library.
class Cli : public CliFixture {
protected:
    void SetUp() override { Start(LinkPaths().front()); }
};

// Every device command, once over each path.
class CliPath : public CliFixture, public ::testing::WithParamInterface<LinkPath> {
protected:
    void SetUp() override { Start(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Paths, CliPath, ::testing::ValuesIn(LinkPaths()),
                         [](const ::testing::TestParamInfo<LinkPath>& info) { return info.param.name; });

TEST_F(Cli, HelpVersionAndUsageErrors)
{
    ProcessResult help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("kestrune-cli [--yes] [--simulate] [--device SPEC] [--json] [-q|-v] [--dry-run] COMMAND [ARGUMENTS]\n"), std::string::npos);
    EXPECT_NE(help.out.find("  port-test [PORT]              identity test over a serial port\n"),
              std::string::npos);

    ProcessResult usage = Run({"flash", "--family", "7", "heron-100.hex"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.out, "");
    EXPECT_EQ(usage.err, "kestrune-cli: --family needs a number from 0 to 4\nTry 'kestrune-cli --help'.\n");
    EXPECT_EQ(Run({}).status, 2);
    EXPECT_EQ(Run({"eeprom", "program", "Colour=red"}).status, 2);

    // Output nobody could read is no success.
    ProcessOptions closed;
    closed.closedOutput = true;
    for (const char* option : {"--help", "--version"}) {
        ProcessResult lost = Run({option}, closed);
        EXPECT_EQ(lost.status, 1) << option;
        EXPECT_EQ(lost.err, "kestrune-cli: cannot write to standard output\n") << option;
    }

    // The programs installed beside it answer both as well.
#if defined(KESTRUNE_SAMPLE_FIRMWARE) && defined(KESTRUNE_SIM_PTY)
    const std::pair<const char*, const char*> programs[] = {
        {KESTRUNE_SAMPLE_FIRMWARE, " [--size BYTES] [FILE]\n"}, // FILE is optional
        {KESTRUNE_SIM_PTY, "  --version "},
    };
    for (const auto& [program, helpLine] : programs) {
        ProcessResult programHelp = clitest::RunProcess(program, {"--help"}, {});
        EXPECT_EQ(programHelp.status, 0) << program << programHelp.err;
        EXPECT_NE(programHelp.out.find(helpLine), std::string::npos) << program << programHelp.out;
        ProcessResult programVersion = clitest::RunProcess(program, {"--version"}, {});
        EXPECT_EQ(programVersion.status, 0) << program;
        EXPECT_EQ(programVersion.out.substr(programVersion.out.find(' ')), " 3.04\n") << program;
    }
#endif
}

TEST_P(CliPath, VersionNamesTheProvider)
{
    ProcessResult version = Run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "kestrune-cli 3.04\nD2XX provider: " + env_["KESTRUNE_D2XX"] + ", version " +
                               path_.providerVersion + "\n");
}

TEST_P(CliPath, EveryDeviceCommandReportsAMissingDisplay)
{
    Simulate("Converter", "Present", "0");
    WriteText(dir_ / "heron-100.hex", tools::IntelHexText(tools::SampleFirmwareData(64)));
    const std::vector<std::vector<std::string>> commands = {
        {"identify"},
        {"info"},
        {"flash", (dir_ / "heron-100.hex").string()},
        {"eeprom", "show"},
        {"--yes", "eeprom", "program", "VendorId=0x1234"},
        {"record", "show"},
        {"--yes", "record", "program", "Type=99"},
        {"settings", "save", (dir_ / "devinfo.bin").string()},
        {"serial", "next"},
    };
    for (const auto& args : commands) {
        ProcessResult run = Run(args);
        EXPECT_EQ(run.status, 3) << args.front();
        EXPECT_EQ(run.out, "") << args.front();
        EXPECT_EQ(run.err, kNoDevice) << args.front();
    }
    EXPECT_FALSE(fs::exists(dir_ / "devinfo.bin"));
}

TEST_P(CliPath, IdentifyPrintsTheReadyLine)
{
    ProcessResult run = Run({"identify"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kReady);
    EXPECT_EQ(run.err, "");

    // A display that never answers: the line the status view would show, and a failure.
    Simulate("Display", "Responds", "0");
    ProcessResult silent = Run({"identify"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.out.rfind("Kestrune is ready - DIC:0x62 - SN:0001.0001.001 - ", 0), 0u) << silent.out;
    EXPECT_EQ(silent.err, "Kestrune Error: Error waiting for 'id' message reply.\n");

    // A serial longer than the list's 15 characters: the converter is still found and opened.
    Simulate("Display", "Responds", "1");
    Simulate("Converter", "SerialNumber", "KS00000100000001");
    Simulate("Eeprom", "SerialNumber", "KS00000100000001");
    ProcessResult longSerial = Run({"identify"});
    EXPECT_EQ(longSerial.status, 0) << longSerial.err;
    EXPECT_EQ(longSerial.out, kReady);
}

TEST_P(CliPath, InfoPrintsTheDeviceInformation)
{
    ProcessResult run = Run({"info"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "Device Information\n\n"
              "Device Type (USB): 0x62\n"
              "SerialNumber: 0001.0001.001\n"
              "\nVendor ID: 0x0403\n"
              "Product ID: 0xf208\n"
              "Manufacturer: ZKM\n"
              "Manufacturer ID: ZK\n"
              "Description: Corvina Nova\n"
              "USB Serial Number: ZK000001\n\n"
              "Sending 'init' request to device...\n"
              "Sending the 'id' request to device...\n"
              "Device replied with device id 98 [0x62] (\"Nova\").\n");

    Simulate("Display", "Responds", "0");
    ProcessResult silent = Run({"info"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.out.find("Sending the 'id' request to device...\n"
                              "Error waiting for 'id' message reply.\n"),
              std::string::npos);

    Simulate("Display", "Responds", "1");
    Simulate("Eeprom", "ReadFails", "1");
    ProcessResult unreadable = Run({"info"});
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_EQ(unreadable.out, "Cannot read from USB EEPROM\n");
    EXPECT_EQ(unreadable.err, "Kestrune Error: Cannot read from USB EEPROM\n"); // at connect
}

TEST_P(CliPath, ShowPrintsTheSectionsOfASettingsFile)
{
    ProcessResult eeprom = Run({"eeprom", "show"});
    EXPECT_EQ(eeprom.status, 0) << eeprom.err;
    EXPECT_EQ(eeprom.out, kUsbSection);

    ProcessResult record = Run({"record", "show"});
    EXPECT_EQ(record.status, 0) << record.err;
    EXPECT_EQ(record.out, std::string(kDeviceSection) + "Checksum=ok\n");

    Simulate("UserArea", "BadChecksum", "1");
    ProcessResult bad = Run({"record", "show"});
    EXPECT_EQ(bad.status, 0);
    EXPECT_EQ(bad.out, std::string(kDeviceSection) + "Checksum=error\n");
    EXPECT_EQ(bad.err, ""); // the warning beeps are for a terminal, not for a script's log

    // Without a place for the section's text there is nothing to show: no empty success.
    ProcessOptions noTemp;
    noTemp.env["TMPDIR"] = (dir_ / "missing").string();
    for (const char* what : {"eeprom", "record"}) {
        ProcessResult failed = Run({what, "show"}, noTemp);
        EXPECT_EQ(failed.status, 1) << what;
        EXPECT_EQ(failed.out, "") << what;
        EXPECT_NE(failed.err.find("cannot write a temporary file"), std::string::npos) << failed.err;
    }
}

TEST_P(CliPath, EepromProgramWritesAndLogs)
{
    // The vendor stays FTDI's: a converter with another one is no longer listed by libftdi1.
    ProcessResult run = Run({"--yes", "eeprom", "program", "VendorId=x0403", "ProductId=0xF300",
                             "Description=Bench display 7", "SerialNumber=ZK000077"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, ""); // --yes answers without echoing the question

    // A second process reads what the first programmed.
    ProcessResult show = Run({"eeprom", "show"});
    EXPECT_NE(show.out.find("VendorId=0x0403\nProductId=0xf300\n"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("Description=Bench display 7\nSerialNumber=ZK000077\n"), std::string::npos);
    EXPECT_NE(show.out.find("Manufacturer=ZKM\n"), std::string::npos);
    EXPECT_NE(ReadText(Log()).find("*** USB data flashed\r\n***\r\n[USB]\r\nVendorId=0x0403\r\nProductId=0xf300\r\n"),
              std::string::npos);
}

TEST_P(CliPath, EepromProgramRefusesAndChangesNothing)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
        {{"VendorId=0X1234"}, "Kestrune Error: The Vendor ID must be a hexadecimal number, such as 0x0403.\n"},
        {{"Manufacturer=OK", "ProductId=-1"},
         "Kestrune Error: The Product ID must be a hexadecimal number, such as 0x0403.\n"},
        {{"Description=" + std::string(64, 'x')},
         "Kestrune Error: The Device Description must not be longer than 63 characters.\n"},
        {{"VendorId=0x1beef"},
         "Kestrune Error: The Vendor ID \"0x1beef\" is larger than 0xffff, the largest USB ID; nothing was programmed.\n"},
        {{"ProductId=10000"},
         "Kestrune Error: The Product ID \"10000\" is larger than 0xffff, the largest USB ID; nothing was programmed.\n"},
        {{"VendorId="}, "Kestrune Error: VendorId= needs a hexadecimal ID such as 0x0403; nothing was programmed.\n"},
        {{"Description=a\nb"},
         "Kestrune Error: The Device Description \"a\\nb\" holds a control character (a line break, a tab); "
         "nothing was programmed.\n"},
        {{"Manufacturer=Z\tK"},
         "Kestrune Error: The Manufacturer \"Z\\tK\" holds a control character (a line break, a tab); "
         "nothing was programmed.\n"},
        // No D2XX open by serial number would find the converter again.
        {{"SerialNumber=KS00000100000001"},
         "Kestrune Error: SerialNumber=KS00000100000001 is 16 characters long: a USB serial number may have "
         "at most 15, the longest the D2XX device list can name a converter by; nothing was programmed.\n"},
        // An ID of 0 takes the converter off the bus, however it is written.
        {{"VendorId=0x0000"},
         "Kestrune Error: The Vendor ID \"0x0000\" is 0x0000, which no driver finds; nothing was programmed.\n"},
        {{"ProductId=x"}, "Kestrune Error: The Product ID must be a hexadecimal number, such as 0x0403.\n"},
        {{"ProductId= "}, "Kestrune Error: The Product ID must be a hexadecimal number, such as 0x0403.\n"},
        {{"Description=Gr\xc3\xb6\xc3\x9f" "e \xe2\x82\xac"},
         "Kestrune Error: The Device Description \"Gr\xc3\xb6\xc3\x9f" "e \xe2\x82\xac\" holds a character "
         "other than printable ASCII; nothing was programmed.\n"},
    };
    for (const auto& [assignments, message] : refusals) {
        std::vector<std::string> args = {"--yes", "eeprom", "program"};
        args.insert(args.end(), assignments.begin(), assignments.end());
        ProcessResult run = Run(args);
        EXPECT_EQ(run.status, 1) << assignments.front();
        EXPECT_EQ(run.err, message);
    }

    // Without --yes and without a terminal the confirmation is refused.
    ProcessResult unconfirmed = Run({"eeprom", "program", "VendorId=0x1111"});
    EXPECT_EQ(unconfirmed.status, 1);
    EXPECT_EQ(unconfirmed.err, std::string(kConfirmLine) +
                                   "kestrune-cli: not confirmed: standard input is not a terminal "
                                   "(--yes answers OK)\n");

    // On a terminal the operator answers.
    ProcessOptions no;
    no.terminalInput = true;
    no.input = "n\n";
    EXPECT_EQ(Run({"eeprom", "program", "VendorId=0x2222"}, no).status, 1);

    // A settings file's ID that does not fit is refused as well, before anything is taken.
    WriteText(dir_ / "wide.bin", "[Device]\r\nType=0x63\r\n[USB]\r\nVendorId=0x1beef\r\n");
    ProcessResult wide = Run({"--yes", "settings", "load", (dir_ / "wide.bin").string(), "--program"});
    EXPECT_EQ(wide.status, 1);
    EXPECT_EQ(wide.err, "Kestrune: Unspecified error / VendorId=0x1beef: larger than 0xffff, the largest USB ID\n");
    WriteText(dir_ / "zero.bin", "[Device]\r\nType=0x63\r\n[USB]\r\nProductId=0x0000\r\n");
    ProcessResult zero = Run({"--yes", "settings", "load", (dir_ / "zero.bin").string(), "--program"});
    EXPECT_EQ(zero.status, 1);
    EXPECT_EQ(zero.err, "Kestrune: Unspecified error / ProductId=0x0000: 0x0000, which no driver finds\n");
    EXPECT_FALSE(fs::exists(Log()));

    Simulate("Eeprom", "ProgramFails", "1");
    ProcessResult failed = Run({"--yes", "eeprom", "program", "VendorId=0x3333"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "Kestrune Error: Canot write to USB EEPROM\n");
    // The failed attempt is logged as failed; the status was stored before it, as for every write.
    EXPECT_NE(ReadText(Log()).find("*** USB data NOT flashed: the write failed\r\n***\r\n[USB]\r\nVendorId=0x3333\r\n"),
              std::string::npos);
    EXPECT_EQ(ReadText(Log()).find("*** USB data flashed"), std::string::npos);
    EXPECT_NE(ReadText(dir_ / "kestrune.ini").find("[Device98Status]"), std::string::npos);

    Simulate("Eeprom", "ProgramFails", "0");
    EXPECT_EQ(Run({"eeprom", "show"}).out, kUsbSection);

    ProcessOptions yes;
    yes.terminalInput = true;
    yes.input = "y\n";
    ProcessResult confirmed = Run({"eeprom", "program", "ProductId=0x4444"}, yes);
    EXPECT_EQ(confirmed.status, 0) << confirmed.err;
    EXPECT_NE(Run({"eeprom", "show"}).out.find("ProductId=0x4444\n"), std::string::npos);
}

TEST_P(CliPath, EepromOfEachChipType)
{
    // The latest backup the writes took.
    auto lastBackup = [this] {
        std::istringstream list(Run({"eeprom", "backups"}).out);
        std::string line, last;
        while (std::getline(list, line)) last = line;
        return last.empty() ? std::string() : last.substr(last.rfind('\t') + 1);
    };
    const fs::path state = dir_ / "state" / "eeprom.bin";
    for (const char* chip : {"9", "5", "0"}) {
        SCOPED_TRACE(std::string("chip type ") + chip);
        fs::remove_all(dir_ / "data");
        fs::remove_all(dir_ / "state");
        fs::create_directories(dir_ / "state");
        Simulate("Converter", "ChipType", chip);
        ProcessResult show = Run({"eeprom", "show"});
        EXPECT_EQ(Run({"record", "show"}).out, std::string(kDeviceSection) + "Checksum=ok\n");
        const std::string image = ReadText(state);
        // As long as the old description, so the user area stays where it was on every chip.
        ProcessResult program = Run({"--yes", "eeprom", "program", "Description=Bench unit 7"});
        ProcessResult save = Run({"settings", "save", (dir_ / "chip.bin").string()});
        if (std::string(chip) == "5") {
            // An FT232R's configuration is no structure the program holds: named, never written
            // or saved from zeros. Its record, backups and restores work as on the others.
            const std::string unheld =
                "its chip (FT232R, chip type 5) keeps a USB configuration this program does not read or program";
            EXPECT_NE(show.err.find("Ooops Unknown Device found! / Device ID: 0x05"), std::string::npos) << show.err;
            EXPECT_NE(show.err.find("the USB EEPROM is not shown: " + unheld), std::string::npos) << show.err;
            EXPECT_EQ(show.status, 1);
            EXPECT_EQ(show.out, "");
            EXPECT_EQ(program.status, 1);
            EXPECT_NE(program.err.find("the USB EEPROM was not programmed: " + unheld), std::string::npos)
                << program.err;
            EXPECT_EQ(save.status, 1);
            EXPECT_NE(save.err.find("the USB EEPROM (" + unheld), std::string::npos) << save.err;
            EXPECT_FALSE(fs::exists(dir_ / "chip.bin"));
            WriteText(dir_ / "full.bin", "[Device]\r\nType=0x63\r\n");
            ProcessResult load = Run({"--yes", "settings", "load", (dir_ / "full.bin").string(), "--program"});
            EXPECT_EQ(load.status, 1);
            EXPECT_NE(load.err.find("nothing was programmed: " + unheld), std::string::npos) << load.err;
            EXPECT_EQ(ReadText(state), image);

            ProcessResult record = Run({"--yes", "record", "program", "Type=0x5f"});
            EXPECT_EQ(record.status, 0) << record.err;
            EXPECT_EQ(Run({"record", "show"}).out.rfind("[Device]\nType=0x5f\n", 0), 0u);
            const std::string backup = lastBackup();
            ASSERT_FALSE(backup.empty());
            fs::copy_file(backup, dir_ / "chip5.ini", fs::copy_options::overwrite_existing);
            ProcessResult restore = Run({"--yes", "eeprom", "restore", backup});
            EXPECT_EQ(restore.status, 0) << restore.err;
            EXPECT_EQ(ReadText(state), BackupWords(backup));
            EXPECT_EQ(Run({"record", "show"}).out, std::string(kDeviceSection) + "Checksum=ok\n");
            continue;
        }
        EXPECT_EQ(show.status, 0) << show.err;
        EXPECT_EQ(show.out, kUsbSection);
        EXPECT_EQ(program.status, 0) << program.err;
        std::string expected = kUsbSection;
        expected.replace(expected.find("Corvina Nova"), 12, "Bench unit 7");
        EXPECT_EQ(Run({"eeprom", "show"}).out, expected);
        EXPECT_EQ(Run({"record", "show"}).out, std::string(kDeviceSection) + "Checksum=ok\n");
        EXPECT_EQ(save.status, 0) << save.err;
        fs::remove(dir_ / "chip.bin");

        // The backup the write took gives the chip back as it was.
        ProcessResult restore = Run({"--yes", "eeprom", "restore", lastBackup()});
        EXPECT_EQ(restore.status, 0) << restore.err;
        EXPECT_EQ(Run({"eeprom", "show"}).out, kUsbSection);

        // Another chip type's words, of the same count, would lay this chip out wrong.
        if (std::string(chip) == "0") {
            const std::string before = ReadText(state);
            ProcessResult foreign = Run({"--yes", "eeprom", "restore", (dir_ / "chip5.ini").string()});
            EXPECT_EQ(foreign.status, 1);
            EXPECT_NE(foreign.err.find("the backup is of chip type 5, the converter is of chip type 0"),
                      std::string::npos)
                << foreign.err;
            EXPECT_EQ(ReadText(state), before);
        }

        // A chip programmed elsewhere with characters beyond ASCII shows them as they are.
        fs::remove_all(dir_ / "state");
        fs::create_directories(dir_ / "state");
        Simulate("Eeprom", "Description", "Gr\xfc\xdf" "e");
        EXPECT_NE(Run({"eeprom", "show"}).out.find("Description=Gr\xc3\xbc\xc3\x9f" "e\n"), std::string::npos);
        Simulate("Eeprom", "Description", "Corvina Nova");

        // Strings beyond the chip's room are refused naming the limit before anything is
        // written, by a dry run as well, and a settings file's record is not written first.
        fs::remove_all(dir_ / "state");
        fs::create_directories(dir_ / "state");
        const std::string roomMessage =
            std::string("Manufacturer, Description and SerialNumber hold 71 characters together: the ") +
            (std::string(chip) == "9" ? "X series chip holds at most 44" : "FT232BM chip holds at most 37") +
            "; nothing was programmed.";
        ASSERT_EQ(Run({"settings", "save", (dir_ / "wide.bin").string()}).status, 0);
        std::string wideFile = ReadText(dir_ / "wide.bin");
        wideFile.replace(wideFile.find("Corvina Nova"), 12, std::string(60, 'D'));
        wideFile.replace(wideFile.find("0001.0001.001"), 13, "0042.0000.001");
        WriteText(dir_ / "wide.bin", wideFile);
        const std::string beforeWide = ReadText(state);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"--yes", "eeprom", "program", "Description=" + std::string(60, 'D')},
              {"--yes", "--dry-run", "eeprom", "program", "Description=" + std::string(60, 'D')},
              {"--yes", "settings", "load", (dir_ / "wide.bin").string(), "--program"},
              {"--yes", "--dry-run", "settings", "load", (dir_ / "wide.bin").string(), "--program"}}) {
            ProcessResult wide = Run(args);
            EXPECT_EQ(wide.status, 1) << args[2];
            EXPECT_NE(wide.err.find(roomMessage), std::string::npos) << wide.err;
            EXPECT_EQ(ReadText(state), beforeWide) << args[2];
        }
        EXPECT_EQ(Run({"record", "show"}).out, std::string(kDeviceSection) + "Checksum=ok\n");

        // A serial longer than the device list's buffer, as another tool wrote it: shown and
        // saved whole, and kept whole when another field is programmed.
        const std::string longSerial = "KS00000100000001";
        Simulate("Converter", "SerialNumber", longSerial);
        Simulate("Eeprom", "SerialNumber", longSerial);
        fs::remove_all(dir_ / "state");
        fs::create_directories(dir_ / "state");
        EXPECT_NE(Run({"eeprom", "show"}).out.find("SerialNumber=" + longSerial + "\n"), std::string::npos);
        ASSERT_EQ(Run({"settings", "save", (dir_ / "long.bin").string()}).status, 0);
        EXPECT_NE(ReadText(dir_ / "long.bin").find("SerialNumber=" + longSerial + "\r\n"), std::string::npos);
        ProcessResult kept = Run({"--yes", "eeprom", "program", "Description=Bench 9"});
        EXPECT_EQ(kept.status, 0) << kept.err;
        EXPECT_NE(Run({"eeprom", "show"}).out.find("Description=Bench 9\nSerialNumber=" + longSerial + "\n"),
                  std::string::npos);
        Simulate("Converter", "SerialNumber", "ZK000001");
        Simulate("Eeprom", "SerialNumber", "ZK000001");
    }
}

TEST_P(CliPath, ChipsOfAnotherLayoutAreNeverWritten)
{
    for (const char* chip : {"4", "6", "7", "8"}) {
        SCOPED_TRACE(std::string("chip type ") + chip);
        fs::remove_all(dir_ / "state");
        fs::create_directories(dir_ / "state");
        Simulate("Converter", "ChipType", chip);
        const std::string record = Run({"record", "show"}).out;
        const std::string image = ReadText(dir_ / "state" / "eeprom.bin");
        ProcessResult written = Run({"--yes", "record", "program", "Type=0x5f"});
        EXPECT_EQ(written.status, 1);
        EXPECT_NE(written.err.find("Nothing was written to the converter: its chip ("), std::string::npos)
            << written.err;
        EXPECT_NE(written.err.find(std::string(", chip type ") + chip + ") keeps its EEPROM in a layout"),
                  std::string::npos);
        EXPECT_EQ(Run({"--yes", "eeprom", "program", "Description=x"}).status, 1);
        EXPECT_EQ(Run({"record", "show"}).out, record);
        EXPECT_EQ(ReadText(dir_ / "state" / "eeprom.bin"), image);
    }
}

// A cable pulled at each word of a write in turn: what is left is never shown as valid settings,
// and the backup taken before the write gives the converter back.
TEST_P(CliPath, APullAtAnyWordIsNeverShownAsValidAndTheBackupMendsIt)
{
    std::string programmedUsb = kUsbSection;
    programmedUsb.replace(programmedUsb.find("0xf208"), 6, "0x1234");
    programmedUsb.replace(programmedUsb.find("Corvina Nova"), 12, "Bench unit 7");
    std::string shorterUsb = kUsbSection;
    shorterUsb.replace(shorterUsb.find("Corvina Nova"), 12, "Bench 7");
    struct Write {
        const char* chip;
        const char* section; // of the pull key
        std::vector<std::string> args;
        std::string programmedUsb;
    };
    // The description keeps its length, so the serial string and the record stay in place;
    // the shorter one moves the serial string, which the bus then lists half-written.
    const std::vector<Write> writes = {
        {"9", "Eeprom", {"--yes", "eeprom", "program", "Description=Bench unit 7", "ProductId=0x1234"}, programmedUsb},
        {"0", "Eeprom", {"--yes", "eeprom", "program", "Description=Bench unit 7", "ProductId=0x1234"}, programmedUsb},
        {"9", "Eeprom", {"--yes", "eeprom", "program", "Description=Bench 7"}, shorterUsb},
        {"9", "UserArea", {"--yes", "record", "program", "Type=0x5f", "SerialNumber=0077.0001.002"}, kUsbSection},
        {"0", "UserArea", {"--yes", "record", "program", "Type=0x5f", "SerialNumber=0077.0001.002"}, kUsbSection},
        {"5", "UserArea", {"--yes", "record", "program", "Type=0x5f", "SerialNumber=0077.0001.002"}, kUsbSection},
    };
    const std::string programmedRecord =
        "[Device]\nType=0x5f\nSerialNumber=0077.0001.002\nManufacturing=04.03.24\nLastUpdate=04.03.24\n"
        "Checksum=ok\n";
    auto backupLines = [this] {
        std::istringstream list(Run({"eeprom", "backups"}).out);
        std::vector<std::string> lines;
        for (std::string line; std::getline(list, line);) lines.push_back(line);
        return lines;
    };
    bool partialTried = false, damagedTried = false, cutTried = false;
    for (const Write& w : writes) {
        Simulate("Converter", "ChipType", w.chip);
        // An FT232R's configuration is not shown at all; its words must come back whole.
        const bool shown = std::string(w.chip) != "5";
        for (int word = 1;; ++word) {
            SCOPED_TRACE(std::string("chip type ") + w.chip + ", " + w.args[1] + " " + w.args[3] +
                         " pulled at word " + std::to_string(word));
            fs::remove_all(dir_ / "state");
            fs::remove_all(dir_ / "data");
            fs::create_directories(dir_ / "state");
            fs::create_directories(dir_ / "data");
            Simulate(w.section, "PullCableAtWord", std::to_string(word));
            const ProcessResult write = Run(w.args);
            Simulate(w.section, "PullCableAtWord", "0");
            if (write.status == 0)
                break; // the write has fewer words than that
            ASSERT_LT(word, 128) << write.err;

            const ProcessResult usb = Run({"eeprom", "show"});
            if (usb.status == 0) {
                EXPECT_TRUE(usb.out == kUsbSection || usb.out == w.programmedUsb) << usb.out;
            } else {
                EXPECT_NE(usb.err.find(shown ? "the USB EEPROM's checksum is wrong" : "the USB EEPROM is not shown"),
                          std::string::npos)
                    << usb.err;
            }
            const ProcessResult record = Run({"record", "show"});
            if (record.status == 0 && record.out.find("Checksum=ok") != std::string::npos) {
                EXPECT_TRUE(record.out == std::string(kDeviceSection) + "Checksum=ok\n" ||
                            record.out == programmedRecord)
                    << record.out;
            }
            if (usb.status != 0 && shown && !partialTried) {
                partialTried = true;
                // The fields of an unread part are not made up from what is left.
                const ProcessResult partial = Run({"--yes", "eeprom", "program", "Description=x"});
                EXPECT_EQ(partial.status, 1);
                EXPECT_NE(partial.err.find("the USB EEPROM could not be read, so nothing was written"),
                          std::string::npos)
                    << partial.err;
                // The refusal took no backup: the one before the pulled write stays alone.
                EXPECT_EQ(backupLines().size(), 1u);
            }
            if (usb.status == 0 && shown && record.out.find("Checksum=error") != std::string::npos && !damagedTried) {
                damagedTried = true;
                // A backup taken of the damaged record is marked, and its restore warns first.
                ASSERT_EQ(Run({"--yes", "eeprom", "program", "Description=Bench 9"}).status, 0);
                const std::vector<std::string> lines = backupLines();
                ASSERT_EQ(lines.size(), 2u);
                const std::string mark = "\trecord checksum error";
                EXPECT_EQ(lines[0].find(mark), std::string::npos) << lines[0];
                ASSERT_TRUE(lines[1].ends_with(mark)) << lines[1];
                const std::string taken = lines[1].substr(0, lines[1].size() - mark.size());
                const std::string damaged = taken.substr(taken.rfind('\t') + 1);
                EXPECT_NE(Run({"--json", "eeprom", "backups"}).out.find("\"recordChecksum\":\"error\""),
                          std::string::npos);
                const ProcessResult back = Run({"--yes", "eeprom", "restore", damaged});
                EXPECT_EQ(back.status, 0) << back.err;
                EXPECT_NE(back.err.find("its identification record fails its own checksum"), std::string::npos)
                    << back.err;
                EXPECT_EQ(ReadText(dir_ / "state" / "eeprom.bin"), BackupWords(damaged));
            }

            std::istringstream list(Run({"eeprom", "backups"}).out);
            std::string first;
            std::getline(list, first);
            ASSERT_NE(first.find('\t'), std::string::npos) << "no backup before the write";
            const std::string backup = first.substr(first.rfind('\t') + 1);
            const ProcessResult restore = Run({"--yes", "eeprom", "restore", backup});
            EXPECT_EQ(restore.status, 0) << restore.err;
            EXPECT_EQ(ReadText(dir_ / "state" / "eeprom.bin"), BackupWords(backup));
            if (shown) {
                EXPECT_EQ(Run({"eeprom", "show"}).out, kUsbSection);
            }
            EXPECT_EQ(Run({"record", "show"}).out, std::string(kDeviceSection) + "Checksum=ok\n");
            if (usb.status != 0 && shown && !cutTried) {
                cutTried = true;
                // The restore backed up the cut image too: filed by location, not under the serial
                // the bus listed, and refused as a source with the true reason.
                const std::vector<std::string> after = backupLines();
                ASSERT_EQ(after.size(), 2u);
                EXPECT_EQ(after[1].rfind("unreadable-", 0), 0u) << after[1];
                const std::string cut = after[1].substr(after[1].rfind('\t') + 1);
                const std::string mended = ReadText(dir_ / "state" / "eeprom.bin");
                const ProcessResult again = Run({"--yes", "eeprom", "restore", cut});
                EXPECT_EQ(again.status, 1);
                EXPECT_NE(again.err.find("it was taken from an EEPROM whose words fail the chip's checksum"),
                          std::string::npos)
                    << again.err;
                EXPECT_EQ(ReadText(dir_ / "state" / "eeprom.bin"), mended);
            }
        }
    }
}

TEST_P(CliPath, RecordProgramWritesAndLogs)
{
    ProcessResult run = Run({"--yes", "record", "program", "Type=0x5f", "SerialNumber=12.3456.789",
                             "Manufacturing=04.03.15", "LastUpdate=06.05.16"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, ""); // --yes answers without echoing the question
    ProcessResult show = Run({"record", "show"});
    EXPECT_EQ(show.out,
              "[Device]\nType=0x5f\nSerialNumber=0012.3456.789\nManufacturing=04.03.15\n"
              "LastUpdate=06.05.16\nChecksum=ok\n");
    EXPECT_NE(ReadText(Log()).find("*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x5f\r\n"
                                   "SerialNumber=0012.3456.789\r\n"),
              std::string::npos);
    // The device status from which the next serial number is made.
    EXPECT_NE(ReadText(dir_ / "kestrune.ini").find("SerialNumber=0012.3456.789"), std::string::npos);
}

// A stop signal during a write waits for the write, its read-back and its log record, then
// ends the process as that signal would have.
TEST_P(CliPath, StopSignalsWaitForAnEepromOrRecordWrite)
{
    // One program call on the D2XX face, a word at a time on the USB face.
    Simulate("Eeprom", "WriteDelayMs", GetParam().name == std::string("D2xxFace") ? "2000" : "100");
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> show;
        std::string stored;
        std::string logged;
    } cases[] = {
        {{"--yes", "eeprom", "program", "ProductId=0xF301", "Description=Stopped bench 3"},
         {"eeprom", "show"},
         "ProductId=0xf301\n",
         "*** USB data flashed\r\n***\r\n[USB]\r\nVendorId=0x0403\r\nProductId=0xf301\r\n"},
        {{"--yes", "record", "program", "Type=0x5e", "SerialNumber=12.3456.780"},
         {"record", "show"},
         "Type=0x5e\nSerialNumber=0012.3456.780\n",
         "*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x5e\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[2]);
        ProcessOptions options;
        // Late enough to find the write under way, not only its preparation.
        options.signals = {{kConfirmLine, SIGTERM, 500}};
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "-v"); // echoes the answered question the signal waits for
        ProcessResult run = Run(args, options);
        EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
        ProcessResult show = Run(c.show);
        EXPECT_NE(show.out.find(c.stored), std::string::npos) << show.out;
        EXPECT_NE(ReadText(Log()).find(c.logged), std::string::npos) << ReadText(Log());
    }
}

TEST_P(CliPath, RecordProgramRefusesAndChangesNothing)
{
    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"Type=256", "Kestrune Error: The device identification code must be a number from 0 to 255.\n"},
        {"Type=nova", "Kestrune Error: Type must be a decimal or 0x hexadecimal number such as 98 or 0x62.\n"},
        {"SerialNumber=10000.1.1", "Kestrune: Please enter no more than 4 characters.\n"},
        {"SerialNumber=1..1", "Kestrune Error: Each group of the serial number must begin with a digit.\n"},
        {"Manufacturing=31.02.15",
         "Kestrune Error: Manufacturing=31.02.15: Date is out of range. (DD.MM.YY, from 01.01.00 to 31.12.37)\n"},
    };
    for (const auto& [assignment, message] : refusals) {
        ProcessResult run = Run({"--yes", "record", "program", "LastUpdate=01.01.25", assignment});
        EXPECT_EQ(run.status, 1) << assignment;
        EXPECT_EQ(run.err, message);
    }
    EXPECT_EQ(Run({"--yes", "record", "program", "Serial=1"}).status, 2);
    EXPECT_EQ(Run({"record", "program", "Type=99"}).status, 1); // not confirmed

    Simulate("UserArea", "WriteFails", "1");
    ProcessResult failed = Run({"--yes", "record", "program", "Type=99"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "Kestrune Error: Canot write to USB EEPROM\n");

    Simulate("UserArea", "WriteFails", "0");
    EXPECT_EQ(Run({"record", "show"}).out, std::string(kDeviceSection) + "Checksum=ok\n");
    // The attempt is history, told as it happened; its number was taken before it and stays used.
    EXPECT_NE(ReadText(Log()).find("*** Device data to user area NOT flashed: the write failed\r\n***\r\n"
                                   "[Device]\r\nType=0x63\r\n"),
              std::string::npos);
    EXPECT_NE(ReadText(dir_ / "kestrune.ini").find("[Device99Status]"), std::string::npos);
}

TEST_P(CliPath, NothingIsWrittenThatWasNotRead)
{
    const fs::path file = dir_ / "devinfo.bin";
    ASSERT_EQ(Run({"settings", "save", file.string()}).status, 0);
    const std::string saved = ReadText(file);
    ASSERT_EQ(Run({"--yes", "record", "program", "LastUpdate=04.03.24"}).status, 0);
    fs::remove(Log());
    const auto backups = [this] { return Run({"eeprom", "backups"}).out; };
    const std::string list = backups();
    ASSERT_EQ(std::count(list.begin(), list.end(), '\n'), 1) << list;
    const std::string backup = list.substr(list.rfind('\t') + 1, list.size() - list.rfind('\t') - 2);
    const std::string unread = "Kestrune Error: Cannot read from USB EEPROM\n";
    const fs::path copy = dir_ / "copy.bin";

    // An EEPROM that stalls: nothing is shown, saved or programmed from its zeros.
    Simulate("Eeprom", "ReadFails", "1");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"eeprom", "show"},
             {"--yes", "eeprom", "program", "Manufacturer=X"},
             {"--yes", "eeprom", "program", "VendorId=0x0403", "ProductId=0xf208", "Manufacturer=ZKM",
              "ManufacturerId=ZK", "SerialNumber=ZK000001", "Description=Corvina Nova"},
             {"--yes", "serial", "next", "--program"},
             {"settings", "save", file.string()},
             {"settings", "save", copy.string()},
             {"--yes", "eeprom", "restore", backup},
             {"--yes", "unit"}}) {
        ProcessResult run = Run(args);
        EXPECT_EQ(run.status, 1) << args[1];
        EXPECT_EQ(run.out.find("VendorId"), std::string::npos) << run.out;
        EXPECT_EQ(run.err.rfind(unread, 0), 0u) << run.err;
        if (args[0] == "settings") {
            EXPECT_NE(run.err.find("the USB EEPROM could not be read from the converter; " + args[2] +
                                   " was not written."),
                      std::string::npos)
                << run.err;
        }
    }
    EXPECT_EQ(ReadText(file), saved);
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_EQ(backups(), list);
    // A settings file that holds every USB setting needs nothing from the converter.
    WriteText(dir_ / "partial.bin", "[USB]\r\nVendorId=0x0403\r\nProductId=0xf208\r\n");
    EXPECT_EQ(Run({"--yes", "settings", "load", (dir_ / "partial.bin").string(), "--program"}).status, 1);
    EXPECT_FALSE(fs::exists(Log()));
    // Even a file with every key is not written without a backup of what the converter holds.
    EXPECT_EQ(Run({"--yes", "settings", "load", file.string(), "--program"}).status, 1);

    Simulate("Eeprom", "ReadFails", "0");
    EXPECT_EQ(Run({"eeprom", "show"}).out, kUsbSection);

    Simulate("UserArea", "ReadFails", "1");
    fs::remove(Log());
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"record", "show"},
             {"--yes", "record", "program", "SerialNumber=0009.0009.009"},
             {"serial", "next"},
             {"--yes", "serial", "next", "--program"},
             {"settings", "save", copy.string()}}) {
        ProcessResult run = Run(args);
        EXPECT_EQ(run.status, 1) << args[1];
        EXPECT_EQ(run.out, "") << args[1];
    }
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_FALSE(fs::exists(Log()));
    EXPECT_EQ(Run({"--yes", "record", "program", "Type=0x62", "SerialNumber=0009.0009.009",
                   "Manufacturing=01.02.24", "LastUpdate=01.02.24"})
                  .status,
              1);
    Simulate("UserArea", "ReadFails", "0");
    EXPECT_EQ(Run({"record", "show"}).out, std::string(kDeviceSection) + "Checksum=ok\n");
}

TEST_F(Cli, ExitStatusFourWhenTheHistoryIsNotStored)
{
    // The log's folder cannot be made: a file stands where it should be.
    WriteText(dir_ / "c" / "blocker", "");
    WriteText(dir_ / "kestrune.ini", "[Settings]\r\nLOG=C:\\blocker\\fertigung.log\r\n");
    ProcessResult noLog = Run({"--yes", "eeprom", "program", "Description=Logged nowhere"});
    EXPECT_EQ(noLog.status, 4) << noLog.err;
    EXPECT_NE(noLog.err.find("The production record could not be added to the log file"), std::string::npos);
    EXPECT_NE(Run({"eeprom", "show"}).out.find("Description=Logged nowhere\n"), std::string::npos);
    // The status was stored: the number after it follows on.
    EXPECT_NE(ReadText(dir_ / "kestrune.ini").find("[Device98Status]"), std::string::npos);

    // The profile store cannot be written (nor read): its folder is a file.
    ProcessOptions noStatus;
    noStatus.env["KESTRUNE_PROFILE"] = (dir_ / "c" / "blocker" / "kestrune.ini").string();
    // A record whose status cannot be stored first is not written: its number could come again.
    ProcessResult status = Run({"--yes", "record", "program", "SerialNumber=0077.0001.001"}, noStatus);
    EXPECT_EQ(status.status, 1) << status.err;
    EXPECT_NE(status.err.find("The device status could not be stored in \"" + noStatus.env["KESTRUNE_PROFILE"] +
                              "\". / Nothing was written to the display"),
              std::string::npos)
        << status.err;
    EXPECT_EQ(ReadText(Log()).find("SerialNumber=0077.0001.001\r\n"), std::string::npos);

    // A store that is there but cannot be read would restart the numbering: no number at all.
    ProcessResult serial = Run({"--yes", "serial", "next", "--program"}, noStatus);
    EXPECT_EQ(serial.status, 1);
    EXPECT_NE(serial.err.find("No serial number was generated"), std::string::npos) << serial.err;
    fs::create_directories(dir_ / "store-folder");
    noStatus.env["KESTRUNE_PROFILE"] = (dir_ / "store-folder").string();
    EXPECT_EQ(Run({"serial", "next"}, noStatus).status, 1);
    EXPECT_NE(Run({"record", "show"}).out.find("SerialNumber=0001.0001.001\n"), std::string::npos);
}

TEST_P(CliPath, SettingsCopyOneDisplayToAnother)
{
    const fs::path file = dir_ / "devinfo.bin";
    ProcessResult save = Run({"settings", "save", file.string()});
    EXPECT_EQ(save.status, 0) << save.err;
    EXPECT_EQ(save.out, "Settings saved to file.\n");
    EXPECT_EQ(ReadText(file).rfind("[Device]\r\nType=0x62\r\nSerialNumber=0001.0001.001\r\n", 0), 0u);
    const std::string recordA = Run({"record", "show"}).out;
    const std::string usbA = Run({"eeprom", "show"}).out;

    // A second display with another record and other USB settings.
    fs::create_directories(dir_ / "state-b");
    Ini second = BaseSimulator(dir_ / "state-b");
    second["Converter"]["SerialNumber"] = "ZK000555";
    second["Eeprom"]["ProductId"] = "0x6001";
    second["Eeprom"]["Description"] = "Another one";
    second["Eeprom"]["SerialNumber"] = "ZK000555";
    second["UserArea"]["DeviceCode"] = "100";
    second["UserArea"]["SerialNumber"] = "0555.0002.003";
    second["UserArea"]["Manufacturing"] = "2019-11-30";
    WriteSimulator(dir_ / "sim-b.ini", second);
    env_["KESTRUNE_SIM"] = (dir_ / "sim-b.ini").string();
    ASSERT_NE(Run({"record", "show"}).out, recordA);

    ProcessResult load = Run({"--yes", "settings", "load", file.string(), "--program"});
    EXPECT_EQ(load.status, 0) << load.err;
    EXPECT_EQ(load.out, "Settings loaded into memory.\n");
    EXPECT_EQ(load.err, "");
    EXPECT_EQ(Run({"record", "show"}).out, recordA);
    EXPECT_EQ(Run({"eeprom", "show"}).out, usbA);
    const std::string log = ReadText(Log());
    EXPECT_NE(log.find("*** Device data to user area flashed"), std::string::npos);
    EXPECT_NE(log.find("*** USB data flashed"), std::string::npos);
}

TEST_P(CliPath, SettingsFailures)
{
    const std::string nothing = (dir_ / "nothing.bin").string();
    ProcessResult missing = Run({"--yes", "settings", "load", nothing, "--program"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Kestrune Error: Cannot load data from file / " + nothing + ": no such file\n");
    EXPECT_EQ(Run({"record", "show"}).out, std::string(kDeviceSection) + "Checksum=ok\n");

    const std::string inNoFolder = (dir_ / "no" / "such" / "folder.bin").string();
    ProcessResult unwritable = Run({"settings", "save", inNoFolder});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.out, "");
    EXPECT_EQ(unwritable.err, "Kestrune Error: Cannot save EEPROM data to file / " + inNoFolder +
                                  ": the folder does not exist\n");

    // A date outside the accepted ranges stops the load as the desktop's command dispatch does.
    WriteText(dir_ / "bad.bin", "[Device]\r\nType=0x62\r\nManufacturing=01.13.15\r\n");
    ProcessResult bad = Run({"--yes", "settings", "load", (dir_ / "bad.bin").string(), "--program"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "Kestrune: Unspecified error / Manufacturing=01.13.15: not a date DD.MM.YY\n");

    // Random bytes hold no section: nothing is loaded, so nothing is programmed.
    std::string random(2048, '\0');
    for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>((i * 131 + 7) % 256);
    WriteText(dir_ / "random.bin", random);
    ProcessResult noise = Run({"--yes", "settings", "load", (dir_ / "random.bin").string(), "--program"});
    EXPECT_EQ(noise.status, 1);
    EXPECT_EQ(noise.err, "Kestrune Error: Cannot load data from file / " + (dir_ / "random.bin").string() +
                             ": no [Device] and no [USB] section; not a settings file\n");

    // Loading alone only checks the file: nothing reaches the display.
    WriteText(dir_ / "other.bin", "[Device]\r\nType=0x63\r\n");
    ProcessResult load = Run({"settings", "load", (dir_ / "other.bin").string()});
    EXPECT_EQ(load.status, 0);
    EXPECT_EQ(load.out, "Settings loaded into memory.\n");
    EXPECT_EQ(load.err.rfind("kestrune-cli: " + (dir_ / "other.bin").string() +
                                 ": missing keys take their defaults: [Device] SerialNumber, "
                                 "[Device] Manufacturing, [Device] LastUpdate, [USB] VendorId, ",
                             0),
              0u)
        << load.err;
    EXPECT_EQ(Run({"record", "show"}).out, std::string(kDeviceSection) + "Checksum=ok\n");
}

// A file as Notepad's "Unicode" saves it: its values reach the display, and saving over it keeps
// it UTF-16 with each section once.
TEST_F(Cli, Utf16SettingsFileIsProgrammedAndSavedBackAsUtf16)
{
    const std::string text = "[Device]\r\nType=0x64\r\nSerialNumber=0555.0002.003\r\nManufacturing=30.11.19\r\n"
                             "LastUpdate=01.12.19\r\n" +
                             std::regex_replace(kUsbSection, std::regex("\n"), "\r\n");
    const std::string another = std::regex_replace(text, std::regex("Corvina Nova"), "Another one");
    const fs::path file = dir_ / "unicode.bin";
    WriteText(file, Utf16(another));

    ProcessResult load = Run({"--yes", "settings", "load", file.string(), "--program"});
    EXPECT_EQ(load.status, 0) << load.err;
    EXPECT_EQ(load.out, "Settings loaded into memory.\n");
    EXPECT_EQ(load.err, "");
    EXPECT_EQ(Run({"record", "show"}).out, "[Device]\nType=0x64\nSerialNumber=0555.0002.003\n"
                                           "Manufacturing=30.11.19\nLastUpdate=01.12.19\nChecksum=ok\n");
    EXPECT_NE(Run({"eeprom", "show"}).out.find("Description=Another one\n"), std::string::npos);

    WriteText(file, Utf16("; station 4\r\n[Device]\r\nType=0x01\r\n"));
    ProcessResult save = Run({"settings", "save", file.string()});
    EXPECT_EQ(save.status, 0) << save.err;
    EXPECT_EQ(ReadText(file), Utf16("; station 4\r\n" + another));

    // A chip holding characters beyond ASCII, as a Windows station programs them, loses none:
    // shown in UTF-8, kept by a UTF-16 file and, as Windows-1252, by an 8-bit one.
    fs::remove_all(dir_ / "state");
    fs::create_directories(dir_ / "state");
    Simulate("Eeprom", "Description", "Gr\xfc\xdf" "e");
    EXPECT_NE(Run({"eeprom", "show"}).out.find("Description=Gr\xc3\xbc\xc3\x9f" "e\n"), std::string::npos);
    WriteText(file, Utf16("[Device]\r\n"));
    ASSERT_EQ(Run({"settings", "save", file.string()}).status, 0);
    EXPECT_NE(ReadText(file).find(Utf16("Description=Gr\xfc\xdf" "e\r\n").substr(2)), std::string::npos);
    const fs::path ansi = dir_ / "ansi.bin";
    ASSERT_EQ(Run({"settings", "save", ansi.string()}).status, 0);
    EXPECT_NE(ReadText(ansi).find("Description=Gr\xfc\xdf" "e\r\n"), std::string::npos);
    // Nor is such a file written back to a converter: writes take printable ASCII.
    EXPECT_EQ(Run({"--yes", "settings", "load", ansi.string(), "--program"}).status, 1);

    // U+0080 to U+009F are controls, and Windows-1252 has other characters there.
    fs::remove_all(dir_ / "state");
    fs::create_directories(dir_ / "state");
    Simulate("Eeprom", "Description", "A\x85" "B");
    ProcessResult control = Run({"settings", "save", (dir_ / "c1.bin").string()});
    EXPECT_EQ(control.status, 1);
    EXPECT_NE(control.err.find("[USB] Description holds U+0085, which a settings file cannot keep"),
              std::string::npos)
        << control.err;
    EXPECT_FALSE(fs::exists(dir_ / "c1.bin"));
}

// Saves killed at random moments, as a station losing power would: each leaves the whole old
// file or the whole new one.
TEST_F(Cli, AKilledSaveLeavesTheOldFileOrTheNew)
{
#ifdef KESTRUNE_CLI
    const std::string old = "; bench 3\r\n[Device]\r\nType=0x5f\r\nSerialNumber=0012.3456.789\r\n"
                            "Manufacturing=04.03.15\r\nLastUpdate=06.05.16\r\n[USB]\r\nVendorId=0x0403\r\n"
                            "ProductId=0x6001\r\nDescription=Old one\r\n";
    const fs::path file = dir_ / "devinfo.bin";
    WriteText(file, old);
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(Run({"settings", "save", file.string()}).status, 0);
    const auto once = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - before);
    const std::string saved = ReadText(file);
    ASSERT_NE(saved, old);
    ASSERT_EQ(saved.rfind("; bench 3\r\n[Device]\r\nType=0x62\r\n", 0), 0u);

    std::mt19937 random(4711);
    int oldFiles = 0, newFiles = 0;
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; ++round) {
        WriteText(file, old);
        const int pid = clitest::StartProcess(KESTRUNE_CLI, {"settings", "save", file.string()}, env_);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % static_cast<unsigned>(once.count() + 1)));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        const std::string now = ReadText(file);
        ASSERT_TRUE(now == old || now == saved) << "round " << round << ":\n" << now;
        (now == old ? oldFiles : newFiles)++;
    }
    std::printf("killed saves: %d, old file left: %d, new file: %d\n", kRounds, oldFiles, newFiles);
    EXPECT_GT(oldFiles, 0);
    EXPECT_GT(newFiles, 0);
#endif
}

// Whatever file the program reads, a device, a FIFO or a folder in its place is refused at once.
TEST_F(Cli, FilesThatAreNoRegularFilesAreRefusedAtOnce)
{
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = (dir_ / "folder").string();
    fs::create_directory(folder);
    struct Reader {
        const char* variable; // nullptr: the settings file of "settings load"
        int status;
        std::string message;  // before the path
    };
    const Reader readers[] = {
        {nullptr, 1, "Kestrune Error: Cannot load data from file / "},
        {"KESTRUNE_PROFILE", 1, "kestrune-cli: profile store "},
        {"KESTRUNE_REGISTRY", 1, "kestrune-cli: registry file "},
        {"KESTRUNE_SIM", 3, "kestrune-sim: KESTRUNE_SIM="},
    };
    for (const std::string& path : {std::string("/dev/zero"), fifo, folder}) {
        for (const Reader& reader : readers) {
            const std::string what = (reader.variable ? reader.variable : "settings") + std::string(" ") + path;
            ProcessOptions options;
            options.timeoutSeconds = 10;
            std::vector<std::string> args{"identify"};
            if (reader.variable)
                options.env[reader.variable] = path;
            else
                args = {"--yes", "settings", "load", path, "--program"};
            const auto start = std::chrono::steady_clock::now();
            ProcessResult run = Run(args, options);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << what;
            EXPECT_EQ(run.status, reader.status) << what;
            EXPECT_EQ(run.out, "") << what;
            EXPECT_EQ(run.err.rfind(reader.message + path + ": not a regular file\n", 0), 0u) << what << ": " << run.err;
        }
    }
}

// Another user's link, named like our log or a settings file in a folder everybody may write
// to, must not make us write where it points. The link is made by an unprivileged user.
TEST_F(Cli, LinksOfOtherUsersInSharedFoldersAreNotFollowed)
{
    if (::geteuid() != 0) GTEST_SKIP() << "a second user's link needs root to be made";
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const fs::path shared = dir_ / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all); // writable by all, without the sticky bit
    const fs::path victim = dir_ / "victim.txt";
    WriteText(victim, "keep\n");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        for (const char* name : {"fertigung.log", "devinfo.bin"})
            if (::symlink(victim.c_str(), (shared / name).c_str()) != 0) ::_exit(1);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second user could not make the links";

    const std::string log = (shared / "fertigung.log").string();
    WriteText(dir_ / "kestrune.ini", "[Settings]\r\nLOG=" + log + "\r\n");
    ProcessResult logged = Run({"--yes", "eeprom", "program", "Description=Linked"});
    EXPECT_EQ(logged.status, 4) << logged.err; // the display was written; the log was not
    EXPECT_NE(logged.err.find("\"" + log + "\". / It is a symbolic link of another user in a folder others can "
                              "write to; it was not followed."),
              std::string::npos)
        << logged.err;

    // Readers refuse it as the writers do: the history would be another user's choice.
    WriteText(victim, "\r\n***\r\n*** [Sun Dec  6 10:14:04 2026] USER \"FORGED\" on COMPUTER \"X\"\r\n"
                      "*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x62\r\n"
                      "SerialNumber=0001.0001.001\r\n");
    ProcessResult history = Run({"history"});
    EXPECT_NE(history.status, 0);
    EXPECT_EQ(history.out.find("FORGED"), std::string::npos) << history.out;
    EXPECT_NE(history.err.find("a symbolic link of another user"), std::string::npos) << history.err;
    ProcessResult doctor = Run({"doctor"});
    EXPECT_NE(doctor.out.find("the log is NOT usable (" + log + ": a symbolic link of another user"),
              std::string::npos)
        << doctor.out;
    WriteText(victim, "keep\n");

    // A unit stops before anything is written that could not be logged.
    const std::string record = Run({"record", "show"}).out;
    ProcessResult unit = Run({"--yes", "unit", "--serial", "next"});
    EXPECT_EQ(unit.status, 1) << unit.err;
    EXPECT_NE(unit.err.find("the production log " + log + " cannot be written (" + log +
                            ": a symbolic link of another user in a folder others can write to; not followed)"),
              std::string::npos)
        << unit.err;
    EXPECT_EQ(Run({"record", "show"}).out, record);

    const std::string settings = (shared / "devinfo.bin").string();
    ProcessResult saved = Run({"settings", "save", settings});
    EXPECT_EQ(saved.status, 1);
    EXPECT_EQ(saved.err, "Kestrune Error: Cannot save EEPROM data to file / " + settings +
                             ": a symbolic link of another user in a folder others can write to; not followed\n");
    EXPECT_EQ(ReadText(victim), "keep\n");
    WriteText(victim, "[USB]\r\nDescription=Victim\r\n");
    ProcessResult loaded = Run({"--yes", "settings", "load", settings, "--program"});
    EXPECT_EQ(loaded.status, 1);
    EXPECT_NE(loaded.err.find(settings + ": a symbolic link of another user in a folder others can write to; "
                                         "not followed"),
              std::string::npos)
        << loaded.err;
    EXPECT_EQ(Run({"eeprom", "show"}).out.find("Victim"), std::string::npos);
    WriteText(victim, "keep\n");

    // Our own link in the same folder is followed, and so is the folder owner's.
    const fs::path own = shared / "own.bin";
    fs::create_symlink(victim, own);
    EXPECT_EQ(Run({"settings", "save", own.string()}).status, 0);
    EXPECT_NE(ReadText(victim).find("[Device]\r\nType=0x62\r\n"), std::string::npos);
    EXPECT_TRUE(fs::is_symlink(own));
    const fs::path ownLog = shared / "own.log";
    fs::create_symlink(dir_ / "target.log", ownLog);
    WriteText(dir_ / "kestrune.ini", "[Settings]\r\nLOG=" + ownLog.string() + "\r\n");
    ProcessResult followed = Run({"--yes", "eeprom", "program", "Description=Linked"});
    EXPECT_EQ(followed.status, 0) << followed.err;
    EXPECT_FALSE(ReadText(dir_ / "target.log").empty());
    EXPECT_TRUE(fs::is_symlink(ownLog));
    ASSERT_EQ(::chown(shared.c_str(), 65534, 65534), 0);
    WriteText(victim, "");
    EXPECT_EQ(Run({"settings", "save", settings}).status, 0);
    EXPECT_NE(ReadText(victim).find("[Device]\r\nType=0x62\r\n"), std::string::npos);
}

TEST_F(Cli, LinksOfOtherUsersReachNoFileThroughTheSerialStoreOrALinkedFolder)
{
    if (::geteuid() != 0) GTEST_SKIP() << "a second user's link needs root to be made";
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const fs::path secret = dir_ / "secret.ini", elsewhere = dir_ / "private", made = dir_ / "made-by-root";
    WriteText(secret, "[Serials]\r\nDevice98=5000\r\n");
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directory(elsewhere);
    for (const fs::perms mode : {fs::perms::all, fs::perms::all | fs::perms::sticky_bit}) {
        const fs::path shared = dir_ / (mode == fs::perms::all ? "shared" : "sticky");
        fs::create_directory(shared);
        fs::permissions(shared, mode);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
            const bool planted = ::symlink(made.c_str(), (shared / "store.ini.lock").c_str()) == 0 &&
                                 ::symlink(secret.c_str(), (shared / "store.ini").c_str()) == 0 &&
                                 ::symlink(elsewhere.c_str(), (shared / "sub").c_str()) == 0;
            ::_exit(planted ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second user could not make the links";

        WriteText(dir_ / "kestrune.ini", "[Settings]\r\nSerialStore=" + (shared / "store.ini").string() +
                                             "\r\nLOG=" + (shared / "sub" / "fertigung.log").string() + "\r\n");
        ProcessResult lock = Run({"serial", "next"});
        EXPECT_EQ(lock.status, 1) << shared;
        EXPECT_NE(lock.err.find("store.ini.lock is a symbolic link; it was not followed"), std::string::npos) << lock.err;
        EXPECT_FALSE(fs::exists(made)) << shared;
        fs::remove(shared / "store.ini.lock");
        ProcessResult store = Run({"serial", "next"});
        EXPECT_EQ(store.status, 1) << shared;
        EXPECT_NE(store.err.find("store.ini is a symbolic link; it was not followed"), std::string::npos) << store.err;
        EXPECT_EQ(ReadText(secret), "[Serials]\r\nDevice98=5000\r\n");

        ProcessResult logged = Run({"--yes", "eeprom", "program", "Description=Linked"});
        EXPECT_EQ(logged.status, 4) << logged.err;
        EXPECT_NE(logged.err.find("It is a symbolic link of another user"), std::string::npos) << logged.err;
        EXPECT_FALSE(fs::exists(elsewhere / "fertigung.log")) << shared;
    }
}

TEST_P(CliPath, SerialNextFollowsTheLastDeviceOfTheModel)
{
    WriteText(dir_ / "kestrune.ini", "[Status]\r\nDevice=Device98Status\r\n[Device98Status]\r\n"
                                     "SerialNumber=0041.0001.001\r\n");
    // A converter named by other letters: chips read the manufacturer ID back from the serial.
    Simulate("Converter", "SerialNumber", "KS000061");
    Simulate("Eeprom", "SerialNumber", "KS000061");
    Simulate("Eeprom", "ManufacturerId", "KS");
    ProcessResult next = Run({"serial", "next"});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(next.out, "Serial Number generated: 0042.0001.001\n");
    EXPECT_EQ(Run({"record", "show"}).out, std::string(kDeviceSection) + "Checksum=ok\n");

    // A number shown is taken: the next command gets the one after it.
    ProcessResult program = Run({"--yes", "serial", "next", "--program"});
    EXPECT_EQ(program.status, 0) << program.err;
    EXPECT_EQ(program.out, "Serial Number generated: 0043.0001.001\n");
    EXPECT_NE(Run({"record", "show"}).out.find("SerialNumber=0043.0001.001\n"), std::string::npos);
    EXPECT_NE(Run({"eeprom", "show"}).out.find("ManufacturerId=ZK\nDescription=Corvina Nova\nSerialNumber=ZK000043\n"), std::string::npos);

    // One refused leaves a gap, never a number given twice.
    ProcessResult unconfirmed = Run({"serial", "next", "--program"});
    EXPECT_EQ(unconfirmed.status, 1);
    EXPECT_NE(Run({"record", "show"}).out.find("SerialNumber=0043.0001.001\n"), std::string::npos);
    EXPECT_EQ(Run({"serial", "next"}).out, "Serial Number generated: 0045.0001.001\n");
}

TEST_P(CliPath, FlashWritesTheFileIntoTheFlash)
{
    const std::vector<std::uint8_t> data = tools::SampleFirmwareData(4096);
    const fs::path file = dir_ / "heron-100.hex";
    WriteText(file, tools::IntelHexText(data));
    ProcessResult run = Run({"flash", file.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Firmware successfully updated.\n");
    EXPECT_NE(run.err.find("Please reset the device to start the firmware update procedure\n"), std::string::npos);
    EXPECT_NE(run.err.find("Erasing flash memory, please wait...C8051F120 Firmware Updater: \n"),
              std::string::npos);
    EXPECT_NE(run.err.find("Updating flash memory: 50 %\n"), std::string::npos);
    EXPECT_NE(run.err.find("Kestrune is ready\n"), std::string::npos);
    const std::string flash = ReadText(dir_ / "state" / "flash.bin");
    EXPECT_EQ(flash, std::string(data.begin(), data.end()));
    // The log stays as it was, unless the station asks for firmware records.
    EXPECT_FALSE(fs::exists(Log()));
    WriteText(dir_ / "kestrune.ini", "[Settings]\r\nLogFirmware=1\r\n");
    ASSERT_EQ(Run({"flash", file.string()}).status, 0);
    EXPECT_TRUE(std::regex_match(
        ReadText(Log()),
        std::regex("\r\n\\*\\*\\*\r\n\\*\\*\\* \\[[^\\]]+\\] USER \"[^\"]*\" on COMPUTER \"[^\"]*\"\r\n"
                   "\\*\\*\\* Firmware updated\r\n\\*\\*\\*\r\n\\[Firmware\\]\r\nType=0x62\r\n"
                   "SerialNumber=0001\\.0001\\.001\r\nFile=heron-100\\.hex\r\nSize=" +
                   std::to_string(fs::file_size(file)) + "\r\nSHA256=[0-9a-f]{64}\r\nFamily=4\r\nResult=0\r\n")))
        << ReadText(Log());
}

TEST_P(CliPath, FlashEachFamilyAndAPulledCable)
{
    const std::vector<std::uint8_t> data = tools::SampleFirmwareData(2048);
    const struct {
        const char* file;
        const char* family;
    } runs[] = {{"KV-100.hex", "0"}, {"heron-100.hex", "4"}};
    for (const auto& r : runs) {
        SCOPED_TRACE(r.family);
        fs::remove(dir_ / "state" / "flash.bin");
        const fs::path file = dir_ / r.file;
        WriteText(file, tools::IntelHexText(data));
        ProcessResult run = Run({"flash", "--family", r.family, file.string()});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "Firmware successfully updated.\n");
        EXPECT_EQ(ReadText(dir_ / "state" / "flash.bin"), std::string(data.begin(), data.end()));
    }

    // A reader gone away (| head) fails the run's report, never the flash itself.
    for (const bool errorClosed : {false, true}) {
        SCOPED_TRACE(errorClosed ? "standard error closed" : "standard output closed");
        fs::remove(dir_ / "state" / "flash.bin");
        ProcessOptions closed;
        closed.closedOutput = !errorClosed;
        closed.closedError = errorClosed;
        ProcessResult lost = Run({"flash", (dir_ / "heron-100.hex").string()}, closed);
        EXPECT_EQ(lost.status, 1);
        EXPECT_EQ(ReadText(dir_ / "state" / "flash.bin"), std::string(data.begin(), data.end()));
    }

    Simulate("BootLoader", "PullCableAtRecord", "5");
    ProcessResult pulled = Run({"flash", (dir_ / "heron-100.hex").string()});
    EXPECT_NE(pulled.status, 0);
    EXPECT_EQ(pulled.out, "Error writing flash. (-3).\n");
}

TEST_P(CliPath, ABusyOrForbiddenConverterIsExplained)
{
    const struct {
        const char* key;
        const char* sentence;
    } faults[] = {
        {"Busy", "Another program is using the display's USB converter: close that program, then try again.\n"},
        {"AccessDenied", "You have no permission to use the display's USB converter: install the udev rule "
                         "60-kestrune.rules, then plug the display in again.\n"},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.key);
        Simulate("Converter", f.key, "1");
        ProcessResult run = Run({"identify"});
        EXPECT_EQ(run.status, 3);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, std::string(kNoDevice) + f.sentence);

        ProcessResult doctor = Run({"doctor"});
        EXPECT_EQ(doctor.status, 1);
        EXPECT_NE(doctor.out.find("Converters found: 1\n"), std::string::npos) << doctor.out;
        EXPECT_NE(doctor.out.find(std::string("  this user may open it: no - ") + f.sentence), std::string::npos)
            << doctor.out;
        Simulate("Converter", f.key, "0");
    }
}

// A bench with a debug cable among the displays: a command uses the converter it names; with
// none named, reads take the first listed and no write reaches any of them.
TEST_P(CliPath, SeveralConvertersAreChosenByNameAndNeverWrittenUnnamed)
{
    // The adapter first, and between the displays.
    for (int adapterAt : {1, 2}) {
        SCOPED_TRACE(adapterAt);
        fs::remove_all(dir_ / "state");
        fs::create_directories(dir_ / "state");
        fs::remove(Log());
        sim_ = BaseSimulator(dir_ / "state");
        const std::string a = adapterAt == 1 ? "" : "." + std::to_string(adapterAt);
        const std::string d = adapterAt == 1 ? ".2" : "";
        sim_["Converter" + a] = {{"SerialNumber", "FT9XQ1"}};
        sim_["Eeprom" + a] = {{"ProductId", "0x6001"}, {"Description", "USB Serial"}, {"SerialNumber", "FT9XQ1"}};
        sim_["UserArea" + a] = {{"Erased", "1"}};
        sim_["Display" + a] = {{"Responds", "0"}};
        sim_["Converter" + d] = {{"SerialNumber", "ZK000001"}};
        sim_["Eeprom" + d] = BaseSimulator(dir_)["Eeprom"];
        sim_["UserArea" + d] = BaseSimulator(dir_)["UserArea"];
        sim_["Display" + d] = {{"Revision", "1.00"}};
        sim_["Converter.3"] = {{"SerialNumber", "ZK000002"}};
        sim_["UserArea.3"] = {{"DeviceCode", "95"}};
        WriteSimulator(dir_ / "sim.ini", sim_);
        const std::string adapterPort = "location:1-" + std::to_string(adapterAt);
        const ProcessResult adapterBefore = Run({"--device", adapterPort, "eeprom", "show"});
        EXPECT_NE(adapterBefore.out.find("Description=USB Serial\n"), std::string::npos) << adapterBefore.out;

        for (const std::vector<std::string>& write :
             {std::vector<std::string>{"--yes", "eeprom", "program", "ProductId=0xF209"},
              {"--yes", "record", "program", "Type=95"},
              {"--yes", "settings", "load", "x.ini", "--program"},
              {"--yes", "serial", "next", "--program"},
              {"--yes", "unit"},
              {"--yes", "flash", "x.hex"},
              {"--yes", "eeprom", "program", "ProductId=0xF209", "--dry-run"}}) {
            SCOPED_TRACE(write[1]);
            const ProcessResult refused = Run(write);
            EXPECT_EQ(refused.status, 2);
            EXPECT_EQ(refused.err,
                      "kestrune-cli: Several converters are attached; name one with --device (see kestrune-cli "
                      "doctor).\n");
        }
        EXPECT_FALSE(fs::exists(Log()));
        EXPECT_EQ(Run({"--device", adapterPort, "eeprom", "show"}).out, adapterBefore.out);

        // Reads use the first listed.
        const ProcessResult first = Run({"identify"});
        EXPECT_NE(first.out.find(adapterAt == 1 ? " - Converter serial:FT9XQ1\n" : " - Converter serial:ZK000001\n"),
                  std::string::npos)
            << first.out;

        const std::string displayIndex = adapterAt == 1 ? "index:1" : "index:0";
        for (const std::string& name : {std::string("serial:ZK000001"), displayIndex,
                                        "location:1-" + std::to_string(adapterAt == 1 ? 2 : 1)}) {
            SCOPED_TRACE(name);
            const ProcessResult named = Run({"--device", name, "identify"});
            EXPECT_EQ(named.status, 0) << named.err;
            EXPECT_EQ(named.out, std::string(kReady).insert(std::strlen(kReady) - 1, " - Converter serial:ZK000001"));
        }
        ProcessOptions byName;
        byName.env["KESTRUNE_DEVICE"] = "serial:ZK000002";
        const ProcessResult byVariable = Run({"--yes", "record", "program", "Type=94"}, byName);
        EXPECT_EQ(byVariable.status, 0) << byVariable.err;
        EXPECT_NE(Run({"--device", "serial:ZK000002", "record", "show"}).out.find("Type=0x5e"), std::string::npos);
        EXPECT_NE(Run({"--device", "serial:ZK000001", "record", "show"}).out.find("Type=0x62"), std::string::npos);

        const ProcessResult none = Run({"--device", "serial:ZK000009", "identify"});
        EXPECT_EQ(none.status, 3);
        EXPECT_EQ(none.err, std::string(kNoDevice) + "No converter attached matches --device serial:ZK000009.\n");
        EXPECT_EQ(Run({"--device", "port:3", "identify"}).status, 2);
    }

    // Two converters listing one serial (blank or cloned parts): a location or index opens that
    // converter, never the other; the serial alone names neither.
    fs::remove_all(dir_ / "state");
    fs::create_directories(dir_ / "state");
    sim_ = BaseSimulator(dir_ / "state");
    sim_["Converter"]["SerialNumber"] = "ZK000005";
    sim_["Eeprom"]["SerialNumber"] = "ZK000005";
    sim_["Converter.2"] = {{"SerialNumber", "ZK000005"}};
    sim_["Eeprom.2"] = BaseSimulator(dir_)["Eeprom"];
    sim_["Eeprom.2"]["SerialNumber"] = "ZK000005";
    sim_["Eeprom.2"]["Description"] = "Second";
    WriteSimulator(dir_ / "sim.ini", sim_);
    for (const std::string& second : {std::string("index:1"), std::string("location:1-2")}) {
        SCOPED_TRACE(second);
        EXPECT_NE(Run({"--device", second, "eeprom", "show"}).out.find("Description=Second\n"), std::string::npos);
    }
    const ProcessResult meant = Run({"--yes", "--device", "location:1-2", "eeprom", "program", "Description=Meant"});
    EXPECT_EQ(meant.status, 0) << meant.err;
    EXPECT_NE(Run({"--device", "index:0", "eeprom", "show"}).out.find("Description=Corvina Nova\n"), std::string::npos);
    EXPECT_NE(Run({"--device", "index:1", "eeprom", "show"}).out.find("Description=Meant\n"), std::string::npos);
    const ProcessResult ambiguous = Run({"--device", "serial:ZK000005", "identify"});
    EXPECT_EQ(ambiguous.status, 3);
    EXPECT_EQ(ambiguous.err, std::string(kNoDevice) + "Several converters match --device serial:ZK000005; name one by "
                                                      "location: or index: (see kestrune-cli doctor).\n");
}

// A real converter takes one open at a time: the second process is told it is busy.
TEST_P(CliPath, AConverterHeldByAnotherProcessIsBusy)
{
#ifdef KESTRUNE_CLI
    Simulate("Eeprom", "WriteDelayMs", "3000");
    const int pid = clitest::StartProcess(KESTRUNE_CLI, {"--yes", "eeprom", "program", "ProductId=0xF209"}, env_);
    ASSERT_GT(pid, 0);
    // Until the first holds it (its lock is taken), then try.
    const std::string lock = (dir_ / "state" / "converter.lock").string();
    bool held = false;
    for (int i = 0; i < 400 && !held; ++i) {
        const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
            ::close(fd);
        }
        if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(held);
    const ProcessResult second = Run({"identify"});
    EXPECT_EQ(second.status, 3);
    EXPECT_EQ(second.err, std::string(kNoDevice) +
                              "Another program is using the display's USB converter: close that program, then try again.\n");
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Run({"identify"}).status, 0);
#endif
}

TEST_P(CliPath, DoctorLooksAndIdentifies)
{
    ProcessResult run = Run({"doctor"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = {
        "D2XX provider: " + env_["KESTRUNE_D2XX"] + ", version " + path_.providerVersion + "\n",
        "Converters found: 1\n",
        "Converter 1: USB ID 0403:f208, serial number \"ZK000001\", description \"Corvina Nova\", chip type 9 (X series)\n",
        "  this user may open it: yes\n  latency timer: 16 ms\n",
        "Profile store: " + (dir_ / "kestrune.ini").string() + " (does not exist)\n",
        "  folder " + dir_.string() + " is writable\n",
        "Production log: C:\\LOG\\fertigung.log (" + (dir_ / "c" / "LOG" / "fertigung.log").string() + ")\n",
        "Identify:\n" + std::string(kReady),
    };
    std::size_t at = 0;
    for (const std::string& line : lines) {
        const std::size_t found = run.out.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << "\nin\n" << run.out;
        if (found != std::string::npos) at = found + line.size();
    }
    // Read-only: the log's folder is only looked at.
    EXPECT_FALSE(fs::exists(dir_ / "c" / "LOG"));

    // A serial longer than the list holds: shown as the list gives it, and opened all the same.
    Simulate("Converter", "SerialNumber", "KS00000100000001");
    Simulate("Eeprom", "SerialNumber", "KS00000100000001");
    const ProcessResult longSerial = Run({"doctor"});
    EXPECT_EQ(longSerial.status, 0) << longSerial.out;
    EXPECT_NE(longSerial.out.find("serial number \"KS0000010000000\""), std::string::npos) << longSerial.out;
    EXPECT_NE(longSerial.out.find("  this user may open it: yes\n"), std::string::npos) << longSerial.out;

    Simulate("Display", "Responds", "0");
    EXPECT_EQ(Run({"doctor"}).status, 1);
    Simulate("Converter", "Present", "0");
    ProcessResult none = Run({"doctor"});
    EXPECT_EQ(none.status, 3);
    EXPECT_NE(none.out.find("Converters found: 0\n"), std::string::npos);
}

TEST_P(CliPath, FlashFailures)
{
    const fs::path wrongFamily = dir_ / "firmware.hex";
    WriteText(wrongFamily, tools::IntelHexText(tools::SampleFirmwareData(256)));
    ProcessResult refused = Run({"flash", wrongFamily.string()});
    EXPECT_EQ(refused.status, 1);
    // The system's reason for the refusal: a name that does not fit the family.
    EXPECT_EQ(refused.out, "Error loading firmware file. (123) \n");
    EXPECT_EQ(refused.err, wrongFamily.string() + ": the name does not fit family 4: it must begin with heron or pika\n");
    EXPECT_FALSE(fs::exists(dir_ / "state" / "flash.bin"));

    const fs::path file = dir_ / "nova-100.hex";
    WriteText(file, tools::IntelHexText(tools::SampleFirmwareData(256)));
    Simulate("BootLoader", "RefuseRecord", "3:S");
    ProcessResult bad = Run({"flash", "--family", "3", file.string()});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "Error writing flash. (83).\n");
    // The third line holds the refused record (the first is the extended address).
    EXPECT_NE(bad.err.find("kestrune-cli: the boot loader refused the record on line 3 of " +
                           file.string() + "\n"),
              std::string::npos)
        << bad.err;

    // A latency tick inside the erase reply: its tail is no answer to the load request. Over USB
    // the provider's reader gathers the tail at once, so only a missing load reply shows it (the
    // other face is covered without the 20 s wait, on a virtual clock).
    if (path_.name == "LibftdiOverUsbFace") {
        Simulate("BootLoader", "RefuseRecord", "");
        Simulate("BootLoader", "SplitReplyAt", "2");
        Simulate("BootLoader", "LoadReply", "0");
        ProcessResult split = Run({"flash", "--family", "3", file.string()});
        EXPECT_EQ(split.status, 1) << split.err;
        EXPECT_EQ(split.out, "Error writing flash. (-34).\n");
    }
}

TEST_F(Cli, SignalsDuringAFlashOnATerminal)
{
    // 64 records whose verdicts come late: the record loop lasts some seconds.
    const std::vector<std::uint8_t> data = tools::SampleFirmwareData(1024);
    const fs::path file = dir_ / "KV-slow.hex";
    WriteText(file, tools::IntelHexText(data));
    const fs::path heron = dir_ / "heron-slow.hex";
    WriteText(heron, tools::IntelHexText(data));
    Simulate("BootLoader", "VerdictDelayMs", "150");
    Simulate("BootLoader", "ResetAfterMs", "5000");
    WriteText(dir_ / "kestrune.ini", "[Settings]\r\nLogFirmware=1\r\n");
    const std::string bar = "Updating flash memory: [";
    const std::string warning = "The update is running; stopping now leaves the display with part of the new "
                                "firmware. Press Ctrl-C again to stop.";
    const std::string stopped = "Firmware update stopped; the display holds part of the new firmware: flash it again.";
    const std::string unchanged =
        "Firmware update stopped before the flash was erased; the display's firmware was not changed.";
    const std::string prompt = "Please reset the device";
    const struct {
        const char* what;
        std::vector<ProcessOptions::SignalAt> signals;
        int status;
        bool beforeErase;
    } cases[] = {
        {"one Ctrl-C only warns", {{bar, SIGINT}}, 0, false},
        {"a second Ctrl-C stops", {{bar, SIGINT}, {warning, SIGINT}}, 130, false},
        {"a closed terminal after SIGTERM stops", {{bar, SIGTERM}, {warning, SIGHUP}}, 130, false},
        // Nothing written yet: the first signal is enough.
        {"Ctrl-C at the reset prompt stops at once", {{prompt, SIGINT}}, 130, true},
        {"SIGTERM at the reset prompt stops at once", {{prompt, SIGTERM}}, 130, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(Log());
        fs::remove(dir_ / "state" / "flash.bin");
        ProcessOptions options;
        options.terminalColumns = 60;
        options.signals = c.signals;
        ProcessResult run = c.beforeErase ? Run({"flash", heron.string()}, options)
                                          : Run({"flash", "--family", "0", file.string()}, options);
        EXPECT_EQ(run.status, c.status) << run.err;
        const std::size_t warned = run.err.find(warning);
        const std::string log = ReadText(Log());
        if (c.beforeErase) {
            EXPECT_EQ(warned, std::string::npos) << run.err;
            EXPECT_EQ(run.err.find("Erasing"), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(unchanged), std::string::npos) << run.err;
            EXPECT_EQ(run.out, "");
            EXPECT_FALSE(fs::exists(dir_ / "state" / "flash.bin"));
            EXPECT_NE(log.find("Result=-4\r\n"), std::string::npos) << log;
            continue;
        }
        EXPECT_NE(warned, std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(warning, warned + 1), std::string::npos) << "one warning";
        if (c.status == 0) {
            EXPECT_EQ(run.out, "Firmware successfully updated.\n");
            EXPECT_NE(run.err.find("100 %"), std::string::npos) << "the bar ends full";
            EXPECT_EQ(ReadText(dir_ / "state" / "flash.bin"), std::string(data.begin(), data.end()));
            EXPECT_NE(log.find("Result=0\r\n"), std::string::npos) << log;
        } else {
            EXPECT_EQ(run.out, "");
            EXPECT_NE(run.err.find(stopped), std::string::npos) << run.err;
            EXPECT_NE(log.find("Result=-4\r\n"), std::string::npos) << log;
        }
        // Every redraw fits the 60 columns without reaching the last one.
        std::string piece;
        for (const char ch : run.err + "\r") {
            if (ch == '\r' || ch == '\n') {
                const std::size_t clear = piece.find("\x1b[K");
                if (clear != std::string::npos) piece.erase(clear, 3);
                if (piece.rfind("Updating", 0) == 0) {
                    EXPECT_LE(piece.size(), 59u) << piece;
                }
                piece.clear();
            } else {
                piece += ch;
            }
        }
    }
}

TEST_F(Cli, FirmwareThatCannotBeFlashedWholeNeverTouchesTheDisplay)
{
    const std::vector<std::uint8_t> data = tools::SampleFirmwareData(1024);
    const std::string good = tools::IntelHexText(data);
    const fs::path first = dir_ / "heron-100.hex";
    WriteText(first, good);
    ASSERT_EQ(Run({"flash", first.string()}).status, 0);
    const std::string flashed = ReadText(dir_ / "state" / "flash.bin");
    ASSERT_EQ(flashed, std::string(data.begin(), data.end()));

    const fs::path fifo = dir_ / "heron-fifo.hex";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path huge = dir_ / "heron-zeros.hex";
    WriteText(huge, "");
    fs::resize_file(huge, 200u * 1000 * 1000);
    const std::size_t cut = good.find(":00000001FF");
    struct Case {
        const char* name;
        std::string text; // none: made above
        std::string out;
        std::string err;
    } cases[] = {
        {"heron-cut.hex", good.substr(0, cut - 10), "Error loading firmware file. (11) \n", ":65: byte count 0x10 does not match"},
        {"heron-noend.hex", good.substr(0, cut), "Error loading firmware file. (1392) \n", ": no end-of-file record\n"},
        {"heron-text.hex", "Release notes\nfor heron 1.00\n", "Error loading firmware file. (13) \n", ": no data record\n"},
        {"heron-line.hex", ":" + std::string(99999, '0'), "Error loading firmware file. (11) \n", ":1: longer than 254 characters\n"},
        {"heron-sum.hex", good.substr(0, cut - 4) + "00\r\n:00000001FF\r\n", "Error loading firmware file. (11) \n",
         ":65: checksum 0x00, the record needs"},
        {"heron-zeros.hex", "", "Error loading firmware file. (223) \n", ": the file is larger than 16 MiB\n"},
        {"heron-fifo.hex", "", "Error loading firmware file. (5) \n", ": it is not a regular file, or it cannot be read\n"},
    };
    for (const Case& c : cases) {
        const fs::path file = dir_ / c.name;
        if (!c.text.empty()) WriteText(file, c.text);
        ProcessOptions quick;
        quick.timeoutSeconds = 20;
        ProcessResult run = Run({"flash", file.string()}, quick);
        EXPECT_EQ(run.status, 1) << c.name;
        EXPECT_EQ(run.out, c.out) << c.name;
        if (!c.err.empty()) {
            EXPECT_NE(run.err.find(file.string() + c.err), std::string::npos) << run.err;
        }
        EXPECT_EQ(run.err.find("Please reset"), std::string::npos) << c.name;
        EXPECT_EQ(ReadText(dir_ / "state" / "flash.bin"), flashed) << c.name;
    }

    // The last record without its line end is sent with one and answered at once.
    std::vector<std::uint8_t> other = tools::SampleFirmwareData(512);
    other[0] ^= 0xFF;
    std::string text = tools::IntelHexText(other);
    text.resize(text.size() - 2);
    WriteText(dir_ / "heron-2.hex", text);
    ProcessResult noEnd = Run({"flash", (dir_ / "heron-2.hex").string()});
    EXPECT_EQ(noEnd.status, 0) << noEnd.err;
    EXPECT_EQ(ReadText(dir_ / "state" / "flash.bin"), std::string(other.begin(), other.end()));

    // A boot loader that falls silent is no success, after the 20 s it had to answer.
    Simulate("BootLoader", "SilentFromRecord", "10");
    ProcessResult silent = Run({"flash", first.string()});
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.out, "Error writing flash. (-3).\n");
}

TEST_F(Cli, SimulateUsesTheDefaultDisplayInTheDataFolder)
{
    env_.erase("KESTRUNE_D2XX");
    ProcessOptions options;
    options.env["KESTRUNE_SIM"] = "";
    ProcessResult run = Run({"--simulate", "identify"}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kReady);
    EXPECT_TRUE(fs::exists(dir_ / "data" / "kestrune" / "simulator" / "simulator.ini"));

    // A fresh account: every folder the run makes on the way to its data is private.
    const fs::path home = dir_ / "fresh";
    fs::create_directories(home);
    options.env["HOME"] = home.string();
    options.env["XDG_DATA_HOME"] = "";
    ASSERT_EQ(Run({"--simulate", "identify"}, options).status, 0);
    for (const fs::path& folder : {home / ".local", home / ".local" / "share", home / ".local" / "share" / "kestrune",
                                   home / ".local" / "share" / "kestrune" / "simulator"}) {
        struct stat info {};
        ASSERT_EQ(::stat(folder.c_str(), &info), 0) << folder;
        EXPECT_EQ(info.st_mode & 07777, 0700u) << folder;
    }
}

TEST_F(Cli, PortTestOverAPseudoTerminal)
{
#ifndef KESTRUNE_SIM_PTY
    GTEST_SKIP() << "the pseudo-terminal display is not built";
#else
    clitest::BackgroundProcess display(KESTRUNE_SIM_PTY, {}, env_);
    const std::string slave = display.FirstLine();
    ASSERT_EQ(slave.rfind("/dev/", 0), 0u) << slave;
    WriteText(dir_ / "kestrune.ini", "[Ports]\r\nCOM1=" + slave + "\r\nCOM7=" + (dir_ / "no-tty").string() + "\r\n");

    ProcessResult run = Run({"port-test"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "Sending 'init' request to device...\n"
              "Sending the 'id' request to device...\n"
              "Device replied with device id 98 [0x62] (\"Nova\").\n");

    // -v: the port's requests and answers, timed, on standard error only.
    ProcessResult verbose = Run({"-v", "port-test"});
    EXPECT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_EQ(verbose.out, run.out);
    for (const char* request : {"Serial_OpenPort -> 1 \\(", "Serial_WriteBuffer -> 1 \\(.*\\) \\d+ bytes:( [0-9a-f]{2})+\n",
                                "Serial_ReadBuffer -> [1-9]\\d* \\(.*\\) \\d+ bytes:( [0-9a-f]{2})+\n"})
        EXPECT_TRUE(std::regex_search(verbose.err, std::regex(std::string("kestrune-cli: request ") + request)))
            << request << "\n" << verbose.err;

    ProcessResult closed = Run({"port-test", "COM7:"});
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.out, "");
    EXPECT_EQ(closed.err, "Kestrune Error: Error initializing COM port.\n");
    EXPECT_NE(Run({"-v", "port-test", "COM7:"}).err.find("kestrune-cli: request Serial_OpenPort -> 0 ("),
              std::string::npos);
#endif
}

// A restore writes every word the backup holds and checks them all, or writes nothing.
TEST_P(CliPath, RestoreIsByteForByteOrNothing)
{
    // The latest backup of a converter after two writes: it holds what the first one left.
    auto latest = [this](const std::string& converter) {
        std::istringstream list(Run({"eeprom", "backups"}).out);
        fs::path found;
        for (std::string line; std::getline(list, line);)
            if (line.rfind(converter + "\t", 0) == 0) found = line.substr(line.rfind('\t') + 1);
        return found;
    };
    const fs::path state = dir_ / "state" / "eeprom.bin";
    ASSERT_EQ(Run({"--yes", "record", "program", "LastUpdate=05.03.24"}).status, 0);
    const std::string good = ReadText(state);
    ASSERT_GT(good.size(), 0xF0u);
    const std::string goodUsb = Run({"eeprom", "show"}).out, goodRecord = Run({"record", "show"}).out;
    ASSERT_EQ(Run({"--yes", "record", "program", "LastUpdate=06.03.24"}).status, 0);
    const std::string current = ReadText(state);
    const fs::path backup = latest("ZK000001");
    ASSERT_FALSE(backup.empty());
    const std::string text = ReadText(backup);
    const std::string undigested = text.substr(0, text.find("[Digest]\r\n"));

    // The same display seen as another converter: its own serial number and state.
    Simulate("Converter", "SerialNumber", "ZK000099");
    Simulate("Eeprom", "SerialNumber", "ZK000099"); // what the bus lists
    Simulate("State", "Folder", (dir_ / "state2").string());
    fs::create_directories(dir_ / "state2");
    ASSERT_EQ(Run({"--yes", "record", "program", "LastUpdate=05.03.24"}).status, 0);
    const std::string foreignGood = ReadText(dir_ / "state2" / "eeprom.bin");
    ASSERT_EQ(Run({"--yes", "record", "program", "LastUpdate=06.03.24"}).status, 0);
    const fs::path foreign = latest("ZK000099");
    ASSERT_FALSE(foreign.empty());
    Simulate("Converter", "SerialNumber", "ZK000001");
    Simulate("Eeprom", "SerialNumber", "ZK000001");
    Simulate("State", "Folder", (dir_ / "state").string());

    auto edited = [](std::string from, const std::string& what, const std::string& to) {
        from.replace(from.find(what), what.size(), to);
        return from;
    };
    const fs::path file = dir_ / "restore.ini";
    const fs::path fifo = dir_ / "fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(backup, dir_ / "link.ini");
    fs::create_symlink("/dev/zero", dir_ / "zero.ini");
    const struct {
        const char* what;
        std::string content; // written to restore.ini; empty: path names the file
        fs::path path;
        const char* reason;
    } refused[] = {
        {"a hex digit of [Raw] edited", edited(text, "Words=0000030408f2", "Words=00000304aaf2"), file,
         "its digest does not match its content"},
        {"an older backup with a [Raw] digit edited", edited(undigested, "Words=0000030408f2", "Words=00000304aaf2"),
         file, "its [Raw] Words fail the chip's checksum"},
        {"an older backup with [USB] edited", edited(undigested, "Description=Corvina Nova", "Description=Corvina Novb"),
         file, "its [USB] Description does not agree with its [Raw] words"},
        {"truncated", text.substr(0, text.size() / 2), file, "is missing or damaged"},
        {"another converter's", "", foreign, "was taken from the converter ZK000099, this one is ZK000001"},
        {"a link", "", dir_ / "link.ini", "it is a symbolic link"},
        {"a link to /dev/zero", "", dir_ / "zero.ini", "it is a symbolic link"},
        {"a device", "", "/dev/zero", "it is not a regular file"},
        {"a FIFO", "", fifo, "it is not a regular file"},
        {"oversized", text + std::string(1u << 20, ';'), file, "it is larger than 1 MiB"},
        {"missing", "", dir_ / "missing.ini", "it does not exist"},
    };
    for (const auto& r : refused) {
        if (!r.content.empty()) WriteText(file, r.content);
        ProcessOptions options;
        options.timeoutSeconds = 20;
        ProcessResult run = Run({"--yes", "eeprom", "restore", r.path.string()}, options);
        EXPECT_EQ(run.status, 1) << r.what;
        EXPECT_NE(run.err.find(r.reason), std::string::npos) << r.what << ": " << run.err;
        EXPECT_EQ(ReadText(state), current) << r.what;
    }

    // Another tool rewrote the chip, also where no field of ours lies: byte 0, the user area
    // beyond the record, leftovers behind the strings, the checksum.
    std::string rewritten = current;
    for (std::size_t at : {std::size_t{0x00}, std::size_t{0x50}, std::size_t{0xF0}, rewritten.size() - 1})
        rewritten[at] = static_cast<char>(rewritten[at] ^ 0x5A);
    WriteText(state, rewritten);
    ProcessResult restore = Run({"--yes", "eeprom", "restore", backup.string()});
    EXPECT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(restore.out, "The converter holds the backup " + backup.string() + " again.\n");
    EXPECT_EQ(ReadText(state), good);
    EXPECT_EQ(Run({"eeprom", "show"}).out, goodUsb);
    EXPECT_EQ(Run({"record", "show"}).out, goodRecord);
    EXPECT_NE(ReadText(Log()).find("*** USB data flashed\r\n"), std::string::npos);

    // A write cut off inside the serial string: the converter is listed by what is left, and its
    // own backup is still taken for its own, by where it is plugged in.
    std::string garbled = current;
    const std::size_t serialAt = garbled.find(std::string("Z\0K\0" "0\0", 6));
    ASSERT_NE(serialAt, std::string::npos);
    garbled[serialAt + 14] = static_cast<char>(garbled[serialAt + 14] ^ 0x02); // ZK000003, checksum wrong
    WriteText(state, garbled);
    ProcessResult mended = Run({"--yes", "eeprom", "restore", backup.string()});
    EXPECT_EQ(mended.status, 0) << mended.err;
    EXPECT_EQ(ReadText(state), good);
    // The simulator's own library lists the converter by its configured serial number.
    if (path_.name == "LibftdiOverUsbFace") {
        EXPECT_NE(mended.err.find("ZK000001 at the same USB location"), std::string::npos) << mended.err;
        // Without a digest the location may have been edited in: the serial numbers decide.
        WriteText(state, garbled);
        WriteText(file, undigested);
        ProcessResult edited = Run({"--yes", "eeprom", "restore", file.string()});
        EXPECT_EQ(edited.status, 1);
        EXPECT_NE(edited.err.find("was taken from the converter ZK000001, this one is ZK000003"), std::string::npos)
            << edited.err;
        EXPECT_EQ(ReadText(state), garbled);
    }

    // An older backup that passes every other check is restored, and said to be older.
    WriteText(state, rewritten);
    WriteText(file, undigested);
    ProcessResult older = Run({"--yes", "eeprom", "restore", file.string()});
    EXPECT_EQ(older.status, 0) << older.err;
    EXPECT_NE(older.err.find("has no digest (an older backup)"), std::string::npos) << older.err;
    EXPECT_EQ(ReadText(state), good);

    // Another converter's backup is written when asked for, byte for byte.
    ProcessResult asked = Run({"--yes", "eeprom", "restore", foreign.string(), "--other-converter"});
    EXPECT_EQ(asked.status, 0) << asked.err;
    EXPECT_EQ(ReadText(state), foreignGood);

    // Another converter in the same socket, whole and without a serial number, is no write cut
    // off: its place does not make the backup its own.
    fs::remove_all(dir_ / "state");
    sim_["Converter"]["SerialNumber"] = "";
    sim_["Eeprom"] = {{"SerialNumber", ""}, {"Description", "OTHER UNIT"}, {"Manufacturer", "ACME"}};
    WriteSimulator(dir_ / "sim.ini", sim_);
    ASSERT_EQ(Run({"eeprom", "show"}).status, 0);
    const std::string stranger = ReadText(state);
    ProcessResult notOwn = Run({"--yes", "eeprom", "restore", backup.string()});
    EXPECT_EQ(notOwn.status, 1) << notOwn.err;
    EXPECT_NE(notOwn.err.find("was taken from the converter ZK000001"), std::string::npos) << notOwn.err;
    EXPECT_EQ(ReadText(state), stranger);
}

} // namespace

// The bench's one command per display, and what every write to a converter now does around it:
// a backup first, a read-back after.
class Unit : public Cli {
protected:
    void SetUp() override
    {
        Cli::SetUp();
        WriteText(dir_ / "kestrune.ini", "[Status]\r\nDevice=Device98Status\r\n[Device98Status]\r\n"
                                         "SerialNumber=0041.0001.001\r\n");
        firmware_ = dir_ / "nova-100.hex";
        WriteText(firmware_, tools::IntelHexText(tools::SampleFirmwareData(256)));
    }

    std::string Record() { return Run({"record", "show"}).out; }
    std::string Usb() { return Run({"eeprom", "show"}).out; }
    std::vector<std::string> Backups()
    {
        std::vector<std::string> lines;
        std::istringstream list(Run({"eeprom", "backups"}).out);
        for (std::string line; std::getline(list, line);) lines.push_back(line);
        return lines;
    }

    fs::path firmware_;
};

TEST_F(Unit, DoesTheWholeJobForOneDisplay)
{
    WriteText(dir_ / "template.bin", "[Device]\r\nType=0x62\r\nSerialNumber=0000.0777.042\r\n"
                                     "Manufacturing=01.12.26\r\nLastUpdate=02.12.26\r\n[USB]\r\n"
                                     "Description=Corvina Nova bench\r\n");
    ProcessResult run = Run({"--yes", "unit", "--flash", firmware_.string(), "--family", "3",
                             "--template", (dir_ / "template.bin").string(), "--serial", "next"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_match(
        run.out, std::regex("0042\\.0777\\.042 Nova 0x62: identify ok \\(\\d+\\.\\d\\d s\\), "
                            "firmware ok \\(\\d+\\.\\d\\d s\\), template ok \\(\\d+\\.\\d\\d s\\), "
                            "serial ok \\(\\d+\\.\\d\\d s\\), backup ok \\(\\d+\\.\\d\\d s\\), "
                            "eeprom ok \\(\\d+\\.\\d\\d s\\), record ok \\(\\d+\\.\\d\\d s\\), "
                            "logged \\(\\d+\\.\\d\\d s\\)\n")))
        << run.out;
    EXPECT_NE(run.err.find("Updating flash memory: 46 %\n"), std::string::npos) << run.err;
    EXPECT_EQ(Record(), "[Device]\nType=0x62\nSerialNumber=0042.0777.042\nManufacturing=01.12.26\n"
                        "LastUpdate=02.12.26\nChecksum=ok\n");
    EXPECT_NE(Usb().find("Description=Corvina Nova bench\nSerialNumber=ZK000042\n"), std::string::npos);

    // One backup covers both writes, and holds the converter as it was.
    const auto backups = Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].rfind("ZK000001\t", 0), 0u) << backups[0];
    const std::string backup = ReadText(backups[0].substr(backups[0].rfind('\t') + 1));
    EXPECT_NE(backup.find("[Device]\r\nType=0x62\r\nSerialNumber=0001.0001.001\r\n"), std::string::npos);
    EXPECT_NE(backup.find("Description=Corvina Nova\r\n"), std::string::npos);

    // The log in the order of the job, the firmware named by its content.
    const std::string log = ReadText(Log());
    const std::size_t fw = log.find("*** Firmware updated\r\n***\r\n[Firmware]\r\nType=0x62\r\n"
                                    "SerialNumber=0001.0001.001\r\nFile=nova-100.hex\r\n");
    const std::size_t usb = log.find("*** USB data flashed\r\n");
    const std::size_t device = log.find("*** Device data to user area flashed\r\n");
    ASSERT_NE(fw, std::string::npos) << log;
    EXPECT_LT(fw, usb);
    EXPECT_LT(usb, device);
    EXPECT_NE(log.find("Family=3\r\nResult=0\r\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(log, std::regex("SHA256=[0-9a-f]{64}\r\n")));

    ProcessResult history = Run({"history", "42.777.42"});
    EXPECT_EQ(history.status, 0);
    EXPECT_TRUE(std::regex_match(history.out,
                                 std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}"
                                            "\t[^\t]*\t[^\t]*\tDevice data to user area flashed\tType=0x62\t"
                                            "SerialNumber=0042.0777.042\tManufacturing=01.12.26\t"
                                            "LastUpdate=02.12.26\n")))
        << history.out;
}

TEST_F(Unit, StopsAtTheFirstFailedStep)
{
    struct Case {
        const char* fault;
        std::string section, key, value;
        const char* step;  // as the summary line names it
        int status;
        const char* leftRecord;     // the record the display keeps
        bool usbProgrammed;         // the converter holds the new USB serial number
        bool backedUp;
    };
    const Case cases[] = {
        {"flash refused", "BootLoader", "RefuseRecord", "3:S", "firmware FAILED", 1,
         "SerialNumber=0001.0001.001\n", false, false},
        {"EEPROM program fails", "Eeprom", "ProgramFails", "1", "eeprom FAILED", 1,
         "SerialNumber=0001.0001.001\n", false, true},
        {"user-area write corrupts", "UserArea", "WriteCorrupts", "1", "record FAILED", 1,
         "SerialNumber=0042.0001.000\n", true, true},
        // Known before the first write: nothing is written that could not be logged.
        {"log not writable", "", "", "", "log FAILED", 1, "SerialNumber=0001.0001.001\n", false, false},
    };
    for (const Case& c : cases) {
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove_all(entry.path());
        SetUp();
        if (c.section.empty()) {
            // The log's folder would have to be made inside a plain file.
            WriteText(dir_ / "c" / "LOG", "not a folder");
        } else {
            Simulate(c.section, c.key, c.value);
        }
        ProcessResult run = Run({"--yes", "unit", "--flash", firmware_.string(), "--family", "3",
                                 "--serial", "next"});
        EXPECT_EQ(run.status, c.status) << c.fault << "\n" << run.err;
        const std::string failed = std::string(c.step) + " (";
        const std::size_t at = run.out.find(failed);
        ASSERT_NE(at, std::string::npos) << c.fault << ": " << run.out;
        EXPECT_EQ(run.out.find(", ", at), std::string::npos) << c.fault << ": ran on: " << run.out;
        const std::string name = std::string(c.step).substr(0, std::string(c.step).find(' '));
        EXPECT_NE(run.err.find("kestrune-cli: unit stopped at the step '" + name + "'\n"), std::string::npos)
            << c.fault << ": " << run.err;

        if (!c.section.empty()) Simulate(c.section, c.key, "0");
        EXPECT_NE(Record().find(c.leftRecord), std::string::npos) << c.fault << ": " << Record();
        EXPECT_EQ(Usb().find("SerialNumber=ZK000042\n") != std::string::npos, c.usbProgrammed) << c.fault;
        EXPECT_EQ(Backups().size(), c.backedUp ? 1u : 0u) << c.fault;
        if (c.section == "BootLoader") {
            // The failed update is in the log with its result; nothing was written after it.
            const std::string log = ReadText(Log());
            EXPECT_NE(log.find("Result=83\r\n"), std::string::npos) << log;
            EXPECT_EQ(log.find("*** USB data flashed"), std::string::npos);
        }
    }
}

// A small file system of its own, taken away again whatever the test does. Only root may mount.
class SmallMount {
public:
    explicit SmallMount(const fs::path& at) : at_(at)
    {
        fs::create_directories(at);
        mounted_ = ::geteuid() == 0 && ::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=64k,mode=0755") == 0;
    }
    ~SmallMount()
    {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    SmallMount(const SmallMount&) = delete;
    SmallMount& operator=(const SmallMount&) = delete;
    bool Mounted() const { return mounted_; }
    bool MakeReadOnly() { return ::mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }
    void Fill()
    {
        std::ofstream filler(at_ / "filler", std::ios::binary);
        const std::string block(1024, 'x');
        for (int i = 0; i < 256 && filler.write(block.data(), block.size()); ++i) filler.flush();
    }

private:
    fs::path at_;
    bool mounted_ = false;
};

TEST_F(Unit, ANumberIsNeverGivenTwice)
{
    enum class Store { ReadOnly, Full, FreshAccount };
    const std::string status = "[Status]\r\nDevice=Device98Status\r\n[Device98Status]\r\nSerialNumber=0041.0001.001\r\n";
    for (const Store store : {Store::ReadOnly, Store::Full, Store::FreshAccount}) {
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove_all(entry.path());
        SetUp();
        ProcessOptions options;
        SmallMount mount(dir_ / "store");
        const fs::path profile = dir_ / "store" / "kestrune.ini";
        options.env["KESTRUNE_PROFILE"] = profile.string();
        if (store != Store::FreshAccount) WriteText(profile.string(), status);
        if (store == Store::ReadOnly && !(mount.Mounted() && mount.MakeReadOnly())) {
            if (::geteuid() == 0) GTEST_SKIP() << "root could not mount a read-only file system here";
            fs::permissions(dir_ / "store", fs::perms::owner_read | fs::perms::owner_exec);
        }
        if (store == Store::Full) {
            if (mount.Mounted())
                mount.Fill();
            else // its folder cannot be made: a plain file stands in its place
                options.env["KESTRUNE_PROFILE"] = (dir_ / "c" / "blocker" / "kestrune.ini").string();
            WriteText((dir_ / "c" / "blocker").string(), "");
        }
        const fs::path home = dir_ / "home";
        if (store == Store::FreshAccount) {
            fs::create_directories(home);
            options.env = {{"HOME", home.string()}, {"KESTRUNE_PROFILE", ""}, {"XDG_CONFIG_HOME", ""},
                           {"XDG_DATA_HOME", ""}};
        }
        std::vector<std::string> given;
        // The folders a fresh account gets stay private under the loosest umask.
        const mode_t umask = ::umask(0);
        if (store != Store::FreshAccount) ::umask(umask);
        for (int i = 0; i < 3; ++i) {
            ProcessResult run = Run({"--yes", "unit", "--serial", "next"}, options);
            const std::string serial = run.out.substr(0, run.out.find(' '));
            if (store == Store::FreshAccount) {
                EXPECT_EQ(run.status, 0) << run.err;
                given.push_back(serial);
                continue;
            }
            EXPECT_EQ(run.status, 1) << run.out << run.err;
            EXPECT_NE(run.err.find(" stored in \"" + options.env["KESTRUNE_PROFILE"] + "\""), std::string::npos)
                << run.err;
            EXPECT_NE(Record().find("SerialNumber=0001.0001.001\n"), std::string::npos) << "written anyway";
        }
        if (store == Store::FreshAccount) {
            EXPECT_EQ(given, (std::vector<std::string>{"0001.0001.001", "0002.0001.001", "0003.0001.001"}));
            struct stat info {};
            EXPECT_EQ(::stat((home / ".config" / "kestrune").c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0700u);
            EXPECT_EQ(::stat((home / ".config").c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0700u);
            const fs::path data = home / ".local" / "share" / "kestrune";
            for (const fs::path& folder : {data / "backups", data / "backups" / "ZK000001"}) {
                info.st_mode = 0;
                EXPECT_EQ(::stat(folder.c_str(), &info), 0) << folder;
                EXPECT_EQ(info.st_mode & 07777, 0700u) << folder;
            }
        }
        ::umask(umask);
        if (store == Store::ReadOnly && !mount.Mounted())
            fs::permissions(dir_ / "store", fs::perms::owner_all);
    }
}

TEST_F(Unit, BackupAndRestoreGiveTheConverterBackByteForByte)
{
    // A converter as the bench leaves it; the simulator keeps every EEPROM byte in its state.
    ASSERT_EQ(Run({"--yes", "unit", "--serial", "next"}).status, 0);
    const fs::path state = dir_ / "state" / "eeprom.bin";
    ASSERT_TRUE(fs::exists(state));
    const std::string good = ReadText(state);
    const std::string goodRecord = Record(), goodUsb = Usb();

    // Two bad writes, each reported by its read-back.
    Simulate("Eeprom", "ProgramCorrupts", "1");
    ProcessResult usb = Run({"--yes", "eeprom", "program", "ProductId=0xF300"});
    EXPECT_EQ(usb.status, 1);
    EXPECT_NE(usb.err.find("Kestrune Error: The converter does not hold what was programmed: ProductId "
                           "differs when read back.\n"),
              std::string::npos)
        << usb.err;
    Simulate("Eeprom", "ProgramCorrupts", "0");
    Simulate("UserArea", "WriteCorrupts", "1");
    ProcessResult record = Run({"--yes", "record", "program", "SerialNumber=0077.0001.001"});
    EXPECT_EQ(record.status, 1);
    EXPECT_NE(record.err.find("Kestrune Error: The converter does not hold the device record that was "
                              "written: SerialNumber differs when read back.\n"),
              std::string::npos)
        << record.err;
    Simulate("UserArea", "WriteCorrupts", "0");
    EXPECT_NE(ReadText(state), good);
    // Logged with what the chip holds; the number tried was taken before the write and stays used.
    const std::string log = ReadText(Log());
    EXPECT_NE(log.find("*** USB data NOT verified: ProductId differs when read back\r\n***\r\n[USB]\r\n"
                       "VendorId=0x0403\r\nProductId=0xf301\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("*** Device data to user area NOT verified: SerialNumber differs when read back\r\n"
                       "***\r\n[Device]\r\nType=0x62\r\nSerialNumber=0077.0001.000\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(ReadText(dir_ / "kestrune.ini").find("SerialNumber=0077.0001.001"), std::string::npos);

    // The backup taken before the first bad write.
    const auto backups = Backups();
    ASSERT_EQ(backups.size(), 3u);
    const std::string before = backups[1].substr(backups[1].rfind('\t') + 1);
    ProcessResult restore = Run({"--yes", "eeprom", "restore", before});
    EXPECT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(ReadText(state), good);
    EXPECT_EQ(Record(), goodRecord);
    EXPECT_EQ(Usb(), goodUsb);

    // A damaged backup is no backup.
    const fs::path other = dir_ / "other.ini";
    std::string text = ReadText(before);
    text.replace(text.find("UserArea="), 9, "UserArea=zz");
    WriteText(other, text);
    ProcessResult damaged = Run({"--yes", "eeprom", "restore", other.string()});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.err.find("its digest does not match its content"), std::string::npos) << damaged.err;

    // A number whose write did not verify stays used: the log says so, and the next is another.
    const std::size_t logged = ReadText(Log()).size();
    Simulate("UserArea", "WriteCorrupts", "1");
    ProcessResult tried = Run({"--yes", "serial", "next", "--program"});
    Simulate("UserArea", "WriteCorrupts", "0");
    EXPECT_EQ(tried.status, 1);
    const std::string triedLog = ReadText(Log()).substr(logged);
    EXPECT_NE(triedLog.find("*** Device data to user area NOT verified: SerialNumber differs when read back"),
              std::string::npos)
        << triedLog;
    EXPECT_EQ(triedLog.find("flashed"), std::string::npos) << triedLog;
    ProcessResult after = Run({"--yes", "serial", "next"});
    ASSERT_EQ(after.status, 0) << after.err;
    EXPECT_GT(after.out, tried.out);
}

TEST_F(Unit, NoBackupNoWrite)
{
    // Backups cannot be stored: the data folder is a plain file.
    fs::remove_all(dir_ / "data");
    WriteText(dir_ / "data", "");
    ProcessResult run = Run({"--yes", "record", "program", "SerialNumber=0077.0001.001"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Kestrune Error: Nothing was written to the converter: no backup of what it "
                           "holds could be made (the folder "),
              std::string::npos)
        << run.err;
    EXPECT_NE(Record().find("SerialNumber=0001.0001.001\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(Log()));
}

TEST_F(Unit, SerialNumbersFromTheSharedStore)
{
    WriteText(dir_ / "serials.ini", "[Serials]\r\nDevice98=99\r\n");
    WriteText(dir_ / "kestrune.ini", "[Settings]\r\nSerialStore=" + (dir_ / "serials.ini").string() +
                                         "\r\n[Device98Status]\r\nSerialNumber=0041.0001.001\r\n");
    EXPECT_EQ(Run({"serial", "next"}).out, "Serial Number generated: 0100.0001.001\n");
    EXPECT_EQ(Run({"serial", "next"}).out, "Serial Number generated: 0101.0001.001\n");
    EXPECT_NE(ReadText(dir_ / "serials.ini").find("Device98=101\r\n"), std::string::npos);

    // A store that cannot be written hands out nothing.
    fs::remove(dir_ / "serials.ini");
    fs::create_directories(dir_ / "serials.ini");
    ProcessResult refused = Run({"serial", "next"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("No serial number was generated: the serial-number store "), std::string::npos)
        << refused.err;
}

// Four displays flashed and programmed at once, one process each, on a shared serial store
// and log, and on the station's own profile store alone: four numbers of their own, every
// record whole, and the status left at the highest number.
TEST_F(Unit, AGangOfFourSharesTheStoreAndTheLog)
{
    for (const bool sharedStore : {true, false}) {
        SCOPED_TRACE(sharedStore ? "shared serial store" : "own profile store");
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove_all(entry.path());
        SetUp();
        std::vector<std::string> expected = {"0042.0001.001", "0043.0001.001", "0044.0001.001", "0045.0001.001"};
        if (sharedStore) {
            WriteText(dir_ / "serials.ini", "[Serials]\r\nDevice98=99\r\n");
            WriteText(dir_ / "kestrune.ini", "[Settings]\r\nSerialStore=" + (dir_ / "serials.ini").string() +
                                                 "\r\n[Device98Status]\r\nSerialNumber=0041.0001.001\r\n");
            expected = {"0100.0001.001", "0101.0001.001", "0102.0001.001", "0103.0001.001"};
        }
        for (int n = 2; n <= 4; ++n) {
            const std::string s = "." + std::to_string(n);
            sim_["Converter" + s] = {{"SerialNumber", "ZK00000" + std::to_string(n)}};
            sim_["UserArea" + s] = sim_["UserArea"];
        }
        WriteSimulator(dir_ / "sim.ini", sim_);
        std::vector<ProcessResult> runs(4);
        std::vector<std::thread> gang;
        for (int n = 1; n <= 4; ++n)
            gang.emplace_back([&, n] {
                std::vector<std::string> args = {"--yes", "--device", "serial:ZK00000" + std::to_string(n), "unit",
                                                 "--serial", "next"};
                if (sharedStore) args.insert(args.end(), {"--flash", firmware_.string(), "--family", "3"});
                runs[static_cast<std::size_t>(n - 1)] = Run(args);
            });
        for (std::thread& t : gang) t.join();
        std::set<std::string> numbers;
        for (const ProcessResult& run : runs) {
            EXPECT_EQ(run.status, 0) << run.err;
            numbers.insert(run.out.substr(0, 13));
        }
        EXPECT_EQ(numbers, std::set<std::string>(expected.begin(), expected.end()));
        const std::string status = ReadText(dir_ / "kestrune.ini");
        EXPECT_NE(status.find("SerialNumber=" + expected.back() + "\r\n"), std::string::npos) << status;
        const std::string log = ReadText(Log());
        for (const std::string& number : numbers) {
            const std::string record = "*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x62\r\n"
                                       "SerialNumber=" + number + "\r\n";
            EXPECT_NE(log.find(record), std::string::npos) << number << "\n" << log;
            EXPECT_EQ(log.find(record), log.rfind(record)) << number;
        }
        std::size_t usb = 0;
        for (auto at = log.find("*** USB data flashed\r\n***\r\n[USB]\r\n"); at != std::string::npos;
             at = log.find("*** USB data flashed\r\n***\r\n[USB]\r\n", at + 1))
            ++usb;
        EXPECT_EQ(usb, 4u);
    }
}

// Scripts read --json instead of the text: the same facts, field by field, and the same status.
class Json : public Unit {
protected:
    nlohmann::json Document(std::vector<std::string> args, int status = 0)
    {
        args.insert(args.begin(), "--json");
        ProcessResult run = Run(args);
        EXPECT_EQ(run.status, status) << args[1] << run.err;
        const auto end = run.out.find('\n');
        EXPECT_EQ(end, run.out.size() - 1) << "one document on one line: " << run.out;
        nlohmann::json document = nlohmann::json::parse(run.out, nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << run.out;
        if (document.is_discarded()) return nlohmann::json::object();
        EXPECT_EQ(document.value("status", -1), run.status);
        return document;
    }

    static std::vector<std::string> Lines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // A section printed as text against its JSON object: every key, numbers by value.
    static void ExpectSection(const std::string& text, const nlohmann::json& object)
    {
        std::size_t keys = 0;
        for (const std::string& line : Lines(text)) {
            const auto eq = line.find('=');
            if (line.empty() || line[0] == '[' || eq == std::string::npos || line.rfind("Checksum=", 0) == 0) continue;
            ++keys;
            const std::string key = line.substr(0, eq);
            const std::string value = line.substr(eq + 1);
            ASSERT_TRUE(object.contains(key)) << key;
            if (object[key].is_number())
                EXPECT_EQ(object[key].get<unsigned long>(), std::stoul(value, nullptr, 0)) << key;
            else
                EXPECT_EQ(object[key].get<std::string>(), value) << key;
        }
        EXPECT_EQ(object.size(), keys);
    }
};

TEST_F(Json, EveryReportSaysWhatItsTextSays)
{
    ASSERT_EQ(Run({"--yes", "unit", "--serial", "next"}).status, 0); // a log record and a backup

    const nlohmann::json identify = Document({"identify"});
    EXPECT_EQ(identify["command"], "identify");
    char ready[160];
    std::snprintf(ready, sizeof ready, "Kestrune is ready - DIC:0x%02x - SN:%s - Rev:%s - P:%s - U:%s\n",
                  identify["deviceCode"].get<int>(), identify["serialNumber"].get<std::string>().c_str(),
                  identify["revision"].get<std::string>().c_str(), identify["manufacturing"].get<std::string>().c_str(),
                  identify["lastUpdate"].get<std::string>().c_str());
    EXPECT_EQ(Run({"identify"}).out, ready);
    EXPECT_EQ(identify["ready"].get<std::string>() + "\n", ready);
    EXPECT_EQ(identify["deviceId"], 98);
    EXPECT_EQ(identify["answered"], true);

    ExpectSection(Usb(), Document({"eeprom", "show"})["usb"]);
    const nlohmann::json record = Document({"record", "show"});
    ExpectSection(Record(), record["record"]);
    EXPECT_EQ(record["checksumOk"], Record().find("Checksum=ok\n") != std::string::npos);

    // Each call takes a number of its own, so the text's comes after the document's.
    const std::string taken = Document({"serial", "next"})["serialNumber"].get<std::string>();
    const std::string text = Run({"serial", "next"}).out;
    const std::string lead = "Serial Number generated: ";
    ASSERT_TRUE(std::regex_match(taken, std::regex("[0-9]{4}\\.[0-9]{4}\\.[0-9]{3}"))) << taken;
    ASSERT_EQ(text.rfind(lead, 0), 0u) << text;
    EXPECT_EQ(text.size(), lead.size() + taken.size() + 1) << text;
    EXPECT_GT(text.substr(lead.size(), taken.size()), taken);

    const nlohmann::json info = Document({"info"});
    EXPECT_EQ(info["report"].get<std::vector<std::string>>(), Lines(Run({"info"}).out));

    const nlohmann::json backups = Document({"eeprom", "backups"})["backups"];
    const auto backupLines = Backups();
    ASSERT_EQ(backups.size(), backupLines.size());
    for (std::size_t i = 0; i < backups.size(); ++i)
        EXPECT_EQ(backups[i]["converter"].get<std::string>() + "\t" + backups[i]["time"].get<std::string>() + "\t" +
                      backups[i]["file"].get<std::string>(),
                  backupLines[i]);

    // history, as one document and as JSON Lines, rebuilt into the text's tab-separated lines.
    auto entry = [](const nlohmann::json& r) {
        std::string line = r["time"].get<std::string>() + "\t" + r["user"].get<std::string>() + "\t" +
                           r["computer"].get<std::string>() + "\t" + r["kind"].get<std::string>();
        for (const auto& [key, value] : r["values"].items()) line += "\t" + key + "=" + value.get<std::string>();
        return line;
    };
    const std::vector<std::string> historyLines = Lines(Run({"history"}).out);
    ASSERT_EQ(historyLines.size(), 2u);
    const nlohmann::json history = Document({"history"})["records"];
    ProcessResult jsonLines = Run({"history", "--json-lines"});
    EXPECT_EQ(jsonLines.status, 0);
    const std::vector<std::string> objects = Lines(jsonLines.out);
    ASSERT_EQ(history.size(), historyLines.size());
    ASSERT_EQ(objects.size(), historyLines.size());
    for (std::size_t i = 0; i < historyLines.size(); ++i) {
        // The record's keys in their order in the log: compare as sets of fields.
        auto fields = [](const std::string& line) {
            std::vector<std::string> split;
            std::istringstream in(line);
            for (std::string f; std::getline(in, f, '\t');) split.push_back(f);
            std::sort(split.begin() + 4, split.end());
            return split;
        };
        EXPECT_EQ(fields(entry(history[i])), fields(historyLines[i]));
        EXPECT_EQ(fields(entry(nlohmann::json::parse(objects[i]))), fields(historyLines[i]));
    }

    const nlohmann::json doctor = Document({"doctor"});
    const std::string doctorText = Run({"doctor"}).out;
    for (const std::string& line :
         {"D2XX provider: " + doctor["provider"].get<std::string>(),
          "Converters found: " + std::to_string(doctor["converters"].size()),
          "Profile store: " + doctor["profileStore"].get<std::string>(),
          "Production log: " + doctor["productionLog"].get<std::string>() + " (" +
              doctor["productionLogPath"].get<std::string>() + ")"})
        EXPECT_NE(doctorText.find(line + "\n"), std::string::npos) << line << "\nin\n" << doctorText;
    ASSERT_EQ(doctor["converters"].size(), 1u);
    EXPECT_EQ(doctor["converters"][0]["serialNumber"], "ZK000001");
    EXPECT_EQ(doctor["converters"][0]["productId"], 0xF208);
    EXPECT_EQ(doctor["identify"]["ready"].get<std::string>() + "\n", ready);

    // The exit status stays the command's, with its document all the same.
    Simulate("Display", "Responds", "0");
    EXPECT_EQ(Document({"identify"}, 1)["answered"], false);
    // Without a converter every documented key is still there, and nothing is invented.
    Simulate("Converter", "Present", "0");
    const nlohmann::json none = Document({"identify"}, 3);
    EXPECT_EQ(none["answered"], false);
    EXPECT_TRUE(none.contains("serialNumber") && none["serialNumber"].is_null()) << none;
    const nlohmann::json noUnit = Document({"--yes", "unit", "--serial", "next"}, 3);
    EXPECT_TRUE(noUnit["serialNumber"].is_null() && noUnit["deviceCode"].is_null() && noUnit["model"].is_null()) << noUnit;
    EXPECT_EQ(noUnit["stoppedAt"], "identify");
    EXPECT_TRUE(noUnit["reason"].is_string()) << noUnit;
    const nlohmann::json port = Document({"port-test", (dir_ / "no-such-port").string()}, 1);
    EXPECT_EQ(port["answered"], false);
    EXPECT_EQ(port["port"], (dir_ / "no-such-port").string());
    EXPECT_TRUE(port["report"].is_array()) << port;
}

TEST_F(Json, FlashAndUnitResults)
{
    ProcessResult flash = Run({"-q", "flash", "--family", "3", firmware_.string()});
    EXPECT_EQ(flash.status, 0);
    EXPECT_EQ(flash.out, "Firmware successfully updated.\n");
    EXPECT_EQ(flash.err, "") << "nothing but the result under -q";
    const nlohmann::json flashed = Document({"flash", "--family", "3", firmware_.string()});
    EXPECT_EQ(flashed["result"], 0);
    EXPECT_EQ(flashed["message"], "Firmware successfully updated.");
    const nlohmann::json refused = Document({"flash", (dir_ / "kv-1.hex").string()}, 1);
    EXPECT_EQ(refused["result"], -1);
    EXPECT_EQ(refused["errorCode"], 123);
    EXPECT_EQ(refused["message"], "Error loading firmware file. (123)");
    EXPECT_EQ(refused["reason"], "the name does not fit family 4: it must begin with heron or pika");

    const nlohmann::json unit = Document({"--yes", "unit", "--serial", "next"});
    std::string steps;
    for (const nlohmann::json& step : unit["steps"])
        steps += step["name"].get<std::string>() + (step["ok"].get<bool>() ? " ok" : " FAILED") + ", ";
    EXPECT_EQ(steps, "identify ok, serial ok, backup ok, eeprom ok, record ok, log ok, ");
    EXPECT_EQ(unit["serialNumber"], "0042.0001.001");
    EXPECT_EQ(unit["model"], "Nova");
    EXPECT_EQ(Record().find("SerialNumber=0042.0001.001\n") != std::string::npos, true);

    // -v: the requests, timed, on standard error only.
    ProcessResult verbose = Run({"-v", "identify"});
    EXPECT_EQ(verbose.out, Run({"identify"}).out);
    EXPECT_TRUE(std::regex_search(verbose.err, std::regex("kestrune-cli: request W32_WriteFile -> 1 \\(\\d+\\.\\d{3} ms\\) \\d+ bytes:( [0-9a-f]{2})+\n")))
        << verbose.err;
    EXPECT_NE(verbose.err.find("kestrune-cli: request EEPROM_Read -> 0 ("), std::string::npos) << verbose.err;
}

// --dry-run reads and checks all, prints old and new, and leaves every file as it was.
TEST_F(Unit, DryRunChangesNoByte)
{
    std::string usb = kUsbSection;
    usb.replace(usb.find("Corvina Nova"), 12, "Corvina Nova bench");
    std::string device = kDeviceSection;
    device.replace(device.find("LastUpdate=04.03.24"), 19, "LastUpdate=05.03.24");
    WriteText(dir_ / "template.bin", device + usb);
    // A write first, so that the converter's state, the log and a backup exist.
    ASSERT_EQ(Run({"--yes", "record", "program", "LastUpdate=05.03.24"}).status, 0);
    auto files = [&] {
        std::map<std::string, std::string> bytes;
        for (const fs::path& root : {dir_ / "state", dir_ / "c", dir_ / "data"})
            for (const auto& f : fs::recursive_directory_iterator(root))
                // The simulated display's own list of the frames it was sent grows with every read.
                if (f.is_regular_file() && f.path().filename() != "frames.log")
                    bytes[f.path().string()] = ReadText(f.path());
        bytes["profile"] = ReadText(dir_ / "kestrune.ini");
        return bytes;
    };
    const auto before = files();
    ASSERT_TRUE(before.count(Log().string()));
    ASSERT_TRUE(before.count((dir_ / "state" / "eeprom.bin").string()));
    const auto backups = Backups();
    struct Case {
        std::vector<std::string> args;
        std::string out; // the changes, each on its line
    } cases[] = {
        {{"record", "program", "SerialNumber=0012.3456.789", "Type=99"},
         "Type: 0x62 -> 0x63\nSerialNumber: 0001.0001.001 -> 0012.3456.789\n"},
        {{"eeprom", "program", "VendorId=1234", "Description=Bench"},
         "VendorId: 0x0403 -> 0x1234\nDescription: Corvina Nova -> Bench\n"},
        {{"settings", "load", (dir_ / "template.bin").string(), "--program"},
         "\nUSB.Description: Corvina Nova -> Corvina Nova bench\n"},
        {{"serial", "next", "--program"},
         // The write above of an older number leaves the status at the last one given.
         "Serial Number generated: 0042.0001.001\nDevice.SerialNumber: 0001.0001.001 -> 0042.0001.001\n"
         "USB.SerialNumber: ZK000001 -> ZK000042\n"},
        {{"flash", "--family", "3", firmware_.string()}, "Firmware: revision 1.00 -> nova-100.hex ("},
        {{"unit", "--flash", firmware_.string(), "--family", "3", "--template", (dir_ / "template.bin").string(),
          "--serial", "next"},
         "Device.SerialNumber: 0001.0001.001 -> 0042.0001.001\nUSB.Description: Corvina Nova -> Corvina Nova bench\n"
         "USB.SerialNumber: ZK000001 -> ZK000042\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--dry-run");
        ProcessResult run = Run(args);
        EXPECT_EQ(run.status, 0) << args[1] << run.err;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << args[1] << "\n" << run.out;
        EXPECT_EQ(run.err.find("Are you really sure"), std::string::npos) << "no confirmation: " << run.err;
        EXPECT_EQ(files(), before) << args[1];
    }
    EXPECT_EQ(Run({"--dry-run", "record", "show"}).status, 2) << "only writing commands take --dry-run";
    EXPECT_EQ(Backups(), backups);
}

// The bench commands' whole output, pinned: what a production script parses today must stay so
// wherever the job's code lives. Run times, the test's folder and the backup's time are masked.
TEST_F(Unit, BenchOutputsStayByteForByte)
{
    WriteText(dir_ / "template.bin", "[Device]\r\nType=0x62\r\nSerialNumber=0000.0777.042\r\n"
                                     "Manufacturing=01.12.26\r\nLastUpdate=02.12.26\r\n[USB]\r\n"
                                     "Description=Corvina Nova bench\r\n");
    fs::create_directories(dir_ / "c" / "LOG");
    WriteText(Log(),
              "\r\n***\r\n*** [Sun Dec  6 10:14:04 2026] USER \"OPERATOR\" on COMPUTER \"STATION1\"\r\n"
              "*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x5f\r\n"
              "SerialNumber=0012.3456.789\r\nManufacturing=04.03.15\r\nLastUpdate=06.05.16\r\n"
              "\n***\n*** [Mon Dec  7 08:00:00 2026] USER \"TECH\" on COMPUTER \"station2\"\n"
              "*** USB data flashed\n***\n[USB]\nVendorId=0x0403\nSerialNumber=ZK000013\n"
              "\r\n***\r\n*** [Mon Dec  7 08:02:00 2026] USER \"TECH\" on COMPUTER \"STATION2\"\r\n"
              "*** Firmware updated\r\n***\r\n[Firmware]\r\nType=0x62\r\nSerialNumber=0013.3456.789\r\n"
              "File=nova-101.hex\r\nResult=0\r\n");
    const auto masked = [this](std::string text) {
        for (const std::string& known : {dir_.string(), env_["KESTRUNE_D2XX"]}) {
            for (std::size_t at; (at = text.find(known)) != std::string::npos;) text.replace(at, known.size(), "<>");
        }
        text = std::regex_replace(text, std::regex("\\d+\\.\\d\\d s\\)"), "_ s)");
        text = std::regex_replace(text, std::regex("\"seconds\":[-0-9.e]+"), "\"seconds\":_");
        return std::regex_replace(text, std::regex("\\d{8}T\\d{6}Z"), "<time>");
    };
    struct Case {
        std::vector<std::string> args;
        const char* expected; // status, standard output, standard error
    };
    const Case cases[] = {
        {{"history", "--station", "station2"},
         R"x(0
--- out
Mon Dec  7 08:00:00 2026	TECH	station2	USB data flashed	VendorId=0x0403	SerialNumber=ZK000013
Mon Dec  7 08:02:00 2026	TECH	STATION2	Firmware updated	Type=0x62	SerialNumber=0013.3456.789	File=nova-101.hex	Result=0
--- err
)x"},
        {{"history", "--type", "0x62", "--since", "07.12.26"},
         R"x(0
--- out
Mon Dec  7 08:02:00 2026	TECH	STATION2	Firmware updated	Type=0x62	SerialNumber=0013.3456.789	File=nova-101.hex	Result=0
--- err
)x"},
        {{"--json", "history", "12.3456.789"},
         R"x(0
--- out
{"command":"history","records":[{"computer":"STATION1","kind":"Device data to user area flashed","section":"Device","time":"Sun Dec  6 10:14:04 2026","user":"OPERATOR","values":{"LastUpdate":"06.05.16","Manufacturing":"04.03.15","SerialNumber":"0012.3456.789","Type":"0x5f"}}],"status":0}
--- err
)x"},
        {{"history", "--type", "300"},
         R"x(2
--- out
--- err
kestrune-cli: --type needs a device code from 0 to 255 (98 or 0x62), not '300'
)x"},
        {{"--dry-run", "unit", "--template", "template.bin", "--serial", "next"},
         R"x(0
--- out
0042.0777.042 Nova 0x62: identify ok (_ s), template ok (_ s), serial ok (_ s)
Device.LastUpdate: 04.03.24 -> 02.12.26
Device.Manufacturing: 04.03.24 -> 01.12.26
Device.SerialNumber: 0001.0001.001 -> 0042.0777.042
USB.Description: Corvina Nova -> Corvina Nova bench
USB.SerialNumber: ZK000001 -> ZK000042
--- err
kestrune-cli: dry run: nothing was written
)x"},
        {{"--yes", "unit", "--template", "template.bin", "--serial", "next"},
         R"x(0
--- out
0042.0777.042 Nova 0x62: identify ok (_ s), template ok (_ s), serial ok (_ s), backup ok (_ s), eeprom ok (_ s), record ok (_ s), logged (_ s)
--- err
)x"},
        {{"--json", "--yes", "unit", "--template", "missing.bin"},
         R"x(1
--- out
{"command":"unit","deviceCode":98,"model":"Nova","reason":"Cannot load data from file","serialNumber":"0042.0777.042","status":1,"steps":[{"name":"identify","ok":true,"seconds":_},{"name":"template","ok":false,"seconds":_}],"stoppedAt":"template"}
--- err
kestrune-cli: Cannot load data from file
kestrune-cli: unit stopped at the step 'template'
)x"},
        {{"eeprom", "backups"},
         R"x(0
--- out
ZK000001	<time>	<>/data/kestrune/backups/ZK000001/<time>.ini
--- err
)x"},
        {{"--json", "eeprom", "backups"},
         R"x(0
--- out
{"backups":[{"converter":"ZK000001","file":"<>/data/kestrune/backups/ZK000001/<time>.ini","time":"<time>"}],"command":"eeprom backups","status":0}
--- err
)x"},
        {{"--dry-run", "eeprom", "restore", "<backup>"},
         R"x(0
--- out
EEPROM words: as read -> 31 differ
Record bytes: as read -> 17 differ
USB.Description: Corvina Nova bench -> Corvina Nova
USB.SerialNumber: ZK000042 -> ZK000001
--- err
kestrune-cli: dry run: nothing was written
)x"},
        {{"doctor"},
         R"x(0
--- out
D2XX provider: <>, version 1.04.24
Converters found: 1
Converter 1: USB ID 0403:f208, serial number "ZK000001", description "Corvina Nova bench", chip type 9 (X series)
  kernel driver ftdi_sio: not known (not found in /sys/bus/usb/devices)
  this user may open it: yes
  latency timer: 16 ms
  --device serial:ZK000001 | location:1-1 | index:0; looks like a display's converter: yes
Without --device commands use converter 1 (serial:ZK000001).
Profile store: <>/kestrune.ini
  folder <> is writable
Registry file: <>/registry.reg (does not exist)
Production log: C:\LOG\fertigung.log (<>/c/LOG/fertigung.log)
  folder <>/c/LOG is writable
Identify:
Kestrune is ready - DIC:0x62 - SN:0042.0777.042 - Rev:1.00 - P:01.12.26 - U:02.12.26
--- err
)x"},
        {{"--json", "doctor"},
         R"x(0
--- out
{"chosen":0,"command":"doctor","converters":[{"chipType":9,"description":"Corvina Nova bench","index":0,"kernelDriverHolds":null,"latencyTimerMs":16,"looksLikeDisplay":true,"names":["serial:ZK000001","location:1-1","index:0"],"productId":61960,"readable":true,"serialNumber":"ZK000001","userMayOpen":true,"vendorId":1027}],"identify":{"answered":true,"deviceCode":98,"deviceId":98,"lastUpdate":"02.12.26","manufacturing":"01.12.26","ready":"Kestrune is ready - DIC:0x62 - SN:0042.0777.042 - Rev:1.00 - P:01.12.26 - U:02.12.26","revision":"1.00","serialNumber":"0042.0777.042"},"logFolder":"folder <>/c/LOG is writable","productionLog":"C:\\LOG\\fertigung.log","productionLogPath":"<>/c/LOG/fertigung.log","profileFolder":"folder <> is writable","profileStore":"<>/kestrune.ini","provider":"<>, version 1.04.24","registryFile":"<>/registry.reg","status":0}
--- err
)x"},
        // Last: it changes the display. Under -q its "Settings loaded" line is no result.
        {{"-q", "--yes", "settings", "load", "template.bin", "--program"},
         R"x(0
--- out
--- err
)x"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        for (std::string& arg : args) {
            if (arg.ends_with(".bin")) arg = (dir_ / arg).string();
            if (arg == "<backup>") arg = Backups().at(0).substr(Backups().at(0).rfind('\t') + 1);
        }
        const ProcessResult run = Run(args);
        const std::string got =
            masked(std::to_string(run.status) + "\n--- out\n" + run.out + "--- err\n" + run.err);
        EXPECT_EQ(got, c.expected) << args.back();
    }
}
