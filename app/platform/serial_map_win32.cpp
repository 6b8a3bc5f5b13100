// Windows serial-port map: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// read with fixed 128-character name and 128-byte data buffers. The data is
// handed on raw, terminating NUL included, so the scan sees exactly what the
// registry holds (a value whose data does not fit ends the enumeration).
//
// Who is behind each port comes from SetupAPI: the present devices of the
// Ports class, by their "PortName", with their device instance IDs, which
// carry the USB vendor id ("USB\VID_6A4E&PID_...").
#include "platform/serial_map.h"

#include <windows.h>
#include <setupapi.h>

#include <map>

namespace tarvex {
namespace {

class KeyHandle {
public:
    KeyHandle() = default;
    ~KeyHandle()
    {
        if (key_)
            RegCloseKey(key_);
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// {4D36E978-E325-11CE-BFC1-08002BE10318}, the Ports (COM & LPT) class.
constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO set) : set_(set) { }
    ~DeviceInfoSet()
    {
        if (set_ != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    HDEVINFO get() const { return set_; }
    bool ok() const { return set_ != INVALID_HANDLE_VALUE; }

private:
    HDEVINFO set_;
};

// Port name ("COM5") -> device instance ID of the present device behind it.
std::map<std::string, std::string> portDevices()
{
    std::map<std::string, std::string> found;
    DeviceInfoSet set(SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT));
    if (!set.ok())
        return found;
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(set.get(), i, &info))
            break;
        KeyHandle key;
        *key.out() = SetupDiOpenDevRegKey(set.get(), &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (*key.out() == INVALID_HANDLE_VALUE) {
            *key.out() = nullptr;
            continue;
        }
        char port[64] = {};
        DWORD size = sizeof port - 1;
        DWORD type = 0;
        if (RegQueryValueExA(key.get(), "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size)
                != ERROR_SUCCESS
            || type != REG_SZ)
            continue;
        char id[512] = {};
        if (!SetupDiGetDeviceInstanceIdA(set.get(), &info, id, sizeof id - 1, nullptr))
            continue;
        found.emplace(std::string(port), std::string(id));
    }
    return found;
}

class RegistrySerialPortMap : public SerialPortMap {
public:
    std::optional<std::vector<SerialMapValue>> read() override
    {
        KeyHandle key;
        const LONG opened = RegOpenKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", key.out());
        if (opened != ERROR_SUCCESS) {
            // Windows makes the key with the first serial port: without it
            // there are none, which is nothing to report.
            readProblem_ = opened == ERROR_FILE_NOT_FOUND
                ? std::string()
                : "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM could not be opened (error " + std::to_string(opened) + ")";
            return std::nullopt;
        }
        readProblem_.clear();
        std::vector<SerialMapValue> values;
        for (DWORD index = 0;; ++index) {
            char name[128];
            BYTE data[128];
            FillMemory(name, sizeof name, ' ');
            FillMemory(data, sizeof data, 0);
            DWORD nameLength = sizeof name;
            DWORD dataLength = sizeof data;
            DWORD type = 0;
            if (RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS)
                break;
            if (nameLength > sizeof name)
                nameLength = sizeof name;
            if (dataLength > sizeof data)
                dataLength = sizeof data;
            SerialMapValue v;
            v.name.assign(name, nameLength);
            v.data.assign(reinterpret_cast<const char*>(data), dataLength);
            values.push_back(std::move(v));
        }
        const std::map<std::string, std::string> devices = portDevices();
        for (SerialMapValue& v : values) {
            const auto it = devices.find(std::string(v.data.c_str())); // up to the NUL
            if (it == devices.end())
                continue;
            v.usbVendor = VendorFromDeviceId(it->second); // USB and USB-bus drivers' IDs carry VID_
            v.instance = it->second;
        }
        return values;
    }

    std::string readProblem() const override { return readProblem_; }

private:
    std::string readProblem_;
};

} // namespace

std::unique_ptr<SerialPortMap> makeSystemSerialPortMap()
{
    return std::make_unique<RegistrySerialPortMap>();
}

} // namespace tarvex
