#include <QApplication>
#include <QCalendarWidget>
#include <QDateEdit>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <map>

#include "SimFixture.h"
#include "dialogs/QtText.h"
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
        if (w->focusPolicy() != Qt::NoFocus && w->window() == &dlg && !w->objectName().startsWith("qt_")) {
            EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
        }
    }
    // A screen reader says what the operator reads, without the mnemonic marker (a label that
    // shows a value in figures names nothing).
    for (QLabel* label : dlg.findChildren<QLabel*>()) {
        bool figures = false;
        label->text().toInt(&figures);
        if (label->buddy() != nullptr && !figures) {
            EXPECT_TRUE(label->buddy()->accessibleName().startsWith(gui::StripMnemonic(label->text())))
                << label->buddy()->accessibleName().toStdString();
        }
    }
    for (QAbstractButton* button : dlg.findChildren<QAbstractButton*>()) {
        if (button->window() != &dlg)
            continue; // the calendar's own buttons
        EXPECT_EQ(button->accessibleName(), gui::StripMnemonic(button->text()))
            << button->objectName().toStdString();
    }
}

// Each Alt+letter reaches one control: a letter used twice only moves between the two.
void ExpectOwnLetters(QDialog& dlg)
{
    std::map<QString, QString> letters;
    const auto take = [&](const QString& text) {
        const QString letter = QKeySequence::mnemonic(text).toString().toLower();
        if (letter.isEmpty())
            return;
        const auto [it, added] = letters.emplace(letter, text);
        EXPECT_TRUE(added) << letter.toStdString() << ": " << it->second.toStdString() << " and " << text.toStdString();
    };
    for (QLabel* label : dlg.findChildren<QLabel*>())
        take(label->text());
    for (QAbstractButton* button : dlg.findChildren<QAbstractButton*>())
        if (button->window() == &dlg)
            take(button->text());
    for (QGroupBox* group : dlg.findChildren<QGroupBox*>())
        take(group->title());
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

// What the Tab key visits from the first control on, as object names; it then comes back to the
// first, and Shift+Tab walks the same way back.
void ExpectTabOrder(QDialog& dlg, std::initializer_list<const char*> names)
{
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    dlg.activateWindow();
    QWidget* first = dlg.findChild<QWidget*>(*names.begin());
    ASSERT_NE(first, nullptr);
    first->setFocus(Qt::TabFocusReason);
    const auto walk = [&](Qt::KeyboardModifiers modifiers) {
        std::vector<std::string> visited;
        for (std::size_t i = 0;; ++i) {
            QWidget* focus = QApplication::focusWidget();
            visited.push_back(focus != nullptr ? focus->objectName().toStdString() : "(none)");
            if (i == names.size())
                return visited;
            QTest::keyClick(focus != nullptr ? focus : &dlg, Qt::Key_Tab, modifiers);
        }
    };
    std::vector<std::string> forward(names.begin(), names.end());
    forward.push_back(*names.begin());
    EXPECT_EQ(walk(Qt::NoModifier), forward);
    std::vector<std::string> backward(forward.rbegin(), forward.rend());
    EXPECT_EQ(walk(Qt::ShiftModifier), backward);
    dlg.hide();
}

TEST(DialogTemplates, UsbSettings)
{
    TestApplication();
    CMyCrvUsbDevice device;
    CDlgUsb dlg(device);
    EXPECT_EQ(dlg.windowTitle(), "USB Settings");
    EXPECT_EQ(int(CDlgUsb::IDD), 130);
    // Product ID's letter moved from R to O: Reload keeps R, as in the device settings dialog.
    ExpectLabels(dlg, {{"&Vendor ID", "edit1001"}, {"Pr&oduct ID", "edit1000"},
                       {"&Manufacturer", "edit1002"}, {"M&anufacturer ID", "edit1003"},
                       {"&Serial Number", "edit1004"}, {"&Device Description", "edit1005"}});
    ExpectButtons(dlg, {{"button1016", "&Reload"}, {"button2", "&Cancel"}, {"button1", "&Program!"}});
    ExpectOwnLetters(dlg);
    for (const char* name : {"edit1000", "edit1001", "edit1002", "edit1003", "edit1004", "edit1005"})
        EXPECT_TRUE(dlg.findChild<QLineEdit*>(name)->text().isEmpty());
    ExpectTabOrder(dlg, {"edit1001", "edit1000", "edit1002", "edit1003", "edit1004", "edit1005",
                         "button1016", "button2", "button1"});
}

TEST(DialogTemplates, DeviceSettings)
{
    TestApplication();
    CMyCrvUsbDevice device;
    CDlgDevice dlg(device);
    EXPECT_EQ(dlg.windowTitle(), "Corvina II Device Settings");
    EXPECT_EQ(int(CDlgDevice::IDD), 131);
    ExpectLabels(dlg, {{"&Device Identification Code (DIC)", "edit1008"},
                       {"&Serial Number", "edit1010"},
                       {"Date of &Manufacturing", "datetime1014"},
                       {"Date of Last &Update", "datetime1015"}});
    ExpectButtons(dlg, {{"button1016", "&Reload"}, {"button2", "&Cancel"}, {"button1", "&Program!"}});
    ExpectOwnLetters(dlg);
    // The points between the serial groups are drawn: no label a screen reader would call ".".
    for (QLabel* label : dlg.findChildren<QLabel*>())
        EXPECT_NE(label->text(), ".");
    EXPECT_NE(dlg.findChild<QDateEdit*>("datetime1015"), nullptr);
    EXPECT_EQ(dlg.m_nDeviceCode, 0u);
    EXPECT_EQ(dlg.m_timeManufacturing, 0);
    EXPECT_TRUE(dlg.m_strSerial1.empty());
    // F4 and Alt+Down drop the calendar down under the picker, right-aligned with it.
    auto* picker = dlg.findChild<QDateEdit*>("datetime1014");
    ASSERT_NE(picker, nullptr);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    picker->setFocus();
    QTest::keyClick(picker, Qt::Key_F4);
    QWidget* popup = picker->calendarWidget()->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popup));
    EXPECT_EQ(popup->geometry().right(), picker->mapToGlobal(picker->rect().bottomRight()).x());
    EXPECT_GE(popup->geometry().top(), picker->mapToGlobal(picker->rect().bottomLeft()).y());
    popup->hide();
    QTest::keyClick(picker, Qt::Key_Down, Qt::AltModifier);
    EXPECT_TRUE(popup->isVisible());
    popup->hide();
    // Tab leaves a date picker for the next control; its fields are reached by arrow keys.
    ExpectTabOrder(dlg, {"edit1008", "edit1010", "edit1006", "edit1009", "datetime1014", "datetime1015",
                         "button1016", "button2", "button1"});
}

