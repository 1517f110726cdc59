// Flashes a 64 KiB image into the simulated display over a paced link and compares the run
// with what the line itself costs, with and without the shortened latency timer.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/SampleFirmware.h"

#include "firmware/UpdateWorker.h"
#include "link/CrvUsbDevice.h"

#ifdef KESTRUNE_SIM_LIBRARY
namespace {

constexpr std::size_t kImageSize = 64 * 1024;
constexpr double kBaud = 115200.0;


double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures {
    std::int32_t result = 0;
    bool flashMatches = false;
    double wall = 0;
    double cpu = 0;
};

Figures Flash(const std::string& hexPath, const std::string& flashPath,
              const std::vector<std::uint8_t>& image, bool tuning) {
    Figures f;
    std::filesystem::remove(flashPath);
    CCrvUsbDevice device;
    if (device.OpenPort("USB") == FALSE) {
        std::fprintf(stderr, "the simulated converter does not open\n");
        std::exit(1);
    }
    const double cpu0 = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    f.result = UpdateFirmware(device, hexPath, nullptr, FamilyKv, tuning);
    f.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The whole process: the simulated converter runs inside it, on the caller's thread.
    f.cpu = CpuSeconds() - cpu0;
    device.ClosePort();
    std::ifstream in(flashPath, std::ios::binary);
    const std::vector<std::uint8_t> flash{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    f.flashMatches = flash == image;
    return f;
}

void Print(const char* title, const Figures& f, double floor) {
    std::printf("%s\n", title);
    std::printf("  result                 %d, flash.bin %s\n", f.result, f.flashMatches ? "equals the image" : "DIFFERS");
    std::printf("  wall time              %.3f s\n", f.wall);
    std::printf("  line-rate floor        %.3f s\n", floor);
    std::printf("  wall / floor           %.3f\n", f.wall / floor);
    std::printf("  CPU time               %.3f s = %.1f %% of the wall time\n", f.cpu, 100.0 * f.cpu / f.wall);
}

} // namespace

int main() {
    char pattern[] = "/tmp/kestrune-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return 1;
    }
    const std::string dir = pattern;
    const std::string hexPath = dir + "/kv-bench.hex";
    const std::string ini = dir + "/sim.ini";

    const std::vector<std::uint8_t> image = tools::SampleFirmwareData(kImageSize);
    const std::string text = tools::IntelHexText(image);
    std::ofstream(hexPath, std::ios::binary) << text;
    std::ofstream(ini, std::ios::binary) << "[Link]\r\nPace=1\r\nLatencyTimerMs=16\r\n[State]\r\nFolder=" << dir << "\r\n";
    setenv("KESTRUNE_SIM", ini.c_str(), 1);
    setenv("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY, 1);

    // Every byte each way, 10 bits at the line rate: family 0 sends each record with two LFs.
    std::size_t lines = 0;
    std::size_t sent = 2 + 3 + 3; // wake-up, erase, load
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = text.find("\r\n", pos);
        sent += end - pos + 2;
        ++lines;
        pos = end + 2;
    }
    const std::size_t received = 1 + 4 + 4 + lines + 4; // replies, one verdict a line, final
    const double floor = static_cast<double>(sent + received) * 10.0 / kBaud;
    std::printf("64 KiB image, %zu record lines, %zu bytes sent, %zu received, 115200 baud, latency timer 16 ms\n",
                lines, sent, received);

    const Figures tuned = Flash(hexPath, dir + "/flash.bin", image, true);
    Print("with the latency timer at 2 ms for the run:", tuned, floor);
    const Figures plain = Flash(hexPath, dir + "/flash.bin", image, false);
    Print("without the change (16 ms):", plain, floor);
    std::printf("speed-up from the change  %.2f x\n", plain.wall / tuned.wall);

    std::filesystem::remove_all(dir);
    return tuned.result == 0 && plain.result == 0 && tuned.flashMatches && plain.flashMatches ? 0 : 1;
}
#else
int main() {
    std::fprintf(stderr, "built without the simulator library\n");
    return 1;
}
#endif
