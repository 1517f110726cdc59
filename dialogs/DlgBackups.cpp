#include "dialogs/DlgBackups.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "dialogs/ConverterChooser.h"
#include "dialogs/QtText.h"
#include "dialogs/Seams.h"
#include "platform/Ui.h"
#include "production/Backups.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

CDlgBackups::CDlgBackups(CMyCrvUsbDevice& device, QWidget* parent) : QDialog(parent), m_device(device)
{
    setObjectName(QStringLiteral("dlgBackups"));
    setWindowTitle(tr("Backups"));
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(tr("&Backups (the attached converter's first):"), this);
    m_pList = new QTreeWidget(this);
    m_pList->setObjectName(QStringLiteral("listBackups"));
    m_pList->setRootIsDecorated(false);
    m_pList->setHeaderLabels({tr("Converter"), tr("Taken (UTC)"), tr("File")});
    m_pList->setAccessibleName(tr("Backups"));
    label->setBuddy(m_pList);
    layout->addWidget(label);
    layout->addWidget(m_pList);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    m_pRestore = buttons->addButton(tr("&Restore..."), QDialogButtonBox::ActionRole);
    m_pRestore->setObjectName(QStringLiteral("buttonRestore"));
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("buttonClose"));
    connect(m_pRestore, &QPushButton::clicked, this, [this] { OnRestore(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(720, 360);

    // Which converter is attached: its backups are the ones a restore may write without asking.
    records::ConverterSnapshot present;
    std::string error;
    if (m_device.CheckConnection() && records::ReadConverter(m_device, present, false, error))
        m_attached = records::StoredSerial(present.converterSerial);
    Fill();
}

void CDlgBackups::Fill()
{
    m_pList->clear();
    m_entries = production::BackupsFor(m_attached);
    for (const records::BackupEntry& b : m_entries) {
        auto* item = new QTreeWidgetItem(m_pList, {gui::ToQt(b.converter), gui::ToQt(b.name), gui::ToQt(b.path)});
        if (!m_attached.empty() && b.converter == m_attached)
            item->setData(0, Qt::AccessibleTextRole, gui::ToQt(b.converter + " (attached)"));
    }
    m_pList->header()->resizeSections(QHeaderView::ResizeToContents);
    if (!m_entries.empty()) m_pList->setCurrentItem(m_pList->topLevelItem(0));
    m_pRestore->setEnabled(!m_entries.empty());
}

int CDlgBackups::Box(const std::string& text, unsigned flags)
{
    return gui::ShowMessageBox(this, text, LoadStdString(IDS_APP_TITLE), flags);
}

bool CDlgBackups::OnRestore()
{
    const int row = m_pList->indexOfTopLevelItem(m_pList->currentItem());
    if (row < 0 || static_cast<std::size_t>(row) >= m_entries.size()) return false;
    if (gui::RefuseUnchosenConverter(this, m_device.Library())) return false;
    const records::BackupEntry entry = m_entries[static_cast<std::size_t>(row)];
    records::ConverterSnapshot backup;
    std::string error;
    if (!records::ReadBackupFile(entry.path, backup, error)) {
        Box("The backup " + entry.path + " cannot be restored: " + error + ". Nothing was written.",
            platform::MB_ICONERROR | platform::MB_OK);
        return false;
    }
    records::ConverterSnapshot present;
    switch (production::CheckRestore(m_device, backup, false, present, error)) {
    case production::RestoreCheck::Ok: break;
    case production::RestoreCheck::NoDisplay: return false; // the connect has told it
    case production::RestoreCheck::Unreadable:
        Box("The attached converter cannot be read: " + error + ". Nothing was written.",
            platform::MB_ICONERROR | platform::MB_OK);
        return false;
    case production::RestoreCheck::OtherConverter:
        Box("The backup " + entry.name + " was taken from the converter " + backup.converterSerial +
                "; the attached one is " + present.converterSerial + ". Nothing was written.",
            platform::MB_ICONERROR | platform::MB_OK);
        return false;
    }
    const production::RestoreChanges changes = production::ChangesOfRestore(present, backup);
    std::string text = "Restore the backup " + entry.name + " onto the converter " + present.converterSerial +
                       "? This writes:";
    for (const auto& [field, will] : changes.will) {
        const std::string& was = changes.was.at(field);
        if (was == will) continue;
        text.append("\n").append(field).append(": ").append(was).append(" -> ").append(will);
    }
    if (Box(text, platform::MB_ICONEXCLAMATION | platform::MB_OKCANCEL) != platform::IDOK) return false;
    if (!records::RestoreBackup(m_device, backup, error)) {
        Box("The backup was not restored: " + error, platform::MB_ICONERROR | platform::MB_OK);
        return false;
    }
    Box("The converter " + present.converterSerial + " holds the backup " + entry.name + " again.",
        platform::MB_ICONINFORMATION | platform::MB_OK);
    Fill();
    return true;
}
