// doctor on fake facts: each finding gives its line, a problem gives what to
// do, and the exit status tells all-good from problems.
#include "cli_world.h"
#include "doctor_checks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

namespace tarvexctl::testing {
namespace {

class FakeDoctor : public DoctorSystem {
public:
    std::optional<bool> daemon = true;
    std::vector<std::string> files{"/opt/tarvex/kbflash"};
    std::optional<std::vector<ReaderNode>> nodes = std::vector<ReaderNode>{
        {"tty", "/dev/ttyACM0", 0, "", true},
        {"hidraw", "/dev/hidraw3", 0, "", false},
        {"event", "/dev/input/event7", 0, "", false},
    };
    std::optional<std::string> rules = std::string("/usr/lib/udev/rules.d/70-zn480.rules");
    std::string displayKind = "X11 (DISPLAY=:0)";
    std::optional<bool> usbser;

    std::optional<bool> pcscDaemonInstalled() override { return daemon; }
    bool fileExists(const std::string& path) override
    {
        return std::find(files.begin(), files.end(), path) != files.end();
    }
    std::optional<std::vector<ReaderNode>> readerNodes() override { return nodes; }
    std::optional<std::string> udevRules() override { return rules; }
    std::string display() override { return displayKind; }
    std::optional<bool> usbSerialDriver() override { return usbser; }
};

struct DoctorRun {
    int status = -1;
    RecordingConsole console;
};

DoctorRun doctor(CliWorld& w, FakeDoctor& d, bool json = false)
{
    DoctorRun r;
    Rig rig(w.fakes, r.console);
    Tool tool{rig.core, rig.scans, rig.ui, r.console, w.fakes.clock};
    Options o;
    o.command = Command::Doctor;
    o.json = json;
    r.status = runDoctor(tool, o, d);
    return r;
}

const char kRulesFix[] = "install the tarvex package, or copy its 70-zn480.rules to /etc/udev/rules.d, then run "
                         "\"udevadm control --reload && udevadm trigger\" and plug the reader in again";

TEST(Doctor, EachFindingGivesItsLineAndWhatToDo)
{
    const struct {
        const char* name;
        std::function<void(CliWorld&, FakeDoctor&)> setUp;
        int status;
        std::vector<std::string> lines; // each must be printed, exactly
    } cases[] = {
        {"all good", {}, kExitOk,
            {"ok pcsc-service: the smart-card service answers", "ok serchan: the serial channel library loads",
                "ok kbflash: /opt/tarvex/kbflash", "ok udev-rules: /usr/lib/udev/rules.d/70-zn480.rules",
                "ok reader-node: tty /dev/ttyACM0 can be opened",
                "ok modemmanager: /dev/ttyACM0 is left alone by ModemManager",
                "ok reader-node: hidraw /dev/hidraw3 can be opened",
                "ok reader-node: event /dev/input/event7 can be opened",
                "info display: X11 (DISPLAY=:0): the HID reset plays the lock keys through the X server"}},
        {"service not running",
            [](CliWorld& w, FakeDoctor&) { w.fakes.pcsc.establishResult = tarvex::pcsc::E_NO_SERVICE; }, kExitFailed,
            {"problem pcsc-service: the smart-card service is not running (SCARD_E_NO_SERVICE); fix: start it: sudo "
             "systemctl enable --now pcscd.socket"}},
        {"pcscd not installed", [](CliWorld&, FakeDoctor& d) { d.daemon = false; }, kExitFailed,
            {"problem pcsc-service: pcscd is not installed: readers in CCID personality cannot be seen; fix: install "
             "it: sudo apt-get install pcscd"}},
        {"refused by polkit",
            [](CliWorld& w, FakeDoctor&) { w.fakes.pcsc.establishResult = tarvex::pcsc::F_COMM_ERROR; }, kExitFailed,
            {"problem pcsc-service: the smart-card service turned this program away (SCARD_F_COMM_ERROR); fix: run "
             "it from the active local session (polkit refuses remote and inactive ones), or allow "
             "org.debian.pcsc-lite.access_pcsc for this user in a polkit rule"}},
        {"a service that starts with the first reader",
            [](CliWorld& w, FakeDoctor& d) {
                w.fakes.pcsc.establishResult = tarvex::pcsc::E_NO_SERVICE;
                w.fakes.pcsc.startsWithReaders = true;
                d.daemon.reset();
                d.nodes.reset();
                d.rules.reset();
                d.displayKind.clear();
                d.usbser = true;
            },
            kExitOk,
            {"info pcsc-service: the smart-card service is not running (SCARD_E_NO_SERVICE); Windows starts it "
             "with the first reader",
                "ok serial-driver: usbser.sys is installed"}},
        {"hidraw node not openable",
            [](CliWorld&, FakeDoctor& d) {
                (*d.nodes)[1].error = EACCES;
                (*d.nodes)[1].errorText = "Permission denied";
            },
            kExitFailed,
            {std::string("problem reader-node: hidraw /dev/hidraw3 cannot be opened: Permission denied; fix: give the "
                         "user at the seat access to it: ")
                + kRulesFix}},
        {"rules missing, ModemManager not told",
            [](CliWorld&, FakeDoctor& d) {
                d.rules = std::string();
                (*d.nodes)[0].modemManagerIgnores = false;
            },
            kExitFailed,
            {std::string("problem udev-rules: 70-zn480.rules is not installed; fix: ") + kRulesFix,
                std::string("problem modemmanager: /dev/ttyACM0 is not marked ID_MM_DEVICE_IGNORE: ModemManager may "
                            "send it AT commands and hold it; fix: ")
                    + kRulesFix}},
        {"library and tool missing",
            [](CliWorld& w, FakeDoctor& d) {
                w.fakes.serchan.unusable = "/opt/tarvex/libserchan.so could not be loaded";
                d.files.clear();
            },
            kExitFailed,
            {"problem serchan: /opt/tarvex/libserchan.so could not be loaded; fix: reinstall Tarvex: the library "
             "belongs in the folder of tarvexctl",
                "problem kbflash: /opt/tarvex/kbflash is missing: a reader in HID personality cannot be reset; fix: "
                "reinstall Tarvex: kbflash belongs in the folder of tarvexctl"}},
        {"no reader attached, on a console",
            [](CliWorld&, FakeDoctor& d) {
                d.nodes = std::vector<ReaderNode>{};
                d.displayKind = "console";
            },
            kExitOk,
            {"info reader-nodes: no device of USB vendor 6A4E is attached",
                "info display: console: no display: the HID reset writes the LEDs to the reader's keyboard event "
                "node"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CliWorld w;
        FakeDoctor d;
        if (c.setUp)
            c.setUp(w, d);
        const DoctorRun r = doctor(w, d);
        EXPECT_EQ(r.status, c.status);
        for (const std::string& want : c.lines)
            EXPECT_NE(std::find(r.console.lines.begin(), r.console.lines.end(), want), r.console.lines.end())
                << want << "\n"
                << ::testing::PrintToString(r.console.lines);
        // A problem is reported only where the case has one.
        const bool anyProblem = std::any_of(r.console.lines.begin(), r.console.lines.end(),
            [](const std::string& l) { return l.rfind("problem ", 0) == 0; });
        EXPECT_EQ(anyProblem, c.status != kExitOk);
    }
}

TEST(Doctor, JsonIsOneObjectPerCheck)
{
    CliWorld w;
    FakeDoctor d;
    (*d.nodes)[2].error = EACCES;
    (*d.nodes)[2].errorText = "Permission denied";
    const DoctorRun r = doctor(w, d, true);
    EXPECT_EQ(r.status, kExitFailed);
    ASSERT_FALSE(r.console.lines.empty());
    EXPECT_EQ(r.console.lines.front(),
        R"j({"check":"pcsc-service","status":"ok","detail":"the smart-card service answers","fix":null})j");
    const std::string want = std::string(
        R"j({"check":"reader-node","status":"problem","detail":"event /dev/input/event7 cannot be opened: Permission denied","fix":"give the user at the seat access to it: install the tarvex package, or copy its 70-zn480.rules to /etc/udev/rules.d, then run \"udevadm control --reload && udevadm trigger\" and plug the reader in again"})j");
    EXPECT_NE(std::find(r.console.lines.begin(), r.console.lines.end(), want), r.console.lines.end())
        << ::testing::PrintToString(r.console.lines);
    for (const std::string& l : r.console.lines)
        EXPECT_TRUE(l.front() == '{' && l.back() == '}') << l;
}

} // namespace
} // namespace tarvexctl::testing
