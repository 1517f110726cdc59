// The kestrune-sim program: started like an operator would, reached through [Ports].
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "link/CrvSerialDevice.h"
#include "platform/Profile.h"
#include "support/TempDir.h"

#ifdef KESTRUNE_SIM_PTY

extern char** environ;

namespace {

// Runs the simulator with its standard output on a pipe; stops it with SIGTERM.
class SimProgram {
public:
    explicit SimProgram(std::vector<std::string> args)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        args.insert(args.begin(), KESTRUNE_SIM_PTY);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KESTRUNE_SIM_PTY, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
    }
    ~SimProgram()
    {
        Stop();
        if (out_ != nullptr)
            fclose(out_);
    }
    std::string FirstLine()
    {
        char line[256] = {};
        if (out_ == nullptr || fgets(line, sizeof line, out_) == nullptr)
            return {};
        std::string text(line);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }
    // Exit status after SIGTERM, -1 when it did not end normally.
    int Stop()
    {
        if (pid_ <= 0)
            return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int Wait()
    {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
};

class SimProgramTest : public testing::Test {
protected:
    TempDir dir;
    std::string profile = dir.File("kestrune.ini");
    ScopedEnv profileEnv{"KESTRUNE_PROFILE", profile.c_str()};
    ScopedEnv registryEnv{"KESTRUNE_REGISTRY", dir.File("none.reg").c_str()};
};

TEST_F(SimProgramTest, AnswersWithTheCodeAndRevisionItWasGiven)
{
    SimProgram sim({"--device-id", "0x5B", "--revision", "2.05"});
    const std::string path = sim.FirstLine();
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
    ASSERT_TRUE(platform::WritePrivateProfileString("Ports", "COM1", path.c_str(), profile));

    CCrvSerialDevice device;
    ASSERT_TRUE(device.OpenPort("COM1:"));
    device.SendIdentifyRequest();
    EXPECT_EQ(device.ReadIdentityReply(2000), 91);
    EXPECT_EQ(device.RevisionMajor, 2);
    EXPECT_EQ(device.RevisionMinor, 0x05);
    // Close and reopen while it runs.
    device.ClosePort();
    ASSERT_TRUE(device.OpenPort("COM1"));
    device.SendIdentifyRequest();
    EXPECT_EQ(device.ReadIdentityReply(2000), 91);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(SimProgramTest, SilentDisplayAndBadOptions)
{
    SimProgram silent({"--silent"});
    const std::string path = silent.FirstLine();
    ASSERT_FALSE(path.empty());
    CCrvSerialDevice device;
    ASSERT_TRUE(device.OpenPort(path)); // a device path is used as it stands
    device.SendIdentifyRequest();
    EXPECT_EQ(device.ReadIdentityReply(200), -1);
    EXPECT_EQ(silent.Stop(), 0);

    for (std::vector<std::string> bad : {std::vector<std::string>{"--device-id", "256"},
                                         {"--revision", "1.2"}, {"--revision"}, {"--loud"}}) {
        SimProgram sim(bad);
        EXPECT_EQ(sim.FirstLine(), "");
        EXPECT_EQ(sim.Wait(), 2) << bad[0];
    }
}

} // namespace

#endif
