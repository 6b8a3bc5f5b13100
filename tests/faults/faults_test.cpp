// Faults injected into real peers while the main window works with its real
// services: the serchan library on a pty where the simulated reader answers,
// the PC/SC client library with a private pcscd whose virtual reader holds
// the simulated card, the real serial-port map and process launcher. Only
// the message boxes (recorded and answered here), the HID enumeration and
// the drives are stand-ins.
//
// Every case checks three things: what the user is told, that the next
// attempt works once the fault is gone, and that the reader's configuration
// was not half changed. Cases run in real time (a few seconds each).
#include "window_fixture.h"
#include "frmCCIDmode.h"
#include "frmMain.h"
#include "private_pcscd.h"
#include "zn480sim/device.h"
#include "zn480sim/reader.h"
#include "zn480sim/vpcd_card.h"

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QRadioButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <dlfcn.h>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Readable failure output for the recorded message texts.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace tarvex {
namespace {

const QString kCardPrompt
    = QStringLiteral("CCID devices require a valid card present to be connected, please put a supported "
                     "contactless card over the reader.");
const QString kSuccess = QStringLiteral("Operation completed with success!");
const QString kFakeFailed = QStringLiteral("Failed to set fake mode configuration!");
const QString kCdcEntry = QStringLiteral("COM3 ZN480 CDC - 01020304 (2.166)");

zn480test::PrivatePcscd* gPcscd = nullptr;

// One private daemon per process, exported before the first PC/SC call (the
// client library reads the socket name once). ctest runs each case in a
// process of its own, so each case has a fresh daemon.
class PcscdEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (geteuid() != 0)
            return;
        daemon_ = std::make_unique<zn480test::PrivatePcscd>(1);
        if (daemon_->ok()) {
            daemon_->exportSocket();
            gPcscd = daemon_.get();
        }
    }
    void TearDown() override
    {
        gPcscd = nullptr;
        daemon_.reset();
    }

private:
    std::unique_ptr<zn480test::PrivatePcscd> daemon_;
};

// Message boxes recorded, prompts answered by a callback (Cancel by default,
// so a prompt that keeps coming back cannot loop for ever).
class FaultUi : public UiHooks {
public:
    QStringList messages;
    std::function<bool(const QString&)> onPrompt;
    std::function<void(QDialog&)> onShowModal;
    bool messageBox(const QString& text, bool okCancel) override
    {
        messages << text;
        if (!okCancel)
            return true;
        return onPrompt ? onPrompt(text) : false;
    }
    void showModal(QDialog& dialog) override
    {
        if (onShowModal)
            onShowModal(dialog);
    }
    void yield() override
    {
        if (onYield)
            onYield();
    }
    std::function<void()> onYield;
};

// The real PC/SC binding with a hook before each transmit.
class HookedPcsc : public pcsc::Api {
public:
    explicit HookedPcsc(pcsc::Api& real) : real_(real) { }
    std::function<void(const uint8_t*, uint32_t)> beforeTransmit;
    pcsc::Result establishContext(uint32_t s, pcsc::Context* c) override { return real_.establishContext(s, c); }
    pcsc::Result releaseContext(pcsc::Context c) override { return real_.releaseContext(c); }
    pcsc::Result listReaders(pcsc::Context c, char* b, uint32_t* l) override { return real_.listReaders(c, b, l); }
    pcsc::Result connect(pcsc::Context c, const char* r, uint32_t s, uint32_t p, pcsc::Card* card, uint32_t* a) override
    {
        return real_.connect(c, r, s, p, card, a);
    }
    pcsc::Result status(pcsc::Card c, uint32_t* s, uint32_t* p, uint8_t* atr, uint32_t* l) override
    {
        return real_.status(c, s, p, atr, l);
    }
    pcsc::Result beginTransaction(pcsc::Card c) override { return real_.beginTransaction(c); }
    pcsc::Result transmit(pcsc::Card c, uint32_t p, const uint8_t* s, uint32_t n, uint8_t* r, uint32_t* rl) override
    {
        if (beforeTransmit)
            beforeTransmit(s, n);
        return real_.transmit(c, p, s, n, r, rl);
    }
    pcsc::Result endTransaction(pcsc::Card c, uint32_t d) override { return real_.endTransaction(c, d); }
    pcsc::Result disconnect(pcsc::Card c, uint32_t d) override { return real_.disconnect(c, d); }
    uint32_t protocolRaw() const override { return real_.protocolRaw(); }

private:
    pcsc::Api& real_;
};

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = 10s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return cond();
}

