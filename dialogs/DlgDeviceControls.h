#pragma once
// The device controls dialog: Set sends the slider's dot firmness and the module value to the
// display at once; the dialog stays open for the next try.
#include <cstdint>
#include <memory>
#include <string>

#include "dialogs/DialogBase.h"

namespace Ui {
class DlgDeviceControls;
}

// Slider position 0..100 to the firmness the display takes, 2..99.
constexpr std::int32_t DotFirmnessFromSlider(std::int32_t position) { return position * 97 / 100 + 2; }

// Characters of the module value.
constexpr int kModuleValueChars = 3;

class CMyCrvUsbDevice;

class CDlgDeviceControls : public CDialogBase {
    Q_OBJECT
public:
    enum { IDD = 133 };

    explicit CDlgDeviceControls(CMyCrvUsbDevice& device, QWidget* parent = nullptr);
    ~CDlgDeviceControls() override;

    std::int32_t m_nFirmness = 0;
    std::string m_strModuleValue = "5";

public slots:
    void OnSetFirmness();
    void OnOK();

protected:
    void DoDataExchange(CDataExchange* pDX) override;

private:
    CMyCrvUsbDevice& m_device;
    std::unique_ptr<Ui::DlgDeviceControls> ui;
};
