// The main frame: menu, command routing, accelerators, the service menu, the about box and
// what screen readers are told.
#include <QAccessible>
#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusTipEvent>
#include <QTest>
#include <set>

#include "GuiTest.h"
#include "app/ChildView.h"
#include "app/CrvsetupApp.h"
#include "app/MainFrame.h"
#include "dialogs/Seams.h"
#include "app/StatusBar.h"
#include "platform/LastError.h"
#include "res/Strings.h"

namespace {

// Menu texts as (menu, item) pairs, separators left out.
std::vector<std::pair<QString, QString>> MenuItems(QMenuBar* bar)
{
    std::vector<std::pair<QString, QString>> items;
    for (QAction* top : bar->actions())
        for (QAction* item : top->menu()->actions())
            if (!item->isSeparator())
                items.emplace_back(top->text(), item->text());
    return items;
}

} // namespace

class Frame : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        UseNoDisplay();
    }
    CMainFrame& MainFrame() { return *theApp.MainWindow(); }
    // Starts the program and lets the start-up timer report the missing display.
    void StartAndSettle(const std::vector<std::string>& args = {})
    {
        StartApp(args);
        ASSERT_TRUE(WaitFor([] { return theApp.StartupTimerRuns() > 0; }));
        ASSERT_EQ(BoxTexts(), std::vector<std::string>{"No USB device found."});
    }
    std::string LastBox() const
    {
        const auto boxes = BoxTexts();
        return boxes.empty() ? std::string() : boxes.back();
    }
};

TEST_F(Frame, MenuOffersExitUpdateTheBenchAndAbout)
{
    StartApp();
    const auto items = MenuItems(MainFrame().menuBar());
    const std::vector<std::pair<QString, QString>> expected = {
        {"&File", "E&xit"},
        {"&Options", "&Update..."},
        {"&Production", "&Run Unit..."},
        {"&Production", "&History..."},
        {"&Production", "&Backups..."},
        {"&Production", "&Diagnostics..."},
        {"&Help", "&About Kestrune..."}};
    EXPECT_EQ(items, expected);
    EXPECT_EQ(MainFrame().windowTitle(), "Kestrune");
    EXPECT_FALSE(MainFrame().windowIcon().isNull());
    // Without --service there is no service menu.
    EXPECT_EQ(MainFrame().ServiceMenu(), nullptr);
}

TEST_F(Frame, ServiceMenuOffersEveryCommandWithoutMenuItem)
{
    StartAndSettle({"--service"});
    QMenu* service = MainFrame().ServiceMenu();
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->title(), "&Service");
    std::map<QString, QString> titles;
    std::vector<bool> separators;
    for (QAction* action : service->actions()) {
        separators.push_back(action->isSeparator());
        if (!action->isSeparator())
            titles[action->objectName()] = action->text();
    }
    // Every frame command without a menu item is there, and nothing else.
    std::vector<unsigned> onMenu = MainFrame().MenuCommandIds();
    size_t without = 0;
    for (const gui::CommandRow& row : MainFrame().Commands().Rows()) {
        if (row.kind != gui::Entry::Command || std::count(onMenu.begin(), onMenu.end(), row.id) > 0)
            continue;
        ++without;
        EXPECT_EQ(titles.count(QStringLiteral("action%1").arg(row.id)), 1u) << row.id;
    }
    EXPECT_EQ(titles.size(), without);
    EXPECT_EQ(titles.count("action32804"), 0u);
    // Labels of their own, "..." where a dialog follows; the prompt stays the status-bar help.
    EXPECT_EQ(titles["action32794"], "Update &KV Firmware...");
    EXPECT_EQ(titles["action32785"], "Device &Information...");
    EXPECT_EQ(titles["action32781"], "&Reconnect");
    EXPECT_EQ(service->findChild<QAction*>("action32794")->statusTip(), "Update firmware of Corvina KV devices");
    // Grouped: separators between groups, never at an end or two in a row.
    EXPECT_EQ(std::count(separators.begin(), separators.end(), true), 2);
    EXPECT_FALSE(separators.front() || separators.back());
    for (size_t i = 1; i < separators.size(); ++i)
        EXPECT_FALSE(separators[i - 1] && separators[i]) << i;
    // Each item and each menu of the bar reachable by its own letter.
    const auto expectOwnLetters = [](const QList<QAction*>& actions, const char* where) {
        std::set<QString> letters;
        for (QAction* action : actions) {
            if (action->isSeparator())
                continue;
            const QString letter = QKeySequence::mnemonic(action->text()).toString().toLower();
            EXPECT_FALSE(letter.isEmpty()) << where << ": " << action->text().toStdString();
            EXPECT_TRUE(letters.insert(letter).second) << where << ": " << action->text().toStdString();
        }
    };
    expectOwnLetters(service->actions(), "service menu");
    expectOwnLetters(MainFrame().menuBar()->actions(), "menu bar");
    expectOwnLetters(MainFrame().findChild<QMenu*>("menuProduction")->actions(), "production menu");

    // Choosing one runs its handler: with no display, the connection check reports it.
    service->findChild<QAction*>("action32794")->trigger();
    EXPECT_EQ(BoxTexts().size(), 2u);
    EXPECT_EQ(LastBox(), "No USB device found.");
    EXPECT_TRUE(gui::seams::FileRequests().empty());
}

