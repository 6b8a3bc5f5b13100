#include "core/device_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvex {
namespace {

struct Recorded {
    DeviceList list;
    std::vector<std::string> changes;
    Recorded()
    {
        list.setObserver([this](DeviceList::Change c, int i) {
            const char* names[] = {"ins", "rm", "text", "sel"};
            changes.push_back(std::string(names[int(c)]) + ":" + std::to_string(i));
        });
    }
};

TEST(DeviceListModel, RemovingTheSelectedEntryClearsTheSelection)
{
    Recorded r;
    r.list.append("A");
    r.list.append("B");
    r.list.append("C");
    r.list.select(1);
    r.list.remove(1);
    EXPECT_EQ(r.list.selected(), -1); // never a neighbour nobody chose
    EXPECT_EQ(r.changes, (std::vector<std::string>{"ins:0", "ins:1", "ins:2", "sel:1", "rm:1", "sel:-1"}));
}

TEST(DeviceListModel, SelectionFollowsItsEntryWhenOthersGo)
{
    DeviceList list;
    for (const char* t : {"A", "B", "C"})
        list.append(t);
    list.select(2);
    list.remove(0);
    EXPECT_EQ(list.selected(), 1);
    EXPECT_EQ(list.selectedText(), "C");
    list.remove(1);
    EXPECT_EQ(list.selected(), -1);
    list.remove(5); // out of range: nothing happens
    EXPECT_EQ(list.count(), 1);
}

TEST(DeviceListModel, SelectingAlwaysTellsTheObserver)
{
    Recorded r;
    r.list.append("A");
    r.list.select(0);
    r.list.select(0);
    r.list.select(7); // out of range clears
    EXPECT_EQ(r.changes, (std::vector<std::string>{"ins:0", "sel:0", "sel:0", "sel:-1"}));
    EXPECT_EQ(r.list.selectedText(), "");
}

TEST(DeviceListModel, MarksSurviveTextChangesAndKeysFindTheFirstEntry)
{
    DeviceList list;
    list.append("CCID ZN480 A");
    list.append("CCID ZN480 A - 01020304 (2.166)");
    list.setMark(1, Added);
    list.setText(1, "CCID ZN480 B - 01020304 (2.166)");
    EXPECT_EQ(list.mark(1), Added);
    EXPECT_EQ(list.mark(0), Unseen);
    EXPECT_EQ(list.CheckList("CCID ZN480 A"), 0);
    EXPECT_EQ(list.CheckList("CCID ZN480 B"), 1);
    EXPECT_EQ(list.CheckList("CCID ZN480 B - 01020304 (2.166)"), -1);
    EXPECT_EQ(list.text(-1), "");
    EXPECT_EQ(list.mark(9), Unseen);
}

} // namespace
} // namespace tarvex
