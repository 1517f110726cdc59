#pragma once
// A records store shared by many stations beside the text log: it reserves the running serial
// numbers and takes a copy of every record the log gets. The front ends install one at start-up
// when the profile names a database; without one the files alone serve, as always.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "records/SerialStore.h"

namespace records {

struct StoreOutcome {
    bool stored = true;  // the store holds the record
    bool kept = false;   // not stored yet, but kept at the station for later delivery
    std::string error;   // why it is not stored, for the operator
};

class RecordsStore {
public:
    virtual ~RecordsStore() = default;
    // One more than the larger of the store's last number for deviceCode and floor; none above
    // maxNumber, and none when the store cannot be reached (error names the cause).
    virtual Reservation ReserveSerial(std::int32_t deviceCode, std::int64_t floor, std::int64_t maxNumber) = 0;
    // record: exactly as the text log got it.
    virtual StoreOutcome AddRecord(const std::string& record) = 0;

    // Converter backups, so that any station can list and restore any converter's: a copy of
    // each one written here (the file stays the backup; a copy that fails is not retried), the
    // stored ones as (converter folder, name), and one's text.
    virtual void AddBackup(const std::string& /*converter*/, const std::string& /*name*/,
                           const std::string& /*content*/) {}
    virtual std::vector<std::pair<std::string, std::string>> StoredBackups() { return {}; }
    virtual std::optional<std::string> FetchBackup(const std::string& /*converter*/, const std::string& /*name*/)
    {
        return std::nullopt;
    }
};

// The store installed for this process, or null.
RecordsStore* CurrentRecordsStore();
// Returns the one it replaces.
RecordsStore* SetRecordsStore(RecordsStore* store);

} // namespace records
