#include "dialogs/DlgTest.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QTimer>

#include "platform/Ui.h"
#include "ui_dlg_test.h"

CDlgTest::CDlgTest(QWidget* parent) : CDialogBase(248, 202, parent), ui(std::make_unique<Ui::DlgTest>())
{
    ui->setupUi(this);
    connect(ui->button1, &QPushButton::clicked, this, &CDlgTest::OnOK);
}

CDlgTest::~CDlgTest() = default;

void CDlgTest::DoDataExchange(CDataExchange* pDX) { DDX_Text(pDX, ui->edit1017, m_strReport); }

void CDlgTest::OnInitDialog()
{
    UpdateData(false);
    ui->edit1017->moveCursor(QTextCursor::End);
    // Again once the dialog has its final size: the view is laid out only after it is shown.
    QTimer::singleShot(0, ui->edit1017, [edit = ui->edit1017] { edit->ensureCursorVisible(); });
}

void CDlgTest::OnOK()
{
    if (UpdateData(true))
        EndDialog(platform::IDOK);
}