TEST(DialogTemplates, DeviceControlsAndInformation)
{
    TestApplication();
    CMyCrvUsbDevice device;
    CDlgDeviceControls controls(device);
    EXPECT_EQ(controls.windowTitle(), "Test Device Controls");
    EXPECT_EQ(int(CDlgDeviceControls::IDD), 133);
    ExpectLabels(controls, {{"Module &value", "edit1020"}});
    ExpectButtons(controls, {{"button1019", "&Set"}, {"button1", "&Close"}});
    ExpectOwnLetters(controls);
    // The slider's position in figures, in a label tied to it.
    auto* slider = controls.findChild<QSlider*>("slider1018");
    auto* value = controls.findChild<QLabel*>("static_firmness_value");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->buddy(), slider);
    EXPECT_EQ(value->text(), "0");
    slider->setValue(42);
    EXPECT_EQ(value->text(), "42");
    slider->setValue(0);
    EXPECT_EQ(controls.m_nFirmness, 0);
    EXPECT_EQ(controls.m_strModuleValue, "5");
    ExpectTabOrder(controls, {"slider1018", "edit1020", "button1019", "button1"});

    CDlgTest test;
    EXPECT_EQ(test.windowTitle(), "Corvina II Device Information");
    EXPECT_EQ(int(CDlgTest::IDD), 132);
    ExpectButtons(test, {{"button1", "OK"}});
    auto* report = test.findChild<QPlainTextEdit*>("edit1017");
    ASSERT_NE(report, nullptr);
    EXPECT_TRUE(report->isReadOnly());
    EXPECT_EQ(report->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    // The read-only report keeps no Tab for itself.
    ExpectTabOrder(test, {"edit1017", "button1"});
}

} // namespace
