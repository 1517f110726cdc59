// The five firmware-update commands of the main frame.
#include "app/MainFrame.h"
#include "app/MainFrameCommands.h"
#include "dialogs/Seams.h"
#include "firmware/Firmware.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

void RegisterUpdateCommands(CMainFrame& frame)
{
    using gui::DeviceUse;
    gui::CommandTable& table = frame.Commands();
    table.AddCommand(ID_UPDATE_OPAL_KEYBOARD, [&frame] { frame.OnUpdateFamilyOpalKeyboard(); }, DeviceUse::Link);
    table.AddCommand(ID_UPDATE_KV, [&frame] { frame.OnUpdateFamilyKv(); }, DeviceUse::Link);
    table.AddCommand(ID_UPDATE_OPAL, [&frame] { frame.OnUpdateFamilyOpal(); }, DeviceUse::Link);
    table.AddCommand(ID_UPDATE_NOVA, [&frame] { frame.OnUpdateFamilyNova(); }, DeviceUse::Link);
    table.AddCommand(ID_UPDATE_HERON, [&frame] { frame.OnUpdateFamilyHeron(); }, DeviceUse::Link);
}

void CMainFrame::OnUpdateFamilyKv() { UpdateFamily(FamilyKv, "kv-rev01.hex"); }
void CMainFrame::OnUpdateFamilyOpal() { UpdateFamily(FamilyOpal, "opal.hex"); }
void CMainFrame::OnUpdateFamilyOpalKeyboard() { UpdateFamily(FamilyOpalKeyboard, "opal_brt.hex"); }
void CMainFrame::OnUpdateFamilyNova() { UpdateFamily(FamilyNova, "nova-100.hex"); }
void CMainFrame::OnUpdateFamilyHeron() { UpdateFamily(FamilyHeron, "heron-100.hex"); }

void CMainFrame::UpdateFamily(int family, const char* defaultName)
{
    gui::FileRequest request;
    request.save = false;
    request.defaultExtension = "hex";
    request.defaultName = defaultName;
    if (!m_device.EnsureConnected())
        return;
    request.filter = LoadStdString(IDS_HEX_FILTER);
    request.flags = gui::OFN_HIDEREADONLY | gui::OFN_OVERWRITEPROMPT | gui::OFN_PATHMUSTEXIST;
    const std::optional<std::string> path = gui::GetFileName(this, request);
    if (!path)
        return;
    // The worker checks the name against the family itself.
    StartUpdate(*path, family);
}