TEST_F(Frame, RoutingGoesViewFrameApplication)
{
    StartApp();
    std::vector<std::string> ran;
    MainFrame().Commands().AddCommand(40001, [&] { ran.push_back("frame"); });
    theApp.Commands().AddCommand(40001, [&] { ran.push_back("app"); });
    theApp.Commands().AddCommand(40002, [&] { ran.push_back("app only"); });
    EXPECT_TRUE(MainFrame().SendCommand(40001));
    EXPECT_TRUE(MainFrame().SendCommand(40002));
    EXPECT_FALSE(MainFrame().SendCommand(40003));
    EXPECT_TRUE(theApp.Commands().Remove(40001));
    EXPECT_TRUE(theApp.Commands().Remove(40002));
    EXPECT_EQ(ran, (std::vector<std::string>{"frame", "app only"}));
    // The end-of-run message is no command.
    EXPECT_FALSE(MainFrame().SendCommand(CMainFrame::WM_USER));
}

TEST_F(Frame, CommandWithoutMenuItemSentByIdRunsItsHandler)
{
    UseDisplay();
    StartApp();
    ASSERT_TRUE(WaitFor([] { return theApp.StartupTimerRuns() > 0; }));
    gui::seams::QueueFileAnswer(std::nullopt);
    EXPECT_TRUE(MainFrame().SendCommand(ID_UPDATE_NOVA));
    const auto requests = gui::seams::FileRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].defaultName, "nova-100.hex");
}

TEST_F(Frame, AcceleratorsReachNoHandler)
{
    StartAndSettle();
    MainFrame().activateWindow();
    QSignalSpy routed(&MainFrame(), &CMainFrame::CommandRouted);
    const std::string before = StatusText();
    QTest::keyClick(&MainFrame(), Qt::Key_F6);
    QTest::keyClick(&MainFrame(), Qt::Key_F6, Qt::ShiftModifier);
    QTest::keyClick(&MainFrame(), Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(&MainFrame(), Qt::Key_Insert, Qt::ShiftModifier);
    ASSERT_EQ(routed.count(), 4);
    const unsigned ids[] = {57680, 57681, 57643, 57637};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(routed[i][0].toUInt(), ids[i]);
        EXPECT_FALSE(routed[i][1].toBool());
    }
    EXPECT_EQ(StatusText(), before);
    EXPECT_EQ(BoxTexts().size(), 1u);
}

TEST_F(Frame, CommandErrorIsReportedLikeTheDispatchDoes)
{
    StartAndSettle();
    MainFrame().Commands().AddCommand(40010, [] { throw platform::CommandError(platform::E_FAIL); });
    EXPECT_TRUE(MainFrame().SendCommand(40010));
    const auto boxes = gui::seams::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, platform::ErrorText(platform::E_FAIL));
    EXPECT_EQ(boxes[1].caption, "Kestrune");
    EXPECT_EQ(boxes[1].flags, platform::MB_ICONSTOP);
}

