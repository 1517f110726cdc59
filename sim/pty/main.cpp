// kestrune-sim: serves one simulated display, firmware and boot loader, on a pseudo-terminal
// until SIGINT, SIGTERM or a hang-up through its control channel. The first line on stdout is
// the path of the terminal to open as the display's serial port.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "platform/System.h"
#include "sim/DisplayUnit.h"
#include "sim/PtyServer.h"
#include "sim/SimConfig.h"

namespace {

const char kUsage[] =
    "Usage: kestrune-sim [--config FILE] [--state DIR] [--device-id N] [--revision M.NN]\n"
    "                    [--silent]\n"
    "Serves one simulated display on a pseudo-terminal and prints the terminal's path.\n"
    "  --config FILE     the simulator's configuration file ([Display], [BootLoader], [State])\n"
    "  --state DIR       the state folder (default: [State] Folder, else the configuration\n"
    "                    file's folder; none without a configuration file): the flash image\n"
    "                    flash.bin, the frames received frames.log and the control channel\n"
    "  --device-id N     device identification code in the identity reply (0-255, 0x.. allowed;\n"
    "                    default 98)\n"
    "  --revision M.NN   firmware revision in the identity reply (default 1.23)\n"
    "  --silent          never answer (a display that is switched off)\n"
    "  --help            this text\n"
    "  --version         the version\n"
    "Control channel: the FIFO DIR/control takes one command a line:\n"
    "  reset       the operator resets the display: its boot loader starts with its banner\n"
    "  power off   the display is switched off: it takes nothing and answers nothing\n"
    "  power on    the display is switched on: its firmware starts\n"
    "  hangup      the line hangs up: the terminal pair is closed and kestrune-sim ends\n"
    "Stop it with Ctrl+C, SIGTERM or SIGHUP; one kestrune-sim a state folder.\n";

bool ParseDeviceId(const char* text, std::uint8_t& id)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 255)
        return false;
    id = static_cast<std::uint8_t>(value);
    return true;
}

