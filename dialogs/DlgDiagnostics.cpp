#include "dialogs/DlgDiagnostics.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/QtText.h"

CDlgDiagnostics::CDlgDiagnostics(const std::string& report, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("dlgDiagnostics"));
    setWindowTitle(tr("Diagnostics"));
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(tr("&Report:"), this);
    m_pReport = new QPlainTextEdit(this);
    m_pReport->setObjectName(QStringLiteral("editReport"));
    m_pReport->setReadOnly(true);
    // Read-only, yet in the tab order with a caret, so that a screen reader walks it line by line.
    m_pReport->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    m_pReport->setFocusPolicy(Qt::StrongFocus);
    m_pReport->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pReport->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_pReport->setPlainText(gui::ToQtLines(report));
    m_pReport->setAccessibleName(tr("Diagnostics report"));
    label->setBuddy(m_pReport);
    layout->addWidget(label);
    layout->addWidget(m_pReport);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    m_pCopy = buttons->addButton(tr("&Copy"), QDialogButtonBox::ActionRole);
    m_pCopy->setObjectName(QStringLiteral("buttonCopy"));
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("buttonClose"));
    connect(m_pCopy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(m_pReport->toPlainText()); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(720, 420);
    m_pReport->setFocus(Qt::OtherFocusReason);
}
