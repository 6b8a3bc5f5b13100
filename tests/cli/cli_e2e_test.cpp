// The real tarvexctl against simulated readers, through this machine's own
// services (a private PC/SC daemon, ptys, a umockdev testbed, a loop-mounted
// drive): what it lists in each personality, switches by serial number with
// the exact commands each reader receives, --all over several readers,
// refusals, a reader that does not come back, progress only on a terminal.
// Real time: the 2000 ms reboot pause and the HID reset's waits are real.
#include "sim_farm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <pty.h>
#include <regex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zn480cli {
namespace {

using zn480e2e::readFile;
using zn480e2e::waitUntil;

const std::string kSwitchHeader = "FEDD02000A";
const std::string kFakeHeader = "FEDD02010A";

std::vector<std::string> toCdc(const std::string& sn)
{
    return {"FFCAF00004", switchCommand(kSwitchHeader, 1, sn), "FFFEFC0000"};
}
std::vector<std::string> toCcid(const std::string& sn, int fake)
{
    return {"FFCAF00004", switchCommand(kFakeHeader, fake, sn), "FFCAF00004", switchCommand(kSwitchHeader, 0, sn),
        "FFFEFC0000"};
}

void expectLine(const std::string& line, const std::string& pattern)
{
    EXPECT_TRUE(std::regex_match(line, std::regex(pattern))) << "line: " << line << "\npattern: " << pattern;
}

std::string explain(const ToolRun& r, SimFarm& farm)
{
    return "status " + std::to_string(r.status) + "\n--- out:\n" + r.out + "--- err:\n" + r.err + farm.describe();
}

class CliOnSimulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveRoot())
            GTEST_SKIP() << "the private PC/SC daemon and the drive need root";
        for (const char* tool : {"pcscd", "umockdev-wrapper", "unshare"})
            if (!onPath(tool))
                GTEST_SKIP() << tool << " is not installed";
    }
};

TEST_F(CliOnSimulator, SwitchRecordCommandsAreTheReadersOwn)
{
    // What the real program sends, against bytes worked out by hand (the
    // window's switch tests have the same), so that neither the program's
    // CRC nor the fixture's own record builder can be wrong unseen.
    SimFarm farm;
    ASSERT_TRUE(farm.add({"cdc", "01020304", false, true, false, false}));
    ASSERT_TRUE(farm.settle(1));
    const ToolRun r = farm.run({"switch", "--to", "hid", "--hid-format", "hex+hash+shift", "--no-wait"});
    ASSERT_EQ(r.status, 0) << explain(r, farm);
    const std::vector<std::string> sent = farm.sim(0).commands();
    const std::vector<std::string> want{
        "FEDD030200", "FEDD0302026040", "FFCAF00004", "FEDD02000A03FC0102030407011969", "FFFEFC0000"};
    EXPECT_NE(std::search(sent.begin(), sent.end(), want.begin(), want.end()), sent.end())
        << ::testing::PrintToString(sent);
    EXPECT_EQ(switchCommand(kSwitchHeader, 3, "01020304"), want[3]);
    EXPECT_EQ(switchCommand(kSwitchHeader, 1, "01020304"), "FEDD02000A01FE01020304AFF5A6FE");
    EXPECT_EQ(switchCommand(kFakeHeader, 2, "01020304"), "FEDD02010A02FD01020304DFC0F2CF");
}

struct ListCase {
    const char* name;
    SimSpec spec;
    bool pcscd;
    std::string text, json;
};

