// Settings files come from other stations and from hand edits: any content must load or be
// refused with the command error, never crash.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "platform/LastError.h"
#include "platform/System.h"
#include "records/MyCrvUsbDevice.h"

namespace {

std::string ScratchFile()
{
    return platform::GetTempPath() + "kestrune-fuzz-settings-" + std::to_string(getpid()) + ".bin";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = ScratchFile();
    static CMyCrvUsbDevice device;
    device.ChipType = size > 0 && (data[0] & 1) ? d2xx::FT_DEVICE_BM : d2xx::FT_DEVICE_X_SERIES;
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    try {
        device.LoadSettingsFile(path.c_str());
    } catch (const platform::CommandError&) {
    }
    DeviceData record;
    device.GetDeviceData(record);
    return 0;
}
