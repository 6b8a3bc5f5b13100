// SERCHAN.dll over a real Windows COM port (Wine maps it to the simulated
// reader's pty): open and line settings, the non-waiting read, exchanges,
// each fault of the reader, an unplug, the waits for an answer and for a
// write, and the program's by-name binding.
#include "serchan.h"

#include "core/reader_session.h"
#include "import_hook.h"
#include "platform/clock.h"
#include "platform/pcsc.h"
#include "platform/serchan_api.h"
#include "sim_control.h"
#include "wine_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSerialCommand = {0xFF, 0xCA, 0xE0, 0x00, 0x00};
const Bytes kSerialReply = {0x01, 0x02, 0x03, 0x04, 0x90, 0x00};

class SerchanWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        port_ = wintest::envPort("TARVEX_WINE_SIM_PORT");
        const int controlPort = wintest::envPort("TARVEX_WINE_CONTROL_PORT");
        if (!port_ || !controlPort)
            GTEST_SKIP() << wintest::kNotUnderDriver;
        control_ = std::make_unique<wintest::SimControl>(controlPort);
        ASSERT_TRUE(control_->ok()) << "cannot open the control line COM" << controlPort;
        // The exchange role is process-wide and sticks once taken (a receive
        // first makes this side the responder): start each test afresh.
        SCChangeProtocol(SC_OPT_RESET_ROLE);
        ASSERT_EQ(SCOpenChannel(port_, 115200, 0), port_);
    }

    void TearDown() override
    {
        if (port_)
            SCCloseChannel(port_);
    }

    // Returns SCTransmit's result; the reply lands in reply_.
    int32_t exchange(const Bytes& command, uint32_t timeoutMs = 1000)
    {
        uint8_t buffer[300] = {};
        const int32_t r = SCTransmit(port_, command.data(), uint32_t(command.size()), buffer, sizeof buffer, timeoutMs);
        reply_.assign(buffer, buffer + (r > 0 ? r : 0));
        return r;
    }

    void sim(const std::string& line) { ASSERT_EQ(control_->command(line).substr(0, 2), "ok") << line; }

    int port_ = 0;
    std::unique_ptr<wintest::SimControl> control_;
    Bytes reply_;
};

TEST_F(SerchanWine, OpensAt115200EightNoneOneAndExchangesFrames)
{
    EXPECT_EQ(control_->command("line"), "ok 115200 8 N 1");

    // Nothing queued: the read returns at once with nothing.
    uint8_t buffer[16];
    EXPECT_EQ(SCReceive(port_, buffer, sizeof buffer), 0);

    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(exchange(kSerialCommand), 6) << "exchange " << i;
        EXPECT_EQ(reply_, kSerialReply);
    }
}

TEST_F(SerchanWine, OpenRules)
{
    // A second open without a close fails and leaves no port open...
    EXPECT_EQ(SCOpenChannel(port_, 115200, 0), 0);
    EXPECT_LT(exchange(kSerialCommand), 0);
    // ...so the next open succeeds again.
    ASSERT_EQ(SCOpenChannel(port_, 115200, 0), port_);
    EXPECT_EQ(SCCloseChannel(port_), 0);

    // Only the low byte names the port; the number is returned as given.
    ASSERT_EQ(SCOpenChannel(port_ + 256, 115200, 0), port_ + 256);
    EXPECT_EQ(exchange(kSerialCommand), 6);
    EXPECT_EQ(SCCloseChannel(port_ + 256), 0);

    // A port with no device behind it.
    EXPECT_EQ(SCOpenChannel(port_ + 1, 115200, 0), 0);
    EXPECT_EQ(SCCloseChannel(port_ + 1), 0);
    ASSERT_EQ(SCOpenChannel(port_, 115200, 0), port_);
}

// Each fault of the reader, then a normal exchange on the same channel: the
// library must recover once the reader behaves again.
TEST_F(SerchanWine, ReaderFaults)
{
    struct Case {
        const char* fault;
        const char* undo; // nullptr: the fault is one-shot
        uint32_t timeoutMs;
        int32_t expected;
    };
    const Case cases[] = {
        {"nak 1", nullptr, 1000, 6},                    // one retransmission suffices
        {"nak 3", nullptr, 1000, SC_ERR_TIMEOUT},       // three NAKs: give up
        {"silent 1", "silent 0", 1000, SC_ERR_TIMEOUT}, // no ACK in 3 x 300 ms
        {"foreign 55", nullptr, 1000, SC_ERR_UNEXPECTED}, {"pieces 3 40", "pieces 1 0", 1000, 6}, // reply trickles in
        {"wrongseq", nullptr, 1000, SC_ERR_UNEXPECTED},
        {"badcheck", nullptr, 1000, SC_ERR_BAD_FRAME}, // a NAK goes back
        {"noreply", nullptr, 600, 0},                  // ACK, then nothing: time-out
        {"midframe", nullptr, 3000, SC_ERR_TIMEOUT},   // half a frame stalls for 2 s
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        sim(c.fault);
        EXPECT_EQ(exchange(kSerialCommand, c.timeoutMs), c.expected);
        if (c.expected == 6) {
            EXPECT_EQ(reply_, kSerialReply);
        }
        if (c.undo)
            sim(c.undo);
        // Let late bytes of the faulty answer land; the next send drops them.
        Sleep(150);
        EXPECT_EQ(exchange(kSerialCommand), 6) << "no recovery after " << c.fault;
        EXPECT_EQ(reply_, kSerialReply);
    }
}

