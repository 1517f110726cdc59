#include "dialogs/DialogBase.h"

#include <QCalendarWidget>
#include <QCoreApplication>
#include <QDateEdit>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QScreen>
#include <QShowEvent>
#include <QSlider>
#include <QTextCursor>
#include <algorithm>
#include <ctime>
#include <limits>

#include "dialogs/Seams.h"
#include "platform/LastError.h"
#include "platform/Ui.h"
#include "records/DeviceData.h"
#include "records/DeviceSettingsEdit.h"
#include "res/Strings.h"

namespace {

QString FromStd(const std::string& text) { return QString::fromStdString(text); }

// Limits typing in an edit without cutting a longer text that is already there: an edit that
// makes the text longer than the limit and longer than it was is taken back.
class CharLimit : public QObject {
public:
    static constexpr const char* kName = "kestrune_char_limit";

    CharLimit(QLineEdit* edit, int limit) : QObject(edit), m_pEdit(edit), m_nLimit(limit)
    {
        setObjectName(kName);
        connect(edit, &QLineEdit::textEdited, this, [this](const QString& text) { OnEdited(text); });
    }
    void Reset(int limit)
    {
        m_nLimit = limit;
        m_strLast = m_pEdit->text();
    }

private:
    void OnEdited(const QString& text)
    {
        if (text.size() > m_nLimit && text.size() > m_strLast.size()) {
            const int cursor = m_pEdit->cursorPosition() - static_cast<int>(text.size() - m_strLast.size());
            m_pEdit->setText(m_strLast);
            m_pEdit->setCursorPosition(std::max(0, cursor));
            return;
        }
        m_strLast = text;
    }

    QLineEdit* m_pEdit;
    int m_nLimit;
    QString m_strLast;
};

// A date picker behaves like the platform's date-time picker: Tab goes on to the next control
// (the fields are reached with the arrow keys or by typing), F4 or Alt+Down drops the calendar
// down, and it drops down right-aligned under the control.
class DatePickerBehaviour : public QObject {
public:
    DatePickerBehaviour(QDateEdit* picker, QWidget* popup) : QObject(picker), m_pPicker(picker)
    {
        picker->installEventFilter(this);
        if (popup != nullptr)
            popup->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_pPicker && event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            // A section Qt filled and left on its own (the 15 of 15.03.2024) must not be left a
            // second time by the separator typed after it: the month would be skipped and the
            // year typed into it.
            const bool advanced = m_nDigitSection >= 0 && m_pPicker->currentSectionIndex() != m_nDigitSection;
            m_nDigitSection = -1;
            const QString text = key->text();
            if (text.size() == 1 && text[0].isDigit()) {
                m_nDigitSection = m_pPicker->currentSectionIndex();
            } else if (advanced && text.size() == 1 && text[0].isPunct()) {
                return true;
            }
            if ((key->key() == Qt::Key_F4 && key->modifiers() == Qt::NoModifier) ||
                (key->key() == Qt::Key_Down && key->modifiers() == Qt::AltModifier)) {
                DropDown();
                return true;
            }
            const bool tab = key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab;
            if (tab && !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
                const bool back = key->key() == Qt::Key_Backtab || (key->modifiers() & Qt::ShiftModifier);
                // From its outermost field the picker hands the focus on by itself.
                m_pPicker->setCurrentSectionIndex(back ? 0 : m_pPicker->sectionCount() - 1);
            }
        } else if (watched != m_pPicker && event->type() == QEvent::Show) {
            auto* popup = static_cast<QWidget*>(watched);
            const QPoint corner = m_pPicker->mapToGlobal(QPoint(m_pPicker->width(), 0));
            int left = corner.x() - popup->width();
            if (const QScreen* screen = m_pPicker->screen())
                left = std::max(left, screen->availableGeometry().left());
            popup->move(left, popup->y());
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // Qt opens the calendar only from a click on the arrow; the keys click it.
    void DropDown()
    {
        QStyleOptionComboBox option;
        option.initFrom(m_pPicker);
        option.editable = true;
        option.subControls = QStyle::SC_All;
        const QPoint arrow = m_pPicker->style()
                                 ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxArrow, m_pPicker)
                                 .center();
        const QPoint global = m_pPicker->mapToGlobal(arrow);
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent click(type, arrow, global, Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(m_pPicker, &click);
        }
    }

    QDateEdit* m_pPicker;
    int m_nDigitSection = -1; // the section the last key, a digit, was typed into
};

bool IsBlank(QChar c) { return c == u' ' || c == u'\t'; }

// Blanks, then an optional '+', digits, blanks; saturates like strtoul.
bool ParseUnsigned(const QString& text, std::uint32_t& value)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && IsBlank(text[i]))
        ++i;
    if (i < n && text[i] == u'+')
        ++i;
    const qsizetype digits = i;
    std::uint64_t v = 0;
    while (i < n && text[i] >= u'0' && text[i] <= u'9') {
        v = std::min<std::uint64_t>(v * 10 + static_cast<unsigned>(text[i].unicode() - u'0'),
                                    std::numeric_limits<std::uint32_t>::max());
        ++i;
    }
    if (i == digits)
        return false;
    while (i < n && IsBlank(text[i]))
        ++i;
    if (i != n)
        return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

} // namespace

void CDataExchange::Fail(QWidget* control, const std::string& message)
{
    if (m_bFailed)
        return;
    m_bFailed = true;
    // The class library's own box: the application's title, the exclamation icon.
    platform::Ui().MessageBox(message, LoadStdString(IDS_APP_TITLE), platform::MB_ICONEXCLAMATION,
                              platform::BoxOwner::Dialog);
    FocusOffendingControl(control);
}

