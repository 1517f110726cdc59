#include "app/Screenshots.h"

#include <QDialog>
#include <QDir>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdio>

#include "app/CrvsetupApp.h"
#include "app/MainFrame.h"
#include "dialogs/Seams.h"

namespace gui {
namespace {

// Long enough for a window under a plain X server to be mapped and painted.
constexpr int kSettleMs = 400;

} // namespace

void ScriptedRun::Load()
{
    folder_ = qEnvironmentVariable("KESTRUNE_SCREENSHOTS");
    if (!folder_.isEmpty())
        QDir().mkpath(folder_);
    commands_.clear();
    const QStringList ids = qEnvironmentVariable("KESTRUNE_SEND_COMMANDS").split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& id : ids) {
        bool ok = false;
        const unsigned value = id.trimmed().toUInt(&ok);
        if (ok)
            commands_.push_back(value);
    }
    if (commands_.empty())
        return;
    seams::SetUnattended(true);
    seams::SetDialogDriver([this](QDialog& dialog) {
        QPointer<QDialog> guard(&dialog);
        QTimer::singleShot(kSettleMs, &dialog, [this, guard] {
            if (!guard)
                return;
            Snap(*guard, guard->objectName());
            guard->reject();
        });
    });
}

void ScriptedRun::Snap(QWidget& widget, const QString& name) const
{
    if (folder_.isEmpty())
        return;
    const QString path = QDir(folder_).filePath(name + QStringLiteral(".png"));
    if (!widget.grab().save(path))
        std::fprintf(stderr, "kestrune: cannot save %s\n", qPrintable(path));
}

void ScriptedRun::OnReady(QWidget& frame)
{
    QPointer<QWidget> guard(&frame);
    QTimer::singleShot(kSettleMs, &frame, [this, guard] {
        if (guard)
            Snap(*guard, QStringLiteral("main-ready"));
        SendNext();
    });
}

void ScriptedRun::OnProgress(QWidget& frame, int percent)
{
    if (updatingTaken_ || percent < 50)
        return;
    updatingTaken_ = true;
    Snap(frame, QStringLiteral("main-updating"));
}

void ScriptedRun::OnUpdateHandled(QWidget& frame)
{
    Snap(frame, QStringLiteral("main-finished"));
}

void ScriptedRun::SendNext()
{
    if (commands_.empty())
        return;
    const unsigned id = commands_.front();
    commands_.pop_front();
    QTimer::singleShot(0, [this, id] {
        if (CMainFrame* frame = theApp.MainWindow()) {
            // Through the menu item where there is one, exactly as a click would go.
            if (auto* action = frame->findChild<QAction*>(QStringLiteral("action%1").arg(id)))
                action->trigger();
            else
                frame->SendCommand(id);
        }
        SendNext();
    });
}

} // namespace gui
