// Profile files as stations write them: 8-bit, UTF-16 with a byte-order mark, any mix of CR,
// LF and CR LF. The first input byte picks the form the rest is put into.
#include "platform/Profile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::string Shaped(const std::uint8_t* data, std::size_t size)
{
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string out;
    switch (data[0] % 4) {
    case 0:
        return rest;
    case 1: // UTF-16LE from the bytes as code units, odd lengths included
        return "\xFF\xFE" + rest;
    case 2: // UTF-16LE widened from 8-bit text, so that its lines and sections parse
        out = "\xFF\xFE";
        for (char c : rest) {
            out += c;
            out += '\0';
        }
        return out;
    default: // line ends of every kind: each byte below 4 becomes one
        for (char c : rest) {
            static const char* const kEnds[] = {"\r", "\n", "\r\n", "\n\r"};
            if (static_cast<unsigned char>(c) < 4)
                out += kEnds[static_cast<unsigned char>(c)];
            else
                out += c;
        }
        return out;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string text = Shaped(data, size);
    platform::ProfileDocument doc = platform::ProfileDocument::Parse(text);
    doc.Get("Device", "Type");
    doc.GetLatest("USB", "SerialNumber");
    doc.Set("Device", "Type", "0x5f");
    doc.Set("Status", "Device", "Device95Status");
    // Whatever the input, a written key reads back as written.
    if (doc.Get("Device", "Type") != "0x5f" || !doc.HasSection("Device"))
        std::abort();
    doc.DeleteKey("USB", "VendorId");
    doc.DeleteSection("Status");
    if (doc.Get("Status", "Device").has_value())
        std::abort();
    const std::string written = doc.Text();
    // A UTF-16 file stays one.
    if ((text.rfind("\xFF\xFE", 0) == 0) != (written.rfind("\xFF\xFE", 0) == 0))
        std::abort();
    // Rewriting is stable: parsing what was written changes nothing.
    const platform::ProfileDocument again = platform::ProfileDocument::Parse(written);
    if (again.Text() != written || again.Get("Device", "Type") != "0x5f")
        std::abort();
    return 0;
}
