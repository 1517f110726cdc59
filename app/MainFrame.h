#pragma once
// The program's only top-level window: the status view over a status bar, the menu, the
// accelerators and the frame's command table.
#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <optional>
#include <string>
#include <vector>

#include "app/CommandTable.h"
#include "platform/StopSignals.h"

class CChildView;
class CMyCrvUsbDevice;
class CStatusBar;
class QMenu;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    enum : unsigned { WM_USER = 0x0400, AFX_IDW_PANE_FIRST = 59648 };

    // serviceMenu: add "&Service" with every frame command that has no menu item. The device
    // object is the front end's and outlives the frame.
    explicit CMainFrame(CMyCrvUsbDevice& device, bool serviceMenu = false,
                        QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Routing: the view, then the frame's table, then the application's. A command no row
    // handles does nothing; false then. A command that raises platform::CommandError is
    // reported the way the class library's dispatch does it.
    bool OnCmdMsg(unsigned id);
    bool SendCommand(unsigned id) { return OnCmdMsg(id); }
    void PostCommand(unsigned id);
    // Window messages of the frame's table (WM_USER); PostMessage is safe from any thread.
    bool SendMessage(unsigned message);
    void PostMessage(unsigned message);

    gui::CommandTable& Commands() { return m_commands; }
    CMyCrvUsbDevice& Device() const { return m_device; }
    // Command IDs that the menu (not the service menu) sends.
    std::vector<unsigned> MenuCommandIds() const;
    QMenu* ServiceMenu() const { return m_pServiceMenu; }

    // The ready line: "Kestrune is ready", and " - " with the identity line when there is one.
    void RefreshReadyLine();
    // Plain replace of the status view's text.
    void SetStatusViewText(const std::string& text);
    // Makes the window wide enough for the status view's longest line and high enough for a
    // few lines at the view's font, as far as the screen allows; it never shrinks.
    void FitToStatusText();
    // The window active and the status view focused, unless a box or dialog is still open.
    void RestoreFocus();

    // Firmware updates. A run is active from a successful StartUpdate until its end-of-run
    // message has been handled.
    bool UpdateActive() const;
    // Shows the refusal box and returns true while a run is active (for handlers that use the
    // display; rows marked DeviceUse::Link are refused before their handler is called).
    bool RefuseWhileUpdating();
    // Starts a run of the family on the file, with this frame as the worker's main frame.
    bool StartUpdate(const std::string& path, int family);
    void OnUpdateFinished();
    // The bar and the title follow the run; EndProgress takes both back.
    void OnUpdateProgress(int percent);
    void EndProgress();

    // The firmware-update commands.
    void OnUpdateFamilyKv();
    void OnUpdateFamilyOpal();
    void OnUpdateFamilyOpalKeyboard();
    void OnUpdateFamilyNova();
    void OnUpdateFamilyHeron();

    CStatusBar* m_wndStatusBar = nullptr;
    CChildView* m_wndView = nullptr;

signals:
    // After each routed command: whether a row handled it.
    void CommandRouted(unsigned id, bool handled);
    // After the end-of-run message: whether the result was shown (false: the display was gone).
    void UpdateFinishedHandled(bool reported);

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateMenus(bool serviceMenu);
    void CreateProductionMenu();
    void FillServiceMenu();
    void AddServiceItem(unsigned id, const QString& label);
    void SetTitle(const QString& title);
    void CreateAccelerators();
    void RunRow(const gui::CommandRow& row);
    void UpdateFamily(int family, const char* defaultName);

    CMyCrvUsbDevice& m_device;
    gui::CommandTable m_commands;
    QMenu* m_pServiceMenu = nullptr;
    bool m_bUpdateActive = false;
    int m_nToldPercent = -1; // the progress last shown, in steps of 10 %
    // SIGTERM, SIGHUP and SIGINT stop the run cleanly instead of ending the program under it.
    std::optional<platform::StopSignalRun> m_stopSignals;
    QPointer<QDialog> m_pRefusalBox; // the "update is running" box while it is open
};

// Rows that other files add to the frame's table; the frame calls each at construction.
void RegisterUpdateCommands(CMainFrame& frame);    // app/UpdateCommands.cpp
void RegisterMainFrameCommands(CMainFrame& frame); // app/MainFrameCommands.cpp
void RegisterProductionCommands(CMainFrame& frame); // app/ProductionCommands.cpp
