// The identify round trip as Debian's libftdi1 makes it through the simulated USB bus, bytes
// paced at 115200 baud and the 16 ms latency timer, against the line-rate floor plus one
// latency period. Runs itself again with the simulated bus in front of libftdi1.
#include <ftdi.h>
#include <sys/wait.h>
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

namespace {

using bench::ProcessCpuMs;

int Measure(int rounds)
{
    ftdi_context* ftdi = ftdi_new();
    if (!ftdi || ftdi_usb_open(ftdi, 0x0403, 0xF209) != 0 || ftdi_set_baudrate(ftdi, 115200) != 0 ||
        ftdi_set_latency_timer(ftdi, 16) != 0) {
        std::fprintf(stderr, "libftdi1 did not open the simulated converter: %s\n",
                     ftdi ? ftdi_get_error_string(ftdi) : "no context");
        return 1;
    }
    static const unsigned char request[] = {0x02, 'B', 'P', 'P', 0x03};
    std::mt19937 random(42);
    std::uniform_int_distribution<int> phase(0, 15999);
    std::vector<double> ms;
    double busy = 0, wall = 0;
    for (int i = 0; i < rounds; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(phase(random)));
        const double cpu0 = ProcessCpuMs();
        const auto t0 = std::chrono::steady_clock::now();
        unsigned char reply[64];
        int got = 0;
        if (ftdi_write_data(ftdi, request, sizeof request) != static_cast<int>(sizeof request))
            return 1;
        while (got < 10) {
            // Exactly what is missing: libftdi1 returns only when the request is filled or a
            // transfer brings nothing, so asking for more costs one more latency period.
            const int n = ftdi_read_data(ftdi, reply + got, 10 - got);
            if (n < 0 || std::chrono::steady_clock::now() - t0 > std::chrono::seconds(1)) {
                std::fprintf(stderr, "no identity reply in round %d\n", i);
                return 1;
            }
            got += n;
        }
        const double took =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        busy += ProcessCpuMs() - cpu0;
        wall += took;
        ms.push_back(took);
    }
    ftdi_usb_close(ftdi);
    ftdi_free(ftdi);

    std::sort(ms.begin(), ms.end());
    double mean = 0;
    for (double v : ms)
        mean += v;
    mean /= static_cast<double>(ms.size());
    // libftdi1's 115200 is the chip's 115385.
    const double lineMs = 15 * 10 * 1000.0 / 115385.0;
    const double floorMs = lineMs + 16.0;
    const auto within = std::count_if(ms.begin(), ms.end(), [&](double v) { return v <= floorMs + 1.0; });
    std::printf("identify round trip through libftdi1 and the simulated USB bus, 115200 baud, "
                "latency timer 16 ms, %d rounds at random phases\n", rounds);
    std::printf("  floor: 15 bytes on the line %.3f ms + one latency period 16 ms = %.3f ms\n",
                lineMs, floorMs);
    std::printf("  mean %.3f ms, median %.3f, min %.3f, max %.3f (mean %.2f x floor); "
                "%ld of %d within floor + 1 ms; host CPU %.1f %%\n",
                mean, ms[ms.size() / 2], ms.front(), ms.back(), mean / floorMs,
                static_cast<long>(within), rounds, busy / wall * 100.0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
    if (std::getenv("KESTRUNE_BENCH_ON_BUS"))
        return Measure(rounds);
    char pattern[] = "/tmp/kestrune-bench-usbbus-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string ini = dir + "/sim.ini";
    std::ofstream(ini) << "[Link]\nPace=1\nLatencyTimerMs=16\n[State]\nFolder=\n";
    const pid_t child = fork();
    if (child == 0) {
        setenv("KESTRUNE_BENCH_ON_BUS", "1", 1);
        setenv("KESTRUNE_SIM", ini.c_str(), 1);
        setenv("LD_LIBRARY_PATH", KESTRUNE_USBSIM_DIR, 1);
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::filesystem::remove_all(dir);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
