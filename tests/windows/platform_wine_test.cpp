// The program's Windows platform services and serchan's USB CDC port check,
// run under Wine: the registry's serial-port map, drives, WMI, process start,
// the clock, the PC/SC binding against a stand-in winscard library, and
// where the run-time libraries are loaded from.
#include "fake_winscard.h"
#include "platform/clock.h"
#include "platform/drives.h"
#include "platform/hid_enum.h"
#include "platform/pcsc.h"
#include "platform/pcsc_win32.h"
#include "platform/process.h"
#include "platform/serchan_api.h"
#include "platform/serial_map.h"
#include "port.h" // serchan's port layer, compiled into this test
#include "import_hook.h"
#include "wine_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// ---- Serial-port map (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM)

TEST(SerialPortMap, ReadsTheValuesTheDriverAdded)
{
    if (!wintest::envPort("TARVEX_WINE_SIM_PORT"))
        GTEST_SKIP() << wintest::kNotUnderDriver;
    auto values = tarvex::makeSystemSerialPortMap()->read();
    ASSERT_TRUE(values.has_value());
    // The data comes raw, terminating NUL included, as the scan expects.
    const std::pair<std::string, std::string> expected[] = {
        {"\\Device\\USBSER000", "COM5\0"s},
        {"\\Device\\USBSER007", "COM7\0"s},
        {"\\Device\\Serial8", "COM8\0"s},
        {"\\Device\\Parallel3", "LPT3\0"s},
    };
    for (const auto& e : expected) {
        const bool found = std::any_of(values->begin(), values->end(),
            [&](const tarvex::SerialMapValue& v) { return v.name == e.first && v.data == e.second; });
        EXPECT_TRUE(found) << e.first;
    }
}

