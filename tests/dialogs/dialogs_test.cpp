// The HID and CCID option dialogs: values handed to the workflow, the
// sub-option rules, cancelling with the close box or Esc, reshowing, and the
// layout in twips. Driven with real mouse clicks, and through exec() for the
// modal path.
#include "frmCCIDmode.h"
#include "frmHIDmode.h"
#include "twips.h"
#include "ui_optiondialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <sstream>

namespace {

using tarvex::frmCCIDmode;
using tarvex::frmHIDmode;

void click(QAbstractButton* b)
{
    // Near the right end of the caption area: the whole rectangle counts.
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(b->width() - 4, b->height() / 2));
}

// Runs a space-separated script: 1 2 3 click an option, # and S the check
// boxes (HID only), ok clicks OK, x uses the close box, esc presses Escape,
// show shows the dialog again.
template <class Dialog>
void play(Dialog& d, const std::string& script, const std::function<void(const std::string&)>& extra = {})
{
    std::istringstream in(script);
    std::string op;
    while (in >> op) {
        if (op == "1")
            click(d.Option1);
        else if (op == "2")
            click(d.Option2);
        else if (op == "3")
            click(d.Option3);
        else if (op == "ok")
            click(d.cmdOK);
        else if (op == "x")
            EXPECT_FALSE(d.close()) << "the close must be refused";
        else if (op == "esc")
            QTest::keyClick(&d, Qt::Key_Escape);
        else if (op == "show")
            d.show();
        else if (extra)
            extra(op);
        else
            FAIL() << "unknown step " << op;
    }
}

struct HidCase {
    const char* script;
    int button;
    int sub;
    bool boxesEnabled;
    bool hashtagChecked;
    bool shiftChecked;
};

TEST(HidModeDialog, ScriptsGiveValuesAndBoxStates)
{
    const HidCase cases[] = {
        {"ok", 1, 0, true, false, false},
        {"# S ok", 1, 3, true, true, true},
        {"# ok", 1, 1, true, true, false},
        {"S ok", 1, 2, true, false, true},
        {"# S 2", 2, 0, false, false, false}, // no OK yet: values already follow
        {"# S 2 ok", 2, 0, false, false, false},
        {"# S 2 1 ok", 1, 0, true, false, false}, // re-enabled, still unchecked
        {"2 # S ok", 2, 0, false, false, false},  // disabled boxes ignore clicks
        {"# 3 ok", 3, 0, false, false, false},
        {"# S x", 0, 0, true, true, true}, // cancelled; choices stay
        {"2 esc", 0, 0, false, false, false},
        {"# S x show ok", 1, 3, true, true, true}, // a cancel does not carry over
        {"2 x show ok", 2, 0, false, false, false},
        {"3 x show 1 S ok", 1, 2, true, false, true},
    };
    for (const HidCase& c : cases) {
        SCOPED_TRACE(c.script);
        frmHIDmode d;
        d.show();
        play(d, c.script, [&](const std::string& op) {
            if (op == "#")
                click(d.Check_INTERNAL_ADD_HASHTAG);
            else if (op == "S")
                click(d.Check_INTERNAL_HID_USE_SHIFT);
            else
                FAIL() << op;
        });
        EXPECT_EQ(d.GetButton(), c.button);
        EXPECT_EQ(d.GetSubOption(), c.sub);
        EXPECT_EQ(d.Check_INTERNAL_ADD_HASHTAG->isEnabled(), c.boxesEnabled);
        EXPECT_EQ(d.Check_INTERNAL_HID_USE_SHIFT->isEnabled(), c.boxesEnabled);
        EXPECT_EQ(d.Check_INTERNAL_ADD_HASHTAG->isChecked(), c.hashtagChecked);
        EXPECT_EQ(d.Check_INTERNAL_HID_USE_SHIFT->isChecked(), c.shiftChecked);
        const bool endsOpen = std::string(c.script) == "# S 2";
        EXPECT_EQ(d.isVisible(), endsOpen);
    }
}

TEST(CcidModeDialog, ScriptsGiveValues)
{
    const struct {
        const char* script;
        int value;
    } cases[] = {
        {"ok", 255},
        {"2 ok", 2},
        {"3 ok", 0},
        {"x", -1},
        {"3 esc", -1},
        {"3 x show ok", 0},
        {"2 x show ok", 2},
        {"x show 1 ok", 255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        frmCCIDmode d;
        d.show();
        play(d, c.script);
        EXPECT_EQ(d.GetButton(), c.value);
        EXPECT_FALSE(d.isVisible());
    }
}

// Keeps looking for the modal dialog and runs `step` on it; gives up (and
// hides it so exec() returns) if the dialog never shows.
void driveModal(const std::function<void(QWidget*)>& step)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    auto ticks = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, ticks, step] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            step(w);
        } else if (++*ticks > 500) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal dialog appeared";
            for (QWidget* top : QApplication::topLevelWidgets())
                top->hide();
        }
    });
    timer->start();
}

