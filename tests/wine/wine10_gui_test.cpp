// The installed Tarvex.exe under Wine 10, whose winscard.dll forwards to a
// real pcsc-lite: the MSI installed into a fresh prefix inside the Debian 13
// root of scripts/wine10-root.sh, the program run on a private X server
// against the reader simulator as the card of a virtual PC/SC reader (a
// pcscd 2.x of that root). It lists the CCID reader with its identity,
// follows the reader leaving and coming back through the service's
// "\\?PnP?\Notification" reader, and switches it "To CDC" from its window,
// after which the reader is listed on COM5.
//
// The steps build on each other, so they share one prefix and run in order;
// a step whose ground failed is skipped with a note of which step failed.
#include "drive_tarvex.h"
#include "run_logged.h"
#include "wine_text.h"
#include "sim_farm.h"
#include "wine10.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

namespace zn480e2e {
namespace {

namespace fs = std::filesystem;
using zn480wine::windowsPath;
using Button = TarvexApp::Button;
using zn480cli::FarmSim;
using zn480cli::SharedPcscd;

const char* const kSuccess = "Operation completed with success!";
const std::string kCcidKey = "CCID ZN480 Sim 1 00 00";
const std::string kCcidEntry = kCcidKey + " - 01020304 (2.166)";
const std::string kCdcEntry = "COM5 ZN480 CDC - 01020304 (2.166)";
const std::string kInstalledExe = "C:\\Program Files\\Tarvex\\Tarvex.exe";
// Where the window has its "Refresh devices" box, in twips of its layout.
constexpr int kMainClientWidthTw = 4455;
constexpr TwipsRect kRefreshTw{120, 2040, 4215, 255};

struct World {
    TempDir work{"wine10-gui"};
    std::string root, prefix, wineLog;
    std::unique_ptr<Desktop> desktop;
    std::unique_ptr<SharedPcscd> pcscd;
    std::unique_ptr<FarmSim> sim;
    std::unique_ptr<TarvexApp> app;
    std::string failedStep;
    std::string skipReason;
    bool serverUp = false;

    std::vector<std::string> inRoot(const std::vector<std::string>& argv) const
    {
        return zn480wine::inWine10({work.path}, argv);
    }
    int wine(const std::vector<std::string>& argv, Millis limit = Millis(120000))
    {
        return zn480wine::runLogged(inRoot(argv), wineLog, limit);
    }
    ~World()
    {
        // The program first, then Wine, then the pty and the daemon.
        app.reset();
        if (serverUp) {
            wine({"wineserver", "-k"}, Millis(30000));
            wine({"wineserver", "-w"}, Millis(30000));
        }
        sim.reset();
        pcscd.reset();
        desktop.reset();
    }
};

World* world = nullptr;

// Checks the window's "Refresh devices" box unless it is checked already.
bool checkRefresh(World& w)
{
    if (w.app->state().refresh)
        return true;
    int width = 0, height = 0;
    if (!w.desktop->windowSize(w.app->window(), width, height))
        return false;
    w.desktop->click(w.app->window(), (kRefreshTw.left + 150) * width / kMainClientWidthTw,
        (kRefreshTw.top + kRefreshTw.height / 2) * width / kMainClientWidthTw);
    return w.app->waitState([](const TarvexState& s) { return s.refresh; }, Millis(5000));
}

class Wine10Gui : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        world = new World;
        World& w = *world;
        if (::geteuid() != 0) {
            w.skipReason = "entering the Wine 10 root needs root";
            return;
        }
        w.root = zn480wine::wine10Root();
        if (!zn480wine::wine10Ready(w.root)) {
            w.skipReason = "no Wine 10 root at " + w.root + " (scripts/wine10-root.sh builds it)";
            return;
        }
        w.prefix = w.work / "prefix";
        w.wineLog = w.work / "wine.log";
        ::setenv("WINEPREFIX", w.prefix.c_str(), 1);
        ::setenv("WINEDEBUG", "-all", 1);
        ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        // Wine 10 wants a runtime folder of its own, as a desktop session gives.
        ::setenv("XDG_RUNTIME_DIR", zn480wine::runtimeDir(w.work.path).c_str(), 1);
        ::unsetenv("WAYLAND_DISPLAY");
        w.desktop = std::make_unique<Desktop>(w.work.path);
        if (w.desktop->ok())
            ::setenv("DISPLAY", w.desktop->display().c_str(), 1);
    }
    static void TearDownTestSuite()
    {
        delete world;
        world = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(world);
        if (!world->skipReason.empty()) {
            if (zn480wine::wine10Required())
                FAIL() << world->skipReason;
            GTEST_SKIP() << world->skipReason;
        }
        ASSERT_TRUE(world->desktop && world->desktop->ok()) << (world->desktop ? world->desktop->error() : "");
        if (!world->failedStep.empty())
            GTEST_SKIP() << "an earlier step failed: " << world->failedStep;
    }
    void TearDown() override
    {
        if (HasFailure() && world->failedStep.empty()) {
            world->failedStep = ::testing::UnitTest::GetInstance()->current_test_info()->name();
            if (world->app)
                std::cerr << "Tarvex state: " << world->app->state().describe() << "\nTarvex output:\n"
                          << world->app->log() << "\n";
            if (world->sim)
                std::cerr << "simulator:\n" << world->sim->output() << "\n";
            std::cerr << "pcscd:\n"
                      << readFile(world->work / "pcscd/pcscd.log") << "\nWine log:\n"
                      << readFile(world->wineLog) << "\n";
        }
    }
};

