#pragma once
// Production > Diagnostics: the doctor's report in a read-only text view that a screen reader
// reads line by line, with Copy (the whole report to the clipboard) and Close.
#include <QDialog>
#include <string>

class QPlainTextEdit;
class QPushButton;

class CDlgDiagnostics : public QDialog {
    Q_OBJECT
public:
    CDlgDiagnostics(const std::string& report, QWidget* parent);

    QPlainTextEdit* m_pReport = nullptr;
    QPushButton* m_pCopy = nullptr;
};
