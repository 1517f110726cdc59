#pragma once
// Production > Backups: the backups taken before every write, those of the attached converter
// first, and Restore of the one selected after a confirmation that names the converter, the
// backup and what will be written. The result is told in a box.
#include <QDialog>
#include <string>
#include <vector>

#include "records/Backup.h"

class CMyCrvUsbDevice;
class QPushButton;
class QTreeWidget;

class CDlgBackups : public QDialog {
    Q_OBJECT
public:
    CDlgBackups(CMyCrvUsbDevice& device, QWidget* parent);

    // Restores the backup selected; false when nothing was written or the restore failed (a box
    // has said why).
    bool OnRestore();

    QTreeWidget* m_pList = nullptr;
    QPushButton* m_pRestore = nullptr;

private:
    void Fill();
    int Box(const std::string& text, unsigned flags);

    CMyCrvUsbDevice& m_device;
    std::string m_attached; // the attached converter's serial as a backup stores it; empty: none
    std::vector<records::BackupEntry> m_entries;
};
