#pragma once
// The view window: one read-only text box, the status view, covering its whole client area.
#include <QString>
#include <QWidget>

#include "app/CommandTable.h"

class QPlainTextEdit;

// A plain container: as a frame of its own it would show up as a second, nested window frame
// to screen readers. The sunken edge is drawn by the text box.
class CChildView : public QWidget {
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

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    gui::CommandTable m_commands;
};
