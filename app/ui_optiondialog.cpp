#include "ui_optiondialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

namespace tarvex {
namespace {

constexpr int kCaptionFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap;
constexpr qreal kSmallestPointSize = 6.0;

bool isRadio(const QAbstractButton* b)
{
    return qobject_cast<const QRadioButton*>(b) != nullptr;
}

QStyleOptionButton optionFor(const QAbstractButton* b, const QFont& font)
{
    QStyleOptionButton opt;
    opt.initFrom(b);
    opt.rect = b->rect();
    opt.fontMetrics = QFontMetrics(font);
    opt.text = b->text();
    return opt;
}

QRect captionRect(const QAbstractButton* b, const QStyleOptionButton& opt)
{
    return b->style()->subElementRect(
        isRadio(b) ? QStyle::SE_RadioButtonContents : QStyle::SE_CheckBoxContents, &opt, b);
}

bool captionFits(const QAbstractButton* b, const QFont& font)
{
    const QStyleOptionButton opt = optionFor(b, font);
    const QRect area = captionRect(b, opt);
    const QRect need = QFontMetrics(font).boundingRect(QRect(0, 0, area.width(), 100000), kCaptionFlags, b->text());
    return need.width() <= area.width() && need.height() <= area.height();
}

void paintWrapped(QAbstractButton* b, QStyleOptionButton opt)
{
    const bool radio = isRadio(b);
    QStylePainter p(b);
    QStyle* style = b->style();

    QStyleOptionButton indicator = opt;
    indicator.rect
        = style->subElementRect(radio ? QStyle::SE_RadioButtonIndicator : QStyle::SE_CheckBoxIndicator, &opt, b);
    p.drawPrimitive(radio ? QStyle::PE_IndicatorRadioButton : QStyle::PE_IndicatorCheckBox, indicator);

    const QRect area = captionRect(b, opt);
    const bool enabled = opt.state & QStyle::State_Enabled;
    p.drawItemText(area, kCaptionFlags, opt.palette, enabled, opt.text, QPalette::WindowText);

    if (opt.state & QStyle::State_HasFocus) {
        QStyleOptionFocusRect focus;
        focus.initFrom(b);
        focus.rect = style->itemTextRect(opt.fontMetrics, area, kCaptionFlags, enabled, opt.text)
                         .adjusted(-1, -1, 1, 1)
                         .intersected(b->rect());
        p.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

} // namespace

void setClientSizeTwips(QDialog& dialog, int width, int height)
{
    dialog.setFixedSize(twipsToPixels(width, dialog.logicalDpiX()), twipsToPixels(height, dialog.logicalDpiY()));
}

void placeTwips(QWidget& control, int left, int top, int width, int height)
{
    const int dx = control.logicalDpiX();
    const int dy = control.logicalDpiY();
    control.setGeometry(
        twipsToPixels(left, dx), twipsToPixels(top, dy), twipsToPixels(width, dx), twipsToPixels(height, dy));
}

void fitCaptionFont(QDialog& dialog, std::initializer_list<QAbstractButton*> buttons)
{
    QFont font = dialog.font();
    auto allFit = [&] {
        for (QAbstractButton* b : buttons)
            if (!captionFits(b, font))
                return false;
        return true;
    };
    // Point sizes scale with the logical resolution exactly as the twips do,
    // so the chosen size depends on the font family, not on the screen.
    qreal size = font.pointSizeF() > 0 ? font.pointSizeF() : 9.0;
    while (!allFit() && size > kSmallestPointSize) {
        size -= 0.5;
        font.setPointSizeF(size);
    }
    dialog.setFont(font);
}

void centreOnScreen(QWidget& window)
{
    QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size = window.frameGeometry().size();
    window.move(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2);
}

void WrapRadioButton::paintEvent(QPaintEvent*)
{
    QStyleOptionButton opt;
    initStyleOption(&opt);
    paintWrapped(this, opt);
}

void WrapCheckBox::paintEvent(QPaintEvent*)
{
    QStyleOptionButton opt;
    initStyleOption(&opt);
    paintWrapped(this, opt);
}

OptionDialog::OptionDialog(QWidget* parent, const QString& caption, int widthTwips, int heightTwips)
    : QDialog(parent, kOptionDialogFlags)
{
    setWindowTitle(caption);
    setClientSizeTwips(*this, widthTwips, heightTwips);
}

void OptionDialog::addOkButton()
{
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setDefault(true);
    placeTwips(*cmdOK, 4560, 120, 855, 855);
    connect(cmdOK, &QPushButton::clicked, this, &OptionDialog::cmdOK_Click);
}

QButtonGroup* OptionDialog::groupOptions(std::initializer_list<QRadioButton*> options)
{
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    int id = 1;
    for (QRadioButton* option : options)
        group->addButton(option, id++);
    if (options.size() > 0)
        (*options.begin())->setChecked(true);
    return group;
}

void OptionDialog::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        Cancelled = false; // a close of an earlier showing does not carry over
        centreOnScreen(*this);
    }
    QDialog::showEvent(event);
}

// The close box does not destroy the dialog: it is refused, marked as a
// cancel, and the dialog only hides (which ends a running exec()).
void OptionDialog::closeEvent(QCloseEvent* event)
{
    event->ignore();
    hideAsCancel();
}

void OptionDialog::reject()
{
    hideAsCancel();
}

void OptionDialog::hideAsCancel()
{
    Cancelled = true;
    setResult(QDialog::Rejected);
    hide();
}

void OptionDialog::cmdOK_Click()
{
    setResult(QDialog::Accepted);
    hide();
}

} // namespace tarvex