bool hasCommand(const zn480sim::Reader& r, const std::string& prefix)
{
    for (const auto& c : r.log())
        if (c.rfind(prefix, 0) == 0)
            return true;
    return false;
}

class Faults : public ::testing::Test {
protected:
    zn480sim::Reader reader;
    std::string devDir;
    std::unique_ptr<pcsc::Api> realPcsc = pcsc::loadSystemPcsc();
    HookedPcsc pcscApi{*realPcsc};
    std::unique_ptr<SerchanApi> serchan = loadSerchanFrom(SERCHAN_LIBRARY);
    std::unique_ptr<SerialPortMap> serialMap;
    std::unique_ptr<ProcessLauncher> launcher = makeSystemProcessLauncher();
    fakes::FakeHid hid;
    fakes::FakeDrives drives;
    FaultUi ui;
    std::string kbflashPath = "/nonexistent/kbflash";
    std::unique_ptr<frmMain> form;

    void SetUp() override
    {
        if (!gPcscd)
            GTEST_SKIP() << "needs root and a private pcscd (pcscd, vsmartcard-vpcd)";
        char tmpl[] = "/tmp/zn480-faults-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        devDir = tmpl;
        // The serial-port map and serchan look COM numbers up in this folder.
        setenv("ZN480_DEV_DIR", devDir.c_str(), 1);
        serialMap = makeSystemSerialPortMap();
    }
    void TearDown() override
    {
        form.reset();
        if (!devDir.empty())
            fs::remove_all(devDir);
    }

    void makeForm()
    {
        Services s;
        s.clock = &systemClock();
        s.pcsc = &pcscApi;
        s.serchan = serchan.get();
        s.serialMap = serialMap.get();
        s.hid = &hid;
        s.drives = &drives;
        s.launcher = launcher.get();
        s.kbflashPath = kbflashPath;
        form = std::make_unique<frmMain>(s, ui);
        form->tmrUpdates->stop(); // ticks are run by the tests
    }

    void scan()
    {
        form->chkRefresh->setChecked(true);
        form->tmrUpdates_Timer();
    }
    // Scans until an entry with `prefix` shows, at most `limit`.
    bool scanUntil(const QString& prefix, std::chrono::milliseconds limit = 10s)
    {
        return eventually(
            [&] {
                scan();
                return !entries(prefix).isEmpty();
            },
            limit);
    }
    QStringList entries(const QString& prefix) const
    {
        QStringList out;
        for (int i = 0; i < form->core().list().count(); ++i)
            if (QString::fromStdString(form->core().list().text(i)).startsWith(prefix))
                out << QString::fromStdString(form->core().list().text(i));
        return out;
    }
    bool select(const QString& prefix)
    {
        for (int i = 0; i < form->core().list().count(); ++i)
            if (QString::fromStdString(form->core().list().text(i)).startsWith(prefix)) {
                form->core().list().select(i);
                return true;
            }
        return false;
    }
    // "To CCID" with the fake-card option that answers setting 2.
    void clickToCcid()
    {
        ui.onShowModal = [](QDialog& d) {
            auto& c = dynamic_cast<frmCCIDmode&>(d);
            c.Cancelled = false;
            c.Option2->click();
        };
        form->cmdCCID_Click();
        EXPECT_EQ(form->core().lockDepth(), 0) << "the window must never stay locked";
    }
    void expectConfigUntouched()
    {
        const auto c = reader.config();
        EXPECT_EQ(c.fakeCard, 0) << "fake-card setting half applied";
        EXPECT_FALSE(reader.pendingPersonality().has_value()) << "switch half applied";
    }
};

// ---- Serial line faults, one table: each breaks the first command of a
// "To CCID" on a CDC reader; the user is told the configuration failed, the
// reader keeps its configuration, and once the fault is gone the scan lists
// the reader again and the same command succeeds.

