// The Windows backends of the drive list, the serial-port map and the HID
// enumeration, run on Windows or under Wine.
#include "platform/drives.h"
#include "platform/hid_enum.h"
#include "platform/hid_enum_wmi.h"
#include "platform/serial_map.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace tarvex;

namespace {

TEST(WindowsDrives, SystemDriveIsAFixedReadableRoot)
{
    auto drives = makeSystemDrives();
    const auto entries = drives->list();
    ASSERT_NE(std::find(entries.begin(), entries.end(), "c:"), entries.end());
    for (const auto& e : entries) {
        ASSERT_EQ(e.size(), 2u) << e;
        EXPECT_TRUE(e[0] >= 'a' && e[0] <= 'z') << e;
        EXPECT_EQ(e[1], ':') << e;
    }
    EXPECT_EQ(drives->driveType("c:"), DRIVE_TYPE_FIXED);

    std::vector<std::string> files{"stale"};
    ASSERT_TRUE(drives->listRootFiles("c:", files));
    // Folders such as "windows" are never listed as files.
    for (const auto& f : files) {
        const DWORD attributes = GetFileAttributesA(("c:\\" + f).c_str());
        EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << f;
    }
}

TEST(WindowsDrives, LetterWithoutADriveIsNotReadable)
{
    auto drives = makeSystemDrives();
    const auto entries = drives->list();
    std::string unused;
    for (char l = 'z'; l > 'c' && unused.empty(); --l) {
        const std::string e = std::string(1, l) + ":";
        if (std::find(entries.begin(), entries.end(), e) == entries.end())
            unused = e;
    }
    ASSERT_FALSE(unused.empty());
    EXPECT_NE(drives->driveType(unused), DRIVE_TYPE_FIXED);
    std::vector<std::string> files{"stale"};
    EXPECT_FALSE(drives->listRootFiles(unused, files));
    EXPECT_TRUE(files.empty());
}

TEST(WindowsSerialMap, ValuesComeBackRawWithTheirTerminator)
{
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", &key) != ERROR_SUCCESS)
        GTEST_SKIP() << "no write access to the serial-port map";
    const char name[] = "\\Device\\USBSER099";
    const char data[] = "COM42";
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data), ERROR_SUCCESS);

    auto values = makeSystemSerialPortMap()->read();
    RegDeleteValueA(key, name);
    RegCloseKey(key);
    ASSERT_TRUE(values);
    bool found = false;
    for (const auto& v : *values)
        if (v.name == name) {
            found = true;
            EXPECT_EQ(v.data, std::string("COM42", 5) + std::string(1, '\0'));
        }
    EXPECT_TRUE(found);
}

// ---- The WMI search against a scripted management service

// One WMI object: named properties, each a text, a signed or unsigned
// number, or null.
struct Property {
    std::wstring name;
    VARTYPE type;
    std::wstring text;
    long number = 0;
};

template <class Interface> class FakeCom : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const long left = --refs_;
        if (left == 0)
            delete this;
        return ULONG(left);
    }
    virtual ~FakeCom() = default;

private:
    long refs_ = 1;
};

int g_liveObjects = 0; // every object and result handed out is released again

class FakeObject : public FakeCom<IWbemClassObject> {
public:
    explicit FakeObject(std::vector<Property> properties) : properties_(std::move(properties)) { ++g_liveObjects; }
    ~FakeObject() override { --g_liveObjects; }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE*, LONG*) override
    {
        for (const Property& p : properties_) {
            if (p.name != name)
                continue;
            VariantInit(value);
            value->vt = p.type;
            if (p.type == VT_BSTR)
                value->bstrVal = SysAllocString(p.text.c_str());
            else if (p.type == VT_I4)
                value->lVal = p.number;
            else if (p.type == VT_UI4)
                value->ulVal = ULONG(p.number);
            return WBEM_S_NO_ERROR;
        }
        return WBEM_E_NOT_FOUND;
    }

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }

private:
    std::vector<Property> properties_;
};

// A query's answer: its objects in order; the walk fails after `failAfter`
// of them when that is set.
struct Answer {
    std::vector<std::vector<Property>> objects;
    int failAfter = -1;
};

class FakeResult : public FakeCom<IEnumWbemClassObject> {
public:
    explicit FakeResult(Answer answer) : answer_(std::move(answer)) { ++g_liveObjects; }
    ~FakeResult() override { --g_liveObjects; }

