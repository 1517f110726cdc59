#include <QGroupBox>
#include <QListWidget>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSlider>
#include <QTextDocument>

#include "SimFixture.h"
#include "dialogs/ConverterChooser.h"
#include "dialogs/DlgDeviceControls.h"
#include "dialogs/Seams.h"
#include "dialogs/DlgTest.h"
#include "records/MyCrvUsbDevice.h"

namespace {

class DeviceControlsDialog : public DialogFixture<CDlgDeviceControls> {
protected:
    void SetUp() override
    {
        DialogFixture::SetUp();
        ASSERT_TRUE(Connect());
        m_frames = ReceivedFrames().size();
        Open();
    }
    // Frames received since the dialog opened.
    std::vector<std::string> NewFrames()
    {
        const auto all = ReceivedFrames();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(m_frames, all.size())), all.end()};
    }
    std::size_t m_frames = 0;
};

TEST(DotFirmness, SliderRangeMapsToTwoToNinetyNine)
{
    EXPECT_EQ(DotFirmnessFromSlider(0), 2);
    EXPECT_EQ(DotFirmnessFromSlider(33), 34);
    EXPECT_EQ(DotFirmnessFromSlider(50), 50);
    EXPECT_EQ(DotFirmnessFromSlider(100), 99);
}

TEST_F(DeviceControlsDialog, SetSendsTheFirmnessFrameAndStaysOpen)
{
    EXPECT_EQ(m_dlg->windowTitle(), "Test Device Controls");
    auto* slider = m_dlg->findChild<QSlider*>("slider1018");
    auto* module = m_dlg->findChild<QLineEdit*>("edit1020");
    ASSERT_TRUE(slider && module);
    EXPECT_EQ(slider->minimum(), 0);
    EXPECT_EQ(slider->maximum(), 100);
    EXPECT_EQ(slider->tickPosition(), QSlider::NoTicks);
    EXPECT_EQ(module->text(), "5");
    EXPECT_TRUE(m_dlg->findChild<QGroupBox*>()->title() == "&Braille Modules");

    // The display gets STX 'F', the two values nibble-encoded, ETX.
    const int positions[] = {33, 0, 50, 100};
    for (int p : positions) {
        slider->setValue(p);
        Click(m_dlg.get(), "button1019");
        EXPECT_TRUE(m_dlg->isVisible());
    }
    const auto frames = NewFrames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], "02 46 50 52 32 32 30 35 03");
    EXPECT_EQ(frames[1], "02 46 50 52 30 32 30 35 03");
    EXPECT_EQ(frames[2], "02 46 50 52 33 32 30 35 03");
    EXPECT_EQ(frames[3], "02 46 50 52 36 33 30 35 03");
    EXPECT_TRUE(m_ui.Boxes().empty());
}

TEST_F(DeviceControlsDialog, ModuleValueIsReadAsADecimalNumberUpTo255)
{
    QLineEdit* module = Edit("edit1020");
    TypeInto(module, "2550"); // three characters at most
    EXPECT_EQ(module->text(), "255");
    Click(m_dlg.get(), "button1019");
    TypeInto(module, "300");
    Click(m_dlg.get(), "button1019");
    ASSERT_EQ(m_ui.Boxes().size(), 1u);
    EXPECT_EQ(m_ui.Boxes()[0].text, "The module value must be a number from 0 to 255.");
    EXPECT_TRUE(module->hasFocus());
    TypeInto(module, "x");
    Click(m_dlg.get(), "button1019");

    const auto frames = NewFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], "02 46 50 52 30 32 3f 3f 03"); // 2, 255
    EXPECT_EQ(frames[1], "02 46 50 52 30 32 30 30 03"); // 2, 0
}

TEST_F(DeviceControlsDialog, CloseSendsNothing)
{
    m_dlg->findChild<QSlider*>("slider1018")->setValue(70);
    Click(m_dlg.get(), "button1");
    EXPECT_EQ(m_dlg->result(), QDialog::Accepted);
    EXPECT_EQ(m_dlg->m_nFirmness, 70);
    EXPECT_TRUE(NewFrames().empty());
}

TEST(InformationDialog, OpensScrolledToTheEndOfALongReport)
{
    TestApplication();
    CDlgTest dlg;
    std::string report;
    for (int i = 0; i < 200; ++i)
        report += "Line " + std::to_string(i) + "\r\n";
    report += "Error waiting for 'id' message reply.\r\n";
    dlg.m_strReport = report;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    EXPECT_EQ(dlg.windowTitle(), "Corvina II Device Information");
    auto* edit = dlg.findChild<QPlainTextEdit*>("edit1017");
    ASSERT_NE(edit, nullptr);
    EXPECT_TRUE(edit->isReadOnly());
    EXPECT_EQ(edit->toPlainText().count('\n'), 201);
    EXPECT_FALSE(edit->toPlainText().contains('\r'));
    // The caret at the end and the reply line in view.
    QTest::qWait(50);
    EXPECT_GT(edit->verticalScrollBar()->value(), 150);
    QTextCursor reply = edit->document()->find("Error waiting");
    ASSERT_FALSE(reply.isNull());
    EXPECT_TRUE(edit->viewport()->rect().contains(edit->cursorRect(reply)));
    EXPECT_TRUE(edit->viewport()->rect().contains(edit->cursorRect()));
    EXPECT_TRUE(edit->textCursor().atEnd());
    Click(&dlg, "button1");
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.m_strReport, report);
}

// The bench's start-up question, answered from the keyboard alone: the first display's
// converter is preselected, arrows move, Enter takes the row, Escape takes none.
TEST(ConverterChooser, KeyboardChoosesARowOrNone)
{
    TestApplication();
    std::vector<converters::ListedConverter> list(3);
    list[0] = {0, "FT9XQ1", "USB Serial", 0x1011, "1-1", 0x04036001, 9, false};
    list[1] = {1, "KS000042", "CORVINA USB", 0x1012, "1-2", 0x0403F209, 9, false};
    list[2] = {2, "KS000043", "CORVINA USB", 0x1013, "", 0x0403F208, 9, false};
    EXPECT_EQ(gui::ConverterRowText(list[0]), "Serial FT9XQ1, USB Serial, location:1-1, product ID 6001");
    EXPECT_EQ(gui::ConverterRowText(list[2]), "Serial KS000043, CORVINA USB, location:0x1013, product ID F208");

    const struct {
        std::vector<Qt::Key> keys;
        int chosen;
    } cases[] = {{{Qt::Key_Return}, 1}, {{Qt::Key_Down, Qt::Key_Return}, 2}, {{Qt::Key_Up, Qt::Key_Up, Qt::Key_Return}, 0},
                 {{Qt::Key_Down, Qt::Key_Escape}, -1}};
    for (const auto& c : cases) {
        gui::seams::Reset();
        gui::seams::SetDialogDriver([&](QDialog& dlg) {
            auto* rows = dlg.findChild<QListWidget*>("converterList");
            ASSERT_NE(rows, nullptr);
            EXPECT_EQ(dlg.focusWidget(), rows);
            EXPECT_FALSE(rows->accessibleName().isEmpty());
            for (Qt::Key key : c.keys) QTest::keyClick(dlg.focusWidget(), key);
        });
        EXPECT_EQ(gui::ChooseConverter(nullptr, list), c.chosen);
    }
    gui::seams::Reset();
}

} // namespace
