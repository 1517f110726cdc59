// `kestrune-cli history` over a large production log: a log of several stations (records of all
// three kinds, CR LF and LF, garbage between them) is generated once, then read and filtered as
// the command does. Goals: 100 MB in under 2 s; 1 GB in under 2.5 s and 64 MB of
// resident memory.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "records/DeviceData.h"
#include "records/History.h"
#include "records/ProductionLog.h"
#include "records/SettingsFile.h"

namespace {

std::string Station(int k)
{
    std::string record;
    DeviceData data{0x62, k % 4000, 3456, k % 1000, 1425423600, 1462485600};
    const records::StationInfo station{1796548444 + k * 60, "OPERATOR", "STATION" + std::to_string(k % 7)};
    record = records::FormatLogHeader(station, true) +
             records::FormatSection("Device", records::DeviceSectionValues(data));
    if (k % 3 == 0) {
        record += records::FormatLogHeader(station, false);
        record += "[USB]\r\nVendorId=0x0403\r\nProductId=0xf208\r\nManufacturer=ZKM\r\nManufacturerId=ZK\r\n"
                  "Description=Corvina Nova\r\nSerialNumber=ZK000042\r\nMaxPower=0x01f4\r\nPnP=1\r\n"
                  "SelfPowered=0x0000\r\nRemoteWakeup=0x0001\r\nRev4=1\r\nIsoIn=0\r\nIsoOut=0\r\n"
                  "PullDownEnable=1\r\nSerNumEnable=1\r\nUSBVersionEnable=0\r\nUSBVersion=0x0110\r\n";
    }
    if (k % 50 == 0)
        record += "a line that belongs to no record\r\n";
    if (k % 2 == 1) {
        // A station that writes LF only.
        std::string lf;
        for (char c : record)
            if (c != '\r')
                lf += c;
        record = lf;
    }
    return record;
}

// Processor time of this process: on a shared machine the wall clock says more about the others.
double CpuSeconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    const double megabytes = argc > 1 ? std::atof(argv[1]) : 100.0;
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kestrune-bench-history-" + std::to_string(::getpid()) + ".log")).string();
    {
        // Written in pieces: the peak memory below is the reading's, not the generator's.
        std::ofstream out(path, std::ios::binary);
        std::string piece;
        double written = 0;
        for (int k = 0; written < megabytes * 1e6; ++k) {
            piece += Station(k);
            if (piece.size() > (1u << 20)) {
                out << piece;
                written += static_cast<double>(piece.size());
                piece.clear();
            }
        }
        out << piece;
    }
    // As a log that was written earlier: in the page cache, not in our memory.

    const double cpuStart = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    records::HistoryFilter filter;
    filter.serial = "0042.3456.042";
    filter.type = 0x62;
    filter.station = "station0";
    std::size_t records = 0, matched = 0, listed = 0;
    records::ScanLogFile(path, [&](const records::LogEntry& e) {
        ++records;
        if (records::Matches(e, filter)) {
            ++matched;
            listed += records::FormatEntry(e).size();
        }
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    // Without a filter every record is formatted, as `history` alone lists the whole log.
    const double allCpuStart = CpuSeconds();
    const auto allStart = std::chrono::steady_clock::now();
    std::size_t allBytes = 0;
    records::ScanLogFile(path, [&](const records::LogEntry& e) { allBytes += records::FormatEntry(e).size() + 1; });
    const double all = std::chrono::duration<double>(std::chrono::steady_clock::now() - allStart).count();
    const double allCpu = CpuSeconds() - allCpuStart;
    const double size = static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
    std::printf("history: %.1f MB, %zu records, %zu matched (%zu bytes listed): %.3f s read and "
                "filtered, %.3f s of processor time (goal < 2 s: %s)\n",
                size / 1e6, records, matched, listed, seconds, cpu, seconds < 2.0 ? "met" : "missed");
    std::printf("history: every record listed (%zu bytes): %.3f s, %.3f s of processor time (goal < 2 s: %s)\n",
                allBytes, all, allCpu, all < 2.0 ? "met" : "missed");
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const double peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    // A log of 1 GB: under 2.5 s and under 64 MB resident.
    std::printf("history: peak resident memory %.1f MB (goal < 64 MB: %s)\n", peakMb, peakMb < 64 ? "met" : "missed");
    if (size > 0.9e9)
        std::printf("history: 1 GB read and filtered in %.3f s (goal < 2.5 s: %s)\n", seconds,
                    seconds < 2.5 ? "met" : "missed");
    return 0;
}
