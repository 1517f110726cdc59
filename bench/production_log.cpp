// Records appended per second to a local log file, by one station and by four at once: the
// bare locked append of a composed record, and the whole WriteProductionLog (which also
// rewrites the five status entries of the profile store).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "records/MyCrvUsbDevice.h"
#include "records/ProductionLog.h"
#include "records/SettingsFile.h"

namespace {

// Runs body(k) in n processes started together; wall-clock seconds until all ended.
double RunProcesses(int n, const std::function<bool(int)>& body)
{
    auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < n; ++k)
        if (fork() == 0)
            _exit(body(k) ? 0 : 1);
    bool ok = true;
    for (int k = 0; k < n; ++k) {
        int status = 0;
        wait(&status);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (!ok)
        std::fprintf(stderr, "a writer failed\n");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string ComposedRecord()
{
    DeviceData data{0x5F, 12, 3456, 789, 1425423600, 1462485600};
    return records::FormatLogHeader({1796548444, "OPERATOR", "STATION1"}, true) +
           records::FormatSection("Device", records::DeviceSectionValues(data));
}

void Report(const char* what, int processes, int perProcess, double seconds)
{
    int total = processes * perProcess;
    std::printf("%-34s %d process%s x %5d records: %8.3f s, %9.0f records/s\n", what, processes,
                processes == 1 ? "  " : "es", perProcess, seconds, total / seconds);
}

} // namespace

int main(int argc, char** argv)
{
    std::string folder = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    folder += "/kestrune-bench-log-" + std::to_string(getpid());
    std::filesystem::create_directories(folder);
    const std::string record = ComposedRecord();
    std::printf("log folder %s, record of %zu bytes\n", folder.c_str(), record.size());

    for (int processes : {1, 4}) {
        const int perProcess = 5000;
        std::string log = folder + "/append" + std::to_string(processes) + ".log";
        double s = RunProcesses(processes, [&](int) {
            for (int i = 0; i < perProcess; ++i)
                if (records::AppendToLogFile(log, record) != records::AppendResult::Ok)
                    return false;
            return true;
        });
        Report("locked append of a record", processes, perProcess, s);
    }

    for (int processes : {1, 4}) {
        const int perProcess = 200;
        std::string log = folder + "/full" + std::to_string(processes) + ".log";
        double s = RunProcesses(processes, [&](int k) {
            CMyCrvUsbDevice station;
            station.ProfilePath = folder + "/station" + std::to_string(k) + ".ini";
            station.WriteProfileSetting("Settings", "LOG", log.c_str());
            station.SetDeviceData({0x5F, 12, 3456, 789, 1425423600, 1462485600});
            for (int i = 0; i < perProcess; ++i)
                if (!station.WriteProductionLog(TRUE))
                    return false;
            return true;
        });
        Report("WriteProductionLog (with status)", processes, perProcess, s);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
