// doctor's facts on Windows: the smart-card service and the serial-port map
// are asked through the core's own services; here only the USB serial
// driver's file. Access to a reader is the system's (no device nodes, no
// udev), and there is one kind of desktop.
#include "doctor_checks.h"

#include <windows.h>

namespace tarvexctl {
namespace {

class WindowsDoctor final : public DoctorSystem {
public:
    std::optional<bool> pcscDaemonInstalled() override { return std::nullopt; }

    bool fileExists(const std::string& path) override
    {
        return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    std::optional<std::vector<ReaderNode>> readerNodes() override { return std::nullopt; }
    std::optional<std::string> udevRules() override { return std::nullopt; }
    std::string display() override { return {}; }

    std::optional<bool> usbSerialDriver() override
    {
        char dir[MAX_PATH];
        const UINT n = GetSystemDirectoryA(dir, sizeof dir);
        if (n == 0 || n >= sizeof dir)
            return std::nullopt;
        return fileExists(std::string(dir) + "\\drivers\\usbser.sys");
    }
};

} // namespace

std::unique_ptr<DoctorSystem> makeSystemDoctor()
{
    return std::make_unique<WindowsDoctor>();
}

} // namespace tarvexctl
