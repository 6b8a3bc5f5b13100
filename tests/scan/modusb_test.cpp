// Naming of readers in HID personality.
#include "modUSB.h"

#include <gtest/gtest.h>

using namespace tarvex;

namespace {

// The naming does not depend on the window, so this test stays Qt-free.
struct ListedHid : HidEnumerator {
    bool ok = true;
    std::vector<std::string> ids;
    bool listReaderIds(std::vector<std::string>& out) override
    {
        out.clear();
        if (ok)
            out = ids;
        return ok;
    }
};

} // namespace

TEST(ListHidReaders, NamesByOrdinalAndLeavesArrayAloneWhenNothingFound)
{
    ListedHid hid;
    std::vector<std::string> names{"left over", "from before", "and more"};

    hid.ids = {"HID\\VID_6A4E&PID_0013\\a", "HID\\VID_6A4E&PID_0013\\b"};
    EXPECT_EQ(ListHidReaders(hid, names), 2);
    EXPECT_EQ(names, (std::vector<std::string>{"ZN480 Keyboard 0", "ZN480 Keyboard 1"}));

    hid.ids.clear();
    EXPECT_EQ(ListHidReaders(hid, names), 0);
    EXPECT_EQ(names.size(), 2u);

    // A search that failed is not an empty one.
    hid.ok = false;
    hid.ids = {"HID\\VID_6A4E&PID_0013\\a"};
    EXPECT_EQ(ListHidReaders(hid, names), kHidSearchFailed);
    EXPECT_EQ(names[1], "ZN480 Keyboard 1");
}
