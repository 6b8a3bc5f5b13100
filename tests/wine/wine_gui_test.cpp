// The Windows deliverable as a Windows user gets it: the MSI installed
// silently into a fresh Wine prefix, the installed Tarvex.exe run on a
// private X server against the reader simulator, a switch done through the
// window, and the MSI removed again; then the upgrades: from an older
// version, and from an earlier build of the same version.
//
// The Windows side sees:
//   COM5  the simulated reader in CDC personality (its pty, listed in the
//         registry's serial-port map as \Device\USBSER000);
//   m:    a drive whose root holds only the marker file;
//   no PC/SC readers (Wine's smart-card service is a stub) and no USB HID
//   devices (Wine lists none).
// What the program shows is read from its state file; what the reader
// received from the simulator's exchange log.
//
// The steps build on each other (install, run, switch, uninstall), so they
// share one prefix and run in order in one process; a step whose ground
// failed is skipped with a note of which step failed.
#include "drive_tarvex.h"
#include "run_logged.h"
#include "wine_text.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace zn480e2e {
namespace {

namespace fs = std::filesystem;
using zn480wine::windowsPath;
using Button = TarvexApp::Button;

const char* const kCaption = "ZN480 USB Switch";
const char* const kSuccess = "Operation completed with success!";
const std::string kCdcEntry = "COM5 ZN480 CDC - 01020304 (2.166)";
const std::string kMsdEntry = "MSD ZN480 Mass Storage";
const std::string kInstallDir = "C:\\Program Files\\Tarvex";
const std::string kInstalledExe = kInstallDir + "\\Tarvex.exe";
// The binaries of ours in the installed folder (the rest is Qt's and MinGW's).
const char* const kOwnBinaries[] = {"Tarvex.exe", "tarvexctl.exe", "kbflash.exe", "SERCHAN.dll"};
constexpr int kMainClientWidthTw = 4455;
constexpr TwipsRect kRefreshTw{120, 2040, 4215, 255};

using zn480wine::runLogged;

// Every file of a tree, relative to its root, leaving out Wine's own folder
// (its installer cache and logs come and go with every msiexec run).
std::set<std::string> filesUnder(const fs::path& root)
{
    std::set<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        const std::string rel = fs::relative(it->path(), root, ec).string();
        if (rel == "windows") {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink(ec) || !it->is_regular_file(ec))
            continue;
        files.insert(rel);
    }
    return files;
}

std::vector<std::string> findNamed(const fs::path& root, const std::string& name)
{
    std::vector<std::string> found;
    for (const std::string& f : filesUnder(root))
        if (fs::path(f).filename() == name)
            found.push_back(f);
    return found;
}

// Everything the steps share: the prefix, the X server, the simulator and
// the running program.
struct World {
    TempDir work{"wine-gui"};
    std::string prefix, wineLog, msi;
    std::unique_ptr<Desktop> desktop;
    std::unique_ptr<SimReader> sim;
    std::unique_ptr<TarvexApp> app;
    std::set<std::string> filesBefore;
    std::string failedStep; // the first step that failed; later ones skip
    bool serverUp = false;

    std::string dosdevices() const { return prefix + "/dosdevices"; }
    fs::path driveC() const { return prefix + "/drive_c"; }
    int wine(const std::vector<std::string>& args, Millis limit = Millis(120000))
    {
        std::vector<std::string> argv{"wine"};
        argv.insert(argv.end(), args.begin(), args.end());
        return runLogged(argv, wineLog, limit);
    }
    void stopServer()
    {
        runLogged({"wineserver", "-k"}, wineLog, Millis(30000));
        runLogged({"wineserver", "-w"}, wineLog, Millis(30000));
        serverUp = false;
    }
    ~World()
    {
        // The program first, then Wine, then the pty it was polling.
        app.reset();
        if (!prefix.empty())
            stopServer();
        sim.reset();
        desktop.reset();
    }
};

