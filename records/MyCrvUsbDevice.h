#pragma once
// The application's device object: the USB link plus the EEPROM image, the identification
// record, the profile store, the settings files, the production log and the update worker.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "firmware/UpdateWorker.h"
#include "link/CrvUsbDevice.h"
#include "records/DeviceData.h"
#include "records/ProductionLog.h"

class CMyCrvUsbDevice : public CCrvUsbDevice {
public:
    CMyCrvUsbDevice();  // also creates the UpdateWorker; ProfilePath = platform::ProfileStorePath()
    ~CMyCrvUsbDevice() override;

    // Connect and probe (reportNotFound: the "No USB device found." box and status text).
    BOOL ConnectDevice(BOOL reportNotFound);
    BOOL CheckConnection();
    // The device commands' guard: still connected, or connected now (a missing display is
    // reported by ConnectDevice).
    BOOL EnsureConnected();
    // A new connection for the commands that must see the device as it is now: a working link
    // is closed first. TRUE only when the new connection succeeded.
    BOOL ConnectFresh();
    // Tells the display its model when code differs from DeviceId (an unidentified device, -1,
    // differs from every code): model selection, configuration frame, 100 ms for the display.
    void SwitchModelIfChanged(std::uint32_t code);
    void Disconnect();

    // EEPROM configuration.
    BOOL ReadEeprom();
    BOOL ProgramEeprom();
    BOOL GetUsbSettings(d2xx::FT_PROGRAM_DATA* data);
    BOOL SetUsbSettings(const d2xx::FT_PROGRAM_DATA* data);

    // The identification record.
    BOOL GetDeviceData(DeviceData& data);      // may throw platform::CommandError
    // FALSE, image unchanged, for a record that does not fit (see EncodeUserArea).
    BOOL SetDeviceData(const DeviceData& data);
    BOOL WriteUserArea();
    BOOL FormatIdentityLine(std::string& text);

    // Settings files. A save replaces the file once, with both sections, and is FALSE when it
    // could not or when a part was not read at the last connect (the file is then untouched). LoadSettingsFile reads the file once and takes nothing unless every value
    // reads (else platform::CommandError naming the key and value), the record can hold it,
    // and the file is a settings file: a regular file with [Device] or [USB]. On FALSE,
    // SettingsFileProblem says why when it is known; after a load SettingsFileMissingKeys
    // lists the keys that took their defaults ("[USB] VendorId").
    BOOL SaveSettingsFile(const char* path);
    BOOL LoadSettingsFile(const char* path);   // may throw platform::CommandError
    BOOL SaveDeviceDataSection(const char* path);
    BOOL SaveUsbSection(const char* path);
    BOOL LoadDeviceDataSection(const char* path);
    BOOL LoadUsbSection(const char* path);

    // The profile store.
    BOOL WriteProfileSetting(const char* section, const char* key, const char* value);
    BOOL ReadProfileSetting(const char* section, const char* key, const char* def, char* buffer,
                            int size);

    // Production log and serial numbers. Every write to the converter stores the status entries
    // first and writes nothing when they cannot be stored. WriteProductionLog appends one whole
    // record and, for a write that succeeded, updates the status entries again; when the record
    // cannot be appended or the status cannot be stored it warns the operator (naming the file),
    // notes it in LastLog and returns FALSE for the record. The write it records keeps its own
    // result. written: FALSE records a failed write as such. notVerified: why the converter does
    // not hold what was written (the record then holds what was read back). Neither updates the
    // status entries again; their number stays used.
    BOOL WriteProductionLog(BOOL deviceData, BOOL written = TRUE, const std::string& notVerified = {});
    // The status of the record about to be written, stored before the write: a display is never
    // written with a number the store does not hold. False, with a message, when it could not be.
    bool StoreStatusBeforeWrite();

    // The record of the write about to be made, kept until the log holds it.
    void KeepPendingRecord(records::PendingRecord& pending, BOOL deviceData);
    BOOL WriteLogHeader(const char* path, BOOL deviceData);
    // Appends a whole record to the log; when it cannot, the warning ends with advice.
    BOOL AppendLogRecord(const std::string& record, const std::string& advice);
    BOOL AppendFileToLog(const char* logPath, const char* sourcePath);
    // The next running number for the record's device code, set into the record and the USB
    // serial string (in memory only) and taken at once: the status entries hold it before this
    // returns. -1, with a message and nothing changed, when it would not fit the record (above
    // 65535), when the profile store is there but cannot be read (numbering would start again
    // at 1 and repeat numbers already given) or when the number cannot be stored.
    std::int32_t GenerateSerialNumber();
    // The log file in stored form: profile "Settings"/"LOG", else the default.
    std::string LogFileSetting();

    UpdateWorker& Worker() { return *m_pUpdateWorker; }

    // What became of the last WriteProductionLog: a front end must tell a write whose history
    // is missing from one fully recorded.
    struct LogOutcome {
        bool recordStored = true;
        bool statusStored = true;
    } LastLog;

    // Whether the last connect (or ReadEeprom since) could read the EEPROM configuration, and
    // whether the last connect could read the user-area record: a write built on a part that
    // was not read would program the zeros in its place.
    bool EepromWasRead = false;
    // The provider's answer to the last EEPROM read: FT_EEPROM_NOT_PROGRAMMED is an image whose
    // checksum is wrong (a write cut off halfway, or a blank part).
    d2xx::FT_STATUS EepromReadStatus = d2xx::FT_OK;
    bool UserAreaWasRead = false;
    // The USB serial number as the chip holds it at the last EEPROM read, whole (the library's
    // buffer may hold only its first 15 characters); programming it unchanged keeps it.
    std::string EepromSerial;
    // Why the USB configuration of this converter's chip is not held (an FT232R's and any but
    // chip types 0 and 9), for messages; empty when it is. The record, backups and restores
    // work on every chip that is written.
    std::string UnheldConfiguration() const;

    BOOL Connected = FALSE;
    std::string ProfilePath;
    std::string SettingsFileProblem;
    std::vector<std::string> SettingsFileMissingKeys;
    // Every write to the converter is backed up first (records/Backup.h); a path here names a
    // backup that already covers the coming writes, so they take none of their own.
    std::string HeldBackup;
    std::string LastBackup;         // the backup the last write took
    std::uint32_t LogFailures = 0;  // records that could not be appended to the log
    // The fields the last write's read-back found different ("ProductId, SerialNumber"); empty
    // when it matched or was not read back.
    std::vector<std::string> LastDiffering;
    // "No USB device found." names its cause (busy, not the one named) in the box itself; the
    // command line prints the cause on a line of its own instead.
    bool CauseInNotFoundBox = false;

private:
    void ShowUnknownDeviceMessage();
    d2xx::FT_STATUS ProgramKeepingRecord();
    // GetUsbSettings without the pointer checks; report: the unknown-device message.
    void FillUsbSettings(d2xx::FT_PROGRAM_DATA& data, bool report);
    bool UpdateStatusEntries(const records::StationInfo& station); // false: not all stored
    bool StoreStatusEntries(const DeviceData& data, const records::StationInfo& station);
    void PrepareProfileFolder(); // a fresh account has no configuration folder yet
    std::string LogSection(BOOL deviceData); // the section of a record, as the log has it

    std::unique_ptr<UpdateWorker> m_pUpdateWorker;
};

// Default production log, in stored (Windows) form.
inline constexpr const char* kDefaultLogPath = "C:\\LOG\\fertigung.log";
