// Windows serial-port map: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// read with fixed 128-character name and 128-byte data buffers. The data is
// handed on raw, terminating NUL included, so the scan sees exactly what the
// registry holds (a value whose data does not fit ends the enumeration).
#include "platform/serial_map.h"

#include <windows.h>

namespace tarvex {
namespace {

class KeyHandle {
public:
    KeyHandle() = default;
    ~KeyHandle() { if (key_) RegCloseKey(key_); }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

class RegistrySerialPortMap : public SerialPortMap {
public:
    std::optional<std::vector<SerialMapValue>> read() override
    {
        KeyHandle key;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", key.out()) != ERROR_SUCCESS)
            return std::nullopt;
        std::vector<SerialMapValue> values;
        for (DWORD index = 0;; ++index) {
            char name[128];
            BYTE data[128];
            FillMemory(name, sizeof name, ' ');
            FillMemory(data, sizeof data, 0);
            DWORD nameLength = sizeof name;
            DWORD dataLength = sizeof data;
            DWORD type = 0;
            if (RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &type, data, &dataLength) !=
                ERROR_SUCCESS)
                break;
            if (nameLength > sizeof name)
                nameLength = sizeof name;
            if (dataLength > sizeof data)
                dataLength = sizeof data;
            values.push_back({std::string(name, nameLength),
                              std::string(reinterpret_cast<const char*>(data), dataLength)});
        }
        return values;
    }
};

} // namespace

std::unique_ptr<SerialPortMap> makeSystemSerialPortMap()
{
    return std::make_unique<RegistrySerialPortMap>();
}

} // namespace tarvex