TEST_F(Wine10Gui, MsiInstallsIntoAWine10Prefix)
{
    World& w = *world;
    ASSERT_TRUE(fs::exists(TARVEX_MSI)) << TARVEX_MSI << " is missing: scripts/win-package.sh builds it";
    ASSERT_EQ(w.wine({"wineboot", "-i"}, Millis(240000)), 0) << "cannot create the Wine prefix";
    const std::string log = w.work / "install.log";
    ASSERT_EQ(w.wine({"wine", "msiexec", "/i", windowsPath(TARVEX_MSI), "/qn", "/l*v", windowsPath(log)}), 0)
        << readFile(log);
    EXPECT_TRUE(fs::exists(w.prefix + "/drive_c/Program Files/Tarvex/Tarvex.exe"));
    w.wine({"wineserver", "-w"}, Millis(60000));
}

TEST_F(Wine10Gui, InstalledProgramListsTheCcidReaderAndFollowsItsPlugs)
{
    World& w = *world;
    zn480cli::PcscdHost host{w.root, w.inRoot({}), {"--disable-polkit"}};
    w.pcscd = std::make_unique<SharedPcscd>(w.work.path, 1, std::vector<std::string>{}, host);
    ASSERT_TRUE(w.pcscd->ok()) << w.pcscd->error();
    const std::string com5 = w.prefix + "/dosdevices/com5";
    std::error_code ec;
    fs::remove(com5, ec);
    fs::create_directories(w.work / "sim", ec);
    w.sim = std::make_unique<FarmSim>(w.work / "sim",
        std::vector<std::string>{"--personality", "ccid", "--cdc-link", com5, "--vpcd-port",
            std::to_string(w.pcscd->port(0)), "--ccid-service", w.pcscd->service(0)},
        false);
    ASSERT_TRUE(w.sim->ok()) << w.sim->output();
    // The serial-port map lasts as long as the server that holds it.
    ASSERT_EQ(w.wine({"wineserver", "-p"}, Millis(30000)), 0);
    w.serverUp = true;
    ASSERT_EQ(w.wine({"wine", "reg", "add", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/v", "\\Device\\USBSER000", "/t",
                  "REG_SZ", "/d", "COM5", "/f"}),
        0);

    TarvexApp::Options o;
    o.launcher = w.inRoot({"wine"});
    o.program = kInstalledExe;
    o.pcscSocket = w.pcscd->socketPath();
    o.env = {{"QT_QPA_PLATFORM", "windows"}};
    o.stateFileForProgram = windowsPath(w.work / "tarvex.state");
    o.deviceDir = w.work.path;
    o.startLimit = Millis(60000);
    w.app = std::make_unique<TarvexApp>(*w.desktop, w.work.path, o);
    ASSERT_TRUE(w.app->ok()) << w.app->error();
    ASSERT_TRUE(w.app->waitState([](const TarvexState& s) { return s.has(kCcidEntry); }, Millis(30000)))
        << w.app->state().describe();
    // Once the reader is found the box clears itself and the scan rests; with
    // the box checked again the scan runs every 2 s, and at once when the
    // service's reader-change notification says a reader came or went.
    ASSERT_TRUE(w.app->waitState([](const TarvexState& s) { return !s.refresh && s.enabled; }, Millis(10000)));
    ASSERT_TRUE(checkRefresh(w)) << w.app->state().describe();

    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(w.sim->control("unplug"));
    ASSERT_TRUE(w.app->waitState([](const TarvexState& s) { return s.entries.empty(); }, Millis(10000)))
        << w.app->state().describe();
    const auto gone = std::chrono::steady_clock::now() - t0;
    ASSERT_TRUE(w.app->waitState([](const TarvexState& s) { return s.enabled; }, Millis(10000)));
    ASSERT_TRUE(checkRefresh(w)) << w.app->state().describe();
    const auto t1 = std::chrono::steady_clock::now();
    ASSERT_TRUE(w.sim->control("plug"));
    // Listed as soon as the service shows the reader; its identity may come
    // a moment later, when the card has been powered.
    ASSERT_TRUE(w.app->waitState(
        [](const TarvexState& s) {
            return std::any_of(
                s.entries.begin(), s.entries.end(), [](const std::string& e) { return e.rfind(kCcidKey, 0) == 0; });
        },
        Millis(10000)))
        << w.app->state().describe();
    const auto back = std::chrono::steady_clock::now() - t1;
    // The figures of the notification path (a tick would take up to 2 s).
    std::cout << "Wine 10: reader gone from the list " << std::chrono::duration_cast<Millis>(gone).count()
              << " ms after its unplug, listed again " << std::chrono::duration_cast<Millis>(back).count()
              << " ms after its plug\n";
}