// A time-out shorter than the system timer's tick (about 15.6 ms, and on
// a busy machine GetTickCount moves in steps of 20 ms and more): the reader
// sends its answer in two pieces 3 ms apart, well within 12 ms, and every
// exchange must return it rather than 0.
TEST_F(SerchanWine, ShortTimeOutStillReturnsTheAnswer)
{
    sim("pieces 2 3");
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(exchange(kSerialCommand, 12), 6) << "exchange " << i;
        EXPECT_EQ(reply_, kSerialReply);
    }
    sim("pieces 1 0");
}

// A peer behind the caller's transport functions whose answer lands while
// the library is away: one read takes longer than the wait it belongs to
// (as a coarse Sleep(1) or a busy machine would make it) and finds
// nothing, and the byte or frame that came meanwhile is there for the next.
namespace slowpeer {
enum class Stall { BeforeAck, BeforeAnswer };
Stall g_stall = Stall::BeforeAnswer;
Bytes g_queued;
bool g_frameWritten = false;
bool g_ackTaken = false;
bool g_stalled = false;
uint8_t g_seq = 0;

void start(Stall stall)
{
    g_stall = stall;
    g_queued.clear();
    g_frameWritten = g_ackTaken = g_stalled = false;
}

int32_t SC_CALL write(uint8_t* data, int32_t length)
{
    if (length > 1) {
        g_seq = data[1];
        g_frameWritten = true;
        if (g_stall == Stall::BeforeAnswer)
            g_queued = {0x06};
    }
    return length;
}

int32_t SC_CALL read(uint8_t* data, int32_t length)
{
    if (!g_stalled && g_stall == Stall::BeforeAck && g_frameWritten) {
        g_stalled = true;
        Sleep(320); // past the 300 ms ACK wait
        g_queued = {0x06};
        return 0;
    }
    if (!g_stalled && g_stall == Stall::BeforeAnswer && g_ackTaken) {
        g_stalled = true;
        Sleep(30); // past SCTransmit's 5 ms time-out
        g_queued = {0x02, g_seq, 0x02, 0x90, 0x00, uint8_t(0x02 ^ g_seq ^ 0x02 ^ 0x90 ^ 0x00)};
        return 0;
    }
    const int32_t n = std::min<int32_t>(length, int32_t(g_queued.size()));
    std::copy(g_queued.begin(), g_queued.begin() + n, data);
    g_queued.erase(g_queued.begin(), g_queued.begin() + n);
    if (n == 1 && data[0] == 0x06)
        g_ackTaken = true;
    return n;
}
} // namespace slowpeer

TEST_F(SerchanWine, AnswerThatLandsWhileAwayIsTakenAfterTheTimeOut)
{
    slowpeer::start(slowpeer::Stall::BeforeAnswer);
    SCCallbacks(slowpeer::write, slowpeer::read);
    uint8_t buffer[16] = {};
    const int32_t r = SCTransmit(port_, kSerialCommand.data(), 5, buffer, sizeof buffer, 5);
    SCCallbacks(nullptr, nullptr);
    EXPECT_TRUE(slowpeer::g_stalled);
    ASSERT_EQ(r, 2);
    EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0x90, 0x00}));
}

TEST_F(SerchanWine, AckThatLandsWhileAwayIsTakenAfterTheWait)
{
    slowpeer::start(slowpeer::Stall::BeforeAck);
    SCChangeProtocol(SC_OPT_NO_RETRANSMIT);
    SCCallbacks(slowpeer::write, slowpeer::read);
    const int32_t r = SCSend(port_, kSerialCommand.data(), 5);
    SCCallbacks(nullptr, nullptr);
    SCChangeProtocol(0);
    EXPECT_TRUE(slowpeer::g_stalled);
    EXPECT_EQ(r, 1);
}

TEST_F(SerchanWine, GarbageWithoutStartByteIsRefused)
{
    sim("flood 64");
    uint8_t buffer[300];
    int32_t r = 0;
    const DWORD start = GetTickCount();
    while (r == 0 && GetTickCount() - start < 2000) {
        r = SCReceive(port_, buffer, sizeof buffer);
        if (r == 0)
            Sleep(1);
    }
    EXPECT_EQ(r, SC_ERR_UNEXPECTED);
    Sleep(100);
    EXPECT_EQ(exchange(kSerialCommand), 6);
}

