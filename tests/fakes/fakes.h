// Fakes of every service the reader core reaches, for tests that drive the
// core (or the window on top of it) without hardware, daemons or real time.
// Header-only and Qt-free; the window's own seam is faked in window_fixture.h.
#pragma once
#include "core/reader_ui.h"
#include "core/services.h"
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvex::fakes {

// Upper-case hex of bytes, as commands are recorded.
inline std::string hexOf(const std::vector<uint8_t>& bytes)
{
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (uint8_t x : bytes) {
        s += d[x >> 4];
        s += d[x & 15];
    }
    return s;
}

// Time moves only when somebody sleeps (or a test advances it).
class FakeClock : public Clock {
public:
    uint32_t now = 1000;
    std::vector<uint32_t> sleeps;
    uint32_t tickMs() override { return now += autoAdvance; }
    void sleepMs(uint32_t ms) override
    {
        sleeps.push_back(ms);
        now += ms;
    }
    uint32_t autoAdvance = 0; // added on every tickMs() read, for busy polls
};

// The core's user seam: records messages, answers prompts from a queue
// (true = OK, default OK) and the option questions from fixed choices.
class FakeReaderUi : public ReaderUi {
public:
    std::vector<std::string> messages;
    std::deque<bool> answers;
    int yields = 0;
    std::function<void()> onYield;
    HidModeChoice hidChoice{1, 0};
    int16_t ccidChoice = kFakeCardStandard;
    std::vector<std::string> progress;
    bool messageBox(const std::string& text, bool okCancel) override
    {
        messages.push_back(text);
        if (!okCancel || answers.empty())
            return true;
        bool a = answers.front();
        answers.pop_front();
        return a;
    }
    HidModeChoice askHidMode() override { return hidChoice; }
    int16_t askCcidFake() override { return ccidChoice; }
    void yield() override
    {
        ++yields;
        if (onYield)
            onYield();
    }
    void progressChanged(const std::string& text) override { progress.push_back(text); }
};

// A scripted serchan: replies are queued per command (hex, upper case).
class FakeSerchan : public SerchanApi {
public:
    std::map<int32_t, bool> ports; // port -> opens
    int32_t openPort = 0;
    std::vector<std::string> sent;            // hex of every frame sent
    std::deque<std::vector<uint8_t>> replies; // next reply data for each send
    int32_t sendResult = 1;                   // what SCSend returns
    std::vector<int32_t> closes;
    std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> responder; // optional
    std::optional<std::vector<uint8_t>> pending;
    std::string unusable; // loadProblem(): why the library cannot be used
    std::string loadProblem() override { return unusable; }

    int32_t open(int32_t port, uint32_t, int32_t) override
    {
        if (openPort != 0) {
            openPort = 0;
            return 0;
        }
        auto it = ports.find(port);
        if (it == ports.end() || !it->second)
            return 0;
        openPort = port;
        return port;
    }
    int32_t close(int32_t ch) override
    {
        closes.push_back(ch);
        openPort = 0;
        return 0;
    }
    int32_t send(int32_t, const uint8_t* d, uint32_t n) override
    {
        std::vector<uint8_t> cmd(d, d + n);
        sent.push_back(hexOf(cmd));
        if (sendResult <= 0)
            return sendResult;
        if (responder)
            pending = responder(cmd);
        else if (!replies.empty()) {
            pending = replies.front();
            replies.pop_front();
        } else
            pending.reset();
        return sendResult;
    }
    int32_t receive(int32_t, uint8_t* buf, uint32_t cap) override
    {
        if (!pending)
            return 0;
        auto r = *pending;
        pending.reset();
        if (r.size() > cap)
            return -18;
        if (!r.empty())
            std::memcpy(buf, r.data(), r.size());
        return int32_t(r.size());
    }
};

class FakeSerialMap : public SerialPortMap {
public:
    bool opens = true;
    std::string unreadable;                       // readProblem() when it does not open
    std::map<std::string, std::string> forbidden; // port -> accessProblem()
    std::vector<SerialMapValue> values;
    std::optional<std::vector<SerialMapValue>> read() override
    {
        if (!opens)
            return std::nullopt;
        return values;
    }
    std::string readProblem() const override { return opens ? std::string() : unreadable; }
    std::string accessProblem(const std::string& port) const override
    {
        const auto it = forbidden.find(port);
        return it == forbidden.end() ? std::string() : it->second;
    }
    // A well-formed value: data is the port name plus its terminating NUL.
    // By default the port of a reader's USB device (vendor 6A4E).
    void add(const std::string& name, const std::string& port, uint16_t usbVendor = 0x6A4E,
        const std::string& instance = "usb1 1:2")
    {
        SerialMapValue v;
        v.name = name;
        v.data = port + std::string(1, '\0');
        v.usbVendor = usbVendor;
        v.instance = instance;
        values.push_back(std::move(v));
    }
};

class FakeHid : public HidEnumerator {
public:
    bool ok = true;
    std::string failure; // searchProblem()
    std::vector<std::string> ids;
    int calls = 0;
    std::function<void()> beforeList; // lets a test change ids per call
    bool listReaderIds(std::vector<std::string>& out) override
    {
        ++calls;
        if (beforeList)
            beforeList();
        out.clear();
        if (!ok)
            return false;
        out = ids;
        return true;
    }
    std::string searchProblem() const override { return failure; }
};

class FakeDrives : public Drives {
public:
    struct Drive {
        std::string entry;
        int type;
        bool readable;
        std::vector<std::string> files;
    };
    std::vector<Drive> drives;
    std::string unlisted; // listProblem(): the set of drives cannot be read
    std::string listProblem() const override { return unlisted; }
    std::vector<std::string> list() override
    {
        std::vector<std::string> r;
        if (!unlisted.empty())
            return r;
        for (auto& d : drives)
            r.push_back(d.entry);
        return r;
    }
    int driveType(const std::string& e) override
    {
        for (auto& d : drives)
            if (d.entry == e)
                return d.type;
        return 1;
    }
    bool listRootFiles(const std::string& e, std::vector<std::string>& files) override
    {
        for (auto& d : drives)
            if (d.entry == e) {
                if (!d.readable)
                    return false;
                files = d.files;
                return true;
            }
        return false;
    }
};

class FakeLauncher : public ProcessLauncher {
public:
    bool canStart = true;
    std::vector<std::string> started;
    std::vector<uint32_t> startTimes; // clock reading at each start, when clock is set
    Clock* clock = nullptr;
    std::function<void()> onStart;
    bool startHidden(const std::string& path) override
    {
        if (!canStart)
            return false;
        started.push_back(path);
        if (clock)
            startTimes.push_back(clock->tickMs());
        if (onStart)
            onStart();
        return true;
    }
};

// A PC/SC service with readers that hold (or lack) a scripted card.
class FakePcsc : public pcsc::Api {
public:
    struct Reader {
        std::string name;
        bool cardPresent = true;
        std::vector<uint8_t> atr{0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03};
        bool exclusiveBusy = false;                  // another program holds a shared connection
        pcsc::Result statusResult = pcsc::S_SUCCESS; // forced result of SCardStatus
        pcsc::Result beginResult = pcsc::S_SUCCESS;  // forced result of SCardBeginTransaction
        pcsc::Card transaction = 0;                  // the card whose transaction holds the reader
    };
    std::vector<Reader> readers;
    pcsc::Result establishResult = pcsc::S_SUCCESS;
    int establishCalls = 0, listCalls = 0;
    std::vector<std::string> calls; // "connect:NAME:share", "transmit:HEX", "end", "disconnect", ...
    std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> responder;
    std::deque<pcsc::Result> transmitResults; // forced results, front first
    pcsc::Card nextCard = 100;
    std::map<pcsc::Card, std::string> open; // card -> reader name
    // A connect (pcsc-lite) or a transaction (Windows) on a reader that
    // another card holds in a transaction waits until that transaction ends.
    // The service would wait for ever when the holder is the caller itself;
    // the fake records the wait ("connect:NAME", "begin:NAME") and refuses,
    // as the Linux binding does at its connect deadline.
    std::vector<std::string> waits;

    pcsc::Result establishContext(uint32_t, pcsc::Context* ctx) override
    {
        ++establishCalls;
        if (establishResult == pcsc::S_SUCCESS)
            *ctx = 42;
        return establishResult;
    }
    pcsc::Result releaseContext(pcsc::Context) override
    {
        calls.push_back("release");
        return 0;
    }
    std::function<void()> beforeList; // e.g. look at the window as the stage starts
    pcsc::Result listReaders(pcsc::Context, char* buf, uint32_t* len) override
    {
        ++listCalls;
        if (beforeList)
            beforeList();
        if (readers.empty())
            return pcsc::E_NO_READERS_AVAILABLE;
        std::string multi;
        for (auto& r : readers) {
            multi += r.name;
            multi.push_back('\0');
        }
        multi.push_back('\0');
        if (multi.size() > *len)
            return pcsc::E_INSUFFICIENT_BUFFER;
        std::memcpy(buf, multi.data(), multi.size());
        *len = uint32_t(multi.size());
        return 0;
    }
    Reader* find(const std::string& n)
    {
        for (auto& r : readers)
            if (r.name == n)
                return &r;
        return nullptr;
    }
    pcsc::Result connect(
        pcsc::Context, const char* name, uint32_t share, uint32_t, pcsc::Card* card, uint32_t* active) override
    {
        calls.push_back("connect:" + std::string(name) + ":" + std::to_string(share));
        Reader* r = find(name);
        if (!r)
            return pcsc::E_UNKNOWN_READER;
        if (!r->cardPresent)
            return pcsc::E_NO_SMARTCARD;
        if (heldByTransaction(*r, 0)) {
            waits.push_back("connect:" + r->name);
            return pcsc::E_SHARING_VIOLATION;
        }
        if (share == pcsc::SHARE_EXCLUSIVE && r->exclusiveBusy)
            return pcsc::E_SHARING_VIOLATION;
        *card = nextCard++;
        open[*card] = name;
        if (active)
            *active = pcsc::PROTOCOL_T1;
        return 0;
    }
    pcsc::Result status(pcsc::Card card, uint32_t*, uint32_t*, uint8_t* atr, uint32_t* atrLen) override
    {
        auto it = open.find(card);
        if (it == open.end())
            return pcsc::E_INVALID_HANDLE;
        Reader* r = find(it->second);
        if (r && r->statusResult != pcsc::S_SUCCESS)
            return r->statusResult;
        if (!r || r->atr.size() > *atrLen)
            return pcsc::E_INSUFFICIENT_BUFFER;
        if (!r->atr.empty())
            std::memcpy(atr, r->atr.data(), r->atr.size());
        *atrLen = uint32_t(r->atr.size());
        return 0;
    }
    pcsc::Result beginTransaction(pcsc::Card card) override
    {
        calls.push_back("begin");
        Reader* r = readerOf(card);
        if (!r)
            return pcsc::E_INVALID_HANDLE;
        if (r->beginResult != pcsc::S_SUCCESS)
            return r->beginResult;
        if (heldByTransaction(*r, card)) {
            waits.push_back("begin:" + r->name);
            return pcsc::E_SHARING_VIOLATION;
        }
        r->transaction = card;
        return 0;
    }
    pcsc::Result transmit(
        pcsc::Card card, uint32_t, const uint8_t* s, uint32_t n, uint8_t* recv, uint32_t* recvLen) override
    {
        calls.push_back("transmit:" + hexOf(std::vector<uint8_t>(s, s + n)));
        if (!transmitResults.empty()) {
            auto r = transmitResults.front();
            transmitResults.pop_front();
            if (r != 0)
                return r;
        }
        if (!open.count(card))
            return pcsc::E_INVALID_HANDLE;
        std::vector<uint8_t> reply
            = responder ? responder(std::vector<uint8_t>(s, s + n)) : std::vector<uint8_t>{0x90, 0x00};
        if (reply.size() > *recvLen)
            return pcsc::E_INSUFFICIENT_BUFFER;
        if (!reply.empty())
            std::memcpy(recv, reply.data(), reply.size());
        *recvLen = uint32_t(reply.size());
        return 0;
    }
    pcsc::Result endTransaction(pcsc::Card card, uint32_t) override
    {
        calls.push_back("end");
        endTransactionOf(card);
        return 0;
    }
    pcsc::Result disconnect(pcsc::Card card, uint32_t) override
    {
        calls.push_back("disconnect");
        endTransactionOf(card);
        open.erase(card);
        return 0;
    }
    Reader* readerOf(pcsc::Card card)
    {
        auto it = open.find(card);
        return it == open.end() ? nullptr : find(it->second);
    }
    // Whether a card other than `self` holds `r` in a transaction.
    bool heldByTransaction(const Reader& r, pcsc::Card self) const
    {
        return r.transaction != 0 && r.transaction != self && open.count(r.transaction);
    }
    void endTransactionOf(pcsc::Card card)
    {
        if (Reader* r = readerOf(card); r && r->transaction == card)
            r->transaction = 0;
    }
    uint32_t protocolRaw() const override { return 4; }
    bool startsWithReaders = false; // a Windows-like service
    bool serviceStartsWithReaders() const override { return startsWithReaders; }
};

// The probe memory as a string that outlives the cores of a test's runs.
class FakeProbeMemory : public ProbeMemory {
public:
    std::optional<std::string> text;
    int saves = 0;
    std::optional<std::string> load() override { return text; }
    bool save(const std::string& t) override
    {
        ++saves;
        text = t;
        return true;
    }
};

// All fakes together, wired into a Services value.
struct FakeWorld {
    FakeClock clock;
    FakePcsc pcsc;
    FakeSerchan serchan;
    FakeSerialMap serialMap;
    FakeHid hid;
    FakeDrives drives;
    FakeLauncher launcher;
    Services services()
    {
        Services s;
        s.clock = &clock;
        s.pcsc = &pcsc;
        s.serchan = &serchan;
        s.serialMap = &serialMap;
        s.hid = &hid;
        s.drives = &drives;
        s.launcher = &launcher;
        s.kbflashPath = "/opt/tarvex/kbflash";
        launcher.clock = &clock;
        return s;
    }
};

} // namespace tarvex::fakes
