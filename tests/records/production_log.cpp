// The production log: the record byte for byte, status entries, folders, serial numbers, and
// stations appending to one file at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <map>
#include <regex>
#include <cstring>
#include <sstream>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "RecordsDevice.h"
#include "platform/FileLock.h"
#include "platform/Profile.h"
#include "platform/Ui.h"
#include "records/Backup.h"
#include "records/History.h"
#include "records/ProductionLog.h"
#include "records/SerialStore.h"
#include "records/SettingsFile.h"

namespace {

using namespace records_test;

// Sun Dec  6 10:14:04 2026 in Central European time.
constexpr std::int64_t kLogTime = 1796548444;

const std::string kExampleHeader = "\r\n***\r\n"
                                   "*** [Sun Dec  6 10:14:04 2026] USER \"OPERATOR\" on COMPUTER "
                                   "\"STATION1\"\r\n";

records::StationInfo FixedStation(const std::string& user = "OPERATOR")
{
    return {kLogTime, user, "STATION1"};
}

// Runs body(k) in n child processes at once; true when every child exited with 0.
bool RunChildren(int n, const std::function<bool(int)>& body)
{
    std::vector<pid_t> children;
    for (int k = 0; k < n; ++k) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(body(k) ? 0 : 1);
        children.push_back(pid);
    }
    bool ok = true;
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return ok;
}

// A child that holds a lock on the whole file for holdMs; returns once the lock is held.
pid_t StartLockHolder(const std::string& path, int holdMs)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        platform::FileStatus status{};
        platform::File file = platform::File::Open(path, platform::FileAccess::ReadWriteCreate, status);
        bool locked = file.IsOpen() && platform::LockFileRange(file, 0, 0, 1000);
        char c = locked ? 'L' : 'x';
        (void)!write(ready[1], &c, 1);
        usleep(static_cast<useconds_t>(holdMs) * 1000);
        _exit(locked ? 0 : 1);
    }
    close(ready[1]);
    char c = 0;
    (void)!read(ready[0], &c, 1);
    close(ready[0]);
    return c == 'L' ? pid : -1;
}

bool WaitChild(pid_t pid)
{
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

class ProductionLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetUpExample(device, dir);
        logPath = dir.File("log/fertigung.log");
        device.WriteProfileSetting("Settings", "LOG", logPath.c_str());
        records::SetStationInfoSource([] { return FixedStation(); });
    }
    void TearDown() override { records::SetStationInfoSource(nullptr); }

    std::string Status(const std::string& section, const std::string& key)
    {
        return platform::GetProfileString(section, key, "(none)", device.ProfilePath);
    }

    ScopedTimeZone tz;
    TempDir dir;
    platform::ScopedRecordingUi ui;
    CMyCrvUsbDevice device;
    std::string logPath;
};

TEST_F(ProductionLog, RecordsAreAppendedByteForByte)
{
    ASSERT_TRUE(device.WriteProductionLog(TRUE));
    const std::string deviceRecord = kExampleHeader + "*** Device data to user area flashed\r\n***\r\n" +
                                     kExampleDeviceSection;
    EXPECT_EQ(ReadText(logPath), deviceRecord);

    ASSERT_TRUE(device.WriteProductionLog(FALSE));
    EXPECT_EQ(ReadText(logPath),
              deviceRecord + kExampleHeader + "*** USB data flashed\r\n***\r\n" + kExampleUsbSection);
    EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(ProductionLog, StatusEntriesNameTheLastDeviceWritten)
{
    ASSERT_TRUE(device.WriteProductionLog(FALSE));
    EXPECT_EQ(Status("Status", "Device"), "Device95Status");
    EXPECT_EQ(Status("Device95Status", "Date"), "Sun Dec  6 10:14:04 2026");
    EXPECT_EQ(Status("Device95Status", "User"), "OPERATOR");
    EXPECT_EQ(Status("Device95Status", "Computer"), "STATION1");
    EXPECT_EQ(Status("Device95Status", "SerialNumber"), "0012.3456.789");
}

TEST_F(ProductionLog, DefaultLocationIsCreatedOnDriveC)
{
    device.WriteProfileSetting("Settings", "LOG", nullptr);
    ScopedEnv drive("KESTRUNE_DRIVE_C", dir.File("drive_c").c_str());
    ASSERT_TRUE(device.WriteProductionLog(TRUE));
    EXPECT_EQ(ReadText(dir.File("drive_c/LOG/fertigung.log")).substr(0, kExampleHeader.size()),
              kExampleHeader);
}

TEST_F(ProductionLog, LogInADriveRootCreatesNoFolder)
{
    device.WriteProfileSetting("Settings", "LOG", "D:\\fertigung.log");
    ScopedEnv drive("KESTRUNE_DRIVE_D", dir.File("drive_d").c_str());
    ASSERT_TRUE(device.WriteProductionLog(TRUE));
    std::vector<std::string> entries;
    for (const auto& e : std::filesystem::directory_iterator(dir.File("drive_d")))
        entries.push_back(e.path().filename().string());
    EXPECT_EQ(entries, std::vector<std::string>{"fertigung.log"});
}

TEST_F(ProductionLog, AnUnwritableLogIsReportedWithItsPath)
{
    WriteText(dir.File("plain-file"), "x");
    std::string badLog = dir.File("plain-file/fertigung.log");
    device.WriteProfileSetting("Settings", "LOG", badLog.c_str());
    EXPECT_FALSE(device.WriteProductionLog(TRUE));
    auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find(badLog), std::string::npos) << boxes[0].text;
    EXPECT_EQ(boxes[0].caption, "Kestrune Error");
    EXPECT_EQ(boxes[0].flags, platform::MB_ICONWARNING);
    // The device was written: the next serial number must still know it.
    EXPECT_EQ(Status("Device95Status", "SerialNumber"), "0012.3456.789");
}

