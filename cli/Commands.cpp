#include "cli/Commands.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "cli/BenchCommands.h"
#include "cli/DbCommands.h"
#include "cli/Doctor.h"
#include "cli/KeyValues.h"
#include "cli/Output.h"
#include "cli/Terminal.h"
#include "firmware/FirmwareCheck.h"
#include "firmware/UpdateWorker.h"
#include "link/CrvSerialDevice.h"
#include "link/DeviceSelection.h"
#include "platform/Clock.h"
#include "platform/LastError.h"
#include "platform/Profile.h"
#include "platform/Registry.h"
#include "platform/SafeFile.h"
#include "platform/SimulationSwitch.h"
#include "platform/StopSignals.h"
#include "platform/System.h"
#include "platform/TextNumber.h"
#include "platform/Utf16.h"
#include "platform/Ui.h"
#include "production/DatabaseSetup.h"
#include "records/DeviceReport.h"
#include "records/DeviceSettingsEdit.h"
#include "records/FirmwareLog.h"
#include "records/MyCrvUsbDevice.h"
#include "records/UsbSettingsEdit.h"
#include "res/Strings.h"

#ifndef KESTRUNE_VERSION
#define KESTRUNE_VERSION "0"
#endif

namespace cli {

namespace {

using platform::BoxOwner;

void Print(std::string text)
{
    Out().Text(std::move(text));
}

nlohmann::json& Result() { return Out().Result(); }

// A settings-file section's lines as JSON: numbers as numbers, texts and dates as texts.
nlohmann::json SectionObject(const std::string& text)
{
    static const char* const kTexts[] = {"Manufacturer", "ManufacturerId", "Description", "SerialNumber",
                                         "Manufacturing", "LastUpdate"};
    nlohmann::json object = nlohmann::json::object();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '[' || eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        const bool isText = std::find_if(std::begin(kTexts), std::end(kTexts),
                                         [&](const char* t) { return key == t; }) != std::end(kTexts);
        char* end = nullptr;
        const unsigned long number = value.empty() ? 0 : std::strtoul(value.c_str(), &end, 0);
        if (!isText && end != nullptr && *end == '\0')
            object[key] = number;
        else
            object[key] = value;
    }
    return object;
}

// The lines of a report, without their ends.
nlohmann::json LinesOf(const std::string& text)
{
    nlohmann::json lines = nlohmann::json::array();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// --dry-run: a field the write would change, old and new; unchanged fields are left out.
void Change(const std::string& field, const std::string& before, const std::string& after)
{
    if (before == after) return;
    Print(field + ": " + before + " -> " + after);
    Result()["changes"].push_back({{"field", field}, {"old", before}, {"new", after}});
}

void DryRunDone()
{
    if (!Result().contains("changes")) {
        Result()["changes"] = nlohmann::json::array();
        Print("Nothing would change.");
    }
    Result()["dryRun"] = true;
    Out().Info("dry run: nothing was written");
}

void Complain(const std::string& text)
{
    std::fprintf(stderr, "kestrune-cli: %s\n", text.c_str());
}

void ErrorBox(const std::string& text, unsigned icon)
{
    platform::Ui().MessageBox(text, LoadStdString(IDS_ERROR_CAPTION), icon, BoxOwner::MainWindow);
}

bool ConfirmProgramming()
{
    return platform::Ui().MessageBox(LoadStdString(IDS_CONFIRM_PROGRAM),
                                      LoadStdString(IDS_CONFIRM_PROGRAM_CAPTION),
                                      platform::MB_ICONEXCLAMATION | platform::MB_OKCANCEL,
                                      BoxOwner::Dialog) == platform::IDOK;
}

// The commands' connection guard: an open link that still answers, or a new connection, which
// reports "No USB device found." itself.
// A section as the settings file holds it, written by the same code into a private file;
// nothing when that file cannot be written.
std::optional<std::string> SectionText(CMyCrvUsbDevice& theDevice,
                                       BOOL (CMyCrvUsbDevice::*save)(const char*))
{
    std::string pattern;
    platform::File made = platform::File::CreateTemporary(platform::GetTempPath() + "kestrune-cli-", pattern);
    if (!made.IsOpen() || !made.Close()) return std::nullopt;
    const BOOL saved = (theDevice.*save)(pattern.c_str());
    std::string content;
    const bool read = platform::ReadRegularFile(pattern, content) == platform::FileStatus::Ok;
    platform::RemoveFile(pattern);
    if (!saved || !read) return std::nullopt;
    std::string text;
    for (char c : content) {
        if (c != '\r') text += c;
    }
    // The file keeps the converter's strings a byte a character; the terminal reads UTF-8.
    return platform::Latin1ToUtf8(text);
}

// A section that could not be had is no empty section.
int PrintSection(const std::optional<std::string>& text, const char* key, const std::string& tail = {})
{
    if (!text) {
        Complain("cannot write a temporary file in " + platform::GetTempPath());
        return kExitFailed;
    }
    Print(*text + tail);
    Result()[key] = SectionObject(*text);
    return kExitOk;
}

// What the device writes of one command left unrecorded: any write whose log record or status
// entries could not be stored makes the command end with kExitNotRecorded.
class WriteHistory {
public:
    void Take(const CMyCrvUsbDevice& device)
    {
        lost_ = lost_ || !device.LastLog.recordStored || !device.LastLog.statusStored;
    }
    int Status() const { return lost_ ? kExitNotRecorded : kExitOk; }

private:
    bool lost_ = false;
};

// A write built on a part that could not be read would program zeros in place of what was not
// read. The connect already said the EEPROM could not be read.
bool Unread(bool wasRead, const char* part, const std::string& remedy)
{
    if (wasRead) return false;
    Complain(std::string("the ") + part + " could not be read, so nothing was written (" + remedy + ")");
    return true;
}

// A chip whose configuration the program does not hold is refused by name, not as unread.
bool Unheld(const CMyCrvUsbDevice& theDevice, const std::string& lead)
{
    const std::string unheld = theDevice.UnheldConfiguration();
    if (unheld.empty()) return false;
    Complain(lead + unheld);
    return true;
}

// The keys among KEY=VALUE arguments, lower case.
std::vector<std::string> GivenKeys(const std::vector<std::string>& assignments)
{
    std::vector<std::string> keys;
    for (const std::string& a : assignments) {
        std::string key = a.substr(0, a.find('='));
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        keys.push_back(key);
    }
    return keys;
}

bool AllGiven(const std::vector<std::string>& given, std::initializer_list<const char*> wanted)
{
    for (const char* w : wanted) {
        std::string key = w;
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (std::find(given.begin(), given.end(), key) == given.end()) return false;
    }
    return true;
}

// Whether a settings file's section holds every key of the list.
bool FileHasKeys(const std::string& file, const char* section, std::initializer_list<const char*> keys)
{
    for (const char* key : keys) {
        if (platform::GetProfileString(section, key, "\x01", platform::MapPath(file)) == "\x01") return false;
    }
    return true;
}

// The box an update's result gets, caught instead of shown: it is the command's result line.
class CapturingUi : public platform::UserInterface {
public:
    int MessageBox(const std::string& text, const std::string&, unsigned, BoxOwner) override
    {
        text_ = text;
        return platform::IDOK;
    }
    void MessageBeep(unsigned) override {}
    void SetStatusViewText(const std::string&) override {}
    void SetStatusBarMessage(const std::string&) override {}
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

int Identify(CMyCrvUsbDevice& theDevice)
{
    // Every documented key is there: null for what the display did not tell.
    for (const char* key : {"ready", "deviceCode", "deviceId", "serialNumber", "revision", "manufacturing", "lastUpdate"})
        Result()[key] = nullptr;
    Result()["answered"] = false;
    if (!theDevice.EnsureConnected()) return kExitNoDisplay;
    std::string line = LoadStdString(IDS_IDLE_MESSAGE);
    std::int32_t reply = -1;
    if (theDevice.SendIdentifyRequest()) reply = theDevice.ReadIdentityReply(2000);
    std::string identity;
    if (theDevice.FormatIdentityLine(identity)) line += " - " + identity;
    Print(line);
    Result()["ready"] = line;
    Result()["answered"] = reply != -1;
    if (theDevice.DeviceId != -1 || theDevice.RevisionMajor != 0 || theDevice.RevisionMinor != 0) {
        DeviceData data;
        theDevice.GetDeviceData(data);
        char revision[16];
        std::snprintf(revision, sizeof revision, "%01d.%02x", static_cast<int>(theDevice.RevisionMajor),
                      static_cast<unsigned>(theDevice.RevisionMinor));
        Result()["deviceCode"] = data.DeviceCode;
        Result()["deviceId"] = theDevice.DeviceId;
        Result()["serialNumber"] = FormatSerialNumber(data);
        Result()["revision"] = revision;
        Result()["manufacturing"] = FormatShortDate(data.ManufacturingDate);
        Result()["lastUpdate"] = FormatShortDate(data.LastUpdateDate);
    }
    if (reply == -1) {
        ErrorBox(LoadStdString(IDS_ERROR_WAITING_ID), platform::MB_ICONINFORMATION);
        return kExitFailed;
    }
    return kExitOk;
}

// The report texts end their lines with CR LF, as the desktop's dialog shows them.
std::string UnixLines(const std::string& text)
{
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        lines += text[i];
    }
    return lines;
}

// Whether a report's identity exchange got an answer (its last line is the reply line).
bool Replied(const std::string& report)
{
    const std::string noReply = LoadStdString(IDS_ERROR_WAITING_ID);
    return report.size() < noReply.size() + 2 ||
           report.compare(report.size() - noReply.size() - 2, noReply.size(), noReply) != 0;
}

int Info(CMyCrvUsbDevice& theDevice)
{
    if (!theDevice.ConnectFresh()) return kExitNoDisplay;
    const std::string report = BuildDeviceInformationReport(theDevice);
    Print(UnixLines(report));
    const bool eepromRead = report != LoadStdString(IDS_CANNOT_READ_EEPROM);
    Result()["report"] = LinesOf(UnixLines(report));
    Result()["eepromRead"] = eepromRead;
    Result()["answered"] = Replied(report);
    return eepromRead && Replied(report) ? kExitOk : kExitFailed;
}

// --dry-run of flash: the file checked whole as the update checks it, the display identified.
int FlashDryRun(CMyCrvUsbDevice& theDevice, const Invocation& inv)
{
    Result()["file"] = inv.file;
    Result()["family"] = inv.family;
    const std::uint32_t size = CheckFirmwareFile(inv.file, inv.family);
    const std::uint32_t error = size == 0 ? platform::GetLastError() : 0;
    const FirmwareContentProblem problem = size == 0 ? FirmwareContentProblem{} : CheckFirmwareContent(inv.file);
    if (size == 0 || problem.error != 0) {
        const std::string why = size == 0 ? DescribeFirmwareFileError(error, inv.family) : problem.reason;
        std::fprintf(stderr, "%s:%s%s\n", inv.file.c_str(),
                     problem.line > 0 ? (std::to_string(problem.line) + ": ").c_str() : " ", why.c_str());
        Result()["reason"] = why;
        Print(LoadStdString(IDS_ERROR_LOADING_FIRMWARE) + " (" + std::to_string(size == 0 ? error : problem.error) +
              ") ");
        return kExitFailed;
    }
    if (!theDevice.EnsureConnected()) return kExitNoDisplay;
    std::string before = "unknown";
    if (theDevice.SendIdentifyRequest() && theDevice.ReadIdentityReply(2000) != -1) {
        char revision[16];
        std::snprintf(revision, sizeof revision, "%01d.%02x", static_cast<int>(theDevice.RevisionMajor),
                      static_cast<unsigned>(theDevice.RevisionMinor));
        before = std::string("revision ") + revision;
    }
    Result()["size"] = size;
    Change("Firmware", before, platform::PathFindFileName(inv.file) + " (" + std::to_string(size) + " bytes)");
    DryRunDone();
    return kExitOk;
}

int Flash(CMyCrvUsbDevice& theDevice, const Invocation& inv)
{
    if (inv.dryRun) return FlashDryRun(theDevice, inv);
    if (!theDevice.EnsureConnected()) return kExitNoDisplay;
    UpdateWorker& worker = theDevice.Worker();
    TerminalProgress progress(platform::IsTerminal(stderr));
    if (Out().Mode().quiet) progress.Silence();
    {
        const platform::StopSignalRun signals(true);
        if (!worker.StartUpdate(inv.file, inv.family, &progress)) {
            Complain("the firmware update could not be started");
            return kExitFailed;
        }
        worker.Wait();
    }
    progress.Finish();
    records::LogFirmwareUpdate(theDevice, false);

    // As after the end-of-run message: the display may have to be found again. The result is
    // reported all the same, since a script has nothing else to go by.
    if (!theDevice.CheckConnection()) theDevice.ConnectDevice(TRUE);
    const std::int32_t result = worker.m_nResult.load();
    CapturingUi capture;
    platform::UserInterface* terminal = platform::SetUi(&capture);
    worker.ReportUpdateResult();
    platform::SetUi(terminal);
    // The file name as given, as compilers name a line: "heron-x.hex:301: checksum ...".
    Result()["file"] = inv.file;
    Result()["family"] = inv.family;
    Result()["result"] = result;
    if (const std::string refusal = progress.Refusal(); !refusal.empty()) {
        std::fprintf(stderr, "%s:%s\n", inv.file.c_str(), refusal.c_str());
        const std::size_t colon = refusal.find(": ");
        if (colon != std::string::npos && refusal[0] != ' ') {
            Result()["line"] = std::stoul(refusal.substr(0, colon));
            Result()["reason"] = refusal.substr(colon + 2);
        } else {
            Result()["reason"] = refusal.substr(1);
        }
    } else if (result == -1) { // the file was refused before the display was touched
        Result()["errorCode"] = worker.m_nRunError.load();
        if (const std::string why = DescribeFirmwareFileError(worker.m_nRunError.load(), inv.family); !why.empty()) {
            std::fprintf(stderr, "%s: %s\n", inv.file.c_str(), why.c_str());
            Result()["reason"] = why;
        }
    }
    // A positive result is the boot loader's verdict on the last record sent.
    if (result > 0 && progress.RefusedLine() > 0) {
        Complain("the boot loader refused the record on line " +
                 std::to_string(progress.RefusedLine()) + " of " + inv.file);
        Result()["line"] = progress.RefusedLine();
    }
    if (result == kUpdateStopped) {
        const std::string stopped =
            progress.FlashChanged() ? capture.Text() : LoadStdString(IDS_UPDATE_STOPPED_UNCHANGED);
        std::fprintf(stderr, "%s\n", stopped.c_str());
        Result()["message"] = stopped;
        return kExitStopped;
    }
    // The shown line ends in a blank after the error number; a script compares the text without it.
    std::string message = capture.Text();
    while (!message.empty() && message.back() == ' ') message.pop_back();
    Result()["message"] = message;
    Print(capture.Text());
    return result == 0 ? kExitOk : kExitFailed;
}

int EepromShow(CMyCrvUsbDevice& theDevice)
{
    if (!theDevice.EnsureConnected()) return kExitNoDisplay;
    // Zeros in place of settings that could not be read are no settings.
    if (!theDevice.EepromWasRead) {
        if (const std::string unheld = theDevice.UnheldConfiguration(); !unheld.empty())
            Complain("the USB EEPROM is not shown: " + unheld + "; record show, eeprom backups and eeprom "
                     "restore work on it");
        else if (theDevice.EepromReadStatus == d2xx::FT_EEPROM_NOT_PROGRAMMED)
            Complain("the USB EEPROM's checksum is wrong: what it holds is no valid configuration "
                     "(a write was cut off, or the part is blank); eeprom restore writes a backup back");
        return kExitFailed;
    }
    return PrintSection(SectionText(theDevice, &CMyCrvUsbDevice::SaveUsbSection), "usb");
}

int EepromProgram(CMyCrvUsbDevice& theDevice, const Invocation& inv)
{
    if (!theDevice.EnsureConnected()) return kExitNoDisplay;
    // The power settings and the rest of the image have no keys here: they can only come from
    // the converter itself or from a settings file that holds them all.
    if (Unheld(theDevice, "the USB EEPROM was not programmed: ")) return kExitFailed;
    if (Unread(theDevice.EepromWasRead, "USB EEPROM",
               "settings load FILE --program writes every USB setting from a file"))
        return kExitFailed;
    UsbSettingsRecord current;
    theDevice.GetUsbSettings(&current.data);
    UsbSettingsFields fields = UsbFieldsFromRecord(current.data);
    for (const std::string& assignment : inv.assignments) {
        AssignResult applied = ApplyUsbAssignment(fields, assignment);
        if (applied.status == AssignStatus::Usage) {
            Complain(applied.message);
            return kExitUsage;
        }
        if (applied.status == AssignStatus::Refused) {
            ErrorBox(applied.message, platform::MB_ICONEXCLAMATION);
            return kExitFailed;
        }
    }
    const UsbFieldProblem problem = CheckUsbSettingsFields(fields, &theDevice);
    if (problem.field != UsbField::None) {
        ErrorBox(problem.message, platform::MB_ICONEXCLAMATION);
        return kExitFailed;
    }
    if (inv.dryRun) {
        const UsbSettingsFields old = UsbFieldsFromRecord(current.data);
        auto id = [](const std::string& text) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%04x", static_cast<unsigned>(ParseHexId(text).value_or(0)));
            return std::string(hex);
        };
        Change("VendorId", id(old.VendorId), id(fields.VendorId));
        Change("ProductId", id(old.ProductId), id(fields.ProductId));
        Change("Manufacturer", old.Manufacturer, fields.Manufacturer);
        Change("ManufacturerId", old.ManufacturerId, fields.ManufacturerId);
        Change("SerialNumber", old.SerialNumber, fields.SerialNumber);
        Change("Description", old.Description, fields.Description);
        DryRunDone();
        return kExitOk;
    }
    if (!ConfirmProgramming()) return kExitFailed;
    WriteHistory history;
    const BOOL programmed = ProgramUsbSettingsFields(theDevice, fields);
    history.Take(theDevice);
    if (!programmed) {
        ErrorBox(LoadStdString(IDS_CANNOT_WRITE_EEPROM), platform::MB_ICONEXCLAMATION);
        return kExitFailed;
    }
    return history.Status();
}

int RecordShow(CMyCrvUsbDevice& theDevice)
{
    if (!theDevice.EnsureConnected()) return kExitNoDisplay;
    if (!theDevice.UserAreaWasRead) return kExitFailed;
    DeviceData data;
    const BOOL checksumOk = theDevice.GetDeviceData(data);
    Result()["checksumOk"] = checksumOk != FALSE;
    return PrintSection(SectionText(theDevice, &CMyCrvUsbDevice::SaveDeviceDataSection), "record",
                        checksumOk ? "Checksum=ok\n" : "Checksum=error\n");
}

int RecordProgram(CMyCrvUsbDevice& theDevice, const Invocation& inv)
{
    if (!theDevice.EnsureConnected()) return kExitNoDisplay;
    if (!AllGiven(GivenKeys(inv.assignments), {"Type", "SerialNumber", "Manufacturing", "LastUpdate"}) &&
        Unread(theDevice.UserAreaWasRead, "identification record",
               "give Type, SerialNumber, Manufacturing and LastUpdate to write a whole new one"))
        return kExitFailed;
    DeviceData data;
    theDevice.GetDeviceData(data);
    DeviceSettingsFields fields = DeviceFieldsFromRecord(data);
    std::string refused;
    for (const std::string& assignment : inv.assignments) {
        AssignResult applied = ApplyDeviceAssignment(fields, assignment);
        if (applied.status == AssignStatus::Usage) {
            Complain(applied.message);
            return kExitUsage;
        }
        if (applied.status == AssignStatus::Refused && refused.empty()) refused = applied.message;
    }
    if (!refused.empty()) {
        ErrorBox(refused, platform::MB_ICONEXCLAMATION);
        return kExitFailed;
    }
    const DeviceFieldProblem problem = CheckDeviceSettingsFields(fields);
    if (problem.field != DeviceField::None) {
        platform::Ui().MessageBox(problem.message, problem.caption, platform::MB_ICONEXCLAMATION,
                                  BoxOwner::Dialog);
        return kExitFailed;
    }
    if (inv.dryRun) {
        const DeviceSettingsFields old = DeviceFieldsFromRecord(data);
        auto type = [](std::uint32_t code) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(code));
            return std::string(hex);
        };
        Change("Type", type(old.DeviceCode), type(fields.DeviceCode));
        Change("SerialNumber", old.Serial1 + "." + old.Serial2 + "." + old.Serial3,
               fields.Serial1 + "." + fields.Serial2 + "." + fields.Serial3);
        Change("Manufacturing", FormatShortDate(old.Manufacturing), FormatShortDate(fields.Manufacturing));
        Change("LastUpdate", FormatShortDate(old.LastUpdate), FormatShortDate(fields.LastUpdate));
        DryRunDone();
        return kExitOk;
    }
    if (!ConfirmProgramming()) return kExitFailed;
    WriteHistory history;
    const BOOL written = WriteDeviceSettingsFields(theDevice, fields);
    history.Take(theDevice);
    if (!written) {
        ErrorBox(LoadStdString(IDS_CANNOT_WRITE_EEPROM), platform::MB_ICONEXCLAMATION);
        return kExitFailed;
    }
    theDevice.SwitchModelIfChanged(fields.DeviceCode);
    return history.Status();
}

} // namespace

