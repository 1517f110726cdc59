#include "app/StatusBar.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include "app/KeyLocks.h"
#include "dialogs/QtText.h"
#include "res/Strings.h"

namespace {

struct IndicatorInfo {
    unsigned id;
    gui::LockKey key;
    unsigned accessibleName;
};

constexpr IndicatorInfo kIndicators[3] = {
    {ID_INDICATOR_CAPS, gui::LockKey::Caps, IDS_ACC_CAPS_LOCK},
    {ID_INDICATOR_NUM, gui::LockKey::Num, IDS_ACC_NUM_LOCK},
    {ID_INDICATOR_SCRL, gui::LockKey::Scroll, IDS_ACC_SCROLL_LOCK},
};

// The lock keys change outside our windows too; a light poll keeps the panes true.
constexpr int kIndicatorPollMs = 300;

} // namespace

CStatusBar::CStatusBar(QWidget* parent) : QStatusBar(parent)
{
    setObjectName(QStringLiteral("statusbar%1").arg(ID_STATUS_BAR));
    setAccessibleName(gui::ToQt(LoadStdString(IDS_ACC_STATUS_BAR)));
    // The grip is a mouse-only handle that screen readers can only call "unknown"; the window
    // border resizes as well.
    setSizeGripEnabled(false);

    // No accessible name of its own: the pane's text is its name, and a new text is announced
    // as a name change.
    m_pMessage = new QLabel(this);
    m_pMessage->setObjectName(QStringLiteral("pane0"));
    m_pMessage->setTextFormat(Qt::PlainText);
    m_pMessage->setMinimumWidth(1);
    m_pMessage->installEventFilter(this);
    addWidget(m_pMessage, 1);
    SetMessage(gui::ToQt(LoadStdString(IDS_IDLE_MESSAGE)));

    for (int i = 0; i < 3; ++i) {
        auto* pane = new QLabel(this);
        const QString text = gui::ToQt(LoadStdString(kIndicators[i].id));
        pane->setObjectName(QStringLiteral("indicator%1").arg(kIndicators[i].id));
        pane->setAccessibleName(gui::ToQt(LoadStdString(kIndicators[i].accessibleName)));
        pane->setAlignment(Qt::AlignCenter);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        // A pane keeps its width whether its text is shown or not.
        pane->setMinimumWidth(QFontMetrics(pane->font()).horizontalAdvance(text) + 12);
        pane->setProperty("indicatorText", text);
        m_pIndicators[i] = pane;
        addPermanentWidget(pane);
    }
    UpdateIndicators();

    m_pPoll = new QTimer(this);
    m_pPoll->setInterval(kIndicatorPollMs);
    connect(m_pPoll, &QTimer::timeout, this, &CStatusBar::UpdateIndicators);
    m_pPoll->start();
    qApp->installEventFilter(this);
}

void CStatusBar::SetMessage(const QString& text)
{
    if (m_pMessage->text() != text)
        m_pMessage->setText(text);
}

QString CStatusBar::Message() const
{
    return m_pMessage->text();
}

QLabel* CStatusBar::Indicator(unsigned id) const
{
    for (int i = 0; i < 3; ++i)
        if (kIndicators[i].id == id)
            return m_pIndicators[i];
    return nullptr;
}

void CStatusBar::UpdateIndicators()
{
    for (int i = 0; i < 3; ++i) {
        QLabel* pane = m_pIndicators[i];
        const std::optional<bool> on = gui::LockKeyState(kIndicators[i].key);
        // Qt announces every description set, changed or not: only a real change is told.
        if (m_bIndicatorsRead && on == m_indicatorStates[i])
            continue;
        m_indicatorStates[i] = on;
        const QString text = pane->property("indicatorText").toString();
        // Unknown: the label stays visible but greyed, so the pane is not mistaken for "off".
        pane->setText(on.value_or(true) ? text : QString());
        pane->setEnabled(on.has_value());
        const unsigned state = !on ? IDS_ACC_KEY_UNKNOWN : *on ? IDS_ACC_KEY_ON : IDS_ACC_KEY_OFF;
        pane->setAccessibleDescription(gui::ToQt(LoadStdString(state)));
    }
    m_bIndicatorsRead = true;
}

void CStatusBar::CreateProgressBar()
{
    DestroyProgressBar();
    m_pProgress = new QProgressBar(this);
    m_pProgress->setObjectName(QStringLiteral("progress%1").arg(ID_PROGRESS));
    m_pProgress->setAccessibleName(gui::ToQt(LoadStdString(IDS_ACC_PROGRESS)));
    m_pProgress->setRange(0, 100);
    m_pProgress->setValue(0);
    PlaceProgressBar();
    m_pProgress->show();
    m_pProgress->raise();
}

void CStatusBar::SetProgressPos(int percent)
{
    if (m_pProgress == nullptr)
        return;
    m_pProgress->setValue(percent);
    show();
    repaint();
}

void CStatusBar::DestroyProgressBar()
{
    delete m_pProgress;
    m_pProgress = nullptr;
}

void CStatusBar::PlaceProgressBar()
{
    if (m_pProgress != nullptr)
        m_pProgress->setGeometry(m_pMessage->geometry());
}

bool CStatusBar::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_pMessage && (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        PlaceProgressBar();
    if (event->type() == QEvent::KeyRelease) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_CapsLock || key == Qt::Key_NumLock || key == Qt::Key_ScrollLock)
            QTimer::singleShot(0, this, &CStatusBar::UpdateIndicators);
    }
    return QStatusBar::eventFilter(watched, event);
}
