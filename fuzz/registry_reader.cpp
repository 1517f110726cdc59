#include "platform/Registry.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto key = platform::RegistryKey::FromText(text, "SOFTWARE\\ZKM\\CORVINA");
    if (!key)
        return 0;
    // Query the way the settings loader does, with buffers that are too small too.
    for (const char* name : {"LoggingMode", "BaudRate", "ReadUserAreaMethod", ""}) {
        std::uint8_t buffer[32] = {};
        for (std::uint32_t capacity : {0u, 2u, 32u}) {
            std::uint32_t size = capacity;
            std::uint32_t type = platform::REG_BINARY;
            key->QueryValue(name, &type, buffer, &size);
        }
    }
    return 0;
}
