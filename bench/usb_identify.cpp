// Cost of an identify round trip (request out, identity reply in) over the simulated converter
// with bytes paced at 115200 baud and the 16 ms latency timer, against the line-rate floor.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProcessCpu.h"
#include "link/CrvUsbDevice.h"
#include "sim/d2xx/KestruneSim.h"

namespace {

using bench::ProcessCpuMs;

struct Figures {
    double mean = 0, min = 0, max = 0, cpuShare = 0;
};

Figures Measure(CCrvUsbDevice& device, int rounds, bool randomPhase)
{
    std::mt19937 random(42);
    std::uniform_int_distribution<int> phase(0, 15999);
    std::vector<double> ms;
    double busy = 0, wall = 0;
    for (int i = 0; i < rounds; ++i) {
        if (randomPhase)
            std::this_thread::sleep_for(std::chrono::microseconds(phase(random)));
        const double cpu0 = ProcessCpuMs();
        const auto t0 = std::chrono::steady_clock::now();
        device.SendIdentifyRequest();
        const std::int32_t id = device.ReadIdentityReply(1000);
        const double took =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        busy += ProcessCpuMs() - cpu0;
        wall += took;
        if (id < 0) {
            std::fprintf(stderr, "no identity reply in round %d\n", i);
            std::exit(1);
        }
        ms.push_back(took);
    }
    Figures f;
    for (double v : ms)
        f.mean += v;
    f.mean /= static_cast<double>(ms.size());
    f.min = *std::min_element(ms.begin(), ms.end());
    f.max = *std::max_element(ms.begin(), ms.end());
    f.cpuShare = busy / wall;
    return f;
}

// How long after a byte reaches the host's queue the waiting ReadBuffer returns with it
// (latency timer off, so only the polling counts).
Figures WakeUp(CCrvUsbDevice& device, sim::SimControl& control, int rounds)
{
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        std::chrono::steady_clock::time_point injected;
        std::thread display([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::uint8_t byte = 0x55;
            injected = std::chrono::steady_clock::now();
            control.InjectFromDisplay(&byte, 1);
        });
        std::uint8_t buffer[1];
        const std::int32_t got = device.ReadBuffer(buffer, 1000);
        const auto returned = std::chrono::steady_clock::now();
        display.join();
        if (got != 1) {
            std::fprintf(stderr, "the byte did not arrive\n");
            std::exit(1);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(returned - injected).count());
    }
    Figures f;
    for (double v : ms)
        f.mean += v;
    f.mean /= static_cast<double>(ms.size());
    f.min = *std::min_element(ms.begin(), ms.end());
    f.max = *std::max_element(ms.begin(), ms.end());
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
    char pattern[] = "/tmp/kestrune-bench-usb-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string ini = dir + "/sim.ini";
    std::ofstream(ini) << "[UserArea]\nDeviceCode=0x62\n[Link]\nPace=1\nLatencyTimerMs=16\n[State]\nFolder=\n";
    setenv("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY, 1);
    setenv("KESTRUNE_SIM", ini.c_str(), 1);
    setenv("KESTRUNE_REGISTRY", (dir + "/none.reg").c_str(), 1);

    Figures aligned, random, wake;
    {
        sim::SimControl control(KESTRUNE_SIM_LIBRARY);
        CCrvUsbDevice device;
        if (!device.OpenPort("USB")) {
            std::fprintf(stderr, "the simulated converter did not open\n");
            return 1;
        }
        aligned = Measure(device, rounds, false);
        random = Measure(device, rounds, true);
        device.ClosePort();

        std::ofstream(ini) << "[Link]\nLatencyTimerMs=0\n[State]\nFolder=\n";
        control.Reset();
        if (!device.OpenPort("USB"))
            return 1;
        wake = WakeUp(device, control, rounds / 2 + 1);
    }
    std::filesystem::remove_all(dir);

    const double lineMs = 15 * 10 * 1000.0 / 115200.0;
    const double floorMs = lineMs + 16.0;
    std::printf("identify round trip over the simulated converter, 115200 baud, latency timer 16 ms,"
                " %d rounds each\n", rounds);
    std::printf("  floor: 15 bytes on the line %.3f ms + one latency period 16 ms = %.3f ms\n",
                lineMs, floorMs);
    std::printf("  back to back:   mean %.3f ms, min %.3f, max %.3f (%.2f x floor), host CPU %.1f %%\n",
                aligned.mean, aligned.min, aligned.max, aligned.mean / floorMs,
                aligned.cpuShare * 100.0);
    std::printf("  random phase:   mean %.3f ms, min %.3f, max %.3f (%.2f x floor), host CPU %.1f %%\n",
                random.mean, random.min, random.max, random.mean / floorMs, random.cpuShare * 100.0);
    std::printf("  a waiting read returns %.3f ms after its byte is queued (min %.3f, max %.3f)\n",
                wake.mean, wake.min, wake.max);
    return 0;
}
