#pragma once
// Shared helpers of the records tests: a fixed time zone, and the scratch folder every area uses.
#include <ctime>
#include <optional>
#include <utility>

#include "support/TempDir.h"

namespace records_test {

// Central European time with its daylight saving rule, needing no zone files.
inline constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz = kCentralEurope) : tz_(std::in_place, "TZ", tz) { tzset(); }
    ~ScopedTimeZone()
    {
        tz_.reset();
        tzset();
    }

private:
    std::optional<ScopedEnv> tz_;
};

} // namespace records_test
