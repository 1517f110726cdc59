// Flashes a 64 KiB image into the simulated display over a paced link and compares the run
// with what the line itself costs, for 16-, 32- and 64-byte records (or the sizes named on the
// command line), with the latency timer at 2 ms for the run and left at 16 ms, over both paths
// to the converter: the simulator's D2XX library, and our libftdi1 provider through
// Debian's libftdi1 onto the simulated USB bus. Each run is a child process of this program,
// since the simulated bus must be in place before the program starts (LD_LIBRARY_PATH).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/SampleFirmware.h"

#include "bench/ProcessCpu.h"
#include "firmware/UpdateWorker.h"
#include "link/CrvUsbDevice.h"
#include "platform/SimulationSwitch.h"

#ifdef KESTRUNE_SIM_LIBRARY
namespace {

constexpr std::size_t kImageSize = 64 * 1024;
constexpr double kBaud = 115200.0;

double CpuSeconds() {
    return bench::ProcessCpuMs() / 1000.0;
}

struct Figures {
    int result = -99;
    int flashMatches = 0;
    double wall = 0;
    double cpu = 0;
};

std::string HexPath(const std::string& dir, std::size_t recordBytes) {
    return dir + "/kv-bench-" + std::to_string(recordBytes) + ".hex";
}

// Child: one flash over whatever provider the environment names.
int FlashOnce(const std::string& dir, bool tuning, std::size_t recordBytes) {
    const std::string hexPath = HexPath(dir, recordBytes);
    const std::string flashPath = dir + "/flash.bin";
    const std::vector<std::uint8_t> image = tools::SampleFirmwareData(kImageSize);
    std::filesystem::remove(flashPath);
    Figures f;
    {
        CCrvUsbDevice device;
        if (device.OpenPort("USB") == FALSE) {
            std::fprintf(stderr, "the simulated converter does not open\n");
            return 1;
        }
        const double cpu0 = CpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        f.result = UpdateFirmware(device, hexPath, nullptr, FamilyKv, tuning);
        f.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // The whole process: the simulated converter runs inside it.
        f.cpu = CpuSeconds() - cpu0;
        device.ClosePort();
    }
    std::ifstream in(flashPath, std::ios::binary);
    const std::vector<std::uint8_t> flash{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    f.flashMatches = flash == image ? 1 : 0;
    std::printf("%d %d %.6f %.6f\n", f.result, f.flashMatches, f.wall, f.cpu);
    return 0;
}

// Child: a read that waits two seconds for bytes that never come.
int ReadWait() {
    CCrvUsbDevice device;
    if (device.OpenPort("USB") == FALSE)
        return 1;
    d2xx::FTTIMEOUTS timeouts{0, 0, 2000, 100, 1};
    device.Library().W32_SetCommTimeouts(device.DeviceHandle(), &timeouts);
    std::uint8_t buffer[16];
    d2xx::DWORD got = 0;
    const double cpu0 = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    device.Library().W32_ReadFile(device.DeviceHandle(), buffer, sizeof buffer, &got);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpu0;
    device.ClosePort();
    std::printf("%d 1 %.6f %.6f\n", static_cast<int>(got), wall, cpu);
    return 0;
}

struct Path {
    const char* title;
    std::string provider;
    std::string libraryPath; // for the simulated USB bus
};

Figures RunChild(const Path& path, const std::string& what) {
    setenv("KESTRUNE_D2XX", path.provider.c_str(), 1);
    if (path.libraryPath.empty())
        unsetenv("LD_LIBRARY_PATH");
    else
        setenv("LD_LIBRARY_PATH", path.libraryPath.c_str(), 1);
    const std::string command = "'" + platform::ExecutableFolder() + "/bench_firmware_update' " + what;
    Figures f;
    if (FILE* child = popen(command.c_str(), "r")) {
        if (std::fscanf(child, "%d %d %lf %lf", &f.result, &f.flashMatches, &f.wall, &f.cpu) != 4)
            f.result = -99;
        pclose(child);
    }
    return f;
}

struct Floor {
    std::size_t lines = 0;
    double seconds = 0;
};

// The pauses family 0's start procedure takes whatever the line: the DTR pulse (100 ms low,
// 100 ms high) and the wait after the load request. No run can come closer to the line floor.
constexpr double kSetPausesSeconds = 0.4;

// Every byte each way, 10 bits at the line rate: family 0 sends each record with two LFs.
Floor LineRateFloor(const std::string& text) {
    Floor f;
    std::size_t sent = 2 + 3 + 3; // wake-up, erase, load
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = text.find("\r\n", pos);
        sent += end - pos + 2;
        ++f.lines;
        pos = end + 2;
    }
    const std::size_t received = 1 + 4 + 4 + f.lines + 4; // replies, one verdict a line, final
    f.seconds = static_cast<double>(sent + received) * 10.0 / kBaud;
    return f;
}

void PrintRow(std::size_t recordBytes, const char* latency, const Figures& f, double floor) {
    std::printf("  %4zu B   %-6s %6d   %-7s %8.3f %8.3f %8.3f %7.1f %%\n", recordBytes, latency, f.result,
                f.flashMatches ? "equal" : "DIFFERS", f.wall, f.wall / floor, f.wall / (floor + kSetPausesSeconds),
                f.wall > 0 ? 100.0 * f.cpu / f.wall : 0.0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--flash") == 0)
        return FlashOnce(std::getenv("KESTRUNE_BENCH_DIR"), std::strcmp(argv[2], "tuned") == 0,
                         std::strtoul(argv[3], nullptr, 10));
    if (argc == 2 && std::strcmp(argv[1], "--read-wait") == 0)
        return ReadWait();

    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) {
        const unsigned long n = std::strtoul(argv[i], nullptr, 10);
        if (n < 1 || n > 255) {
            std::fprintf(stderr, "usage: bench_firmware_update [record bytes 1..255]...\n");
            return 2;
        }
        sizes.push_back(n);
    }
    if (sizes.empty())
        sizes = {16, 32, 64};

    char pattern[] = "/tmp/kestrune-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return 1;
    }
    const std::string dir = pattern;
    const std::string ini = dir + "/sim.ini";
    const std::vector<std::uint8_t> image = tools::SampleFirmwareData(kImageSize);
    std::ofstream(ini, std::ios::binary) << "[Link]\r\nPace=1\r\nLatencyTimerMs=16\r\n[State]\r\nFolder=" << dir << "\r\n";
    setenv("KESTRUNE_SIM", ini.c_str(), 1);
    setenv("KESTRUNE_BENCH_DIR", dir.c_str(), 1);

