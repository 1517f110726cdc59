#pragma once
// The application's device object: the USB link plus the EEPROM image, the identification
// record, the profile store, the settings files, the production log and the update worker.
#include <memory>
#include <string>

#include "firmware/UpdateWorker.h"
#include "link/CrvUsbDevice.h"
#include "records/DeviceData.h"

class CMyCrvUsbDevice : public CCrvUsbDevice {
public:
    CMyCrvUsbDevice();  // also creates the UpdateWorker; ProfilePath = platform::ProfileStorePath()
    ~CMyCrvUsbDevice() override;

    // Connect and probe (reportNotFound: the "No USB device found." box and status text).
    BOOL ConnectDevice(BOOL reportNotFound);
    BOOL CheckConnection();
    void Disconnect();

    // EEPROM configuration.
    BOOL ReadEeprom();
    BOOL ProgramEeprom();
    BOOL GetUsbSettings(d2xx::FT_PROGRAM_DATA* data);
    BOOL SetUsbSettings(const d2xx::FT_PROGRAM_DATA* data);

    // The identification record.
    BOOL GetDeviceData(DeviceData& data);      // may throw platform::CommandError
    BOOL SetDeviceData(const DeviceData& data);
    BOOL WriteUserArea();
    BOOL FormatIdentityLine(std::string& text);

    // Settings files.
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

    // Production log and serial numbers.
    BOOL WriteProductionLog(BOOL deviceData);
    BOOL WriteLogHeader(const char* path, BOOL deviceData);
    BOOL AppendFileToLog(const char* logPath, const char* sourcePath);
    std::int32_t GenerateSerialNumber();

    UpdateWorker& Worker() { return *m_pUpdateWorker; }

    BOOL Connected = FALSE;
    std::string ProfilePath;

private:
    std::unique_ptr<UpdateWorker> m_pUpdateWorker;
};

// The one device object of the program (defined in TheDevice.cpp; front ends only).
extern CMyCrvUsbDevice theDevice;
