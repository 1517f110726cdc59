// Gang flashing: 64 KiB into 1, 2 and 4 simulated displays at once, one kestrune-cli process
// per converter, at the line's real pace. Prints each wall time against one display alone and
// the processor time our processes took per display.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/SampleFirmware.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

double ChildrenCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

void Write(const fs::path& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary) << text;
}

// A bench of `count` Nova displays, paced at the line rate, in its own folders.
void Prepare(const fs::path& dir, int count)
{
    fs::remove_all(dir);
    for (const char* sub : {"state", "c", "tmp", "config", "data"})
        fs::create_directories(dir / sub);
    std::string ini = "[Link]\nPace=1\n[BootLoader]\nResetAfterMs=50\n[State]\nFolder=" + (dir / "state").string() + "\n";
    for (int n = 1; n <= count; ++n) {
        const std::string s = n == 1 ? "" : "." + std::to_string(n);
        ini += "[Converter" + s + "]\nSerialNumber=ZK00000" + std::to_string(n) + "\n[UserArea" + s +
               "]\nDeviceCode=98\n";
    }
    Write(dir / "sim.ini", ini);
}

pid_t Spawn(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

} // namespace

int main()
{
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const std::string cli = (self.parent_path().parent_path() / "bin" / "kestrune-cli").string();
    if (!fs::exists(cli)) {
        std::fprintf(stderr, "bench_gang: %s is not built\n", cli.c_str());
        return 1;
    }
    const fs::path dir = fs::temp_directory_path() / ("kestrune-bench-gang-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path firmware = dir / "nova-100.hex";
    Write(firmware, tools::IntelHexText(tools::SampleFirmwareData(64 * 1024)));

    double alone = 0;
    int status = 0;
    for (int count : {1, 2, 4}) {
        const fs::path bench = dir / std::to_string(count);
        Prepare(bench, count);
        setenv("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY, 1);
        setenv("KESTRUNE_SIM", (bench / "sim.ini").c_str(), 1);
        setenv("KESTRUNE_PROFILE", (bench / "kestrune.ini").c_str(), 1);
        setenv("KESTRUNE_REGISTRY", (bench / "registry.reg").c_str(), 1);
        setenv("KESTRUNE_DRIVE_C", (bench / "c").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (bench / "config").c_str(), 1);
        setenv("XDG_DATA_HOME", (bench / "data").c_str(), 1);
        setenv("TMPDIR", (bench / "tmp").c_str(), 1);
        const double cpuBefore = ChildrenCpuMs();
        const auto start = std::chrono::steady_clock::now();
        std::vector<pid_t> gang;
        for (int n = 1; n <= count; ++n)
            gang.push_back(Spawn(cli, {"--yes", "--device", "serial:ZK00000" + std::to_string(n), "flash", "--family",
                                       "3", firmware.string()}));
        int failed = 0;
        for (pid_t pid : gang) {
            int s = 0;
            if (pid < 0 || waitpid(pid, &s, 0) != pid || !WIFEXITED(s) || WEXITSTATUS(s) != 0)
                ++failed;
        }
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = (ChildrenCpuMs() - cpuBefore) / 1000.0;
        if (count == 1)
            alone = wall;
        std::printf("%d display%s at once: %.2f s wall (%.3f x one alone), CPU %.2f s, %.1f %% of a core "
                    "per display%s\n",
                    count, count == 1 ? "" : "s", wall, wall / alone, cpu, 100.0 * cpu / wall / count,
                    failed ? ", FAILED runs" : "");
        status |= failed ? 1 : 0;
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return status;
}
