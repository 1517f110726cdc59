#pragma once
// Running serial numbers shared by every station: one file, beside the shared log, that holds the
// last number handed out per device code. Each reservation reads, increments and writes it back
// under a lock, so no two stations or processes get the same number.
#include <cstdint>
#include <optional>
#include <string>

namespace records {

// How long a reservation waits for the stations ahead of it.
constexpr std::uint32_t kSerialStoreTimeoutMs = 10000;

struct Reservation {
    std::int64_t number = 0; // > 0 when reserved
    std::string error;       // why not, for the operator
};

// The next running number for deviceCode: one more than the larger of the store's last number
// and floor (the station's own last one, so a store set up late never hands out an old number).
// The store ([Serials] Device<code>=<last>) is replaced atomically; a lock file PATH.lock
// orders the stations. A number above maxNumber is not reserved.
Reservation ReserveSerialNumber(const std::string& path, std::int32_t deviceCode, std::int64_t floor,
                                std::int64_t maxNumber = 65535,
                                std::uint32_t timeoutMs = kSerialStoreTimeoutMs);

} // namespace records
