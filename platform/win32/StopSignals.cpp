#include "platform/win32/Windows.h"

#include "platform/StopSignals.h"

#include <atomic>
#include <csignal>
#include <mutex>

namespace platform {

namespace {

std::atomic<int> g_runs{0};
std::atomic<bool> g_confirm{false};
std::atomic<int> g_runSignals{0};
std::atomic<int> g_stopSignal{0};
std::atomic<int> g_deferred{0};
std::atomic<int> g_pending{0};

// What the console itself ends a program with on Ctrl+C.
constexpr UINT kControlCExit = 0xC000013A;

// Runs on a thread of its own that the console starts; returning FALSE lets the console end
// the program as it always would.
BOOL WINAPI OnControl(DWORD event)
{
    const int sig = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    if (g_runs.load() > 0) {
        if (++g_runSignals > 1 || !g_confirm.load()) {
            int none = 0;
            g_stopSignal.compare_exchange_strong(none, sig);
        }
        return TRUE;
    }
    if (g_deferred.load() > 0) {
        g_pending.store(sig);
        return TRUE;
    }
    return FALSE;
}

} // namespace

// A write to a closed pipe fails with an error here; there is no signal to ignore.
void IgnoreBrokenPipe() {}

void InstallStopSignals()
{
    static std::once_flag once;
    std::call_once(once, [] { ::SetConsoleCtrlHandler(&OnControl, TRUE); });
}

StopSignalRun::StopSignalRun(bool confirm)
{
    g_confirm = confirm;
    g_runSignals = 0;
    g_stopSignal = 0;
    ++g_runs;
}

StopSignalRun::~StopSignalRun() { --g_runs; }

bool StopRequested() { return g_stopSignal.load() != 0; }

int RunSignals() { return g_runSignals.load(); }

int StopSignal() { return g_stopSignal.load(); }

DeferStopSignals::DeferStopSignals() { ++g_deferred; }

DeferStopSignals::~DeferStopSignals()
{
    if (--g_deferred == 0 && g_runs.load() == 0 && g_pending.exchange(0) != 0)
        ::ExitProcess(kControlCExit);
}

} // namespace platform
