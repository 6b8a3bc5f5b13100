// Dialog shown before a switch to CCID: whether and how the reader pretends
// that a card is present. Created once and only ever hidden, so each showing
// presents the option chosen last time.
#include "frmCCIDmode.h"

#include "ui_optiondialog.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QPushButton>
#include <QShowEvent>

namespace tarvex {

frmCCIDmode::frmCCIDmode(QWidget* parent) : QDialog(parent, kOptionDialogFlags)
{
    setWindowTitle(QStringLiteral("CCID Fake Card Selection"));
    setClientSizeTwips(*this, 5535, 1485);

    Option1 = new WrapRadioButton(QStringLiteral("Standard 30 seconds fake card time to aid in transmitting commands "
                                                 "to the reader with no card in range"),
                                  this);
    Option2 = new WrapRadioButton(QStringLiteral("Always tell the OS a card is present, so it will be always possible "
                                                 "to connect and transmit commands"),
                                  this);
    Option3 = new WrapRadioButton(QStringLiteral("No fake card"), this);
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setDefault(true);

    placeTwips(*Option1, 120, 120, 4455, 375);
    placeTwips(*Option2, 120, 600, 4455, 375);
    placeTwips(*Option3, 120, 1080, 4215, 375);
    placeTwips(*cmdOK, 4560, 120, 855, 855);
    fitCaptionFont(*this, {Option1, Option2, Option3});

    setTabOrder(Option1, Option2);
    setTabOrder(Option2, Option3);
    setTabOrder(Option3, cmdOK);

    auto* options = new QButtonGroup(this);
    options->setExclusive(true);
    options->addButton(Option1, 1);
    options->addButton(Option2, 2);
    options->addButton(Option3, 3);
    Option1->setChecked(true);

    connect(cmdOK, &QPushButton::clicked, this, &frmCCIDmode::cmdOK_Click);
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

void frmCCIDmode::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        Cancelled = false;
        centreOnScreen(*this);
    }
    QDialog::showEvent(event);
}

// Close box: refused, marked as a cancel, and the dialog only hides.
void frmCCIDmode::closeEvent(QCloseEvent* event)
{
    event->ignore();
    Cancelled = true;
    setResult(QDialog::Rejected);
    hide();
}

void frmCCIDmode::reject()
{
    Cancelled = true;
    setResult(QDialog::Rejected);
    hide();
}

void frmCCIDmode::cmdOK_Click()
{
    setResult(QDialog::Accepted);
    hide();
}

} // namespace tarvex
