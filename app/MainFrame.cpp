#include "app/MainFrame.h"

#include <QCloseEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QShortcut>
#include <QStatusTipEvent>
#include <algorithm>

#include "app/ChildView.h"
#include "app/CrvsetupApp.h"
#include "app/FrameUpdateSink.h"
#include "app/MainFrameCommands.h"
#include "app/QtUi.h"
#include "app/Resources.h"
#include "dialogs/QtText.h"
#include "dialogs/Seams.h"
#include "app/StatusBar.h"
#include "platform/LastError.h"
#include "platform/Ui.h"
#include "records/FirmwareLog.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

namespace {

// Every file that adds rows to the frame's table, one line each.
constexpr void (*kCommandRegistrations[])(CMainFrame&) = {
    &RegisterUpdateCommands,
    &RegisterMainFrameCommands,
};

struct MenuItem {
    unsigned id;
    const char* text;
};
struct MenuPopup {
    const char* text;
    MenuItem item;
};

constexpr MenuPopup kMenu[] = {
    {"&File", {ID_APP_EXIT, "E&xit"}},
    {"&Options", {ID_UPDATE_HERON, "&Update..."}},
    {"&Help", {ID_APP_ABOUT, "&About Kestrune..."}},
};

// The class library's editing and pane keys. No command of the program handles them.
struct Accelerator {
    QKeyCombination keys;
    unsigned id;
};
enum : unsigned {
    ID_EDIT_COPY = 57634,
    ID_EDIT_CUT = 57635,
    ID_EDIT_PASTE = 57637,
    ID_EDIT_UNDO = 57643,
    ID_NEXT_PANE = 57680,
    ID_PREV_PANE = 57681,
};
const Accelerator kAccelerators[] = {
    {Qt::CTRL | Qt::Key_C, ID_EDIT_COPY},          {Qt::CTRL | Qt::Key_Insert, ID_EDIT_COPY},
    {Qt::CTRL | Qt::Key_V, ID_EDIT_PASTE},         {Qt::SHIFT | Qt::Key_Insert, ID_EDIT_PASTE},
    {Qt::CTRL | Qt::Key_X, ID_EDIT_CUT},           {Qt::SHIFT | Qt::Key_Delete, ID_EDIT_CUT},
    {Qt::CTRL | Qt::Key_Z, ID_EDIT_UNDO},          {Qt::ALT | Qt::Key_Backspace, ID_EDIT_UNDO},
    {QKeyCombination(Qt::Key_F6), ID_NEXT_PANE}, {Qt::SHIFT | Qt::Key_F6, ID_PREV_PANE},
};

QString ServiceTitle(const gui::CommandRow& row)
{
    const std::string prompt = gui::PromptLine(LoadStdString(row.id));
    if (!prompt.empty())
        return gui::ToQt(prompt);
    if (!row.title.empty())
        return gui::ToQt(row.title);
    return QStringLiteral("Command %1").arg(row.id);
}

} // namespace

CMainFrame::CMainFrame(CMyCrvUsbDevice& device, bool serviceMenu, QWidget* parent)
    : QMainWindow(parent), m_device(device)
{
    setObjectName(QStringLiteral("frame%1").arg(IDR_MAINFRAME));
    setWindowTitle(gui::ToQt(LoadStdString(IDR_MAINFRAME)));
    setAccessibleName(gui::ToQt(LoadStdString(IDS_ACC_MAIN_WINDOW)));
    setWindowIcon(gui::AppIcon());

    m_wndView = new CChildView(this);
    setCentralWidget(m_wndView);
    m_wndStatusBar = new CStatusBar(this);
    setStatusBar(m_wndStatusBar);
    setFocusProxy(m_wndView);

    m_commands.AddMessage(WM_USER, [this] { OnUpdateFinished(); });
    for (auto registration : kCommandRegistrations)
        registration(*this);

    CreateMenus(serviceMenu);
    CreateAccelerators();
    gui::FrameUpdateSink::Instance().Attach(this);
}

CMainFrame::~CMainFrame()
{
    gui::FrameUpdateSink& sink = gui::FrameUpdateSink::Instance();
    sink.Detach();
}

void CMainFrame::CreateMenus(bool serviceMenu)
{
    for (const MenuPopup& popup : kMenu) {
        if (serviceMenu && popup.item.id == ID_APP_ABOUT) {
            m_pServiceMenu = menuBar()->addMenu(gui::ToQt(LoadStdString(IDS_SERVICE_MENU)));
            m_pServiceMenu->setObjectName(QStringLiteral("menuService"));
        }
        QMenu* menu = menuBar()->addMenu(QString::fromLatin1(popup.text));
        menu->setObjectName(QStringLiteral("menu") + gui::StripMnemonic(QString::fromLatin1(popup.text)));
        QAction* action = menu->addAction(QString::fromLatin1(popup.item.text));
        action->setObjectName(QStringLiteral("action%1").arg(popup.item.id));
        action->setStatusTip(gui::ToQt(gui::PromptLine(LoadStdString(popup.item.id))));
        const unsigned id = popup.item.id;
        connect(action, &QAction::triggered, this, [this, id] { SendCommand(id); });
    }
    if (m_pServiceMenu == nullptr)
        return;
    const std::vector<unsigned> onMenu = MenuCommandIds();
    for (const gui::CommandRow& row : m_commands.Rows()) {
        if (row.kind != gui::Entry::Command ||
            std::find(onMenu.begin(), onMenu.end(), row.id) != onMenu.end())
            continue;
        QAction* action = m_pServiceMenu->addAction(ServiceTitle(row));
        action->setObjectName(QStringLiteral("action%1").arg(row.id));
        action->setStatusTip(gui::ToQt(gui::PromptLine(LoadStdString(row.id))));
        const unsigned id = row.id;
        connect(action, &QAction::triggered, this, [this, id] { SendCommand(id); });
    }
}