struct SerialFault {
    const char* name;
    bool alwaysFails; // false: the product may ride it out; then the command must have worked
    std::function<void(zn480sim::CdcHost&, zn480sim::Reader&)> inject;
    std::function<void(zn480sim::CdcHost&)> clear;
};

void PrintTo(const SerialFault& f, std::ostream* os)
{
    *os << f.name;
}

class SerialFaults : public Faults, public ::testing::WithParamInterface<SerialFault> { };

TEST_P(SerialFaults, ReportedThenRecovered)
{
    const SerialFault& fault = GetParam();
    reader.setConfig(zn480sim::ReaderConfig{});
    auto host = std::make_unique<zn480sim::CdcHost>(reader, devDir + "/ttyACM2"); // COM3
    ASSERT_TRUE(host->appear());
    makeForm();
    scan();
    ASSERT_EQ(entries("COM"), QStringList{kCdcEntry});
    reader.clearLog();

    std::thread unplugger;
    fault.inject(*host, reader);
    const std::string name = fault.name;
    if (name == "unplug_mid_frame" || name == "garbage_flood") {
        // Strike while the program waits for the reply to its first command:
        // pull the plug after half a reply, or pour garbage onto the line.
        unplugger = std::thread([&, name] {
            if (eventually([&] { return !reader.log().empty(); }, 5s))
                std::this_thread::sleep_for(30ms);
            if (name == "unplug_mid_frame")
                host->disappear();
            else
                host->peer().floodGarbage(4096);
        });
    }
    ASSERT_TRUE(select("COM3"));
    clickToCcid();
    if (unplugger.joinable())
        unplugger.join();

    EXPECT_TRUE(entries("COM").isEmpty()) << "the opened entry goes until the scan finds it again";
    std::printf("%s: the user saw \"%s\"\n", fault.name, qPrintable(ui.messages.join(" / ")));
    if (!fault.alwaysFails && ui.messages == QStringList{kSuccess}) {
        EXPECT_EQ(reader.config().fakeCard, 2);
        reader.setConfig(zn480sim::ReaderConfig{});
    } else {
        EXPECT_EQ(ui.messages, QStringList{kFakeFailed});
        EXPECT_FALSE(hasCommand(reader, "FEDD0201")) << "nothing may reach the reader after the failed read";
        expectConfigUntouched();
    }

    fault.clear(*host);
    ui.messages.clear();
    ASSERT_TRUE(scanUntil("COM3")) << "reader not listed again";
    EXPECT_EQ(entries("COM"), QStringList{kCdcEntry});

    ASSERT_TRUE(select("COM3"));
    clickToCcid();
    EXPECT_EQ(ui.messages, QStringList{kSuccess});
    EXPECT_EQ(reader.config().fakeCard, 2);
    host->disappear();
}

INSTANTIATE_TEST_SUITE_P(Line, SerialFaults,
    ::testing::Values(
        SerialFault{"nak_storm", true, [](zn480sim::CdcHost& h, zn480sim::Reader&) { h.peer().nakNext(1000); },
            [](zn480sim::CdcHost& h) { h.peer().nakNext(0); }},
        SerialFault{"silence", true, [](zn480sim::CdcHost& h, zn480sim::Reader&) { h.peer().setSilent(true); },
            [](zn480sim::CdcHost& h) { h.peer().setSilent(false); }},
        SerialFault{"garbage_flood", false, [](zn480sim::CdcHost&, zn480sim::Reader&) {}, [](zn480sim::CdcHost&) {}},
        SerialFault{"unplug_mid_frame", true,
            [](zn480sim::CdcHost& h, zn480sim::Reader&) { h.peer().stopMidFrameNext(); },
            [](zn480sim::CdcHost& h) { ASSERT_TRUE(h.appear()); }}),
    [](const ::testing::TestParamInfo<SerialFault>& i) { return std::string(i.param.name); });