World* world = nullptr;

// The versions of every installed product named Tarvex, from the per-machine
// list of installed programs (what Settings > Apps shows).
std::vector<std::string> installedProducts(World& w)
{
    const std::string out = w.work / "uninstall-keys.txt";
    fs::remove(out);
    runLogged({"wine", "reg", "query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "/s"}, out,
        Millis(60000));
    std::vector<std::string> versions;
    std::istringstream in(readFile(out));
    bool tarvex = false;
    std::string version;
    auto flush = [&] {
        if (tarvex)
            versions.push_back(version);
        tarvex = false;
        version.clear();
    };
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("HKEY_", 0) == 0)
            flush();
        std::istringstream fields(line);
        std::string name, type, value;
        fields >> name >> type;
        std::getline(fields >> std::ws, value);
        if (name == "DisplayName" && value == "Tarvex")
            tarvex = true;
        if (name == "DisplayVersion")
            version = value;
    }
    flush();
    return versions;
}

class WineGui : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        world = new World;
        World& w = *world;
        w.prefix = w.work / "prefix";
        w.wineLog = w.work / "wine.log";
        w.msi = TARVEX_MSI;
        ::setenv("WINEPREFIX", w.prefix.c_str(), 1);
        ::setenv("WINEDEBUG", "-all", 1);
        // No prompts for the .NET and HTML runtimes when the prefix is made.
        ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
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
        ASSERT_TRUE(world && world->desktop && world->desktop->ok())
            << (world && world->desktop ? world->desktop->error() : "no desktop");
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
            std::cerr << "Wine log:\n" << readFile(world->wineLog) << "\n";
        }
    }
};

TEST_F(WineGui, MsiInstallsSilentlyPerMachine)
{
    World& w = *world;
    ASSERT_TRUE(fs::exists(w.msi)) << w.msi << " is missing: scripts/win-package.sh builds it";
    ASSERT_EQ(runLogged({"wineboot", "-i"}, w.wineLog, Millis(180000)), 0) << "cannot create the Wine prefix";
    w.filesBefore = filesUnder(w.driveC());

    const std::string installLog = w.work / "install.log";
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(w.wine({"msiexec", "/i", windowsPath(w.msi), "/qn", "/l*v", windowsPath(installLog)}), 0)
        << readFile(installLog);
    std::cout << "silent install: " << std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - t0).count()
              << " ms\n";

    const fs::path dir = w.driveC() / "Program Files/Tarvex";
    for (const char* f : {"Tarvex.exe", "tarvexctl.exe", "SERCHAN.dll", "kbflash.exe", "Qt6Core.dll", "Qt6Gui.dll",
             "Qt6Widgets.dll", "platforms/qwindows.dll", "styles/qwindowsvistastyle.dll", "libstdc++-6.dll"})
        EXPECT_TRUE(fs::exists(dir / f)) << "not installed: " << (dir / f);
    // Per machine (ALLUSERS=1), listed among the machine's installed programs.
    EXPECT_NE(readFile(installLog).find("ALLUSERS = 1"), std::string::npos);
    EXPECT_EQ(installedProducts(w), (std::vector<std::string>{TARVEX_VERSION}));
    // One Start-menu shortcut. Windows puts a per-machine one in the menu of
    // all users; Wine 8's installer puts it in the installing user's menu.
    const auto shortcuts = findNamed(w.driveC(), "Tarvex.lnk");
    ASSERT_EQ(shortcuts.size(), 1u) << ::testing::PrintToString(shortcuts);
    EXPECT_NE(shortcuts[0].find("Start Menu/Programs/Tarvex.lnk"), std::string::npos) << shortcuts[0];
    // It starts the installed program (the link holds the target's path).
    EXPECT_NE(readFile((w.driveC() / shortcuts[0]).string()).find(kInstalledExe), std::string::npos);

    // The console program beside it runs on the runtime DLLs of the folder.
    const std::string version = w.work / "tarvexctl-version.txt";
    EXPECT_EQ(runLogged({"sh", "-c", "exec wine \"$0\" --version >'" + version + "'",
                            "C:\\Program Files\\Tarvex\\tarvexctl.exe"},
                  w.wineLog, Millis(60000)),
        0);
    EXPECT_EQ(readFile(version), std::string("tarvexctl ") + TARVEX_VERSION + "\r\n");

    // Each of our installed binaries carries the project's version, as
    // Windows reads it (the Qt-free build's version test, pointed at the
    // installed folder).
    ASSERT_TRUE(fs::exists(TARVEX_VERSION_TEST)) << TARVEX_VERSION_TEST << " is missing: build the mingw64 preset";
    const std::string versionTest = w.work / "version-test.txt";
    ::setenv("TARVEX_VERSION_DIR", kInstallDir.c_str(), 1);
    const int versionRc = runLogged({"wine", TARVEX_VERSION_TEST}, versionTest, Millis(60000));
    ::unsetenv("TARVEX_VERSION_DIR");
    EXPECT_EQ(versionRc, 0) << readFile(versionTest);
}

