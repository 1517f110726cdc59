#include "dialogs/DlgRunUnit.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>

#include "dialogs/ConverterChooser.h"
#include "dialogs/QtText.h"
#include "dialogs/Seams.h"
#include "platform/Ui.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

namespace {

QString StepText(const production::UnitStep& step)
{
    if (step.state == production::StepState::Running)
        return QStringLiteral("%1: running").arg(QString::fromStdString(step.name));
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", step.seconds);
    return QStringLiteral("%1: %2 (%3)")
        .arg(QString::fromStdString(step.name),
             step.state == production::StepState::Ok ? QStringLiteral("ok") : QStringLiteral("FAILED"),
             QString::fromLatin1(time));
}

gui::FileRequest OpenRequest(const char* filter)
{
    gui::FileRequest request;
    request.filter = filter;
    request.flags = gui::OFN_HIDEREADONLY | gui::OFN_PATHMUSTEXIST;
    return request;
}

} // namespace

// The job's side, on the worker thread: every change goes to the dialog as a queued call; the
// confirmation is a box, which the front end's interface carries to the UI thread.
class CDlgRunUnit::Observer : public production::UnitObserver, public platform::UpdateSink {
public:
    explicit Observer(CDlgRunUnit* dialog) : dialog_(dialog) {}

    bool ConfirmWrites() override
    {
        return platform::Ui().MessageBox(LoadStdString(IDS_CONFIRM_PROGRAM), LoadStdString(IDS_CONFIRM_PROGRAM_CAPTION),
                                         platform::MB_ICONEXCLAMATION | platform::MB_OKCANCEL,
                                         platform::BoxOwner::Dialog) == platform::IDOK;
    }
    void StepChanged(const production::UnitStep& step) override
    {
        Post([step](CDlgRunUnit& d) { d.ShowStep(step); });
    }
    platform::UpdateSink& FlashProgress() override { return *this; }

    void ShowStatusText(const std::string&) override {}
    void CreateProgressBar() override { Post([](CDlgRunUnit& d) { d.ShowProgress(0); }); }
    void SetProgressPos(int percent) override { Post([percent](CDlgRunUnit& d) { d.ShowProgress(percent); }); }
    void DestroyProgressBar() override {}
    void PostUpdateFinished() override {}

    void Finished(production::UnitResult result)
    {
        Post([result = std::move(result)](CDlgRunUnit& d) { d.OnFinished(result); });
    }

private:
    template <typename Fn>
    void Post(Fn fn)
    {
        QPointer<CDlgRunUnit> dialog = dialog_;
        QMetaObject::invokeMethod(
            dialog_,
            [dialog, fn = std::move(fn)] {
                if (dialog) fn(*dialog);
            },
            Qt::QueuedConnection);
    }

    CDlgRunUnit* dialog_;
};

