#include "dialogs/ConverterChooser.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>
#include <string>

#include "dialogs/QtText.h"
#include "dialogs/Seams.h"
#include "link/D2xxLibrary.h"
#include "res/Strings.h"

namespace gui {

std::string ConverterRowText(const converters::ListedConverter& c)
{
    char product[8];
    std::snprintf(product, sizeof product, "%04X", static_cast<unsigned>(c.ProductId()));
    return "Serial " + (c.serial.empty() ? std::string("(none)") : c.serial) + ", " +
           (c.description.empty() ? std::string("no description") : c.description) + ", " +
           c.LocationName() + ", product ID " + product;
}

int ChooseConverter(QWidget* parent, const std::vector<converters::ListedConverter>& list)
{
    QDialog dialog(parent);
    dialog.setObjectName("converterChooser");
    dialog.setWindowTitle(QStringLiteral("Choose the converter"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel(QStringLiteral("Several converters are attached. &Converter to use:"), &dialog);
    auto* rows = new QListWidget(&dialog);
    rows->setObjectName("converterList");
    rows->setAccessibleName(QStringLiteral("Converter to use"));
    label->setBuddy(rows);
    int preselected = -1;
    for (std::size_t i = 0; i < list.size(); ++i) {
        rows->addItem(ToQt(ConverterRowText(list[i])));
        if (preselected < 0 && list[i].LooksLikeDisplay())
            preselected = static_cast<int>(i);
    }
    rows->setCurrentRow(preselected < 0 ? 0 : preselected);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    // Enter or a double click on a row takes it, as the OK button does.
    QObject::connect(rows, &QListWidget::itemActivated, &dialog, &QDialog::accept);
    layout->addWidget(label);
    layout->addWidget(rows);
    layout->addWidget(buttons);
    rows->setFocus(Qt::OtherFocusReason);
    if (RunModal(dialog) != QDialog::Accepted)
        return -1;
    const int row = rows->currentRow();
    return row >= 0 && static_cast<std::size_t>(row) < list.size() ? list[static_cast<std::size_t>(row)].index : -1;
}

bool ChooseStartupConverter(QWidget* parent, D2xxLibrary& library)
{
    if (converters::CurrentDeviceSelection().Named() || !library.Bind())
        return true;
    const std::vector<converters::ListedConverter> list = converters::ListConverters(library);
    if (list.size() < 2)
        return true;
    const int chosen = ChooseConverter(parent, list);
    if (chosen < 0)
        return false;
    const converters::ListedConverter& c = list[static_cast<std::size_t>(chosen)];
    // By serial where it names one converter alone: the list's order may change on a replug.
    int same = 0;
    for (const converters::ListedConverter& other : list)
        same += other.serial == c.serial ? 1 : 0;
    converters::DeviceSelection selection;
    selection.kind = !c.serial.empty() && same == 1 ? converters::DeviceSelection::Kind::Serial
                                                    : converters::DeviceSelection::Kind::Index;
    selection.value = selection.kind == converters::DeviceSelection::Kind::Serial ? c.serial : std::to_string(c.index);
    converters::SetDeviceSelection(selection);
    return true;
}

bool RefuseUnchosenConverter(QWidget* parent, D2xxLibrary& library)
{
    if (!converters::WriteTargetAmbiguous(library))
        return false;
    ShowMessageBox(parent, std::string(converters::kSeveralConvertersText) + "\nNothing was written.",
                   LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONSTOP | platform::MB_OK);
    return true;
}

} // namespace gui
