// Arbitrary firmware files: cut into pieces as the update reads them, prepared for sending and
// fed to the simulated boot loader, which must answer one verdict a record and keep its flash
// inside its bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "firmware/Firmware.h"
#include "fuzz/InputFile.h"
#include "sim/BootLoader.h"

namespace {

bool IsVerdict(std::uint8_t c) {
    return c == 'G' || c == 'H' || c == 'L' || c == 'S' || c == 'R' || c == 'A';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const InputFile input(data, size);
    if (!input.Ok()) {
        return 0;
    }
    sim::BootLoaderConfig config;
    config.flashSize = 0x2000;
    sim::BootLoader loader(config);
    std::vector<std::uint8_t> out;
    loader.Enter(true, 0, out);
    const std::string start = "K\r\nL\r\n";
    loader.Receive({reinterpret_cast<const std::uint8_t*>(start.data()), start.size()}, 0, out);
    out.clear();

    FirmwareTextFile file;
    if (!file.Open(input.Path())) {
        return 0;
    }
    std::string piece;
    while (ReadRecordLine(file, piece)) {
        if (piece.size() > kLineBufferSize - 2) {
            std::abort();
        }
        const auto text = PrepareRecordText(piece, FamilyKv);
        if (!text) {
            continue;
        }
        if (text->front() != ':' || text->size() != piece.size() + 1) {
            std::abort();
        }
        const bool wasDone = loader.Finished();
        loader.Receive({reinterpret_cast<const std::uint8_t*>(text->data()), text->size()}, 0, out);
        // Family 0 ends every text with its own LF, so even a cut line earns one verdict.
        if (!wasDone && (out.empty() || !IsVerdict(out.front()))) {
            std::abort();
        }
        out.clear();
        if (loader.FlashImage().size() > config.flashSize) {
            std::abort();
        }
    }
    file.Close();
    return 0;
}
