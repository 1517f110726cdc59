#pragma once
// The application object: start-up, the start-up and quit timers, the automatic update run,
// the application's command table and shutdown.
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/CommandTable.h"
#include "app/QtUi.h"
#include "app/Screenshots.h"
#include "production/DatabaseSetup.h"
#include "platform/Types.h"

class CMainFrame;
class CMyCrvUsbDevice;
class QRect;
class QTimer;

class CCrvsetupApp {
public:
    enum { START_UP_TIMER_MS = 200, QUIT_TIMER_MS = 500 };

    // Constructed before main (theApp): it allocates nothing until InitInstance.
    CCrvsetupApp() noexcept;
    ~CCrvsetupApp();
    CCrvsetupApp(const CCrvsetupApp&) = delete;
    CCrvsetupApp& operator=(const CCrvsetupApp&) = delete;

    // Needs the QApplication. device: the front end's device object, used until ExitInstance.
    // args: the command line without the program name, after Qt took its own options (the
    // simulation switch has been acted on by then). Always TRUE.
    BOOL InitInstance(CMyCrvUsbDevice& device, const std::vector<std::string>& args);
    // The message loop, then ExitInstance; returns the process's exit status.
    int Run();
    // Closes the link and takes the windows down. Returns the exit status: the loop's code, or
    // 1 when an automatic run failed.
    int ExitInstance(int loopExitCode);

    void StartupTimerProc();
    void QuitTimerProc();

    void OnAppAbout();
    void OnAppExit();

    CMainFrame* MainWindow() const { return m_pMainWnd.get(); }
    // Between InitInstance and ExitInstance.
    CMyCrvUsbDevice& Device() const { return *m_pDevice; }
    gui::CommandTable& Commands() { return m_commands; }
    gui::QtUi& Ui() { return m_ui; }

    // The automatic update run: started by the start-up timer, it ends the program once the
    // quit timer has fired and the end-of-run message has been handled.
    bool AutomaticRun() const { return m_bAutomaticRun; }
    bool NoConverterChosen() const { return m_bNoConverterChosen; }
    void OnUpdateRunHandled(bool reported);
    void OnUpdateProgress(int percent);

    // Observation points.
    int StartupTimerRuns() const { return m_nStartupTimerRuns; }
    bool StartupTimerActive() const;
    bool QuitTimerActive() const;
    bool QuitPending() const { return m_bQuitPending; }
    int ExitCode() const { return m_nExitCode; }

private:
    void EndAutomaticRun();

    gui::CommandTable m_commands;
    gui::QtUi m_ui;
    gui::ScriptedRun m_script;
    platform::UserInterface* m_pPreviousUi = nullptr;
    CMyCrvUsbDevice* m_pDevice = nullptr;
    // The profile's records database, for this run's serial numbers and records.
    production::InstalledDatabase m_database;
    std::unique_ptr<CMainFrame> m_pMainWnd;
    std::unique_ptr<QTimer> m_pStartupTimer;
    std::unique_ptr<QTimer> m_pQuitTimer;
    int m_nStartupTimerRuns = 0;
    bool m_bAutomaticRun = false;
    bool m_bNoConverterChosen = false; // several attached, the chooser cancelled
    bool m_bDisplaySilent = false;     // a converter opened, but the display did not answer
    bool m_bRunStarted = false;
    bool m_bRunHandled = false;
    bool m_bRunSucceeded = false;
    bool m_bQuitPending = false;
    bool m_bQuitPosted = false; // a quit posted while no loop ran ends the next one at once
    int m_nExitCode = 0;
};

// Where the frame is placed from: the desktop window's client rectangle (the primary screen's
// whole geometry).
QRect DesktopClientRect();

extern CCrvsetupApp theApp;
extern std::string g_strCommandLineFile;
