// Firmware files before the display is touched: family names, file checks, record pieces and
// the progress measure.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "firmware/Firmware.h"
#include "firmware/FirmwareCheck.h"
#include "platform/LastError.h"

namespace {

TEST(FirmwareName, EachFamilyWantsItsPrefix) {
    struct Case {
        const char* name;
        std::int32_t family;
        bool fits;
    } cases[] = {
        {"kv-rev01.hex", FamilyKv, true},      {"KV_TEST.HEX", FamilyKv, true},
        {"rev01.hex", FamilyKv, false},        {"k", FamilyKv, false},
        {"", FamilyKv, false},                 {"opal.hex", FamilyOpal, true},
        {"OPAL_brt.hex", FamilyOpalKeyboard, true}, {"opa", FamilyOpal, false},
        {"nova-100.hex", FamilyNova, true},    {"opal.hex", FamilyNova, false},
        {"heron-100.hex", FamilyHeron, true},  {"Pika2.hex", FamilyHeron, true},
        {"HERON", FamilyHeron, true},          {"her.hex", FamilyHeron, false},
        {"pik.hex", FamilyHeron, false},       {"kv-rev01.hex", FamilyHeron, false},
        {"anything.hex", 5, true},             {"anything.hex", -1, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FirmwareNameFits(c.name, c.family), c.fits) << c.name << " family " << c.family;
    }
}

class FirmwareFileCheck : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(FirmwareFileCheck, AFittingFileGivesItsStoredSize) {
    const std::string record = ":10000000000102030405060708090A0B0C0D0E0F78\r\n";
    WriteText(dir.File("kv-rev01.hex"), record + record);
    EXPECT_EQ(CheckFirmwareFile(dir.File("kv-rev01.hex"), FamilyKv), 2 * record.size());
    // Only the file-name part counts, not the folder's name.
    std::filesystem::create_directory(dir.File("heron"));
    WriteText(dir.File("heron/rev.hex"), record);
    EXPECT_EQ(CheckFirmwareFile(dir.File("heron/rev.hex"), FamilyHeron), 0u);
    EXPECT_EQ(CheckFirmwareFile(dir.File("heron/rev.hex"), 9), record.size());
}

TEST_F(FirmwareFileCheck, RefusedFilesSayWhy) {
    WriteText(dir.File("opal.hex"), ":00000001FF\n");
    WriteText(dir.File("KV-empty.hex"), "");
    std::filesystem::create_directory(dir.File("kv-folder.hex"));
    // A FIFO nobody writes to would hold an open without O_NONBLOCK for ever.
    ASSERT_EQ(::mkfifo(dir.File("kv-fifo.hex").c_str(), 0600), 0);
    WriteText(dir.File("kv-huge.hex"), ":00000001FF\n");
    std::filesystem::resize_file(dir.File("kv-huge.hex"), kFirmwareMaxSize + 1);
    struct Case {
        const char* what;
        std::string path;
        std::int32_t family;
        std::uint32_t error;
    } cases[] = {
        {"other family", dir.File("opal.hex"), FamilyKv, 123},
        {"missing", dir.File("kv-missing.hex"), FamilyKv, 2},
        {"empty", dir.File("KV-empty.hex"), FamilyKv, 38},
        {"a folder", dir.File("kv-folder.hex"), FamilyKv, 5},
        {"a FIFO", dir.File("kv-fifo.hex"), FamilyKv, 5},
        {"a device", "/dev/zero", 9, 5},
        {"larger than any image", dir.File("kv-huge.hex"), FamilyKv, kFirmwareTooLarge},
    };
    for (const Case& c : cases) {
        platform::SetLastError(0);
        EXPECT_EQ(CheckFirmwareFile(c.path, c.family), 0u) << c.what;
        EXPECT_EQ(platform::GetLastError(), c.error) << c.what;
    }
}

TEST_F(FirmwareFileCheck, EveryRecordLineIsCheckedBeforeTheDisplayIsTouched) {
    const std::string data = ":10000000000102030405060708090A0B0C0D0E0F78\r\n";
    const std::string end = ":00000001FF\r\n";
    struct Case {
        const char* what;
        std::string text;
        std::uint32_t error;
        std::uint32_t line;
        std::string reason;
    } cases[] = {
        {"well formed, comments and a Ctrl-Z tail", "; v1\r\n" + data + "\r\n" + end + "\x1A:garbage", 0, 0, ""},
        {"last line without its end", data + ":00000001FF", 0, 0, ""},
        {"lower-case digits, address types 02 and 04", data + ":020000021000ec\n:020000040001F9\n" + end, 0, 0, ""},
        // What the boot loader refuses only after the erase is refused here.
        {"start address at the end", data + ":0400000500000000F7\n" + end, kFirmwareBadRecord, 2,
         "record type 0x05 (start address) is not taken by the boot loader"},
        {"segment start address", ":0400000300000000F9\n" + data + end, kFirmwareBadRecord, 1,
         "record type 0x03 (start address) is not taken by the boot loader"},
        {"linear address of 3 bytes", data + ":03000004000100F8\n" + end, kFirmwareBadRecord, 2,
         "an address record (type 0x04) needs 2 data bytes, not 3"},
        {"segment address of 1 byte", ":0100000210ED\n" + data + end, kFirmwareBadRecord, 1,
         "an address record (type 0x02) needs 2 data bytes, not 1"},
        {"cut short", data + data.substr(0, 21), kFirmwareBadRecord, 2, "byte count 0x10 does not match the 5 data bytes"},
        {"no end-of-file record", data + data, kFirmwareNoEnd, 0, "no end-of-file record"},
        {"a record after the end", data + end + data, kFirmwareNoEnd, 3, "a record after the end-of-file record of line 2"},
        {"no data record", "hello\n" + end, kFirmwareNoData, 0, "no data record"},
        {"binary", std::string("\x7f" "ELF\x02\x01\x01\0\0", 9) + "\n:", kFirmwareBadRecord, 2, "too short for a record"},
        {"checksum", data + ":0100000000FE\n" + end, kFirmwareBadRecord, 2, "checksum 0xfe, the record needs 0xff"},
        {"not a digit", ":01000000G0FF\n", kFirmwareBadRecord, 1, "'G' in column 10 is not a hexadecimal digit"},
        {"a blank at the end", ":0100000000FF \n", kFirmwareBadRecord, 1, "' ' in column 14 is not a hexadecimal digit"},
        {"odd digits", ":0100000000F\n", kFirmwareBadRecord, 1, "an odd number of hexadecimal digits"},
        {"type 06", ":00000006FA\n", kFirmwareBadRecord, 1, "record type 0x06 is not one of 0x00 to 0x05"},
        {"a CR alone before the LF", ":0100000000FF\r\r\n", kFirmwareBadRecord, 1, "byte 0x0d in column 14 is not a hexadecimal digit"},
        // 253 characters and the LF fit one piece; one more would reach the loader cut in two.
        {"longest record", ":79000000" + std::string(242, '0') + "87\n" + end, 0, 0, ""},
        {"too long", ":7A000000" + std::string(244, '0') + "86\n" + end, kFirmwareBadRecord, 1, "longer than 254 characters"},
        {"one line of 100,000 characters", ":" + std::string(99999, '0') + "\n", kFirmwareBadRecord, 1, "longer than 254 characters"},
        {"a long comment is skipped", std::string(100000, ';') + "\n" + data + end, 0, 0, ""},
        // Skipped when sent, so a record with a damaged start would be lost from the flash.
        {"a blank before the colon", data + " " + data + end, kFirmwareBadRecord, 2,
         "a record must begin with ':' in column 1, not column 2"},
        {"a NUL before the colon", data + std::string("\0\t", 2) + data + end, kFirmwareBadRecord, 2,
         "a record must begin with ':' in column 1, not column 3"},
        {"a record without its colon", data + data.substr(1) + end, kFirmwareBadRecord, 2, "a record without its ':'"},
        {"hex digits that are no record, and blank lines", "0123456789ABCDEF\n \n\t\n\n" + data + end, 0, 0, ""},
    };
    for (const Case& c : cases) {
        WriteText(dir.File("heron.hex"), c.text);
        const FirmwareContentProblem problem = CheckFirmwareContent(dir.File("heron.hex"));
        EXPECT_EQ(problem.error, c.error) << c.what;
        EXPECT_EQ(problem.line, c.line) << c.what;
        EXPECT_EQ(problem.reason, c.reason) << c.what;
    }
}

TEST_F(FirmwareFileCheck, AFileHeldByAnotherProgramIsRefusedUntilReleased) {
    const std::string path = dir.File("heron-100.hex");
    WriteText(path, ":00000001FF\n");
    const int holder = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_SH), 0);
    platform::SetLastError(0);
    EXPECT_EQ(CheckFirmwareFile(path, FamilyHeron), 0u);
    EXPECT_EQ(platform::GetLastError(), 32u);
    ::close(holder);
    EXPECT_EQ(CheckFirmwareFile(path, FamilyHeron), 12u);

    // Another station of a gang reading the same file a moment: the check waits its turn.
    const int reader = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(reader, LOCK_EX), 0);
    std::thread release([reader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(reader);
    });
    EXPECT_EQ(CheckFirmwareFile(path, FamilyHeron), 12u);
    release.join();
}