// The reader is unplugged while the option dialog is open, and a timer tick
// runs a scan meanwhile: the workflow ends without touching anything.
TEST_F(Faults, SerialReaderGoneWhileDialogOpen)
{
    auto host = std::make_unique<zn480sim::CdcHost>(reader, devDir + "/ttyACM2");
    ASSERT_TRUE(host->appear());
    makeForm();
    scan();
    ASSERT_TRUE(select("COM3"));
    reader.clearLog();

    ui.onShowModal = [&](QDialog& d) {
        host->disappear();
        scan();
        auto& c = dynamic_cast<frmCCIDmode&>(d);
        c.Cancelled = false;
        c.Option2->click();
    };
    form->cmdCCID_Click();
    EXPECT_EQ(form->core().lockDepth(), 0);
    EXPECT_TRUE(ui.messages.isEmpty());
    EXPECT_TRUE(reader.log().empty());
    EXPECT_TRUE(entries("COM").isEmpty());
    EXPECT_EQ(form->core().list().selected(), -1);

    ASSERT_TRUE(host->appear());
    ASSERT_TRUE(scanUntil("COM3"));
    EXPECT_EQ(entries("COM"), QStringList{kCdcEntry});
    host->disappear();
}

// ---- PC/SC faults. The reader "ZN480 Sim 1 00 00" holds the simulated card.

class PcscFaults : public Faults {
protected:
    std::unique_ptr<zn480sim::VpcdCard> card;
    QString key;

    void SetUp() override
    {
        Faults::SetUp();
        if (IsSkipped())
            return;
        reader.setConfig(zn480sim::ReaderConfig{.personality = zn480sim::Personality::CCID});
        key = QStringLiteral("CCID ") + QString::fromStdString(gPcscd->readerName(0));
    }
    void TearDown() override
    {
        if (card)
            card->stop();
        Faults::TearDown();
    }
    void startCard(bool inserted)
    {
        card = std::make_unique<zn480sim::VpcdCard>(reader, gPcscd->port(0));
        card->start(inserted);
        if (inserted) {
            ASSERT_TRUE(card->waitConnected(true, 10s));
        }
    }
    QString fullEntry() const { return key + QStringLiteral(" - 01020304 (2.166)"); }
    // Scans until the reader's entry carries its identity.
    bool scanUntilIdentified()
    {
        return eventually(
            [&] {
                scan();
                return entries(key) == QStringList{fullEntry()};
            },
            15s);
    }
};

// pcscd dies in the middle of a scan cycle and comes back later: the entry
// goes while the service is away and returns, identified, after it.
TEST_F(PcscFaults, DaemonKilledDuringScanAndRestarted)
{
    startCard(true);
    makeForm();
    bool killed = false;
    ui.onYield = [&] {
        if (!killed)
            killed = gPcscd->kill();
    };
    scan();
    ui.onYield = nullptr;
    ASSERT_TRUE(killed);
    // Listed before the daemon died, but its identity could not be read.
    EXPECT_LE(entries(key).size(), 1);
    for (const QString& e : entries(key))
        EXPECT_FALSE(e.contains(QStringLiteral(" - ")));

    scan();
    EXPECT_TRUE(entries(key).isEmpty()) << "no service, no PC/SC readers";
    EXPECT_TRUE(ui.messages.isEmpty());

    ASSERT_TRUE(gPcscd->restart()) << gPcscd->error();
    ASSERT_TRUE(card->waitConnected(true, 10s));
    ASSERT_TRUE(scanUntilIdentified()) << entries(key).join('|').toStdString();
    expectConfigUntouched();
}

// The card leaves just as the fake-card setting is sent: the user is told,
// the setting never reached the reader, and with the card back the same
// command succeeds.
TEST_F(PcscFaults, CardRemovedDuringCommand)
{
    startCard(true);
    makeForm();
    ASSERT_TRUE(scanUntilIdentified());
    bool removed = false;
    pcscApi.beforeTransmit = [&](const uint8_t* s, uint32_t n) {
        if (!removed && n >= 4 && s[0] == 0xFE && s[1] == 0xDD && s[2] == 0x02 && s[3] == 0x01) {
            removed = true;
            card->removeCard();
            // Let the daemon's presence poll (about every 0.4 s) see it go.
            std::this_thread::sleep_for(1200ms);
        }
    };
    reader.clearLog();
    ASSERT_TRUE(select(key));
    clickToCcid();
    ASSERT_TRUE(removed);
    EXPECT_EQ(ui.messages, QStringList{kFakeFailed});
    EXPECT_FALSE(hasCommand(reader, "FEDD0201"));
    expectConfigUntouched();

    pcscApi.beforeTransmit = nullptr;
    card->insertCard();
    ASSERT_TRUE(card->waitConnected(true, 10s));
    ui.messages.clear();
    ASSERT_TRUE(scanUntilIdentified());
    ASSERT_TRUE(select(key));
    clickToCcid();
    EXPECT_EQ(ui.messages, QStringList{kSuccess});
    EXPECT_EQ(reader.config().fakeCard, 2);
}

