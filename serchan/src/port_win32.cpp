// Port layer on Windows: "\\.\COMn" through the serial communications API.
// Reads never wait (interval time-out MAXDWORD, no totals); writes are
// synchronous with no time-out. A port whose driver refuses the line settings
// is still used when the registry shows it to be a USBSER (USB CDC) port.
#include "port.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace serchan::port {
namespace {

HANDLE g_handle = INVALID_HANDLE_VALUE; // closed only by close(), never at unload

class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE h) : h_(h) { }
    ~UniqueHandle()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    HANDLE get() const { return h_; }
    HANDLE release()
    {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

class UniqueKey {
public:
    explicit UniqueKey(HKEY k) : k_(k) { }
    ~UniqueKey() { RegCloseKey(k_); }
    UniqueKey(const UniqueKey&) = delete;
    UniqueKey& operator=(const UniqueKey&) = delete;
    HKEY get() const { return k_; }

private:
    HKEY k_;
};

constexpr DWORD kNameChars = 128;
constexpr DWORD kDataBytes = 128;

// True when HKLM\HARDWARE\DEVICEMAP\SERIALCOMM maps COM`port` from a device
// name containing "USBSER". The first value naming the port decides.
bool isUsbSerialPort(int port)
{
    HKEY raw = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", &raw) != ERROR_SUCCESS)
        return false;
    UniqueKey key(raw);
    for (DWORD index = 0;; ++index) {
        // One spare byte each so that the texts are always terminated.
        char name[kNameChars + 1] = {};
        BYTE data[kDataBytes + 1] = {};
        DWORD nameLength = kNameChars;
        DWORD dataLength = kDataBytes;
        if (RegEnumValueA(key.get(), index, name, &nameLength, nullptr, nullptr, data, &dataLength) != ERROR_SUCCESS)
            return false;
        // The data is a port name such as "COM7": the number follows "COM".
        // A shorter text has no number (atoi of nothing is 0).
        const char* text = reinterpret_cast<const char*>(data);
        const int number = std::strlen(text) > 3 ? std::atoi(text + 3) : 0;
        if (number != port)
            continue;
        return std::strstr(name, "USBSER") != nullptr;
    }
}

void clearError()
{
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(g_handle, &errors, &status);
}

} // namespace

int32_t open(int32_t port, uint32_t baud)
{
    if (g_handle != INVALID_HANDLE_VALUE)
        return kOpenAlreadyOpen;
    const int number = port & 0xFF;
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
    UniqueHandle handle(
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle)
        return SC_ERR_PORT;

    SetupComm(handle.get(), 1024, 1024);
    PurgeComm(handle.get(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle.get(), &dcb);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(handle.get(), &dcb) && !isUsbSerialPort(number))
        return kOpenLineRefused;

    // From here a failure leaves the port open for the caller to close.
    g_handle = handle.release();
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(g_handle, &timeouts))
        return kOpenTimeoutsRefused;
    return 0;
}

void close()
{
    if (g_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(g_handle);
        g_handle = INVALID_HANDLE_VALUE;
    }
}

int32_t write(const uint8_t* data, int32_t length)
{
    if (g_handle == INVALID_HANDLE_VALUE || length < 0 || (!data && length))
        return SC_ERR_PORT;
    DWORD written = 0;
    if (!WriteFile(g_handle, data, static_cast<DWORD>(length), &written, nullptr)) {
        (void)GetLastError();
        clearError();
        return SC_ERR_PORT;
    }
    return written == static_cast<DWORD>(length) ? length : SC_ERR_PORT;
}

int32_t bytesWaiting()
{
    if (g_handle == INVALID_HANDLE_VALUE)
        return 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(g_handle, &errors, &status))
        return 0;
    return static_cast<int32_t>(status.cbInQue);
}

int32_t read(uint8_t* buffer, int32_t max)
{
    if (max <= 0)
        return SC_ERR_NO_ROOM;
    if (g_handle == INVALID_HANDLE_VALUE || !buffer)
        return SC_ERR_PORT;
    const int32_t waiting = bytesWaiting();
    const DWORD want = static_cast<DWORD>(waiting < max ? waiting : max);
    if (want == 0)
        return 0;
    DWORD got = 0;
    if (!ReadFile(g_handle, buffer, want, &got, nullptr)) {
        (void)GetLastError();
        clearError();
        return SC_ERR_PORT;
    }
    return static_cast<int32_t>(got);
}

// Sleep(1) lasts a whole timer tick, about 15.6 ms at the default timer
// resolution, and a port opened without overlapped I/O has no event that
// can be waited on with a time-out. So this polls the driver's queue,
// giving the processor to any other ready thread between looks, and ends as
// soon as a byte is there.
void waitReadable(uint32_t ms)
{
    if (g_handle == INVALID_HANDLE_VALUE) {
        Sleep(ms);
        return;
    }
    const uint32_t start = tickCount();
    while (bytesWaiting() == 0 && tickCount() - start < ms)
        SwitchToThread();
}

void sleepMs(uint32_t ms)
{
    Sleep(ms);
}

// Milliseconds of the performance counter. GetTickCount moves in steps of
// the timer tick (15.6 ms, or more on a busy machine), too coarse for the
// short time-outs of SCTransmit.
uint32_t tickCount()
{
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const LONGLONG c = now.QuadPart;
    return static_cast<uint32_t>((c / frequency) * 1000 + (c % frequency) * 1000 / frequency);
}

} // namespace serchan::port
