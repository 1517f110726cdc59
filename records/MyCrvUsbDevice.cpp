#include "records/MyCrvUsbDevice.h"

#include <cstdio>
#include <cstring>

#include "link/ConverterRules.h"
#include "platform/Clock.h"
#include "platform/Profile.h"
#include "platform/StopSignals.h"
#include "platform/Ui.h"
#include "records/Backup.h"
#include "records/UsbSettingsEdit.h"
#include "res/Strings.h"

namespace {

// Copies a NUL-terminated text into a 64-byte descriptor string, cut to 63 characters.
void CopyDescriptor(std::array<char, 64>& to, const char* from)
{
    std::size_t n = strnlen(from, to.size() - 1);
    std::memcpy(to.data(), from, n);
    std::memset(to.data() + n, 0, to.size() - n);
}

void CopyOut(char* to, const std::array<char, 64>& from)
{
    std::size_t n = strnlen(from.data(), from.size() - 1);
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

} // namespace

CMyCrvUsbDevice::CMyCrvUsbDevice()
    : ProfilePath(platform::ProfileStorePath()), m_pUpdateWorker(std::make_unique<UpdateWorker>(*this))
{
}

// The worker member goes first (it waits for a running update); the base then closes the link.
CMyCrvUsbDevice::~CMyCrvUsbDevice() = default;

BOOL CMyCrvUsbDevice::ConnectDevice(BOOL reportNotFound)
{
    LoadRegistrySettings();
    // Start from closed: a failed open can leave a handle behind (driver-version refusal), and
    // a link lost earlier would otherwise pass reads by until the next write reopened it.
    if (IsOpen() || m_bLinkLost)
        ClosePort();
    Connected = OpenPort("USB");
    EepromWasRead = UserAreaWasRead = false;
    if (Connected) {
        BOOL eeprom = ReadEeprom();
        BOOL userArea = ReadUserArea();
        UserAreaWasRead = userArea != FALSE;
        if (!eeprom || !userArea)
            platform::Ui().MessageBox(LoadStdString(IDS_CANNOT_READ_EEPROM),
                                      LoadStdString(IDS_ERROR_CAPTION),
                                      platform::MB_ICONEXCLAMATION, platform::BoxOwner::MainWindow);
        return Connected;
    }
    if (reportNotFound) {
        // Where the provider knows why the converter would not open, the status view says so.
        const std::string cause = OpenFailureSentence();
        const std::string notFound = LoadStdString(IDS_NO_USB_DEVICE) + (cause.empty() ? "" : "\n" + cause);
        platform::Ui().MessageBox(CauseInNotFoundBox ? notFound : LoadStdString(IDS_NO_USB_DEVICE),
                                  LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONINFORMATION,
                                  platform::BoxOwner::MainWindow);
        platform::Ui().SetStatusViewText(notFound);
    } else {
        platform::Ui().SetStatusViewText("");
    }
    return FALSE;
}

BOOL CMyCrvUsbDevice::CheckConnection()
{
    if (!Connected || !IsOpen())
        return FALSE;
    d2xx::FTDCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!Library().W32_GetCommState(DeviceHandle(), &dcb))
        Disconnect();
    return Connected;
}

BOOL CMyCrvUsbDevice::EnsureConnected()
{
    return CheckConnection() || ConnectDevice(TRUE) ? TRUE : FALSE;
}

BOOL CMyCrvUsbDevice::ConnectFresh()
{
    if (CheckConnection())
        Disconnect();
    return ConnectDevice(TRUE) == 1 ? TRUE : FALSE;
}

void CMyCrvUsbDevice::SwitchModelIfChanged(std::uint32_t code)
{
    if (code == static_cast<std::uint32_t>(DeviceId))
        return;
    SelectDeviceModel(2, code);
    SendConfiguration();
    // The display needs this long before it takes the next frame.
    platform::Sleep(100);
}

void CMyCrvUsbDevice::Disconnect()
{
    ClosePort();
    Connected = FALSE;
}

void CMyCrvUsbDevice::ShowUnknownDeviceMessage()
{
    char text[50];
    std::snprintf(text, sizeof text, "Ooops Unknown Device found!\nDevice ID: 0x%02x", ChipType);
    platform::Ui().MessageBox(text, "Unknown Device!", platform::MB_ICONWARNING,
                              platform::BoxOwner::None);
}

std::string CMyCrvUsbDevice::UnheldConfiguration() const
{
    if (ChipType == d2xx::FT_DEVICE_X_SERIES || ChipType == d2xx::FT_DEVICE_BM)
        return {};
    const char* name = d2xx::ChipName(ChipType);
    return std::string("its chip (") + (name ? name : "unknown") + ", chip type " + std::to_string(ChipType) +
           ") keeps a USB configuration this program does not read or program (only chip types 0 and 9)";
}

