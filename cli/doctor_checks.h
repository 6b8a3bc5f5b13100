// The facts tarvexctl doctor reads from the operating system, behind one
// small interface: the reasoning (what is a problem, what fixes it) is
// portable and tested on fakes; each per-OS file only looks things up.
// A fact an operating system does not have is nullopt (or empty) and its
// check is left out.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvexctl {

// A device node of a USB device with the reader's vendor id.
struct ReaderNode {
    std::string kind; // "tty", "hidraw", "event"
    std::string path; // "/dev/ttyACM0"
    int error = 0;    // 0 when this user may read and write it, else the errno
    std::string errorText;
    // tty nodes: whether udev told ModemManager to leave it alone.
    bool modemManagerIgnores = false;
};

class DoctorSystem {
public:
    virtual ~DoctorSystem() = default;
    // Whether the PC/SC daemon is installed (Linux: pcscd); nullopt where
    // the service is part of the system.
    virtual std::optional<bool> pcscDaemonInstalled() = 0;
    virtual bool fileExists(const std::string& path) = 0;
    // Every node of a device of vendor 6A4E; nullopt where nodes are not
    // how the system gives access (Windows).
    virtual std::optional<std::vector<ReaderNode>> readerNodes() = 0;
    // The udev rules file found ("" when none); nullopt without udev.
    virtual std::optional<std::string> udevRules() = 0;
    // "X11 (DISPLAY=:0)", "Wayland (WAYLAND_DISPLAY=wayland-0)", "console";
    // empty where there is only one kind of desktop.
    virtual std::string display() = 0;
    // Windows: whether the USB serial driver (usbser.sys) is there.
    virtual std::optional<bool> usbSerialDriver() = 0;
};

std::unique_ptr<DoctorSystem> makeSystemDoctor();

} // namespace tarvexctl
