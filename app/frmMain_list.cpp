// The device list: entry keys, the selection handling that drives the mode
// buttons, DevKind from the selected entry, and the small list operations
// that the scan and the workflows use.
#include "frmMain.h"

#include <QListWidget>
#include <QPushButton>

namespace tarvex {

namespace {

const QString kSuffixSeparator = QStringLiteral(" - ");

// Only spaces are trimmed: the entry texts are built from fixed prefixes.
QString trimSpaces(const QString& text) {
    qsizetype b = 0, e = text.size();
    while (b < e && text[b] == QLatin1Char(' ')) ++b;
    while (e > b && text[e - 1] == QLatin1Char(' ')) --e;
    return text.mid(b, e - b);
}

} // namespace

QString frmMain::FilterExtra(const QString& entryText) {
    const qsizetype p = entryText.indexOf(kSuffixSeparator);
    return p < 0 ? entryText : entryText.left(p);
}

int16_t frmMain::CheckList(const QString& key) const {
    const int n = entryCount();
    for (int i = 0; i < n && i <= INT16_MAX; ++i) {
        if (FilterExtra(entryText(i)) == key) return int16_t(i);
    }
    return -1;
}

void frmMain::lstZN_Click() {
    Buttons(false, false, false);
    const int i = selectedIndex();
    if (i < 0) return;
    const QString kind = trimSpaces(entryText(i).left(4));
    if (kind == QLatin1String("CCID")) {
        Buttons(true, true, true);
    } else if (kind == QLatin1String("HID")) {
        Buttons(true, true, false);
    } else if (kind.left(3) == QLatin1String("COM")) {
        Buttons(true, false, true);
    } else {
        // The drive entry: every target is offered.
        Buttons(true, true, true);
    }
}

void frmMain::ClearSel() { setSelectedIndex(-1); }

void frmMain::FillFrom() {
    const int i = selectedIndex();
    if (i < 0) return;
    const QString text = entryText(i);
    if (text.left(3) == QLatin1String("HID"))
        DevKind = DEVKIND_HID;
    else if (text.left(4) == QLatin1String("CCID"))
        DevKind = DEVKIND_CCID;
    else if (text.left(3) == QLatin1String("COM"))
        DevKind = DEVKIND_CDC;
    // Anything else (the drive entry) has no transport of its own.
}

int32_t frmMain::scanMark(int index) const {
    const QListWidgetItem* item = lstZN->item(index);
    return item ? item->data(Qt::UserRole).toInt() : Unseen;
}

void frmMain::setScanMark(int index, int32_t mark) {
    if (QListWidgetItem* item = lstZN->item(index)) item->setData(Qt::UserRole, mark);
}

int frmMain::appendEntry(const QString& text) {
    auto* item = new QListWidgetItem(text);
    item->setData(Qt::UserRole, Unseen);
    lstZN->addItem(item);
    return lstZN->count() - 1;
}

QString frmMain::entryText(int index) const {
    const QListWidgetItem* item = lstZN->item(index);
    return item ? item->text() : QString();
}

void frmMain::setEntryText(int index, const QString& text) {
    if (QListWidgetItem* item = lstZN->item(index)) item->setText(text);
}

int frmMain::entryCount() const { return lstZN->count(); }

int frmMain::selectedIndex() const {
    const QList<QListWidgetItem*> sel = lstZN->selectedItems();
    return sel.isEmpty() ? -1 : lstZN->row(sel.first());
}

void frmMain::setSelectedIndex(int index) {
    if (index < -1 || index >= entryCount()) index = -1;
    // The selection signal would run lstZN_Click too; run it exactly once,
    // also when the index does not change.
    settingSelection_ = true;
    lstZN->setCurrentRow(index);
    if (index < 0) lstZN->clearSelection();
    settingSelection_ = false;
    lstZN_Click();
}

void frmMain::onListSelectionChanged() {
    // Clicks, keys and removal of the selected entry all end up here.
    if (!settingSelection_) lstZN_Click();
}

} // namespace tarvex
