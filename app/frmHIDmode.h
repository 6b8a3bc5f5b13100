// Dialog shown before a switch to HID: how the reader types card identifiers.
#pragma once
#include <QDialog>
#include <cstdint>

class QCheckBox;
class QPushButton;
class QRadioButton;

namespace tarvex {

class frmHIDmode : public QDialog {
    Q_OBJECT
public:
    explicit frmHIDmode(QWidget* parent = nullptr);
    int16_t GetButton() const;    // 0 cancelled, 1 hex UID, 2 decimal UID, 3 block 2
    int16_t GetSubOption() const; // +1 append '#', +2 SHIFT for hex letters
    bool Cancelled = false;

    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    QRadioButton* Option3 = nullptr;
    QCheckBox* Check_INTERNAL_ADD_HASHTAG = nullptr;
    QCheckBox* Check_INTERNAL_HID_USE_SHIFT = nullptr;
    QPushButton* cmdOK = nullptr;

protected:
    void showEvent(QShowEvent* event) override;   // Form_Activate
    void closeEvent(QCloseEvent* event) override; // Form_Unload
    void reject() override;                       // Esc behaves as the close box

private:
    void cmdOK_Click();
    void Option_Click();
};

} // namespace tarvex
