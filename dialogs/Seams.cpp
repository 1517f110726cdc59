#include "dialogs/Seams.h"

#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <deque>

#include "dialogs/QtText.h"
#include "res/Strings.h"

namespace gui {
namespace {

// Only the UI thread touches these.
struct SeamState {
    std::deque<int> boxAnswers;
    std::deque<std::optional<std::string>> fileAnswers;
    std::function<void(QDialog&)> driver;
    std::function<int(const BoxRequest&)> answerer;
    bool unattended = false;
    std::vector<BoxRequest> boxes;
    std::vector<FileRequest> files;
    int dialogs = 0;
};

SeamState& State()
{
    static SeamState state;
    return state;
}

// A long interactive session must not grow without end.
template <typename T>
void Remember(std::vector<T>& list, T item)
{
    constexpr std::size_t kLimit = 1000;
    if (list.size() >= kLimit)
        list.erase(list.begin());
    list.push_back(std::move(item));
}

platform::BoxOwner OwnerKind(QWidget* owner)
{
    if (owner == nullptr)
        return platform::BoxOwner::None;
    return qobject_cast<QDialog*>(owner) != nullptr ? platform::BoxOwner::Dialog
                                                     : platform::BoxOwner::MainWindow;
}

QMessageBox::Icon IconOf(unsigned flags)
{
    switch (flags & 0xF0) {
    case platform::MB_ICONERROR:
        return QMessageBox::Critical;
    case platform::MB_ICONQUESTION:
        return QMessageBox::Question;
    case platform::MB_ICONWARNING:
        return QMessageBox::Warning;
    case platform::MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

// What the icon says, for screen readers: Qt leaves the icon unnamed.
unsigned IconName(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Critical:
        return IDS_ACC_ICON_ERROR;
    case QMessageBox::Question:
        return IDS_ACC_ICON_QUESTION;
    case QMessageBox::Warning:
        return IDS_ACC_ICON_WARNING;
    case QMessageBox::Information:
        return IDS_ACC_ICON_INFORMATION;
    default:
        return 0;
    }
}

} // namespace

QString ToQtFilter(const std::string& filter)
{
    const QStringList parts = ToQt(filter).split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i].trimmed();
        QString patterns = parts[i + 1].trimmed();
        if (description.isEmpty() || patterns.isEmpty())
            break;
        QStringList globs = patterns.split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& glob : globs)
            if (glob == QLatin1String("*.*"))
                glob = QStringLiteral("*");
        // Qt takes the patterns from the last parenthesis, so the shown one is replaced.
        const qsizetype open = description.lastIndexOf(QLatin1Char('('));
        if (open > 0 && description.endsWith(QLatin1Char(')')))
            description = description.left(open).trimmed();
        out << QStringLiteral("%1 (%2)").arg(description, globs.join(QLatin1Char(' ')));
    }
    return out.join(QStringLiteral(";;"));
}

int ShowMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                   unsigned flags, QPointer<QDialog>* open)
{
    SeamState& s = State();
    const BoxRequest request{text, caption, flags, OwnerKind(owner)};
    Remember(s.boxes, request);
    const bool okCancel = (flags & 0x0F) == platform::MB_OKCANCEL;
    if (!s.boxAnswers.empty()) {
        const int answer = s.boxAnswers.front();
        s.boxAnswers.pop_front();
        return answer;
    }
    if (s.answerer) {
        auto answerer = s.answerer;
        return answerer(request);
    }
    if (s.unattended)
        return platform::IDOK;

    QMessageBox box(IconOf(flags), ToQt(caption), ToQtLines(text),
                    okCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("messagebox"));
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(okCancel ? QMessageBox::Cancel : QMessageBox::Ok);
    if (const unsigned name = IconName(box.icon()))
        for (QLabel* label : box.findChildren<QLabel*>())
            if (!label->pixmap().isNull())
                label->setAccessibleName(ToQt(LoadStdString(name)));
    if (open != nullptr)
        *open = &box;
    const int answer = box.exec() == QMessageBox::Ok ? platform::IDOK : platform::IDCANCEL;
    if (open != nullptr)
        *open = nullptr;
    return answer;
}

std::optional<std::string> GetFileName(QWidget* owner, const FileRequest& request)
{
    SeamState& s = State();
    Remember(s.files, request);
    if (!s.fileAnswers.empty()) {
        std::optional<std::string> answer = s.fileAnswers.front();
        s.fileAnswers.pop_front();
        return answer;
    }
    if (s.unattended)
        return std::nullopt;

    QFileDialog dialog(owner, QString(), QDir::currentPath(), ToQtFilter(request.filter));
    dialog.setObjectName(QStringLiteral("filedialog"));
    // No "must exist" flag: a name typed by hand reaches the caller, who reports it.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setDefaultSuffix(ToQt(request.defaultExtension));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.save);
    if (!request.defaultName.empty())
        dialog.selectFile(ToQt(request.defaultName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return FromQt(QDir::toNativeSeparators(QFileInfo(dialog.selectedFiles().front()).absoluteFilePath()));
}

int RunModal(QDialog& dialog)
{
    SeamState& s = State();
    ++s.dialogs;
    QPointer<QDialog> guard(&dialog);
    if (s.driver) {
        auto driver = s.driver;
        QTimer::singleShot(0, &dialog, [guard, driver] {
            if (guard)
                driver(*guard);
        });
    } else if (s.unattended) {
        QTimer::singleShot(0, &dialog, [guard] {
            if (guard)
                guard->reject();
        });
    }
    return dialog.exec();
}

namespace seams {

void QueueBoxAnswer(int answer) { State().boxAnswers.push_back(answer); }
void SetBoxAnswerer(std::function<int(const BoxRequest&)> answerer) { State().answerer = std::move(answerer); }
void QueueFileAnswer(std::optional<std::string> path) { State().fileAnswers.push_back(std::move(path)); }
void SetDialogDriver(std::function<void(QDialog&)> driver) { State().driver = std::move(driver); }
void SetUnattended(bool unattended) { State().unattended = unattended; }
bool Unattended() { return State().unattended; }
std::vector<BoxRequest> Boxes() { return State().boxes; }
std::vector<FileRequest> FileRequests() { return State().files; }
int DialogsRun() { return State().dialogs; }
void Reset() { State() = SeamState{}; }

} // namespace seams
} // namespace gui