TEST_F(FirmwareFileCheck, AFileWithoutReadPermissionIsRefused) {
    const std::string path = dir.File("nova-100.hex");
    WriteText(path, ":00000001FF\n");
    ::chmod(path.c_str(), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(CheckFirmwareFile(path, FamilyNova), 0u);
        EXPECT_EQ(platform::GetLastError(), 5u);
        return;
    }
    // Root reads every file: the check runs in a child that has given up root.
    ::chmod(dir.Path().c_str(), 0755);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        const bool refused = CheckFirmwareFile(path, FamilyNova) == 0u;
        ::_exit(refused && platform::GetLastError() == 5u ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not refused with error 5; 3: could not drop root";
}

// Every piece of a file, as ReadRecordLine cuts it.
std::vector<std::string> Pieces(const std::string& path) {
    FirmwareTextFile file;
    EXPECT_TRUE(file.Open(path));
    std::vector<std::string> pieces;
    std::string piece;
    while (ReadRecordLine(file, piece)) {
        pieces.push_back(piece);
    }
    return pieces;
}

TEST(FirmwareRecords, RecordLinesAreSentAsTextModeReadsThem) {
    TempDir dir;
    const std::string record(":10000000000102030405060708090A0B0C0D0E0F78");
    ASSERT_EQ(record.size(), 43u);
    WriteText(dir.File("f.hex"), "; comment\r\n" + record + "\r\n\r\n" + record + "\n:last");
    const auto pieces = Pieces(dir.File("f.hex"));
    ASSERT_EQ(pieces.size(), 5u);
    EXPECT_EQ(pieces[0], "; comment\n");
    EXPECT_EQ(pieces[1], record + "\n");
    EXPECT_EQ(pieces[2], "\n");
    EXPECT_EQ(pieces[4], ":last");

    EXPECT_FALSE(PrepareRecordText(pieces[0], FamilyHeron));
    EXPECT_FALSE(PrepareRecordText(pieces[2], FamilyKv));
    // 45 bytes in the file: the record and one LF, and family 0 adds one more.
    EXPECT_EQ(PrepareRecordText(pieces[1], FamilyHeron).value().size(), 44u);
    EXPECT_EQ(PrepareRecordText(pieces[1], FamilyKv).value(), record + "\n\n");
    // The file's last line goes out with the line end the boot loader acts on.
    EXPECT_EQ(PrepareRecordText(pieces[4], FamilyOpal).value(), ":last\n");
    EXPECT_EQ(PrepareRecordText(pieces[4], FamilyKv).value(), ":last\n");
}

TEST(FirmwareRecords, LongLinesAreCutAndControlZEndsTheFile) {
    TempDir dir;
    const std::string longLine = ":" + std::string(299, 'A');
    WriteText(dir.File("f.hex"), longLine + "\r\n:01\rX\n:02\x1A:03\n");
    const auto pieces = Pieces(dir.File("f.hex"));
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0], longLine.substr(0, 254));
    EXPECT_EQ(PrepareRecordText(pieces[0], FamilyKv).value(), longLine.substr(0, 254) + "\n");
    // The tail, 46 characters and its LF, does not start with ':' and is dropped.
    EXPECT_EQ(pieces[1], std::string(46, 'A') + "\n");
    EXPECT_FALSE(PrepareRecordText(pieces[1], FamilyKv));
    // A CR without LF is kept as it is.
    EXPECT_EQ(pieces[2], ":01\rX\n");
    EXPECT_EQ(pieces[3], ":02");

    FirmwareTextFile missing;
    platform::SetLastError(0);
    EXPECT_FALSE(missing.Open(dir.File("none.hex")));
    EXPECT_EQ(platform::GetLastError(), 2u) << "the run's -1 is shown with this number";
    std::string piece;
    EXPECT_FALSE(ReadRecordLine(missing, piece));
}

