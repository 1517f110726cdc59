#pragma once
// What every operator dialog shares: the exchange between controls and members (with the
// class library's two messages and the focus on the offending control), the modal run, the
// message boxes owned by the dialog and the size in dialog units.
#include <QDate>
#include <QDialog>
#include <cstdint>
#include <string>

class QDateEdit;
class QLineEdit;
class QPlainTextEdit;
class QSlider;

namespace platform {
class CommandError;
}

// One exchange in one direction. After the first failure every further call does nothing, so
// the first offending control keeps the focus and its message is the only one shown.
class CDataExchange {
public:
    CDataExchange(QDialog* dialog, bool saveAndValidate)
        : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}

    // Shows message in the class library's box, puts the focus on control (an edit's text
    // selected) and ends the exchange.
    void Fail(QWidget* control, const std::string& message);
    bool Failed() const { return m_bFailed; }
    bool Active() const { return !m_bFailed; }

    QDialog* const m_pDlgWnd;
    const bool m_bSaveAndValidate;

private:
    bool m_bFailed = false;
};

void DDX_Text(CDataExchange* pDX, QLineEdit* edit, std::string& value);
// Unsigned decimal: blanks around it allowed, anything else gives "Please enter a positive
// integer.".
void DDX_Text(CDataExchange* pDX, QLineEdit* edit, std::uint32_t& value);
// Loading limits what the operator can type (a longer text already there stays whole);
// saving refuses a longer text with "Please enter no more than %1 characters.".
void DDV_MaxChars(CDataExchange* pDX, QLineEdit* edit, const std::string& value, int limit);
// Time value at local midnight of the picker's day; -1 when that day cannot be represented
// (for example before 1 January 1970 local time).
void DDX_DateTimeCtrl(CDataExchange* pDX, QDateEdit* picker, std::int64_t& value);
void DDX_Slider(CDataExchange* pDX, QSlider* slider, int& value);
// Kept with "\r\n" line ends.
void DDX_Text(CDataExchange* pDX, QPlainTextEdit* edit, std::string& value);

// Day of a time value in local time; invalid when it has none.
QDate LocalDateOf(std::int64_t time);
// Local midnight of the day; -1 when it cannot be represented as a time value from 1970 on.
std::int64_t LocalMidnightOf(const QDate& date);

// Puts the focus on control and selects an edit's text, as a failed exchange does.
void FocusOffendingControl(QWidget* control);

// Makes an edit wide enough for that many digits and no wider.
void FitToDigits(QLineEdit* edit, int digits);

// Makes a date picker a short-date picker with a four-digit year, a calendar popup and typed
// input.
void SetUpDatePicker(QDateEdit* picker);

class CDialogBase : public QDialog {
    Q_OBJECT
public:
    // widthDlu x heightDlu: the template's size in dialog units.
    CDialogBase(int widthDlu, int heightDlu, QWidget* parent);

    // Runs the dialog modally; IDOK or IDCANCEL.
    int DoModal();
    // Copies members into controls (false) or controls into members (true); false when the
    // exchange failed.
    bool UpdateData(bool saveAndValidate = true);
    void EndDialog(int result);

    // A message box owned by this dialog; returns the button pressed.
    int DialogMessageBox(const std::string& text, const std::string& caption, unsigned flags);
    // What the command dispatch shows for an error a handler raised; the dialog stays open.
    void ReportCommandError(const platform::CommandError& error);

protected:
    virtual void DoDataExchange(CDataExchange* pDX) = 0;
    // Runs once, when the dialog is first shown: exchanges the members into the controls.
    virtual void OnInitDialog();
    void showEvent(QShowEvent* event) override;

private:
    int m_nWidthDlu;
    int m_nHeightDlu;
    bool m_bInitialized = false;
};
