// SERCHAN.dll over a real Windows COM port (Wine maps it to the simulated
// reader's pty): open and line settings, the non-waiting read, exchanges,
// each fault of the reader, an unplug, and the program's by-name binding.
#include "serchan.h"

#include "platform/serchan_api.h"
#include "sim_control.h"
#include "wine_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
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
        const int32_t r = SCTransmit(port_, command.data(), uint32_t(command.size()), buffer, sizeof buffer,
                                     timeoutMs);
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
        {"nak 1", nullptr, 1000, 6},                   // one retransmission suffices
        {"nak 3", nullptr, 1000, SC_ERR_TIMEOUT},      // three NAKs: give up
        {"silent 1", "silent 0", 1000, SC_ERR_TIMEOUT}, // no ACK in 3 x 300 ms
        {"foreign 55", nullptr, 1000, SC_ERR_UNEXPECTED},
        {"pieces 3 40", "pieces 1 0", 1000, 6},        // reply trickles in
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
