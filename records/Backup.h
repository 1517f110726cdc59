#pragma once
// Copies of what a converter held, taken before every write to it, and the check after the
// write that the converter now holds what was written.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/UserArea.h"

class CMyCrvUsbDevice;

namespace records {

// The converter as read: the configuration image with its four strings, the raw EEPROM words
// and the identification record.
struct ConverterSnapshot {
    std::string converterSerial; // as the converter is listed
    std::string location;        // its D2XX location ID, "0x00001011"; empty when not known
    std::uint32_t chipType = 0;
    std::vector<std::uint8_t> image; // FT_EEPROM_Read's structure; empty for an unknown chip
    std::array<std::string, 4> strings; // Manufacturer, ManufacturerId, Description, SerialNumber
    std::vector<std::uint16_t> words;   // FT_ReadEE from word 0
    UserAreaImageBuffer userArea{};
    bool digested = false;              // a parsed backup carried a digest that matched
};

// No backup comes near this; a larger file is no backup.
constexpr std::size_t kMaxBackupSize = 1u << 20;

// A converter's serial number as a backup stores it: control characters become '_', so that
// whatever the chip holds stays one line of the file.
std::string StoredSerial(std::string serial);

// Words a backup reads: the configuration and the user area of the chip type.
std::uint32_t BackupWordCount(std::uint32_t chipType);

// Why the serial number a converter is listed by says nothing about which converter it is
// (none listed, other than printable ASCII, or words that fail the chip's checksum: a write
// cut off, which may have moved or garbled the serial string); empty when it can be trusted.
std::string UntrustedSerial(const ConverterSnapshot& present);

// Words that fail the chip's checksum: an image a write left half done, not another converter's.
bool ImageCutOff(const ConverterSnapshot& present);

// The USB serial number the chip's words hold when `listed`, as the library handed it out, may
// be the first 15 characters of a longer one; otherwise `listed` itself.
std::string WholeUsbSerial(CMyCrvUsbDevice& device, const std::string& listed);

// Reads everything from the open converter, leaving the device object's images as they are.
// withWords: also the raw words. error: what could not be read.
bool ReadConverter(CMyCrvUsbDevice& device, ConverterSnapshot& out, bool withWords,
                   std::string& error);

// The backup file's text (private-profile form, CR LF): [Backup], [Device], [USB], [Raw], and
// last [Digest], the SHA-256 of every byte before it.
std::string FormatBackup(const ConverterSnapshot& snapshot, std::int64_t utcTime);
// false, with the reason, for a text that is no whole backup or must not be written: a digest
// that does not match, [Raw] words that fail the chip's checksum or do not give its image,
// strings and record, [USB] or [Device] values that differ from [Raw], or values a normal write
// refuses (an ID of 0, strings other than printable ASCII). A backup without a digest (written
// before there was one) passes on the other checks; digested then stays false.
bool ParseBackup(std::string_view text, ConverterSnapshot& out, std::string& error);
// ParseBackup of a file: a regular file of at most kMaxBackupSize, opened without blocking,
// not through a symbolic link.
bool ReadBackupFile(const std::string& path, ConverterSnapshot& out, std::string& error);

// $XDG_DATA_HOME/kestrune/backups
std::string BackupFolder();
// "20261207T104512Z" of a time.
std::string BackupTimeName(std::int64_t utcTime);
// Writes the backup under BackupFolder()/<converter serial>/<UTC time>.ini, never over another
// (a second one in the same second gets "-2" and so on), through a temporary file and fsync.
// The path, or nullopt with the reason.
std::optional<std::string> SaveBackup(const ConverterSnapshot& snapshot, std::int64_t utcTime,
                                      std::string& error);

struct BackupEntry {
    std::string converter;
    std::string name; // file name without .ini
    std::string path;
};
// Every backup, by converter, oldest first.
std::vector<BackupEntry> ListBackups();

// The names of the fields that differ, in file order ("ProductId", "SerialNumber", ...).
std::vector<std::string> DifferingUsbFields(const ConverterSnapshot& written,
                                            const ConverterSnapshot& readBack);
std::vector<std::string> DifferingRecordFields(const UserAreaImageBuffer& written,
                                               const UserAreaImageBuffer& readBack);

// The write hooks of the device object. Before a write: a backup (unless device.HeldBackup
// names one that covers this write) and the record as it was; false, after a message of our
// own, when no backup could be made: then nothing may be written.
bool PrepareWrite(CMyCrvUsbDevice& device, ConverterSnapshot& before);
// After a successful write: read back and compare; false, after a message naming the fields,
// on any difference or when it cannot be read back, with notVerified saying which for the log.
// The device object then holds what was read back; differing: the fields' names (empty when
// it matched or could not be read back).
bool VerifyEepromWrite(CMyCrvUsbDevice& device, const ConverterSnapshot& before, std::string& notVerified,
                       std::vector<std::string>& differing);
bool VerifyUserAreaWrite(CMyCrvUsbDevice& device, const UserAreaImageBuffer& written,
                         std::string& notVerified, std::vector<std::string>& differing);

// Writes a backup back byte for byte: the configuration through the library (which keeps the
// ManufacturerId), then every EEPROM word the backup holds, then all of them read back; false,
// naming the words that differ, when the converter does not hold the backup. Logged as a USB and
// a device record. Refuses (false, reason) another chip type, and another X-series chip's
// factory words, before anything is written.
bool RestoreBackup(CMyCrvUsbDevice& device, const ConverterSnapshot& backup, std::string& error);

} // namespace records
