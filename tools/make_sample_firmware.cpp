// Writes our sample firmware file: make_sample_firmware [--size BYTES] [FILE]
// (FILE as the family wants it named, e.g. heron-100.hex; default size 4096 bytes).
// Installed as kestrune-sample-firmware, so messages name the program as it was called.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/SampleFirmware.h"

int main(int argc, char** argv)
{
    const char* slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
    const char* name = slash ? slash + 1 : argc > 0 ? argv[0] : "make_sample_firmware";
    const std::string usage = std::string("usage: ") + name + " [--size BYTES] [FILE]\n";
    std::size_t size = 4096;
    std::string file;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("%s"
                        "Writes a sample Intel HEX firmware file for the simulated display.\n"
                        "  FILE          named as the family wants it (default heron-100.hex)\n"
                        "  --size BYTES  firmware data, 1 to 1048576 bytes (default 4096)\n",
                        usage.c_str());
            return 0;
        }
        if (arg == "--version") {
            std::printf("%s " KESTRUNE_VERSION "\n", name);
            return 0;
        }
        if (arg == "--size" && i + 1 < argc) {
            char* end = nullptr;
            unsigned long value = std::strtoul(argv[++i], &end, 0);
            if (*end != '\0' || value == 0 || value > 0x100000) {
                std::fprintf(stderr, "%s: --size needs 1 to 1048576 bytes\n", name);
                return 2;
            }
            size = value;
        } else if (file.empty() && !arg.empty() && arg[0] != '-') {
            file = arg;
        } else {
            std::fputs(usage.c_str(), stderr);
            return 2;
        }
    }
    if (file.empty()) file = "heron-100.hex";
    const std::string text = tools::IntelHexText(tools::SampleFirmwareData(size));
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (!out || std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fclose(out) != 0) {
        std::perror(file.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes of firmware data\n", file.c_str(), size);
    return 0;
}
