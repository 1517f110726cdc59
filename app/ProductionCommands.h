#pragma once
// The Production menu: the bench's jobs in the desktop program. RegisterProductionCommands
// (MainFrame.h) adds them to the frame's table; each is refused while a firmware update owns
// the link.
#include <array>

class CMainFrame;

enum : unsigned {
    ID_PRODUCTION_RUN_UNIT = 32900,
    ID_PRODUCTION_HISTORY = 32901,
    ID_PRODUCTION_BACKUPS = 32902,
    ID_PRODUCTION_DIAGNOSTICS = 32903,
};

struct ProductionItem {
    unsigned id;
    const char* text; // with its mnemonic
};
inline constexpr std::array<ProductionItem, 4> kProductionMenu = {{
    {ID_PRODUCTION_RUN_UNIT, "&Run Unit..."},
    {ID_PRODUCTION_HISTORY, "&History..."},
    {ID_PRODUCTION_BACKUPS, "&Backups..."},
    {ID_PRODUCTION_DIAGNOSTICS, "&Diagnostics..."},
}};

void OnRunUnit(CMainFrame& frame);
void OnHistory(CMainFrame& frame);
void OnBackups(CMainFrame& frame);
void OnDiagnostics(CMainFrame& frame);