// serchan accepts a port whose driver refuses the line settings only when the
// map lists it under a USBSER name. Under Wine a COM link to /dev/null refuses
// both line settings and time-outs, so the USB CDC answer shows as -5
// (settings waved through, time-outs refused) against -3.
TEST(SerchanPortOpen, UsbCdcPortsAreToldApartThroughTheRegistry)
{
    const int usbser = wintest::envPort("TARVEX_WINE_USBSER_DEAD_PORT");
    const int plain = wintest::envPort("TARVEX_WINE_PLAIN_DEAD_PORT");
    const int unlisted = wintest::envPort("TARVEX_WINE_UNLISTED_DEAD_PORT");
    if (!usbser || !plain || !unlisted)
        GTEST_SKIP() << wintest::kNotUnderDriver;
    struct Case {
        int port;
        int32_t expected;
        const char* what;
    };
    const Case cases[] = {
        {usbser, -5, "listed as USBSER"},
        {usbser + 256, -5, "low byte names the port"},
        {plain, -3, "listed under another name"},
        {unlisted, -3, "not listed"},
        {63, -2, "no such device"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(serchan::port::open(c.port, 115200), c.expected) << c.what;
        serchan::port::close();
        // Nothing is left open, whatever the outcome.
        const uint8_t byte = 0;
        EXPECT_EQ(serchan::port::write(&byte, 1), -2) << c.what;
    }
}

// ---- Drives

TEST(Drives, ListTypesAndRootFiles)
{
    const std::string msd = wintest::env("TARVEX_WINE_MSD_DRIVE");
    const std::string empty = wintest::env("TARVEX_WINE_EMPTY_DRIVE");
    if (msd.empty() || empty.empty())
        GTEST_SKIP() << wintest::kNotUnderDriver;
    auto drives = tarvex::makeSystemDrives();
    const auto list = drives->list();
    for (const std::string& d : {"c:"s, msd, empty})
        EXPECT_NE(std::find(list.begin(), list.end(), d), list.end()) << d;

    EXPECT_EQ(drives->driveType("c:"), tarvex::DRIVE_TYPE_FIXED);
    EXPECT_EQ(drives->driveType(msd), tarvex::DRIVE_TYPE_FIXED);
    EXPECT_EQ(drives->driveType(empty), tarvex::DRIVE_TYPE_REMOVABLE);
    EXPECT_EQ(drives->driveType("q:"), DRIVE_NO_ROOT_DIR);

    // The folder and the hidden file are left out.
    std::vector<std::string> files;
    ASSERT_TRUE(drives->listRootFiles(msd, files));
    EXPECT_EQ(files, std::vector<std::string>{"APDU_314.MSD"});
    files = {"stale"};
    EXPECT_TRUE(drives->listRootFiles(empty, files)); // an empty root is readable
    EXPECT_TRUE(files.empty());
    EXPECT_FALSE(drives->listRootFiles("q:", files)); // no such drive
    EXPECT_TRUE(files.empty());
}

// ---- WMI

TEST(HidEnumeration, WmiQueriesRunAndFindNoReader)
{
    std::vector<std::string> ids = {"stale"};
    const bool ok = tarvex::makeSystemHidEnumerator()->listReaderIds(ids);
    if (!ok)
        GTEST_SKIP() << "Wine's WMI refused the Win32_USBControllerDevice / Win32_PnPEntity queries";
    // Wine lists no Win32_USBControllerDevice instances: the system's service
    // answers, with nothing. The matching itself runs against a scripted
    // service (WindowsHidEnumeration in tests/platform).
    EXPECT_TRUE(ids.empty());
}

// ---- Process start and the clock

TEST(ProcessStart, StartsHiddenWithoutWaiting)
{
    const std::string dir = wintest::programFolder();
    EXPECT_EQ(tarvex::programDir(), dir);
    EXPECT_EQ(tarvex::kbflashFileName(), "kbflash.exe");

    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string marker = std::string(temp) + "tarvex-marker-" + std::to_string(GetCurrentProcessId());
    DeleteFileA(marker.c_str());
    SetEnvironmentVariableA("TARVEX_MARKER", marker.c_str());

    auto launcher = tarvex::makeSystemProcessLauncher();
    ASSERT_TRUE(launcher->startHidden(dir + "\\win_marker.exe"));
    bool seen = false;
    for (int i = 0; i < 600 && !seen; ++i) {
        seen = GetFileAttributesA(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (!seen)
            Sleep(50);
    }
    EXPECT_TRUE(seen) << "the started program did not run";
    DeleteFileA(marker.c_str());

    EXPECT_FALSE(launcher->startHidden(dir + "\\no-such-program.exe"));
    EXPECT_FALSE(launcher->startHidden(""));
}

// The window's close ends the program this way while a probe's worker may
// still be in a driver call: at once, with the status given, and without
// the exit handlers of a normal end.
TEST(ProcessEnd, EndsAtOnceWhateverAThreadIsDoing)
{
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string marker = std::string(temp) + "tarvex-end-" + std::to_string(GetCurrentProcessId());
    DeleteFileA(marker.c_str());
    SetEnvironmentVariableA("TARVEX_MARKER", marker.c_str());

    // Appended piece by piece: GCC 12 warns falsely about a chain of
    // string operator+ here.
    std::string command = "\"";
    command += wintest::programFolder();
    command += "\\win_end_now.exe\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    const DWORD waited = WaitForSingleObject(pi.hProcess, 30000);
    DWORD status = 0;
    GetExitCodeProcess(pi.hProcess, &status);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "still running after 30 s";
    EXPECT_EQ(status, 7u);
    EXPECT_EQ(GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES) << "an exit handler ran";
    DeleteFileA(marker.c_str());
}

TEST(Clock, TicksAdvanceAcrossASleep)
{
    tarvex::Clock& clock = tarvex::systemClock();
    const uint32_t before = clock.tickMs();
    // GetTickCount moves in steps of about 16 ms (under Wine as on Windows),
    // so a sleep of 30 ms could read as 14: sleep long enough that one step
    // less still clears the bound.
    clock.sleepMs(60);
    EXPECT_GE(tarvex::elapsedMs(before, clock.tickMs()), 15u);
}

// ---- PC/SC against the stand-in winscard library

class FakeWinscard : public ::testing::Test {
protected:
    // Loads the stand-in first so its state can be set before the binding
    // under test loads the same module (one instance per process).
    void load(const char* file)
    {
        TearDown(); // a test may try several variants
        module_ = nullptr;
        path_ = wintest::programFolder() + "\\" + file;
        module_ = LoadLibraryA(path_.c_str());
        ASSERT_NE(module_, nullptr) << path_;
        auto stateFn
            = reinterpret_cast<FakeScardStateFn>(reinterpret_cast<void*>(GetProcAddress(module_, "FakeScardState")));
        ASSERT_NE(stateFn, nullptr);
        fake_ = stateFn();
        *fake_ = FakeScard{};
        api_ = tarvex::pcsc::loadWinscardFrom(path_);
    }
    void TearDown() override
    {
        api_.reset();
        if (module_)
            FreeLibrary(module_);
    }

    std::string path_;
    HMODULE module_ = nullptr;
    FakeScard* fake_ = nullptr;
    std::unique_ptr<tarvex::pcsc::Api> api_;
};

TEST_F(FakeWinscard, PassesArgumentsAndResultsThrough)
{
    load("fake_winscard.dll");
    namespace p = tarvex::pcsc;
    p::Context ctx = 0;
    ASSERT_EQ(api_->establishContext(p::SCOPE_SYSTEM, &ctx), p::S_SUCCESS);
    EXPECT_EQ(fake_->in.scope, p::SCOPE_SYSTEM);
    EXPECT_EQ(ctx, 0x1234u);

    const char readers[] = "ZN480 CCID 00 00\0Other 00 00\0";
    std::memcpy(fake_->out.readers, readers, sizeof readers);
    fake_->out.readersLength = sizeof readers;
    char buffer[128];
    uint32_t length = sizeof buffer;
    ASSERT_EQ(api_->listReaders(ctx, buffer, &length), p::S_SUCCESS);
    EXPECT_TRUE(fake_->in.groupsWasNull);
    ASSERT_EQ(length, sizeof readers);
    EXPECT_EQ(std::memcmp(buffer, readers, sizeof readers), 0);

    p::Card card = 0;
    uint32_t active = 0;
    ASSERT_EQ(
        api_->connect(ctx, "ZN480 CCID 00 00", p::SHARE_EXCLUSIVE, p::PROTOCOL_T0 | p::PROTOCOL_T1, &card, &active),
        p::S_SUCCESS);
    EXPECT_STREQ(fake_->in.reader, "ZN480 CCID 00 00");
    EXPECT_EQ(fake_->in.share, p::SHARE_EXCLUSIVE);
    EXPECT_EQ(fake_->in.protocols, p::PROTOCOL_T0 | p::PROTOCOL_T1);
    EXPECT_EQ(card, 0x5678u);
    EXPECT_EQ(active, p::PROTOCOL_T1);

    const uint8_t atr[] = {0x3B, 0x8F, 0x80, 0x01};
    std::memcpy(fake_->out.atr, atr, sizeof atr);
    fake_->out.atrLength = sizeof atr;
    uint32_t state = 0, protocol = 0, atrLength = 33;
    uint8_t atrOut[33] = {};
    ASSERT_EQ(api_->status(card, &state, &protocol, atrOut, &atrLength), p::S_SUCCESS);
    // SCardStatusA wherever it is exported: some winscard builds export the
    // older SCardState as a stub that aborts the process.
    EXPECT_EQ(fake_->calls.status, 1);
    EXPECT_EQ(fake_->calls.state, 0);
    EXPECT_EQ(state, 6u);
    EXPECT_EQ(protocol, p::PROTOCOL_T1);
    ASSERT_EQ(atrLength, sizeof atr);
    EXPECT_EQ(std::memcmp(atrOut, atr, sizeof atr), 0);

    const uint8_t command[] = {0xFF, 0xCA, 0xE0, 0x00, 0x00};
    const uint8_t reply[] = {0x01, 0x02, 0x03, 0x04, 0x90, 0x00};
    std::memcpy(fake_->out.reply, reply, sizeof reply);
    fake_->out.replyLength = sizeof reply;
    ASSERT_EQ(api_->beginTransaction(card), p::S_SUCCESS);
    uint8_t received[64];
    uint32_t receivedLength = sizeof received;
    ASSERT_EQ(api_->transmit(card, p::PROTOCOL_T1, command, sizeof command, received, &receivedLength), p::S_SUCCESS);
    EXPECT_EQ(fake_->in.sendPci.protocol, p::PROTOCOL_T1);
    EXPECT_EQ(fake_->in.sendPci.pciLength, 8u);
    EXPECT_TRUE(fake_->in.recvPciGiven);
    ASSERT_EQ(fake_->in.sentLength, sizeof command);
    EXPECT_EQ(std::memcmp(fake_->in.sent, command, sizeof command), 0);
    ASSERT_EQ(receivedLength, sizeof reply);
    EXPECT_EQ(std::memcmp(received, reply, sizeof reply), 0);

    EXPECT_EQ(api_->endTransaction(card, p::LEAVE_CARD), p::S_SUCCESS);
    EXPECT_EQ(fake_->in.endDisposition, p::LEAVE_CARD);
    EXPECT_EQ(api_->disconnect(card, p::UNPOWER_CARD), p::S_SUCCESS);
    EXPECT_EQ(fake_->in.disconnectDisposition, p::UNPOWER_CARD);
    EXPECT_EQ(api_->protocolRaw(), 0x10000u);
}

TEST_F(FakeWinscard, ErrorCodesComeBackUnchanged)
{
    load("fake_winscard.dll");
    namespace p = tarvex::pcsc;
    p::Context ctx = 0;
    p::Card card = 0x5678;
    uint32_t n = 0;
    uint8_t buf[8];
    uint32_t bufLen = sizeof buf;

    fake_->result.establish = p::E_NO_SERVICE;
    EXPECT_EQ(api_->establishContext(p::SCOPE_SYSTEM, &ctx), p::E_NO_SERVICE);
    EXPECT_EQ(ctx, 0u); // untouched on failure
    fake_->result.list = p::E_NO_READERS_AVAILABLE;
    EXPECT_EQ(api_->listReaders(ctx, nullptr, &n), p::E_NO_READERS_AVAILABLE);
    fake_->result.connect = p::E_SHARING_VIOLATION;
    p::Card none = 0;
    EXPECT_EQ(api_->connect(ctx, "r", p::SHARE_SHARED, p::PROTOCOL_T0, &none, nullptr), p::E_SHARING_VIOLATION);
    EXPECT_EQ(none, 0u);
    fake_->result.begin = p::W_REMOVED_CARD;
    EXPECT_EQ(api_->beginTransaction(card), p::W_REMOVED_CARD);
    fake_->result.transmit = p::F_COMM_ERROR;
    EXPECT_EQ(api_->transmit(card, p::PROTOCOL_T0, buf, 5, buf, &bufLen), p::F_COMM_ERROR);
    fake_->result.end = p::E_INVALID_HANDLE;
    EXPECT_EQ(api_->endTransaction(card, p::LEAVE_CARD), p::E_INVALID_HANDLE);
    fake_->result.disconnect = p::E_READER_UNAVAILABLE;
    EXPECT_EQ(api_->disconnect(card, p::LEAVE_CARD), p::E_READER_UNAVAILABLE);
}

TEST_F(FakeWinscard, EitherStatusCallServesAlone)
{
    struct Case {
        const char* dll;
        int statusCalls, stateCalls;
    };
    for (const Case c : {Case{"fake_winscard_nostate.dll", 1, 0}, Case{"fake_winscard_nostatus.dll", 0, 1}}) {
        SCOPED_TRACE(c.dll);
        load(c.dll);
        uint32_t state = 0, protocol = 0, atrLength = 33;
        uint8_t atr[33];
        const uint8_t want[] = {0x3B, 0x02, 0x14, 0x50};
        std::memcpy(fake_->out.atr, want, sizeof want);
        fake_->out.atrLength = sizeof want;
        fake_->out.state = 4;
        EXPECT_EQ(api_->status(0x5678, &state, &protocol, atr, &atrLength), tarvex::pcsc::S_SUCCESS);
        EXPECT_EQ(fake_->calls.status, c.statusCalls);
        EXPECT_EQ(fake_->calls.state, c.stateCalls);
        EXPECT_EQ(state, 4u);
        ASSERT_EQ(atrLength, sizeof want);
        EXPECT_EQ(std::memcmp(atr, want, sizeof want), 0);
    }
}

TEST_F(FakeWinscard, LibraryLackingAnExportBindsNothing)
{
    load("fake_winscard_notransmit.dll");
    tarvex::pcsc::Context ctx = 0;
    EXPECT_EQ(api_->establishContext(tarvex::pcsc::SCOPE_SYSTEM, &ctx), tarvex::pcsc::E_NO_SERVICE);
    EXPECT_EQ(fake_->calls.establish, 0);
}

TEST(Winscard, MissingLibraryIsNoService)
{
    auto api = tarvex::pcsc::loadWinscardFrom(wintest::programFolder() + "\\no-such-winscard.dll");
    tarvex::pcsc::Context ctx = 0;
    EXPECT_EQ(api->establishContext(tarvex::pcsc::SCOPE_SYSTEM, &ctx), tarvex::pcsc::E_NO_SERVICE);
    auto unnamed = tarvex::pcsc::loadWinscardFrom("");
    EXPECT_EQ(unnamed->establishContext(tarvex::pcsc::SCOPE_SYSTEM, &ctx), tarvex::pcsc::E_NO_SERVICE);
}

TEST(Winscard, SystemLibrary)
{
    auto api = tarvex::pcsc::loadSystemPcsc();
    tarvex::pcsc::Context ctx = 0;
    const tarvex::pcsc::Result r = api->establishContext(tarvex::pcsc::SCOPE_SYSTEM, &ctx);
    if (r != tarvex::pcsc::S_SUCCESS)
        GTEST_SKIP() << "the system's winscard gives no context (Wine's is a stub): result 0x" << std::hex
                     << uint32_t(r) << "; the binding is tested against the stand-in library";
    api->releaseContext(ctx);
}

// ---- Where run-time libraries come from

bool isFullPath(const std::string& p)
{
    return (p.size() > 2 && p[1] == ':' && (p[2] == '\\' || p[2] == '/'))
        || (p.size() > 2 && p[0] == '\\' && p[1] == '\\');
}

std::string folderOf(const std::string& path)
{
    const size_t sep = path.find_last_of("\\/");
    return sep == std::string::npos ? std::string() : path.substr(0, sep);
}

// Every library the program loads at run time (winscard, SERCHAN.dll) is
// named by its full path in the program's folder or taken from the system
// folder: none is looked for in the current folder or along PATH, where
// anybody may have put one. Copies of both planted in a folder that is the
// current one and first on PATH stay unloaded, and every load call the
// program makes says where it loads from.
TEST(LibrarySearch, NothingFromTheCurrentFolderOrPath)
{
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string planted = std::string(temp) + "tarvex-planted-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(planted.c_str(), nullptr)) << planted;
    const std::string standIn = wintest::programFolder() + "\\fake_winscard.dll";
    const std::string plantedWinscard = planted + "\\winscard.dll", plantedSerchan = planted + "\\SERCHAN.dll";
    ASSERT_TRUE(CopyFileA(standIn.c_str(), plantedWinscard.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(standIn.c_str(), plantedSerchan.c_str(), FALSE));

    char cwd[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, cwd), 0u);
    std::vector<char> path(32768);
    const DWORD pathLen = GetEnvironmentVariableA("PATH", path.data(), DWORD(path.size()));
    const std::string oldPath(path.data(), pathLen < path.size() ? pathLen : 0);
    ASSERT_TRUE(SetCurrentDirectoryA(planted.c_str()));
    ASSERT_TRUE(SetEnvironmentVariableA("PATH", (planted + ";" + oldPath).c_str()));

    std::vector<wintest::LibraryLoadLog::Load> loads;
    {
        wintest::LibraryLoadLog log(GetModuleHandleA(nullptr));
        ASSERT_TRUE(log.installed());
        auto pcsc = tarvex::pcsc::loadSystemPcsc();
        tarvex::pcsc::Context ctx = 0;
        if (pcsc->establishContext(tarvex::pcsc::SCOPE_SYSTEM, &ctx) == tarvex::pcsc::S_SUCCESS)
            pcsc->releaseContext(ctx);
        // The library is loaded at the first call: one on a port never opened.
        auto beside = tarvex::loadSerchanBesideProgram();
        (void)beside->close(250);
        auto byName = tarvex::loadSerchanFrom("SERCHAN.dll");
        EXPECT_EQ(byName->open(3, 115200, 0), 0) << "a name without a folder bound a library";
        loads = log.loads();
    }
    const bool winscardPlanted = GetModuleHandleA(plantedWinscard.c_str()) != nullptr;
    const bool serchanPlanted = GetModuleHandleA(plantedSerchan.c_str()) != nullptr;

    SetCurrentDirectoryA(cwd);
    SetEnvironmentVariableA("PATH", oldPath.c_str());
    EXPECT_FALSE(winscardPlanted) << "the winscard.dll in the current folder and on PATH was loaded";
    EXPECT_FALSE(serchanPlanted) << "the SERCHAN.dll in the current folder and on PATH was loaded";

    char system[MAX_PATH];
    const UINT n = GetSystemDirectoryA(system, MAX_PATH);
    ASSERT_GT(n, 0u);
    const std::string systemFolder(system, n);
    bool sawWinscard = false, sawSerchan = false;
    for (const auto& l : loads) {
        SCOPED_TRACE(l.name + " flags 0x" + std::to_string(l.flags));
        std::string lower = l.name;
        std::transform(
            lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        sawWinscard = sawWinscard || lower.find("winscard") != std::string::npos;
        sawSerchan = sawSerchan || lower.find("serchan") != std::string::npos;
        if (isFullPath(l.name)) {
            const std::string folder = folderOf(l.name);
            EXPECT_TRUE(_stricmp(folder.c_str(), wintest::programFolder().c_str()) == 0
                || _stricmp(folder.c_str(), systemFolder.c_str()) == 0)
                << "loaded from " << folder;
        } else {
            // A bare name is only ever looked up in the system folder.
            EXPECT_NE(l.flags & LOAD_LIBRARY_SEARCH_SYSTEM32, 0u) << "a bare name searched along the default order";
            EXPECT_EQ(l.flags & (LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_USER_DIRS), 0u);
        }
    }
    EXPECT_TRUE(sawWinscard) << "winscard was not loaded at all";
    EXPECT_TRUE(sawSerchan) << "SERCHAN.dll was not loaded at all";

    DeleteFileA(plantedWinscard.c_str());
    DeleteFileA(plantedSerchan.c_str());
    RemoveDirectoryA(planted.c_str());
}

} // namespace