    HRESULT STDMETHODCALLTYPE Next(LONG, ULONG count, IWbemClassObject** objects, ULONG* returned) override
    {
        *returned = 0;
        if (count < 1)
            return WBEM_E_INVALID_PARAMETER;
        if (answer_.failAfter >= 0 && next_ == size_t(answer_.failAfter))
            return WBEM_E_TRANSPORT_FAILURE;
        if (next_ == answer_.objects.size())
            return WBEM_S_FALSE;
        objects[0] = new FakeObject(answer_.objects[next_++]);
        *returned = 1;
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return E_NOTIMPL; }

private:
    Answer answer_;
    size_t next_ = 0;
};

// Answers the WQL queries it was scripted with, word for word, and refuses
// every other text as an invalid query.
class FakeServices : public FakeCom<IWbemServices> {
public:
    std::vector<std::pair<std::wstring, Answer>> answers;
    std::vector<std::wstring> queries; // as received, in order

    HRESULT STDMETHODCALLTYPE ExecQuery(
        const BSTR language, const BSTR text, LONG, IWbemContext*, IEnumWbemClassObject** result) override
    {
        *result = nullptr;
        queries.emplace_back(text);
        if (std::wstring(language) != L"WQL")
            return WBEM_E_INVALID_QUERY_TYPE;
        for (const auto& a : answers)
            if (a.first == text) {
                *result = new FakeResult(a.second);
                return WBEM_S_NO_ERROR;
            }
        return WBEM_E_INVALID_QUERY;
    }

