#include "app/ChildView.h"

#include <QPlainTextEdit>
#include <QKeyEvent>
#include <QKeySequence>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextCursor>

#include "dialogs/QtText.h"
#include "res/Strings.h"

CChildView::CChildView(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("view59648"));

    StatusView = new QPlainTextEdit(this);
    StatusView->setObjectName(QStringLiteral("edit%1").arg(IDC_STATUS_VIEW));
    StatusView->setAccessibleName(gui::ToQt(LoadStdString(IDS_ACC_STATUS_VIEW)));
    StatusView->setReadOnly(true);
    // A keyboard caret lets screen-reader users read and select the text line by line.
    StatusView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    StatusView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    StatusView->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    StatusView->setTabChangesFocus(true);
    StatusView->installEventFilter(this);
    // The focus passes through to the text box; the view itself is no stop of its own.
    setFocusProxy(StatusView);
}

void CChildView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    StatusView->setGeometry(rect());
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
    return QWidget::eventFilter(watched, event);
}

QString CChildView::StatusText() const
{
    return StatusView->toPlainText();
}

void CChildView::SetStatusText(const QString& text)
{
    // Qt tells screen readers of the removal and the insertion itself; the same text again
    // would only repeat them (and drop the reader's selection).
    if (StatusView->toPlainText() != text)
        StatusView->setPlainText(text);
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
