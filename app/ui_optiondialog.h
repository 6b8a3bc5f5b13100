// Building blocks shared by the two option dialogs (frmHIDmode,
// frmCCIDmode): their common lifecycle, controls placed by rectangles in
// twips, option and check boxes whose long captions wrap inside their
// rectangle, and a font that makes every caption fit.
#pragma once
#include "twips.h"

#include <QCheckBox>
#include <QDialog>
#include <QRadioButton>

class QButtonGroup;
class QPushButton;

#include <initializer_list>

namespace tarvex {

// The window flags of a fixed-size dialog with a close box only.
// CustomizeWindowHint makes X11 window managers honour the reduced button
// set (Qt only sends the Motif hints with it); Windows shows the same frame.
constexpr Qt::WindowFlags kOptionDialogFlags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
    | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;

// Sets the client size of `dialog` from twips at its logical resolution and fixes it.
void setClientSizeTwips(QDialog& dialog, int width, int height);
// Places `control` at a rectangle given in twips at its window's resolution.
void placeTwips(QWidget& control, int left, int top, int width, int height);

// Shrinks the dialog's font, if needed, until every caption of `buttons`
// fits its control (wrapped over the lines the control's height allows).
// Call after the controls are placed.
void fitCaptionFont(QDialog& dialog, std::initializer_list<QAbstractButton*> buttons);

// Centres a top-level window on the available area of its screen.
void centreOnScreen(QWidget& window);

// An option button whose caption wraps over several lines inside the
// button's own rectangle and which reacts to clicks anywhere in it.
class WrapRadioButton : public QRadioButton {
public:
    WrapRadioButton(const QString& text, QWidget* parent) : QRadioButton(text, parent) { }

protected:
    void paintEvent(QPaintEvent*) override;
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

// A check box with the same wrapping caption.
class WrapCheckBox : public QCheckBox {
public:
    WrapCheckBox(const QString& text, QWidget* parent) : QCheckBox(text, parent) { }

protected:
    void paintEvent(QPaintEvent*) override;
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

// A fixed-size dialog of options with an OK button, created once and only
// ever hidden, so that each showing presents the choices left last time.
// OK hides it as accepted; the close box and Esc hide it as a cancel.
class OptionDialog : public QDialog {
    Q_OBJECT
public:
    bool Cancelled = false; // the last showing ended by the close box or Esc
    QPushButton* cmdOK = nullptr;

protected:
    // Caption and client size (in twips) of the dialog.
    OptionDialog(QWidget* parent, const QString& caption, int widthTwips, int heightTwips);

    // Creates the default OK button (cmdOK) at the top right, where both
    // dialogs have it. Called where the button belongs in creation order.
    void addOkButton();
    // Makes `options` one exclusive group, numbered from 1, with the first
    // one selected: each showing starts from a valid choice.
    QButtonGroup* groupOptions(std::initializer_list<QRadioButton*> options);

    void showEvent(QShowEvent* event) override;   // Form_Activate
    void closeEvent(QCloseEvent* event) override; // Form_Unload
    void reject() override;                       // Esc behaves as the close box

private:
    void cmdOK_Click();
    void hideAsCancel();
};

} // namespace tarvex