TEST_F(CliOnSimulator, ListsTheReaderInEachPersonalityAsTextAndJson)
{
    const ListCase cases[] = {
        {"CCID", {"ccid", "5A0C3E11", true, true, false, false}, true, "CCID  5A0C3E11  2.166    ZN480 Sim 1 00 00",
            R"j({"personality":"CCID","address":"ZN480 Sim 1 00 00","serial":"5A0C3E11","firmware":"2.166","entry":"CCID ZN480 Sim 1 00 00 - 5A0C3E11 (2.166)"})j"},
        {"CDC", {"cdc", "5A0C3E11", false, true, false, false}, false, "CDC   5A0C3E11  2.166    COM1",
            R"j({"personality":"CDC","address":"COM1","serial":"5A0C3E11","firmware":"2.166","entry":"COM1 ZN480 CDC - 5A0C3E11 (2.166)"})j"},
        {"HID", {"hid", "5A0C3E11", false, true, true, false}, false, "HID   -         -        ZN480 Keyboard 0",
            R"j({"personality":"HID","address":"ZN480 Keyboard 0","serial":null,"firmware":null,"entry":"HID ZN480 Keyboard 0"})j"},
        {"MSD", {"msd", "5A0C3E11", false, false, false, true}, false, "MSD   -         -        -",
            R"j({"personality":"MSD","address":null,"serial":null,"firmware":null,"entry":"MSD ZN480 Mass Storage"})j"},
    };
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.name);
        // The drive is mounted in a mount namespace of a child of this test,
        // which the simulator and the program inherit and nothing else sees.
        const pid_t child = ::fork();
        if (child == 0) {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                _exit(3);
            int failures = 0;
            {
                SimFarm farm;
                if (c.pcscd && !farm.startPcscd(1))
                    _exit(4);
                if (!farm.add(c.spec))
                    _exit(5);
                if (!farm.settle(1))
                    std::fprintf(stderr, "%s: not listed in time\n", c.name);
                const ToolRun text = farm.run({"list"});
                const ToolRun json = farm.run({"list", "--json"});
                auto check = [&](bool ok, const std::string& what, const ToolRun& r) {
                    if (!ok) {
                        std::fprintf(stderr, "%s: %s\n%s\n", c.name, what.c_str(), explain(r, farm).c_str());
                        ++failures;
                    }
                };
                // Without a PC/SC daemon the listing is incomplete, and says so.
                const std::string noPcsc = "PC/SC: the smart-card service is not running (SCARD_E_NO_SERVICE)";
                const std::string noPcscJson
                    = R"j({"result":"unavailable","source":"pcsc","reason":"the smart-card service is not running (SCARD_E_NO_SERVICE)"})j";
                const int status = c.pcscd ? 0 : 5;
                const std::string err = c.pcscd ? "" : "tarvexctl: " + noPcsc + "\n";
                check(text.status == status && text.out == c.text + "\n" && text.err == err, "list", text);
                check(json.status == status && json.out == c.json + "\n" + (c.pcscd ? "" : noPcscJson + "\n")
                        && json.err == err,
                    "list --json", json);
                // Listing sends every reader only the scan's reads.
                check(onlyScanReads(farm.sim(0).commands()), "commands beyond the scan's", text);
            }
            _exit(failures == 0 ? 0 : 1);
        }
        int st = 0;
        ASSERT_EQ(::waitpid(child, &st, 0), child);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "see the output above (status " << st << ")";
    }
}