TEST(HidModeDialog, ModalExecEndsOnOkAndOnCloseBox)
{
    frmHIDmode d;
    QPointer<frmHIDmode> alive(&d);

    driveModal([](QWidget* w) {
        auto* dlg = qobject_cast<frmHIDmode*>(w);
        ASSERT_NE(dlg, nullptr);
        click(dlg->Check_INTERNAL_ADD_HASHTAG);
        click(dlg->Check_INTERNAL_HID_USE_SHIFT);
        w->close();
    });
    EXPECT_EQ(d.exec(), QDialog::Rejected);
    EXPECT_EQ(d.GetButton(), 0);
    EXPECT_EQ(d.GetSubOption(), 0);
    EXPECT_TRUE(d.Cancelled);
    ASSERT_TRUE(alive);

    driveModal([](QWidget* w) { click(qobject_cast<frmHIDmode*>(w)->cmdOK); });
    EXPECT_EQ(d.exec(), QDialog::Accepted);
    EXPECT_FALSE(d.Cancelled);
    EXPECT_EQ(d.GetButton(), 1);
    EXPECT_EQ(d.GetSubOption(), 3);

    driveModal([](QWidget* w) {
        auto* dlg = qobject_cast<frmHIDmode*>(w);
        click(dlg->Option3);
        QTest::keyClick(dlg, Qt::Key_Return); // OK is the default button
    });
    d.exec();
    EXPECT_EQ(d.GetButton(), 3);
    EXPECT_EQ(d.GetSubOption(), 0);
}

TEST(CcidModeDialog, ModalExecEndsOnOkAndOnCloseBox)
{
    frmCCIDmode d;
    driveModal([](QWidget* w) {
        click(qobject_cast<frmCCIDmode*>(w)->Option2);
        w->close();
    });
    d.exec();
    EXPECT_EQ(d.GetButton(), -1);

    driveModal([](QWidget* w) { click(qobject_cast<frmCCIDmode*>(w)->cmdOK); });
    d.exec();
    EXPECT_EQ(d.GetButton(), 2);
}

int px(int twips, int dpi)
{
    return (twips * dpi + 720) / 1440;
}

QRect twips(const QWidget& w, int l, int t, int wd, int h)
{
    const int x = w.logicalDpiX(), y = w.logicalDpiY();
    return {px(l, x), px(t, y), px(wd, x), px(h, y)};
}

struct Control {
    QAbstractButton* button;
    QString caption;
    QRect rect;
};

// The focus chain from the first control, as object pointers.
std::vector<QWidget*> tabChain(QWidget* first, size_t n)
{
    std::vector<QWidget*> chain;
    QWidget* w = first;
    while (chain.size() < n) {
        chain.push_back(w);
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus));
    }
    return chain;
}

// Every wrapped caption fits its rectangle with the dialog's font.
void expectCaptionsFit(const std::vector<Control>& controls)
{
    for (const Control& c : controls) {
        if (c.button == nullptr || qobject_cast<QPushButton*>(c.button))
            continue;
        QStyleOptionButton opt;
        opt.initFrom(c.button);
        const bool radio = qobject_cast<QRadioButton*>(c.button) != nullptr;
        const QRect area = c.button->style()->subElementRect(
            radio ? QStyle::SE_RadioButtonContents : QStyle::SE_CheckBoxContents, &opt, c.button);
        const QRect need
            = c.button->fontMetrics().boundingRect(QRect(0, 0, area.width(), 10000), Qt::TextWordWrap, c.caption);
        EXPECT_LE(need.height(), area.height()) << c.caption.toStdString();
        EXPECT_LE(need.width(), area.width()) << c.caption.toStdString();
    }
}

