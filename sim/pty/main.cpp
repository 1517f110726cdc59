// kestrune-sim: serves one simulated display on a pseudo-terminal until SIGINT or SIGTERM.
// The first line on stdout is the path of the terminal to open as the display's serial port.
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "sim/DisplayEmulator.h"
#include "sim/PtyServer.h"

namespace {

const char kUsage[] =
    "Usage: kestrune-sim [--device-id N] [--revision M.NN] [--silent]\n"
    "Serves one simulated display on a pseudo-terminal and prints the terminal's path.\n"
    "  --device-id N     device identification code in the identity reply (0-255, 0x.. allowed;\n"
    "                    default 98)\n"
    "  --revision M.NN   firmware revision in the identity reply (default 1.23)\n"
    "  --silent          never answer (a display that is switched off)\n"
    "  --help            this text\n"
    "  --version         the version\n"
    "Stop it with Ctrl+C or SIGTERM.\n";

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

int Fail(const char* message)
{
    std::fprintf(stderr, "kestrune-sim: %s\n%s", message, kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    sim::DisplayConfig config;
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
            config.responds = false;
        } else if (arg == "--device-id") {
            if (++i >= argc || !ParseDeviceId(argv[i], config.deviceId))
                return Fail("--device-id needs a number from 0 to 255");
        } else if (arg == "--revision") {
            if (++i >= argc || !ParseRevision(argv[i], config.revisionMajor, config.revisionMinor))
                return Fail("--revision needs the form M.NN, for example 1.23");
        } else {
            return Fail(("unknown option " + arg).c_str());
        }
    }

    // Blocked before the server thread starts, so that only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    sim::DisplayEmulator display(config);
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

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.HangUp();
    return 0;
}
