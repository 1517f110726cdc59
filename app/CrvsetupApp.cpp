#include "app/CrvsetupApp.h"

#include <QApplication>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QTimer>
#include <cctype>
#include <cstdio>

#include "app/AboutDlg.h"
#include "app/ChildView.h"
#include "app/FrameUpdateSink.h"
#include "app/MainFrame.h"
#include "app/Placement.h"
#include "dialogs/ConverterChooser.h"
#include "dialogs/QtText.h"
#include "dialogs/Seams.h"
#include "firmware/Firmware.h"
#include "link/DeviceSelection.h"
#include "platform/Profile.h"
#include "platform/System.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

// Holds no device and touches no other file's objects when constructed: the front end hands
// the device over in InitInstance.
CCrvsetupApp theApp;
std::string g_strCommandLineFile;

namespace {

constexpr std::int32_t kAutomaticRunFamily = FamilyHeron;

} // namespace

QRect DesktopClientRect()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->geometry() : QRect();
}

CCrvsetupApp::CCrvsetupApp() noexcept = default;

CCrvsetupApp::~CCrvsetupApp() = default;

BOOL CCrvsetupApp::InitInstance(CMyCrvUsbDevice& device, const std::vector<std::string>& args)
{
    m_pDevice = &device;
    m_ui.EngageWorkers();
    if (m_commands.Find(ID_APP_ABOUT) == nullptr) {
        m_commands.AddCommand(ID_APP_ABOUT, [this] { OnAppAbout(); });
        m_commands.AddCommand(ID_APP_EXIT, [this] { OnAppExit(); });
    }
    m_nStartupTimerRuns = 0;
    m_bAutomaticRun = m_bRunStarted = m_bRunHandled = m_bRunSucceeded = m_bQuitPending = false;
    m_bQuitPosted = false;
    m_nExitCode = 0;
    m_pPreviousUi = platform::SetUi(&m_ui);

    // Steps 1 and 2 (control containers, the registry key) have no counterpart here.
    // 3. The command line.
    CCommandLineInfo cmdInfo;
    cmdInfo.ParseCommandLine(args);

    // 4. The main frame with its menu, accelerators, title, icon, view and status bar.
    m_pMainWnd = std::make_unique<CMainFrame>(device, cmdInfo.m_bService);
    m_ui.SetMainWindow(m_pMainWnd.get());
    QApplication::setWindowIcon(m_pMainWnd->windowIcon());

    // 5. Placed from the desktop's client rectangle; the outer rectangle is what is placed.
    const QRect place = gui::ComputeFramePlacement(DesktopClientRect());
    m_pMainWnd->setUpdatesEnabled(false);
    m_pMainWnd->move(place.topLeft());
    m_pMainWnd->resize(place.size());
    m_pMainWnd->setUpdatesEnabled(true);

    // 6. Shown normally, whatever show state the desktop asked for, and painted at once.
    m_pMainWnd->showNormal();
    const QSize decoration = m_pMainWnd->frameGeometry().size() - m_pMainWnd->geometry().size();
    if (!decoration.isEmpty())
        m_pMainWnd->resize(place.size() - decoration);
    m_pMainWnd->repaint();

    // A bench: the converter named, else asked for when several are attached. A name that
    // cannot be read is said at once and not used: the chooser then asks when several are there.
    converters::DeviceSelection named;
    std::string problem;
    if (!converters::DeviceSelectionFromEnvironment(named, problem))
        gui::ShowMessageBox(m_pMainWnd.get(), problem + "; it is not used.", LoadStdString(IDS_ERROR_CAPTION),
                            platform::MB_ICONSTOP | platform::MB_OK);
    if (!cmdInfo.m_strDevice.empty()) {
        if (auto given = converters::ParseDeviceSelection(cmdInfo.m_strDevice))
            named = *given;
        else
            gui::ShowMessageBox(m_pMainWnd.get(),
                                "--device " + cmdInfo.m_strDevice +
                                    ": name a converter as serial:S, location:L or index:N; it is not used.",
                                LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONSTOP | platform::MB_OK);
    }
    converters::SetDeviceSelection(named);
    device.CauseInNotFoundBox = true;
    m_bNoConverterChosen = !gui::ChooseStartupConverter(m_pMainWnd.get(), device.Library());

    // 7, 8. Connect quietly and ask for the identity; the results are looked at later. With
    // several converters and none chosen, none is opened: it could be anybody's.
    m_bDisplaySilent = false;
    if (!m_bNoConverterChosen && Device().ConnectDevice(FALSE))
        m_bDisplaySilent = !Device().SendIdentifyRequest() || Device().ReadIdentityReply(2000) == -1;

    // 9.
    g_strCommandLineFile = cmdInfo.m_strFileName;

    // 10. Active as well, so that the focus is real for screen readers too.
    m_pMainWnd->activateWindow();
    m_pMainWnd->m_wndView->setFocus(Qt::OtherFocusReason);

    // 11.
    m_pStartupTimer = std::make_unique<QTimer>();
    m_pStartupTimer->setInterval(START_UP_TIMER_MS);
    QObject::connect(m_pStartupTimer.get(), &QTimer::timeout, [this] { StartupTimerProc(); });
    m_pStartupTimer->start();
    m_pQuitTimer = std::make_unique<QTimer>();
    m_pQuitTimer->setInterval(QUIT_TIMER_MS);
    QObject::connect(m_pQuitTimer.get(), &QTimer::timeout, [this] { QuitTimerProc(); });

    // 12.
    std::string ready = LoadStdString(IDS_IDLE_MESSAGE);
    std::string identity;
    if (m_bNoConverterChosen)
        ready += "\nNo converter is chosen: several are attached and none was picked, so nothing is "
                 "written. Start again and choose one, or name one with --device.";
    else if (Device().FormatIdentityLine(identity))
        ready += " - " + identity;
    if (m_bDisplaySilent)
        ready += "\n" + LoadStdString(IDS_ERROR_WAITING_ID);
    // A store file that cannot be read leaves the program on its defaults: say so at once.
    for (std::string unusable : platform::UnusableStoreFiles()) {
        unusable[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(unusable[0])));
        ready += "\n" + unusable + "; its settings are not used.";
    }
    // Before any write: a database that cannot be used refuses numbers and records, so say why.
    std::string database = m_database.Install(platform::ProfileStorePath());
    if (database.empty())
        database = m_database.Deliver();
    if (!database.empty()) {
        database[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(database[0])));
        ready += "\n" + database + ".";
    }

    // 13. Steps 1 to 3 of showing a status text; a larger font gets a larger window, so that
    // the ready line is not broken in the middle of a field.
    m_pMainWnd->m_wndView->ShowStatusText(gui::ToQtLines(ready), false);
    m_pMainWnd->FitToStatusText();

    // 14.
    m_pMainWnd->update();
    m_pMainWnd->repaint();

    m_script.Load();
    return TRUE;
}

