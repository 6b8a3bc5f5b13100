// doctor: what a user checks first when a reader is not listed, each check
// on a line of its own with what was found and, for a problem, what to do.
// It asks the same services the scan uses (the PC/SC binding, serchan, the
// serial-port map), so what it finds is what the scan would meet.
#include "commands.h"
#include "doctor_checks.h"
#include "json_text.h"
#include "terminal.h"

#include "core/source_problem.h"

#include <cerrno>

namespace tarvexctl {

namespace {

const char kRulesFix[] = "install the tarvex package, or copy its 70-zn480.rules to /etc/udev/rules.d, then run "
                         "\"udevadm control --reload && udevadm trigger\" and plug the reader in again";

struct Line {
    enum Status { Ok, Problem, Info } status = Ok;
    std::string check, detail, fix;
};

const char* statusName(Line::Status s)
{
    return s == Line::Ok ? "ok" : s == Line::Problem ? "problem" : "info";
}

void checkPcsc(const tarvex::Services& svc, DoctorSystem& sys, std::vector<Line>& out)
{
    const std::optional<bool> daemon = sys.pcscDaemonInstalled();
    if (daemon && !*daemon) {
        // Nothing else about PC/SC can be right without it.
        out.push_back(
            {Line::Problem, "pcsc-service", "pcscd is not installed: readers in CCID personality cannot be seen",
                "install it: sudo apt-get install pcscd"});
        return;
    }
    tarvex::pcsc::Context ctx = 0;
    const tarvex::pcsc::Result r = svc.pcsc->establishContext(tarvex::pcsc::SCOPE_SYSTEM, &ctx);
    if (r == tarvex::pcsc::S_SUCCESS) {
        svc.pcsc->releaseContext(ctx);
        out.push_back({Line::Ok, "pcsc-service", "the smart-card service answers", {}});
        return;
    }
    const std::string code = tarvex::pcscResultName(r);
    if (r == tarvex::pcsc::E_NO_SERVICE || r == tarvex::pcsc::E_SERVICE_STOPPED) {
        if (svc.pcsc->serviceStartsWithReaders())
            out.push_back({Line::Info, "pcsc-service",
                "the smart-card service is not running (" + code + "); Windows starts it with the first reader", {}});
        else
            out.push_back({Line::Problem, "pcsc-service", "the smart-card service is not running (" + code + ")",
                "start it: sudo systemctl enable --now pcscd.socket"});
        return;
    }
    if (r == tarvex::pcsc::F_COMM_ERROR || r == tarvex::pcsc::E_NO_ACCESS) {
        out.push_back({Line::Problem, "pcsc-service", "the smart-card service turned this program away (" + code + ")",
            "run it from the active local session (polkit refuses remote and inactive ones), or allow "
            "org.debian.pcsc-lite.access_pcsc for this user in a polkit rule"});
        return;
    }
    out.push_back({Line::Problem, "pcsc-service", "the smart-card service cannot be used (" + code + ")",
        svc.pcsc->serviceStartsWithReaders() ? "check that the Smart Card service (SCardSvr) is not disabled"
                                             : "restart it: sudo systemctl restart pcscd"});
}

void checkFiles(const tarvex::Services& svc, DoctorSystem& sys, std::vector<Line>& out)
{
    const std::string serchan = svc.serchan ? svc.serchan->loadProblem() : "no serial channel library";
    if (serchan.empty())
        out.push_back({Line::Ok, "serchan", "the serial channel library loads", {}});
    else
        out.push_back(
            {Line::Problem, "serchan", serchan, "reinstall Tarvex: the library belongs in the folder of tarvexctl"});
    if (sys.fileExists(svc.kbflashPath))
        out.push_back({Line::Ok, "kbflash", svc.kbflashPath, {}});
    else
        out.push_back(
            {Line::Problem, "kbflash", svc.kbflashPath + " is missing: a reader in HID personality cannot be reset",
                "reinstall Tarvex: kbflash belongs in the folder of tarvexctl"});
}

void checkSerialMap(const tarvex::Services& svc, DoctorSystem& sys, std::vector<Line>& out)
{
    if (const std::optional<bool> driver = sys.usbSerialDriver()) {
        if (*driver)
            out.push_back({Line::Ok, "serial-driver", "usbser.sys is installed", {}});
        else
            out.push_back(
                {Line::Problem, "serial-driver", "usbser.sys is missing: readers in CDC personality get no port",
                    "let Windows Update install the USB serial driver, or plug the reader in once while online"});
    }
    if (!svc.serialMap)
        return;
    const auto ports = svc.serialMap->read();
    if (ports) {
        out.push_back({Line::Ok, "serial-map", std::to_string(ports->size()) + " serial ports listed", {}});
        return;
    }
    const std::string why = svc.serialMap->readProblem();
    if (why.empty())
        out.push_back({Line::Info, "serial-map", "no serial port has been installed yet", {}});
    else
        out.push_back({Line::Problem, "serial-map", why, "check that this user may read the serial-port list"});
}

void checkNodes(DoctorSystem& sys, std::vector<Line>& out)
{
    const std::optional<std::vector<ReaderNode>> nodes = sys.readerNodes();
    if (!nodes)
        return;
    const std::optional<std::string> rules = sys.udevRules();
    if (rules) {
        if (rules->empty())
            out.push_back({Line::Problem, "udev-rules", "70-zn480.rules is not installed", kRulesFix});
        else
            out.push_back({Line::Ok, "udev-rules", *rules, {}});
    }
    if (nodes->empty()) {
        out.push_back({Line::Info, "reader-nodes", "no device of USB vendor 6A4E is attached", {}});
        return;
    }
    for (const ReaderNode& n : *nodes) {
        const std::string what = n.kind + " " + n.path;
        if (n.error == 0) {
            out.push_back({Line::Ok, "reader-node", what + " can be opened", {}});
        } else {
            const bool rights = n.error == EACCES || n.error == EPERM;
            out.push_back({Line::Problem, "reader-node", what + " cannot be opened: " + n.errorText,
                rights ? std::string("give the user at the seat access to it: ") + kRulesFix
                       : std::string("plug the reader in again")});
        }
        if (n.kind == "tty") {
            if (n.modemManagerIgnores)
                out.push_back({Line::Ok, "modemmanager", n.path + " is left alone by ModemManager", {}});
            else
                out.push_back({Line::Problem, "modemmanager",
                    n.path + " is not marked ID_MM_DEVICE_IGNORE: ModemManager may send it AT commands and hold it",
                    kRulesFix});
        }
    }
}

void checkDisplay(DoctorSystem& sys, std::vector<Line>& out)
{
    const std::string display = sys.display();
    if (display.empty())
        return;
    std::string detail = display + ": ";
    if (display.rfind("X11", 0) == 0)
        detail += "the HID reset plays the lock keys through the X server";
    else if (display.rfind("Wayland", 0) == 0)
        detail += "the HID reset writes the LEDs to the reader's keyboard event node, which must be writable";
    else
        detail += "no display: the HID reset writes the LEDs to the reader's keyboard event node";
    out.push_back({Line::Info, "display", detail, {}});
}

} // namespace

int runDoctor(Tool& tool, const Options& options, DoctorSystem& system)
{
    const tarvex::Services& svc = tool.core.services();
    std::vector<Line> lines;
    checkPcsc(svc, system, lines);
    checkFiles(svc, system, lines);
    checkSerialMap(svc, system, lines);
    checkNodes(system, lines);
    checkDisplay(system, lines);

    bool anyProblem = false;
    for (const Line& l : lines) {
        anyProblem = anyProblem || l.status == Line::Problem;
        if (options.json) {
            JsonObject j;
            j.add("check", l.check)
                .add("status", statusName(l.status))
                .add("detail", systemTextToUtf8(l.detail))
                .add("fix", l.fix.empty() ? std::nullopt : std::optional<std::string>(l.fix));
            tool.console.line(j.str());
        } else {
            std::string text = std::string(statusName(l.status)) + " " + l.check + ": " + printable(l.detail);
            if (!l.fix.empty())
                text += "; fix: " + l.fix;
            tool.console.line(text);
        }
    }
    return anyProblem ? kExitFailed : kExitOk;
}

int runDoctor(Tool& tool, const Options& options)
{
    const std::unique_ptr<DoctorSystem> system = makeSystemDoctor();
    return runDoctor(tool, options, *system);
}

} // namespace tarvexctl
