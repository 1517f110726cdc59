#include "platform/StopSignals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace platform {

namespace {

// Only lock-free atomics in the handler.
std::atomic<int> g_runs{0};        // active StopSignalRun scopes
std::atomic<bool> g_confirm{false};
std::atomic<int> g_runSignals{0};  // signals seen during the run
std::atomic<int> g_stopSignal{0};
std::atomic<int> g_deferred{0};    // active DeferStopSignals scopes
std::atomic<int> g_pending{0};     // a signal waiting for the deferred scope's end

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void EndAs(int sig) {
    (void)::signal(sig, SIG_DFL);
    (void)::raise(sig);
}

void OnSignal(int sig) {
    const int savedErrno = errno;
    if (g_runs.load() > 0) {
        // The first one of a terminal run only warns; the front end prints the warning.
        if (++g_runSignals > 1 || !g_confirm.load()) {
            int none = 0;
            g_stopSignal.compare_exchange_strong(none, sig);
        }
    } else if (g_deferred.load() > 0) {
        g_pending.store(sig);
    } else {
        EndAs(sig);
    }
    errno = savedErrno;
}

} // namespace

void IgnoreBrokenPipe() { (void)::signal(SIGPIPE, SIG_IGN); }

void InstallStopSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = &OnSignal;
        sigemptyset(&action.sa_mask);
        // Interrupted reads and waits go on: the run decides when to stop.
        action.sa_flags = SA_RESTART;
        for (const int sig : kSignals) {
            struct sigaction previous {};
            // A signal ignored by whoever started us stays ignored (nohup).
            if (::sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
                continue;
            }
            ::sigaction(sig, &action, nullptr);
        }
    });
}

StopSignalRun::StopSignalRun(bool confirm) {
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

DeferStopSignals::~DeferStopSignals() {
    if (--g_deferred == 0 && g_runs.load() == 0) {
        if (const int sig = g_pending.exchange(0); sig != 0) {
            EndAs(sig);
        }
    }
}

} // namespace platform
