#include "production/Backups.h"

#include <algorithm>

#include "records/MyCrvUsbDevice.h"

namespace production {

std::vector<records::BackupEntry> BackupsFor(const std::string& converterSerial)
{
    std::vector<records::BackupEntry> list = records::ListBackups();
    if (converterSerial.empty()) return list;
    const std::string stored = records::StoredSerial(converterSerial);
    std::stable_partition(list.begin(), list.end(),
                          [&](const records::BackupEntry& b) { return b.converter == stored; });
    return list;
}

RestoreCheck CheckRestore(CMyCrvUsbDevice& device, const records::ConverterSnapshot& backup, bool otherConverter,
                          records::ConverterSnapshot& present, std::string& error)
{
    if (!device.EnsureConnected()) return RestoreCheck::NoDisplay;
    if (!records::ReadConverter(device, present, true, error)) return RestoreCheck::Unreadable;
    if (records::StoredSerial(present.converterSerial) != backup.converterSerial && !otherConverter)
        return RestoreCheck::OtherConverter;
    return RestoreCheck::Ok;
}

RestoreChanges ChangesOfRestore(const records::ConverterSnapshot& present, const records::ConverterSnapshot& backup)
{
    const char* const names[] = {"USB.Manufacturer", "USB.ManufacturerId", "USB.Description", "USB.SerialNumber"};
    RestoreChanges changes;
    for (std::size_t i = 0; i < backup.strings.size(); ++i) {
        changes.was[names[i]] = present.strings[i];
        changes.will[names[i]] = backup.strings[i];
    }
    std::size_t words = 0;
    for (std::size_t i = 0; i < std::max(present.words.size(), backup.words.size()); ++i) {
        if (i >= present.words.size() || i >= backup.words.size() || present.words[i] != backup.words[i]) ++words;
    }
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < backup.userArea.size(); ++i) bytes += present.userArea[i] != backup.userArea[i];
    changes.was["EEPROM words"] = changes.was["Record bytes"] = "as read";
    changes.will["EEPROM words"] = words == 0 ? "as read" : std::to_string(words) + " differ";
    changes.will["Record bytes"] = bytes == 0 ? "as read" : std::to_string(bytes) + " differ";
    return changes;
}

} // namespace production