// The reader and the service vanish while the card prompt is open: OK on
// the prompt brings it back (still no card), Cancel ends the command with
// the entry kept; once all is back the command succeeds.
TEST_F(PcscFaults, ServiceGoneWhileCardPromptOpen)
{
    startCard(false);
    makeForm();
    ASSERT_TRUE(scanUntil(key));
    ASSERT_EQ(entries(key), QStringList{key}) << "no card, no identity";
    int prompts = 0;
    ui.onPrompt = [&](const QString&) {
        if (++prompts == 1) {
            gPcscd->kill();
            return true; // OK: try again
        }
        return false; // Cancel
    };
    ASSERT_TRUE(select(key));
    clickToCcid();
    EXPECT_EQ(ui.messages, (QStringList{kCardPrompt, kCardPrompt}));
    EXPECT_EQ(entries(key), QStringList{key}) << "a command that never opened the reader keeps its entry";
    expectConfigUntouched();

    ASSERT_TRUE(gPcscd->restart()) << gPcscd->error();
    card->insertCard();
    ASSERT_TRUE(card->waitConnected(true, 10s));
    ui.messages.clear();
    ui.onPrompt = nullptr;
    ASSERT_TRUE(scanUntilIdentified());
    ASSERT_TRUE(select(key));
    clickToCcid();
    EXPECT_EQ(ui.messages, QStringList{kSuccess});
}

