#include "dialogs/DlgDevice.h"

#include <QDateEdit>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "dialogs/ConverterChooser.h"
#include "dialogs/QtText.h"
#include "platform/LastError.h"
#include "platform/Ui.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"
#include "ui_dlg_device.h"

CDlgDevice::CDlgDevice(CMyCrvUsbDevice& device, QWidget* parent)
    : CDialogBase(172, 137, parent), m_device(device), ui(std::make_unique<Ui::DlgDevice>())
{
    ui->setupUi(this);
    // Edits as wide as what they hold, so the groups read as one number.
    FitToDigits(ui->edit1008, 10);
    FitToDigits(ui->edit1010, 5); // a first group above 9999 is shown whole
    FitToDigits(ui->edit1006, kSerial2Chars);
    FitToDigits(ui->edit1009, kSerial3Chars);
    // Room for the points between the groups, which paintEvent draws.
    ui->serialGroups->setSpacing(fontMetrics().horizontalAdvance(QStringLiteral(" . ")));
    // The record stores two-digit years from 2000; a later year would come back as 2000.
    for (QDateEdit* picker : {ui->datetime1014, ui->datetime1015}) {
        SetUpDatePicker(picker);
        picker->setMaximumDate(QDate(2037, 12, 31));
    }
    connect(ui->button1016, &QPushButton::clicked, this, &CDlgDevice::OnReload);
    connect(ui->button2, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->button1, &QPushButton::clicked, this, &CDlgDevice::ProgramDeviceData);
}

CDlgDevice::~CDlgDevice() = default;

void CDlgDevice::paintEvent(QPaintEvent* event)
{
    CDialogBase::paintEvent(event);
    // Drawn, not labels: a label named "." would be read out as a control of its own, while the
    // groups' names already say which part of the number each one holds.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const QLineEdit* groups[] = {ui->edit1010, ui->edit1006, ui->edit1009};
    for (int i = 0; i + 1 < 3; ++i) {
        const QRect left = groups[i]->geometry();
        const QRect gap(left.right() + 1, left.top(), groups[i + 1]->geometry().left() - left.right() - 1,
                        left.height());
        painter.drawText(gap, Qt::AlignCenter, QStringLiteral("."));
    }
}

void CDlgDevice::DoDataExchange(CDataExchange* pDX)
{
    DDX_Text(pDX, ui->edit1008, m_nDeviceCode);
    DDX_DateTimeCtrl(pDX, ui->datetime1014, m_timeManufacturing);
    DDX_DateTimeCtrl(pDX, ui->datetime1015, m_timeLastUpdate);
    DDX_Text(pDX, ui->edit1010, m_strSerial1);
    DDV_MaxChars(pDX, ui->edit1010, m_strSerial1, kSerial1Chars);
    DDX_Text(pDX, ui->edit1006, m_strSerial2);
    DDV_MaxChars(pDX, ui->edit1006, m_strSerial2, kSerial2Chars);
    DDX_Text(pDX, ui->edit1009, m_strSerial3);
    DDV_MaxChars(pDX, ui->edit1009, m_strSerial3, kSerial3Chars);
}

void CDlgDevice::OnInitDialog()
{
    try {
        m_device.GetDeviceData(m_data);
    } catch (const platform::CommandError& error) {
        ReportCommandError(error);
    }
    FillFields();
    UpdateData(false);
}

void CDlgDevice::FillFields()
{
    const DeviceSettingsFields f = DeviceFieldsFromRecord(m_data);
    m_nDeviceCode = f.DeviceCode;
    m_strSerial1 = f.Serial1;
    m_strSerial2 = f.Serial2;
    m_strSerial3 = f.Serial3;
    m_timeManufacturing = f.Manufacturing;
    m_timeLastUpdate = f.LastUpdate;
}

void CDlgDevice::OnReload()
{
    const std::string caption = LoadStdString(IDS_ERROR_CAPTION);
    if (!m_device.ReadUserArea()) {
        DialogMessageBox(LoadStdString(IDS_CANNOT_READ_EEPROM), caption, platform::MB_ICONEXCLAMATION);
        return;
    }
    DeviceData data;
    try {
        if (!m_device.GetDeviceData(data)) {
            DialogMessageBox(LoadStdString(IDS_CHECKSUM_ERROR), caption, platform::MB_ICONEXCLAMATION);
            return;
        }
    } catch (const platform::CommandError& error) {
        ReportCommandError(error);
        return;
    }
    m_data = data;
    FillFields();
    UpdateData(false);
}

