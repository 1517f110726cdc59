#pragma once
// Production > History: the production log's records of every station in a sortable table
// (serial, type, date, station, values), with filters for serial, type, since and station.
// Each row reads as one line to a screen reader.
#include <QDialog>
#include <string>

class CMyCrvUsbDevice;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

class CDlgHistory : public QDialog {
    Q_OBJECT
public:
    CDlgHistory(CMyCrvUsbDevice& device, QWidget* parent);

    // Reads the log again with the filters as typed; false when a filter is refused (the focus
    // goes to it) or the log cannot be read. The count line says what was found.
    bool OnFilter();

    QLineEdit* m_pSerial = nullptr;
    QLineEdit* m_pType = nullptr;
    QLineEdit* m_pSince = nullptr;
    QLineEdit* m_pStation = nullptr;
    QPushButton* m_pFilter = nullptr;
    QTableWidget* m_pTable = nullptr;
    QLabel* m_pCount = nullptr;

private:
    CMyCrvUsbDevice& m_device;
};
