#include "platform/System.h"
#include "platform/Sha256.h"
#include "platform/StopSignals.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

TEST(Paths, DrivePathsMapToTheirFolders)
{
    ScopedEnv data("XDG_DATA_HOME", "/data");
    ScopedEnv c("KESTRUNE_DRIVE_C", nullptr);
    ScopedEnv d("KESTRUNE_DRIVE_D", "/mnt/share/");
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"C:\\LOG\\fertigung.log", "/data/kestrune/drive_c/LOG/fertigung.log"},
        {"c:/LOG/x", "/data/kestrune/drive_c/LOG/x"},
        {"C:", "/data/kestrune/drive_c"},
        {"C:\\", "/data/kestrune/drive_c/"},
        {"C:name.txt", "/data/kestrune/drive_c/name.txt"},
        {"d:\\logs\\a.log", "/mnt/share/logs/a.log"},
        {"\\LOG\\x.log", "/data/kestrune/drive_c/LOG/x.log"},
        {"/var/log/x.log", "/var/log/x.log"},
        {"rel/dir\\odd", "rel/dir\\odd"},
        {"LOG\\x.log", "LOG/x.log"},
        {"", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(MapPath(row.in), row.out) << row.in;
}

TEST(Paths, ShellHelpersOnBothForms)
{
    EXPECT_EQ(PathFindFileName("C:\\LOG\\fertigung.log"), "fertigung.log");
    EXPECT_EQ(PathFindFileName("/var/log/x.log"), "x.log");
    EXPECT_EQ(PathFindFileName("C:\\dir\\"), "dir\\");
    EXPECT_EQ(PathFindFileName("C:\\"), "C:\\");
    EXPECT_EQ(PathFindFileName("name"), "name");
    EXPECT_EQ(PathFindFileName("C:name"), "name");

    EXPECT_EQ(PathAppend("/tmp/", "crvsetup.tmp"), "/tmp/crvsetup.tmp");
    EXPECT_EQ(PathAppend("/tmp", "\\crvsetup.tmp"), "/tmp/crvsetup.tmp");
    EXPECT_EQ(PathAppend("C:\\Temp", "crvsetup.tmp"), "C:\\Temp\\crvsetup.tmp");
    EXPECT_EQ(PathAppend("C:", "x"), "C:\\x");
    EXPECT_EQ(PathAppend("", "x"), "x");

    const struct {
        const char* path;
        const char* dir;
        const char* root;
    } rows[] = {
        {"C:\\LOG\\fertigung.log", "C:\\LOG", "C:\\"},
        {"C:\\fertigung.log", "C:\\", "C:\\"},
        {"C:\\", "C:\\", "C:\\"},
        {"C:/LOG/sub/x", "C:/LOG/sub", "C:/"},
        {"/var/log/x.log", "/var/log", "/"},
        {"/x.log", "/", "/"},
        {"x.log", "", ""},
        {"dir/x.log", "dir", ""},
        {"\\\\server\\share\\x.log", "\\\\server\\share", "\\\\server\\share"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(PathRemoveFileSpec(row.path), row.dir) << row.path;
        EXPECT_EQ(PathStripToRoot(row.path), row.root) << row.path;
    }
}

TEST(Paths, FileOperationsMapFirst)
{
    TempDir dir;
    ScopedEnv drive("KESTRUNE_DRIVE_C", (dir.Path() + "/c").c_str());
    // The drive's folder appears on first use, as a drive is always there on Windows.
    EXPECT_FALSE(DirectoryExists("C:\\LOG"));
    EXPECT_TRUE(CreateDirectory("C:\\LOG"));
    EXPECT_FALSE(CreateDirectory("C:\\LOG"));
    EXPECT_TRUE(DirectoryExists("C:\\LOG"));
    EXPECT_TRUE(DirectoryExists(dir.Path() + "/c/LOG"));
    EXPECT_FALSE(CreateDirectory("C:\\a\\b"));

    WriteText(dir.Path() + "/c/LOG/fertigung.log", "x");
    EXPECT_TRUE(PathFileExists("C:\\LOG\\fertigung.log"));
    EXPECT_TRUE(PathFileExists("C:\\LOG"));
    EXPECT_FALSE(DirectoryExists("C:\\LOG\\fertigung.log"));
    EXPECT_FALSE(DeleteFile("C:\\LOG"));
    EXPECT_TRUE(DeleteFile("C:\\LOG\\fertigung.log"));
    EXPECT_FALSE(DeleteFile("C:\\LOG\\fertigung.log"));
    EXPECT_FALSE(PathFileExists("C:\\LOG\\fertigung.log"));
    EXPECT_FALSE(PathFileExists(""));
}

TEST(System, NamesAndFolders)
{
    {
        ScopedEnv tmp("TMPDIR", "/scratch");
        EXPECT_EQ(GetTempPath(), "/scratch/");
    }
    {
        ScopedEnv tmp("TMPDIR", nullptr);
        EXPECT_EQ(GetTempPath(), "/tmp/");
    }
    EXPECT_FALSE(GetUserName().empty());
    EXPECT_FALSE(GetComputerName().empty());
    ScopedEnv home("HOME", "/home/op");
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    ScopedEnv data("XDG_DATA_HOME", "/d");
    EXPECT_EQ(ConfigHome(), "/home/op/.config/kestrune");
    EXPECT_EQ(DataHome(), "/d/kestrune");
}

TEST(Sha256, StandardVectors)
{
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
         "mnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(c.input.data()),
                                                  c.input.size());
        EXPECT_EQ(Sha256Hex(bytes), c.digest) << c.input.size();
        // Fed in pieces that straddle the block boundaries, the digest is the same.
        Sha256 pieces;
        for (std::size_t at = 0; at < bytes.size(); at += 63)
            pieces.Update(bytes.subspan(at, std::min<std::size_t>(63, bytes.size() - at)));
        std::string hex;
        char two[3];
        for (std::uint8_t b : pieces.Final()) {
            std::snprintf(two, sizeof two, "%02x", b);
            hex += two;
        }
        EXPECT_EQ(hex, c.digest) << c.input.size() << " in pieces";
    }
    TempDir dir;
    WriteText(dir.File("abc"), "abc");
    EXPECT_EQ(Sha256HexOfFile(dir.File("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256HexOfFile(dir.File("missing")), "");
}

} // namespace

namespace {

// Each case runs in a child of its own: the handlers are process-wide and may end it.
TEST(StopSignals, SignalsEndTheProcessStopARunOrWaitForAWrite)
{
    const struct {
        const char* what;
        void (*body)();
        int status; // exit status, or 128 + the signal that ended the child
    } cases[] = {
        {"outside a run, as always", [] { ::raise(SIGTERM); ::_exit(0); }, 128 + SIGTERM},
        {"a write finishes first",
         [] {
             {
                 platform::DeferStopSignals hold;
                 ::raise(SIGTERM);
                 if (platform::StopRequested()) ::_exit(1);
                 std::fputs("written\n", stdout); // still here: the write goes on
                 std::fflush(stdout);
             }
             ::_exit(2); // never: the signal takes effect at the scope's end
         },
         128 + SIGTERM},
        {"the first signal of a terminal run only warns",
         [] {
             platform::StopSignalRun run(true);
             ::raise(SIGINT);
             if (platform::StopRequested() || platform::RunSignals() != 1) ::_exit(1);
             ::raise(SIGHUP);
             ::_exit(platform::StopRequested() && platform::StopSignal() == SIGHUP ? 0 : 2);
         },
         0},
        {"a desktop run stops at once",
         [] {
             platform::StopSignalRun run(false);
             ::raise(SIGTERM);
             ::_exit(platform::StopRequested() ? 0 : 1);
         },
         0},
        {"a new run starts unasked",
         [] {
             { platform::StopSignalRun run(false); ::raise(SIGTERM); }
             platform::StopSignalRun next(true);
             ::_exit(platform::StopRequested() ? 1 : 0);
         },
         0},
    };
    for (const auto& c : cases) {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            platform::InstallStopSignals();
            c.body();
            ::_exit(3);
        }
        ::close(out[1]);
        std::string printed;
        char chunk[64];
        for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) printed.append(chunk, static_cast<std::size_t>(n));
        ::close(out[0]);
        int raw = 0;
        ASSERT_EQ(::waitpid(child, &raw, 0), child);
        const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        EXPECT_EQ(status, c.status) << c.what;
        if (std::string(c.what) == "a write finishes first") {
            EXPECT_EQ(printed, "written\n");
        }
    }
}

} // namespace