TEST_F(SerchanWine, UnplugFailsExchangesAndReplugWorksAgain)
{
    sim("unplug");
    EXPECT_LT(exchange(kSerialCommand), 0);
    EXPECT_EQ(SCCloseChannel(port_), 0);
    EXPECT_EQ(SCOpenChannel(port_, 115200, 0), 0); // the port is gone

    sim("replug");
    ASSERT_EQ(SCOpenChannel(port_, 115200, 0), port_);
    EXPECT_EQ(exchange(kSerialCommand), 6);
    EXPECT_EQ(reply_, kSerialReply);
}

// Every wait for a reader's answer blocks on the port instead of asking the
// driver again and again: the ACK waits of a reader that says nothing
// (3 x 300 ms), SCTransmit's time-out after an ACK with no reply, and the
// program's own 500 ms poll for the reply frame. What is counted is how
// often the library looks at the port's queue or reads it: a spinning wait
// looks thousands of times, and processor time would not tell, since on a
// machine busy with other work a spinner that yields gets little of it.
TEST_F(SerchanWine, WaitsForAnAnswerBlockOnThePort)
{
    wintest::PortCallCounter looks(GetModuleHandleA("SERCHAN.dll"));
    ASSERT_TRUE(looks.installed());
    auto pcsc = tarvex::pcsc::loadSystemPcsc();
    auto api = tarvex::loadSerchanBesideProgram();
    tarvex::ReaderSession session(*pcsc, api.get(), tarvex::systemClock());
    session.DevKind = tarvex::DEVKIND_CDC;
    session.ChannelHandle = port_;
    uint8_t buffer[300];
    struct Case {
        const char* what;
        const char* fault;
        const char* undo;
        std::function<bool()> wait; // true when it ended as the fault makes it
        long maxLooks;
    };
    const Case cases[] = {
        // A few looks per attempt: before the frame, the read after it, and
        // each time the wait ends.
        {"ACK waits", "silent 1", "silent 0", [&] { return SCSend(port_, kSerialCommand.data(), 5) == SC_ERR_TIMEOUT; },
            60},
        {"SCTransmit", "noreply", nullptr,
            [&] { return SCTransmit(port_, kSerialCommand.data(), 5, buffer, sizeof buffer, 500) == 0; }, 40},
        // The program polls SCReceive, each call one look: one per pause of
        // a millisecond, with room for the pauses a busy machine cuts short.
        {"program's poll", "noreply", nullptr,
            [&] {
                std::string reply = "keep";
                return session.CDC_SendApdu("FFCAE00000", reply).empty() && reply == "keep";
            },
            1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim(c.fault);
        looks.reset();
        const DWORD start = GetTickCount();
        EXPECT_TRUE(c.wait());
        const DWORD waited = GetTickCount() - start;
        EXPECT_LE(looks.calls(), c.maxLooks) << looks.calls() << " looks at the port in " << waited << " ms";
        if (c.undo)
            sim(c.undo);
        Sleep(150);
        EXPECT_EQ(exchange(kSerialCommand), 6) << "no recovery after " << c.fault;
    }
}

// A reader that stops taking bytes (its firmware hung, or its endpoint keeps
// NAKing) must not hold a write for ever: once the line has backed up, the
// write fails with the port error, and the channel works again after the
// reader has come back and the port has been opened afresh.
TEST_F(SerchanWine, WriteToAReaderThatStopsTakingBytesFails)
{
    sim("stall 1");
    // Long frames without handshake fill the line quickly.
    SCChangeProtocol(SC_OPT_NO_HANDSHAKE | SC_OPT_TWO_BYTE_LENGTH);
    std::atomic<bool> done{false};
    std::atomic<int32_t> result{0};
    std::atomic<int> frames{0};
    // On a thread of its own, so that a write that never returns fails this
    // test instead of hanging it.
    std::thread writer([&] {
        const Bytes data(275, 0x00);
        int32_t r = 0;
        for (int i = 0; i < 4000 && r >= 0; ++i, ++frames)
            r = SCSend(port_, data.data(), uint32_t(data.size()));
        result = r;
        done = true;
    });
    const DWORD start = GetTickCount();
    while (!done && GetTickCount() - start < 30000)
        Sleep(20);
    EXPECT_TRUE(done) << "a write still blocks after 30 s (" << frames << " frames went out)";
    // The reader takes bytes again (and so frees a write that still blocks).
    sim("stall 0");
    writer.join();
    SCChangeProtocol(0);
    EXPECT_EQ(result, SC_ERR_PORT) << "after " << frames << " frames";

    SCCloseChannel(port_);
    Sleep(200); // let the reader drop what was still on its way
    ASSERT_EQ(SCOpenChannel(port_, 115200, 0), port_);
    EXPECT_EQ(exchange(kSerialCommand), 6);
    EXPECT_EQ(reply_, kSerialReply);
}

// Any caller may bind the library by name: all nine exports are there under
// their plain names, each is the function that this program's import of it
// binds, and calls through the looked-up pointers work.
TEST_F(SerchanWine, AllNineExportsByName)
{
    HMODULE dll = GetModuleHandleA("SERCHAN.dll");
    ASSERT_NE(dll, nullptr);
    auto address = [](auto function) { return reinterpret_cast<void*>(function); };
    const struct {
        const char* name;
        void* linked;
    } exports[] = {
        {"SCOpenChannel", address(&SCOpenChannel)},
        {"SCCloseChannel", address(&SCCloseChannel)},
        {"SCSend", address(&SCSend)},
        {"SCReceive", address(&SCReceive)},
        {"SCTransmit", address(&SCTransmit)},
        {"SCCallbacks", address(&SCCallbacks)},
        {"SCChangeProtocol", address(&SCChangeProtocol)},
        {"SCAddProtocol", address(&SCAddProtocol)},
        {"SCDelProtocol", address(&SCDelProtocol)},
    };
    auto get = [&](const char* name) { return address(GetProcAddress(dll, name)); };
    for (const auto& e : exports) {
        EXPECT_NE(get(e.name), nullptr) << e.name;
        EXPECT_EQ(get(e.name), e.linked) << e.name;
    }
    using Options = int32_t(SC_CALL*)(int32_t);
    using Callbacks = SCTransportFn(SC_CALL*)(SCTransportFn, SCTransportFn);
    using Transmit = int32_t(SC_CALL*)(int32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t, uint32_t);
    using Close = int32_t(SC_CALL*)(int32_t);
    using Open = int32_t(SC_CALL*)(int32_t, uint32_t, int32_t);
    ASSERT_TRUE(get("SCChangeProtocol") && get("SCAddProtocol") && get("SCDelProtocol") && get("SCCallbacks")
        && get("SCTransmit") && get("SCCloseChannel") && get("SCOpenChannel"));
    EXPECT_EQ(reinterpret_cast<Options>(get("SCChangeProtocol"))(0x0C), 0x04);
    EXPECT_EQ(reinterpret_cast<Options>(get("SCAddProtocol"))(0x02), 0x06);
    EXPECT_EQ(reinterpret_cast<Options>(get("SCDelProtocol"))(0x06), 0x00);
    EXPECT_EQ(reinterpret_cast<Callbacks>(get("SCCallbacks"))(nullptr, nullptr), nullptr);
    uint8_t buffer[64];
    EXPECT_EQ(
        reinterpret_cast<Transmit>(get("SCTransmit"))(port_, kSerialCommand.data(), 5, buffer, sizeof buffer, 1000), 6);
    EXPECT_EQ(Bytes(buffer, buffer + 6), kSerialReply);
    EXPECT_EQ(reinterpret_cast<Close>(get("SCCloseChannel"))(port_), 0);
    EXPECT_EQ(reinterpret_cast<Open>(get("SCOpenChannel"))(port_, 115200, 0), port_);
}

// The program binds SCOpenChannel, SCSend, SCReceive and SCCloseChannel by
// name from the SERCHAN.dll beside it; the one-port state is shared with
// this process's direct calls, so the fixture's channel is closed first.
TEST_F(SerchanWine, ProgramBindingBesideTheProgram)
{
    SCCloseChannel(port_);
    auto api = tarvex::loadSerchanBesideProgram();
    ASSERT_EQ(api->open(port_, 115200, 0), port_);
    ASSERT_EQ(api->send(port_, kSerialCommand.data(), uint32_t(kSerialCommand.size())), 1);
    uint8_t buffer[64];
    int32_t r = 0;
    const DWORD start = GetTickCount();
    while (r == 0 && GetTickCount() - start < 1000) {
        r = api->receive(port_, buffer, sizeof buffer);
        if (r == 0)
            Sleep(1);
    }
    ASSERT_EQ(r, 6);
    EXPECT_EQ(Bytes(buffer, buffer + 6), kSerialReply);
    EXPECT_EQ(api->close(port_), 0);

    // A path naming no folder binds nothing: calls fail instead of loading
    // whatever SERCHAN.dll the search order would find.
    auto unbound = tarvex::loadSerchanFrom("SERCHAN.dll");
    EXPECT_EQ(unbound->open(port_, 115200, 0), 0);
    EXPECT_EQ(unbound->send(port_, kSerialCommand.data(), 5), -2);
}

} // namespace