BOOL CMyCrvUsbDevice::ReadEeprom()
{
    d2xx::FT_EEPROM_HEADER* header = nullptr;
    void* image = nullptr;
    d2xx::DWORD size = 0;
    if (ChipType == d2xx::FT_DEVICE_X_SERIES) {
        header = &m_eepromX.common;
        image = &m_eepromX;
        size = sizeof m_eepromX;
    } else if (ChipType == d2xx::FT_DEVICE_BM) {
        header = &m_eepromBm.common;
        image = &m_eepromBm;
        size = sizeof m_eepromBm;
    } else {
        ShowUnknownDeviceMessage();
        EepromWasRead = false;
        return FALSE;
    }
    *header = d2xx::FT_EEPROM_HEADER{};
    header->deviceType = ChipType;
    const d2xx::FT_STATUS status =
        Library().EEPROM_Read(DeviceHandle(), image, size, Manufacturer.data(), ManufacturerId.data(),
                              Description.data(), SerialNumber.data());
    // The library does not bound the strings; keep ours terminated whatever it returned.
    for (auto* s : {&Manufacturer, &ManufacturerId, &Description, &SerialNumber})
        s->back() = '\0';
    EepromSerial.clear();
    if (status == d2xx::FT_OK) {
        EepromSerial = records::WholeUsbSerial(*this, SerialNumber.data());
        CopyDescriptor(SerialNumber, EepromSerial.c_str());
    }
    EepromWasRead = status == d2xx::FT_OK;
    EepromReadStatus = status;
    return status == d2xx::FT_OK;
}

BOOL CMyCrvUsbDevice::ProgramEeprom()
{
    const platform::DeferStopSignals hold; // a converter left half-programmed is worse
    d2xx::FT_STATUS status = d2xx::FT_OTHER_ERROR;
    records::ConverterSnapshot before;
    const bool known = ChipType == d2xx::FT_DEVICE_X_SERIES || ChipType == d2xx::FT_DEVICE_BM;
    // Every way of programming ends here; a settings file is not checked field by field.
    if (const UsbFieldProblem problem = known ? CheckHeldUsbSettings(*this) : UsbFieldProblem{};
        problem.field != UsbField::None) {
        platform::Ui().MessageBox(problem.message, LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONEXCLAMATION,
                                  platform::BoxOwner::None);
        return FALSE;
    }
    if (known && (!StoreStatusBeforeWrite() || !records::PrepareWrite(*this, before)))
        return FALSE;
    records::PendingRecord pending;
    if (known)
        KeepPendingRecord(pending, FALSE);
    if (ChipType == d2xx::FT_DEVICE_X_SERIES) {
        m_eepromX.common.deviceType = ChipType;
        // Every display needs CBUS0 at 4, also on a converter that held another value.
        m_eepromX.Cbus0 = 4;
        status = Library().EEPROM_Program(DeviceHandle(), &m_eepromX, sizeof m_eepromX,
                                          Manufacturer.data(), ManufacturerId.data(),
                                          Description.data(), SerialNumber.data());
    } else if (ChipType == d2xx::FT_DEVICE_BM) {
        m_eepromBm.common.deviceType = ChipType;
        status = ProgramKeepingRecord();
    } else {
        ShowUnknownDeviceMessage();
        WriteProductionLog(FALSE, FALSE);
        return FALSE;
    }
    if (status != d2xx::FT_OK) {
        WriteProductionLog(FALSE, FALSE);
        return FALSE;
    }
    // The log holds what the converter holds, so the read-back comes first.
    std::string notVerified;
    const bool verified = records::VerifyEepromWrite(*this, before, notVerified, LastDiffering);
    WriteProductionLog(FALSE, TRUE, notVerified);
    return verified ? TRUE : FALSE;
}

// On an FT232BM the library's user area starts right after the serial-number string, so new
// strings move it: the record is read first and written again at its new place, and strings
// that would leave it no room (the 128-byte EEPROM holds the strings from byte 0x14 up to the
// checksum word) are refused before anything is written.
d2xx::FT_STATUS CMyCrvUsbDevice::ProgramKeepingRecord()
{
    constexpr std::size_t kBmStringRoom = 0x7E - 0x14 - 3 * 2;
    const std::size_t characters = strnlen(Manufacturer.data(), Manufacturer.size()) +
                                   strnlen(Description.data(), Description.size()) +
                                   strnlen(SerialNumber.data(), SerialNumber.size());
    if (2 * characters + kUserAreaSize > kBmStringRoom)
        return d2xx::FT_INVALID_PARAMETER;
    UserAreaImageBuffer record{};
    d2xx::DWORD got = 0;
    d2xx::FT_STATUS status = Library().EE_UARead(DeviceHandle(), record.data(), kUserAreaSize, &got);
    if (status != d2xx::FT_OK || got < kUserAreaSize)
        return status != d2xx::FT_OK ? status : d2xx::FT_EEPROM_READ_FAILED;
    status = Library().EEPROM_Program(DeviceHandle(), &m_eepromBm, sizeof m_eepromBm,
                                      Manufacturer.data(), ManufacturerId.data(),
                                      Description.data(), SerialNumber.data());
    if (status != d2xx::FT_OK)
        return status;
    return Library().EE_UAWrite(DeviceHandle(), record.data(), kUserAreaSize);
}