    std::printf("64 KiB image, 115200 baud, paced link, converter latency timer 16 ms unless the run sets 2 ms\n");
    std::printf("floor: every byte both ways at the line rate; /+pause: against the floor plus the %.1f s the start procedure always waits\n",
                kSetPausesSeconds);
    std::printf("  record   lines   floor s\n");
    std::vector<Floor> floors;
    for (const std::size_t size : sizes) {
        const std::string text = tools::IntelHexText(image, size);
        std::ofstream(HexPath(dir, size), std::ios::binary) << text;
        floors.push_back(LineRateFloor(text));
        std::printf("  %4zu B  %6zu  %8.3f\n", size, floors.back().lines, floors.back().seconds);
    }

    std::vector<Path> paths = {{"the simulator's D2XX library", KESTRUNE_SIM_LIBRARY, ""}};
#if defined(KESTRUNE_FTDI_PROVIDER) && defined(KESTRUNE_USBSIM_DIR)
    paths.push_back({"libkestrune-ftdi.so over libftdi1 and the simulated USB bus", KESTRUNE_FTDI_PROVIDER,
                     KESTRUNE_USBSIM_DIR});
#endif
    bool ok = true;
    for (const Path& path : paths) {
        std::printf("%s:\n", path.title);
        std::printf("  record   latency result   flash     wall s   /floor  /+pause     CPU\n");
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const std::string size = " " + std::to_string(sizes[i]);
            const Figures tuned = RunChild(path, "--flash tuned" + size);
            PrintRow(sizes[i], "2 ms", tuned, floors[i].seconds);
            const Figures plain = RunChild(path, "--flash plain" + size);
            PrintRow(sizes[i], "16 ms", plain, floors[i].seconds);
            std::fflush(stdout);
            ok = ok && tuned.result == 0 && plain.result == 0 && tuned.flashMatches && plain.flashMatches;
        }
        const Figures wait = RunChild(path, "--read-wait");
        if (wait.wall < 0.5)
            std::printf("  a read with a 2 s time-out and nothing to read returns at once (this library does not wait)\n");
        else
            std::printf("  a read waiting %.3f s for bytes that never come: CPU %.3f s = %.2f %% of a core\n", wait.wall,
                        wait.cpu, 100.0 * wait.cpu / wait.wall);
    }
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
#else
int main() {
    std::fprintf(stderr, "built without the simulator library\n");
    return 1;
}
#endif