// Another user swaps a link in and out of the names we check, then open: the log's check before
// a unit and a settings file's save must create nothing where the links point.
TEST(SharedFolder, ALinkSwappedInAfterTheCheckIsNotFollowed)
{
    if (::geteuid() != 0) GTEST_SKIP() << "a second user's link needs root to be made";
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    const std::string shared = dir.File("shared"), made = dir.File("made");
    ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(made.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(made.c_str(), 0777), 0);
    const std::string log = shared + "/f.log", settings = shared + "/s.ini";
    const pid_t flipper = ::fork();
    ASSERT_GE(flipper, 0);
    if (flipper == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (int n = 0; std::chrono::steady_clock::now() < end; ++n) {
            const std::string target = made + "/" + std::to_string(n % 50), link = shared + "/L";
            for (const std::string& name : {log, settings}) {
                (void)::symlink(target.c_str(), link.c_str());
                (void)::rename(link.c_str(), name.c_str());
                (void)::unlink(name.c_str());
                // The name is there as a plain file for the check to pass.
                const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW, 0666);
                if (fd >= 0) ::close(fd);
            }
        }
        ::_exit(0);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end) {
        (void)records::LogWriteProblem(log);
        std::string problem;
        const auto edit = [](platform::ProfileDocument& doc) { doc.Set("A", "B", "C"); };
        if (!platform::UpdateProfileFile(settings, true, edit, &problem)) {
            EXPECT_FALSE(problem.empty()); // the reason, not only that it failed
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(flipper, &status, 0), flipper);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> created;
    for (const auto& entry : std::filesystem::directory_iterator(made))
        created.push_back(entry.path().filename().string());
    EXPECT_EQ(created, std::vector<std::string>{});
}

TEST_F(ProductionLog, SerialNumbersFollowTheLastLoggedDevice)
{
    EXPECT_EQ(device.GenerateSerialNumber(), 1); // no status yet
    device.SetDeviceData(ExampleRecord());
    ASSERT_TRUE(device.WriteProductionLog(TRUE));

    EXPECT_EQ(device.GenerateSerialNumber(), 13);
    DeviceData data;
    device.GetDeviceData(data);
    EXPECT_EQ(FormatSerialNumber(data), "0013.3456.789");
    EXPECT_EQ(data.ManufacturingDate, k2015_03_04);
    EXPECT_STREQ(device.SerialNumber.data(), "ZK000013");

    DeviceData other = ExampleRecord();
    other.DeviceCode = 0x60;
    device.SetDeviceData(other);
    EXPECT_EQ(device.GenerateSerialNumber(), 1);
    EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(ProductionLog, SerialNumbersStopAtWhatTheRecordHolds)
{
    device.WriteProfileSetting("Device95Status", "SerialNumber", "65534.0000.000");
    EXPECT_EQ(device.GenerateSerialNumber(), 65535);
    EXPECT_STREQ(device.SerialNumber.data(), "ZK065535");

    device.WriteProfileSetting("Device95Status", "SerialNumber", "65535.0000.000");
    UserAreaImageBuffer before = device.UserAreaImage;
    EXPECT_EQ(device.GenerateSerialNumber(), -1);
    EXPECT_EQ(device.UserAreaImage, before);
    EXPECT_STREQ(device.SerialNumber.data(), "ZK065535");
    auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("65535"), std::string::npos);

    // A damaged status is no missing one: starting again at 1 would repeat numbers given.
    for (const char* damaged : {"abc", "", "-1.1.1", "0020.0001.001x", "0020.0001", "0020.0001.001 ; c"}) {
        ui.Clear();
        device.WriteProfileSetting("Device95Status", "SerialNumber", damaged);
        EXPECT_EQ(device.GenerateSerialNumber(), -1) << damaged;
        EXPECT_EQ(device.UserAreaImage, before) << damaged;
        EXPECT_EQ(Status("Device95Status", "SerialNumber"), damaged);
        boxes = ui.Boxes();
        ASSERT_EQ(boxes.size(), 1u) << damaged;
        EXPECT_NE(boxes[0].text.find("[Device95Status] SerialNumber on line "), std::string::npos) << boxes[0].text;
        EXPECT_NE(boxes[0].text.find(device.ProfilePath), std::string::npos) << boxes[0].text;
    }
}

