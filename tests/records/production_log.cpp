// The production log: the record byte for byte, status entries, folders, serial numbers, and
// stations appending to one file at once.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <map>
#include <regex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "RecordsDevice.h"
#include "platform/FileLock.h"
#include "platform/Profile.h"
#include "platform/Ui.h"
#include "records/ProductionLog.h"
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
        int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
        bool locked = fd >= 0 && platform::LockFileRange(fd, 0, 0, 1000);
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

} // namespace