// Another program on the desktop holds the reader.
class HeldReader : public PcscFaults {
protected:
    pid_t holder = -1;
    void TearDown() override
    {
        release();
        PcscFaults::TearDown();
    }
    // Starts the holder and waits until it says it holds the reader.
    void hold(const char* mode, int seconds)
    {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        const std::string name = gPcscd->readerName(0), secs = std::to_string(seconds);
        char* argv[] = {const_cast<char*>(HOLD_READER), const_cast<char*>(name.c_str()), const_cast<char*>(mode),
            const_cast<char*>(secs.c_str()), nullptr};
        ASSERT_EQ(posix_spawn(&holder, HOLD_READER, &fa, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        char buf[8] = {};
        const ssize_t n = read(out[0], buf, 4);
        close(out[0]);
        ASSERT_EQ(n, 4) << "holder could not take the reader";
    }
    // Whether an exclusive connection can be had right now (and let go).
    bool readerFree()
    {
        pcsc::Context ctx = 0;
        if (realPcsc->establishContext(pcsc::SCOPE_SYSTEM, &ctx) != 0)
            return false;
        pcsc::Card c = 0;
        uint32_t active = 0;
        const bool ok = realPcsc->connect(ctx, gPcscd->readerName(0).c_str(), pcsc::SHARE_EXCLUSIVE,
                            pcsc::PROTOCOL_T0 | pcsc::PROTOCOL_T1, &c, &active)
            == 0;
        if (ok)
            realPcsc->disconnect(c, pcsc::LEAVE_CARD);
        realPcsc->releaseContext(ctx);
        return ok;
    }
    void release()
    {
        if (holder > 0) {
            kill(holder, SIGTERM);
            waitpid(holder, nullptr, 0);
            holder = -1;
        }
    }
};

// Held exclusively: both connects are refused at once, the user sees the
// card prompt and can cancel; the entry stays and, once the other program
// lets go, the command works.
TEST_F(HeldReader, ExclusiveByAnotherProgram)
{
    startCard(true);
    makeForm();
    ASSERT_TRUE(scanUntilIdentified());
    hold("exclusive", 60);
    reader.clearLog();
    ASSERT_TRUE(select(key));
    clickToCcid();
    EXPECT_EQ(ui.messages, QStringList{kCardPrompt});
    EXPECT_EQ(entries(key), QStringList{fullEntry()});
    EXPECT_TRUE(reader.log().empty());
    release();
    // The daemon notices the other program's end on its own time.
    ASSERT_TRUE(eventually([&] { return readerFree(); }));

    ui.messages.clear();
    ASSERT_TRUE(select(key));
    clickToCcid();
    EXPECT_EQ(ui.messages, QStringList{kSuccess});
}

// In a transaction of another program, longer than the connect deadline:
// pcsc-lite makes a connect wait until the transaction ends, so the binding
// gives up on it and the user sees the card prompt (a frozen window is what
// this case guards against). Once the other program ends its transaction,
// the command works.
TEST_F(HeldReader, TransactionOfAnotherProgram)
{
    startCard(true);
    makeForm();
    ASSERT_TRUE(scanUntilIdentified());
    hold("transaction", 6);
    reader.clearLog();
    ASSERT_TRUE(select(key));
    clickToCcid();
    EXPECT_EQ(ui.messages, QStringList{kCardPrompt});
    EXPECT_EQ(entries(key), QStringList{fullEntry()});
    EXPECT_TRUE(reader.log().empty());

    // The other program ends its transaction on its own.
    int status = -1;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    holder = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Through the same binding as the window: free once the abandoned
    // connect has finished and let go of the reader.
    ASSERT_TRUE(eventually([&] { return readerFree(); }));

    ui.messages.clear();
    ASSERT_TRUE(select(key));
    clickToCcid();
    EXPECT_EQ(ui.messages, QStringList{kSuccess});
    EXPECT_EQ(reader.config().fakeCard, 2);
}

// ---- The LED tool cannot be started: the user is told which file is
// missing; nothing waits, the entry stays, and a second try says the same.

struct ToolFault {
    const char* name;
    std::function<std::string(const std::string& dir)> make; // returns the tool path
};

void PrintTo(const ToolFault& f, std::ostream* os)
{
    *os << f.name;
}

class ToolFaults : public Faults, public ::testing::WithParamInterface<ToolFault> { };

TEST_P(ToolFaults, ToldAndNothingWaits)
{
    kbflashPath = GetParam().make(devDir);
    hid.ids = {"HID\\VID_6A4E&PID_0013&MI_00\\7&1A2B3C4D&0&0000"};
    makeForm();
    form->core().list().append("HID ZN480 Keyboard 0");
    for (int attempt = 0; attempt < 2; ++attempt) {
        ui.messages.clear();
        form->core().list().select(0);
        const auto t0 = std::chrono::steady_clock::now();
        form->cmdCDC_Click();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s) << "no reset wait without the tool";
        EXPECT_EQ(ui.messages, QStringList{QStringLiteral("Failed to find kbflash")});
        EXPECT_EQ(form->core().lockDepth(), 0);
        EXPECT_EQ(form->windowTitle(), form->BaseCaption);
        EXPECT_EQ(form->core().list().count(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, ToolFaults,
    ::testing::Values(ToolFault{"missing", [](const std::string& d) { return d + "/kbflash"; }},
        ToolFault{"not_executable",
            [](const std::string& d) {
                const std::string p = d + "/kbflash";
                FILE* f = std::fopen(p.c_str(), "w");
                if (f) {
                    std::fputs("#!/bin/sh\n", f);
                    std::fclose(f);
                }
                chmod(p.c_str(), 0644);
                return p;
            }},
        ToolFault{"a_folder",
            [](const std::string& d) {
                const std::string p = d + "/kbflash";
                fs::create_directory(p);
                return p;
            }}),
    [](const ::testing::TestParamInfo<ToolFault>& i) { return std::string(i.param.name); });

} // namespace
} // namespace tarvex

int main(int argc, char** argv)
{
    // ctest lists the cases without the test environment; no display needed.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The PC/SC binding unloads the client library with its last user. The
    // context the window keeps for the life of the process then looks leaked
    // to LeakSanitizer; holding the library makes it stay reachable.
    dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_NODELETE);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new tarvex::PcscdEnvironment);
    return RUN_ALL_TESTS();
}
