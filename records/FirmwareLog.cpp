#include "records/FirmwareLog.h"

#include "platform/File.h"
#include "platform/LastError.h"
#include "platform/Sha256.h"
#include "platform/System.h"
#include "platform/TextNumber.h"
#include "records/MyCrvUsbDevice.h"

namespace records {

KeyValues FirmwareSectionValues(const std::string& path, std::int32_t family, std::int32_t result,
                                const DeviceData& display, const CheckedFirmware* checked)
{
    char type[8];
    std::snprintf(type, sizeof type, "0x%02x", static_cast<unsigned>(display.DeviceCode & 0xFF));
    std::string size = "-1";
    std::string sha256;
    if (checked != nullptr && checked->size > 0) {
        // The bytes the run sent, not what the file holds by now.
        size = std::to_string(checked->size);
        sha256 = checked->sha256;
    } else {
        const std::string local = platform::MapPath(path);
        platform::FileStatus status = platform::FileStatus::Ok;
        const platform::File file = platform::File::Open(local, platform::FileAccess::Read, status);
        if (std::uint64_t bytes = 0; file.IsOpen() && file.Size(bytes)) {
            size = std::to_string(bytes);
            sha256 = platform::Sha256HexOfFile(local);
        }
    }
    return {{"Type", type},
            {"SerialNumber", FormatSerialNumber(display)},
            {"File", platform::PathFindFileName(path)},
            {"Size", size},
            {"SHA256", sha256},
            {"Family", std::to_string(family)},
            {"Result", std::to_string(result)}};
}

std::string FormatFirmwareRecord(const StationInfo& station, const KeyValues& values)
{
    // The lead-in of the other records with this record's kind line.
    std::string header = FormatLogHeader(station, false);
    const std::string kind = "*** USB data flashed\r\n";
    header.replace(header.rfind(kind), kind.size(), "*** Firmware updated\r\n");
    return header + FormatSection("Firmware", values);
}

BOOL LogFirmwareUpdate(CMyCrvUsbDevice& device, bool always)
{
    char asked[16] = {};
    device.ReadProfileSetting("Settings", "LogFirmware", "0", asked, sizeof asked);
    if (!always && platform::LeadingDecimal(asked) != 1)
        return TRUE;
    UpdateWorker& worker = device.Worker();
    DeviceData display;
    try {
        device.GetDeviceData(display);
    } catch (const platform::CommandError&) {
        DecodeSerialNumber(device.UserAreaImage, display);
    }
    const std::string record = FormatFirmwareRecord(
        CurrentStationInfo(),
        FirmwareSectionValues(worker.m_szFirmwarePath.data(), worker.m_nFamily,
                              worker.m_nResult.load(), display, &worker.m_checked));
    return device.AppendLogRecord(record, "Please note the firmware update by hand.");
}

} // namespace records