void CMainFrame::CreateAccelerators()
{
    for (const Accelerator& accel : kAccelerators) {
        auto* shortcut = new QShortcut(QKeySequence(accel.keys), this);
        shortcut->setContext(Qt::WindowShortcut);
        const unsigned id = accel.id;
        connect(shortcut, &QShortcut::activated, this, [this, id] { SendCommand(id); });
    }
}

std::vector<unsigned> CMainFrame::MenuCommandIds() const
{
    std::vector<unsigned> ids;
    for (const MenuPopup& popup : kMenu)
        ids.push_back(popup.item.id);
    return ids;
}

bool CMainFrame::OnCmdMsg(unsigned id)
{
    const gui::CommandRow* row = m_wndView->Commands().Find(id);
    if (row == nullptr)
        row = m_commands.Find(id);
    if (row == nullptr)
        row = theApp.Commands().Find(id);
    if (row != nullptr)
        RunRow(*row);
    emit CommandRouted(id, row != nullptr);
    return row != nullptr;
}

void CMainFrame::RunRow(const gui::CommandRow& row)
{
    if (row.device == gui::DeviceUse::Link && RefuseWhileUpdating())
        return;
    // Keep the handler alive even if it replaces its own row.
    const std::function<void()> handler = row.handler;
    try {
        handler();
    } catch (const platform::CommandError& error) {
        gui::ShowMessageBox(this, error.what(), LoadStdString(IDS_APP_TITLE), platform::MB_ICONSTOP);
    }
}

void CMainFrame::PostCommand(unsigned id)
{
    QMetaObject::invokeMethod(this, [this, id] { OnCmdMsg(id); }, Qt::QueuedConnection);
}

bool CMainFrame::SendMessage(unsigned message)
{
    const gui::CommandRow* row = m_commands.Find(message, gui::Entry::Message);
    if (row == nullptr)
        return false;
    const std::function<void()> handler = row->handler;
    handler();
    return true;
}

void CMainFrame::PostMessage(unsigned message)
{
    QMetaObject::invokeMethod(this, [this, message] { SendMessage(message); }, Qt::QueuedConnection);
}

bool CMainFrame::event(QEvent* event)
{
    // Menu prompts go to the message pane, which shows the idle text again when they end.
    if (event->type() == QEvent::StatusTip) {
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        m_wndStatusBar->SetMessage(tip.isEmpty() ? gui::ToQt(LoadStdString(IDS_IDLE_MESSAGE)) : tip);
        return true;
    }
    return QMainWindow::event(event);
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    // The worker owns the link until its end-of-run message: the program must not end under it.
    if (RefuseWhileUpdating()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void CMainFrame::RefreshReadyLine()
{
    std::string line = LoadStdString(IDS_IDLE_MESSAGE);
    if (m_device.SendIdentifyRequest()) {
        m_device.ReadIdentityReply(2000);
        std::string identity;
        if (m_device.FormatIdentityLine(identity))
            line += " - " + identity;
    }
    SetStatusViewText(line);
}

void CMainFrame::SetStatusViewText(const std::string& text)
{
    m_wndView->SetStatusText(gui::ToQtLines(text));
}

bool CMainFrame::UpdateActive() const
{
    return m_bUpdateActive || m_device.Worker().IsRunning();
}

bool CMainFrame::RefuseWhileUpdating()
{
    if (!UpdateActive())
        return false;
    gui::ShowMessageBox(this, LoadStdString(IDS_UPDATE_RUNNING), LoadStdString(IDS_ERROR_CAPTION),
                        platform::MB_ICONINFORMATION);
    return true;
}

bool CMainFrame::StartUpdate(const std::string& path, int family)
{
    if (RefuseWhileUpdating())
        return false;
    if (!m_device.Worker().StartUpdate(path, family, &gui::FrameUpdateSink::Instance()))
        return false;
    m_bUpdateActive = true;
    return true;
}

void CMainFrame::OnUpdateProgress(int percent)
{
    m_wndStatusBar->SetProgressPos(percent);
    theApp.OnUpdateProgress(percent);
}

void CMainFrame::OnUpdateFinished()
{
    m_bUpdateActive = false;
    bool reported = false;
    {
        // Nobody waits at the screen for the automatic run's result: it goes to standard error.
        gui::QtUi::ScopedReportsToStderr quiet(theApp.Ui(), theApp.AutomaticRun());
        if (m_device.EnsureConnected()) {
            m_device.Worker().ReportUpdateResult();
            records::LogFirmwareUpdate(m_device, false);
            RefreshReadyLine();
            reported = true;
        }
    }
    emit UpdateFinishedHandled(reported);
    theApp.OnUpdateRunHandled(reported);
}
