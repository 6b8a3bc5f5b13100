// Dialog shown before a switch to CCID: whether and how the reader pretends
// that a card is present. Created once and only ever hidden, so each showing
// presents the option chosen last time.
#include "frmCCIDmode.h"

#include <QPushButton>

namespace tarvex {

frmCCIDmode::frmCCIDmode(QWidget* parent) : OptionDialog(parent, QStringLiteral("CCID Fake Card Selection"), 5535, 1485)
{
    Option1 = new WrapRadioButton(QStringLiteral("Standard 30 seconds fake card time to aid in transmitting commands "
                                                 "to the reader with no card in range"),
        this);
    Option2 = new WrapRadioButton(QStringLiteral("Always tell the OS a card is present, so it will be always possible "
                                                 "to connect and transmit commands"),
        this);
    Option3 = new WrapRadioButton(QStringLiteral("No fake card"), this);
    addOkButton();

    placeTwips(*Option1, 120, 120, 4455, 375);
    placeTwips(*Option2, 120, 600, 4455, 375);
    placeTwips(*Option3, 120, 1080, 4215, 375);
    fitCaptionFont(*this, {Option1, Option2, Option3});

    setTabOrder(Option1, Option2);
    setTabOrder(Option2, Option3);
    setTabOrder(Option3, cmdOK);

    groupOptions({Option1, Option2, Option3});
}

int16_t frmCCIDmode::GetButton() const
{
    // -1, not 0, for a cancel: 0 is a valid setting (no fake card).
    if (Cancelled)
        return -1;
    if (Option1->isChecked())
        return 255;
    if (Option2->isChecked())
        return 2;
    return 0;
}

} // namespace tarvex
