#pragma once
// The main frame's device, record and settings-file commands. Each runs on the UI thread for
// one command and keeps nothing; RegisterMainFrameCommands (MainFrame.h) adds them to the
// frame's table, where every one is refused while a firmware update owns the link.
class CMainFrame;

// Connection guard, then the dialog, then the ready line.
void OnUsbSettings(CMainFrame& frame);      // 32772
// Connection guard, the dialog, the model switch when the dialog's code differs from the
// device's (whichever button closed it), the ready line.
void OnDeviceSettings(CMainFrame& frame);   // 32773
void OnGenerateSerialNumber(CMainFrame& frame); // 32779
// Fresh connection, then the ready line.
void OnReconnect(CMainFrame& frame);        // 32781
void OnLoadSettingsFile(CMainFrame& frame); // 32783; may raise platform::CommandError
void OnDeviceInformation(CMainFrame& frame); // 32785
// The identity test on the profile store's port ("COM1:" by default) with a link of its own.
void OnSerialPortTest(CMainFrame& frame);   // 32786
void OnDeviceControls(CMainFrame& frame);   // 32787
void OnSaveSettingsFile(CMainFrame& frame); // 57603
