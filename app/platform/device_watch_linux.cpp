// Linux device watch: a udev monitor for the subsystems the scan reads, and
// the mount table, which the kernel flags (POLLPRI) whenever something is
// mounted or unmounted: a drive is of use to the scan only once mounted,
// which happens after its block device has arrived.
#include "platform/device_watch.h"

#include <fcntl.h>
#include <libudev.h>
#include <zn480/udev_ptr.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>

namespace tarvex {
namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) { }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

constexpr const char* kSubsystems[] = {"tty", "hid", "hidraw", "block"};

class UdevWatch final : public DeviceWatch {
public:
    UdevWatch(zn480::UdevPtr ctx, zn480::UdevMonitorPtr mon, DeviceChanged changed)
        : ctx_(std::move(ctx)), mon_(std::move(mon)), changed_(std::move(changed)),
          stop_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), mounts_(::open("/proc/self/mounts", O_RDONLY | O_CLOEXEC))
    {
        if (stop_.get() < 0)
            throw std::system_error(errno, std::generic_category());
        thread_ = std::thread([this] { run(); });
    }

    ~UdevWatch() override
    {
        const uint64_t one = 1;
        (void)!::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }

private:
    void run()
    {
        pollfd fds[3]
            = {{stop_.get(), POLLIN, 0}, {udev_monitor_get_fd(mon_.get()), POLLIN, 0}, {mounts_.get(), POLLPRI, 0}};
        const nfds_t n = mounts_.get() >= 0 ? 3 : 2;
        for (;;) {
            if (::poll(fds, n, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return; // nothing more to watch; the tick goes on
            }
            if (fds[0].revents)
                return;
            bool any = false;
            if (fds[1].revents & POLLIN) {
                // Take every queued event: one burst, one call.
                while (zn480::UdevDevicePtr dev{udev_monitor_receive_device(mon_.get())})
                    any = true;
            }
            if (n == 3 && (fds[2].revents & (POLLPRI | POLLERR)))
                any = true;
            if (any)
                changed_();
        }
    }

    zn480::UdevPtr ctx_;
    zn480::UdevMonitorPtr mon_;
    DeviceChanged changed_;
    Fd stop_;
    Fd mounts_;
    std::thread thread_;
};

} // namespace

std::unique_ptr<DeviceWatch> watchSystemDevices(DeviceChanged changed)
{
    if (!changed)
        return nullptr;
    zn480::UdevPtr ctx(udev_new());
    if (!ctx)
        return nullptr;
    zn480::UdevMonitorPtr mon(udev_monitor_new_from_netlink(ctx.get(), "udev"));
    if (!mon)
        return nullptr;
    for (const char* subsystem : kSubsystems)
        if (udev_monitor_filter_add_match_subsystem_devtype(mon.get(), subsystem, nullptr) < 0)
            return nullptr;
    if (udev_monitor_enable_receiving(mon.get()) < 0)
        return nullptr;
    // Receiving must not block: the loop drains until the queue is empty.
    const int fd = udev_monitor_get_fd(mon.get());
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return nullptr;
    try {
        return std::make_unique<UdevWatch>(std::move(ctx), std::move(mon), std::move(changed));
    } catch (const std::system_error&) {
        return nullptr;
    }
}

} // namespace tarvex
