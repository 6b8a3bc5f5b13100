// tarvexctl.exe, the Windows build, under Wine against the simulated reader:
// it lists the reader's CDC personality on a Wine COM port and switches it
// to CCID, the reader receiving exactly the commands of the Linux tests.
//
// The Windows side sees COM5, a dosdevices link to the simulator's pty,
// listed in the serial-port map as \Device\USBSER000 (written with
// `wine reg add` while one `wineserver -p` lives: Wine rebuilds the map at
// each server start). Wine's smart-card service is a stub and Wine lists no
// USB HID devices, so a reader switched to CCID cannot be seen coming back:
// the switch runs with --no-wait, and the list afterwards is empty.
#include "sim_farm.h"

#include "run_logged.h"
#include "wine_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <unistd.h>

namespace zn480cli {
namespace {

namespace fs = std::filesystem;
using zn480e2e::readFile;
using zn480wine::unixLines;

struct WineRun {
    int status = -1;
    std::string out, err;
};

class CliUnderWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!onPath("wine") || !onPath("wineserver"))
            GTEST_SKIP() << "Wine is not installed";
        if (!fs::exists(exe_))
            GTEST_SKIP() << exe_ << " is missing: cmake --preset mingw64 && cmake --build --preset mingw64";
        prefix_ = work_ / "prefix";
        ::setenv("WINEPREFIX", prefix_.c_str(), 1);
        ::setenv("WINEDEBUG", "-all", 1);
        ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        log_ = work_ / "wine.log";
        ASSERT_EQ(zn480wine::runLogged({"wineboot", "-i"}, log_, Millis(180000)), 0) << readFile(log_);
        // The reader's port, then the server that keeps the map.
        zn480wine::runLogged({"wineserver", "-w"}, log_, Millis(60000));
        const std::string com5 = prefix_ + "/dosdevices/com5";
        std::error_code ec;
        fs::remove(com5, ec);
        fs::create_directories(work_ / "sim", ec);
        sim_ = std::make_unique<FarmSim>(
            work_ / "sim", std::vector<std::string>{"--cdc-link", com5, "--personality", "cdc"}, false);
        ASSERT_TRUE(sim_->ok()) << sim_->output();
        ASSERT_EQ(zn480wine::runLogged({"wineserver", "-p"}, log_, Millis(30000)), 0);
        serverUp_ = true;
        ASSERT_EQ(zn480wine::runLogged({"wine", "reg", "add", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/v",
                                           "\\Device\\USBSER000", "/t", "REG_SZ", "/d", "COM5", "/f"},
                      log_, Millis(60000)),
            0)
            << readFile(log_);
    }

    void TearDown() override
    {
        // Wine first, then the pty it may still hold.
        if (serverUp_) {
            zn480wine::runLogged({"wineserver", "-k"}, log_, Millis(30000));
            zn480wine::runLogged({"wineserver", "-w"}, log_, Millis(30000));
        }
        sim_.reset();
    }

    // Output in files, never a pipe: Wine's helpers would keep it open.
    WineRun tarvexctl(const std::vector<std::string>& args)
    {
        const std::string stem = work_ / ("run" + std::to_string(runs_++));
        std::vector<std::string> argv{
            "sh", "-c", "exec wine \"$0\" \"$@\" >'" + stem + ".out' 2>'" + stem + ".err'", exe_};
        argv.insert(argv.end(), args.begin(), args.end());
        WineRun r;
        r.status = zn480wine::runLogged(argv, log_, Millis(120000));
        r.out = unixLines(readFile(stem + ".out"));
        r.err = unixLines(readFile(stem + ".err"));
        return r;
    }

    zn480e2e::TempDir work_{"cli-wine"};
    const std::string exe_ = TARVEXCTL_EXE;
    std::string prefix_, log_;
    std::unique_ptr<FarmSim> sim_;
    bool serverUp_ = false;
    int runs_ = 0;
};

TEST_F(CliUnderWine, ListsAndSwitchesTheCdcReaderOnAWineComPort)
{
    // Wine 8's winscard is a stub that lists no readers and says so with
    // an error: the listing is complete but for PC/SC, and tells it.
    const std::string noPcsc = "the smart-card service could not be asked for its readers (SCARD_F_INTERNAL_ERROR)";
    WineRun r = tarvexctl({"list"});
    ASSERT_EQ(r.status, 5) << r.out << r.err << sim_->output();
    EXPECT_EQ(r.out, "CDC   01020304  2.166    COM5\n") << r.err;
    EXPECT_EQ(r.err, "tarvexctl: PC/SC: " + noPcsc + "\n");

    r = tarvexctl({"list", "--json"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out,
        "{\"personality\":\"CDC\",\"address\":\"COM5\",\"serial\":\"01020304\",\"firmware\":\"2.166\","
        "\"entry\":\"COM5 ZN480 CDC - 01020304 (2.166)\"}\n"
        "{\"result\":\"unavailable\",\"source\":\"pcsc\",\"reason\":\""
            + noPcsc + "\"}\n");

    // Already in the target personality: unchanged, nothing sent.
    const size_t before = sim_->commands().size();
    r = tarvexctl({"switch", "--to", "cdc", "--serial", "01020304"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "unchanged 01020304 CDC->CDC COM5: already in CDC personality\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(onlyScanReads(since(sim_->commands(), before)));

    r = tarvexctl({"switch", "--to", "ccid", "--serial", "01020304", "--fake-card", "never", "--no-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex(R"j(ok 01020304 CDC->CCID COM5: switch accepted, not waited for \(2\.\d s\)\n)j")))
        << r.out;
    const std::vector<std::string> sent = since(sim_->commands(), before);
    const std::vector<std::string> want{
        "FFCAF00004", "FEDD02010A00FF0102030477344D58", "FFCAF00004", "FEDD02000A00FF0102030477344D58", "FFFEFC0000"};
    EXPECT_TRUE(containsRun(sent, want)) << ::testing::PrintToString(sent);
    EXPECT_TRUE(sim_->waitOutput("rebooting into CCID", Millis(5000))) << sim_->output();

    // Gone from the serial ports, and not to be seen as a PC/SC reader here.
    r = tarvexctl({"list"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "");
}

} // namespace
} // namespace zn480cli
