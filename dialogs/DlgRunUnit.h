#pragma once
// Production > Run Unit: the whole job for one display (firmware and family, template settings
// file, next serial number). Start runs it on a worker thread; the list shows each step with its
// state and time as it runs. At the first failure the job stops, a box names the step and the
// reason, and the focus goes to the failed step. The dialog cannot close while the job runs.
#include <QDialog>
#include <memory>
#include <thread>

#include "production/UnitJob.h"

class CMyCrvUsbDevice;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

class CDlgRunUnit : public QDialog {
    Q_OBJECT
public:
    CDlgRunUnit(CMyCrvUsbDevice& device, QWidget* parent);
    ~CDlgRunUnit() override;

    // Starts the job; false when one runs already or a field is refused.
    bool OnStart();
    bool Running() const { return m_worker.joinable(); }
    const production::UnitResult& Result() const { return m_result; }

    QLineEdit* m_pFirmware = nullptr;
    QComboBox* m_pFamily = nullptr;
    QLineEdit* m_pTemplate = nullptr;
    QCheckBox* m_pSerialNext = nullptr;
    QPushButton* m_pStart = nullptr;
    QListWidget* m_pSteps = nullptr;
    QProgressBar* m_pProgress = nullptr;

signals:
    // After the job's end has been shown.
    void Finished(int status);

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class Observer;
    void ShowStep(const production::UnitStep& step);
    void ShowProgress(int percent);
    void OnFinished(const production::UnitResult& result);

    CMyCrvUsbDevice& m_device;
    std::unique_ptr<Observer> m_observer;
    std::thread m_worker;
    production::UnitResult m_result;
    int m_nToldPercent = -1;
};
