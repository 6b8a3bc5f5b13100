// Dialog shown before a switch to CCID: the fake-card setting.
#pragma once
#include "ui_optiondialog.h"

#include <cstdint>

class QRadioButton;

namespace tarvex {

// Cancelled and cmdOK, and the show/close/Esc handling, come from OptionDialog.
class frmCCIDmode : public OptionDialog {
    Q_OBJECT
public:
    explicit frmCCIDmode(QWidget* parent = nullptr);
    int16_t GetButton() const; // -1 cancelled, 255 standard 30 s, 2 always, 0 none

    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    QRadioButton* Option3 = nullptr;
};

} // namespace tarvex
