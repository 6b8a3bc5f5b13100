// Windows HID enumeration through WMI: every device below a USB host
// controller (Win32_USBControllerDevice), looked up as a Win32_PnPEntity,
// kept when its DeviceID names the reader's HID interface and it reports no
// problem code. Any failure of the management service gives false instead
// of an error escaping into the scan.
#include "platform/hid_enum.h"
#include "platform/hid_device_id.h"
#include "platform/hid_enum_wmi.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

namespace tarvex {
namespace {

template <class T> class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** out()
    {
        reset();
        return &p_;
    }
    void reset()
    {
        if (p_) {
            p_->Release();
            p_ = nullptr;
        }
    }

private:
    T* p_ = nullptr;
};

class Bstr {
public:
    explicit Bstr(const std::wstring& s) : b_(SysAllocStringLen(s.data(), UINT(s.size()))) { }
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return b_; }
    explicit operator bool() const { return b_ != nullptr; }

private:
    BSTR b_;
};

class Variant {
public:
    Variant() { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* out()
    {
        VariantClear(&v_);
        return &v_;
    }
    const VARIANT& get() const { return v_; }

private:
    VARIANT v_;
};

// Balances a successful CoInitializeEx. A thread that already runs COM in
// another model (Qt's GUI thread may) is used as it is.
class ComScope {
public:
    ComScope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) { }
    ~ComScope()
    {
        if (SUCCEEDED(hr_))
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }

private:
    HRESULT hr_;
};

std::wstring widen(const std::string& s)
{
    if (s.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
    return w;
}

std::string narrow(const wchar_t* w)
{
    if (!w || !*w)
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(size_t(n - 1));
    return s;
}

bool readText(IWbemClassObject* item, const wchar_t* property, std::string& text)
{
    Variant v;
    if (FAILED(item->Get(property, 0, v.out(), nullptr, nullptr)) || v.get().vt != VT_BSTR)
        return false;
    text = narrow(v.get().bstrVal);
    return true;
}

bool readNumber(IWbemClassObject* item, const wchar_t* property, long& number)
{
    Variant v;
    if (FAILED(item->Get(property, 0, v.out(), nullptr, nullptr)))
        return false;
    switch (v.get().vt) {
    case VT_I4:
        number = v.get().lVal;
        return true;
    case VT_UI4:
        number = long(v.get().ulVal);
        return true;
    case VT_I2:
        number = v.get().iVal;
        return true;
    default:
        return false; // VT_NULL: the entity does not report a code
    }
}

bool query(IWbemServices* services, const std::string& wql, ComPtr<IEnumWbemClassObject>& result)
{
    Bstr language(L"WQL");
    Bstr text(widen(wql));
    if (!language || !text)
        return false;
    return SUCCEEDED(services->ExecQuery(
        language.get(), text.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, result.out()));
}

// Walks a query result; false when the service fails part-way.
template <class Fn> bool forEach(IEnumWbemClassObject* items, Fn&& fn)
{
    for (;;) {
        ComPtr<IWbemClassObject> item;
        ULONG returned = 0;
        HRESULT hr = items->Next(WBEM_INFINITE, 1, item.out(), &returned);
        if (hr == WBEM_S_FALSE || (SUCCEEDED(hr) && returned == 0))
            return true;
        if (FAILED(hr))
            return false;
        if (!fn(item.get()))
            return false;
    }
}

// A quote inside an identifier would end the WQL string early.
std::string quoteForWql(const std::string& id)
{
    std::string out;
    for (char c : id) {
        if (c == '\'')
            out += "\\'";
        else
            out.push_back(c);
    }
    return out;
}

class WmiHidEnumerator : public HidEnumerator {
public:
    bool listReaderIds(std::vector<std::string>& ids) override
    {
        ids.clear();
        ComScope com;
        if (!com.usable())
            return false;
        // Fails harmlessly when the process already chose its security.
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
            nullptr, EOAC_NONE, nullptr);
        ComPtr<IWbemLocator> locator;
        if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                reinterpret_cast<void**>(locator.out()))))
            return false;
        Bstr ns(L"ROOT\\CIMV2");
        ComPtr<IWbemServices> services;
        if (!ns
            || FAILED(locator->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.out())))
            return false;
        CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
            RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
        return listReaderIdsFrom(services.get(), ids);
    }
    std::string searchProblem() const override { return "the WMI search of root\\cimv2 failed"; }
};

} // namespace

bool listReaderIdsFrom(IWbemServices* services, std::vector<std::string>& ids)
{
    ids.clear();
    if (!services)
        return false;
    ComPtr<IEnumWbemClassObject> associations;
    if (!query(services, "Select * From Win32_USBControllerDevice", associations))
        return false;
    std::vector<std::string> found;
    bool ok = forEach(associations.get(), [&](IWbemClassObject* association) {
        std::string dependent;
        if (!readText(association, L"Dependent", dependent))
            return true; // an association without a device path names nothing
        std::string id = DeviceIdFromDependent(dependent);
        if (id.empty())
            return true; // no "=": not an object path we can look up
        // The id keeps its doubled backslashes: that is how WQL writes one.
        ComPtr<IEnumWbemClassObject> entities;
        if (!query(services, "Select * From Win32_PnPEntity Where DeviceID = '" + quoteForWql(id) + "'", entities))
            return false;
        return forEach(entities.get(), [&](IWbemClassObject* entity) {
            std::string deviceId;
            long problem = -1;
            if (readText(entity, L"DeviceID", deviceId) && IsZnHidDeviceId(deviceId)
                && readNumber(entity, L"ConfigManagerErrorCode", problem) && problem == 0)
                found.push_back(deviceId);
            return true;
        });
    });
    if (!ok)
        return false;
    ids = std::move(found);
    return true;
}

std::unique_ptr<HidEnumerator> makeSystemHidEnumerator()
{
    return std::make_unique<WmiHidEnumerator>();
}

} // namespace tarvex