CDlgRunUnit::CDlgRunUnit(CMyCrvUsbDevice& device, QWidget* parent)
    : QDialog(parent), m_device(device), m_observer(std::make_unique<Observer>(this))
{
    setObjectName(QStringLiteral("dlgRunUnit"));
    setWindowTitle(tr("Run Unit"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    const auto fileRow = [&](const QString& label, const char* name, const char* filter) {
        auto* row = new QHBoxLayout;
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        auto* browse = new QPushButton(tr("Browse..."), this);
        browse->setAccessibleName(tr("Browse for %1").arg(gui::StripMnemonic(label).chopped(1)));
        browse->setAutoDefault(false);
        connect(browse, &QPushButton::clicked, this, [this, edit, filter] {
            if (auto path = gui::GetFileName(this, OpenRequest(filter))) edit->setText(gui::ToQt(*path));
            edit->setFocus(Qt::OtherFocusReason);
        });
        row->addWidget(edit);
        row->addWidget(browse);
        auto* text = new QLabel(label, this);
        text->setBuddy(edit);
        form->addRow(text, row);
        return edit;
    };
    m_pFirmware = fileRow(tr("&Firmware file:"), "editFirmware", "Intel HEX files (*.hex)|*.hex|All files (*.*)|*.*||");
    m_pFamily = new QComboBox(this);
    m_pFamily->setObjectName(QStringLiteral("comboFamily"));
    // In the order of the family numbers.
    m_pFamily->addItems({QStringLiteral("KV"), QStringLiteral("Opal"), QStringLiteral("Opal keyboard"),
                         QStringLiteral("Nova"), QStringLiteral("Heron")});
    m_pFamily->setCurrentIndex(4);
    form->addRow(tr("F&amily:"), m_pFamily);
    m_pTemplate = fileRow(tr("&Template settings file:"), "editTemplate", "Settings files (*.bin)|*.bin|All files (*.*)|*.*||");
    m_pSerialNext = new QCheckBox(tr("&Next serial number"), this);
    m_pSerialNext->setObjectName(QStringLiteral("checkSerialNext"));
    form->addRow(QString(), m_pSerialNext);
    layout->addLayout(form);

    m_pStart = new QPushButton(tr("&Start"), this);
    m_pStart->setObjectName(QStringLiteral("buttonStart"));
    m_pStart->setDefault(true);
    connect(m_pStart, &QPushButton::clicked, this, [this] { OnStart(); });
    layout->addWidget(m_pStart);

    auto* stepsLabel = new QLabel(tr("St&eps:"), this);
    m_pSteps = new QListWidget(this);
    m_pSteps->setObjectName(QStringLiteral("listSteps"));
    m_pSteps->setAccessibleName(tr("Steps"));
    stepsLabel->setBuddy(m_pSteps);
    layout->addWidget(stepsLabel);
    layout->addWidget(m_pSteps);
    m_pProgress = new QProgressBar(this);
    m_pProgress->setObjectName(QStringLiteral("progressFlash"));
    m_pProgress->setRange(0, 100);
    m_pProgress->setAccessibleName(tr("Firmware update"));
    m_pProgress->setVisible(false);
    layout->addWidget(m_pProgress);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("buttonClose"));
    buttons->button(QDialogButtonBox::Close)->setAutoDefault(false);
    connect(buttons, &QDialogButtonBox::rejected, this, &CDlgRunUnit::reject);
    layout->addWidget(buttons);
    resize(640, 480);
}

CDlgRunUnit::~CDlgRunUnit()
{
    // Only reached with a job running when the program ends under it; its queued calls find
    // the dialog gone.
    if (m_worker.joinable()) m_worker.join();
}

bool CDlgRunUnit::OnStart()
{
    if (Running()) return false;
    if (gui::RefuseUnchosenConverter(this, m_device.Library())) return false;
    production::UnitOptions options;
    options.firmware = gui::FromQt(m_pFirmware->text().trimmed());
    options.family = m_pFamily->currentIndex();
    options.templateFile = gui::FromQt(m_pTemplate->text().trimmed());
    options.serialNext = m_pSerialNext->isChecked();
    // The desktop's stop request is the window's, not a terminal's second signal.
    options.signalsWarnFirst = false;
    m_pSteps->clear();
    m_nToldPercent = -1;
    m_pStart->setEnabled(false);
    m_worker = std::thread([this, options] {
        production::UnitResult result = production::RunUnit(m_device, options, *m_observer);
        m_observer->Finished(std::move(result));
    });
    return true;
}

void CDlgRunUnit::ShowStep(const production::UnitStep& step)
{
    QListWidgetItem* item = nullptr;
    for (int i = m_pSteps->count() - 1; i >= 0 && item == nullptr; --i)
        if (m_pSteps->item(i)->data(Qt::UserRole).toString() == QString::fromStdString(step.name))
            item = m_pSteps->item(i);
    if (item == nullptr) {
        item = new QListWidgetItem(m_pSteps);
        item->setData(Qt::UserRole, QString::fromStdString(step.name));
    }
    // One text change a state: a screen reader hears each change once.
    item->setText(StepText(step));
    m_pSteps->setCurrentItem(item);
    if (step.name == "firmware" && step.state != production::StepState::Running) m_pProgress->setVisible(false);
}

void CDlgRunUnit::ShowProgress(int percent)
{
    // Told in steps of 10 %: a listener would otherwise hear a hundred changes.
    const int told = percent / 10 * 10;
    if (told == m_nToldPercent) return;
    m_nToldPercent = told;
    m_pProgress->setVisible(true);
    m_pProgress->setValue(told);
}

void CDlgRunUnit::OnFinished(const production::UnitResult& result)
{
    if (m_worker.joinable()) m_worker.join();
    m_result = result;
    m_pStart->setEnabled(true);
    m_pProgress->setVisible(false);
    const std::string caption = LoadStdString(IDS_APP_TITLE);
    if (!result.confirmed) {
        gui::ShowMessageBox(this, "The unit was not confirmed; nothing was changed.", caption,
                            platform::MB_ICONINFORMATION | platform::MB_OK);
    } else if (result.status == production::kUnitOk) {
        gui::ShowMessageBox(this, "The unit is done: " + production::UnitSummary(m_device, result.steps), caption,
                            platform::MB_ICONINFORMATION | platform::MB_OK);
        m_pStart->setFocus(Qt::OtherFocusReason);
    } else {
        const std::string& step = result.steps.back().name;
        std::string text = "The unit stopped at the step '" + step + "'.";
        if (!result.reason.empty()) text += "\n" + result.reason;
        gui::ShowMessageBox(this, text, caption, platform::MB_ICONERROR | platform::MB_OK);
        m_pSteps->setCurrentRow(m_pSteps->count() - 1);
        m_pSteps->setFocus(Qt::OtherFocusReason);
    }
    emit Finished(static_cast<int>(result.status));
}

void CDlgRunUnit::reject()
{
    // The job may be writing the converter: the dialog stays until it ends.
    if (Running()) return;
    QDialog::reject();
}

void CDlgRunUnit::closeEvent(QCloseEvent* event)
{
    if (Running()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
