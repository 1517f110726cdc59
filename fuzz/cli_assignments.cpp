// KEY=VALUE arguments of "eeprom program" and "record program", as a script passes them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/KeyValues.h"
#include "platform/LastError.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    UsbSettingsFields usb;
    const cli::AssignResult u = cli::ApplyUsbAssignment(usb, text);
    DeviceSettingsFields device;
    try {
        const cli::AssignResult d = cli::ApplyDeviceAssignment(device, text);
        // Every refusal says what was refused.
        if (d.status != cli::AssignStatus::Ok && d.message.empty())
            std::abort();
    } catch (const platform::CommandError&) {
    }
    if (u.status != cli::AssignStatus::Ok && u.message.empty())
        std::abort();
    std::int64_t time = 0;
    cli::ParseShortDate(text, time);
    return 0;
}
