// Dialog shown before a switch to HID: how the reader types card identifiers.
#pragma once
#include "ui_optiondialog.h"

#include <cstdint>

class QCheckBox;
class QRadioButton;

namespace tarvex {

// Cancelled and cmdOK, and the show/close/Esc handling, come from OptionDialog.
class frmHIDmode : public OptionDialog {
    Q_OBJECT
public:
    explicit frmHIDmode(QWidget* parent = nullptr);
    int16_t GetButton() const;    // 0 cancelled, 1 hex UID, 2 decimal UID, 3 block 2
    int16_t GetSubOption() const; // +1 append '#', +2 SHIFT for hex letters

    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    QRadioButton* Option3 = nullptr;
    QCheckBox* Check_INTERNAL_ADD_HASHTAG = nullptr;
    QCheckBox* Check_INTERNAL_HID_USE_SHIFT = nullptr;

private:
    void Option_Click();
};

} // namespace tarvex