TEST_F(ProductionLog, AWriteWhoseProgramStoppedIsLoggedByTheNextAppend)
{
    ScopedEnv data("XDG_DATA_HOME", dir.File("data").c_str());
    // Killed between the write and its record: the note stays behind.
    ASSERT_TRUE(RunChildren(1, [&](int) {
        records::PendingRecord pending;
        device.KeepPendingRecord(pending, TRUE);
        ::_exit(0);
        return false;
    }));
    // The note of a program that still runs is its own to log.
    records::PendingRecord running;
    device.KeepPendingRecord(running, FALSE);
    ASSERT_TRUE(device.WriteProductionLog(TRUE));
    const std::string flashed = kExampleHeader + "*** Device data to user area flashed\r\n***\r\n" + kExampleDeviceSection;
    const std::string orphan = kExampleHeader +
                               "*** Device data to user area perhaps flashed: the program stopped before "
                               "logging it\r\n***\r\n" + kExampleDeviceSection;
    EXPECT_EQ(ReadText(logPath), orphan + flashed);
    // Once only.
    ASSERT_TRUE(device.WriteProductionLog(TRUE));
    EXPECT_EQ(ReadText(logPath), orphan + flashed + flashed);
    std::size_t notes = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.File("data/kestrune/pending"))) notes += e.is_regular_file();
    EXPECT_EQ(notes, 1u);
}

