// The real Tarvex, under an X server of its own, finds the simulated reader
// in each of its four personalities through this machine's own services: a
// private PC/SC daemon with a virtual reader (CCID), a pty behind the
// serial-port map's device folder (CDC), a umockdev testbed read through
// libudev under umockdev-wrapper (HID), and a loop-mounted drive in a
// private mount namespace (MSD). Real time: the scan ticks every 2 s.
#include "private_pcscd.h"
#include "scan_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zn480scan;

namespace {

const Millis kListed{25000}; // a couple of 2 s ticks, with room for a loaded machine

class ScanInTarvex : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(work_.path.empty());
        ::mkdir((work_ / "dev").c_str(), 0755);
    }

    // Starts the simulator and waits until it shows itself. Under umockdev's
    // preload, its testbed sends the uevents of plugs and unplugs.
    void startSim(std::vector<std::string> args, bool underUmockdev = false)
    {
        args.insert(args.begin(), {ZN480SIM_PATH, "--serial", "5A0C3E11", "--control", work_ / "ctl"});
        if (underUmockdev)
            args.insert(args.begin(), "umockdev-wrapper");
        ASSERT_TRUE(sim_.start(args, {}, work_ / "sim.log"));
        ASSERT_TRUE(waitUntil(
            [&] { return readFile(work_ / "sim.log").find("zn480sim: now ") != std::string::npos; }, Millis(10000)))
            << readFile(work_ / "sim.log");
    }

    // Tarvex on a fresh Xvfb; services it should not find point at nothing,
    // so only the reader under test can show up.
    void startTarvex(std::map<std::string, std::string> env, bool underUmockdev = false)
    {
        env.emplace("ZN480_DEV_DIR", work_ / "dev");
        env.emplace("PCSCLITE_CSOCK_NAME", work_ / "no-pcscd.comm");
        env["TARVEX_STATE_FILE"] = work_ / "state";
        env["XDG_RUNTIME_DIR"] = work_.path;
        env["QT_QPA_PLATFORM"] = "";
        std::vector<std::string> argv = {"sh", XVFB_SCRIPT};
        if (underUmockdev)
            argv.push_back("umockdev-wrapper");
        argv.push_back(TARVEX_PATH);
        ASSERT_TRUE(tarvex_.start(argv, env, work_ / "tarvex.log"));
    }

    // Waits for the entries and for the end of the cycle that added them,
    // which stops the scan by clearing chkRefresh.
    void expectListed(const std::vector<std::string>& entries)
    {
        ListState st;
        const bool found = waitUntil(
            [&] {
                st = readListState(work_ / "state");
                for (auto& e : entries)
                    if (!st.has(e))
                        return false;
                return st.valid && !st.refresh;
            },
            kListed);
        EXPECT_TRUE(found) << st.describe() << "\n--- simulator:\n"
                           << readFile(work_ / "sim.log") << "--- Tarvex:\n"
                           << readFile(work_ / "tarvex.log");
    }

    TempDir work_{"zn480-scan"};
    Process sim_; // stopped after Tarvex (declared first, destroyed last)
    Process tarvex_;
};

TEST_F(ScanInTarvex, FindsTheCcidReaderWithItsIdentity)
{
    zn480test::PrivatePcscd pcscd(std::vector<std::string>{"ZN480 Scan"});
    ASSERT_TRUE(pcscd.ok()) << pcscd.error();
    startSim({"--vpcd-port", std::to_string(pcscd.port(0)), "--personality", "ccid"});
    startTarvex({{"PCSCLITE_CSOCK_NAME", pcscd.socketPath()}});
    expectListed({"CCID ZN480 Scan 00 00 - 5A0C3E11 (2.166)"});
    tarvex_.stop();
    sim_.stop();
}

TEST_F(ScanInTarvex, FindsTheCdcReaderOnItsPort)
{
    startSim({"--cdc-link", work_ / "dev/ttyACM2"});
    startTarvex({});
    expectListed({"COM3 ZN480 CDC - 5A0C3E11 (2.166)"});
}

TEST_F(ScanInTarvex, FindsEveryHidInterfaceInTheTestbed)
{
    startSim({"--hid-testbed", work_ / "testbed", "--hid-interfaces", "2", "--led-display", "none"});
    std::string dir = readFile(work_ / "testbed");
    while (!dir.empty() && dir.back() == '\n')
        dir.pop_back();
    ASSERT_FALSE(dir.empty());
    startTarvex({{"UMOCKDEV_DIR", dir}}, true);
    expectListed({"HID ZN480 Keyboard 0", "HID ZN480 Keyboard 1"});
    tarvex_.stop(); // no client of the testbed may outlive its owner
}