TEST_F(WineGui, InstalledProgramListsTheCdcReaderAndTheMarkerDrive)
{
    World& w = *world;
    // The serial-port map is volatile: rebuilt at each server start, so it is
    // written once a persistent server runs, and lives as long as it does.
    w.stopServer();
    const std::string msd = w.work / "msd";
    fs::create_directories(msd);
    std::ofstream(msd + "/APDU_314.MSD") << "marker";
    std::error_code ec;
    fs::create_symlink(msd, w.dosdevices() + "/m:", ec);
    ASSERT_FALSE(ec) << ec.message();
    fs::remove(w.dosdevices() + "/com5", ec);

    SimReader::Options so;
    so.program = ZN480SIM_PATH;
    so.personality = "cdc";
    so.cdcLink = w.dosdevices() + "/com5";
    w.sim = std::make_unique<SimReader>(w.work.path, so);
    ASSERT_TRUE(w.sim->ok()) << w.sim->output();

    ASSERT_EQ(runLogged({"wineserver", "-p"}, w.wineLog, Millis(30000)), 0);
    w.serverUp = true;
    ASSERT_EQ(w.wine({"reg", "add", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/v", "\\Device\\USBSER000", "/t",
                  "REG_SZ", "/d", "COM5", "/f"}),
        0);

    TarvexApp::Options o;
    o.launcher = {"wine"};
    o.program = kInstalledExe;
    o.env = {{"QT_QPA_PLATFORM", "windows"}};
    o.stateFileForProgram = windowsPath(w.work / "tarvex.state");
    o.deviceDir = w.work.path;
    o.startLimit = Millis(60000);
    w.app = std::make_unique<TarvexApp>(*w.desktop, w.work.path, o);
    ASSERT_TRUE(w.app->ok()) << w.app->error();
    EXPECT_EQ(w.app->state().caption, kCaption);

    ASSERT_TRUE(
        w.app->waitState([](const TarvexState& s) { return s.has(kCdcEntry) && s.has(kMsdEntry); }, Millis(30000)))
        << w.app->state().describe();
    // The README's picture of the Windows program comes from here:
    // WINE_GUI_SCREENSHOT=docs/screenshots/windows-main-window.png
    if (const char* shot = std::getenv("WINE_GUI_SCREENSHOT")) {
        EXPECT_TRUE(w.desktop->screenshot(shot));
    }
}