TEST_F(ProductionLog, FilesAndHeadersAreAppendedWhole)
{
    std::string log = dir.File("whole.log");
    for (std::size_t size : {std::size_t{0}, std::size_t{4096}, std::size_t{10000}}) {
        std::string before = ReadText(log);
        std::string content(size, 'a');
        for (std::size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>('a' + i % 26);
        WriteText(dir.File("source.tmp"), content);
        ASSERT_TRUE(device.AppendFileToLog(log.c_str(), dir.File("source.tmp").c_str())) << size;
        EXPECT_EQ(ReadText(log), before + content) << size;
    }
    EXPECT_FALSE(device.AppendFileToLog(log.c_str(), dir.File("missing.tmp").c_str()));

    std::string header = dir.File("header.tmp");
    ASSERT_TRUE(device.WriteLogHeader(header.c_str(), TRUE));
    EXPECT_EQ(ReadText(header), kExampleHeader + "*** Device data to user area flashed\r\n***\r\n");
    EXPECT_EQ(Status("Device95Status", "User"), "OPERATOR");
}

TEST_F(ProductionLog, AppendWaitsForALockOnlyAsLongAsItsBound)
{
    std::string log = dir.File("locked.log");
    WriteText(log, "before\r\n");
    pid_t holder = StartLockHolder(log, 1500);
    ASSERT_GT(holder, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(records::AppendToLogFile(log, "record\r\n", 300), records::AppendResult::LockTimeout);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::milliseconds(1400));
    EXPECT_EQ(ReadText(log), "before\r\n");
    EXPECT_TRUE(WaitChild(holder));
    EXPECT_EQ(records::AppendToLogFile(log, "record\r\n", 300), records::AppendResult::Ok);
    EXPECT_EQ(ReadText(log), "before\r\nrecord\r\n");
}

TEST_F(ProductionLog, AWriteThatFailsHalfWayLeavesNoPartOfTheRecord)
{
    std::string log = dir.File("full.log");
    WriteText(log, std::string(100, 'x'));
    // The file may grow by 10 bytes only, as on a full disk.
    bool ok = RunChildren(1, [&](int) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{110, 110};
        setrlimit(RLIMIT_FSIZE, &limit);
        return records::AppendToLogFile(log, std::string(50, 'r')) ==
               records::AppendResult::WriteFailed;
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(ReadText(log), std::string(100, 'x'));

    // The record of a display that was written must not vanish with the failed append: the next
    // append, with space again, delivers it.
    ScopedEnv data("XDG_DATA_HOME", dir.File("data").c_str());
    std::filesystem::create_directories(std::filesystem::path(logPath).parent_path());
    WriteText(logPath, std::string(2000, 'x'));
    EXPECT_TRUE(RunChildren(1, [&](int) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{2010, 2010};
        setrlimit(RLIMIT_FSIZE, &limit);
        records::PendingRecord pending;
        device.KeepPendingRecord(pending, TRUE);
        return !device.WriteProductionLog(TRUE) && ui.Boxes().size() == 1 &&
               ui.Boxes()[0].text.find("It is kept at this station") != std::string::npos;
    }));
    EXPECT_EQ(ReadText(logPath), std::string(2000, 'x'));
    ASSERT_TRUE(device.WriteProductionLog(TRUE));
    const std::string flashed = kExampleHeader + "*** Device data to user area flashed\r\n***\r\n" + kExampleDeviceSection;
    EXPECT_EQ(ReadText(logPath), std::string(2000, 'x') + flashed + flashed);
}

// Stations sharing one log: every record whole, none interleaved, each one parseable.
class SharedLog : public ProductionLog {
protected:
    static constexpr int kWriters = 4;
    static constexpr int kRecords = 200;

    // Writer k logs the records k.0000.000 .. k.0199.000 of code 0x5F.
    bool Writer(int k)
    {
        CMyCrvUsbDevice station;
        SetUpExample(station, dir);
        station.ProfilePath = dir.File("station" + std::to_string(k) + ".ini");
        station.WriteProfileSetting("Settings", "LOG", logPath.c_str());
        records::SetStationInfoSource([k] { return FixedStation("writer" + std::to_string(k)); });
        DeviceData data = ExampleRecord();
        data.SerialPart1 = k;
        for (int i = 0; i < kRecords; ++i) {
            data.SerialPart2 = i;
            data.SerialPart3 = 0;
            if (!station.SetDeviceData(data) || !station.WriteProductionLog(TRUE))
                return false;
        }
        return true;
    }

    void ExpectAllRecordsWhole()
    {
        const std::string text = ReadText(logPath);
        const std::string marker = "\r\n***\r\n*** [";
        static const std::regex record(
            "\r\n\\*\\*\\*\r\n\\*\\*\\* \\[Sun Dec  6 10:14:04 2026\\] USER \"writer([0-9])\" on "
            "COMPUTER \"STATION1\"\r\n\\*\\*\\* Device data to user area flashed\r\n\\*\\*\\*\r\n"
            "\\[Device\\]\r\nType=0x5f\r\nSerialNumber=000([0-9])\\.([0-9]{4})\\.000\r\n"
            "Manufacturing=04\\.03\\.15\r\nLastUpdate=06\\.05\\.16\r\n");
        ASSERT_EQ(text.rfind(marker, 0), 0u);
        std::map<int, int> next; // writer -> next record it must have written
        int records = 0;
        for (std::size_t pos = 0; pos < text.size();) {
            std::size_t end = text.find(marker, pos + 1);
            if (end == std::string::npos)
                end = text.size();
            std::smatch m;
            std::string piece = text.substr(pos, end - pos);
            ASSERT_TRUE(std::regex_match(piece, m, record)) << "record " << records << ":\n" << piece;
            int writer = std::stoi(m[1]);
            EXPECT_EQ(std::stoi(m[2]), writer);
            EXPECT_EQ(std::stoi(m[3]), next[writer]++) << "writer " << writer;
            ++records;
            pos = end;
        }
        EXPECT_EQ(records, kWriters * kRecords);
        for (int k = 0; k < kWriters; ++k)
            EXPECT_EQ(next[k], kRecords) << "writer " << k;
    }
};

TEST_F(SharedLog, FourStationsAppendingAtOnce)
{
    ASSERT_TRUE(RunChildren(kWriters, [this](int k) { return Writer(k); }));
    ExpectAllRecordsWhole();
}

TEST_F(SharedLog, FourStationsWhileAnotherHoldsTheFileLocked)
{
    std::filesystem::create_directories(dir.File("log"));
    pid_t holder = StartLockHolder(logPath, 2000);
    ASSERT_GT(holder, 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunChildren(kWriters, [this](int k) { return Writer(k); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    EXPECT_TRUE(WaitChild(holder));
    ExpectAllRecordsWhole();
}

// The log as several stations leave it: LF and CR LF, a firmware record, lines that belong to
// no record, a lead-in whose section never came and a record cut inside its last value.
const std::string kSharedLog =
    "garbage before the first record\n"
    "\r\n***\r\n*** [Sun Dec  6 10:14:04 2026] USER \"OPERATOR\" on COMPUTER \"STATION1\"\r\n"
    "*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x5f\r\n"
    "SerialNumber=0012.3456.789\r\nManufacturing=04.03.15\r\nLastUpdate=06.05.16\r\n"
    "\n***\n*** [Mon Dec  7 08:00:00 2026] USER \"TECH\" on COMPUTER \"station2\"\n"
    "*** USB data flashed\n***\n[USB]\nVendorId=0x0403\nSerialNumber=ZK000013\n"
    "\r\n***\r\n*** [Mon Dec  7 08:01:00 2026] USER \"TECH\" on COMPUTER \"STATION2\"\r\n"
    "*** Device data to user area flashed\r\n***\r\n"
    "\r\n***\r\n*** [Mon Dec  7 08:02:00 2026] USER \"TECH\" on COMPUTER \"STATION2\"\r\n"
    "*** Firmware updated\r\n***\r\n[Firmware]\r\nType=0x62\r\nSerialNumber=0013.3456.789\r\n"
    "File=nova-101.hex\r\nResult=0\r\n"
    "*** not a record\r\nType=0x62\r\n[Device]\r\nType=0x62\r\n"
    "\r\n***\r\n*** [Tue Dec  8 09:00:00 2026] USER \"OPERATOR\" on COMPUTER \"STATION1\"\r\n"
    "*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x62\r\n"
    "SerialNumber=0013.3456.789\r\nManufacturing=07.12.26\r\nLastUpdate=07.1"
    "\r\n***\r\n*** [Tue Dec  8 09:05:00 2026] USER \"OPERATOR\" on COMPUTER \"STATION1\"\r\n"
    "*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x62\r\n"
    "SerialNumber=0014.3456.789\r\nManufac";

TEST(History, RecordsOfEveryStationAndNothingElse)
{
    std::vector<std::string> lines;
    records::ScanLog(kSharedLog, [&](const records::LogEntry& e) { lines.push_back(records::FormatEntry(e)); });
    const std::vector<std::string> expected = {
        "Sun Dec  6 10:14:04 2026\tOPERATOR\tSTATION1\tDevice data to user area flashed\tType=0x5f\t"
        "SerialNumber=0012.3456.789\tManufacturing=04.03.15\tLastUpdate=06.05.16",
        "Mon Dec  7 08:00:00 2026\tTECH\tstation2\tUSB data flashed\tVendorId=0x0403\tSerialNumber=ZK000013",
        "Mon Dec  7 08:02:00 2026\tTECH\tSTATION2\tFirmware updated\tType=0x62\tSerialNumber=0013.3456.789\t"
        "File=nova-101.hex\tResult=0",
        // Cut inside its last value: the value goes, the whole lines stay.
        "Tue Dec  8 09:00:00 2026\tOPERATOR\tSTATION1\tDevice data to user area flashed\tType=0x62\t"
        "SerialNumber=0013.3456.789\tManufacturing=07.12.26",
        // Cut at the end of the file: the unfinished line goes.
        "Tue Dec  8 09:05:00 2026\tOPERATOR\tSTATION1\tDevice data to user area flashed\tType=0x62\t"
        "SerialNumber=0014.3456.789",
    };
    EXPECT_EQ(lines, expected);
}

TEST(History, Filters)
{
    const struct {
        std::string serial, type, since, station;
        std::vector<std::string> times; // of the records that match
    } cases[] = {
        {"", "", "", "", {"Sun Dec  6", "Mon Dec  7", "Mon Dec  7", "Tue Dec  8", "Tue Dec  8"}},
        {"13.3456.789", "", "", "", {"Mon Dec  7", "Tue Dec  8"}},
        {"0012.3456.789", "", "", "", {"Sun Dec  6"}},
        {"zk000013", "", "", "", {"Mon Dec  7"}},
        {"", "98", "", "", {"Mon Dec  7", "Tue Dec  8", "Tue Dec  8"}},
        {"", "0x5F", "", "", {"Sun Dec  6"}},
        {"", "", "07.12.26", "", {"Mon Dec  7", "Mon Dec  7", "Tue Dec  8", "Tue Dec  8"}},
        {"", "", "08.12.26", "STATION1", {"Tue Dec  8", "Tue Dec  8"}},
        {"", "", "", "Station2", {"Mon Dec  7", "Mon Dec  7"}},
        {"14.3456.789", "0x62", "01.01.27", "", {}},
        // Only a serial number as the log writes it matches one.
        {"0013.3456.789.99", "", "", "", {}},
        {"0013.3456.789x", "", "", "", {}},
        {"+13.3456.789", "", "", "", {}},
        {"13.-3456.789", "", "", "", {}},
        {"13.3456.7890", "", "", "", {}},
    };
    for (const auto& c : cases) {
        records::HistoryFilter filter;
        filter.serial = c.serial;
        filter.station = c.station;
        if (!c.type.empty()) filter.type = records::ParseDeviceCode(c.type);
        if (!c.since.empty()) filter.since = records::ParseSinceDate(c.since);
        std::vector<std::string> times;
        records::ScanLog(kSharedLog, [&](const records::LogEntry& e) {
            if (records::Matches(e, filter)) times.emplace_back(e.time.substr(0, 10));
        });
        EXPECT_EQ(times, c.times) << c.serial << "|" << c.type << "|" << c.since << "|" << c.station;
    }
    EXPECT_TRUE(records::ParseSinceDate("29.02.24"));
    for (const char* bad : {"1.12.26", "32.12.26", "01.13.26", "01-12-26", "aa.bb.cc", "", "31.02.24",
                            "29.02.25", "31.04.26", "00.01.26"})
        EXPECT_FALSE(records::ParseSinceDate(bad)) << bad;
    for (const char* bad : {"256", "0x100", "-1", "0x", "9a", ""})
        EXPECT_FALSE(records::ParseDeviceCode(bad)) << bad;
}

// Two records, the first cut at every byte: the second is always listed whole, and the first,
// when listed, holds only lines it had whole.
TEST(History, ACutRecordNeverSwallowsTheNext)
{
    const std::string first = "\r\n***\r\n*** [Sun Dec  6 10:14:04 2026] USER \"OPERATOR\" on COMPUTER \"STATION1\"\r\n"
                              "*** Device data to user area flashed\r\n***\r\n[Device]\r\nType=0x5f\r\n"
                              "SerialNumber=0012.3456.789\r\nManufacturing=04.03.15\r\nLastUpdate=06.05.16\r\n";
    const std::string second = "\r\n***\r\n*** [Mon Dec  7 08:00:00 2026] USER \"TECH\" on COMPUTER \"STATION2\"\r\n"
                               "*** USB data flashed\r\n***\r\n[USB]\r\nVendorId=0x0403\r\nSerialNumber=ZK000013\r\n";
    auto lf = [](std::string text) {
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        return text;
    };
    for (const bool crlf : {true, false}) {
        const std::string a = crlf ? first : lf(first), b = crlf ? second : lf(second);
        std::vector<std::string> whole;
        records::ScanLog(a, [&](const records::LogEntry& e) { whole.push_back(records::FormatEntry(e)); });
        ASSERT_EQ(whole.size(), 1u);
        for (std::size_t cut = 0; cut <= a.size(); ++cut) {
            std::vector<std::string> listed;
            records::ScanLog(a.substr(0, cut) + b,
                             [&](const records::LogEntry& e) { listed.push_back(records::FormatEntry(e)); });
            ASSERT_FALSE(listed.empty()) << "cut at " << cut << (crlf ? " CR LF" : " LF");
            EXPECT_EQ(listed.back(), "Mon Dec  7 08:00:00 2026\tTECH\tSTATION2\tUSB data flashed\t"
                                     "VendorId=0x0403\tSerialNumber=ZK000013")
                << "cut at " << cut << (crlf ? " CR LF" : " LF");
            EXPECT_LE(listed.size(), 2u) << cut;
            if (listed.size() == 2) {
                EXPECT_EQ(whole[0].rfind(listed[0], 0), 0u) << "cut at " << cut << ": " << listed[0];
            }
        }
    }
}

// The log is cut back and written again while history reads it: no fault, and every record
// listed is one that was written.
TEST(History, ALogThatShrinksAndGrowsWhileItIsRead)
{
    TempDir dir;
    const std::string log = dir.File("moving.log");
    std::string record;
    for (int k = 0; k < 2000; ++k) record += kSharedLog;
    WriteText(log, record);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int round = 0; round < 200 && !stop; ++round) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND);
            if (fd < 0) return;
            if (::ftruncate(fd, round % 2 == 0 ? 1000 : 0) != 0) {}
            if (::write(fd, record.data(), record.size() / (1 + round % 5)) < 0) {}
            ::close(fd);
        }
    });
    // A mapped log would fault here as soon as it got shorter than the mapping.
    for (int pass = 0; pass < 20; ++pass)
        EXPECT_TRUE(records::ScanLogFile(log, [](const records::LogEntry&) {}));
    stop = true;
    writer.join();
    WriteText(log, record);
    std::size_t listed = 0;
    EXPECT_TRUE(records::ScanLogFile(log, [&](const records::LogEntry&) { ++listed; }));
    std::size_t inMemory = 0;
    records::ScanLog(record, [&](const records::LogEntry&) { ++inMemory; });
    EXPECT_EQ(listed, inMemory);
    EXPECT_GT(listed, 2000u * 4);
}

