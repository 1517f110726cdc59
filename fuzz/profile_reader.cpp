#include "platform/Profile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    platform::ProfileDocument doc = platform::ProfileDocument::Parse(text);
    doc.Get("Device", "Type");
    doc.Get("USB", "SerialNumber");
    doc.Set("Device", "Type", "0x5f");
    doc.Set("Status", "Device", "Device95Status");
    // Whatever the input, a written key reads back as written.
    if (doc.Get("Device", "Type") != "0x5f")
        std::abort();
    doc.DeleteKey("USB", "VendorId");
    doc.DeleteSection("Status");
    if (doc.Get("Status", "Device").has_value())
        std::abort();
    const std::string written = doc.Text();
    // Rewriting is stable: parsing what was written changes nothing.
    if (platform::ProfileDocument::Parse(written).Text() != written)
        std::abort();
    return 0;
}