TEST_F(WineGui, EmptyPcscAndHidStagesFindNothingAndKeepScanning)
{
    World& w = *world;
    ASSERT_TRUE(w.app);
    // The first scan went through every stage; the box cleared itself on
    // finding the reader and the drive. Checked again, the scan runs on
    // (2 s per cycle) until something changes: three more cycles through the
    // empty PC/SC and HID stages, the window unlocking after each.
    ASSERT_TRUE(w.app->waitState([](const TarvexState& s) { return !s.refresh && s.enabled; }, Millis(10000)));
    int width = 0, height = 0;
    ASSERT_TRUE(w.desktop->windowSize(w.app->window(), width, height));
    w.desktop->click(w.app->window(), (kRefreshTw.left + 150) * width / kMainClientWidthTw,
        (kRefreshTw.top + kRefreshTw.height / 2) * width / kMainClientWidthTw);
    ASSERT_TRUE(w.app->waitState([](const TarvexState& s) { return s.refresh; }, Millis(5000)))
        << "the refresh box did not take the click; " << w.app->state().describe();
    const long writes = w.app->state().writes;
    std::this_thread::sleep_for(Millis(6500));
    ASSERT_TRUE(
        w.app->waitState([&](const TarvexState& s) { return s.writes >= writes + 3 && s.enabled; }, Millis(10000)))
        << w.app->state().describe();
    EXPECT_TRUE(w.app->state().refresh) << "the scan saw a change that was none";
    EXPECT_TRUE(w.app->running());
    std::vector<std::string> entries = w.app->state().entries;
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{kCdcEntry, kMsdEntry}));
}

TEST_F(WineGui, ToCcidSendsTheSwitchAndReportsSuccess)
{
    World& w = *world;
    ASSERT_TRUE(w.app);
    const size_t before = w.sim->commands().size();
    const size_t message = w.app->state().messages.size();
    ASSERT_TRUE(w.app->startCommand(kCdcEntry, Button::CCID, "CCID Fake Card Selection")) << w.app->state().describe();
    ASSERT_TRUE(w.app->answerDialog("CCID Fake Card Selection", kCcidDialogWidthTw, {kCcidNoFakeTw}, Millis(10000)));
    const auto text = w.app->answerMessage(message, Millis(30000));
    ASSERT_TRUE(text.has_value()) << "no message box; " << w.app->state().describe();
    EXPECT_EQ(*text, kSuccess);

    const std::vector<std::string> want{
        "FFCAF00004", "FEDD02010A00FF0102030477344D58", "FFCAF00004", "FEDD02000A00FF0102030477344D58", "FFFEFC0000"};
    const std::vector<std::string> all = w.sim->commands();
    const std::vector<std::string> since(all.begin() + std::ptrdiff_t(std::min(before, all.size())), all.end());
    EXPECT_NE(std::search(since.begin(), since.end(), want.begin(), want.end()), since.end())
        << "the reader got: " << ::testing::PrintToString(since);
    // The reader is now a PC/SC reader, which Wine cannot show: it leaves the
    // list, and the window takes input again.
    EXPECT_TRUE(w.app->waitState([](const TarvexState& s) { return !s.has(kCdcEntry) && s.enabled; }, Millis(20000)))
        << w.app->state().describe();
    EXPECT_TRUE(w.app->running());
}

TEST_F(WineGui, MsiUninstallsSilentlyLeavingNoFiles)
{
    World& w = *world;
    w.app.reset();
    w.stopServer();
    const std::string log = w.work / "uninstall.log";
    ASSERT_EQ(w.wine({"msiexec", "/x", windowsPath(w.msi), "/qn", "/l*v", windowsPath(log)}), 0) << readFile(log);
    EXPECT_FALSE(fs::exists(w.driveC() / "Program Files/Tarvex"));
    std::vector<std::string> left;
    for (const std::string& f : filesUnder(w.driveC()))
        if (!w.filesBefore.count(f))
            left.push_back(f);
    EXPECT_TRUE(left.empty()) << "left behind: " << ::testing::PrintToString(left);
    EXPECT_TRUE(installedProducts(w).empty());
}