TEST(SerialStore, SixProcessesNeverShareANumber)
{
    TempDir dir;
    const std::string store = dir.File("serials.ini");
    constexpr int kProcesses = 6, kEach = 50;
    ASSERT_TRUE(RunChildren(kProcesses, [&](int k) {
        std::string numbers;
        for (int i = 0; i < kEach; ++i) {
            records::Reservation r = records::ReserveSerialNumber(store, 98, 0);
            if (r.number <= 0)
                return false;
            numbers += std::to_string(r.number) + "\n";
        }
        WriteText(dir.File("numbers" + std::to_string(k)), numbers);
        return true;
    }));
    std::set<int> all;
    int count = 0;
    for (int k = 0; k < kProcesses; ++k) {
        std::istringstream in(ReadText(dir.File("numbers" + std::to_string(k))));
        for (int n; in >> n; ++count)
            all.insert(n);
    }
    EXPECT_EQ(count, kProcesses * kEach);
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kProcesses * kEach));
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), kProcesses * kEach);
    EXPECT_NE(ReadText(store).find("Device98=300\r\n"), std::string::npos);

    // A station's own later number wins over the store's; the last number is not passed.
    EXPECT_EQ(records::ReserveSerialNumber(store, 98, 500).number, 501);
    EXPECT_EQ(records::ReserveSerialNumber(store, 95, 0).number, 1);
    records::Reservation full = records::ReserveSerialNumber(store, 98, 0, 501);
    EXPECT_EQ(full.number, 0);
    EXPECT_EQ(full.error, "the running numbers of device code 98 end at 501");
    EXPECT_NE(ReadText(store).find("Device98=501\r\n"), std::string::npos);

    // Replaced whole, never rewritten in place: a station still reading the old file sees it
    // as it was, not half of the next one.
    std::filesystem::create_hard_link(store, dir.File("held"));
    const std::string held = ReadText(dir.File("held"));
    EXPECT_EQ(records::ReserveSerialNumber(store, 95, 0).number, 2);
    EXPECT_EQ(ReadText(dir.File("held")), held);
}

