#include "app/ChildView.h"

#include <QAccessible>
#include <QPlainTextEdit>
#include <QKeyEvent>
#include <QKeySequence>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextCursor>

#include "dialogs/QtText.h"
#include "res/Strings.h"

namespace {

CChildView::Announcer g_announcer = nullptr;

} // namespace

void CChildView::SetAnnouncer(Announcer announcer)
{
    g_announcer = announcer;
}

CChildView::CChildView(QWidget* parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("view59648"));
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAccessibleName(gui::ToQt(LoadStdString(IDS_ACC_STATUS_VIEW)));

    StatusView = new QPlainTextEdit(this);
    StatusView->setObjectName(QStringLiteral("edit%1").arg(IDC_STATUS_VIEW));
    StatusView->setAccessibleName(gui::ToQt(LoadStdString(IDS_ACC_STATUS_VIEW)));
    StatusView->setReadOnly(true);
    // A keyboard caret lets screen-reader users read and select the text line by line.
    StatusView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    StatusView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    StatusView->setFrameStyle(QFrame::NoFrame);
    StatusView->setTabChangesFocus(true);
    StatusView->installEventFilter(this);
    setFocusProxy(StatusView);
    setFocusPolicy(Qt::StrongFocus);
}

void CChildView::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    StatusView->setGeometry(contentsRect());
    StatusView->update();
}

bool CChildView::eventFilter(QObject* watched, QEvent* event)
{
    // The frame's accelerator table also holds the copy keys, with no handler behind them; the
    // text box keeps them, so the selection can be copied from the keyboard.
    if (watched == StatusView && event->type() == QEvent::ShortcutOverride &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        event->accept();
        return true;
    }
    return QFrame::eventFilter(watched, event);
}

QString CChildView::StatusText() const
{
    return StatusView->toPlainText();
}

void CChildView::SetStatusText(const QString& text)
{
    const QString before = StatusView->toPlainText();
    StatusView->setPlainText(text);
    Announce(before, text);
}

void CChildView::ShowStatusText(const QString& text, bool takeFocus)
{
    SetStatusText(text);
    QTextCursor caret = StatusView->textCursor();
    caret.movePosition(QTextCursor::End);
    StatusView->setTextCursor(caret);
    StatusView->ensureCursorVisible();
    StatusView->show();
    StatusView->repaint();
    if (takeFocus)
        StatusView->setFocus(Qt::OtherFocusReason);
}

void CChildView::Announce(const QString& before, const QString& after)
{
    // One event for the whole replacement, so a screen reader hears the new text once, even
    // though the box never has a typing caret.
    QAccessibleTextUpdateEvent update(StatusView, 0, before, after);
    if (g_announcer != nullptr)
        g_announcer(&update);
    else
        QAccessible::updateAccessibility(&update);
}
