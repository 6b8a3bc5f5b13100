// Dialog shown before a switch to CCID: the fake-card setting.
#pragma once
#include <QDialog>
#include <cstdint>

class QPushButton;
class QRadioButton;

namespace tarvex {

class frmCCIDmode : public QDialog {
    Q_OBJECT
public:
    explicit frmCCIDmode(QWidget* parent = nullptr);
    int16_t GetButton() const; // -1 cancelled, 255 standard 30 s, 2 always, 0 none
    bool Cancelled = false;

    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    QRadioButton* Option3 = nullptr;
    QPushButton* cmdOK = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void cmdOK_Click();
};

} // namespace tarvex