void CDlgDevice::ProgramDeviceData()
{
    if (gui::RefuseUnchosenConverter(this, m_device.Library()))
        return;
    const std::uint32_t previousCode = m_nDeviceCode;
    const bool exchanged = UpdateData(true);
    const DeviceSettingsFields fields{m_nDeviceCode, m_strSerial1,        m_strSerial2,
                                      m_strSerial3,  m_timeManufacturing, m_timeLastUpdate};
    // A code the record cannot hold must not make the frame switch to a model nobody accepted,
    // also when a later control failed the exchange.
    if (m_nDeviceCode > kDeviceCodeMax)
        m_nDeviceCode = previousCode;
    if (!exchanged)
        return;
    const DeviceFieldProblem problem = CheckDeviceSettingsFields(fields);
    if (problem.field != DeviceField::None) {
        DialogMessageBox(problem.message, problem.caption, platform::MB_ICONEXCLAMATION);
        FocusOffendingControl(ControlOf(problem.field));
        return;
    }
    // The operator confirms the values, not only the act: a screen reader reads them out here.
    if (DialogMessageBox(LoadStdString(IDS_CONFIRM_PROGRAM) + "\n\n" + ConfirmationValues(fields),
                         LoadStdString(IDS_CONFIRM_PROGRAM_CAPTION),
                         platform::MB_ICONEXCLAMATION | platform::MB_OKCANCEL) != platform::IDOK)
        return;
    BOOL written = FALSE;
    try {
        written = WriteDeviceSettingsFields(m_device, fields);
    } catch (const platform::CommandError& error) {
        ReportCommandError(error);
        return;
    }
    if (!written) {
        // OK and Cancel, the answer is not used.
        DialogMessageBox(LoadStdString(IDS_CANNOT_WRITE_EEPROM), LoadStdString(IDS_ERROR_CAPTION),
                         platform::MB_ICONEXCLAMATION | platform::MB_OKCANCEL);
        // After a read-back that differed, the operator starts at the field the converter did not keep.
        const std::pair<const char*, DeviceField> named[] = {
            {"Type", DeviceField::DeviceCode},
            {"SerialNumber", DeviceField::Serial1},
            {"Manufacturing", DeviceField::Manufacturing},
            {"LastUpdate", DeviceField::LastUpdate},
        };
        for (const std::string& differing : m_device.LastDiffering)
            for (const auto& [name, field] : named)
                if (differing == name) {
                    FocusOffendingControl(ControlOf(field));
                    return;
                }
        return;
    }
    // Told once, in a box: the dialog closing says nothing to a screen reader.
    DialogMessageBox("The converter holds the new device record; the read-back matches it.",
                     LoadStdString(IDS_APP_TITLE), platform::MB_ICONINFORMATION | platform::MB_OK);
    EndDialog(platform::IDOK);
}

std::string CDlgDevice::ConfirmationValues(const DeviceSettingsFields& fields) const
{
    // Dates as the fields show them, so what is read out is what was typed.
    const auto date = [](const QDateEdit* picker) { return gui::FromQt(picker->date().toString(picker->displayFormat())); };
    return "Device code=" + std::to_string(fields.DeviceCode) + "\nSerial number=" + fields.Serial1 + "." +
           fields.Serial2 + "." + fields.Serial3 + "\nDate of Manufacturing=" + date(ui->datetime1014) +
           "\nDate of Last Update=" + date(ui->datetime1015);
}

QWidget* CDlgDevice::ControlOf(DeviceField field) const
{
    switch (field) {
    case DeviceField::DeviceCode: return ui->edit1008;
    case DeviceField::Manufacturing: return ui->datetime1014;
    case DeviceField::LastUpdate: return ui->datetime1015;
    case DeviceField::Serial1: return ui->edit1010;
    case DeviceField::Serial2: return ui->edit1006;
    case DeviceField::Serial3: return ui->edit1009;
    case DeviceField::None: break;
    }
    return ui->edit1008;
}