TEST_F(Frame, MenuPromptsShowInTheMessagePane)
{
    StartApp();
    CStatusBar* bar = MainFrame().m_wndStatusBar;
    EXPECT_EQ(bar->Message(), "Kestrune is ready");
    QStatusTipEvent tip(MainFrame().findChild<QAction*>("action57665")->statusTip());
    QCoreApplication::sendEvent(&MainFrame(), &tip);
    EXPECT_EQ(bar->Message(), "Quit the application");
    QStatusTipEvent none{QString()};
    QCoreApplication::sendEvent(&MainFrame(), &none);
    EXPECT_EQ(bar->Message(), "Kestrune is ready");
    EXPECT_EQ(MainFrame().findChild<QAction*>("action57664")->statusTip(),
              "Display program information, version number and copyright");

    // The message pane, then CAP, NUM and SCRL from left to right. Offscreen the key states
    // are unknown: the texts stay, greyed.
    std::vector<QLabel*> panes{bar->MessagePane()};
    for (unsigned id : {ID_INDICATOR_CAPS, ID_INDICATOR_NUM, ID_INDICATOR_SCRL}) {
        ASSERT_NE(bar->Indicator(id), nullptr) << id;
        panes.push_back(bar->Indicator(id));
    }
    const char* texts[] = {"CAP", "NUM", "SCRL"};
    const char* names[] = {"Caps Lock", "Num Lock", "Scroll Lock"};
    for (int i = 1; i < 4; ++i) {
        EXPECT_LT(panes[i - 1]->geometry().right(), panes[i]->geometry().left()) << i;
        EXPECT_EQ(panes[i]->text(), texts[i - 1]);
        EXPECT_EQ(panes[i]->accessibleName(), names[i - 1]);
        EXPECT_FALSE(panes[i]->isEnabled());
    }
}

TEST_F(Frame, AboutBoxFromTheMenu)
{
    StartApp();
    QString title, version, copyright;
    bool iconShown = false;
    gui::seams::SetDialogDriver([&](QDialog& dialog) {
        title = dialog.windowTitle();
        version = dialog.findChild<QLabel*>("static_version")->text();
        copyright = dialog.findChild<QLabel*>("static_copyright")->text();
        iconShown = !dialog.findChild<QLabel*>("static_icon")->pixmap().isNull();
        QTest::mouseClick(dialog.findChild<QPushButton*>("button1"), Qt::LeftButton);
    });
    MainFrame().findChild<QAction*>("action57664")->trigger();
    EXPECT_EQ(gui::seams::DialogsRun(), 1);
    EXPECT_EQ(title, "About Kestrune");
    EXPECT_EQ(version, "Kestrune Version 3.04");
    EXPECT_TRUE(copyright.startsWith("Copyright"));
    EXPECT_TRUE(iconShown);
}

TEST_F(Frame, EveryControlHasAnAccessibleName)
{
    StartApp();
    ASSERT_TRUE(WaitFor([] { return theApp.StartupTimerRuns() > 0; }));
    std::vector<QWidget*> widgets{&MainFrame()};
    for (QWidget* child : MainFrame().findChildren<QWidget*>())
        if (child->isVisible() && child->focusPolicy() != Qt::NoFocus)
            widgets.push_back(child);
    for (QLabel* label : MainFrame().m_wndStatusBar->findChildren<QLabel*>())
        widgets.push_back(label);
    for (QWidget* widget : widgets) {
        // Qt's own parts of a scroll area and the menu bar are named by Qt.
        if (qobject_cast<QMenuBar*>(widget) != nullptr || qobject_cast<QScrollBar*>(widget) != nullptr ||
            widget->objectName().startsWith("qt_scrollarea_"))
            continue;
        // What a screen reader reads: a label's text, a window's title, or the name given.
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(iface, nullptr);
        EXPECT_FALSE(iface->text(QAccessible::Name).isEmpty())
            << widget->metaObject()->className() << " " << widget->objectName().toStdString();
    }
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&MainFrame())->text(QAccessible::Name), "Kestrune");
    EXPECT_EQ(MainFrame().m_wndView->StatusView->objectName(), "edit1");
    EXPECT_EQ(MainFrame().m_wndStatusBar->objectName(), "statusbar59393");
}
