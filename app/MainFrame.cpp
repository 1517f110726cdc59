#include "app/MainFrame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QShortcut>
#include <QStatusTipEvent>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/ChildView.h"
#include "app/CrvsetupApp.h"
#include "app/FrameUpdateSink.h"
#include "app/MainFrameCommands.h"
#include "app/ProductionCommands.h"
#include "app/QtUi.h"
#include "app/Resources.h"
#include "dialogs/ConverterChooser.h"
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
    &RegisterProductionCommands,
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

// The service menu: labels of their own (the prompts stay the status-bar help), grouped as
// firmware, device and production work; 0 separates the groups.
struct ServiceItem {
    unsigned id;
    unsigned label;
};
constexpr ServiceItem kServiceMenu[] = {
    {ID_UPDATE_KV, IDS_MENU_UPDATE_KV},
    {ID_UPDATE_OPAL, IDS_MENU_UPDATE_OPAL},
    {ID_UPDATE_OPAL_KEYBOARD, IDS_MENU_UPDATE_OPAL_KEYBOARD},
    {ID_UPDATE_NOVA, IDS_MENU_UPDATE_NOVA},
    {0, 0},
    {ID_USB_SETTINGS, IDS_MENU_USB_SETTINGS},
    {ID_DEVICE_SETTINGS, IDS_MENU_DEVICE_SETTINGS},
    {ID_DEVICE_CONTROLS, IDS_MENU_DEVICE_CONTROLS},
    {ID_DEVICE_INFORMATION, IDS_MENU_DEVICE_INFORMATION},
    {ID_SERIAL_PORT_TEST, IDS_MENU_SERIAL_PORT_TEST},
    {ID_RECONNECT, IDS_MENU_RECONNECT},
    {0, 0},
    {ID_GENERATE_SERIAL, IDS_MENU_GENERATE_SERIAL},
    {ID_LOAD_SETTINGS, IDS_MENU_LOAD_SETTINGS},
    {ID_SAVE_SETTINGS, IDS_MENU_SAVE_SETTINGS},
};

// A command the table above does not list still gets an item, under the best text there is.
QString FallbackLabel(const gui::CommandRow& row)
{
    if (!row.title.empty())
        return gui::ToQt(row.title);
    const std::string prompt = gui::PromptLine(LoadStdString(row.id));
    if (!prompt.empty())
        return gui::ToQt(prompt);
    return QStringLiteral("Command %1").arg(row.id);
}

} // namespace

CMainFrame::CMainFrame(CMyCrvUsbDevice& device, bool serviceMenu, QWidget* parent)
    : QMainWindow(parent), m_device(device)
{
    setObjectName(QStringLiteral("frame%1").arg(IDR_MAINFRAME));
    // No accessible name of its own: screen readers take the title, progress included.
    setWindowTitle(gui::ToQt(LoadStdString(IDR_MAINFRAME)));
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
        if (popup.item.id == ID_UPDATE_HERON)
            CreateProductionMenu();
    }
    if (m_pServiceMenu != nullptr)
        FillServiceMenu();
}

void CMainFrame::CreateProductionMenu()
{
    // Always there: the bench's work is the technicians' daily work, not a service mode.
    QMenu* menu = menuBar()->addMenu(QStringLiteral("&Production"));
    menu->setObjectName(QStringLiteral("menuProduction"));
    for (const ProductionItem& item : kProductionMenu) {
        QAction* action = menu->addAction(QString::fromLatin1(item.text));
        action->setObjectName(QStringLiteral("action%1").arg(item.id));
        const unsigned id = item.id;
        connect(action, &QAction::triggered, this, [this, id] { SendCommand(id); });
    }
}

void CMainFrame::AddServiceItem(unsigned id, const QString& label)
{
    QAction* action = m_pServiceMenu->addAction(label);
    action->setObjectName(QStringLiteral("action%1").arg(id));
    action->setStatusTip(gui::ToQt(gui::PromptLine(LoadStdString(id))));
    connect(action, &QAction::triggered, this, [this, id] { SendCommand(id); });
}

