// The kestrune-sim program: started like an operator would, reached through [Ports].
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "firmware/HexFile.h"
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
    // Exit status after the signal, -1 when it did not end normally.
    int Stop(int signal = SIGTERM)
    {
        if (pid_ <= 0)
            return -1;
        kill(pid_, signal);
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


// What the operator does to the display, through the FIFO in the state folder.
void Control(const std::string& state, const std::string& command)
{
    std::ofstream(state + "/control") << command << "\n";
}

void Send(CCrvSerialDevice& device, const std::string& text)
{
    ASSERT_TRUE(device.WriteBuffer(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
}

// Bytes up to and with the first line feed, or what came within two seconds.
std::string ReadLine(CCrvSerialDevice& device)
{
    std::string text;
    std::uint8_t c = 0;
    while (device.ReadBuffer(std::span(&c, 1), 2000) == 1) {
        text += static_cast<char>(c);
        if (c == '\n')
            break;
    }
    return text;
}

// Starts a run: the reset, the banner, the erase and the load request.
void StartRun(CCrvSerialDevice& device, const std::string& state)
{
    Control(state, "reset");
    EXPECT_EQ(ReadLine(device), "C8051F120 Firmware Updater\r\n");
    Send(device, "K\r\n");
    EXPECT_EQ(ReadLine(device), "OK\r\n");
    Send(device, "L\r\n");
    EXPECT_EQ(ReadLine(device), "OK\r\n");
}

// Sends record lines up to `count` (all when negative); the verdicts, one a line.
std::string SendRecords(CCrvSerialDevice& device, const std::string& text, int count = -1)
{
    std::string verdicts;
    std::size_t at = 0;
    for (int n = 0; at < text.size() && n != count; ++n) {
        const std::size_t end = text.find('\n', at) + 1;
        Send(device, text.substr(at, end - at));
        std::uint8_t c = 0;
        verdicts += device.ReadBuffer(std::span(&c, 1), 2000) == 1 ? static_cast<char>(c) : '-';
        at = end;
    }
    return verdicts;
}

std::vector<std::uint8_t> FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(SimProgramTest, WholeDisplayResetPoweredAndHungUpThroughItsControlChannel)
{
    const std::string state = dir.File("state");
    const std::string config = dir.File("sim.ini");
    std::ofstream(config) << "[Display]\r\nDeviceId=0x5B\r\n[State]\r\nFolder=" << state << "\r\n";
    SimProgram sim({"--config", config});
    const std::string path = sim.FirstLine();
    ASSERT_FALSE(path.empty());
    CCrvSerialDevice device;
    ASSERT_TRUE(device.OpenPort(path));
    device.SendIdentifyRequest();
    EXPECT_EQ(device.ReadIdentityReply(2000), 91);

    const testhex::Image image = testhex::MakeImage(4096, 32, "\n");
    StartRun(device, state);
    EXPECT_EQ(SendRecords(device, image.text), std::string(static_cast<std::size_t>(image.records), 'G'));
    EXPECT_EQ(ReadLine(device), "OK\r\n");
    EXPECT_EQ(FileBytes(state + "/flash.bin"), image.data);

    // After the run the firmware answers again; switched off it answers nothing, and an
    // unknown command changes nothing.
    device.SendIdentifyRequest();
    EXPECT_EQ(device.ReadIdentityReply(2000), 91);
    Control(state, "power off");
    Control(state, "fly");
    usleep(100000);
    device.SendIdentifyRequest();
    EXPECT_EQ(device.ReadIdentityReply(300), -1);
    Control(state, "power on");
    usleep(100000);
    device.PurgePort();
    device.SendIdentifyRequest();
    EXPECT_EQ(device.ReadIdentityReply(2000), 91);

    // A hang-up in the middle of a run: the program's line is lost, the records taken so far
    // stay in the flash.
    const testhex::Image second = testhex::MakeImage(4096, 32, "\n", 7);
    StartRun(device, state);
    EXPECT_EQ(SendRecords(device, second.text, 10), std::string(10, 'G'));
    Control(state, "hangup");
    EXPECT_EQ(sim.Wait(), 0);
    std::uint8_t c = 0;
    EXPECT_LE(device.ReadBuffer(std::span(&c, 1), 200), 0);
    EXPECT_EQ(FileBytes(state + "/flash.bin"),
              std::vector<std::uint8_t>(second.data.begin(), second.data.begin() + 320));

    // The channel goes with the simulator, so that no writer waits for it; something planted
    // in its place is left alone.
    struct stat st{};
    EXPECT_NE(lstat((state + "/control").c_str(), &st), 0);
    std::ofstream(state + "/control", std::ios::trunc) << "mine";
    SimProgram refused({"--state", state});
    EXPECT_EQ(refused.FirstLine(), "");
    EXPECT_EQ(refused.Wait(), 1);
    EXPECT_EQ(FileBytes(state + "/control").size(), 4u);
}

TEST_F(SimProgramTest, OneSimulatorAStateFolderAndAHangUpSignalKeepsTheRun)
{
    const std::string state = dir.File("state");
    SimProgram sim({"--state", state});
    const std::string path = sim.FirstLine();
    ASSERT_FALSE(path.empty());

    // A second one would take the first one's channel and flash.bin. Stopped, not waited
    // for, so that a second one that stays cannot hang the suite.
    SimProgram second({"--state", state});
    EXPECT_EQ(second.FirstLine(), "");
    EXPECT_EQ(second.Stop(), 1);

    CCrvSerialDevice device;
    ASSERT_TRUE(device.OpenPort(path));
    const testhex::Image image = testhex::MakeImage(4096, 32, "\n", 3);
    StartRun(device, state);
    EXPECT_EQ(SendRecords(device, image.text, 10), std::string(10, 'G'));
    EXPECT_EQ(sim.Stop(SIGHUP), 0);
    EXPECT_EQ(FileBytes(state + "/flash.bin"),
              std::vector<std::uint8_t>(image.data.begin(), image.data.begin() + 320));
}

} // namespace

#endif