TEST_F(CliOnSimulator, SwitchesOneReaderBySerialFromCcidToCdcToHidToCcid)
{
    // One reader as the hardware shows it: a PC/SC reader only in CCID, a
    // ttyACM port of a 6A4E USB device in CDC, a keyboard in HID.
    SimFarm farm;
    ASSERT_TRUE(farm.startPcscd(1)) << farm.pcscd()->error();
    ASSERT_TRUE(farm.add({"ccid", "01020304", true, true, true, false}));
    ASSERT_TRUE(farm.settle(1)) << farm.describe();
    FarmSim& sim = farm.sim(0);

    size_t mark = sim.commands().size();
    ToolRun r = farm.run({"switch", "--to", "cdc", "--serial", "01020304"});
    ASSERT_EQ(r.status, 0) << explain(r, farm);
    ASSERT_EQ(r.lines().size(), 1u) << explain(r, farm);
    expectLine(r.lines()[0], R"j(ok 01020304 CCID->CDC COM1 \(\d+\.\d s\))j");
    EXPECT_TRUE(containsRun(since(sim.commands(), mark), toCdc("01020304")))
        << ::testing::PrintToString(since(sim.commands(), mark));
    EXPECT_EQ(r.err, "");

    mark = sim.commands().size();
    r = farm.run({"switch", "--to", "hid", "--serial", "01020304", "--hid-format", "hex+hash+shift"});
    ASSERT_EQ(r.status, 0) << explain(r, farm);
    ASSERT_EQ(r.lines().size(), 1u);
    expectLine(r.lines()[0], R"j(ok 01020304 CDC->HID ZN480 Keyboard 0 \(\d+\.\d s\))j");
    EXPECT_TRUE(containsRun(since(sim.commands(), mark),
        {"FEDD030200", "FEDD0302026040", "FFCAF00004", switchCommand(kSwitchHeader, 3, "01020304"), "FFFEFC0000"}))
        << ::testing::PrintToString(since(sim.commands(), mark));

    // In HID it shows no serial number: by serial it is refused, with the hint.
    r = farm.run({"switch", "--to", "ccid", "--serial", "01020304"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("choose it with --address"), std::string::npos) << r.err;

    // kbflash, beside tarvexctl, plays the reset on the reader's own
    // keyboard node; the reader comes back as CDC and goes on to CCID.
    mark = sim.commands().size();
    r = farm.run({"switch", "--to", "ccid", "--address", "ZN480 Keyboard 0", "--fake-card", "always"});
    ASSERT_EQ(r.status, 0) << explain(r, farm);
    ASSERT_EQ(r.lines().size(), 1u);
    expectLine(r.lines()[0], R"j(ok 01020304 HID->CCID ZN480 Sim 1 00 00 \(\d+\.\d s\))j");
    EXPECT_TRUE(containsRun(since(sim.commands(), mark), toCcid("01020304", 2)))
        << ::testing::PrintToString(since(sim.commands(), mark));
    EXPECT_NE(sim.output().find("LED reset pattern seen: leaving HID for CDC (on /dev/hidraw"), std::string::npos)
        << sim.output();

    r = farm.run({"list"});
    EXPECT_EQ(r.out, "CCID  01020304  2.166    ZN480 Sim 1 00 00\n") << explain(r, farm);
}

TEST_F(CliOnSimulator, AllSwitchesFourReadersInMixedPersonalitiesOneAfterTheOther)
{
    SimFarm farm;
    ASSERT_TRUE(farm.startPcscd(4)) << farm.pcscd()->error();
    const std::string serials[] = {"11111111", "22222222", "33333333", "44444444"};
    const char* personalities[] = {"ccid", "cdc", "ccid", "cdc"};
    for (int k = 0; k < 4; ++k)
        ASSERT_TRUE(farm.add({personalities[k], serials[k], true, true, false, false}));
    ASSERT_TRUE(farm.settle(4)) << farm.describe();
    ToolRun r;

    // To CCID: the two CCID readers are there already and left alone (no
    // card needed, nothing sent), the two CDC ones switched.
    std::vector<size_t> marks;
    for (int k = 0; k < 4; ++k)
        marks.push_back(farm.sim(size_t(k)).commands().size());
    r = farm.run({"switch", "--all", "--to", "ccid", "--fake-card", "never"});
    ASSERT_EQ(r.status, 0) << explain(r, farm);
    ASSERT_EQ(r.lines().size(), 4u) << explain(r, farm);
    // In list order: the PC/SC readers (in the service's order), then the ports.
    std::vector<std::string> lines = r.lines();
    std::sort(lines.begin(), lines.begin() + 2);
    expectLine(lines[0], R"j(unchanged 11111111 CCID->CCID ZN480 Sim 1 00 00: already in CCID personality.*)j");
    expectLine(lines[1], R"j(unchanged 33333333 CCID->CCID ZN480 Sim 3 00 00: already in CCID personality.*)j");
    expectLine(lines[2], R"j(ok 22222222 CDC->CCID ZN480 Sim 2 00 00 \(\d+\.\d s\))j");
    expectLine(lines[3], R"j(ok 44444444 CDC->CCID ZN480 Sim 4 00 00 \(\d+\.\d s\))j");
    for (int k = 0; k < 4; ++k) {
        const std::vector<std::string> sent = since(farm.sim(size_t(k)).commands(), marks[size_t(k)]);
        if (k % 2 == 0)
            EXPECT_TRUE(onlyScanReads(sent)) << k << ": " << ::testing::PrintToString(sent);
        else
            EXPECT_TRUE(containsRun(sent, toCcid(serials[k], 0))) << k << ": " << ::testing::PrintToString(sent);
    }

    // And all to CDC, with the results as JSON, once the service sees every
    // card again (a reader is listed a moment before its card).
    ASSERT_TRUE(farm.settle(4)) << farm.describe();
    r = farm.run({"switch", "--all", "--to", "cdc", "--json"});
    ASSERT_EQ(r.status, 0) << explain(r, farm);
    lines = r.lines();
    ASSERT_EQ(lines.size(), 4u);
    std::sort(lines.begin(), lines.end());
    for (int k = 0; k < 4; ++k)
        expectLine(lines[size_t(k)],
            R"j(\{"result":"ok","serial":")j" + serials[k] + R"j(","from":"CCID","to":"CDC","address":"COM)j"
                + std::to_string(k + 1) + R"j(",.*"message":null,"seconds":\d+\.\d,"changed":true\})j");
    r = farm.run({"list"});
    EXPECT_EQ(r.out,
        "CDC   11111111  2.166    COM1\nCDC   22222222  2.166    COM2\n"
        "CDC   33333333  2.166    COM3\nCDC   44444444  2.166    COM4\n")
        << explain(r, farm);
}

