#pragma once
// The USB settings dialog: the converter's USB identity from the EEPROM image of the device object,
// re-read on Reload, programmed after a confirmed Program!.
#include <memory>
#include <string>

#include "dialogs/DialogBase.h"
#include "records/UsbSettingsEdit.h"

namespace Ui {
class DlgUsb;
}

class CMyCrvUsbDevice;

class CDlgUsb : public CDialogBase {
    Q_OBJECT
public:
    enum { IDD = 130 };

    explicit CDlgUsb(CMyCrvUsbDevice& device, QWidget* parent = nullptr);
    ~CDlgUsb() override;

    // The members from the dialog's record: IDs as "0x%04x", texts as they are.
    void FillFields();
    // An ID text as a 16-bit number; nullopt when it has no defined value.
    static std::optional<std::uint16_t> ParseHexWord(const std::string& text);

    std::string m_strVendorId;
    std::string m_strProductId;
    std::string m_strManufacturer;
    std::string m_strManufacturerId;
    std::string m_strSerialNumber;
    std::string m_strDescription;

public slots:
    void OnReload();
    void ProgramUsbSettings();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnInitDialog() override;

private:
    CMyCrvUsbDevice& m_device;
    QWidget* ControlOf(UsbField field) const;

    std::unique_ptr<Ui::DlgUsb> ui;
    UsbSettingsRecord m_record;
};