TEST_F(WineGui, NewerMsiReplacesAnOlderOneInPlace)
{
    World& w = *world;
    ASSERT_TRUE(fs::exists(TARVEX_OLD_MSI)) << TARVEX_OLD_MSI << " is missing: scripts/win-package.sh builds it";
    ASSERT_EQ(w.wine({"msiexec", "/i", windowsPath(TARVEX_OLD_MSI), "/qn"}), 0);
    EXPECT_EQ(installedProducts(w), (std::vector<std::string>{"0.0.1"}));
    ASSERT_EQ(w.wine({"msiexec", "/i", windowsPath(w.msi), "/qn"}), 0);
    EXPECT_EQ(installedProducts(w), (std::vector<std::string>{TARVEX_VERSION}));
    EXPECT_TRUE(fs::exists(w.driveC() / "Program Files/Tarvex/Tarvex.exe"));
    EXPECT_EQ(findNamed(w.driveC(), "Tarvex.lnk").size(), 1u);
    // The other way round is refused, and leaves the newer one as it was.
    EXPECT_NE(w.wine({"msiexec", "/i", windowsPath(TARVEX_OLD_MSI), "/qn"}), 0);
    EXPECT_EQ(installedProducts(w), (std::vector<std::string>{TARVEX_VERSION}));

    ASSERT_EQ(w.wine({"msiexec", "/x", windowsPath(w.msi), "/qn"}), 0);
    std::vector<std::string> left;
    for (const std::string& f : filesUnder(w.driveC()))
        if (!w.filesBefore.count(f))
            left.push_back(f);
    EXPECT_TRUE(left.empty()) << "left behind: " << ::testing::PrintToString(left);
}

// An administrator redeploys a fixed build under the same version: it
// replaces the installed build, files and all, and stays one product.
TEST_F(WineGui, RebuildOfTheSameVersionReplacesTheInstalledOneInPlace)
{
    World& w = *world;
    ASSERT_TRUE(fs::exists(TARVEX_EARLIER_MSI))
        << TARVEX_EARLIER_MSI << " is missing: scripts/win-package.sh builds it";
    const fs::path installed = w.driveC() / "Program Files/Tarvex";
    const fs::path earlier = fs::path(TARVEX_EARLIER_MSI).parent_path() / "earlier/Tarvex";
    const fs::path current = fs::path(w.msi).parent_path() / "Tarvex";
    ASSERT_EQ(w.wine({"msiexec", "/i", windowsPath(TARVEX_EARLIER_MSI), "/qn"}), 0);
    EXPECT_EQ(installedProducts(w), (std::vector<std::string>{TARVEX_VERSION}));
    for (const char* f : kOwnBinaries)
        ASSERT_TRUE(readFile(installed / f) == readFile(earlier / f)) << f << " is not the earlier build's";

    const std::string log = w.work / "redeploy.log";
    ASSERT_EQ(w.wine({"msiexec", "/i", windowsPath(w.msi), "/qn", "/l*v", windowsPath(log)}), 0) << readFile(log);
    EXPECT_EQ(installedProducts(w), (std::vector<std::string>{TARVEX_VERSION})) << "not one entry in the list";
    for (const char* f : kOwnBinaries) {
        const std::string now = readFile(installed / f);
        EXPECT_FALSE(now.empty()) << f << " is gone";
        EXPECT_TRUE(now.empty() || now == readFile(current / f)) << f << " is still the earlier build's";
    }
    EXPECT_EQ(findNamed(w.driveC(), "Tarvex.lnk").size(), 1u);

    ASSERT_EQ(w.wine({"msiexec", "/x", windowsPath(w.msi), "/qn"}), 0);
    EXPECT_TRUE(installedProducts(w).empty());
    std::vector<std::string> left;
    for (const std::string& f : filesUnder(w.driveC()))
        if (!w.filesBefore.count(f))
            left.push_back(f);
    EXPECT_TRUE(left.empty()) << "left behind: " << ::testing::PrintToString(left);
}

} // namespace
} // namespace zn480e2e
