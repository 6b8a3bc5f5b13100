// The device list as data: entry texts in list order, each with the mark the
// scan cycle keeps beside it, and at most one selected entry. The scan cycle
// and the switch workflows work on this model; a front end shows it (the
// window binds it to its list box) and hears of every change through the
// observer.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarvex {

// Per-entry scan marks.
constexpr int32_t Unseen = 0;
constexpr int32_t Seen = 1;
constexpr int32_t Added = 2;

class DeviceList {
public:
    enum class Change { Inserted, Removed, TextChanged, SelectionChanged };
    // `index` is the entry concerned; for SelectionChanged the new selection.
    using Observer = std::function<void(Change change, int index)>;
    void setObserver(Observer observer) { observer_ = std::move(observer); }

    int count() const { return int(entries_.size()); }
    // Empty text and Unseen for an index out of range.
    const std::string& text(int index) const;
    int32_t mark(int index) const;
    void setMark(int index, int32_t mark);
    void setText(int index, const std::string& text);
    int append(const std::string& text); // returns its index; marked Unseen
    // Removing the selected entry clears the selection rather than moving it
    // to a neighbour: a mode switch must never act on a reader nobody chose.
    void remove(int index);

    int selected() const { return selected_; }
    // -1 or an index out of range clears the selection. Observers hear of it
    // even when the selection does not change, so the front end's buttons
    // are always recomputed.
    void select(int index);
    // The selected entry's text; empty when nothing is selected.
    const std::string& selectedText() const { return text(selected_); }

    // Index of the first entry whose key equals `key`, -1 when none.
    int16_t CheckList(const std::string& key) const;

private:
    struct Entry {
        std::string text;
        int32_t mark = Unseen;
    };
    void notify(Change change, int index) const
    {
        if (observer_)
            observer_(change, index);
    }

    std::vector<Entry> entries_;
    int selected_ = -1;
    Observer observer_;
};

} // namespace tarvex