TEST_F(CliOnSimulator, RefusalsAndReadersAlreadyThereSendNothing)
{
    SimFarm farm;
    // A PC/SC service with no readers: without one, a reader nobody has may
    // be a PC/SC reader, and the run says that it could not look there.
    ASSERT_TRUE(farm.startPcscd(1));
    ASSERT_TRUE(farm.add({"cdc", "0A0B0C0D", false, true, false, false}));
    ASSERT_TRUE(farm.add({"cdc", "01020304", false, true, false, false}));
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says; // the start of standard error, or of the line for status 0
    } cases[] = {
        {{"switch", "--to", "hid"}, 3, "tarvexctl: 2 readers are attached: choose one with --serial or --address"},
        {{"switch", "--to", "hid", "--serial", "FFFFFFFF"}, 3,
            "tarvexctl: no reader with serial number FFFFFFFF is listed"},
        {{"switch", "--to", "hid", "--address", "COM7"}, 3, "tarvexctl: no reader at address \"COM7\" is listed"},
        {{"switch", "--to", "usb"}, 2, "tarvexctl: --to takes ccid, cdc or hid"},
        {{"list", "--timeout", "3"}, 2, "tarvexctl: --timeout is not an option of list"},
        // Already there: nothing to do, and nothing opened.
        {{"switch", "--to", "cdc", "--serial", "0a0b0c0d"}, 0, "unchanged 0A0B0C0D CDC->CDC COM"},
        {{"switch", "--to", "ccid", "--all", "--dry-run"}, 0, "switch "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const ToolRun r = farm.run(c.args);
        EXPECT_EQ(r.status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(r.out.rfind(c.says, 0), 0u) << r.out;
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind(c.says, 0), 0u) << r.err;
        }
    }
    for (size_t k = 0; k < farm.count(); ++k)
        EXPECT_TRUE(onlyScanReads(farm.sim(k).commands())) << ::testing::PrintToString(farm.sim(k).commands());
}

TEST_F(CliOnSimulator, AReaderThatDoesNotComeBackIsAFailure)
{
    // This reader has no CCID personality to come back in.
    SimFarm farm;
    ASSERT_TRUE(farm.add({"cdc", "01020304", false, true, false, false}));
    const ToolRun r = farm.run({"switch", "--to", "ccid", "--timeout", "3"});
    EXPECT_EQ(r.status, 4) << explain(r, farm);
    EXPECT_EQ(r.out, "failed 01020304 CDC->CCID COM1: not listed again as CCID within 3 s\n");
    EXPECT_TRUE(containsRun(farm.sim(0).commands(), toCcid("01020304", 255)));
    EXPECT_GE(r.ms, 5000.0); // the reboot pause and the whole timeout
}

