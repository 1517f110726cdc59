#include "app/ProductionCommands.h"

#include "app/MainFrame.h"
#include "dialogs/DlgBackups.h"
#include "dialogs/DlgDiagnostics.h"
#include "dialogs/DlgHistory.h"
#include "dialogs/DlgRunUnit.h"
#include "dialogs/Seams.h"
#include "production/Doctor.h"
#include "records/MyCrvUsbDevice.h"

void RegisterProductionCommands(CMainFrame& frame)
{
    gui::CommandTable& table = frame.Commands();
    const auto add = [&](unsigned id, void (*handler)(CMainFrame&)) {
        table.AddCommand(id, [&frame, handler] { handler(frame); }, gui::DeviceUse::Link);
    };
    add(ID_PRODUCTION_RUN_UNIT, OnRunUnit);
    add(ID_PRODUCTION_HISTORY, OnHistory);
    add(ID_PRODUCTION_BACKUPS, OnBackups);
    add(ID_PRODUCTION_DIAGNOSTICS, OnDiagnostics);
}

void OnRunUnit(CMainFrame& frame)
{
    {
        CDlgRunUnit dlg(frame.Device(), &frame);
        gui::RunModal(dlg);
    }
    frame.RefreshReadyLine();
}

void OnHistory(CMainFrame& frame)
{
    CDlgHistory dlg(frame.Device(), &frame);
    gui::RunModal(dlg);
}

void OnBackups(CMainFrame& frame)
{
    {
        CDlgBackups dlg(frame.Device(), &frame);
        gui::RunModal(dlg);
    }
    frame.RefreshReadyLine();
}

void OnDiagnostics(CMainFrame& frame)
{
    {
        CDlgDiagnostics dlg(production::DiagnosticsReport(frame.Device()), &frame);
        gui::RunModal(dlg);
    }
    frame.RefreshReadyLine();
}
