#pragma once
// The frame's status bar: the message pane, then the CAP, NUM and SCRL indicators. The update
// worker's progress bar lies over the message pane while a run goes on.
#include <QStatusBar>
#include <optional>

class QLabel;
class QProgressBar;
class QTimer;

class CStatusBar : public QStatusBar {
    Q_OBJECT
public:
    enum { ID_STATUS_BAR = 59393, ID_PROGRESS = 51 };

    explicit CStatusBar(QWidget* parent = nullptr);

    // The text of the message pane.
    void SetMessage(const QString& text);
    QString Message() const;
    QLabel* MessagePane() const { return m_pMessage; }
    QLabel* Indicator(unsigned id) const;

    // The progress bar over pane 0 (range 0..100, step 1).
    void CreateProgressBar();
    void SetProgressPos(int percent);
    void DestroyProgressBar();
    QProgressBar* ProgressBar() const { return m_pProgress; }

    // Reads the lock keys again; a pane changes only when its key did.
    void UpdateIndicators();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void PlaceProgressBar();

    QLabel* m_pMessage = nullptr;
    QLabel* m_pIndicators[3] = {};
    std::optional<bool> m_indicatorStates[3];
    bool m_bIndicatorsRead = false;
    QProgressBar* m_pProgress = nullptr;
    QTimer* m_pPoll = nullptr;
};
