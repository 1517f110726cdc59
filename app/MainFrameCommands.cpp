#include "app/MainFrameCommands.h"

#include <array>
#include <climits>
#include <optional>
#include <string>

#include "app/MainFrame.h"
#include "dialogs/Seams.h"
#include "dialogs/DlgDevice.h"
#include "dialogs/DlgDeviceControls.h"
#include "dialogs/DlgTest.h"
#include "dialogs/DlgUsb.h"
#include "link/CrvSerialDevice.h"
#include "platform/Clock.h"
#include "platform/Ui.h"
#include "records/DeviceReport.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

namespace {

// detail: what was found wrong, on a line of its own below the message.
void FrameBox(unsigned textId, unsigned flags, const std::string& detail = {})
{
    const std::string text = detail.empty() ? LoadStdString(textId) : LoadStdString(textId) + "\n" + detail;
    platform::Ui().MessageBox(text, LoadStdString(IDS_ERROR_CAPTION), flags, platform::BoxOwner::MainWindow);
}

gui::FileRequest SettingsFileRequest(bool save)
{
    gui::FileRequest request;
    request.save = save;
    request.defaultExtension = "bin";
    request.defaultName = "devinfo.bin";
    request.filter = LoadStdString(IDS_SETTINGS_FILTER);
    request.flags = gui::OFN_HIDEREADONLY | gui::OFN_OVERWRITEPROMPT | gui::OFN_PATHMUSTEXIST;
    return request;
}

void ShowReport(CMainFrame& frame, std::string report)
{
    CDlgTest dlg(&frame);
    dlg.m_strReport = std::move(report);
    dlg.DoModal();
}

} // namespace

void RegisterMainFrameCommands(CMainFrame& frame)
{
    using gui::DeviceUse;
    gui::CommandTable& table = frame.Commands();
    const auto add = [&](unsigned id, void (*handler)(CMainFrame&)) {
        // The settings files do not use the link, but a load during a run would change the
        // record the run reports; they wait as well.
        table.AddCommand(id, [&frame, handler] { handler(frame); }, DeviceUse::Link);
    };
    add(ID_USB_SETTINGS, OnUsbSettings);
    add(ID_DEVICE_SETTINGS, OnDeviceSettings);
    add(ID_GENERATE_SERIAL, OnGenerateSerialNumber);
    add(ID_RECONNECT, OnReconnect);
    add(ID_LOAD_SETTINGS, OnLoadSettingsFile);
    add(ID_DEVICE_INFORMATION, OnDeviceInformation);
    add(ID_SERIAL_PORT_TEST, OnSerialPortTest);
    add(ID_DEVICE_CONTROLS, OnDeviceControls);
    add(ID_SAVE_SETTINGS, OnSaveSettingsFile);
}

void OnUsbSettings(CMainFrame& frame)
{
    if (!frame.Device().EnsureConnected())
        return;
    {
        CDlgUsb dlg(frame.Device(), &frame);
        dlg.DoModal();
    }
    frame.RefreshReadyLine();
}

void OnDeviceSettings(CMainFrame& frame)
{
    if (!frame.Device().EnsureConnected())
        return;
    std::uint32_t code = 0;
    {
        CDlgDevice dlg(frame.Device(), &frame);
        dlg.DoModal();
        code = dlg.m_nDeviceCode;
    }
    frame.Device().SwitchModelIfChanged(code);
    frame.RefreshReadyLine();
}

void OnDeviceControls(CMainFrame& frame)
{
    if (!frame.Device().EnsureConnected())
        return;
    CDlgDeviceControls dlg(frame.Device(), &frame);
    dlg.DoModal();
}

void OnGenerateSerialNumber(CMainFrame& frame)
{
    const std::string caption = LoadStdString(IDS_ERROR_CAPTION);
    if (!frame.Device().EnsureConnected())
        return;
    // A number the record cannot hold is refused, with its own message, and nothing changes.
    if (frame.Device().GenerateSerialNumber() < 0)
        return;
    DeviceData data;
    frame.Device().GetDeviceData(data);
    platform::Ui().MessageBox(LoadStdString(IDS_SERIAL_GENERATED) + FormatSerialNumber(data), caption,
                              platform::MB_ICONINFORMATION | platform::MB_OK,
                              platform::BoxOwner::MainWindow);
}

void OnReconnect(CMainFrame& frame)
{
    if (!frame.Device().ConnectFresh())
        return;
    frame.RefreshReadyLine();
}

void OnDeviceInformation(CMainFrame& frame)
{
    if (!frame.Device().ConnectFresh())
        return;
    ShowReport(frame, BuildDeviceInformationReport(frame.Device()));
    frame.RefreshReadyLine();
}

void OnSerialPortTest(CMainFrame& frame)
{
    CCrvSerialDevice serial;
    std::array<char, PATH_MAX> port{}; // a device path is taken whole
    frame.Device().ReadProfileSetting("Settings", "Port", "COM1:", port.data(), static_cast<int>(port.size()));
    if (!serial.OpenPort(port.data())) {
        FrameBox(IDS_ERROR_COM_PORT, platform::MB_ICONINFORMATION | platform::MB_OK);
        return;
    }
    // A link of its own has no model selected, so the 'init' request sends nothing.
    ShowReport(frame, IdentityExchangeReport(serial, 0));
}

void OnLoadSettingsFile(CMainFrame& frame)
{
    const std::optional<std::string> path = gui::GetFileName(&frame, SettingsFileRequest(false));
    if (!path)
        return;
    if (frame.Device().LoadSettingsFile(path->c_str())) {
        platform::Ui().SetStatusBarMessage(LoadStdString(IDS_SETTINGS_LOADED));
        return;
    }
    FrameBox(IDS_CANNOT_LOAD_FILE, platform::MB_ICONERROR | platform::MB_OK, frame.Device().SettingsFileProblem);
    platform::Ui().SetStatusBarMessage(LoadStdString(IDS_IDLE_MESSAGE));
}

void OnSaveSettingsFile(CMainFrame& frame)
{
    const std::optional<std::string> path = gui::GetFileName(&frame, SettingsFileRequest(true));
    if (!path)
        return;
    if (frame.Device().SaveSettingsFile(path->c_str())) {
        platform::Ui().SetStatusBarMessage(LoadStdString(IDS_SETTINGS_SAVED));
        return;
    }
    FrameBox(IDS_CANNOT_SAVE_FILE, platform::MB_ICONERROR | platform::MB_OK, frame.Device().SettingsFileProblem);
}