void CCrvsetupApp::StartupTimerProc()
{
    m_pStartupTimer->stop();
    ++m_nStartupTimerRuns;
    CMainFrame* owner = m_pMainWnd.get();

    if (Device().CheckConnection()) {
        if (!g_strCommandLineFile.empty() && platform::PathFileExists(g_strCommandLineFile)) {
            m_bAutomaticRun = true;
            m_bRunStarted = owner->StartUpdate(g_strCommandLineFile, kAutomaticRunFamily);
            m_pQuitTimer->start();
        }
        // A converter that opens with nothing answering behind it: told with the box, not
        // left to a revision of 0.00 in the ready line.
        if (m_bDisplaySilent && !m_bAutomaticRun) {
            gui::ShowMessageBox(owner, LoadStdString(IDS_ERROR_WAITING_ID), LoadStdString(IDS_ERROR_CAPTION),
                                platform::MB_ICONINFORMATION);
            owner->RestoreFocus();
        }
    } else if (!m_bNoConverterChosen) {
        // The cause (busy, not the one named) in the same box: the status view's second line
        // is read only later, if ever.
        const std::string cause = Device().OpenFailureSentence();
        gui::ShowMessageBox(owner, LoadStdString(IDS_NO_USB_DEVICE) + (cause.empty() ? "" : "\n" + cause),
                            LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONINFORMATION);
        owner->RestoreFocus();
    }
    m_script.OnReady(*owner);
}

void CCrvsetupApp::QuitTimerProc()
{
    m_pQuitTimer->stop();
    // The run goes on to its end first: ending now would leave the display half flashed.
    if (m_bRunStarted && !m_bRunHandled) {
        m_bQuitPending = true;
        return;
    }
    EndAutomaticRun();
}

void CCrvsetupApp::OnUpdateRunHandled(bool reported)
{
    if (m_pMainWnd)
        m_script.OnUpdateHandled(*m_pMainWnd);
    if (!m_bAutomaticRun || m_bRunHandled)
        return;
    m_bRunHandled = true;
    m_bRunSucceeded = reported && Device().Worker().m_nResult.load() == 0;
    if (m_bQuitPending)
        EndAutomaticRun();
}

void CCrvsetupApp::OnUpdateProgress(int percent)
{
    if (m_pMainWnd)
        m_script.OnProgress(*m_pMainWnd, percent);
}

void CCrvsetupApp::EndAutomaticRun()
{
    m_bQuitPending = false;
    // A run that failed, or never started, must not look like success to whoever started us.
    m_nExitCode = m_bRunSucceeded ? 0 : 1;
    m_bQuitPosted = true;
    QCoreApplication::exit(m_nExitCode);
}

bool CCrvsetupApp::StartupTimerActive() const
{
    return m_pStartupTimer && m_pStartupTimer->isActive();
}

bool CCrvsetupApp::QuitTimerActive() const
{
    return m_pQuitTimer && m_pQuitTimer->isActive();
}

void CCrvsetupApp::OnAppAbout()
{
    CAboutDlg aboutDlg(m_pMainWnd.get());
    gui::RunModal(aboutDlg);
}

void CCrvsetupApp::OnAppExit()
{
    if (m_pMainWnd)
        m_pMainWnd->close();
}

int CCrvsetupApp::Run()
{
    if (m_bQuitPosted)
        return ExitInstance(m_nExitCode);
    return ExitInstance(QApplication::exec());
}

int CCrvsetupApp::ExitInstance(int loopExitCode)
{
    if (m_pStartupTimer)
        m_pStartupTimer->stop();
    if (m_pQuitTimer)
        m_pQuitTimer->stop();
    // Only an abnormal end of the loop gets here during a run. Whatever the worker waits for on
    // this thread (a status text, a box) is released first; then it may finish before the link
    // goes. Done even when no run seems active: one may be just ending.
    gui::FrameUpdateSink::Instance().Detach();
    m_ui.ReleaseWorkers();
    Device().Worker().Wait();
    Device().ClosePort();

    m_ui.SetMainWindow(nullptr);
    m_pMainWnd.reset();
    m_pStartupTimer.reset();
    m_pQuitTimer.reset();
    platform::SetUi(m_pPreviousUi);
    m_pPreviousUi = nullptr;
    m_pDevice = nullptr;
    m_database.Uninstall();
    // Nothing is remembered for the next start (nor the next test's).
    converters::SetDeviceSelection({});
    m_bNoConverterChosen = m_bDisplaySilent = false;
    return loopExitCode != 0 ? loopExitCode : m_nExitCode;
}