void DDX_Text(CDataExchange* pDX, QLineEdit* edit, std::string& value)
{
    if (!pDX->Active())
        return;
    if (pDX->m_bSaveAndValidate)
        value = edit->text().toStdString();
    else
        edit->setText(FromStd(value));
}

void DDX_Text(CDataExchange* pDX, QLineEdit* edit, std::uint32_t& value)
{
    if (!pDX->Active())
        return;
    if (!pDX->m_bSaveAndValidate) {
        edit->setText(QString::number(value));
        return;
    }
    if (!ParseUnsigned(edit->text(), value))
        pDX->Fail(edit, LoadStdString(IDS_DDX_POSITIVE_INTEGER));
}

void DDV_MaxChars(CDataExchange* pDX, QLineEdit* edit, const std::string& value, int limit)
{
    if (!pDX->Active())
        return;
    if (!pDX->m_bSaveAndValidate) {
        // Found by name: the class has no meta-object of its own to look it up by.
        auto* guard = static_cast<CharLimit*>(
            edit->findChild<QObject*>(CharLimit::kName, Qt::FindDirectChildrenOnly));
        if (!guard)
            guard = new CharLimit(edit, limit);
        guard->Reset(limit);
        return;
    }
    if (FromStd(value).size() > limit)
        pDX->Fail(edit, MaxCharsMessage(limit));
}

void DDX_DateTimeCtrl(CDataExchange* pDX, QDateEdit* picker, std::int64_t& value)
{
    if (!pDX->Active())
        return;
    if (pDX->m_bSaveAndValidate) {
        value = LocalMidnightOf(picker->date());
        return;
    }
    const QDate date = LocalDateOf(value);
    if (date.isValid())
        picker->setDate(date);
}

void DDX_Slider(CDataExchange* pDX, QSlider* slider, int& value)
{
    if (!pDX->Active())
        return;
    if (pDX->m_bSaveAndValidate)
        value = slider->value();
    else
        slider->setValue(value);
}

void DDX_Text(CDataExchange* pDX, QPlainTextEdit* edit, std::string& value)
{
    if (!pDX->Active())
        return;
    if (pDX->m_bSaveAndValidate) {
        value = edit->toPlainText().replace(u'\n', QStringLiteral("\r\n")).toStdString();
        return;
    }
    // The control shows paragraphs; a lone carriage return would show as a glyph.
    QString text = FromStd(value);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    edit->setPlainText(text);
}

QDate LocalDateOf(std::int64_t time)
{
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm local{};
    if (!localtime_r(&t, &local))
        return {};
    return QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

std::int64_t LocalMidnightOf(const QDate& date)
{
    std::int64_t time = -1;
    if (!date.isValid() || !LocalMidnight(date.year(), date.month(), date.day(), time) || time < 0)
        return -1;
    return time;
}

void FitToDigits(QLineEdit* edit, int digits)
{
    // The size hint is room for 17 'x' plus frame and margins; keep those, change the room.
    const QFontMetrics fm = edit->fontMetrics();
    const int chrome = edit->sizeHint().width() - fm.horizontalAdvance(QLatin1Char('x')) * 17;
    edit->setFixedWidth(chrome + fm.horizontalAdvance(QString(digits + 1, u'0')));
}

void SetUpDatePicker(QDateEdit* picker)
{
    QString format = QLocale().dateFormat(QLocale::ShortFormat);
    // A two-digit year would make 1969 and 2069 the same to type.
    if (!format.contains(QStringLiteral("yyyy")))
        format.replace(QStringLiteral("yy"), QStringLiteral("yyyy"));
    picker->setDisplayFormat(format);
    picker->setCalendarPopup(true);
    QCalendarWidget* calendar = picker->calendarWidget();
    new DatePickerBehaviour(picker, calendar != nullptr ? calendar->window() : nullptr);
}

CDialogBase::CDialogBase(int widthDlu, int heightDlu, QWidget* parent)
    : QDialog(parent), m_nWidthDlu(widthDlu), m_nHeightDlu(heightDlu)
{
}

int CDialogBase::DoModal()
{
    // Through the seam, so that a scripted run or a test can work the dialog like the user.
    return gui::RunModal(*this) == QDialog::Accepted ? platform::IDOK : platform::IDCANCEL;
}

bool CDialogBase::UpdateData(bool saveAndValidate)
{
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return !dx.Failed();
}

void CDialogBase::EndDialog(int result)
{
    done(result == platform::IDOK ? QDialog::Accepted : QDialog::Rejected);
}

int CDialogBase::DialogMessageBox(const std::string& text, const std::string& caption, unsigned flags)
{
    return platform::Ui().MessageBox(text, caption, flags, platform::BoxOwner::Dialog);
}

void CDialogBase::ReportCommandError(const platform::CommandError& error)
{
    DialogMessageBox(platform::ErrorText(error.HResult()), LoadStdString(IDS_APP_TITLE),
                     platform::MB_ICONSTOP);
}

void CDialogBase::OnInitDialog() { UpdateData(false); }

void CDialogBase::showEvent(QShowEvent* event)
{
    if (!m_bInitialized && !event->spontaneous()) {
        m_bInitialized = true;
        // Dialog units from the dialog's font: a quarter of the average character width and
        // an eighth of the character height.
        const QFontMetrics fm(font());
        const int avg = fm.horizontalAdvance(QStringLiteral(
                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52;
        const QSize template_((m_nWidthDlu * avg + 2) / 4, (m_nHeightDlu * fm.height() + 4) / 8);
        resize(template_.expandedTo(sizeHint()));
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void FocusOffendingControl(QWidget* control)
{
    if (!control)
        return;
    control->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        edit->selectAll();
}