TEST_F(Wine10Gui, ToCdcFromTheWindowSendsTheSwitchAndTheReaderComesBackOnCom5)
{
    World& w = *world;
    ASSERT_TRUE(w.app);
    // The reader came back a moment before its card was powered: the scan,
    // asked again, reads its identity.
    ASSERT_TRUE(w.app->waitState([](const TarvexState& s) { return s.enabled; }, Millis(10000)));
    if (!w.app->state().has(kCcidEntry))
        ASSERT_TRUE(checkRefresh(w));
    ASSERT_TRUE(w.app->waitState([](const TarvexState& s) { return s.has(kCcidEntry) && s.enabled; }, Millis(20000)))
        << w.app->state().describe();
    const size_t before = w.sim->commands().size();
    const size_t message = w.app->state().messages.size();
    ASSERT_TRUE(w.app->startCommand(kCcidEntry, Button::CDC)) << w.app->state().describe();
    const auto text = w.app->answerMessage(message, Millis(30000));
    ASSERT_TRUE(text.has_value()) << "no message box; " << w.app->state().describe();
    EXPECT_EQ(*text, kSuccess);
    const std::vector<std::string> want{
        "FFCAF00004", zn480cli::switchCommand("FEDD02000A", 1, "01020304"), "FFFEFC0000"};
    const std::vector<std::string> sent = zn480cli::since(w.sim->commands(), before);
    EXPECT_TRUE(zn480cli::containsRun(sent, want)) << "the reader got: " << ::testing::PrintToString(sent);
    EXPECT_TRUE(w.app->waitState(
        [](const TarvexState& s) { return s.has(kCdcEntry) && !s.has(kCcidEntry) && s.enabled; }, Millis(30000)))
        << w.app->state().describe();
    EXPECT_TRUE(w.app->running());
}

} // namespace
} // namespace zn480e2e