// In a forked child: becomes the program, with the farm's environment.
[[noreturn]] void execProgram(SimFarm& farm, const std::vector<std::string>& args)
{
    for (const auto& [k, v] : farm.env())
        ::setenv(k.c_str(), v.c_str(), 1);
    std::vector<std::string> argv = farm.command(args);
    std::vector<char*> p;
    for (auto& a : argv)
        p.push_back(a.data());
    p.push_back(nullptr);
    ::execvp(p[0], p.data());
    _exit(127);
}

// `switch --all | head -1` closes the pipe while a reader may be mid-switch:
// the program must see a failed write, not die of SIGPIPE.
TEST_F(CliOnSimulator, AClosedPipeIsAnErrorNotASuddenDeath)
{
    SimFarm farm;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const std::string errPath = farm.work() + "/closed-pipe.err";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fds[1], 1);
        ::dup2(e, 2);
        execProgram(farm, {"--help"});
    }
    ::close(fds[1]);
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st)) << "killed by signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_NE(readFile(errPath).find("tarvexctl: cannot write the results: Broken pipe"), std::string::npos)
        << readFile(errPath);
}

// Runs the program with its standard error on a terminal (a pty) and
// returns what the terminal got.
std::string runOnTerminal(SimFarm& farm, const std::vector<std::string>& args, int* status, std::string* out)
{
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return {};
    const std::string outPath = farm.work() + "/tty-run.out";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(o, 1);
        ::dup2(slave, 2);
        execProgram(farm, args);
    }
    ::close(slave);
    std::string seen;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0)
            break; // EIO once the program has gone
        seen.append(buf, size_t(n));
    }
    ::close(master);
    int st = 0;
    ::waitpid(pid, &st, 0);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    *out = readFile(outPath);
    return seen;
}

TEST_F(CliOnSimulator, ProgressOnlyOnATerminal)
{
    SimFarm farm;
    ASSERT_TRUE(farm.startPcscd(1));
    ASSERT_TRUE(farm.add({"cdc", "01020304", true, true, false, false}));
    ASSERT_TRUE(farm.settle(1));
    int status = -1;
    std::string out;
    const std::string tty = runOnTerminal(farm, {"switch", "--to", "ccid"}, &status, &out);
    EXPECT_EQ(status, 0) << tty << out;
    expectLine(out, R"j(ok 01020304 CDC->CCID ZN480 Sim 1 00 00 \(\d+\.\d s\)\n)j");
    // What it does and for which reader, rewritten in place, and wiped
    // before the result line.
    EXPECT_NE(tty.find("\rLooking for readers"), std::string::npos) << tty;
    EXPECT_NE(tty.find("\r01020304 CDC->CCID"), std::string::npos) << tty;
    EXPECT_EQ(tty.find('\n'), std::string::npos) << "progress must not leave lines behind: " << tty;

    // The same command without a terminal: not a byte on standard error.
    const ToolRun r = farm.run({"switch", "--to", "cdc"});
    EXPECT_EQ(r.status, 0) << explain(r, farm);
    EXPECT_EQ(r.err, "");
}

TEST_F(CliOnSimulator, WatchPrintsReadersAsTheyComeAndGo)
{
    SimFarm farm;
    ASSERT_TRUE(farm.add({"cdc", "01020304", false, true, false, false}));
    zn480e2e::Child watch;
    const std::string log = farm.work() + "/watch.out";
    ASSERT_TRUE(watch.start(farm.command({"watch"}), farm.env(), log));
    const std::string added = "added  CDC   01020304  2.166    COM1\n";
    EXPECT_TRUE(waitUntil([&] { return readFile(log) == added; }, Millis(10000))) << readFile(log);
    ASSERT_TRUE(farm.sim(0).control("unplug"));
    EXPECT_TRUE(
        waitUntil([&] { return readFile(log) == added + "removed  CDC   01020304  2.166    COM1\n"; }, Millis(10000)))
        << readFile(log);
    ASSERT_TRUE(farm.sim(0).control("plug"));
    EXPECT_TRUE(waitUntil([&] { return readFile(log).size() > added.size() * 2 + 10; }, Millis(10000)));
    watch.stop();
    EXPECT_EQ(readFile(log).substr(readFile(log).rfind("added")), added);
}

} // namespace
} // namespace zn480cli
