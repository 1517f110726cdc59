// The shared records database on loopback: serial numbers reserved per second by 8 stations at
// once (alone, and with each number's record inserted), and how long history takes to find a
// serial number among a million records. KESTRUNE_BENCH_DB names an empty database to use;
// without it a private server is started for the run (tests/production/pg_server.sh).
#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "production/Database.h"
#include "production/DatabaseRecord.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

bool Sql(const std::string& conninfo, const std::string& sql)
{
    PGconn* conn = PQconnectdb(conninfo.c_str());
    PGresult* result = PQexec(conn, sql.c_str());
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
    if (!ok)
        std::fprintf(stderr, "%s\n", PQerrorMessage(conn));
    PQclear(result);
    PQfinish(conn);
    return ok;
}

// Runs body(k) in n processes started together; wall-clock seconds until all ended.
double RunProcesses(int n, const std::function<bool(int)>& body)
{
    const auto start = Clock::now();
    for (int k = 0; k < n; ++k)
        if (::fork() == 0)
            ::_exit(body(k) ? 0 : 1);
    bool ok = true;
    for (int k = 0; k < n; ++k) {
        int status = 0;
        ::wait(&status);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (!ok)
        std::fprintf(stderr, "a station failed\n");
    return Seconds(start);
}

std::string Record(long long number)
{
    char serial[32];
    std::snprintf(serial, sizeof serial, "%04lld.0001.001", number);
    return std::string("\r\n***\r\n*** [Mon Dec  7 10:14:04 2026] USER \"OPERATOR\" on COMPUTER \"STATION1\"\r\n"
                       "*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x62\r\nSerialNumber=") +
           serial + "\r\nManufacturing=04.03.15\r\nLastUpdate=06.05.16\r\n";
}

} // namespace

int main()
{
    std::string conninfo;
    std::string server;
    if (const char* given = std::getenv("KESTRUNE_BENCH_DB")) {
        conninfo = given;
    } else {
        char folder[] = "/tmp/kestrune-bench-db-XXXXXX";
        if (::mkdtemp(folder) == nullptr)
            return 1;
        std::filesystem::permissions(folder, std::filesystem::perms(0755));
        server = std::string(folder) + "/srv";
        const std::string script = KESTRUNE_SOURCE_DIR "/tests/production/pg_server.sh";
        std::FILE* pipe = ::popen(("'" + script + "' start '" + server + "'").c_str(), "r");
        char port[32] = {};
        if (pipe == nullptr || std::fgets(port, sizeof port, pipe) == nullptr || ::pclose(pipe) != 0) {
            std::fprintf(stderr, "no PostgreSQL server could be started\n");
            return 1;
        }
        conninfo = "host=127.0.0.1 port=" + std::to_string(std::atoi(port)) + " dbname=postgres user=kestrune_admin";
    }
    auto stop = [&server] {
        if (!server.empty())
            (void)std::system(("'" KESTRUNE_SOURCE_DIR "/tests/production/pg_server.sh' stop '" + server + "'").c_str());
    };
    std::string error;
    auto store = production::DatabaseStore::Create(conninfo, error);
    if (!store || !(error = store->Init()).empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        stop();
        return 1;
    }

    constexpr int kStations = 8;
    constexpr int kEach = 500;
    for (const bool insert : {false, true}) {
        const double s = RunProcesses(kStations, [&](int) {
            std::string why;
            auto station = production::DatabaseStore::Create(conninfo, why);
            for (int i = 0; station && i < kEach; ++i) {
                const auto reserved = station->ReserveSerial(insert ? 99 : 98, 0, 1000000);
                if (reserved.number <= 0 || (insert && !station->AddRecord(Record(reserved.number)).stored))
                    return false;
            }
            return station != nullptr;
        });
        std::printf("%-40s %d stations x %d: %.2f s, %.0f per second\n",
                    insert ? "reservations with their records" : "reservations", kStations, kEach, s,
                    kStations * kEach / s);
    }

    // An existing log of 100 MB, imported twice: the second adds nothing.
    {
        const std::string path = std::filesystem::temp_directory_path() / ("kestrune-bench-db-" + std::to_string(::getpid()) + ".log");
        std::string log;
        for (long long n = 1; log.size() < 100u << 20; ++n)
            log += Record(n % 10000 + 100000 * (n / 10000 % 10));
        {
            std::FILE* file = std::fopen(path.c_str(), "wb");
            if (file == nullptr || std::fwrite(log.data(), 1, log.size(), file) != log.size() || std::fclose(file) != 0)
                return 1;
        }
        for (int round = 1; round <= 2; ++round) {
            const auto start = Clock::now();
            const production::ImportResult import = store->Import(path);
            std::printf("%-40s %zu records, %zu added: %.2f s%s%s\n",
                        round == 1 ? "db import of 100 MB" : "db import of the same again", import.records,
                        import.inserted, Seconds(start), import.error.empty() ? "" : " ", import.error.c_str());
        }
        std::remove(path.c_str());
        Sql(conninfo, "TRUNCATE production_records, firmware_records");
    }

    // A million records, made by the server itself; serial numbers 1..1000000 as 5+4 digits.
    const auto filling = Clock::now();
    const bool filled = Sql(conninfo,
        "INSERT INTO production_records (record_id, logged_at, station_user, computer, kind, result, device_type, "
        "serial_number, serial_key, section, record, digest) "
        "SELECT 'bench-' || i, 'Mon Dec  7 10:14:04 2026', 'OPERATOR', 'STATION1', 'device', "
        "'Device data to user area flashed', 98, s, (i % 50000) || '.' || (i / 50000) || '.1', '{}', "
        "convert_to(E'\\r\\n***\\r\\n*** [Mon Dec  7 10:14:04 2026] USER \"OPERATOR\" on COMPUTER \"STATION1\"\\r\\n"
        "*** Device data to user area flashed\\r\\n***\\r\\n[Device]\\r\\nType=0x62\\r\\nSerialNumber=' || s || E'\\r\\n', 'UTF8'), "
        "sha256(convert_to(s, 'UTF8')) "
        "FROM generate_series(1, 1000000) AS i, "
        "LATERAL (SELECT lpad((i % 50000)::text, 4, '0') || '.' || lpad((i / 50000)::text, 4, '0') || '.001' AS s) AS t; "
        "ANALYZE production_records");
    if (!filled) {
        stop();
        return 1;
    }
    std::printf("%-40s %.2f s\n", "a million records inserted by the server", Seconds(filling));
    std::vector<double> times;
    for (long i = 1; i <= 1000000; i += 49999) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "%04ld.%04ld.001", i % 50000, i / 50000);
        const auto start = Clock::now();
        std::size_t found = 0;
        store->ScanRecords(serial, [&found](std::string_view) { ++found; }, error);
        times.push_back(Seconds(start) * 1000);
        if (found != 1)
            std::fprintf(stderr, "%s: %zu records\n", serial, found);
    }
    std::sort(times.begin(), times.end());
    std::printf("%-40s %zu lookups: median %.2f ms, max %.2f ms\n", "history SERIAL in a million records",
                times.size(), times[times.size() / 2], times.back());
    stop();
    return 0;
}
