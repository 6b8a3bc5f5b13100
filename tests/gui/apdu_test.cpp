#include "harness.h"
#include <gtest/gtest.h>

namespace tarvex::guitest {

namespace {

enum class Transport { Ccid, Cdc };

struct Exchange {
    std::string status, reply;
    std::vector<std::string> sent;
};

Exchange run(Transport t, const std::string& command, const Bytes& answer)
{
    Gui g;
    g.answers["FFCAE00000"] = answer;
    if (t == Transport::Ccid)
        g.useCcid();
    else
        g.useCdc();
    Exchange e;
    e.reply = "keep";
    e.status = g.form->core().session().SendAPDU(command, e.reply);
    e.sent = t == Transport::Ccid ? g.pcscSent() : g.world.serchan.sent;
    return e;
}

} // namespace

TEST(ApduExchange, StatusAndReplyOnBothTransports)
{
    struct Case {
        const char* command;
        const char* answer;
        const char* status;
        const char* reply;
    } cases[] = {
        {"FFCAE00000", "12349000", "9000", "1234"}, {"FFCAE00000", "9000", "9000", ""},
        {"FFCAE00000", "6A82", "6A82", ""}, {"ffcae00000", "12349000", "9000", "1234"}, // lower case: same bytes
        {"FFCAE00000", "", "", "keep"},   // nothing back: failed, reply untouched
        {"FFCAE00000", "90", "", "keep"}, // one byte cannot hold a status
    };
    for (Transport t : {Transport::Ccid, Transport::Cdc}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(t == Transport::Ccid ? "CCID " : "CDC ") + c.command + " <- " + c.answer);
            const Exchange e = run(t, c.command, hexBytes(c.answer));
            EXPECT_EQ(e.status, c.status);
            EXPECT_EQ(e.reply, c.reply);
            EXPECT_EQ(e.sent, std::vector<std::string>{"FFCAE00000"});
        }
    }
}

TEST(ApduExchange, TextThatIsNoCommandIsNeverSent)
{
    for (Transport t : {Transport::Ccid, Transport::Cdc}) {
        for (const char* command : {"", "ZZ", "FFCA E0"}) {
            SCOPED_TRACE(command);
            const Exchange e = run(t, command, hexBytes("9000"));
            EXPECT_EQ(e.status, "");
            EXPECT_EQ(e.reply, "keep");
            EXPECT_TRUE(e.sent.empty());
        }
    }
}

TEST(ApduExchange, NoTransportForHidOrUnknownKinds)
{
    for (int16_t kind : {int16_t(3), int16_t(2), int16_t(-1)}) {
        Gui g;
        g.useCdc();
        g.useCcid();
        g.form->core().session().DevKind = kind;
        std::string reply = "keep";
        EXPECT_EQ(g.form->core().session().SendAPDU("FFCAE00000", reply), "");
        EXPECT_EQ(reply, "keep");
        EXPECT_TRUE(g.pcscSent().empty());
        EXPECT_TRUE(g.world.serchan.sent.empty());
    }
}

TEST(ApduExchange, PcscFailureLeavesTheReplyAlone)
{
    Gui g;
    g.useCcid();
    g.world.pcsc.transmitResults.push_back(pcsc::E_NO_SMARTCARD);
    std::string reply = "keep";
    EXPECT_EQ(g.form->core().session().SendAPDU("FFCAE00000", reply), "");
    EXPECT_EQ(reply, "keep");
}

TEST(ApduExchange, SerialSendFailureReturnsAtOnce)
{
    Gui g;
    g.useCdc();
    g.world.serchan.sendResult = -3;
    const uint32_t before = g.world.clock.now;
    std::string reply = "keep";
    EXPECT_EQ(g.form->core().session().SendAPDU("FFCAE00000", reply), "");
    EXPECT_EQ(reply, "keep");
    EXPECT_LT(g.world.clock.now - before, 10u);
}

TEST(ApduExchange, SerialReplyTimesOutAfter500msAlsoAcrossTheTickWrap)
{
    for (uint32_t start : {1000u, 0xFFFFFF00u, 0x7FFFFF00u}) {
        SCOPED_TRACE(start);
        Gui g;
        g.useCdc();
        g.world.serchan.responder = nullptr; // acknowledged, never answered
        g.world.clock.now = start;
        std::string reply = "keep";
        EXPECT_EQ(g.form->core().session().SendAPDU("FFCAE00000", reply), "");
        EXPECT_EQ(reply, "keep");
        const uint32_t waited = g.world.clock.now - start;
        EXPECT_GE(waited, 500u);
        EXPECT_LE(waited, 510u);
    }
}

// The wait for the reply frame pauses between its looks instead of asking
// the library again at once. On a clock that moves only when somebody
// sleeps, a reader that acknowledges and never answers gets one look per
// millisecond of the 500 ms, and one after the last pause.
TEST(ApduExchange, SerialReplyWaitPausesBetweenLooks)
{
    Gui g;
    g.world.clock.autoAdvance = 0;
    struct Mute : fakes::FakeSerchan {
        fakes::FakeClock* clock = nullptr;
        int looks = 0;
        int32_t receive(int32_t, uint8_t*, uint32_t) override
        {
            // A wait that never pauses never sees this clock move: after far
            // more looks than a paced one makes, end it by force.
            if (++looks % 10000 == 0)
                clock->now += 1000;
            return 0;
        }
    } mute;
    mute.clock = &g.world.clock;
    Services s = g.world.services();
    s.serchan = &mute;
    frmMain f(s, g.world.ui);
    f.tmrUpdates->stop();
    f.core().session().DevKind = DEVKIND_CDC;
    f.core().session().ChannelHandle = 3;
    std::string reply = "keep";
    EXPECT_EQ(f.core().session().SendAPDU("FFCAE00000", reply), "");
    EXPECT_EQ(reply, "keep");
    EXPECT_EQ(mute.looks, 501);
    EXPECT_EQ(g.world.clock.sleeps, std::vector<uint32_t>(500, 1));
}

TEST(ApduExchange, SerialReplyArrivingLateStillCounts)
{
    Gui g;
    g.useCdc();
    g.world.serchan.responder = nullptr;
    // Answer only after some polls: the receive keeps returning 0 until then.
    struct LateSerchan : fakes::FakeSerchan {
        int polls = 0;
        int32_t receive(int32_t ch, uint8_t* b, uint32_t cap) override
        {
            if (++polls < 100)
                return 0;
            pending = Bytes{0x12, 0x90, 0x00};
            return FakeSerchan::receive(ch, b, cap);
        }
    } late;
    Services s = g.world.services();
    s.serchan = &late;
    frmMain f(s, g.world.ui);
    f.tmrUpdates->stop();
    f.core().session().DevKind = DEVKIND_CDC;
    f.core().session().ChannelHandle = 3;
    std::string reply;
    EXPECT_EQ(f.core().session().SendAPDU("FFCAE00000", reply), "9000");
    EXPECT_EQ(reply, "12");
    EXPECT_EQ(late.polls, 100);
}

} // namespace tarvex::guitest