// "1.23" is major 1 and minor 0x23: the two digits travel as the two nibbles.
bool ParseRevision(const char* text, int& major, std::uint8_t& minor)
{
    if (std::strlen(text) != 4 || text[1] != '.')
        return false;
    for (int i : {0, 2, 3}) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    major = text[0] - '0';
    minor = static_cast<std::uint8_t>(((text[2] - '0') << 4) | (text[3] - '0'));
    return true;
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "kestrune-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// The display behind the line, with the operator's hand on it. The server thread feeds and
// polls it; the control channel only leaves requests, which the next poll carries out at the
// server's own time.
class OperatedDisplay : public sim::Peer {
public:
    explicit OperatedDisplay(const sim::SimConfig& c) : unit_(c.display, c.bootLoader, c.stateFolder) {}

    void Receive(std::span<const std::uint8_t> bytes, std::uint32_t nowMs,
                 std::vector<std::uint8_t>& out) override
    {
        std::lock_guard lock(mutex_);
        if (!powered_)
            return;
        // No DTR reaches a display on a terminal that cannot pass it: after a finished run
        // the boot loader starts the firmware by itself.
        if (unit_.Finished())
            unit_.LeaveBootLoader();
        unit_.Receive(bytes, nowMs, out);
        unit_.TakeFrames();
    }

    void Poll(std::uint32_t nowMs, std::vector<std::uint8_t>& out) override
    {
        std::lock_guard lock(mutex_);
        if (!powered_)
            return;
        if (resetDue_) {
            resetDue_ = false;
            unit_.EnterBootLoader(true, nowMs, out);
        }
        unit_.Poll(nowMs, out);
    }

    void Reset()
    {
        std::lock_guard lock(mutex_);
        resetDue_ = powered_;
    }

    void Power(bool on)
    {
        std::lock_guard lock(mutex_);
        if (powered_ == on)
            return;
        powered_ = on;
        resetDue_ = false;
        unit_.LeaveBootLoader();
    }

    // What a run wrote so far stays in the flash, as on the chip.
    void SaveFlash()
    {
        std::lock_guard lock(mutex_);
        if (unit_.InBootLoader())
            unit_.SaveFlash();
    }

private:
    std::mutex mutex_;
    sim::DisplayUnit unit_;
    bool powered_ = true;
    bool resetDue_ = false;
};

// The control FIFO, made afresh; a name in the way that is no FIFO (a file, a planted link) is
// left alone and refused. Open for writing too, so that a writer closing never reads as the
// end of the channel.
int OpenControl(const std::string& path, std::string& problem)
{
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            problem = path + " is in the way and is no FIFO";
            return -1;
        }
        unlink(path.c_str());
    }
    if (mkfifo(path.c_str(), 0600) != 0) {
        problem = path + ": " + std::generic_category().message(errno);
        return -1;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        problem = path + ": " + std::generic_category().message(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

enum class Command { None, Reset, PowerOff, PowerOn, HangUp, Unknown };

Command ParseCommand(std::string line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    const std::size_t start = line.find_first_not_of(" \t");
    line.erase(0, start == std::string::npos ? line.size() : start);
    if (line.empty())
        return Command::None;
    if (line == "reset")
        return Command::Reset;
    if (line == "power off")
        return Command::PowerOff;
    if (line == "power on")
        return Command::PowerOn;
    if (line == "hangup")
        return Command::HangUp;
    return Command::Unknown;
}

// Whatever a writer sent is named on the operator's terminal, so no byte of it may steer it.
std::string Printable(const std::string& line)
{
    std::string text;
    for (const unsigned char c : line) {
        if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    std::string configFile;
    std::optional<std::string> stateFolder;
    std::optional<std::uint8_t> deviceId;
    std::optional<std::pair<int, std::uint8_t>> revision;
    bool silent = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::puts("kestrune-sim " KESTRUNE_VERSION);
            return 0;
        }
        if (arg == "--silent") {
            silent = true;
        } else if (arg == "--config" || arg == "--state") {
            if (++i >= argc || argv[i][0] == '\0')
                return Fail(arg + " needs a name");
            if (arg == "--config")
                configFile = argv[i];
            else
                stateFolder = argv[i];
        } else if (arg == "--device-id") {
            std::uint8_t id = 0;
            if (++i >= argc || !ParseDeviceId(argv[i], id))
                return Fail("--device-id needs a number from 0 to 255");
            deviceId = id;
        } else if (arg == "--revision") {
            std::pair<int, std::uint8_t> r;
            if (++i >= argc || !ParseRevision(argv[i], r.first, r.second))
                return Fail("--revision needs the form M.NN, for example 1.23");
            revision = r;
        } else {
            return Fail("unknown option " + arg);
        }
    }

    sim::SimConfig config;
    if (!configFile.empty()) {
        if (!platform::PathFileExists(configFile)) {
            std::fprintf(stderr, "kestrune-sim: %s: no such file\n", configFile.c_str());
            return 1;
        }
        config = sim::LoadSimConfig(configFile);
        if (!config.problem.empty()) {
            std::fprintf(stderr, "kestrune-sim: %s\n", config.problem.c_str());
            return 1;
        }
    }
    if (stateFolder)
        config.stateFolder = *stateFolder;
    if (deviceId)
        config.display.deviceId = *deviceId;
    if (revision) {
        config.display.revisionMajor = revision->first;
        config.display.revisionMinor = revision->second;
    }
    if (silent)
        config.display.responds = false;

    int control = -1;
    std::string controlPath;
    if (!config.stateFolder.empty()) {
        if (mkdir(config.stateFolder.c_str(), 0700) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "kestrune-sim: cannot make the state folder %s: %s\n",
                         config.stateFolder.c_str(), std::generic_category().message(errno).c_str());
            return 1;
        }
        // Two simulators on one folder would take each other's FIFO and flash.bin; the lock
        // goes with the process, however it ends.
        const int folder = open(config.stateFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0 || flock(folder, LOCK_EX | LOCK_NB) != 0) {
            std::fprintf(stderr, "kestrune-sim: the state folder %s: %s\n", config.stateFolder.c_str(),
                         errno == EWOULDBLOCK ? "another kestrune-sim uses it"
                                              : std::generic_category().message(errno).c_str());
            return 1;
        }
        std::string problem;
        controlPath = platform::PathAppend(config.stateFolder, "control");
        control = OpenControl(controlPath, problem);
        if (control < 0) {
            std::fprintf(stderr, "kestrune-sim: no control channel: %s\n", problem.c_str());
            return 1;
        }
    }

    // Blocked before the server thread starts, so that only the signal descriptor sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // A closed terminal session must not cost the flash a run wrote so far.
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signals < 0) {
        std::perror("kestrune-sim: signalfd");
        return 1;
    }

    OperatedDisplay display(config);
    sim::PtyServer server(display);
    if (!server.Start()) {
        std::fprintf(stderr, "kestrune-sim: cannot open a pseudo-terminal: %s\n",
                     std::generic_category().message(errno).c_str());
        return 1;
    }
    // Without its path on standard output nobody can use the display.
    if (std::printf("%s\n", server.SlavePath().c_str()) < 0 || std::fflush(stdout) != 0) {
        server.HangUp();
        return 1;
    }

    std::string line;
    bool running = true;
    while (running) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {control, POLLIN, 0}};
        if (poll(fds, control >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN)
            break;
        if (!(fds[1].revents & POLLIN))
            continue;
        char buffer[256];
        const ssize_t n = read(control, buffer, sizeof buffer);
        for (ssize_t i = 0; running && i < n; ++i) {
            if (buffer[i] != '\n') {
                // A line longer than any command is nonsense; keep its length bounded.
                if (line.size() < 64)
                    line += buffer[i];
                continue;
            }
            switch (ParseCommand(line)) {
            case Command::Reset:
                display.Reset();
                break;
            case Command::PowerOff:
                display.Power(false);
                break;
            case Command::PowerOn:
                display.Power(true);
                break;
            case Command::HangUp:
                running = false;
                break;
            case Command::Unknown:
                std::fprintf(stderr, "kestrune-sim: unknown control command \"%s\"\n",
                             Printable(line).c_str());
                break;
            case Command::None:
                break;
            }
            line.clear();
        }
    }
    server.HangUp();
    display.SaveFlash();
    if (control >= 0) {
        // Gone with us, so that a writer fails at once instead of waiting for a reader that
        // never comes; a newer simulator's FIFO under the same name is not ours to take.
        struct stat mine{}, named{};
        if (fstat(control, &mine) == 0 && lstat(controlPath.c_str(), &named) == 0 &&
            mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
            unlink(controlPath.c_str());
        close(control);
    }
    return 0;
}
