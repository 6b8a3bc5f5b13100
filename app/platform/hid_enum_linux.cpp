// Linux HID enumeration: udev "hid" devices whose HID_ID carries the
// reader's USB identifiers and that have a driver bound (the counterpart of
// a device that works on Windows). Identifiers are built in the Windows
// DeviceID form so that the shared identifier test applies to them too.
#include "platform/hid_enum.h"

#include <zn480/hid_id.h>

#include <algorithm>
#include <cstring>
#include <libudev.h>
#include <zn480/udev_ptr.h>
#include <memory>

namespace tarvex {
namespace {

using zn480::isReaderHidId;

class UdevHidEnumerator : public HidEnumerator {
public:
    bool listReaderIds(std::vector<std::string>& ids) override
    {
        ids.clear();
        zn480::UdevPtr ctx(udev_new());
        if (!ctx)
            return false;
        zn480::UdevEnumeratePtr en(udev_enumerate_new(ctx.get()));
        if (!en || udev_enumerate_add_match_subsystem(en.get(), "hid") < 0 || udev_enumerate_scan_devices(en.get()) < 0)
            return false;
        std::vector<std::pair<std::string, std::string>> found; // syspath, id
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get()))
        {
            const char* syspath = udev_list_entry_get_name(entry);
            zn480::UdevDevicePtr dev(udev_device_new_from_syspath(ctx.get(), syspath));
            if (!dev)
                continue;
            if (!isReaderHidId(udev_device_get_property_value(dev.get(), "HID_ID")))
                continue;
            if (!udev_device_get_driver(dev.get()))
                continue; // no driver bound: the interface does not work
            found.emplace_back(syspath, std::string("HID\\VID_6A4E&PID_0013\\") + udev_device_get_sysname(dev.get()));
        }
        // Stable order across calls, so numbering only changes when devices do.
        std::sort(found.begin(), found.end());
        for (auto& f : found)
            ids.push_back(std::move(f.second));
        return true;
    }
    std::string searchProblem() const override { return "udev could not list the hid devices"; }
};

} // namespace

std::unique_ptr<HidEnumerator> makeSystemHidEnumerator()
{
    return std::make_unique<UdevHidEnumerator>();
}

} // namespace tarvex
