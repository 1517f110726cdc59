#include "dialogs/DlgUsb.h"

#include <QPushButton>

#include "dialogs/ConverterChooser.h"
#include "platform/Ui.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"
#include "ui_dlg_usb.h"

CDlgUsb::CDlgUsb(CMyCrvUsbDevice& device, QWidget* parent)
    : CDialogBase(200, 148, parent), m_device(device), ui(std::make_unique<Ui::DlgUsb>())
{
    ui->setupUi(this);
    connect(ui->button1016, &QPushButton::clicked, this, &CDlgUsb::OnReload);
    connect(ui->button2, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->button1, &QPushButton::clicked, this, &CDlgUsb::ProgramUsbSettings);
}

CDlgUsb::~CDlgUsb() = default;

void CDlgUsb::DoDataExchange(CDataExchange* pDX)
{
    DDX_Text(pDX, ui->edit1000, m_strProductId);
    DDX_Text(pDX, ui->edit1001, m_strVendorId);
    DDX_Text(pDX, ui->edit1004, m_strSerialNumber);
    DDX_Text(pDX, ui->edit1003, m_strManufacturerId);
    DDX_Text(pDX, ui->edit1002, m_strManufacturer);
    DDX_Text(pDX, ui->edit1005, m_strDescription);
}

void CDlgUsb::OnInitDialog()
{
    m_device.GetUsbSettings(&m_record.data);
    FillFields();
    UpdateData(false);
}

void CDlgUsb::FillFields()
{
    const UsbSettingsFields f = UsbFieldsFromRecord(m_record.data);
    m_strDescription = f.Description;
    m_strManufacturer = f.Manufacturer;
    m_strManufacturerId = f.ManufacturerId;
    m_strSerialNumber = f.SerialNumber;
    m_strVendorId = f.VendorId;
    m_strProductId = f.ProductId;
}

std::optional<std::uint16_t> CDlgUsb::ParseHexWord(const std::string& text)
{
    return ::ParseHexWord(text);
}

void CDlgUsb::OnReload()
{
    if (!m_device.ReadEeprom()) {
        DialogMessageBox(LoadStdString(IDS_CANNOT_READ_EEPROM), LoadStdString(IDS_ERROR_CAPTION),
                         platform::MB_ICONEXCLAMATION);
        return;
    }
    m_device.GetUsbSettings(&m_record.data);
    FillFields();
    UpdateData(false);
}

void CDlgUsb::ProgramUsbSettings()
{
    if (gui::RefuseUnchosenConverter(this, m_device.Library()))
        return;
    UpdateData(true);
    const UsbSettingsFields fields{m_strVendorId,       m_strProductId,    m_strManufacturer,
                                   m_strManufacturerId, m_strSerialNumber, m_strDescription};
    // Nothing the converter cannot take is offered for confirmation.
    const UsbFieldProblem problem = CheckUsbSettingsFields(fields, &m_device);
    if (problem.field != UsbField::None) {
        DialogMessageBox(problem.message, LoadStdString(IDS_ERROR_CAPTION),
                         platform::MB_ICONEXCLAMATION);
        FocusOffendingControl(ControlOf(problem.field));
        return;
    }
    // The operator confirms the values, not only the act: a screen reader reads them out here.
    const std::string confirm = LoadStdString(IDS_CONFIRM_PROGRAM) + "\n\nVendorId=" + fields.VendorId +
                                "\nProductId=" + fields.ProductId + "\nManufacturer=" + fields.Manufacturer +
                                "\nManufacturerId=" + fields.ManufacturerId + "\nSerialNumber=" +
                                fields.SerialNumber + "\nDescription=" + fields.Description;
    if (DialogMessageBox(confirm, LoadStdString(IDS_CONFIRM_PROGRAM_CAPTION),
                         platform::MB_ICONEXCLAMATION | platform::MB_OKCANCEL) != platform::IDOK)
        return;
    if (ProgramUsbSettingsFields(m_device, fields)) {
        // Told once, in a box: the dialog closing says nothing to a screen reader.
        DialogMessageBox("The converter holds the new USB settings; the read-back matches them.",
                         LoadStdString(IDS_APP_TITLE), platform::MB_ICONINFORMATION | platform::MB_OK);
        EndDialog(platform::IDOK);
        return;
    }
    DialogMessageBox(LoadStdString(IDS_CANNOT_WRITE_EEPROM), LoadStdString(IDS_ERROR_CAPTION),
                     platform::MB_ICONEXCLAMATION);
    // After a read-back that differed, the operator starts at the field the converter did not keep.
    const std::pair<const char*, UsbField> named[] = {
        {"VendorId", UsbField::VendorId},         {"ProductId", UsbField::ProductId},
        {"Manufacturer", UsbField::Manufacturer}, {"ManufacturerId", UsbField::ManufacturerId},
        {"SerialNumber", UsbField::SerialNumber}, {"Description", UsbField::Description},
    };
    for (const std::string& differing : m_device.LastDiffering) {
        for (const auto& [name, field] : named) {
            if (differing == name) {
                FocusOffendingControl(ControlOf(field));
                return;
            }
        }
    }
}

QWidget* CDlgUsb::ControlOf(UsbField field) const
{
    switch (field) {
    case UsbField::VendorId: return ui->edit1001;
    case UsbField::ProductId: return ui->edit1000;
    case UsbField::Manufacturer: return ui->edit1002;
    case UsbField::ManufacturerId: return ui->edit1003;
    case UsbField::SerialNumber: return ui->edit1004;
    case UsbField::Description: return ui->edit1005;
    case UsbField::None: break;
    }
    return ui->edit1001;
}
