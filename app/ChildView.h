#pragma once
// The view window: one read-only text box, the status view, covering its whole client area.
#include <QFrame>
#include <QString>

#include "app/CommandTable.h"

class QAccessibleEvent;
class QPlainTextEdit;

class CChildView : public QFrame {
    Q_OBJECT
public:
    enum { IDC_STATUS_VIEW = 1 };

    explicit CChildView(QWidget* parent = nullptr);

    // Plain replace of the whole text: no caret, scroll or focus step.
    void SetStatusText(const QString& text);
    // Whole text replaced, caret after the last character, scrolled into view, repainted; the
    // focus moves there only when asked (a call from the update worker does not take it).
    void ShowStatusText(const QString& text, bool takeFocus);
    QString StatusText() const;

    // The view has no handlers of its own; the table is the first stop of the routing.
    const gui::CommandTable& Commands() const { return m_commands; }

    QPlainTextEdit* StatusView = nullptr;

    // Where text-change announcements go: QAccessible::updateAccessibility unless a test
    // listens (nullptr restores it). Offscreen, Qt has no accessibility backend to observe.
    using Announcer = void (*)(QAccessibleEvent* event);
    static void SetAnnouncer(Announcer announcer);

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Announce(const QString& before, const QString& after);

    gui::CommandTable m_commands;
};
