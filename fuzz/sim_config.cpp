// The simulator's configuration file: hand-written by testers, so any content must load.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "platform/System.h"
#include "sim/SimConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path =
        platform::GetTempPath() + "kestrune-fuzz-sim-" + std::to_string(getpid()) + ".ini";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    const sim::SimConfig config = sim::LoadSimConfig(path);
    // The values the converter relies on stay in their ranges.
    if (config.count < 1 || config.count > 16 || config.serialNumber.size() > 15)
        __builtin_trap();
    if (config.latencyTimerMs != 0 && (config.latencyTimerMs < 2 || config.latencyTimerMs > 255))
        __builtin_trap();
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::ParseNumber(text);
    sim::FromHex(text);
    return 0;
}
