// Dialog shown before a switch to HID: the format in which the reader, as a
// keyboard, types card identifiers, and two sub-options of the hexadecimal
// format. It is created once and only ever hidden, so each showing presents
// the choices the user left last time.
#include "frmHIDmode.h"

#include <QButtonGroup>
#include <QPushButton>

namespace tarvex {

frmHIDmode::frmHIDmode(QWidget* parent) : OptionDialog(parent, QStringLiteral("HID Mode Selection"), 5550, 2670)
{
    Option1 = new WrapRadioButton(
        QStringLiteral("Standard mode which outputs card UID as hexadecimal (recommended by card manufacturers)"),
        this);
    Check_INTERNAL_ADD_HASHTAG = new WrapCheckBox(QStringLiteral("Adiciona caracter '#' no fim do UID"), this);
    Check_INTERNAL_HID_USE_SHIFT
        = new WrapCheckBox(QStringLiteral("HID usa SHIFT em lugar de capslock para as letras hexa."), this);
    Option2 = new WrapRadioButton(QStringLiteral("Convert the UID to long and left pad with zeroes (not recommended "
                                                 "and limited only for 4 byte UID size)"),
        this);
    Option3 = new WrapRadioButton(QStringLiteral("Outputs the 14 bytes from BLOCK 2 instead of UID"), this);
    addOkButton();

    placeTwips(*Option1, 120, 120, 4335, 375);
    placeTwips(*Check_INTERNAL_ADD_HASHTAG, 240, 600, 4215, 255);
    placeTwips(*Check_INTERNAL_HID_USE_SHIFT, 240, 960, 4215, 375);
    placeTwips(*Option2, 120, 1560, 4455, 375);
    placeTwips(*Option3, 120, 2040, 4455, 375);
    fitCaptionFont(*this, {Option1, Check_INTERNAL_ADD_HASHTAG, Check_INTERNAL_HID_USE_SHIFT, Option2, Option3});

    // Tab order follows the original tab indices: the options and OK first,
    // the two sub-options last.
    setTabOrder(Option1, Option2);
    setTabOrder(Option2, cmdOK);
    setTabOrder(cmdOK, Option3);
    setTabOrder(Option3, Check_INTERNAL_ADD_HASHTAG);
    setTabOrder(Check_INTERNAL_ADD_HASHTAG, Check_INTERNAL_HID_USE_SHIFT);

    QButtonGroup* options = groupOptions({Option1, Option2, Option3});

    // React to every newly selected option, whether by mouse, keyboard or
    // code, so the sub-options can never be left set for another format.
    connect(options, &QButtonGroup::buttonToggled, this, [this](QAbstractButton*, bool checked) {
        if (checked)
            Option_Click();
    });
}

int16_t frmHIDmode::GetButton() const
{
    if (Cancelled)
        return 0;
    if (Option1->isChecked())
        return 1;
    if (Option2->isChecked())
        return 2;
    if (Option3->isChecked())
        return 3;
    return 0;
}

int16_t frmHIDmode::GetSubOption() const
{
    if (Cancelled)
        return 0;
    int16_t value = 0;
    if (Check_INTERNAL_ADD_HASHTAG->isChecked())
        value = 1;
    if (Check_INTERNAL_HID_USE_SHIFT->isChecked())
        value += 2;
    return value;
}

// The sub-options belong to the hexadecimal format: usable only while it is
// selected, and cleared when another format is chosen.
void frmHIDmode::Option_Click()
{
    const bool hex = Option1->isChecked();
    if (!hex) {
        Check_INTERNAL_ADD_HASHTAG->setChecked(false);
        Check_INTERNAL_HID_USE_SHIFT->setChecked(false);
    }
    Check_INTERNAL_ADD_HASHTAG->setEnabled(hex);
    Check_INTERNAL_HID_USE_SHIFT->setEnabled(hex);
}

} // namespace tarvex
