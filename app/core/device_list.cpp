// The device list model.
#include "core/device_list.h"

#include "core/list_entry.h"

namespace tarvex {

namespace {
const std::string kNoText;
}

const std::string& DeviceList::text(int index) const
{
    return index >= 0 && index < count() ? entries_[size_t(index)].text : kNoText;
}

int32_t DeviceList::mark(int index) const
{
    return index >= 0 && index < count() ? entries_[size_t(index)].mark : Unseen;
}

void DeviceList::setMark(int index, int32_t mark)
{
    if (index >= 0 && index < count())
        entries_[size_t(index)].mark = mark;
}

void DeviceList::setText(int index, const std::string& text)
{
    if (index < 0 || index >= count())
        return;
    entries_[size_t(index)].text = text;
    notify(Change::TextChanged, index);
}

int DeviceList::append(const std::string& text)
{
    entries_.push_back({text, Unseen});
    const int index = count() - 1;
    notify(Change::Inserted, index);
    return index;
}

void DeviceList::remove(int index)
{
    if (index < 0 || index >= count())
        return;
    const bool wasSelected = index == selected_;
    if (wasSelected)
        selected_ = -1;
    else if (selected_ > index)
        --selected_;
    entries_.erase(entries_.begin() + index);
    notify(Change::Removed, index);
    if (wasSelected)
        notify(Change::SelectionChanged, -1);
}

void DeviceList::select(int index)
{
    if (index < -1 || index >= count())
        index = -1;
    selected_ = index;
    notify(Change::SelectionChanged, index);
}

int16_t DeviceList::CheckList(const std::string& key) const
{
    const int n = count();
    for (int i = 0; i < n && i <= INT16_MAX; ++i)
        if (FilterExtra(entries_[size_t(i)].text) == key)
            return int16_t(i);
    return -1;
}

} // namespace tarvex
