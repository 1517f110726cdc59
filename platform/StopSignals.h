#pragma once
// SIGINT, SIGTERM and SIGHUP in the front ends. Outside an update run a signal ends the process
// as it always did, except in the middle of a write to the converter: that write and its
// read-back finish first. During a run the signals are the operator asking to stop; the run
// polls StopRequested and ends cleanly instead of leaving the display half-flashed and silent.
namespace platform {

// A reader that went away (| head) is seen as a failed write, never as the end of the program.
void IgnoreBrokenPipe();

// Installs the handlers (once per process).
void InstallStopSignals();

// For the span of an update run. confirm: the first signal only warns, the second stops (a
// terminal); otherwise the first stops (a desktop asked to end).
class StopSignalRun {
public:
    explicit StopSignalRun(bool confirm);
    ~StopSignalRun();
    StopSignalRun(const StopSignalRun&) = delete;
    StopSignalRun& operator=(const StopSignalRun&) = delete;
};

// Whether the run in progress has been asked to stop.
bool StopRequested();
// Signals received during the run in progress (a front end warns after the first).
int RunSignals();
// The signal that asked (0: none), for a front end that then ends as that signal would.
int StopSignal();

// Around a write and its read-back: a signal that ends the process waits for the scope's end.
class DeferStopSignals {
public:
    DeferStopSignals();
    ~DeferStopSignals();
    DeferStopSignals(const DeferStopSignals&) = delete;
    DeferStopSignals& operator=(const DeferStopSignals&) = delete;
};

} // namespace platform