void CMainFrame::FillServiceMenu()
{
    const std::vector<unsigned> onMenu = MenuCommandIds();
    const auto offered = [&](unsigned id) {
        const gui::CommandRow* row = m_commands.Find(id);
        return row != nullptr && std::find(onMenu.begin(), onMenu.end(), id) == onMenu.end();
    };
    bool groupEnded = false;
    for (const ServiceItem& item : kServiceMenu) {
        if (item.id == 0) {
            groupEnded = !m_pServiceMenu->isEmpty();
            continue;
        }
        if (!offered(item.id))
            continue;
        if (groupEnded)
            m_pServiceMenu->addSeparator();
        groupEnded = false;
        AddServiceItem(item.id, gui::ToQt(LoadStdString(item.label)));
    }
    bool first = true;
    for (const gui::CommandRow& row : m_commands.Rows()) {
        const bool listed = std::any_of(std::begin(kServiceMenu), std::end(kServiceMenu),
                                        [&](const ServiceItem& item) { return item.id == row.id; });
        if (row.kind != gui::Entry::Command || listed || !offered(row.id))
            continue;
        if (first && !m_pServiceMenu->isEmpty())
            m_pServiceMenu->addSeparator();
        first = false;
        AddServiceItem(row.id, FallbackLabel(row));
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
    for (const ProductionItem& item : kProductionMenu)
        ids.push_back(item.id);
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
    // Whatever the command opened has closed by now.
    RestoreFocus();
}

void CMainFrame::RestoreFocus()
{
    // A box still open keeps the focus, and a window on its way out takes none.
    if (!isVisible() || QApplication::activeModalWidget() != nullptr)
        return;
    // After a dialog, Qt leaves the window inactive (or the focus on the menu bar) at times:
    // screen readers would then hear nothing of what follows.
    activateWindow();
    m_wndView->StatusView->setFocus(Qt::OtherFocusReason);
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
    FitToStatusText();
}

void CMainFrame::FitToStatusText()
{
    if (!isVisible() || isMaximized() || isFullScreen() || screen() == nullptr)
        return;
    QPlainTextEdit* edit = m_wndView->StatusView;
    const QFontMetrics fm(edit->font());
    int widest = 0;
    const QStringList lines = edit->toPlainText().split(QLatin1Char('\n'));
    for (const QString& line : lines)
        widest = std::max(widest, fm.horizontalAdvance(line));
    // The document's margins on both sides, and a character's room for the caret after the end.
    const int margins = 2 * static_cast<int>(std::ceil(edit->document()->documentMargin()));
    const int wantWidth = widest + margins + fm.averageCharWidth();
    // Three lines: the ready line and room to read a second one without scrolling.
    const int wantHeight = 3 * fm.lineSpacing() + margins;
    const QSize viewport = edit->viewport()->size();
    const QRect available = screen()->availableGeometry();
    QRect outer = frameGeometry();
    outer.setWidth(std::min(outer.width() + std::max(0, wantWidth - viewport.width()), available.width()));
    outer.setHeight(std::min(outer.height() + std::max(0, wantHeight - viewport.height()), available.height()));
    if (outer.size() == frameGeometry().size())
        return;
    // Kept on the screen, the left and top edges moving only as far as needed.
    outer.moveLeft(std::max(available.left(), std::min(outer.left(), available.right() + 1 - outer.width())));
    outer.moveTop(std::max(available.top(), std::min(outer.top(), available.bottom() + 1 - outer.height())));
    const QSize decoration = frameGeometry().size() - size();
    move(outer.topLeft());
    resize(outer.size() - decoration);
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
                        platform::MB_ICONINFORMATION, &m_pRefusalBox);
    RestoreFocus();
    return true;
}

bool CMainFrame::StartUpdate(const std::string& path, int family)
{
    if (RefuseWhileUpdating())
        return false;
    if (gui::RefuseUnchosenConverter(this, m_device.Library())) {
        RestoreFocus();
        return false;
    }
    m_stopSignals.emplace(false);
    gui::FrameUpdateSink::Instance().RunStarts();
    if (!m_device.Worker().StartUpdate(path, family, &gui::FrameUpdateSink::Instance())) {
        m_stopSignals.reset();
        return false;
    }
    m_bUpdateActive = true;
    return true;
}

void CMainFrame::OnUpdateProgress(int percent)
{
    theApp.OnUpdateProgress(percent);
    // Told in steps of 10 %: every value and title change is an event a screen reader speaks.
    const int told = percent - percent % 10;
    if (told == m_nToldPercent)
        return;
    m_nToldPercent = told;
    m_wndStatusBar->SetProgressPos(told);
    // The title tells the progress also where the status bar is out of sight (task bar, a
    // screen reader's window list).
    SetTitle(QString::fromLatin1(LoadString(IDS_TITLE_PROGRESS))
                 .arg(gui::ToQt(LoadStdString(IDR_MAINFRAME)))
                 .arg(told));
}

void CMainFrame::EndProgress()
{
    m_nToldPercent = -1;
    m_wndStatusBar->DestroyProgressBar();
    SetTitle(gui::ToQt(LoadStdString(IDR_MAINFRAME)));
}

void CMainFrame::SetTitle(const QString& title)
{
    if (windowTitle() != title)
        setWindowTitle(title);
}

void CMainFrame::OnUpdateFinished()
{
    // The refusal box would go on saying that the run is going on: it closes first, and the
    // result follows once its loop has returned.
    if (m_pRefusalBox) {
        m_pRefusalBox->reject();
        PostMessage(WM_USER);
        return;
    }
    EndProgress();
    m_bUpdateActive = false;
    m_stopSignals.reset();
    if (platform::StopSignal() != 0) {
        // Asked to end: no box waits for an answer. The stop is shown, logged, and the
        // program ends as the signal asked, now that the link is quiet.
        const std::string stopped = LoadStdString(gui::FrameUpdateSink::Instance().FlashChanged()
                                                      ? IDS_UPDATE_STOPPED
                                                      : IDS_UPDATE_STOPPED_UNCHANGED);
        SetStatusViewText(stopped);
        std::fprintf(stderr, "kestrune: %s\n", stopped.c_str());
        std::fflush(stderr);
        if (m_device.EnsureConnected())
            records::LogFirmwareUpdate(m_device, false);
        QCoreApplication::exit(130); // as a terminal program stopped by a signal
        return;
    }
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
    RestoreFocus();
    emit UpdateFinishedHandled(reported);
    theApp.OnUpdateRunHandled(reported);
}
