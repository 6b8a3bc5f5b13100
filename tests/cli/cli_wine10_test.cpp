// tarvexctl.exe, the Windows build, under Wine 10 with real PC/SC: Wine 10's
// winscard.dll forwards every call to the pcsc-lite of the Debian 13 root
// that scripts/wine10-root.sh makes, so the Windows PC/SC code talks to a
// real pcscd (2.x, run inside that root) whose virtual reader's card is the
// simulator. The reader is seen in CCID personality with its identity,
// switched by serial number through the Windows code path with the exact
// commands at the card, and seen coming back: as CDC on COM5 (a dosdevices
// link to the simulator's pty, listed in the serial-port map), and as CCID
// again through the PC/SC service. Wine lists no USB HID devices, so the
// switch to HID is the one run with --no-wait.
#include "sim_farm.h"

#include "run_logged.h"
#include "wine_text.h"
#include "wine10.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <unistd.h>

namespace zn480cli {
namespace {

namespace fs = std::filesystem;
using zn480e2e::readFile;
using zn480e2e::waitUntil;
using zn480wine::unixLines;

const std::string kSerial = "01020304";

std::vector<std::string> toCdc(const std::string& sn)
{
    return {"FFCAF00004", switchCommand("FEDD02000A", 1, sn), "FFFEFC0000"};
}

struct WineRun {
    int status = -1;
    std::string out, err;
};

// One prefix, one pcscd inside the root, one simulated reader. `readerName`
// is the PC/SC reader's name as configured (UTF-8, as pcsc-lite takes it).
class CliUnderWine10 : public ::testing::Test {
protected:
    void start(const std::string& readerName = "ZN480 Sim 1")
    {
        if (!haveRoot())
            GTEST_SKIP() << "entering the Wine 10 root needs root";
        root_ = zn480wine::wine10Root();
        if (!zn480wine::wine10Ready(root_)) {
            if (zn480wine::wine10Required())
                FAIL() << "no Wine 10 root at " << root_ << " (scripts/wine10-root.sh builds it)";
            GTEST_SKIP() << "no Wine 10 root at " << root_ << ": run scripts/wine10-root.sh";
        }
        if (!fs::exists(exe_))
            GTEST_SKIP() << exe_ << " is missing: scripts/build.sh mingw64";
        prefix_ = work_ / "prefix";
        log_ = work_ / "wine.log";
        ::setenv("WINEPREFIX", prefix_.c_str(), 1);
        ::setenv("WINEDEBUG", "-all", 1);
        ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        // Wine 10 wants a runtime folder of its own, as a desktop session gives.
        ::setenv("XDG_RUNTIME_DIR", zn480wine::runtimeDir(work_.path).c_str(), 1);
        // UTF-8 on the Unix side (command lines, pcsc-lite's names), the
        // default Windows-1252 as the ANSI code page.
        ::setenv("LANG", "C.UTF-8", 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ASSERT_EQ(wine({"wineboot", "-i"}, 240000), 0) << readFile(log_);
        wine({"wineserver", "-w"}, 60000);

        // pcsc-lite 2 asks polkit, which no test machine runs.
        const zn480cli::PcscdHost host{root_, zn480wine::inWine10({work_.path}, {}), {"--disable-polkit"}};
        pcscd_ = std::make_unique<SharedPcscd>(work_.path, 1, std::vector<std::string>{readerName}, host);
        ASSERT_TRUE(pcscd_->ok()) << pcscd_->error();
        ::setenv("PCSCLITE_CSOCK_NAME", pcscd_->socketPath().c_str(), 1);

        const std::string com5 = prefix_ + "/dosdevices/com5";
        std::error_code ec;
        fs::remove(com5, ec);
        fs::create_directories(work_ / "sim", ec);
        sim_ = std::make_unique<FarmSim>(work_ / "sim",
            std::vector<std::string>{"--serial", kSerial, "--personality", "ccid", "--cdc-link", com5, "--vpcd-port",
                std::to_string(pcscd_->port(0)), "--ccid-service", pcscd_->service(0)},
            false);
        ASSERT_TRUE(sim_->ok()) << sim_->output();
        // The serial-port map lasts as long as the server that holds it.
        ASSERT_EQ(wine({"wineserver", "-p"}, 30000), 0) << readFile(log_);
        serverUp_ = true;
        ASSERT_EQ(wine({"wine", "reg", "add", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/v", "\\Device\\USBSER000",
                           "/t", "REG_SZ", "/d", "COM5", "/f"},
                      60000),
            0)
            << readFile(log_);
    }

    void TearDown() override
    {
        // Wine first, then the pty it may hold, then the daemon.
        if (serverUp_) {
            wine({"wineserver", "-k"}, 30000);
            wine({"wineserver", "-w"}, 30000);
        }
        sim_.reset();
        pcscd_.reset();
    }

    int wine(const std::vector<std::string>& argv, int ms)
    {
        return zn480wine::runLogged(zn480wine::inWine10({work_.path}, argv), log_, Millis(ms));
    }

    // Output in files, never a pipe: Wine's helpers would keep it open.
    WineRun tarvexctl(const std::vector<std::string>& args)
    {
        const std::string stem = work_ / ("run" + std::to_string(runs_++));
        std::vector<std::string> argv{
            "sh", "-c", "exec wine \"$0\" \"$@\" >'" + stem + ".out' 2>'" + stem + ".err'", exe_};
        argv.insert(argv.end(), args.begin(), args.end());
        WineRun r;
        r.status = wine(argv, 120000);
        r.out = unixLines(readFile(stem + ".out"));
        r.err = unixLines(readFile(stem + ".err"));
        return r;
    }

    // The card is seen a moment after its reader.
    WineRun listUntil(const std::string& want, Millis limit = Millis(20000))
    {
        WineRun r;
        waitUntil(
            [&] {
                r = tarvexctl({"list"});
                return r.out == want;
            },
            limit);
        return r;
    }

    std::string explain(const WineRun& r) const
    {
        return "status " + std::to_string(r.status) + "\n--- out:\n" + r.out + "--- err:\n" + r.err + "--- simulator:\n"
            + sim_->output() + "--- pcscd:\n" + readFile(work_ / "pcscd/pcscd.log");
    }

    zn480e2e::TempDir work_{"cli-wine10"};
    const std::string exe_ = TARVEXCTL_EXE;
    std::string root_, prefix_, log_;
    std::unique_ptr<SharedPcscd> pcscd_;
    std::unique_ptr<FarmSim> sim_;
    bool serverUp_ = false;
    int runs_ = 0;
};

TEST_F(CliUnderWine10, ListsTheCcidReaderAndSwitchesItThroughTheWindowsPcscPath)
{
    start();
    if (IsSkipped() || HasFatalFailure())
        return;
    const std::string ccidLine = "CCID  01020304  2.166    ZN480 Sim 1 00 00\n";
    WineRun r = listUntil(ccidLine);
    ASSERT_EQ(r.out, ccidLine) << explain(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    r = tarvexctl({"list", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
        "{\"personality\":\"CCID\",\"address\":\"ZN480 Sim 1 00 00\",\"serial\":\"01020304\",\"firmware\":"
        "\"2.166\",\"entry\":\"CCID ZN480 Sim 1 00 00 - 01020304 (2.166)\"}\n")
        << explain(r);

    // CCID -> CDC: the reader is waited for until it is listed on COM5.
    size_t before = sim_->commands().size();
    r = tarvexctl({"switch", "--to", "cdc", "--serial", kSerial});
    EXPECT_EQ(r.status, 0) << explain(r);
    EXPECT_TRUE(std::regex_match(r.out, std::regex(R"(ok 01020304 CCID->CDC COM5 \(\d+\.\d s\)\n)"))) << r.out;
    std::vector<std::string> sent = since(sim_->commands(), before);
    EXPECT_TRUE(containsRun(sent, toCdc(kSerial))) << ::testing::PrintToString(sent);

    // CDC -> CCID: back through the PC/SC service, also waited for.
    before = sim_->commands().size();
    r = tarvexctl({"switch", "--to", "ccid", "--serial", kSerial, "--fake-card", "never"});
    EXPECT_EQ(r.status, 0) << explain(r);
    EXPECT_TRUE(std::regex_match(r.out, std::regex(R"(ok 01020304 CDC->CCID ZN480 Sim 1 00 00 \(\d+\.\d s\)\n)")))
        << r.out;
    sent = since(sim_->commands(), before);
    EXPECT_TRUE(containsRun(sent,
        {"FFCAF00004", switchCommand("FEDD02010A", 0, kSerial), "FFCAF00004", switchCommand("FEDD02000A", 0, kSerial),
            "FFFEFC0000"}))
        << ::testing::PrintToString(sent);

    // CCID -> HID: Wine shows no USB HID devices, so it is not waited for.
    r = listUntil(ccidLine);
    ASSERT_EQ(r.out, ccidLine) << explain(r);
    before = sim_->commands().size();
    r = tarvexctl({"switch", "--to", "hid", "--serial", kSerial, "--no-wait"});
    EXPECT_EQ(r.status, 0) << explain(r);
    EXPECT_TRUE(std::regex_match(r.out,
        std::regex(R"(ok 01020304 CCID->HID ZN480 Sim 1 00 00: switch accepted, not waited for \(\d+\.\d s\)\n)")))
        << r.out;
    sent = since(sim_->commands(), before);
    EXPECT_TRUE(containsRun(
        sent, {"FEDD030200", "FEDD0302020040", "FFCAF00004", switchCommand("FEDD02000A", 3, kSerial), "FFFEFC0000"}))
        << ::testing::PrintToString(sent);
}

// A reader name with a byte outside ASCII: pcsc-lite names are UTF-8, the
// program's are the ANSI code page's (Windows-1252 here), and Wine's
// winscard converts between the two. The name is listed, and the reader is
// addressed by it.
TEST_F(CliUnderWine10, ReaderNameOutsideAsciiIsListedAndAddressed)
{
    start("ZN480 Caf\xC3\xA9");
    if (IsSkipped() || HasFatalFailure())
        return;
    const std::string ansiName = "ZN480 Caf\xE9 00 00";
    const std::string line = "CCID  01020304  2.166    " + ansiName + "\n";
    WineRun r = listUntil(line);
    ASSERT_EQ(r.out, line) << explain(r);

    r = tarvexctl({"list", "--json"});
    EXPECT_NE(r.out.find("\"address\":\"ZN480 Caf\xC3\xA9 00 00\""), std::string::npos) << explain(r);

    const size_t before = sim_->commands().size();
    r = tarvexctl({"switch", "--to", "cdc", "--address", "ZN480 Caf\xC3\xA9 00 00", "--no-wait"});
    EXPECT_EQ(r.status, 0) << explain(r);
    const std::vector<std::string> sent = since(sim_->commands(), before);
    EXPECT_TRUE(containsRun(sent, toCdc(kSerial))) << ::testing::PrintToString(sent);
}

} // namespace
} // namespace zn480cli
