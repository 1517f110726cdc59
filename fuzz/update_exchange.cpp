// The update's side of the boot-loader exchange with arbitrary answers: the banner, the
// replies to the requests and the verdicts come from the input, one chunk after each thing
// the host writes, some of them writes late. The run must end with a known result, and never
// with success unless a byte came for every record and one more after them.
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "firmware/UpdateWorker.h"
#include "link/CrvUsbDevice.h"
#include "platform/Clock.h"
#include "sim/d2xx/KestruneSim.h"

namespace {

platform::VirtualClock g_clock;

std::uint32_t Now() { return platform::GetTickCount(); }

// Input: a family byte, then chunks of a head byte and up to 63 bytes: the head's low six bits
// are the length, its top two bits how many writes later the chunk comes (late verdicts).
class Chunks {
public:
    Chunks(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Next(const std::uint8_t*& bytes, std::uint32_t& n, std::uint32_t& delay) {
        if (at_ >= size_) {
            return false;
        }
        n = data_[at_] & 0x3Fu;
        delay = data_[at_] >> 6;
        ++at_;
        if (n > size_ - at_) {
            n = static_cast<std::uint32_t>(size_ - at_);
        }
        bytes = data_ + at_;
        at_ += n;
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 1;
};

class AnsweringDevice : public CCrvUsbDevice {
public:
    sim::SimControl* control = nullptr;
    Chunks* chunks = nullptr;
    std::uint32_t records = 0;         // record lines written
    std::uint32_t answeredRecords = 0; // bytes that came after the first record line

    struct Late {
        std::uint32_t writesLeft;
        const std::uint8_t* bytes;
        std::uint32_t n;
    };
    std::deque<Late> late;

    void Reset() {
        records = 0;
        answeredRecords = 0;
        late.clear();
    }
    void Inject(const std::uint8_t* bytes, std::uint32_t n) {
        if (n == 0) {
            return;
        }
        control->InjectFromDisplay(bytes, n);
        if (records > 0) {
            answeredRecords += n;
        }
    }
    // One chunk for this write, and the late ones now due.
    void Answer() {
        for (auto it = late.begin(); it != late.end();) {
            if (--it->writesLeft == 0) {
                Inject(it->bytes, it->n);
                it = late.erase(it);
            } else {
                ++it;
            }
        }
        const std::uint8_t* bytes = nullptr;
        std::uint32_t n = 0;
        std::uint32_t delay = 0;
        if (chunks != nullptr && chunks->Next(bytes, n, delay)) {
            if (delay == 0) {
                Inject(bytes, n);
            } else {
                late.push_back({delay, bytes, n});
            }
        }
    }
    BOOL WriteBuffer(std::span<const std::uint8_t> data) override {
        const BOOL ok = CCrvUsbDevice::WriteBuffer(data);
        if (!data.empty() && data[0] == ':') {
            ++records;
        }
        Answer();
        return ok;
    }
};

// The banner comes when the operator is asked to reset (the start purges what came before).
class BannerSink : public platform::UpdateSink {
public:
    AnsweringDevice* device = nullptr;
    void ShowStatusText(const std::string& text) override {
        if (text == "Please reset the device to start the firmware update procedure") {
            device->Answer();
        }
    }
    void CreateProgressBar() override {}
    void SetProgressPos(int) override {}
    void DestroyProgressBar() override {}
    void PostUpdateFinished() override {}
};

struct Bench {
    std::unique_ptr<sim::SimControl> control;
    std::unique_ptr<AnsweringDevice> device;
    std::string dir;

    Bench() {
        char pattern[] = "/tmp/kestrune-fuzz-update-XXXXXX";
        dir = mkdtemp(pattern);
        const std::string ini = dir + "/sim.ini";
        // Nobody answers but the input: a silent display and a boot loader that never speaks.
        std::ofstream(ini) << "[Display]\nResponds=0\n[Link]\nLatencyTimerMs=0\n[State]\nFolder=\n"
                              "[BootLoader]\nResetAfterMs=-1\nWakeUp=0\n";
        const std::string image = ":020000040000FA\n:0400000001020304F2\n:0400040005060708DE\n:00000001FF\n";
        std::ofstream(dir + "/heron-f.hex") << image;
        std::ofstream(dir + "/kv-f.hex") << image;
        setenv("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY, 1);
        setenv("KESTRUNE_SIM", ini.c_str(), 1);
        setenv("KESTRUNE_REGISTRY", (dir + "/none.reg").c_str(), 1);
        platform::SetClock(&g_clock);
        control = std::make_unique<sim::SimControl>(KESTRUNE_SIM_LIBRARY);
        control->SetTimeSource(&Now);
        device = std::make_unique<AnsweringDevice>();
        device->control = control.get();
    }
};

bool Known(std::int32_t result) {
    return result == 0 || result == -1 || result == -2 || result == -3 || result == -4 || result == -33 || result == -34 ||
           (result >= 1 && result <= 255);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Bench bench;
    if (size == 0) {
        return 0;
    }
    bench.device->ClosePort();
    bench.control->Reset();
    if (!bench.device->OpenPort("USB")) {
        std::abort();
    }
    Chunks chunks(data, size);
    bench.device->chunks = &chunks;
    bench.device->Reset();
    BannerSink sink;
    sink.device = bench.device.get();
    const bool kv = (data[0] & 1) != 0;
    const std::string path = bench.dir + (kv ? "/kv-f.hex" : "/heron-f.hex");
    // No latency timer: what was answered is in the host queue at once, so it can be counted.
    const std::int32_t result = UpdateFirmware(*bench.device, path, &sink, kv ? FamilyKv : FamilyHeron, false);
    bench.device->chunks = nullptr;
    // Success needs a verdict for every record and then the final answer.
    const bool answeredAll = bench.device->answeredRecords > bench.device->records;
    if (!Known(result) || result == -1 || (result == 0 && !answeredAll)) {
        std::abort();
    }
    return 0;
}