    HRESULT STDMETHODCALLTYPE OpenNamespace(
        const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(
        const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(
        const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecMethod(
        const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemClassObject**, IWbemCallResult**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(
        const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*) override
    {
        return E_NOTIMPL;
    }
};

const wchar_t kAssociations[] = L"Select * From Win32_USBControllerDevice";

// A device below a USB controller as WMI lists it: the association's
// Dependent path (backslashes doubled, the id in double quotes), the entity
// query that path leads to, and the entity it answers with.
struct Device {
    std::wstring id;            // as the entity's DeviceID reports it
    std::vector<Property> code; // ConfigManagerErrorCode, or nothing
};

std::wstring doubled(const std::wstring& s)
{
    std::wstring out;
    for (wchar_t c : s) {
        out += c;
        if (c == L'\\')
            out += c;
    }
    return out;
}

std::wstring entityQuery(const std::wstring& wqlId)
{
    return L"Select * From Win32_PnPEntity Where DeviceID = '" + wqlId + L"'";
}

Property code(VARTYPE type, long value = 0)
{
    return {L"ConfigManagerErrorCode", type, L"", value};
}

// Scripts `services` with one association per device, in order.
void script(FakeServices& services, const std::vector<Device>& devices)
{
    Answer associations;
    for (const Device& d : devices) {
        const std::wstring path = L"\\\\PC\\root\\cimv2:Win32_PnPEntity.DeviceID=\"" + doubled(d.id) + L"\"";
        associations.objects.push_back({{L"Dependent", VT_BSTR, path}});
        std::vector<Property> entity{{L"DeviceID", VT_BSTR, d.id}};
        entity.insert(entity.end(), d.code.begin(), d.code.end());
        std::wstring wqlId;
        for (wchar_t c : doubled(d.id)) {
            if (c == L'\'')
                wqlId += L'\\';
            wqlId += c;
        }
        services.answers.push_back({entityQuery(wqlId), Answer{{entity}}});
    }
    services.answers.push_back({kAssociations, associations});
}

TEST(WindowsHidEnumeration, KeepsWorkingReaderInterfacesInTheServicesOrder)
{
    const std::string reader1 = "HID\\VID_6A4E&PID_0013&MI_00\\7&2A3B&0&0000";
    const std::string reader2 = "HID\\VID_6A4E&PID_0013&MI_01\\7&2A3B&0&0001";
    const std::string quoted = "HID\\VID_6A4E&PID_0013\\7&1'2&0&0000";
    FakeServices services;
    script(services,
        {
            {L"USB\\VID_6A4E&PID_0013\\0001", {code(VT_I4)}}, // the reader's USB parent
            {L"HID\\VID_6A4E&PID_0013&MI_00\\7&2A3B&0&0000", {code(VT_I4)}},
            {L"HID\\VID_046D&PID_C31C\\6&1&0&0000", {code(VT_I4)}},      // another keyboard
            {L"HID\\VID_6A4E&PID_0014\\6&2&0&0000", {code(VT_I4)}},      // another product
            {L"HID\\VID_6a4e&PID_0013\\6&3&0&0000", {code(VT_I4)}},      // lower-case digits
            {L"HID\\VID_6A4E&PID_0013\\6&4&0&0000", {code(VT_I4, 22)}},  // disabled
            {L"HID\\VID_6A4E&PID_0013\\6&5&0&0000", {code(VT_UI4, 28)}}, // no driver
            {L"HID\\VID_6A4E&PID_0013\\6&6&0&0000", {code(VT_NULL)}},    // reports no code
            {L"HID\\VID_6A4E&PID_0013\\6&7&0&0000", {}},                 // has no such property
            {L"HID\\VID_6A4E&PID_0013&MI_01\\7&2A3B&0&0001", {code(VT_UI4)}},
            {L"HID\\VID_6A4E&PID_0013\\7&1'2&0&0000", {code(VT_I4)}}, // a quote in the id
        });
    std::vector<std::string> ids{"stale"};
    ASSERT_TRUE(listReaderIdsFrom(&services, ids));
    EXPECT_EQ(ids, (std::vector<std::string>{reader1, reader2, quoted}));
    ASSERT_EQ(services.queries.size(), 12u);
    EXPECT_EQ(services.queries[0], kAssociations);
    // The id goes into the query with its backslashes doubled and the quote
    // escaped, so the query asks for exactly that device.
    EXPECT_EQ(services.queries[2], entityQuery(L"HID\\\\VID_6A4E&PID_0013&MI_00\\\\7&2A3B&0&0000"));
    EXPECT_EQ(services.queries[11], entityQuery(L"HID\\\\VID_6A4E&PID_0013\\\\7&1\\'2&0&0000"));
    EXPECT_EQ(g_liveObjects, 0);
}

TEST(WindowsHidEnumeration, NoReaderAndPathsWithoutAnIdGiveAnEmptyList)
{
    FakeServices services;
    script(services, {{L"HID\\VID_046D&PID_C31C\\6&1&0&0000", {code(VT_I4)}}});
    // A Dependent without "=" and an association without one are skipped.
    services.answers.back().second.objects.push_back({{L"Dependent", VT_BSTR, L"\\\\PC\\root\\cimv2:Nothing"}});
    services.answers.back().second.objects.push_back({});
    std::vector<std::string> ids{"stale"};
    ASSERT_TRUE(listReaderIdsFrom(&services, ids));
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(services.queries.size(), 2u);
    EXPECT_EQ(g_liveObjects, 0);
}

// A service that fails is told apart from one that finds no reader: false,
// and no partial list, whichever step failed.
TEST(WindowsHidEnumeration, FailuresOfTheServiceAreReportedAsSuch)
{
    const std::vector<Device> devices{
        {L"HID\\VID_6A4E&PID_0013\\7&1&0&0000", {code(VT_I4)}},
        {L"HID\\VID_6A4E&PID_0013\\7&2&0&0000", {code(VT_I4)}},
    };
    struct Case {
        const char* name;
        std::function<void(FakeServices&)> spoil;
    };
    const Case cases[] = {
        {"association query refused", [](FakeServices& s) { s.answers.pop_back(); }},
        {"association walk fails", [](FakeServices& s) { s.answers.back().second.failAfter = 1; }},
        {"entity query refused", [](FakeServices& s) { s.answers.erase(s.answers.begin() + 1); }},
        {"entity walk fails", [](FakeServices& s) { s.answers[1].second.failAfter = 0; }},
    };
    for (const Case& c : cases) {
        FakeServices services;
        script(services, devices);
        c.spoil(services);
        std::vector<std::string> ids{"stale"};
        EXPECT_FALSE(listReaderIdsFrom(&services, ids)) << c.name;
        EXPECT_TRUE(ids.empty()) << c.name;
        EXPECT_EQ(g_liveObjects, 0) << c.name;
    }
    std::vector<std::string> ids{"stale"};
    EXPECT_FALSE(listReaderIdsFrom(nullptr, ids));
    EXPECT_TRUE(ids.empty());
}

} // namespace