// Plugged while the box is checked, a reader is listed on the device event
// rather than at the next tick. The plug comes right after a cycle has ended
// (the state file is written once per cycle), so the next tick is about
// 2000 ms away; the event's cycle runs within a few tens of milliseconds.
TEST_F(ScanInTarvex, ReaderPluggedWithTheBoxCheckedIsListedBeforeTheNextTick)
{
    startSim({"--hid-testbed", work_ / "testbed", "--led-display", "none"}, true);
    ASSERT_EQ(simControl(work_ / "ctl", "unplug"), "OK\n");
    std::string dir = readFile(work_ / "testbed");
    while (!dir.empty() && dir.back() == '\n')
        dir.pop_back();
    startTarvex({{"UMOCKDEV_DIR", dir}}, true);
    ListState st;
    ASSERT_TRUE(waitUntil(
        [&] {
            st = readListState(work_ / "state");
            return st.valid && st.writes >= 3;
        },
        Millis(20000)))
        << readFile(work_ / "tarvex.log");
    ASSERT_TRUE(st.refresh && st.entries.empty()) << st.describe();

    using Clock = std::chrono::steady_clock;
    const long before = st.writes;
    for (const auto limit = Clock::now() + Millis(5000); readListState(work_ / "state").writes == before;) {
        ASSERT_LT(Clock::now(), limit) << "no scan cycle for 5 s";
        ::usleep(2000);
    }
    const auto cycleEnded = Clock::now();
    ASSERT_EQ(simControl(work_ / "ctl", "plug"), "OK\n");
    ASSERT_TRUE(waitUntil([&] { return readListState(work_ / "state").has("HID ZN480 Keyboard 0"); }, Millis(5000)));
    const auto listed = Clock::now();
    EXPECT_LT(listed - cycleEnded, Millis(1500)) << "listed only at a tick";
    tarvex_.stop(); // no client of the testbed may outlive its owner
}

// The reader in CDC personality is a ttyACM node below a USB device of the
// reader's vendor id, as the hardware is: a probe it does not answer does not
// stop the next cycle from probing it again (ports of other vendors are
// probed once per plug).
TEST_F(ScanInTarvex, ReaderPortThatDidNotAnswerIsProbedAgain)
{
    startSim({"--cdc-link", work_ / "dev/ttyACM2", "--hid-testbed", work_ / "testbed", "--led-display", "none",
                 "--personality", "cdc"},
        true);
    ASSERT_EQ(simControl(work_ / "ctl", "silent on"), "OK\n");
    std::string dir = readFile(work_ / "testbed");
    while (!dir.empty() && dir.back() == '\n')
        dir.pop_back();
    // As udev shows it: the tty below the reader's USB device.
    const std::string walk = work_ / "walk";
    const std::string cmd = "UMOCKDEV_DIR='" + dir + "' umockdev-wrapper udevadm info --attribute-walk "
        + "--path=/sys/class/tty/ttyACM2 >'" + walk + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << readFile(walk);
    EXPECT_NE(readFile(walk).find("ATTRS{idVendor}==\"6a4e\""), std::string::npos) << readFile(walk);
    startTarvex({{"UMOCKDEV_DIR", dir}}, true);
    // Two cycles in which the reader stays silent.
    ListState st;
    ASSERT_TRUE(waitUntil(
        [&] {
            st = readListState(work_ / "state");
            return st.valid && st.writes >= 5;
        },
        Millis(20000)));
    EXPECT_TRUE(st.entries.empty()) << st.describe();
    ASSERT_EQ(simControl(work_ / "ctl", "silent off"), "OK\n");
    expectListed({"COM3 ZN480 CDC - 5A0C3E11 (2.166)"});
    tarvex_.stop();
}

// The drive is mounted in a mount namespace of this test's own, which the
// simulator and Tarvex inherit; no other test or program sees it, and the
// kernel drops the mount with the namespace even if a process is killed.
TEST_F(ScanInTarvex, FindsTheDriveWithTheMarkerFile)
{
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << "needs root";
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    const std::string drive = work_ / "drive";
    startSim({"--msd-mount", drive});
    startTarvex({});
    expectListed({"MSD ZN480 Mass Storage"});
    tarvex_.stop();

    // Unplugging takes the drive away and frees its loop device.
    std::string loop;
    {
        std::ifstream mounts("/proc/self/mounts");
        for (std::string src, dst, rest; mounts >> src >> dst && std::getline(mounts, rest);)
            if (dst == drive)
                loop = src;
    }
    ASSERT_EQ(loop.rfind("/dev/loop", 0), 0u) << loop;
    EXPECT_EQ(simControl(work_ / "ctl", "unplug"), "OK\n");
    EXPECT_EQ(readFile("/proc/self/mounts").find(" " + drive + " "), std::string::npos);
    EXPECT_TRUE(waitUntil(
        [&] { return readFile("/sys/block/" + loop.substr(5) + "/loop/backing_file").empty(); }, Millis(5000)))
        << loop << " is still attached";
}

} // namespace
