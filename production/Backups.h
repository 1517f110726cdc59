#pragma once
// The converter backups taken before every write, and putting one back.
#include <map>
#include <string>
#include <vector>

#include "records/Backup.h"

class CMyCrvUsbDevice;

namespace production {

// Every backup, those of the converter listed as converterSerial first (oldest first), then the
// others by converter. An empty serial keeps ListBackups' order.
std::vector<records::BackupEntry> BackupsFor(const std::string& converterSerial);

enum class RestoreCheck {
    Ok,
    NoDisplay,      // the converter cannot be opened
    Unreadable,     // what it holds cannot be read (error says why)
    OtherConverter, // the backup was taken from another converter
};

// Before a restore: reads the open converter whole (the raw words too, so that a converter left
// half-written can still be compared) into present, and holds the backup to the converter it
// was taken from unless otherConverter.
RestoreCheck CheckRestore(CMyCrvUsbDevice& device, const records::ConverterSnapshot& backup, bool otherConverter,
                          records::ConverterSnapshot& present, std::string& error);

// What a restore would write, field by field: the four strings as they are and will be, and
// how many EEPROM words and record bytes differ ("as read" when none).
struct RestoreChanges {
    std::map<std::string, std::string> was, will;
};
RestoreChanges ChangesOfRestore(const records::ConverterSnapshot& present, const records::ConverterSnapshot& backup);

} // namespace production
