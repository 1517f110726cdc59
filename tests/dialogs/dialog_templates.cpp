#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>

#include "SimFixture.h"
#include "dialogs/DlgDevice.h"
#include "dialogs/DlgDeviceControls.h"
#include "dialogs/DlgTest.h"
#include "dialogs/DlgUsb.h"

namespace {

struct Label {
    const char* text;
    const char* buddy;
};

void ExpectLabels(QDialog& dlg, std::initializer_list<Label> labels)
{
    for (const Label& l : labels) {
        QLabel* found = nullptr;
        for (QLabel* label : dlg.findChildren<QLabel*>())
            if (label->text() == l.text)
                found = label;
        ASSERT_NE(found, nullptr) << l.text;
        ASSERT_NE(found->buddy(), nullptr) << l.text;
        EXPECT_EQ(found->buddy()->objectName(), l.buddy) << l.text;
    }
    // Every mnemonic reaches a control, and every control has a name a screen reader reads.
    for (QLabel* label : dlg.findChildren<QLabel*>()) {
        if (label->text().contains('&')) {
            EXPECT_NE(label->buddy(), nullptr) << label->text().toStdString();
        }
    }
    for (QWidget* w : dlg.findChildren<QWidget*>()) {
        if (w->focusPolicy() != Qt::NoFocus && !w->isWindow() && !w->objectName().startsWith("qt_")) {
            EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
        }
    }
}

void ExpectButtons(QDialog& dlg, std::initializer_list<std::pair<const char*, const char*>> buttons)
{
    for (auto [name, text] : buttons) {
        auto* b = dlg.findChild<QPushButton*>(name);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_EQ(b->text(), text);
    }
    EXPECT_TRUE(dlg.findChild<QPushButton*>("button1")->isDefault());
}

// What Tab visits from the first control on, as object names.
void ExpectTabOrder(QDialog& dlg, std::initializer_list<const char*> names)
{
    QWidget* w = dlg.findChild<QWidget*>(*names.begin());
    ASSERT_NE(w, nullptr);
    std::vector<std::string> visited;
    for (std::size_t i = 0; i < names.size(); ++i) {
        visited.push_back(w->objectName().toStdString());
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus) || !w->isEnabled());
    }
    EXPECT_EQ(visited, std::vector<std::string>(names.begin(), names.end()));
}

TEST(DialogTemplates, UsbSettings)
{
    TestApplication();
    CDlgUsb dlg;
    EXPECT_EQ(dlg.windowTitle(), "USB Settings");
    EXPECT_EQ(int(CDlgUsb::IDD), 130);
    ExpectLabels(dlg, {{"&Vendor ID", "edit1001"}, {"P&roduct ID", "edit1000"},
                       {"&Manufacturer", "edit1002"}, {"M&anufacturer ID", "edit1003"},
                       {"&Serial Number", "edit1004"}, {"&Device Description", "edit1005"}});
    ExpectButtons(dlg, {{"button1016", "&Reload"}, {"button2", "&Cancel"}, {"button1", "&Program!"}});
    ExpectTabOrder(dlg, {"edit1001", "edit1000", "edit1002", "edit1003", "edit1004", "edit1005",
                         "button1016", "button2", "button1"});
    for (const char* name : {"edit1000", "edit1001", "edit1002", "edit1003", "edit1004", "edit1005"})
        EXPECT_TRUE(dlg.findChild<QLineEdit*>(name)->text().isEmpty());
}

TEST(DialogTemplates, DeviceSettings)
{
    TestApplication();
    CDlgDevice dlg;
    EXPECT_EQ(dlg.windowTitle(), "Corvina II Device Settings");
    EXPECT_EQ(int(CDlgDevice::IDD), 131);
    ExpectLabels(dlg, {{"&Device Identification Code (DIC)", "edit1008"},
                       {"&Serial Number", "edit1010"},
                       {"Date of &Manufacturing", "datetime1014"},
                       {"Date of Last &Update", "datetime1015"}});
    ExpectButtons(dlg, {{"button1016", "&Reload"}, {"button2", "&Cancel"}, {"button1", "&Program!"}});
    EXPECT_NE(dlg.findChild<QDateEdit*>("datetime1014"), nullptr);
    EXPECT_NE(dlg.findChild<QDateEdit*>("datetime1015"), nullptr);
    EXPECT_EQ(dlg.m_nDeviceCode, 0u);
    EXPECT_EQ(dlg.m_timeManufacturing, 0);
    EXPECT_TRUE(dlg.m_strSerial1.empty());
}

TEST(DialogTemplates, DeviceControlsAndInformation)
{
    TestApplication();
    CDlgDeviceControls controls;
    EXPECT_EQ(controls.windowTitle(), "Test Device Controls");
    EXPECT_EQ(int(CDlgDeviceControls::IDD), 133);
    ExpectLabels(controls, {{"Module &value", "edit1020"}});
    ExpectButtons(controls, {{"button1019", "&Set"}, {"button1", "&Close"}});
    ExpectTabOrder(controls, {"slider1018", "edit1020", "button1019", "button1"});
    EXPECT_EQ(controls.m_nFirmness, 0);
    EXPECT_EQ(controls.m_strModuleValue, "5");

    CDlgTest test;
    EXPECT_EQ(test.windowTitle(), "Corvina II Device Information");
    EXPECT_EQ(int(CDlgTest::IDD), 132);
    ExpectButtons(test, {{"button1", "OK"}});
    auto* report = test.findChild<QPlainTextEdit*>("edit1017");
    ASSERT_NE(report, nullptr);
    EXPECT_TRUE(report->isReadOnly());
    EXPECT_EQ(report->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

} // namespace
