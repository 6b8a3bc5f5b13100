// list, switch and watch on the reader core against the fake world: the
// exact commands each reader gets, the line per reader, the exit status,
// the refusals that send nothing, and the window's failure texts.
#include "cli_world.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

namespace tarvexctl::testing {
namespace {

const std::vector<std::string> kToCdc{"FFCAF00004", "FEDD02000A01FE01020304AFF5A6FE", "FFFEFC0000"};
const std::vector<std::string> kToHidHashShift{
    "FEDD030200", "FEDD0302026040", "FFCAF00004", "FEDD02000A03FC0102030407011969", "FFFEFC0000"};
const std::vector<std::string> kToCcidAlways{
    "FFCAF00004", "FEDD02010A02FD01020304DFC0F2CF", "FFCAF00004", "FEDD02000A00FF0102030477344D58", "FFFEFC0000"};
const std::vector<std::string> kToCcidNever{
    "FFCAF00004", "FEDD02010A00FF0102030477344D58", "FFCAF00004", "FEDD02000A00FF0102030477344D58", "FFFEFC0000"};

// Only what the scan reads of every reader it sees: the probe and the
// identity.
bool onlyScanReads(const std::vector<std::string>& commands)
{
    for (const std::string& c : commands)
        if (c != "FFCAE00000" && c != "FFCAF00004" && c != "FFCAE00004")
            return false;
    return true;
}

bool sentWithPrefix(const std::vector<std::string>& commands, const std::string& prefix)
{
    return std::any_of(commands.begin(), commands.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
}

void expectLine(const std::string& line, const std::string& pattern)
{
    EXPECT_TRUE(std::regex_match(line, std::regex(pattern))) << "line: " << line << "\npattern: " << pattern;
}

TEST(Switch, OneReaderBySerialThroughEveryPersonality)
{
    CliWorld w;
    SimulatedReader& r = w.add(SimPersonality::CCID, "01020304");

    size_t mark = r.model.log().size();
    auto run = w.run({"switch", "--to", "cdc", "--serial", "01020304"});
    EXPECT_EQ(run.status, kExitOk);
    ASSERT_EQ(run.console.lines.size(), 1u);
    expectLine(run.console.lines[0], R"j(ok 01020304 CCID->CDC COM3 \(2\.\d s\))j");
    EXPECT_TRUE(containsRun(commandsSince(r, mark), kToCdc)) << ::testing::PrintToString(commandsSince(r, mark));
    EXPECT_TRUE(run.console.messages.empty()) << run.console.messages[0];

    mark = r.model.log().size();
    run = w.run({"switch", "--to", "hid", "--serial", "01020304", "--hid-format", "hex+hash+shift"});
    EXPECT_EQ(run.status, kExitOk);
    ASSERT_EQ(run.console.lines.size(), 1u);
    expectLine(run.console.lines[0], R"j(ok 01020304 CDC->HID ZN480 Keyboard 0 \(2\.\d s\))j");
    // The keyboard is the reader as soon as it is listed: it never shows
    // the serial number to wait for.
    EXPECT_LT(run.endMs - run.startMs, 2200u);
    EXPECT_TRUE(containsRun(commandsSince(r, mark), kToHidHashShift));

    // A keyboard has no serial number: chosen by its address; the reset
    // makes it a CDC reader again, whose serial number the line then shows.
    mark = r.model.log().size();
    const size_t started = w.fakes.launcher.startTimes.size();
    run = w.run({"switch", "--to", "ccid", "--address", "ZN480 Keyboard 0", "--fake-card", "always"});
    EXPECT_EQ(run.status, kExitOk);
    ASSERT_EQ(run.console.lines.size(), 1u);
    expectLine(run.console.lines[0], R"j(ok 01020304 HID->CCID ZN480 Sim 0 \(\d+\.\d s\))j");
    EXPECT_TRUE(containsRun(commandsSince(r, mark), kToCcidAlways)) << ::testing::PrintToString(commandsSince(r, mark));
    ASSERT_EQ(w.fakes.launcher.startTimes.size(), started + 2);
    EXPECT_EQ(w.fakes.launcher.started.back(), "/opt/tarvex/kbflash");
    EXPECT_GE(w.fakes.launcher.startTimes[started + 1] - w.fakes.launcher.startTimes[started], 7000u);
    // The status line said what it was doing and for how long.
    const auto& st = run.console.statuses;
    EXPECT_TRUE(std::any_of(st.begin(), st.end(), [](const std::string& s) {
        return s.find("ZN480 Keyboard 0 HID->CCID: Resetting HID device... 5 s") != std::string::npos;
    })) << ::testing::PrintToString(st);
}

TEST(Switch, TheWaitEndsWithTheFirstCycleThatListsTheReader)
{
    // The reader restarts in 1000 ms, within the 2000 ms pause: the cycle
    // right after the pause finds it, with no tick to wait for.
    CliWorld w;
    w.add(SimPersonality::CDC, "01020304");
    const auto run = w.run({"switch", "--to", "ccid"});
    EXPECT_EQ(run.status, kExitOk);
    // The look that chooses, the fresh one at the reader's turn, and the one
    // that finds it back.
    EXPECT_EQ(run.cycles, 3u);
    EXPECT_LT(run.endMs - run.startMs, 2200u);

    // One that takes longer is found within a poll of its return.
    CliWorld slow;
    slow.add(SimPersonality::CCID, "01020304").restartMs = 4000;
    const auto late = slow.run({"switch", "--to", "cdc"});
    EXPECT_EQ(late.status, kExitOk);
    EXPECT_GE(late.endMs - late.startMs, 4000u);
    EXPECT_LT(late.endMs - late.startMs, 4200u);
}

TEST(Switch, AReaderThatDoesNotComeBackFailsAfterTheTimeout)
{
    CliWorld w;
    SimulatedReader& r = w.add(SimPersonality::CCID, "01020304");
    r.comesBack = false;
    const auto run = w.run({"switch", "--to", "cdc", "--timeout", "5"});
    EXPECT_EQ(run.status, kExitNotBack);
    ASSERT_EQ(run.console.lines.size(), 1u);
    EXPECT_EQ(run.console.lines[0], "failed 01020304 CCID->CDC ZN480 Sim 0: not listed again as CDC within 5 s");
    EXPECT_TRUE(containsRun(r.model.log(), kToCdc));
    const uint32_t took = run.endMs - run.startMs;
    EXPECT_GE(took, 7000u); // the reboot pause, then the whole timeout
    EXPECT_LT(took, 7400u);
    // It kept looking: a cycle every tenth of a second.
    EXPECT_GE(run.cycles, 45u);

    // --no-wait reports the accepted switch and does not look.
    CliWorld once;
    once.add(SimPersonality::CCID, "01020304").comesBack = false;
    const auto quick = once.run({"switch", "--to", "cdc", "--no-wait"});
    EXPECT_EQ(quick.status, kExitOk);
    ASSERT_EQ(quick.console.lines.size(), 1u);
    expectLine(
        quick.console.lines[0], R"j(ok 01020304 CCID->CDC ZN480 Sim 0: switch accepted, not waited for \(2\.\d s\))j");
}

struct Refusal {
    const char* what;
    std::vector<std::pair<SimPersonality, std::string>> readers;
    std::vector<std::string> args;
    const char* says;
    int status = kExitRefused;
};

TEST(Switch, RefusalsSendNothingAndHaveTheirOwnStatus)
{
    const char* const onlyHid = "Due to how HID devices are handled it is required to remove the other ZN480 "
                                "present and try again. Only the HID device must be present in the list.";
    const Refusal cases[] = {
        {"several readers, none chosen", {{SimPersonality::CCID, "01020304"}, {SimPersonality::CDC, "0A0B0C0D"}},
            {"switch", "--to", "hid"},
            "2 readers are attached: choose one with --serial or --address, or all with --all"},
        {"nothing attached", {}, {"switch", "--to", "cdc"}, "no reader is attached"},
        {"a serial number nobody has", {{SimPersonality::CDC, "0A0B0C0D"}},
            {"switch", "--to", "ccid", "--serial", "01020304"}, "no reader with serial number 01020304 is listed"},
        {"a serial number two readers have", {{SimPersonality::CCID, "01020304"}, {SimPersonality::CDC, "01020304"}},
            {"switch", "--to", "hid", "--serial", "01020304"},
            "2 readers have serial number 01020304: choose one with --address"},
        {"an address nobody has", {{SimPersonality::CDC, "0A0B0C0D"}}, {"switch", "--to", "ccid", "--address", "COM9"},
            "no reader at address \"COM9\" is listed"},
        {"the drive entry, which has no command channel", {{SimPersonality::MSD, "0A0B0C0D"}},
            {"switch", "--to", "ccid"}, "a reader in MSD personality has no command channel"},
        // Nothing is sent, not even the LED pattern: a refusal, not a failure.
        {"a HID reader beside another reader", {{SimPersonality::HID, "01020304"}, {SimPersonality::CDC, "0A0B0C0D"}},
            {"switch", "--to", "ccid", "--address", "ZN480 Keyboard 0"}, onlyHid},
        // main's own mapping of a command line it cannot read.
        {"bad arguments", {{SimPersonality::CDC, "0A0B0C0D"}}, {"switch", "--to", "cdc", "--timeout", "0"},
            "--timeout takes whole seconds", kExitUsage},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        CliWorld w;
        for (const auto& [p, serial] : c.readers)
            w.add(p, serial);
        const auto run = w.run(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(run.console.lines.empty());
        ASSERT_EQ(run.console.messages.size(), 1u);
        EXPECT_EQ(run.console.messages[0].rfind(c.says, 0), 0u) << run.console.messages[0];
        for (const auto& r : w.readers)
            EXPECT_TRUE(onlyScanReads(r->model.log())) << ::testing::PrintToString(r->model.log());
        EXPECT_TRUE(w.fakes.launcher.started.empty());

        // With --json the caller reads one stream: the refusal is a document on it.
        std::vector<std::string> json = c.args;
        json.push_back("--json");
        const auto j = w.run(json);
        EXPECT_EQ(j.status, c.status);
        ASSERT_EQ(j.console.lines.size(), 1u);
        expectLine(j.console.lines[0],
            std::string(R"j(\{"result":")j") + (c.status == kExitUsage ? "error" : "refused")
                + R"j(","reason":".+"\})j");
    }
}

struct Failure {
    const char* what;
    std::function<void(CliWorld&)> setUp;
    std::vector<std::string> args;
    std::string line;
};

TEST(Switch, FailuresCarryTheWindowsTexts)
{
    const Failure cases[] = {
        {"firmware too old", [](CliWorld& w) { w.add(SimPersonality::CCID, "01020304", 165); },
            {"switch", "--to", "cdc"},
            "failed 01020304 CCID->CDC ZN480 Sim 0: Version equal or greater than 2.166 is required for this mode."},
        {"HID format refused",
            [](CliWorld& w) {
                w.add(SimPersonality::CDC, "01020304").model.refuse({0xFE, 0xDD, 0x03, 0x02, 0x02}, 0x6A82);
            },
            {"switch", "--to", "hid"}, "failed 01020304 CDC->HID COM3: Failed to set HID serial number format!"},
        {"fake-card setting refused",
            [](CliWorld& w) {
                w.add(SimPersonality::CDC, "01020304").model.refuse({0xFE, 0xDD, 0x02, 0x01}, 0x6A82);
            },
            {"switch", "--to", "ccid"}, "failed 01020304 CDC->CCID COM3: Failed to set fake mode configuration!"},
        {"switch refused",
            [](CliWorld& w) {
                w.add(SimPersonality::CDC, "01020304").model.refuse({0xFE, 0xDD, 0x02, 0x00}, 0x6A82);
            },
            {"switch", "--to", "ccid"}, "failed 01020304 CDC->CCID COM3: the reader did not accept the switch"},
        {"no card on a CCID reader, nobody to put one",
            [](CliWorld& w) {
                SimulatedReader& r = w.add(SimPersonality::CDC, "01020304");
                r.cardPresent = false;
                w.show(r, SimPersonality::CCID);
            },
            {"switch", "--to", "cdc"},
            "failed - CCID->CDC ZN480 Sim 0: CCID devices require a valid card present to be connected, please put a "
            "supported contactless card over the reader."},
        {"no LED tool",
            [](CliWorld& w) {
                w.add(SimPersonality::HID, "01020304");
                w.fakes.launcher.canStart = false;
            },
            {"switch", "--to", "cdc"}, "failed - HID->CDC ZN480 Keyboard 0: Failed to find kbflash"},
        {"the reader stays a keyboard",
            [](CliWorld& w) {
                w.add(SimPersonality::HID, "01020304");
                w.onKbflash = [&w](int) {
                    w.readers[0]->returning.reset();
                    w.show(*w.readers[0], SimPersonality::HID);
                };
            },
            {"switch", "--to", "cdc"}, "failed - HID->CDC ZN480 Keyboard 0: HID clear operation failed."},
    };
    for (const Failure& c : cases) {
        SCOPED_TRACE(c.what);
        CliWorld w;
        c.setUp(w);
        const auto run = w.run(c.args);
        EXPECT_EQ(run.status, kExitFailed);
        ASSERT_EQ(run.console.lines.size(), 1u);
        EXPECT_EQ(run.console.lines[0], c.line);
    }
}

TEST(Switch, TheCardPromptIsAnsweredForTheCardWait)
{
    CliWorld w;
    SimulatedReader& r = w.add(SimPersonality::CDC, "01020304");
    r.cardPresent = false;
    w.show(r, SimPersonality::CCID);
    // The card comes 1.2 s after the first try to open the reader.
    uint32_t firstOpen = 0;
    w.onListing = [&] {
        if (!w.fakes.pcsc.calls.empty() && firstOpen == 0)
            firstOpen = w.fakes.clock.now;
        if (firstOpen && w.fakes.clock.now - firstOpen >= 1200 && !w.fakes.pcsc.readers.empty())
            w.fakes.pcsc.readers[0].cardPresent = true;
    };
    const auto run = w.run({"switch", "--to", "cdc", "--card-wait", "5"});
    EXPECT_EQ(run.status, kExitOk);
    ASSERT_EQ(run.console.lines.size(), 1u);
    expectLine(run.console.lines[0], R"j(ok 01020304 CCID->CDC COM3 \(\d+\.\d s\))j");
    ASSERT_EQ(run.console.messages.size(), 1u);
    EXPECT_NE(run.console.messages[0].find("put a supported contactless card over the reader. (waiting up to 5 s)"),
        std::string::npos);
    EXPECT_TRUE(containsRun(r.model.log(), kToCdc));
}

TEST(Switch, AllSwitchesEveryListedReaderInTurn)
{
    CliWorld w;
    SimulatedReader& a = w.add(SimPersonality::CCID, "01020304");
    SimulatedReader& b = w.add(SimPersonality::CDC, "0A0B0C0D");
    SimulatedReader& c = w.add(SimPersonality::CCID, "11223344");
    w.add(SimPersonality::MSD, "55667788");

    auto run = w.run({"switch", "--all", "--to", "cdc"});
    // Neither the reader already there nor the drive entry is a failure.
    EXPECT_EQ(run.status, kExitOk);
    ASSERT_EQ(run.console.lines.size(), 4u) << ::testing::PrintToString(run.console.lines);
    // In list order: the scan lists PC/SC readers, then ports, then drives.
    expectLine(run.console.lines[0], R"j(ok 01020304 CCID->CDC COM3 \(2\.\d s\))j");
    expectLine(run.console.lines[1], R"j(ok 11223344 CCID->CDC COM5 \(2\.\d s\))j");
    EXPECT_EQ(run.console.lines[2], "unchanged 0A0B0C0D CDC->CDC COM4: already in CDC personality");
    EXPECT_EQ(run.console.lines[3],
        "unsupported - MSD->CDC -: a reader in MSD personality has no command channel: it cannot be switched from "
        "here");
    EXPECT_TRUE(containsRun(a.model.log(), kToCdc));
    EXPECT_TRUE(sentWithPrefix(c.model.log(), "FEDD02000A01FE11223344"));
    EXPECT_TRUE(onlyScanReads(b.model.log()));

    w.show(*w.readers[3], std::nullopt);
    const size_t marks[] = {a.model.log().size(), b.model.log().size(), c.model.log().size()};
    run = w.run({"switch", "--all", "--to", "ccid", "--fake-card", "never", "--json"});
    EXPECT_EQ(run.status, kExitOk);
    // All three are serial ports now, in the order the ports came.
    ASSERT_EQ(run.console.lines.size(), 3u);
    expectLine(run.console.lines[0],
        R"j(\{"result":"ok","serial":"0A0B0C0D","from":"CDC","to":"CCID","address":"ZN480 Sim 1",)j"
        R"j("entry":"CCID ZN480 Sim 1 - 0A0B0C0D \(2\.166\)","message":null,"seconds":2\.\d,"changed":true\})j");
    expectLine(run.console.lines[1], R"j(\{"result":"ok","serial":"01020304",.*)j");
    expectLine(run.console.lines[2], R"j(\{"result":"ok","serial":"11223344",.*)j");
    EXPECT_TRUE(containsRun(commandsSince(a, marks[0]), kToCcidNever));
    EXPECT_TRUE(sentWithPrefix(commandsSince(b, marks[1]), "FEDD02010A00FF0A0B0C0D"));
    EXPECT_TRUE(sentWithPrefix(commandsSince(b, marks[1]), "FEDD02000A00FF0A0B0C0D"));
    EXPECT_TRUE(sentWithPrefix(commandsSince(c, marks[2]), "FEDD02000A00FF11223344"));
}

TEST(List, OneLineOrObjectPerReader)
{
    CliWorld w;
    w.add(SimPersonality::CCID, "01020304");
    w.add(SimPersonality::CDC, "0A0B0C0D");
    w.add(SimPersonality::HID, "11223344");
    w.add(SimPersonality::MSD, "55667788");
    auto run = w.run({"list"});
    EXPECT_EQ(run.status, kExitOk);
    EXPECT_EQ(run.console.lines,
        (std::vector<std::string>{
            "CCID  01020304  2.166    ZN480 Sim 0",
            "CDC   0A0B0C0D  2.166    COM4",
            "HID   -         -        ZN480 Keyboard 0",
            "MSD   -         -        -",
        }));
    EXPECT_EQ(run.cycles, 1u);
    // One document per line, as every command writes them.
    run = w.run({"list", "--json"});
    ASSERT_EQ(run.console.lines.size(), 4u);
    EXPECT_EQ(run.console.lines[1],
        R"j({"personality":"CDC","address":"COM4","serial":"0A0B0C0D","firmware":"2.166",)j"
        R"j("entry":"COM4 ZN480 CDC - 0A0B0C0D (2.166)"})j");
    EXPECT_EQ(run.console.lines[3],
        R"j({"personality":"MSD","address":null,"serial":null,"firmware":null,)j"
        R"j("entry":"MSD ZN480 Mass Storage"})j");

    CliWorld empty;
    auto none = empty.run({"list", "--json"});
    EXPECT_EQ(none.status, kExitOk);
    EXPECT_TRUE(none.console.lines.empty());
    EXPECT_TRUE(empty.run({"list"}).console.lines.empty());
}

// A source that could not be looked at is not "no reader there": list
// prints what it found, tells each unavailable source (standard error, and
// a JSON object with --json) and exits with its own status; a switch that
// finds nothing says the same instead of refusing. Failures that the window
// has always let pass quietly (no PC/SC readers, a port another program
// holds, a machine without a serial-port key) stay quiet.
struct SourceCase {
    const char* name;
    std::function<void(CliWorld&)> breakIt;
    // The message, "" when nothing is to be reported; and the JSON object.
    std::string message, json;
    size_t listed; // readers still listed (of a CCID, a CDC and an MSD one)
};

TEST(Sources, EachUnavailableSourceIsReportedWithItsOwnExitStatus)
{
    using tarvex::pcsc::Result;
    auto pcscFails = [](Result r) { return [r](CliWorld& w) { w.fakes.pcsc.establishResult = r; }; };
    const SourceCase cases[] = {
        {"PC/SC service not running", pcscFails(tarvex::pcsc::E_NO_SERVICE),
            "PC/SC: the smart-card service is not running (SCARD_E_NO_SERVICE)",
            R"j({"result":"unavailable","source":"pcsc","reason":"the smart-card service is not running (SCARD_E_NO_SERVICE)"})j",
            2},
        {"PC/SC refused by polkit", pcscFails(tarvex::pcsc::F_COMM_ERROR),
            "PC/SC: the smart-card service turned this program away (SCARD_F_COMM_ERROR; a session that is not the "
            "active local one is refused by polkit)",
            R"j({"result":"unavailable","source":"pcsc","reason":"the smart-card service turned this program away (SCARD_F_COMM_ERROR; a session that is not the active local one is refused by polkit)"})j",
            2},
        {"PC/SC listing fails",
            [](CliWorld& w) {
                w.fakes.pcsc.readers.push_back({});
                w.fakes.pcsc.readers.back().name = std::string(3000, 'x'); // more than the listing's buffer
            },
            "PC/SC: the smart-card service could not be asked for its readers (SCARD_E_INSUFFICIENT_BUFFER)",
            R"j({"result":"unavailable","source":"pcsc","reason":"the smart-card service could not be asked for its readers (SCARD_E_INSUFFICIENT_BUFFER)"})j",
            2},
        {"serial channel library missing",
            [](CliWorld& w) {
                w.fakes.serchan.unusable = "/opt/tarvex/libserchan.so could not be loaded";
                w.fakes.serchan.ports.clear();
            },
            "serial ports: the serial channel library cannot be used: /opt/tarvex/libserchan.so could not be loaded",
            R"j({"result":"unavailable","source":"serial","reason":"the serial channel library cannot be used: /opt/tarvex/libserchan.so could not be loaded"})j",
            2},
        {"port without permission",
            [](CliWorld& w) {
                w.fakes.serchan.ports[4] = false;
                w.fakes.serialMap.forbidden["COM4"] = "/dev/ttyACM3: Permission denied";
            },
            "serial ports: COM4 cannot be opened: /dev/ttyACM3: Permission denied",
            R"j({"result":"unavailable","source":"serial","reason":"COM4 cannot be opened: /dev/ttyACM3: Permission denied"})j",
            2},
        {"serial port list unreadable",
            [](CliWorld& w) {
                w.fakes.serialMap.opens = false;
                w.fakes.serialMap.unreadable = "udev could not list the tty devices";
            },
            "serial ports: the list of serial ports cannot be read: udev could not list the tty devices",
            R"j({"result":"unavailable","source":"serial","reason":"the list of serial ports cannot be read: udev could not list the tty devices"})j",
            2},
        {"HID search failed",
            [](CliWorld& w) {
                w.fakes.hid.ok = false;
                w.fakes.hid.failure = "udev could not list the hid devices";
            },
            "HID: the search for HID interfaces failed: udev could not list the hid devices",
            R"j({"result":"unavailable","source":"hid","reason":"the search for HID interfaces failed: udev could not list the hid devices"})j",
            3},
        {"drives unreadable",
            [](CliWorld& w) { w.fakes.drives.unlisted = "/proc/self/mounts cannot be read: Permission denied"; },
            "drives: the drives cannot be listed: /proc/self/mounts cannot be read: Permission denied",
            R"j({"result":"unavailable","source":"drives","reason":"the drives cannot be listed: /proc/self/mounts cannot be read: Permission denied"})j",
            2},
        // What is no failure to look.
        {"no PC/SC readers", [](CliWorld& w) { w.fakes.pcsc.readers.clear(); }, "", "", 2},
        {"port held by another program", [](CliWorld& w) { w.fakes.serchan.ports[4] = false; }, "", "", 2},
        {"no serial-port map at all", [](CliWorld& w) { w.fakes.serialMap.opens = false; }, "", "", 2},
    };
    for (const SourceCase& c : cases) {
        SCOPED_TRACE(c.name);
        CliWorld w;
        w.add(SimPersonality::CCID, "01020304");
        w.add(SimPersonality::CDC, "0A0B0C0D");
        w.add(SimPersonality::MSD, "55667788");
        c.breakIt(w);
        const bool broken = !c.message.empty();

        auto run = w.run({"list"});
        EXPECT_EQ(run.status, broken ? kExitUnavailable : kExitOk);
        EXPECT_EQ(run.console.lines.size(), c.listed) << ::testing::PrintToString(run.console.lines);
        EXPECT_EQ(run.console.messages, broken ? std::vector<std::string>{c.message} : std::vector<std::string>{});

        run = w.run({"list", "--json"});
        EXPECT_EQ(run.status, broken ? kExitUnavailable : kExitOk);
        ASSERT_EQ(run.console.lines.size(), c.listed + (broken ? 1 : 0));
        if (broken)
            EXPECT_EQ(run.console.lines.back(), c.json);

        // Nobody has that serial number, but it may be behind the source
        // that could not be looked at.
        run = w.run({"switch", "--to", "cdc", "--serial", "99999999"});
        EXPECT_EQ(run.status, broken ? kExitUnavailable : kExitRefused);
        ASSERT_EQ(run.console.messages.size(), 1u);
        EXPECT_EQ(run.console.messages[0], broken ? c.message : "no reader with serial number 99999999 is listed");
        EXPECT_TRUE(run.console.lines.empty());

        // Several readers and no choice is a refusal whatever was not seen.
        run = w.run({"switch", "--to", "ccid"});
        EXPECT_EQ(run.status, kExitRefused);
    }
}

TEST(Watch, ArrivalsChangesAndRemovalsAsTheyHappen)
{
    CliWorld w;
    SimulatedReader& cdc = w.add(SimPersonality::CDC, "0A0B0C0D");
    SimulatedReader& ccid = w.add(SimPersonality::CCID, "01020304");
    w.show(ccid, std::nullopt);
    ccid.cardPresent = false;
    int listing = 0;
    std::vector<uint32_t> cycleTimes;
    w.onListing = [&] {
        // A cycle may list the PC/SC readers more than once.
        if (!cycleTimes.empty() && cycleTimes.back() == w.fakes.clock.now)
            return;
        cycleTimes.push_back(w.fakes.clock.now);
        switch (++listing) {
        case 2:
            w.show(ccid, SimPersonality::CCID);
            break; // plugged in without a card
        case 3:
            w.fakes.pcsc.readers[0].cardPresent = true;
            break;
        case 4:
            w.show(cdc, std::nullopt);
            break;
        default:
            break;
        }
    };
    const auto run = w.run({"watch"}, 5);
    EXPECT_EQ(run.console.lines,
        (std::vector<std::string>{
            "added  CDC   0A0B0C0D  2.166    COM3",
            "added  CCID  -         -        ZN480 Sim 1",
            "changed  CCID  01020304  2.166    ZN480 Sim 1",
            "removed  CDC   0A0B0C0D  2.166    COM3",
        }));
    // The window's tick.
    ASSERT_EQ(cycleTimes.size(), 5u) << ::testing::PrintToString(cycleTimes);
    for (size_t i = 1; i < cycleTimes.size(); ++i)
        EXPECT_NEAR(double(cycleTimes[i] - cycleTimes[i - 1]), 2000.0, 50.0);

    CliWorld j;
    j.add(SimPersonality::HID, "01020304");
    const auto lines = j.run({"watch", "--json"}, 1).console.lines;
    ASSERT_EQ(lines.size(), 1u);
    // When it happened, in UTC to the millisecond.
    expectLine(lines[0],
        R"j(\{"event":"added","time":"20\d\d-\d\d-\d\dT\d\d:\d\d:\d\d\.\d\d\dZ","personality":"HID",)j"
        R"j("address":"ZN480 Keyboard 0","serial":null,"firmware":null,"entry":"HID ZN480 Keyboard 0"\})j");
}

} // namespace
} // namespace tarvexctl::testing

namespace tarvexctl::testing {
namespace {

// The console program's stand-in for the window's timer and event loop.
TEST(ScanDriver, TicksAndDeviceNoticesAsTheWindowHasThem)
{
    CliWorld w;
    RecordingConsole console;
    Rig rig(w.fakes, console);
    FakeEvents& events = rig.events;
    ScanDriver& scans = rig.scans;
    std::vector<uint32_t> at;
    scans.setAfterCycle([&] { at.push_back(w.fakes.clock.now); });
    const uint32_t t0 = w.fakes.clock.now;

    scans.idle(1500, true);
    EXPECT_TRUE(at.empty()) << "a cycle before the first tick";

    // A notice starts a cycle once the burst of one plug has had 50 ms.
    events.notify();
    const uint32_t noticed = w.fakes.clock.now;
    scans.idle(300, true);
    ASSERT_EQ(at.size(), 1u);
    EXPECT_GE(at[0] - noticed, ScanDriver::kBurstMs);
    EXPECT_LT(at[0] - noticed, ScanDriver::kBurstMs + 20);

    // A notice while a cycle runs asks for one more after it: that cycle
    // may have looked before the device was there.
    bool once = true;
    w.onListing = [&] {
        if (once)
            events.notify();
        once = false;
    };
    scans.cycleNow(true);
    scans.idle(300, true);
    ASSERT_EQ(at.size(), 3u);
    EXPECT_LT(at[2] - at[1], ScanDriver::kBurstMs + 20);

    // Without notices, the tick.
    scans.idle(4100, true);
    ASSERT_EQ(at.size(), 5u);
    EXPECT_NEAR(double(at[3] - at[2]), 2000.0, 20.0);
    EXPECT_NEAR(double(at[4] - at[3]), 2000.0, 20.0);
    EXPECT_GT(at[0], t0);
}

// Inside a workflow the box is the core's: the yields serve the tick but
// do not check it, as the window's timer does not.
TEST(ScanDriver, YieldsInsideAWorkflowLeaveTheRefreshBoxToTheCore)
{
    CliWorld w;
    w.add(SimPersonality::CDC, "01020304");
    RecordingConsole console;
    Rig rig(w.fakes, console);
    ConsoleUi& ui = rig.ui;
    tarvex::ReaderCore& core = rig.core;
    ScanDriver& scans = rig.scans;
    scans.cycleNow(true);
    ASSERT_FALSE(core.refreshChecked()); // the cycle added the reader
    // A reader plugged meanwhile: only a cycle that runs can list it.
    w.add(SimPersonality::CDC, "0A0B0C0D");
    w.fakes.clock.sleepMs(2500);
    const uint64_t served = scans.served(), ran = scans.cycles();
    ui.yield();
    EXPECT_EQ(scans.served(), served + 1); // due, and served ...
    EXPECT_EQ(scans.cycles(), ran);        // ... but the clear box ran none
    EXPECT_FALSE(core.refreshChecked());
    EXPECT_EQ(core.list().count(), 1);

    // Once the core checks the box (a workflow looking for its reader),
    // the next due tick runs a cycle, and it finds the new reader.
    core.setRefresh(true);
    w.fakes.clock.sleepMs(2500);
    ui.yield();
    EXPECT_EQ(scans.cycles(), ran + 1);
    EXPECT_EQ(core.list().count(), 2);
}

} // namespace
} // namespace tarvexctl::testing

namespace tarvexctl::testing {
namespace {

size_t countOf(const std::vector<std::string>& commands, const std::string& c)
{
    return size_t(std::count(commands.begin(), commands.end(), c));
}

// A reader in HID personality shows no serial number, so the reader that
// comes back after its reset is known only by being new: a reader of an
// earlier switch arriving meanwhile must never be taken for it.
TEST(Switch, AReaderBackFromAnEarlierSwitchIsNeverTakenForTheKeyboard)
{
    {
        // With --all, the keyboard is refused beside the other reader, from
        // the first look: nothing is sent to it, and the other one is
        // switched once.
        CliWorld w;
        SimulatedReader& a = w.add(SimPersonality::CDC, "AAAA0001");
        SimulatedReader& b = w.add(SimPersonality::HID, "BBBB0002");
        const auto run = w.run({"switch", "--all", "--to", "ccid", "--fake-card", "always", "--no-wait"});
        EXPECT_EQ(run.status, kExitRefused);
        ASSERT_EQ(run.console.lines.size(), 2u) << ::testing::PrintToString(run.console.lines);
        expectLine(
            run.console.lines[0], R"j(ok AAAA0001 CDC->CCID COM3: switch accepted, not waited for \(2\.\d s\))j");
        expectLine(run.console.lines[1], R"j(refused - HID->CCID ZN480 Keyboard 0: Due to how HID devices .*)j");
        EXPECT_EQ(countOf(a.model.log(), "FFFEFC0000"), 1u) << ::testing::PrintToString(a.model.log());
        EXPECT_TRUE(b.model.log().empty());
        EXPECT_TRUE(w.fakes.launcher.started.empty());
    }
    {
        // An earlier run's reader on its way back while the keyboard alone
        // is listed: it arrives during the reset, as CCID, before the
        // keyboard's reader does.
        CliWorld w;
        SimulatedReader& a = w.add(SimPersonality::CDC, "AAAA0001");
        SimulatedReader& b = w.add(SimPersonality::HID, "BBBB0002");
        a.restartMs = 3000;
        auto run = w.run({"switch", "--serial", "AAAA0001", "--to", "ccid", "--no-wait"});
        ASSERT_EQ(run.status, kExitOk);
        const size_t aMark = a.model.log().size();
        run = w.run({"switch", "--address", "ZN480 Keyboard 0", "--to", "ccid", "--fake-card", "never"});
        EXPECT_EQ(run.status, kExitOk) << ::testing::PrintToString(run.console.lines);
        ASSERT_EQ(run.console.lines.size(), 1u);
        expectLine(run.console.lines[0], R"j(ok BBBB0002 HID->CCID ZN480 Sim 1 \(\d+\.\d s\))j");
        EXPECT_TRUE(onlyScanReads(commandsSince(a, aMark))) << ::testing::PrintToString(commandsSince(a, aMark));
        EXPECT_EQ(countOf(b.model.log(), "FFFEFC0000"), 1u);
    }
}

} // namespace
} // namespace tarvexctl::testing

namespace tarvexctl::testing {
namespace {

struct ContractCase {
    const char* what;
    std::function<void(CliWorld&)> setUp;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines; // patterns
};

// A reader already where it is asked to go is left alone, with or without
// a card; --dry-run says what a run would do and does none of it.
TEST(Switch, UnchangedAndDryRunSendNothingButTheScansReads)
{
    const auto cdc = [](CliWorld& w) { w.add(SimPersonality::CDC, "01020304"); };
    const ContractCase cases[] = {
        {"already CDC", cdc, {"switch", "--to", "cdc", "--serial", "01020304"}, kExitOk,
            {"unchanged 01020304 CDC->CDC COM3: already in CDC personality"}},
        {"already CCID, and no card to open it with",
            [](CliWorld& w) {
                SimulatedReader& r = w.add(SimPersonality::CDC, "01020304");
                r.cardPresent = false;
                w.show(r, SimPersonality::CCID);
            },
            {"switch", "--to", "ccid", "--fake-card", "never"}, kExitOk,
            {"unchanged - CCID->CCID ZN480 Sim 0: already in CCID personality, its fake-card setting left as it is"}},
        {"already a keyboard", [](CliWorld& w) { w.add(SimPersonality::HID, "01020304"); },
            {"switch", "--to", "hid", "--address", "ZN480 Keyboard 0"}, kExitOk,
            {"unchanged - HID->HID ZN480 Keyboard 0: already in HID personality"}},
        {"as JSON", cdc, {"switch", "--to", "cdc", "--json"}, kExitOk,
            {R"j(\{"result":"unchanged","serial":"01020304","from":"CDC","to":"CDC",.*"changed":false\})j"}},
        {"dry run of one", cdc, {"switch", "--to", "ccid", "--dry-run"}, kExitOk, {"switch 01020304 CDC->CCID COM3"}},
        {"dry run of a mixed station",
            [](CliWorld& w) {
                w.add(SimPersonality::CCID, "01020304");
                w.add(SimPersonality::CDC, "0A0B0C0D");
                w.add(SimPersonality::HID, "11223344");
                w.add(SimPersonality::MSD, "55667788");
            },
            {"switch", "--to", "cdc", "--all", "--dry-run"}, kExitRefused,
            {"switch 01020304 CCID->CDC ZN480 Sim 0", "unchanged 0A0B0C0D CDC->CDC COM4: already in CDC personality",
                "refused - HID->CDC ZN480 Keyboard 0: Due to how HID devices .*",
                "unsupported - MSD->CDC -: a reader in MSD personality has no command channel.*"}},
    };
    for (const ContractCase& c : cases) {
        SCOPED_TRACE(c.what);
        CliWorld w;
        c.setUp(w);
        const auto run = w.run(c.args);
        EXPECT_EQ(run.status, c.status);
        ASSERT_EQ(run.console.lines.size(), c.lines.size()) << ::testing::PrintToString(run.console.lines);
        for (size_t i = 0; i < c.lines.size(); ++i)
            expectLine(run.console.lines[i], c.lines[i]);
        EXPECT_TRUE(run.console.messages.empty()) << ::testing::PrintToString(run.console.messages);
        for (const auto& r : w.readers)
            EXPECT_TRUE(onlyScanReads(r->model.log())) << ::testing::PrintToString(r->model.log());
        EXPECT_TRUE(w.fakes.launcher.started.empty());
    }
}

// Wraps the serial responder: `hook` hears every command first.
void onCommand(CliWorld& w, std::function<void(const std::vector<uint8_t>&)> hook)
{
    auto inner = w.fakes.serchan.responder;
    w.fakes.serchan.responder = [inner, hook](const std::vector<uint8_t>& apdu) {
        hook(apdu);
        return inner(apdu);
    };
}

// Stopping (Ctrl-C, SIGTERM, a closed pipe) never leaves a reader halfway:
// the reader in progress gets its whole sequence and its line, the next
// one is not started.
TEST(Switch, AStopWaitsForTheReaderInProgress)
{
    {
        CliWorld w;
        SimulatedReader& a = w.add(SimPersonality::CDC, "AAAA0001");
        SimulatedReader& b = w.add(SimPersonality::CDC, "BBBB0002");
        // The stop comes with A's fake-card setting, before its switch.
        onCommand(w, [](const std::vector<uint8_t>& apdu) {
            if (apdu.size() > 4 && apdu[0] == 0xFE && apdu[2] == 0x02 && apdu[3] == 0x01)
                requestInterrupt();
        });
        const auto run = w.run({"switch", "--all", "--to", "ccid"});
        EXPECT_EQ(run.status, kExitInterrupted);
        ASSERT_EQ(run.console.lines.size(), 1u) << ::testing::PrintToString(run.console.lines);
        // Back within the reboot pause, so its wait ends at the first look.
        expectLine(run.console.lines[0], R"j(ok AAAA0001 CDC->CCID ZN480 Sim 0 \(2\.\d s\))j");
        EXPECT_EQ(countOf(a.model.log(), "FFFEFC0000"), 1u);
        EXPECT_TRUE(onlyScanReads(b.model.log())) << ::testing::PrintToString(b.model.log());
    }
    {
        // A closed pipe after the first line.
        CliWorld w;
        w.add(SimPersonality::CDC, "AAAA0001");
        SimulatedReader& b = w.add(SimPersonality::CDC, "BBBB0002");
        const auto run = w.run({"switch", "--all", "--to", "ccid"}, 0, 1);
        EXPECT_EQ(run.status, kExitFailed);
        EXPECT_EQ(run.console.lines.size(), 1u);
        EXPECT_TRUE(onlyScanReads(b.model.log()));
        ASSERT_FALSE(run.console.messages.empty());
        EXPECT_EQ(run.console.messages.back(), "cannot write the results: Broken pipe");
    }
    {
        // Waiting for a card: nothing has been sent, so the prompt is
        // cancelled at once.
        CliWorld w;
        SimulatedReader& r = w.add(SimPersonality::CDC, "01020304");
        r.cardPresent = false;
        w.show(r, SimPersonality::CCID);
        w.onListing = [&] {
            if (!w.fakes.pcsc.calls.empty())
                requestInterrupt();
        };
        const auto run = w.run({"switch", "--to", "cdc", "--card-wait", "30"});
        EXPECT_EQ(run.status, kExitInterrupted);
        EXPECT_LT(run.endMs - run.startMs, 2000u);
        EXPECT_TRUE(onlyScanReads(r.model.log()));
    }
}

TEST(Wait, UntilTheReaderIsListedInThePersonalityAsked)
{
    CliWorld w;
    SimulatedReader& r = w.add(SimPersonality::CDC, "01020304");
    w.show(r, std::nullopt);
    w.onListing = [&] {
        if (w.fakes.clock.now >= 3000 && !r.shownAs)
            w.show(r, SimPersonality::CCID);
    };
    auto run = w.run({"wait", "--serial", "01020304", "--personality", "ccid", "--timeout", "10"});
    EXPECT_EQ(run.status, kExitOk);
    EXPECT_EQ(run.console.lines, std::vector<std::string>{"CCID  01020304  2.166    ZN480 Sim 0"});
    EXPECT_GE(run.endMs, 3000u);
    EXPECT_LT(run.endMs, 3200u); // within a poll of its arrival

    run = w.run({"wait", "--address", "ZN480 Sim 0", "--personality", "cdc", "--timeout", "2", "--json"});
    EXPECT_EQ(run.status, kExitNotBack);
    ASSERT_EQ(run.console.lines.size(), 1u);
    expectLine(run.console.lines[0],
        R"j(\{"result":"timeout","reason":"the reader with address \\"ZN480 Sim 0\\" in CDC personality was not listed within 2 s"\})j");
}

TEST(Info, IdentityAndTheHidFormatTheReaderHas)
{
    const struct {
        uint8_t config[2];
        const char* format;
    } formats[] = {{{0x00, 0x40}, "hex"}, {{0x60, 0x40}, "hex+hash+shift"}, {{0x40, 0x40}, "hex+shift"},
        {{0x20, 0x42}, "decimal"}, {{0x60, 0x00}, "block2"}};
    for (const auto& f : formats) {
        SCOPED_TRACE(f.format);
        CliWorld w;
        SimulatedReader& r = w.add(SimPersonality::CDC, "01020304");
        zn480sim::ReaderConfig c = r.model.config();
        c.hidConfig[0] = f.config[0];
        c.hidConfig[1] = f.config[1];
        r.model.setConfig(c);
        const auto run = w.run({"info"});
        EXPECT_EQ(run.status, kExitOk);
        EXPECT_EQ(run.console.lines,
            (std::vector<std::string>{"personality  CDC", "address      COM3", "serial       01020304",
                "firmware     2.166", std::string("hid-format   ") + f.format}));
        // It reads, and changes nothing.
        for (const std::string& cmd : r.model.log())
            EXPECT_TRUE(cmd == "FEDD030200" || onlyScanReads({cmd})) << cmd;
    }

    // A keyboard cannot be asked; a CCID reader without a card cannot be opened.
    CliWorld w;
    w.add(SimPersonality::HID, "01020304");
    auto run = w.run({"info", "--json"});
    EXPECT_EQ(run.status, kExitOk);
    expectLine(run.console.lines.at(0), R"j(\{"personality":"HID",.*"hid_format":null,.*"message":null\})j");

    CliWorld nocard;
    SimulatedReader& r = nocard.add(SimPersonality::CDC, "01020304");
    r.cardPresent = false;
    nocard.show(r, SimPersonality::CCID);
    run = nocard.run({"info", "--json"});
    EXPECT_EQ(run.status, kExitFailed);
    expectLine(run.console.lines.at(0),
        R"j(\{"personality":"CCID",.*"hid_format":null,.*"message":"CCID devices require .*"\})j");
}

// -v: what a support request needs, on standard error.
TEST(Verbose, EveryCommandAndStatusWordWithItsTime)
{
    CliWorld w;
    w.add(SimPersonality::CCID, "01020304");
    const auto run = w.run({"switch", "--to", "cdc", "-v"});
    EXPECT_EQ(run.status, kExitOk);
    const auto& m = run.console.messages;
    for (const char* want : {"ZN480 Sim 0 > FFCAF00004 < 9000, 4 bytes (",
             "ZN480 Sim 0 > FEDD02000A01FE01020304AFF5A6FE < 9000", "ZN480 Sim 0 > FFFEFC0000 < "})
        EXPECT_TRUE(std::any_of(m.begin(), m.end(), [&](const std::string& s) { return s.rfind(want, 0) == 0; }))
            << want << "\n"
            << ::testing::PrintToString(m);
    // Without it, nothing of the kind.
    EXPECT_TRUE(w.run({"list"}).console.messages.empty());
}

} // namespace
} // namespace tarvexctl::testing
