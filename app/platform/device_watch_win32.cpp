// Windows device watch: a hidden top-level window on a thread of its own,
// registered for the arrival and removal of every device interface class
// (COM ports, HID interfaces, smart-card readers) and receiving the volume
// arrivals that Windows broadcasts to top-level windows (a message-only
// window would miss those).
#include "platform/device_watch.h"

#include <windows.h>
#include <dbt.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace tarvex {
namespace {

constexpr const wchar_t* kClassName = L"TarvexDeviceWatch";

class Win32Watch final : public DeviceWatch {
public:
    explicit Win32Watch(DeviceChanged changed) : changed_(std::move(changed))
    {
        thread_ = std::thread([this] { run(); });
        std::unique_lock lock(m_);
        cv_.wait(lock, [this] { return ready_; });
    }

    ~Win32Watch() override
    {
        if (hwnd_)
            PostMessageW(hwnd_, WM_CLOSE, 0, 0);
        thread_.join();
    }

    bool ok() const { return hwnd_ != nullptr; }

private:
    static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
    {
        auto* self = reinterpret_cast<Win32Watch*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        switch (msg) {
        case WM_DEVICECHANGE:
            if (self && (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE || wp == DBT_DEVNODES_CHANGED))
                self->changed_();
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wp, lp);
        }
    }

    void run()
    {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = proc;
        wc.hInstance = instance;
        wc.lpszClassName = kClassName;
        RegisterClassExW(&wc); // fails harmlessly when already registered
        HWND hwnd = CreateWindowExW(0, kClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
        HDEVNOTIFY note = nullptr;
        if (hwnd) {
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            note = RegisterDeviceNotificationW(
                hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
        }
        {
            std::lock_guard lock(m_);
            hwnd_ = hwnd;
            ready_ = true;
        }
        cv_.notify_all();
        if (!hwnd)
            return;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (note)
            UnregisterDeviceNotification(note);
    }

    DeviceChanged changed_;
    std::mutex m_;
    std::condition_variable cv_;
    bool ready_ = false;
    HWND hwnd_ = nullptr;
    std::thread thread_;
};

} // namespace

std::unique_ptr<DeviceWatch> watchSystemDevices(DeviceChanged changed)
{
    if (!changed)
        return nullptr;
    try {
        auto watch = std::make_unique<Win32Watch>(std::move(changed));
        if (!watch->ok())
            return nullptr;
        return watch;
    } catch (const std::system_error&) {
        return nullptr;
    }
}

} // namespace tarvex
