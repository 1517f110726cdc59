#pragma once
// The information dialog: shows a report the frame composed, opened at its end so that the
// display's reply is in view.
#include <memory>
#include <string>

#include "dialogs/DialogBase.h"

namespace Ui {
class DlgTest;
}

class CDlgTest : public CDialogBase {
    Q_OBJECT
public:
    enum { IDD = 132 };

    explicit CDlgTest(QWidget* parent = nullptr);
    ~CDlgTest() override;

    std::string m_strReport; // "\r\n" line ends

public slots:
    void OnOK();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnInitDialog() override;

private:
    std::unique_ptr<Ui::DlgTest> ui;
};
