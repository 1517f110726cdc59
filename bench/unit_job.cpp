// `kestrune-cli unit` without flashing, over the simulated converter with bytes paced at the line
// rate (Pace=1, 16 ms latency timer): its total time against the waits its operations prescribe,
// which are the identity exchange on the line (request and reply bytes at the baud rate, the reply
// handed over at the converter's next latency tick) and, when the record's model differs from the
// display's, the configuration frame and the display's 100 ms before its next frame. Goal: within
// 1.2 x of that sum.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/ProcessCpu.h"
#include "cli/BenchCommands.h"
#include "platform/Ui.h"
#include "records/MyCrvUsbDevice.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary) << text;
}

// Bytes of the frames the display received, from the simulator's frame log.
std::size_t FrameBytes(const fs::path& log)
{
    std::ifstream in(log);
    std::size_t bytes = 0;
    for (std::string line; std::getline(in, line);)
        bytes += static_cast<std::size_t>(std::count_if(line.begin(), line.end(), ::isxdigit)) / 2;
    return bytes;
}

} // namespace

int main(int argc, char** argv)
{
#ifndef KESTRUNE_SIM_LIBRARY
    std::puts("unit: the simulator library is not built");
    return 0;
#else
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const fs::path dir = fs::temp_directory_path() / ("kestrune-bench-unit-" + std::to_string(getpid()));
    for (const char* sub : {"state", "c", "data", "tmp"})
        fs::create_directories(dir / sub);
    Write(dir / "sim.ini", "[Converter]\nSerialNumber=ZK000001\nChipType=9\n[UserArea]\nDeviceCode=98\n"
                           "SerialNumber=0001.0001.001\n[Link]\nPace=1\nLatencyTimerMs=16\n[State]\nFolder=" +
                               (dir / "state").string() + "\n");
    // Nova+ on the Nova: the model switch is part of every job.
    Write(dir / "template.bin", "[Device]\r\nType=0x63\r\nSerialNumber=0000.0777.042\r\nManufacturing=01.12.26\r\n"
                                "LastUpdate=02.12.26\r\n[USB]\r\nDescription=Corvina Nova+\r\n");
    setenv("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY, 1);
    setenv("KESTRUNE_SIM", (dir / "sim.ini").c_str(), 1);
    setenv("KESTRUNE_PROFILE", (dir / "kestrune.ini").c_str(), 1);
    setenv("KESTRUNE_REGISTRY", (dir / "registry.reg").c_str(), 1);
    setenv("KESTRUNE_DRIVE_C", (dir / "c").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("TMPDIR", (dir / "tmp").c_str(), 1);

    cli::Invocation inv;
    inv.command = cli::Command::Unit;
    inv.yes = true;
    inv.templateFile = (dir / "template.bin").string();
    inv.serialNext = true;

    constexpr double kBaud = 115200, kBitsPerByte = 10, kLatencyMs = 16, kSwitchMs = 100;
    constexpr std::size_t kReplyBytes = 10;
    std::vector<double> ratios;
    for (int i = 0; i < rounds; ++i) {
        const fs::path frames = dir / "state" / "frames.log";
        fs::remove(frames);
        double ms = 0, cpu = 0;
        int status = 0;
        {
            CMyCrvUsbDevice device;
            const auto start = std::chrono::steady_clock::now();
            const double cpu0 = bench::ProcessCpuMs();
            status = cli::Unit(device, inv);
            ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            cpu = bench::ProcessCpuMs() - cpu0;
            device.ClosePort();
        }
        if (status != 0) {
            std::fprintf(stderr, "unit failed with %d\n", status);
            return 1;
        }
        const std::size_t sent = FrameBytes(frames);
        const double lineMs = (sent + kReplyBytes) * kBitsPerByte / kBaud * 1000;
        const double waits = lineMs + kLatencyMs + kSwitchMs;
        ratios.push_back(ms / waits);
        std::printf("unit round %d: %.1f ms (%.1f ms of it on the CPU); prescribed waits %.1f ms (%zu bytes out, %zu in: %.1f ms on "
                    "the line, latency tick %.0f ms, model switch %.0f ms): %.2f x\n",
                    i + 1, ms, cpu, waits, sent, kReplyBytes, lineMs, kLatencyMs, kSwitchMs, ms / waits);
    }
    std::sort(ratios.begin(), ratios.end());
    const double median = ratios[ratios.size() / 2];
    std::printf("unit without flashing: median %.2f x the prescribed waits (goal <= 1.2 x: %s)\n", median,
                median <= 1.2 ? "met" : "missed");
    fs::remove_all(dir);
    return 0;
#endif
}