void CMyCrvUsbDevice::FillUsbSettings(d2xx::FT_PROGRAM_DATA& data, bool report)
{
    CopyOut(data.Manufacturer, Manufacturer);
    CopyOut(data.ManufacturerId, ManufacturerId);
    CopyOut(data.Description, Description);
    CopyOut(data.SerialNumber, SerialNumber);
    const d2xx::FT_EEPROM_HEADER* header = nullptr;
    if (ChipType == d2xx::FT_DEVICE_X_SERIES)
        header = &m_eepromX.common;
    else if (ChipType == d2xx::FT_DEVICE_BM)
        header = &m_eepromBm.common;
    if (header == nullptr) {
        if (report)
            ShowUnknownDeviceMessage();
        return;
    }
    data.VendorId = header->VendorId;
    data.ProductId = header->ProductId;
    data.MaxPower = header->MaxPower;
    data.SelfPowered = header->SelfPowered;
    data.RemoteWakeup = header->RemoteWakeup;
}

BOOL CMyCrvUsbDevice::GetUsbSettings(d2xx::FT_PROGRAM_DATA* data)
{
    if (data == nullptr || data->Manufacturer == nullptr || data->ManufacturerId == nullptr ||
        data->Description == nullptr || data->SerialNumber == nullptr)
        return FALSE;
    FillUsbSettings(*data, true);
    return TRUE;
}

BOOL CMyCrvUsbDevice::SetUsbSettings(const d2xx::FT_PROGRAM_DATA* data)
{
    if (data == nullptr || data->Manufacturer == nullptr || data->ManufacturerId == nullptr ||
        data->Description == nullptr || data->SerialNumber == nullptr)
        return FALSE;
    CopyDescriptor(Manufacturer, data->Manufacturer);
    CopyDescriptor(ManufacturerId, data->ManufacturerId);
    CopyDescriptor(Description, data->Description);
    CopyDescriptor(SerialNumber, data->SerialNumber);
    d2xx::FT_EEPROM_HEADER* header = nullptr;
    if (ChipType == d2xx::FT_DEVICE_X_SERIES)
        header = &m_eepromX.common;
    else if (ChipType == d2xx::FT_DEVICE_BM)
        header = &m_eepromBm.common;
    if (header == nullptr) {
        ShowUnknownDeviceMessage();
        return TRUE;
    }
    header->VendorId = data->VendorId;
    header->ProductId = data->ProductId;
    header->MaxPower = data->MaxPower;
    header->SelfPowered = static_cast<d2xx::UCHAR>(data->SelfPowered & 0xFF);
    header->RemoteWakeup = static_cast<d2xx::UCHAR>(data->RemoteWakeup & 0xFF);
    return TRUE;
}

BOOL CMyCrvUsbDevice::GetDeviceData(DeviceData& data)
{
    return DecodeUserArea(UserAreaImage, data);
}

BOOL CMyCrvUsbDevice::SetDeviceData(const DeviceData& data)
{
    return EncodeUserArea(data, UserAreaImage);
}

BOOL CMyCrvUsbDevice::WriteUserArea()
{
    const platform::DeferStopSignals hold;
    records::ConverterSnapshot before;
    if (!StoreStatusBeforeWrite() || !records::PrepareWrite(*this, before))
        return FALSE;
    const UserAreaImageBuffer written = UserAreaImage;
    records::PendingRecord pending;
    KeepPendingRecord(pending, TRUE);
    // The attempt is history too: a failed write leaves a record that says so.
    if (Library().EE_UAWrite(DeviceHandle(), UserAreaImage.data(), kUserAreaSize) != d2xx::FT_OK) {
        WriteProductionLog(TRUE, FALSE);
        return FALSE;
    }
    std::string notVerified;
    const bool verified = records::VerifyUserAreaWrite(*this, written, notVerified, LastDiffering);
    WriteProductionLog(TRUE, TRUE, notVerified);
    return verified ? TRUE : FALSE;
}

BOOL CMyCrvUsbDevice::FormatIdentityLine(std::string& text)
{
    text.clear();
    DeviceData data;
    GetDeviceData(data);
    if (DeviceId == -1 && RevisionMajor == 0 && RevisionMinor == 0) {
        text = " " + LoadStdString(IDS_NO_USB_DEVICE);
        return TRUE;
    }
    text = BuildIdentityLine(data, DeviceId, RevisionMajor, RevisionMinor);
    if (!ChosenConverter.empty())
        text += " - Converter " + ChosenConverter;
    return TRUE;
}
