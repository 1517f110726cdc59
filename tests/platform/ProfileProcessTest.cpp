// Profile writes from several processes at once, and writers killed mid-write.
#include "platform/FileLock.h"
#include "platform/Profile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using platform::GetProfileString;
using platform::WritePrivateProfileString;

namespace {

template <typename Body>
pid_t Spawn(Body body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    return pid;
}

int ExitCode(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProfileProcesses, ConcurrentWritersLoseNoKey)
{
    TempDir dir;
    const std::string file = dir.File("shared.ini");
    constexpr int kWrites = 150;
    auto writer = [&](const char* prefix) {
        return [&file, prefix] {
            for (int i = 0; i < kWrites; ++i) {
                const std::string key = prefix + std::to_string(i);
                // Both write into one section, so each rewrite must see the other's keys.
                if (!WritePrivateProfileString("Status", key.c_str(), std::to_string(i).c_str(), file))
                    _exit(1);
            }
        };
    };
    const pid_t a = Spawn(writer("A"));
    const pid_t b = Spawn(writer("B"));
    ASSERT_EQ(ExitCode(a), 0);
    ASSERT_EQ(ExitCode(b), 0);
    int missing = 0;
    for (int i = 0; i < kWrites; ++i)
        for (const char* prefix : {"A", "B"})
            missing += GetProfileString("Status", prefix + std::to_string(i), "", file) != std::to_string(i);
    EXPECT_EQ(missing, 0);
}

TEST(ProfileProcesses, KilledWriterLeavesOldOrNewContent)
{
    TempDir dir;
    const std::string file = dir.File("devinfo.bin");
    constexpr std::size_t kSize = 200000;
    auto content = [&](char fill) {
        return "[Device]\r\nPayload=" + std::string(kSize, fill) + "\r\n[USB]\r\nVendorId=0x0403\r\n";
    };
    ASSERT_TRUE(WritePrivateProfileString("Device", "Payload", std::string(kSize, 'a').c_str(), file));
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(WritePrivateProfileString("USB", "VendorId", "0x0403", file));
    ASSERT_EQ(ReadText(file), content('a'));
    // Kills spread over about two writes, whatever this disk's fsync costs.
    const auto oneWrite = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - before);
    const auto spread = static_cast<unsigned>(std::max<long long>(2 * oneWrite.count(), 2000));

    std::mt19937 random(12345);
    std::string previous = content('a');
    int changed = 0;
    int waited = 0;
    for (int round = 0; round < 40; ++round) {
        // Each round writes its own fill, so old and new content are told apart.
        const char fill = static_cast<char>('A' + round % 26);
        int done[2];
        ASSERT_EQ(pipe(done), 0);
        const pid_t child = Spawn([&] {
            const std::string value(kSize, fill);
            for (;;) {
                WritePrivateProfileString("Device", "Payload", value.c_str(), file);
                [[maybe_unused]] auto n = write(done[1], "w", 1);
            }
        });
        // Every other round lets one write finish first, so the kill lands in a later one.
        char c;
        if (round % 2 == 1 && read(done[0], &c, 1) == 1)
            ++waited;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % spread));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(done[0]);
        close(done[1]);
        const std::string now = ReadText(file);
        ASSERT_TRUE(now == previous || now == content(fill)) << "round " << round << ", " << now.size() << " bytes";
        changed += now != previous;
        previous = now;
    }
    EXPECT_GE(changed, waited);
    EXPECT_EQ(waited, 20);
    // The next writer clears what killed writers left behind.
    ASSERT_TRUE(WritePrivateProfileString("USB", "VendorId", "0x0404", file));
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST(ProfileProcesses, AWriteToANewFileThatFailsLeavesNoFile)
{
    TempDir dir;
    const std::string file = dir.File("new.ini");
    // No byte may be written, as on a full disk.
    const pid_t writer = Spawn([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        setrlimit(RLIMIT_FSIZE, &none);
        _exit(WritePrivateProfileString("Device", "Type", "0x5f", file) ? 1 : 0);
    });
    EXPECT_EQ(ExitCode(writer), 0);
    EXPECT_FALSE(PathExists(file));
    std::size_t left = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) left += entry.exists() ? 1 : 0;
    EXPECT_EQ(left, 0u);
}

TEST(FileLock, SecondProcessWaitsBoundedThenGetsTheLock)
{
    TempDir dir;
    const std::string file = dir.File("log");
    WriteText(file, "");
    int locked[2];
    int release[2];
    ASSERT_EQ(pipe(locked), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = Spawn([&] {
        platform::FileStatus status{};
        platform::File held = platform::File::Open(file, platform::FileAccess::ReadWrite, status);
        if (!platform::LockFileRange(held, 0, 100, 1000))
            _exit(1);
        char c = 'x';
        if (write(locked[1], &c, 1) != 1 || read(release[0], &c, 1) != 1)
            _exit(2);
        _exit(0); // the lock goes with the process
    });
    char c = 'x';
    ASSERT_EQ(read(locked[0], &c, 1), 1);
    platform::FileStatus status{};
    platform::File fd = platform::File::Open(file, platform::FileAccess::ReadWrite, status);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::LockFileRange(fd, 0, 0, 100));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    // A range that does not overlap is free at once.
    EXPECT_TRUE(platform::LockFileRange(fd, 1000, 10, 0));
    platform::UnlockFileRange(fd, 1000, 10);
    ASSERT_EQ(write(release[1], &c, 1), 1);
    EXPECT_TRUE(platform::LockFileRange(fd, 0, 0, 5000));
    EXPECT_EQ(ExitCode(holder), 0);
    for (int p : {locked[0], locked[1], release[0], release[1]})
        close(p);
}

TEST(FileLock, TwoDescriptionsInOneProcessExcludeEachOther)
{
    TempDir dir;
    const std::string file = dir.File("log");
    WriteText(file, "");
    platform::FileStatus status{};
    platform::File first = platform::File::Open(file, platform::FileAccess::ReadWrite, status);
    platform::File second = platform::File::Open(file, platform::FileAccess::ReadWrite, status);
    ASSERT_TRUE(platform::LockFileRange(first, 0, 100, 0));
    EXPECT_FALSE(platform::LockFileRange(second, 50, 10, 20));
    platform::UnlockFileRange(first, 0, 100);
    EXPECT_TRUE(platform::LockFileRange(second, 50, 10, 0));
}

} // namespace
