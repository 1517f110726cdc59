#pragma once
// The device settings dialog: the identification record of the device object, re-read from the user
// area on Reload, written after a confirmed Program!.
#include <cstdint>
#include <memory>
#include <string>

#include "dialogs/DialogBase.h"
#include "records/DeviceSettingsEdit.h"

namespace Ui {
class DlgDevice;
}

class CMyCrvUsbDevice;

class CDlgDevice : public CDialogBase {
    Q_OBJECT
public:
    enum { IDD = 131 };

    explicit CDlgDevice(CMyCrvUsbDevice& device, QWidget* parent = nullptr);
    ~CDlgDevice() override;

    // The members from the dialog's record.
    void FillFields();

    // The code last loaded or accepted; the frame compares it with the device's after the run.
    std::uint32_t m_nDeviceCode = 0;
    std::string m_strSerial1;
    std::string m_strSerial2;
    std::string m_strSerial3;
    std::int64_t m_timeManufacturing = 0;
    std::int64_t m_timeLastUpdate = 0;

public slots:
    void OnReload();
    void ProgramDeviceData();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnInitDialog() override;
    void paintEvent(QPaintEvent* event) override;

private:
    CMyCrvUsbDevice& m_device;
    QWidget* ControlOf(DeviceField field) const;
    // The values the confirmation reads out before the write.
    std::string ConfirmationValues(const DeviceSettingsFields& fields) const;

    std::unique_ptr<Ui::DlgDevice> ui;
    DeviceData m_data;
};