TEST(SerialStore, ALockHeldTooLongHandsOutNothing)
{
    TempDir dir;
    const std::string store = dir.File("serials.ini");
    pid_t holder = StartLockHolder(store + ".lock", 1500);
    ASSERT_GT(holder, 0);
    records::Reservation r = records::ReserveSerialNumber(store, 98, 0, 65535, 200);
    EXPECT_EQ(r.number, 0);
    EXPECT_NE(r.error.find("kept " + store + ".lock locked"), std::string::npos) << r.error;
    EXPECT_TRUE(WaitChild(holder));
    EXPECT_FALSE(std::filesystem::exists(store));
}

TEST(SerialStore, ADamagedValueOrAStaleTemporaryFile)
{
    TempDir dir;
    const std::string store = dir.File("serials.ini");
    for (const char* value : {"12a", "", "-3", "x"}) {
        WriteText(store, std::string("[Serials]\r\nDevice95=7\r\nDevice98=") + value + "\r\n");
        const records::Reservation r = records::ReserveSerialNumber(store, 98, 0);
        EXPECT_EQ(r.number, 0) << value;
        EXPECT_EQ(r.error, "the serial-number store " + store + " holds no number for Device98 on line 3 (\"" +
                               value + "\")");
    }
    WriteText(store, "[Serials]\r\nDevice98=41\r\n");
    // Left by a killed reservation: an old one goes, a young one may still be written.
    WriteText(store + ".tmpAAAAAA", "old");
    WriteText(store + ".tmpBBBBBB", "young");
    const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 120, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (store + ".tmpAAAAAA").c_str(), times, 0), 0);
    EXPECT_EQ(records::ReserveSerialNumber(store, 98, 0).number, 42);
    EXPECT_FALSE(std::filesystem::exists(store + ".tmpAAAAAA"));
    EXPECT_TRUE(std::filesystem::exists(store + ".tmpBBBBBB"));

    // Made for every station account that may write the folder.
    const mode_t mask = ::umask(002);
    const std::string fresh = dir.File("fresh.ini");
    EXPECT_EQ(records::ReserveSerialNumber(fresh, 98, 0).number, 1);
    ::umask(mask);
    for (const std::string& file : {fresh, fresh + ".lock"}) {
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0664u) << file;
    }
}

