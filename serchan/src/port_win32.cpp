// Port layer on Windows: "\\.\COMn" through the serial communications API.
// A read takes only what the driver already holds, so it never waits. The
// waits for input block in the driver instead of asking it again and again:
// a one-byte ReadFile under the time-outs that end a read at its first byte
// (interval and multiplier MAXDWORD, the wait as the constant). A write the
// device does not take within 5 s fails, as on POSIX: a reader whose
// firmware hung or whose endpoint keeps NAKing must not hold the caller for
// ever. A port whose driver refuses the line settings is still used when the
// registry shows it to be a USBSER (USB CDC) port.
#include "port.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace serchan::port {
namespace {

// The time a write may take: a frame of at most 280 bytes needs a fraction
// of it at any rate the reader speaks, so running out means the device has
// stopped taking bytes.
constexpr DWORD kWriteStallMs = 5000;

// Setting the time-outs is a driver request of its own (a quarter of a
// millisecond under Wine, as long as a whole exchange), so waits keep one
// setting of this length, and only the last piece before a deadline, when
// shorter, changes it. Callers wait again until their deadline.
constexpr DWORD kWaitSliceMs = 100;

HANDLE g_handle = INVALID_HANDLE_VALUE; // closed only by close(), never at unload
DWORD g_readWaitMs = 0;                 // the read wait now set on the port
int g_held = -1;                        // a byte that a wait took, for the next read
bool g_fineTimer = false;               // the 1 ms timer period is ours to end

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

// Bytes in the driver's input queue (the held byte not counted).
int32_t queued()
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(g_handle, &errors, &status))
        return 0;
    return static_cast<int32_t>(status.cbInQue);
}

// A read returns at once with what is queued, or, with nothing queued, at
// the first byte that arrives or after `readWaitMs`; a write gives up after
// kWriteStallMs.
bool setTimeouts(HANDLE handle, DWORD readWaitMs)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = readWaitMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteStallMs;
    if (!SetCommTimeouts(handle, &timeouts))
        return false;
    g_readWaitMs = readWaitMs;
    return true;
}

// Sleep and the driver's time-outs run on the system timer, whose default
// period of 15.6 ms would stretch every short pause (a caller polling for a
// reply every millisecond) to a whole period. The finer period is asked for
// only while a port is open.
void useFineTimer(bool on)
{
    if (on == g_fineTimer)
        return;
    if (on)
        g_fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
    else {
        timeEndPeriod(1);
        g_fineTimer = false;
    }
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
    g_held = -1;
    if (!setTimeouts(g_handle, kWaitSliceMs))
        return kOpenTimeoutsRefused;
    useFineTimer(true);
    return 0;
}

void close()
{
    if (g_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(g_handle);
        g_handle = INVALID_HANDLE_VALUE;
    }
    g_held = -1;
    useFineTimer(false);
}

int32_t write(const uint8_t* data, int32_t length)
{
    if (g_handle == INVALID_HANDLE_VALUE || length < 0 || (!data && length))
        return SC_ERR_PORT;
    // A device that stops taking bytes ends the write at the time-out with
    // what it took: fewer bytes than asked, which fails like a refusal.
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
    return queued() + (g_held >= 0 ? 1 : 0);
}

int32_t read(uint8_t* buffer, int32_t max)
{
    if (max <= 0)
        return SC_ERR_NO_ROOM;
    if (g_handle == INVALID_HANDLE_VALUE || !buffer)
        return SC_ERR_PORT;
    int32_t got = 0;
    if (g_held >= 0) {
        buffer[got++] = static_cast<uint8_t>(g_held);
        g_held = -1;
    }
    const int32_t room = max - got;
    const int32_t waiting = room > 0 ? queued() : 0;
    const DWORD want = static_cast<DWORD>(waiting < room ? waiting : room);
    if (want == 0)
        return got;
    // Never more than is queued, so this returns at once whatever the read
    // wait set on the port.
    DWORD n = 0;
    if (!ReadFile(g_handle, buffer + got, want, &n, nullptr)) {
        (void)GetLastError();
        clearError();
        return SC_ERR_PORT;
    }
    return got + static_cast<int32_t>(n);
}

// Blocks in the driver until a byte arrives or the time is up: a one-byte
// read under the read wait, which returns at once when a byte is already
// queued. The byte is held for the next read(), so that waiting takes
// nothing away from the reader's bytes.
void waitReadable(uint32_t ms)
{
    if (g_handle == INVALID_HANDLE_VALUE) {
        Sleep(ms);
        return;
    }
    if (ms == 0 || g_held >= 0)
        return;
    const DWORD slice = ms < kWaitSliceMs ? ms : kWaitSliceMs;
    if (slice != g_readWaitMs && !setTimeouts(g_handle, slice)) {
        Sleep(slice); // a pause all the same, never a spin
        return;
    }
    uint8_t byte = 0;
    DWORD got = 0;
    if (!ReadFile(g_handle, &byte, 1, &got, nullptr)) {
        // A port that fails at once would fail again at once: pause instead.
        (void)GetLastError();
        clearError();
        Sleep(slice);
        return;
    }
    if (got == 1)
        g_held = byte;
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
