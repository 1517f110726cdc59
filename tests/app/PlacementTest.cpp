// Where the main frame opens on a given desktop.
#include <QApplication>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QRect>
#include <QTextBlock>
#include <QTextLayout>
#include <QScreen>
#include <QGuiApplication>

#include "GuiTest.h"
#include "app/CrvsetupApp.h"
#include "app/MainFrame.h"
#include "app/ChildView.h"
#include "app/Placement.h"

namespace {

struct PlacementCase {
    QSize desktop;
    QRect frame;
};

// Every division drops its remainder.
const PlacementCase kCases[] = {
    {{1920, 1080}, {384, 216, 960, 216}},
    {{1366, 768}, {273, 153, 683, 153}},
    {{1023, 767}, {204, 153, 511, 153}},
    {{4, 4}, {0, 0, 2, 0}},
};

} // namespace

TEST(PlacementMath, ComputedFromTheDesktopSize)
{
    for (const PlacementCase& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.desktop.width() << "x" << c.desktop.height());
        EXPECT_EQ(gui::ComputeFramePlacement(QRect(QPoint(0, 0), c.desktop)), c.frame);
    }
}

TEST(PlacementMath, UsesTheSizeNotTheOriginOfTheDesktop)
{
    // The desktop's client rectangle of a secondary layout still yields W/5, H/5.
    EXPECT_EQ(gui::ComputeFramePlacement(QRect(100, 50, 1920, 1080)), QRect(384, 216, 960, 216));
}

class Placement : public GuiTest {};

TEST_F(Placement, RealFrameOnTheTestDesktop)
{
    // Run once per desktop size: see tests/app/CMakeLists.txt.
    const QSize screen = TestScreenSize();
    ASSERT_EQ(QGuiApplication::primaryScreen()->geometry().size(), screen);
    const PlacementCase* expected = nullptr;
    for (const PlacementCase& c : kCases)
        if (c.desktop == screen)
            expected = &c;
    ASSERT_NE(expected, nullptr) << "no expected placement for this desktop";

    UseNoDisplay();
    StartApp();
    CMainFrame* frame = theApp.MainWindow();
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(frame->isVisible());
    EXPECT_FALSE(frame->isMinimized());
    EXPECT_FALSE(frame->isMaximized());
    EXPECT_EQ(frame->frameGeometry(), expected->frame);
}

TEST_F(Placement, ALargerFontGetsAWindowThatHoldsTheReadyLineOnOneLine)
{
    // Fonts twice as large (192 DPI): even half of the widest test desktop is too narrow then.
    const QFont normal = QApplication::font();
    QFont large = normal;
    large.setPointSizeF(normal.pointSizeF() * 2);
    QApplication::setFont(large);
    UseDisplay();
    StartApp();
    QApplication::setFont(normal);
    CMainFrame* frame = theApp.MainWindow();
    QPlainTextEdit* view = frame->m_wndView->StatusView;
    const QString ready = view->toPlainText();
    ASSERT_TRUE(ready.startsWith("Kestrune is ready - ")) << ready.toStdString();
    // Too long for the placed width: only the fit keeps it on one line.
    const QRect placed = gui::ComputeFramePlacement(DesktopClientRect());
    ASSERT_GT(QFontMetrics(view->font()).horizontalAdvance(ready), placed.width() - 40);
    EXPECT_EQ(view->document()->firstBlock().layout()->lineCount(), 1);
    EXPECT_TRUE(DesktopClientRect().contains(frame->frameGeometry())) << frame->frameGeometry().width();
    EXPECT_GE(view->viewport()->height(), 2 * QFontMetrics(view->font()).lineSpacing());
}
