// Backups are files that anyone with the folder can edit: any content must parse or be refused
// with a reason, and what parses must come back the same through a fresh backup text.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "platform/Sha256.h"
#include "records/Backup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    // A digest nobody can forge would stop the fuzzer at the door; half the inputs carry a
    // true one, so the checks behind it are reached.
    if (data[0] & 1) {
        const std::string digest = platform::Sha256Hex(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        text += "[Digest]\r\nSHA256=" + digest + "\r\n";
    }
    records::ConverterSnapshot parsed;
    std::string error;
    if (!records::ParseBackup(text, parsed, error)) {
        if (error.empty())
            std::abort(); // a refusal must say why
        return 0;
    }
    records::ConverterSnapshot again;
    if (!records::ParseBackup(records::FormatBackup(parsed, 0), again, error) || !again.digested ||
        again.image != parsed.image || again.strings != parsed.strings || again.words != parsed.words ||
        again.userArea != parsed.userArea || again.chipType != parsed.chipType ||
        again.location != parsed.location)
        std::abort();
    return 0;
}