// Both sections as the settings file holds them, "Device.Type" and "USB.VendorId" to values.
Fields SectionFields(CMyCrvUsbDevice& theDevice)
{
    Fields fields;
    const std::pair<const char*, BOOL (CMyCrvUsbDevice::*)(const char*)> parts[] = {
        {"Device", &CMyCrvUsbDevice::SaveDeviceDataSection}, {"USB", &CMyCrvUsbDevice::SaveUsbSection}};
    for (const auto& [name, save] : parts) {
        const std::optional<std::string> text = SectionText(theDevice, save);
        std::istringstream lines(text.value_or(""));
        std::string line;
        while (std::getline(lines, line)) {
            const std::size_t eq = line.find('=');
            if (!line.empty() && line[0] != '[' && eq != std::string::npos)
                fields[std::string(name) + "." + line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return fields;
}

int ReportChanges(const Fields& before, const Fields& after)
{
    for (const auto& [key, value] : after) {
        const auto old = before.find(key);
        Change(key, old == before.end() ? std::string() : old->second, value);
    }
    DryRunDone();
    return kExitOk;
}

namespace {

// The record first: programming the EEPROM reads the user area back, which would otherwise
// replace the new record in memory by the old one. With --dry-run only what would change is
// printed, against the fields as they were before the command.
int WriteRecordAndUsbSettings(CMyCrvUsbDevice& theDevice, const Invocation& inv, const Fields& before)
{
    // Every value is checked before the record is written, and a dry run checks the same.
    if (const UsbFieldProblem problem = CheckHeldUsbSettings(theDevice); problem.field != UsbField::None) {
        ErrorBox(LoadStdString(IDS_CANNOT_WRITE_EEPROM) + "\n" + problem.message, platform::MB_ICONEXCLAMATION);
        return kExitFailed;
    }
    if (inv.dryRun) return ReportChanges(before, SectionFields(theDevice));
    if (!ConfirmProgramming()) return kExitFailed;
    DeviceData data;
    theDevice.GetDeviceData(data);
    WriteHistory history;
    bool written = theDevice.WriteUserArea() != FALSE;
    history.Take(theDevice);
    if (written) {
        written = theDevice.ProgramEeprom() != FALSE;
        history.Take(theDevice);
    }
    if (!written) {
        ErrorBox(LoadStdString(IDS_CANNOT_WRITE_EEPROM), platform::MB_ICONEXCLAMATION);
        return kExitFailed;
    }
    theDevice.ReadUserArea();
    theDevice.SwitchModelIfChanged(static_cast<std::uint32_t>(data.DeviceCode));
    return history.Status();
}

// The specified message, then what was found wrong, on a line of its own.
std::string WithProblem(unsigned id, const std::string& problem)
{
    return problem.empty() ? LoadStdString(id) : LoadStdString(id) + "\n" + problem;
}

int SettingsSave(CMyCrvUsbDevice& theDevice, const Invocation& inv)
{
    if (!theDevice.EnsureConnected()) return kExitNoDisplay;
    // A settings file that cannot be written must not be reported as saved.
    if (!theDevice.SaveSettingsFile(inv.file.c_str()) || !platform::PathFileExists(inv.file)) {
        ErrorBox(WithProblem(IDS_CANNOT_SAVE_FILE, theDevice.SettingsFileProblem), platform::MB_ICONERROR);
        return kExitFailed;
    }
    Print(LoadStdString(IDS_SETTINGS_SAVED));
    Result()["message"] = LoadStdString(IDS_SETTINGS_SAVED);
    Result()["file"] = inv.file;
    return kExitOk;
}

int SettingsLoad(CMyCrvUsbDevice& theDevice, const Invocation& inv)
{
    if (!theDevice.EnsureConnected()) return kExitNoDisplay;
    const Fields before = inv.dryRun ? SectionFields(theDevice) : Fields{};
    // A missing file or one without its sections is refused by the load: --program would
    // otherwise write every default.
    if (!theDevice.LoadSettingsFile(inv.file.c_str())) {
        ErrorBox(WithProblem(IDS_CANNOT_LOAD_FILE, theDevice.SettingsFileProblem), platform::MB_ICONERROR);
        return kExitFailed;
    }
    if (!theDevice.SettingsFileMissingKeys.empty()) {
        std::string keys;
        for (const std::string& key : theDevice.SettingsFileMissingKeys) keys += (keys.empty() ? "" : ", ") + key;
        Out().Info(inv.file + ": missing keys take their defaults: " + keys);
    }
    if (!Out().Mode().quiet) Print(LoadStdString(IDS_SETTINGS_LOADED));
    Result()["message"] = LoadStdString(IDS_SETTINGS_LOADED);
    Result()["file"] = inv.file;
    Result()["programmed"] = false;
    if (!inv.program) return inv.dryRun ? ReportChanges(before, SectionFields(theDevice)) : kExitOk;
    // The record alone would be written, and the USB half refused after it.
    if (Unheld(theDevice, "nothing was programmed: ")) return kExitFailed;
    // What could not be read must all come from the file.
    if (!FileHasKeys(inv.file, "Device", {"Type", "SerialNumber", "Manufacturing", "LastUpdate"}) &&
        Unread(theDevice.UserAreaWasRead, "identification record",
               "the file's [Device] section must hold Type, SerialNumber, Manufacturing and LastUpdate"))
        return kExitFailed;
    if (!FileHasKeys(inv.file, "USB", {"VendorId", "ProductId", "MaxPower", "SelfPowered", "RemoteWakeup",
                                       "Manufacturer", "ManufacturerId", "Description", "SerialNumber"}) &&
        Unread(theDevice.EepromWasRead, "USB EEPROM",
               "the file's [USB] section must hold VendorId, ProductId, MaxPower, SelfPowered, "
               "RemoteWakeup and the four strings"))
        return kExitFailed;
    const int status = WriteRecordAndUsbSettings(theDevice, inv, before);
    Result()["programmed"] = !inv.dryRun && status != kExitFailed;
    return status;
}

} // namespace

// --dry-run of serial next: the number the profile store's status gives next, set in memory
// only; nothing is reserved.
bool PeekSerialNumber(CMyCrvUsbDevice& theDevice)
{
    DeviceData data;
    theDevice.GetDeviceData(data);
    const std::string section = "Device" + std::to_string(data.DeviceCode) + "Status";
    char last[256] = {};
    theDevice.ReadProfileSetting(section.c_str(), "SerialNumber", "00000000000", last, sizeof last);
    char store[260] = {};
    if (theDevice.ReadProfileSetting("Settings", "SerialStore", "", store, sizeof store) && store[0] != '\0')
        Out().Info(std::string("the serial store ") + store + " hands out the number when it is written; it may be a later one");
    data.SerialPart1 = platform::LeadingDecimal(last) + 1;
    if (data.SerialPart1 > 65535 || !DeviceDataFits(data)) {
        Complain("the device record cannot hold the next serial number " + FormatSerialNumber(data));
        return false;
    }
    theDevice.SerialNumber.fill('\0');
    std::snprintf(theDevice.SerialNumber.data(), theDevice.SerialNumber.size(), "ZK%06d", data.SerialPart1);
    theDevice.SetDeviceData(data);
    return true;
}

namespace {

int SerialNext(CMyCrvUsbDevice& theDevice, const Invocation& inv)
{
    if (!theDevice.EnsureConnected()) return kExitNoDisplay;
    // The number follows the record's device code, and --program writes the rest as read.
    if (inv.program && Unheld(theDevice, "nothing was programmed: ")) return kExitFailed;
    if (Unread(theDevice.UserAreaWasRead, "identification record", "its device code decides the number") ||
        (inv.program && Unread(theDevice.EepromWasRead, "USB EEPROM", "the new serial number goes there too")))
        return kExitFailed;
    const Fields before = inv.dryRun ? SectionFields(theDevice) : Fields{};
    if (!(inv.dryRun ? PeekSerialNumber(theDevice) : theDevice.GenerateSerialNumber() > 0)) return kExitFailed;
    DeviceData data;
    theDevice.GetDeviceData(data);
    Print(LoadStdString(IDS_SERIAL_GENERATED) + FormatSerialNumber(data));
    Result()["serialNumber"] = FormatSerialNumber(data);
    Result()["usbSerialNumber"] = std::string(theDevice.SerialNumber.data());
    Result()["programmed"] = false;
    if (!inv.program) return inv.dryRun ? ReportChanges(before, SectionFields(theDevice)) : kExitOk;
    const int status = WriteRecordAndUsbSettings(theDevice, inv, before);
    Result()["programmed"] = !inv.dryRun && status != kExitFailed;
    return status;
}

// The serial port test on a link object of its own; theDevice and its USB link stay untouched.
int PortTest(CMyCrvUsbDevice& theDevice, const Invocation& inv)
{
    std::string port = inv.port;
    if (port.empty()) {
        std::string name(PATH_MAX, '\0');
        theDevice.ReadProfileSetting("Settings", "Port", "COM1:", name.data(), static_cast<int>(name.size()));
        name.resize(std::strlen(name.c_str()));
        port = name.empty() ? "COM1:" : name;
    }
    CCrvSerialDevice serial;
    Result()["port"] = port;
    Result()["report"] = nlohmann::json::array();
    Result()["answered"] = false;
    if (!serial.OpenPort(port)) {
        ErrorBox(LoadStdString(IDS_ERROR_COM_PORT), platform::MB_ICONINFORMATION);
        return kExitFailed;
    }
    // No model is selected on this link: the 'init' request sends nothing and needs no pause.
    const std::string report = IdentityExchangeReport(serial, 0);
    Print(UnixLines(report));
    Result()["port"] = port;
    Result()["report"] = LinesOf(UnixLines(report));
    Result()["answered"] = Replied(report);
    return Replied(report) ? kExitOk : kExitFailed;
}

} // namespace

std::string CommandName(Command command)
{
    switch (command) {
    case Command::Help: return "help";
    case Command::Version: return "version";
    case Command::Identify: return "identify";
    case Command::Info: return "info";
    case Command::Flash: return "flash";
    case Command::EepromShow: return "eeprom show";
    case Command::EepromProgram: return "eeprom program";
    case Command::RecordShow: return "record show";
    case Command::RecordProgram: return "record program";
    case Command::SettingsSave: return "settings save";
    case Command::SettingsLoad: return "settings load";
    case Command::SerialNext: return "serial next";
    case Command::PortTest: return "port-test";
    case Command::Doctor: return "doctor";
    case Command::EepromBackups: return "eeprom backups";
    case Command::EepromRestore: return "eeprom restore";
    case Command::Unit: return "unit";
    case Command::History: return "history";
    case Command::DbInit: return "db init";
    case Command::DbImport: return "db import";
    case Command::DbSync: return "db sync";
    case Command::DbCheck: return "db check";
    }
    return {};
}

int RunInvocation(CMyCrvUsbDevice& theDevice, const Invocation& inv)
{
    switch (inv.command) {
    case Command::Help:
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    case Command::Version:
        std::printf("kestrune-cli " KESTRUNE_VERSION "\nD2XX provider: %s\n", D2xxLibrary::DescribeProvider().c_str());
        return kExitOk;
    case Command::Identify: return Identify(theDevice);
    case Command::Doctor: return Doctor(theDevice, [&theDevice] { return Identify(theDevice); });
    case Command::Info: return Info(theDevice);
    case Command::Flash: return Flash(theDevice, inv);
    case Command::EepromShow: return EepromShow(theDevice);
    case Command::EepromProgram: return EepromProgram(theDevice, inv);
    case Command::RecordShow: return RecordShow(theDevice);
    case Command::RecordProgram: return RecordProgram(theDevice, inv);
    case Command::SettingsSave: return SettingsSave(theDevice, inv);
    case Command::SettingsLoad: return SettingsLoad(theDevice, inv);
    case Command::SerialNext: return SerialNext(theDevice, inv);
    case Command::PortTest: return PortTest(theDevice, inv);
    case Command::EepromBackups: return EepromBackups();
    case Command::EepromRestore: return EepromRestore(theDevice, inv);
    case Command::Unit: return Unit(theDevice, inv);
    case Command::History: return History(theDevice, inv);
    case Command::DbInit:
    case Command::DbImport:
    case Command::DbSync:
    case Command::DbCheck: return DbCommand(inv);
    }
    return kExitUsage;
}

int Main(const std::vector<std::string>& args)
{
    // A reader that went away (| head) must not end a flash half-way: a failed write is seen
    // through the stream's error flag instead, and progress is never worth stopping for.
    platform::IgnoreBrokenPipe();
    ParsedCommandLine parsed = ParseCommandLine(args);
    if (!parsed.ok) {
        Complain(parsed.error);
        std::fputs("Try 'kestrune-cli --help'.\n", stderr);
        return kExitUsage;
    }
    const Invocation& inv = parsed.invocation;
    // Files shared with other users: a FIFO, a device or a folder in their place would hang
    // the program or load it with garbage.
    const bool usesFiles = inv.command != Command::Help && inv.command != Command::Version;
    if (const auto unusable = usesFiles ? platform::UnusableStoreFiles() : std::vector<std::string>{};
        !unusable.empty()) {
        Complain(unusable.front());
        return kExitFailed;
    }
    if (inv.simulate) {
        std::string failure = platform::EnableSimulation();
        if (!failure.empty()) {
            Complain("--simulate: " + failure);
            return kExitFailed;
        }
    }
    converters::DeviceSelection selection;
    if (std::string problem; !converters::DeviceSelectionFromEnvironment(selection, problem)) {
        Complain(problem);
        return kExitUsage;
    }
    if (!inv.device.empty()) selection = *converters::ParseDeviceSelection(inv.device);
    converters::SetDeviceSelection(selection);
    // Before anything is written: a database that is set up but cannot be used must not be
    // passed over silently.
    production::InstalledDatabase database;
    if (usesFiles) {
        if (const std::string failure = database.Install(platform::ProfileStorePath()); !failure.empty()) {
            Complain(failure);
            return kExitFailed;
        }
    }
    platform::InstallStopSignals();
    Output output({inv.json, inv.jsonLines, inv.quiet, inv.verbose});
    Output* previousOutput = SetOutput(&output);
    if (const std::string delivered = database.Deliver(); !delivered.empty()) Out().Info(delivered);
    if (inv.verbose) TraceRequests(stderr);
    CMyCrvUsbDevice theDevice;
    TerminalUi terminal(inv.yes, platform::IsTerminal(stdin));
    if (inv.verbose) terminal.EchoAnswered();
    platform::UserInterface* previous = platform::SetUi(&terminal);
    int status = kExitFailed;
    try {
        // A stranger on the bench (a debug cable listed first) is never written by default.
        if (WritesConverter(inv) && converters::WriteTargetAmbiguous(theDevice.Library())) {
            Complain(converters::kSeveralConvertersText);
            status = kExitUsage;
        } else {
            status = RunInvocation(theDevice, inv);
        }
    } catch (const platform::CommandError& error) {
        // What the desktop's command dispatch shows for a command that stopped with an error.
        platform::Ui().MessageBox(error.what(), LoadStdString(IDS_APP_TITLE),
                                  platform::MB_ICONSTOP, BoxOwner::MainWindow);
        status = kExitFailed;
    }
    // The desktop shows this in its status view; a script's log gets it after the message.
    if (status == kExitNoDisplay && !theDevice.OpenFailureSentence().empty())
        std::fprintf(stderr, "%s\n", theDevice.OpenFailureSentence().c_str());
    theDevice.Worker().Wait();
    theDevice.ClosePort();
    platform::SetUi(previous);
    StopTracingRequests();
    if (inv.command != Command::Help && inv.command != Command::Version) output.Finish(CommandName(inv.command), status);
    SetOutput(previousOutput);
    // Results and reports that never reached the reader (a closed pipe, a full disk) are no
    // success. The streams' error flags stay set, so every earlier write is covered here.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        Complain("cannot write to standard output");
        if (status == kExitOk) status = kExitFailed;
    }
    if (std::fflush(stderr) != 0 || std::ferror(stderr) != 0) {
        if (status == kExitOk) status = kExitFailed;
    }
    return status;
}

} // namespace cli
