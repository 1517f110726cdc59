#pragma once
// A simulated display behind a device object of the test's own: its own configuration, state folder,
// profile store and drive C, message boxes answered by the test, and a Qt application.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest/QTest>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/Ui.h"
#include "records/MyCrvUsbDevice.h"
#include "sim/d2xx/KestruneSim.h"

// The application the widgets need; created on first use, alive to the process end.
QApplication& TestApplication();

struct IniValue {
    const char* section;
    const char* key;
    const char* value; // nullptr removes the key
};

class SimFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A display with a valid record (code 0x5F, serial 0012.0345.006, made 4 March 2015,
    // updated 6 May 2016), USB IDs 0x0403/0x6001, replies at once; values changes keys. The
    // simulator is rebuilt from it, so the device must not be connected.
    void Configure(std::initializer_list<IniValue> values = {});
    // The device connected to it (without the not-found box); false when it is not.
    bool Connect();

    // Box texts in order, for short failure messages.
    std::vector<std::string> BoxTexts() const;
    // A file of the state folder (empty when missing).
    std::string StateFile(const std::string& name) const;
    // The frames the display received, one line a frame: lower-case byte pairs, blank between.
    std::vector<std::string> ReceivedFrames() const;
    // kestrune-cli run on the same simulator; its standard output. Skips when there is none.
    std::string RunCli(const std::string& arguments, int* status = nullptr) const;
    // The production log on drive C (empty when nothing was logged).
    std::string ProductionLog() const;

    // The test's device object, created in SetUp once the environment points at the test's files.
    CMyCrvUsbDevice& Device() { return *m_pDevice; }

    std::string m_dir;
    std::string m_simIni;
    std::unique_ptr<CMyCrvUsbDevice> m_pDevice;
    platform::ScopedRecordingUi m_ui;
    // Keeps the simulator loaded while the device unloads and reloads it.
    std::unique_ptr<sim::SimControl> m_sim;
};

// Clicks a button of a widget by object name.
void Click(QWidget* parent, const char* name);
// Replaces the text of an edit by typing, as the operator would.
void TypeInto(QLineEdit* edit, const QString& text);

// One dialog of type Dlg shown (not modal) against the simulated display.
template <typename Dlg>
class DialogFixture : public SimFixture {
protected:
    void Open()
    {
        m_dlg = std::make_unique<Dlg>(Device());
        m_dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_dlg.get()));
    }
    QLineEdit* Edit(const char* name) { return m_dlg->template findChild<QLineEdit*>(name); }
    void Type(const char* name, const QString& text) { TypeInto(Edit(name), text); }
    void TearDown() override
    {
        m_dlg.reset();
        SimFixture::TearDown();
    }
    std::unique_ptr<Dlg> m_dlg;
};