TEST(FirmwareProgress, StepsFollowTheCharactersSent) {
    UpdateProgress progress = UpdateProgress::ForSize(10000);
    EXPECT_EQ(progress.m_nStep, 100u);
    std::vector<std::pair<int, std::uint32_t>> reports; // record number, percentage
    for (int record = 1; record <= 227; ++record) {
        if (const auto percent = CountProgress(progress, 44)) {
            reports.emplace_back(record, *percent);
        }
    }
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[0], std::make_pair(3, 1u));
    EXPECT_EQ(reports[1], std::make_pair(5, 2u));
    EXPECT_EQ(reports.back().second, 99u);
    EXPECT_EQ(progress.m_nSent, 227u * 44);
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GT(reports[i].second, reports[i - 1].second);
    }
    // Family 0's extra LFs send more than the file holds: 100 waits for the last verdict.
    EXPECT_EQ(CountProgress(progress, 2000), 99u);
    EXPECT_EQ(FinishProgress(progress), 100u);
}

TEST(FirmwareProgress, AFileUnderOneHundredBytesStillEndsFull) {
    UpdateProgress progress = UpdateProgress::ForSize(57);
    EXPECT_EQ(progress.m_nStep, 0u);
    EXPECT_EQ(CountProgress(progress, 44), 77u);
    EXPECT_EQ(CountProgress(progress, 12), 98u);
    EXPECT_EQ(CountProgress(progress, 44), 99u);
    EXPECT_EQ(FinishProgress(progress), 100u);

    UpdateProgress none = UpdateProgress::ForSize(0);
    EXPECT_FALSE(CountProgress(none, 44));
}

} // namespace
