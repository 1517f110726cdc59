// Arbitrary firmware files through the whole-file check: it must end, and a file it accepts
// must reach the boot loader as whole record lines only.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "firmware/Firmware.h"
#include "firmware/FirmwareCheck.h"
#include "fuzz/InputFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const InputFile input(data, size);
    if (!input.Ok()) {
        return 0;
    }
    const std::string& path = input.Path();
    const FirmwareContentProblem problem = CheckFirmwareContent(path);
    if (problem.error != 0 && problem.reason.empty()) {
        std::abort();
    }
    if (problem.error == 0) {
        FirmwareTextFile file;
        if (!file.Open(path)) {
            std::abort();
        }
        std::string piece;
        bool sawEnd = false;
        while (ReadRecordLine(file, piece)) {
            const auto text = PrepareRecordText(piece, FamilyHeron);
            if (!text) {
                continue;
            }
            std::uint8_t type = 0xFF;
            const std::string line = text->substr(0, text->size() - 1);
            if (sawEnd || text->back() != '\n' || !CheckRecordText(line, type).empty()) {
                std::abort();
            }
            sawEnd = type == 0x01;
        }
        if (!sawEnd) {
            std::abort();
        }
    }
    return 0;
}