TEST(Backup, ListedByTimeThenBySequenceNumber)
{
    TempDir dir;
    ScopedEnv data("XDG_DATA_HOME", dir.File("data").c_str());
    const std::string folder = records::BackupFolder() + "/ZK000001";
    std::filesystem::create_directories(folder);
    for (const char* name : {"20261207T101405Z", "20261207T101404Z-10", "20261207T101404Z", "20261207T101404Z-2"})
        WriteText(folder + "/" + name + ".ini", "");
    std::vector<std::string> names;
    for (const records::BackupEntry& b : records::ListBackups()) names.push_back(b.name);
    EXPECT_EQ(names, (std::vector<std::string>{"20261207T101404Z", "20261207T101404Z-2", "20261207T101404Z-10",
                                               "20261207T101405Z"}));
}

// A converter as the chip lays it out: words, checksum and the library's image agreeing.
records::ConverterSnapshot ChipSnapshot(std::uint32_t chip, std::uint16_t vendor, std::uint16_t product,
                                        const std::array<std::string, 4>& strings)
{
    const bool x = chip == d2xx::FT_DEVICE_X_SERIES;
    records::ConverterSnapshot s;
    s.converterSerial = "ZK000012";
    s.chipType = chip;
    s.strings = strings;
    s.image.assign(x ? sizeof(d2xx::FT_EEPROM_X_SERIES) : sizeof(d2xx::FT_EEPROM_232B), 0);
    d2xx::FT_EEPROM_HEADER h{};
    h.deviceType = chip;
    h.VendorId = vendor;
    h.ProductId = product;
    h.MaxPower = 500;
    h.RemoteWakeup = 1;
    std::memcpy(s.image.data(), &h, sizeof h);

    std::vector<std::uint8_t> b(x ? 256 : 128, 0);
    b[2] = vendor & 0xFF, b[3] = vendor >> 8, b[4] = product & 0xFF, b[5] = product >> 8;
    b[8] = 0xA0, b[9] = 250;
    std::size_t at = x ? 0xA0 : 0x14;
    for (auto [pointer, index] : {std::pair{0x0E, 0}, std::pair{0x10, 2}, std::pair{0x12, 3}}) {
        const std::string& text = strings[static_cast<std::size_t>(index)];
        b[pointer] = static_cast<std::uint8_t>(0x80 | at);
        b[pointer + 1] = b[at] = static_cast<std::uint8_t>(2 + 2 * text.size());
        b[at + 1] = 3;
        for (std::size_t i = 0; i < text.size(); ++i)
            b[at + 2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
        at += b[pointer + 1];
    }
    s.userArea = UserAreaImageBuffer{0x62, '0', '0', '1', '0', '0', '0', '1', '0', '0', '1'};
    std::copy_n(s.userArea.begin(), kUserAreaSize, b.begin() + (x ? 0x24 : static_cast<std::ptrdiff_t>(at)));
    if (x)
        for (std::size_t i = 0x80; i < 0xA0; ++i) b[i] = static_cast<std::uint8_t>(i * 3); // factory
    std::uint16_t sum = 0xAAAA;
    for (std::size_t w = 0; w + 1 < b.size() / 2; ++w) {
        s.words.push_back(static_cast<std::uint16_t>(b[2 * w] | b[2 * w + 1] << 8));
        if (!x || w < 0x12 || w >= 0x40) {
            sum ^= s.words.back();
            sum = static_cast<std::uint16_t>(sum << 1 | sum >> 15);
        }
    }
    s.words.push_back(sum);
    return s;
}

TEST(Backup, TextRoundTripAndDamage)
{
    for (std::uint32_t chip : {9u, 0u}) {
        SCOPED_TRACE("chip type " + std::to_string(chip));
        records::ConverterSnapshot s = ChipSnapshot(chip, 0x0403, 0xF208, {"ZKM", "ZK", " Corvina \"Nova\" ", "ZK000012"});
        s.location = "0x00001011";
        const std::string text = records::FormatBackup(s, 1796548444);
        EXPECT_EQ(text.rfind("[Backup]\r\nConverter=ZK000012\r\nChipType=" + std::to_string(chip) +
                                 "\r\nTime=20261206T091404Z\r\nLocation=0x00001011\r\n[Device]\r\n",
                             0),
                  0u)
            << text;
        records::ConverterSnapshot back;
        std::string error;
        ASSERT_TRUE(records::ParseBackup(text, back, error)) << error;
        EXPECT_TRUE(back.digested);
        EXPECT_EQ(back.converterSerial, s.converterSerial);
        EXPECT_EQ(back.location, s.location);
        EXPECT_EQ(back.image, s.image);
        EXPECT_EQ(back.strings, s.strings); // blanks and quotes kept, unlike a settings value
        EXPECT_EQ(back.words, s.words);
        EXPECT_EQ(back.userArea, s.userArea);
        // Whatever the chip's serial holds, the file keeps its lines.
        s.converterSerial = "ZK\r\n[Raw]";
        ASSERT_TRUE(records::ParseBackup(records::FormatBackup(s, 0), back, error)) << error;
        EXPECT_EQ(back.converterSerial, "ZK__[Raw]");

        // Written before there was a digest: the other checks alone decide.
        const std::string old = text.substr(0, text.find("[Digest]\r\n"));
        ASSERT_TRUE(records::ParseBackup(old, back, error)) << error;
        EXPECT_FALSE(back.digested);

        const struct {
            const char* from;
            std::string to;
            const char* digested; // the reason with the digest, then without it
            const char* undigested;
        } damage[] = {
            {"\r\nChipType=", "\r\nChipType=1", "its digest does not match its content", "wrong size"},
            {"ProductId=0xf208", "ProductId=0xf209", "its digest does not match its content",
             "its [USB] ProductId does not agree with its [Raw] words"},
            {"Type=0x62", "Type=0x63", "its digest does not match its content",
             "its [Device] Type does not agree with its [Raw] words"},
            {"Words=0000030408f2", "Words=00000304aaf2", "its digest does not match its content",
             "its [Raw] Words fail the chip's checksum"},
            {"Image=", "Image=ff", "its digest does not match its content", "wrong size"},
            {"Manufacturer=5a4b4d", "Manufacturer=5a4b4e", "its digest does not match its content",
             "its [Raw] Words do not agree with its [Raw] Manufacturer"},
            {"UserArea=62", "UserArea=6", "its digest does not match its content", "is missing or damaged"},
            {"[Raw]", "[Other]", "its digest does not match its content", "is missing or damaged"},
            {"Location=0x00001011", "Location=0x1011", "its digest does not match its content",
             "its location is damaged"},
            {"SHA256=", "SHA256=0", "its digest is damaged", nullptr},
        };
        for (const auto& d : damage) {
            for (bool digested : {true, false}) {
                if (!digested && d.undigested == nullptr)
                    continue;
                std::string bad = digested ? text : old;
                bad.replace(bad.find(d.from), std::strlen(d.from), d.to);
                EXPECT_FALSE(records::ParseBackup(bad, back, error)) << d.from;
                EXPECT_NE(error.find(digested ? d.digested : d.undigested), std::string::npos)
                    << d.from << " -> " << error;
            }
        }
        // Refused whoever wrote them: what a normal write refuses, a restore refuses too.
        const struct {
            records::ConverterSnapshot snapshot;
            const char* reason;
        } refused[] = {
            {ChipSnapshot(chip, 0x0403, 0x0000, {"ZKM", "ZK", "Nova", "ZK1"}), "its ProductId is 0x0000"},
            {ChipSnapshot(chip, 0x0000, 0xF208, {"ZKM", "ZK", "Nova", "ZK1"}), "its VendorId is 0x0000"},
            {ChipSnapshot(chip, 0x0403, 0xF208, {"ZKM", "ZK", "No\nva", "ZK1"}), "its Description holds a control"},
            {ChipSnapshot(chip, 0x0403, 0xF208, {"ZK\xfc", "ZK", "Nova", "ZK1"}), "its Manufacturer holds a control"},
        };
        for (const auto& r : refused) {
            EXPECT_FALSE(records::ParseBackup(records::FormatBackup(r.snapshot, 0), back, error)) << r.reason;
            EXPECT_NE(error.find(r.reason), std::string::npos) << error;
        }
    }
}

TEST(Backup, ReadBackNamesTheFieldsThatDiffer)
{
    UserAreaImageBuffer a{}, b{};
    EXPECT_TRUE(records::DifferingRecordFields(a, b).empty());
    b[0] = 1;
    b[10] = 1;
    b[24] = 1;
    EXPECT_EQ(records::DifferingRecordFields(a, b),
              (std::vector<std::string>{"Type", "SerialNumber", "Checksum"}));

    records::ConverterSnapshot written, read;
    written.image.assign(56, 0);
    read.image.assign(56, 0);
    read.image[0] = 9;  // the device type is the chip's
    EXPECT_TRUE(records::DifferingUsbFields(written, read).empty());
    read.image[6] = 1;  // ProductId
    read.image[40] = 1; // beyond the header
    read.strings[2] = "x";
    EXPECT_EQ(records::DifferingUsbFields(written, read),
              (std::vector<std::string>{"ProductId", "Description", "other configuration bytes"}));
}

} // namespace
