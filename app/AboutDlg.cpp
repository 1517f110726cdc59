#include "app/AboutDlg.h"

#include "app/Resources.h"
#include "ui_about.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::CAboutDlg>())
{
    ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    ui->static_icon->setPixmap(gui::AppIcon().pixmap(32, 32));
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    ui->button1->setFocus();
}

CAboutDlg::~CAboutDlg() = default;
