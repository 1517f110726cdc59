#include "dialogs/DlgHistory.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <array>
#include <deque>

#include "dialogs/QtText.h"
#include "dialogs/Seams.h"
#include "platform/Ui.h"
#include "production/HistoryQuery.h"
#include "res/Strings.h"

namespace {

std::string ValueOf(const records::LogEntry& e, std::string_view key)
{
    for (const auto& [k, v] : e.values)
        if (k == key) return std::string(v);
    return {};
}

} // namespace

CDlgHistory::CDlgHistory(CMyCrvUsbDevice& device, QWidget* parent) : QDialog(parent), m_device(device)
{
    setObjectName(QStringLiteral("dlgHistory"));
    setWindowTitle(tr("History"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    const auto field = [&](const QString& label, const char* name, const QString& hint) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setPlaceholderText(hint);
        edit->setAccessibleDescription(hint);
        form->addRow(label, edit);
        return edit;
    };
    m_pSerial = field(tr("&Serial number:"), "editSerial", tr("0012.3456.789 or a converter's ZK000013"));
    m_pType = field(tr("&Type:"), "editType", tr("device code, 98 or 0x62"));
    m_pSince = field(tr("S&ince:"), "editSince", tr("date DD.MM.YY"));
    m_pStation = field(tr("Statio&n:"), "editStation", tr("computer name"));
    layout->addLayout(form);
    m_pFilter = new QPushButton(tr("&Filter"), this);
    m_pFilter->setObjectName(QStringLiteral("buttonFilter"));
    m_pFilter->setDefault(true);
    connect(m_pFilter, &QPushButton::clicked, this, [this] { OnFilter(); });
    layout->addWidget(m_pFilter);

    m_pCount = new QLabel(this);
    m_pCount->setObjectName(QStringLiteral("labelCount"));
    auto* tableLabel = new QLabel(tr("&Records:"), this);
    m_pTable = new QTableWidget(0, 5, this);
    m_pTable->setObjectName(QStringLiteral("tableHistory"));
    m_pTable->setHorizontalHeaderLabels({tr("Serial"), tr("Type"), tr("Date"), tr("Station"), tr("Values")});
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTable->verticalHeader()->setVisible(false);
    m_pTable->horizontalHeader()->setStretchLastSection(true);
    m_pTable->setSortingEnabled(true);
    m_pTable->setAccessibleName(tr("Records"));
    tableLabel->setBuddy(m_pTable);
    layout->addWidget(m_pCount);
    layout->addWidget(tableLabel);
    layout->addWidget(m_pTable);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("buttonClose"));
    buttons->button(QDialogButtonBox::Close)->setAutoDefault(false);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(900, 480);
    OnFilter();
}

bool CDlgHistory::OnFilter()
{
    records::HistoryFilter filter;
    filter.serial = gui::FromQt(m_pSerial->text().trimmed());
    filter.station = gui::FromQt(m_pStation->text().trimmed());
    const auto refuse = [this](QLineEdit* edit, const std::string& text) {
        gui::ShowMessageBox(this, text, LoadStdString(IDS_APP_TITLE), platform::MB_ICONEXCLAMATION | platform::MB_OK);
        edit->setFocus(Qt::OtherFocusReason);
        edit->selectAll();
        return false;
    };
    const std::string type = gui::FromQt(m_pType->text().trimmed());
    if (!type.empty() && !(filter.type = records::ParseDeviceCode(type)))
        return refuse(m_pType, "The type needs a device code from 0 to 255 (98 or 0x62), not '" + type + "'.");
    const std::string since = gui::FromQt(m_pSince->text().trimmed());
    if (!since.empty() && !(filter.since = records::ParseSinceDate(since)))
        return refuse(m_pSince, "Since needs a date as DD.MM.YY, not '" + since + "'.");

    m_pTable->setSortingEnabled(false);
    m_pTable->setRowCount(0);
    const production::HistorySource log = production::LogOf(m_device);
    // A shared log holds hundreds of thousands of records: the table keeps the latest ones, which
    // a filter narrows down to the display asked about.
    constexpr std::size_t kShownRows = 2000;
    std::deque<std::array<std::string, 5>> rows;
    std::size_t matched = 0;
    const bool read = production::ReadHistory(log, filter, [&](const records::LogEntry& e) {
        ++matched;
        if (rows.size() == kShownRows) rows.pop_front();
        std::string values;
        for (const auto& [key, value] : e.values) {
            if (key == "SerialNumber" || key == "Type") continue;
            if (!values.empty()) values += ", ";
            values += std::string(key) + "=" + std::string(value);
        }
        rows.push_back({ValueOf(e, "SerialNumber"), ValueOf(e, "Type"), std::string(e.time),
                        std::string(e.computer), std::string(e.kind) + ": " + values});
    });
    m_pTable->setRowCount(static_cast<int>(rows.size()));
    const QStringList headers = {tr("serial"), tr("type"), tr("date"), tr("station"), tr("values")};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        QString line;
        for (std::size_t c = 0; c < rows[r].size(); ++c)
            line += (c == 0 ? QString() : QStringLiteral(", ")) + headers[static_cast<int>(c)] + QLatin1Char(' ') +
                    gui::ToQt(rows[r][c]);
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            auto* item = new QTableWidgetItem(gui::ToQt(rows[r][c]));
            // Each cell reads as its whole row: one line a record for a screen reader.
            item->setData(Qt::AccessibleTextRole, line);
            m_pTable->setItem(static_cast<int>(r), static_cast<int>(c), item);
        }
    }
    m_pTable->setSortingEnabled(true);
    if (!read) {
        m_pCount->setText(tr("The production log %1 cannot be read.").arg(gui::ToQt(log.stored)));
        return false;
    }
    if (matched > rows.size()) {
        m_pCount->setText(tr("The latest %1 of %2 records of %3; a filter finds the others.")
                              .arg(rows.size())
                              .arg(matched)
                              .arg(gui::ToQt(log.stored)));
        return true;
    }
    m_pCount->setText(tr("%n record(s) of %1", nullptr, static_cast<int>(rows.size())).arg(gui::ToQt(log.stored)));
    return true;
}
