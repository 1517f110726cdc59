#include "dialogs/DlgDeviceControls.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include "platform/Ui.h"
#include "records/DeviceSettingsEdit.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"
#include "ui_dlg_device_controls.h"

CDlgDeviceControls::CDlgDeviceControls(CMyCrvUsbDevice& device, QWidget* parent)
    : CDialogBase(201, 84, parent), m_device(device), ui(std::make_unique<Ui::DlgDeviceControls>())
{
    ui->setupUi(this);
    // The slider's position in figures beside it, as wide as the widest one.
    QLabel* value = ui->static_firmness_value;
    value->setMinimumWidth(value->fontMetrics().horizontalAdvance(QString::number(ui->slider1018->maximum())));
    connect(ui->slider1018, &QSlider::valueChanged, value,
            [value](int position) { value->setText(QString::number(position)); });
    connect(ui->button1019, &QPushButton::clicked, this, &CDlgDeviceControls::OnSetFirmness);
    connect(ui->button1, &QPushButton::clicked, this, &CDlgDeviceControls::OnOK);
}

CDlgDeviceControls::~CDlgDeviceControls() = default;

void CDlgDeviceControls::DoDataExchange(CDataExchange* pDX)
{
    DDX_Slider(pDX, ui->slider1018, m_nFirmness);
    DDX_Text(pDX, ui->edit1020, m_strModuleValue);
    DDV_MaxChars(pDX, ui->edit1020, m_strModuleValue, kModuleValueChars);
}

void CDlgDeviceControls::OnSetFirmness()
{
    if (!UpdateData(true))
        return;
    const std::int32_t module = ParseDecimalPrefix(m_strModuleValue);
    // The frame carries it in one byte; a larger number would reach the display as another.
    if (module > 255) {
        DialogMessageBox(LoadStdString(IDS_MODULE_VALUE_OUT_OF_RANGE), LoadStdString(IDS_ERROR_CAPTION),
                         platform::MB_ICONEXCLAMATION);
        FocusOffendingControl(ui->edit1020);
        return;
    }
    m_device.SetDotFirmness(DotFirmnessFromSlider(m_nFirmness), module);
}

void CDlgDeviceControls::OnOK()
{
    if (UpdateData(true))
        EndDialog(platform::IDOK);
}
