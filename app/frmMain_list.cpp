// The list box as a view of the core's device list: every change of the
// list is mirrored into lstZN, and the user's clicks select in the list.
// The buttons follow the selection through lstZN_Click.
#include "frmMain.h"

#include <QListWidget>
#include <QPushButton>

namespace tarvex {

void frmMain::lstZN_Click()
{
    Buttons(false, false, false);
    const int i = core_.list().selected();
    if (i < 0)
        return;
    const SwitchTargets t = targetsFor(ListEntry::parse(core_.list().text(i)).personality);
    Buttons(t.ccid, t.cdc, t.hid);
}

void frmMain::listChanged(DeviceList::Change change, int index)
{
    const DeviceList& list = core_.list();
    mirroring_ = true;
    switch (change) {
    case DeviceList::Change::Inserted:
        lstZN->insertItem(index, entryDisplayText(list.text(index)));
        break;
    case DeviceList::Change::Removed:
        // Taken out with the selection already cleared by the list, so Qt
        // does not move it to a neighbour.
        if (lstZN->currentRow() == index)
            lstZN->selectionModel()->clear();
        delete lstZN->takeItem(index);
        break;
    case DeviceList::Change::TextChanged:
        if (QListWidgetItem* item = lstZN->item(index))
            item->setText(entryDisplayText(list.text(index)));
        break;
    case DeviceList::Change::SelectionChanged:
        lstZN->setCurrentRow(index);
        if (index < 0)
            lstZN->clearSelection();
        break;
    }
    mirroring_ = false;
    // Every change of the selection made by code runs the click handler
    // once, also when the index does not change.
    if (change == DeviceList::Change::SelectionChanged)
        lstZN_Click();
}

void frmMain::onListSelectionChanged()
{
    if (mirroring_)
        return;
    // A click or a key in the list box: the list follows the user.
    const QList<QListWidgetItem*> sel = lstZN->selectedItems();
    core_.list().select(sel.isEmpty() ? -1 : lstZN->row(sel.first()));
}

} // namespace tarvex