void expectDialogFrame(const QDialog& d, const char* title, int w, int h)
{
    EXPECT_EQ(d.windowTitle(), title);
    const Qt::WindowFlags f = d.windowFlags();
    EXPECT_TRUE(f & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(f & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(f & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(d.minimumSize(), d.maximumSize()) << "fixed size";
    EXPECT_EQ(d.size(), QSize(px(w, d.logicalDpiX()), px(h, d.logicalDpiY())));
    EXPECT_FALSE(d.testAttribute(Qt::WA_DeleteOnClose));
}

// Shown centred on the screen, whatever its parent.
void expectCentredWhenShown(QDialog& d)
{
    d.show();
    const QPoint screenCentre = d.screen()->availableGeometry().center();
    const QPoint centre = d.frameGeometry().center();
    EXPECT_LE((centre - screenCentre).manhattanLength(), 2);
    d.hide();
}

TEST(HidModeDialog, LayoutCaptionsTabOrderAndInitialState)
{
    // An owner window off the centre: the dialog still centres on the screen.
    QWidget owner;
    owner.setGeometry(10, 10, 200, 100);
    owner.show();
    frmHIDmode d(&owner);
    expectDialogFrame(d, "HID Mode Selection", 5550, 2670);
    const std::vector<Control> controls = {
        {d.Option1, "Standard mode which outputs card UID as hexadecimal (recommended by card manufacturers)",
            twips(d, 120, 120, 4335, 375)},
        {d.Check_INTERNAL_ADD_HASHTAG, "Adiciona caracter '#' no fim do UID", twips(d, 240, 600, 4215, 255)},
        {d.Check_INTERNAL_HID_USE_SHIFT, "HID usa SHIFT em lugar de capslock para as letras hexa.",
            twips(d, 240, 960, 4215, 375)},
        {d.Option2,
            "Convert the UID to long and left pad with zeroes (not recommended and limited only for 4 byte UID size)",
            twips(d, 120, 1560, 4455, 375)},
        {d.Option3, "Outputs the 14 bytes from BLOCK 2 instead of UID", twips(d, 120, 2040, 4455, 375)},
        {d.cmdOK, "OK", twips(d, 4560, 120, 855, 855)},
    };
    for (const Control& c : controls) {
        EXPECT_EQ(c.button->text(), c.caption);
        EXPECT_EQ(c.button->geometry(), c.rect) << c.caption.toStdString();
    }
    expectCaptionsFit(controls);
    const std::vector<QWidget*> order
        = {d.Option1, d.Option2, d.cmdOK, d.Option3, d.Check_INTERNAL_ADD_HASHTAG, d.Check_INTERNAL_HID_USE_SHIFT};
    EXPECT_EQ(tabChain(d.Option1, order.size()), order);

    EXPECT_TRUE(d.Option1->isChecked());
    EXPECT_FALSE(d.Option2->isChecked() || d.Option3->isChecked());
    EXPECT_TRUE(d.Check_INTERNAL_ADD_HASHTAG->isEnabled() && d.Check_INTERNAL_HID_USE_SHIFT->isEnabled());
    EXPECT_FALSE(d.Check_INTERNAL_ADD_HASHTAG->isChecked() || d.Check_INTERNAL_HID_USE_SHIFT->isChecked());
    EXPECT_TRUE(d.cmdOK->isEnabled());
    expectCentredWhenShown(d);
}

TEST(CcidModeDialog, LayoutCaptionsTabOrderAndInitialState)
{
    // An owner window off the centre: the dialog still centres on the screen.
    QWidget owner;
    owner.setGeometry(10, 10, 200, 100);
    owner.show();
    frmCCIDmode d(&owner);
    expectDialogFrame(d, "CCID Fake Card Selection", 5535, 1485);
    const std::vector<Control> controls = {
        {d.Option1,
            "Standard 30 seconds fake card time to aid in transmitting commands to the reader with no card in range",
            twips(d, 120, 120, 4455, 375)},
        {d.Option2,
            "Always tell the OS a card is present, so it will be always possible to connect and transmit commands",
            twips(d, 120, 600, 4455, 375)},
        {d.Option3, "No fake card", twips(d, 120, 1080, 4215, 375)},
        {d.cmdOK, "OK", twips(d, 4560, 120, 855, 855)},
    };
    for (const Control& c : controls) {
        EXPECT_EQ(c.button->text(), c.caption);
        EXPECT_EQ(c.button->geometry(), c.rect) << c.caption.toStdString();
    }
    expectCaptionsFit(controls);
    const std::vector<QWidget*> order = {d.Option1, d.Option2, d.Option3, d.cmdOK};
    EXPECT_EQ(tabChain(d.Option1, order.size()), order);
    EXPECT_TRUE(d.Option1->isChecked());
    EXPECT_EQ(d.GetButton(), 255);
    expectCentredWhenShown(d);
}

TEST(OptionDialogLayout, TwipsToPixels)
{
    const struct {
        int twips, dpi, px;
    } cases[] = {{1440, 96, 96}, {5550, 96, 370}, {375, 96, 25}, {255, 96, 17}, {5550, 120, 463}, {0, 144, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(tarvex::twipsToPixels(c.twips, c.dpi), c.px) << c.twips << " at " << c.dpi;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
