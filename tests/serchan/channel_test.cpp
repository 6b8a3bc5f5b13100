// The option functions, SCCallbacks, SCCloseChannel with transports, SCTransmit.
#include "protocol_support.h"

using fake::Bytes;
using support::Protocol;

namespace {

TEST_F(Protocol, OptionFunctions)
{
    struct Step {
        const char* call;
        int32_t argument;
        int32_t expected;
    };
    const Step steps[] = {
        {"change", 0x0C, 0x04}, // 0x08 is a command, never stored
        {"add", 0x02, 0x06},
        {"del", 0x04, 0x02},
        {"add", 0x08, 0x02},
        {"del", 0x08, 0x02},
        {"change", SC_OPT_SKIP_START_ONCE | 0x31, SC_OPT_SKIP_START_ONCE | 0x31},
        {"del", SC_OPT_SKIP_START_ONCE, 0x31},
        {"add", 0, 0x31},
        {"change", 0, 0},
    };
    for (const Step& s : steps) {
        int32_t r = 0;
        if (std::string(s.call) == "change")
            r = SCChangeProtocol(s.argument);
        else if (std::string(s.call) == "add")
            r = SCAddProtocol(s.argument);
        else
            r = SCDelProtocol(s.argument);
        EXPECT_EQ(r, s.expected) << s.call << " " << s.argument;
    }
}

// The role reset shows in the next send: as responder it reuses the number
// of the frame last taken, after a reset it starts a new exchange (+1).
TEST_F(Protocol, RoleResetByEveryOptionFunctionGivenBit08)
{
    auto resetters = {
        +[] { SCChangeProtocol(SC_OPT_RESET_ROLE); }, +[] { SCAddProtocol(SC_OPT_RESET_ROLE); },
        // 0x08 stored unchanged by SCOpenChannel and applied by the next
        // option call: Port.OpenStoresOption08UnchangedForTheNextOptionCall.
    };
    for (auto reset : resetters) {
        support::setSequence(0x40);
        EXPECT_EQ(support::sentSequence(), 0x40);
        reset();
        EXPECT_EQ(support::sentSequence(), 0x41);
        EXPECT_EQ(SCAddProtocol(0), 0);
    }
    // Changing other bits keeps the role.
    support::setSequence(0x40);
    SCChangeProtocol(SC_OPT_INVERTED_CHECK);
    SCDelProtocol(SC_OPT_RESET_ROLE);
    EXPECT_EQ(support::sentSequence(), 0x40);
}

int32_t SC_CALL otherWrite(uint8_t*, int32_t length)
{
    return length;
}

TEST_F(Protocol, CallbacksReturnTheWriteFunction)
{
    EXPECT_EQ(SCCallbacks(otherWrite, fake::read), otherWrite);
    EXPECT_EQ(SCCallbacks(nullptr, fake::read), nullptr);
    EXPECT_EQ(SCCallbacks(fake::write, nullptr), fake::write);
}

TEST_F(Protocol, CloseKeepsTheLineOnlyWhenBothTransportsAreInstalled)
{
    SCCallbacks(fake::write, fake::read);
    EXPECT_EQ(SCCloseChannel(3), 1);
    SCCallbacks(fake::write, nullptr);
    EXPECT_EQ(SCCloseChannel(3), 0);
    SCCallbacks(nullptr, fake::read);
    EXPECT_EQ(SCCloseChannel(3), 0);
    SCCallbacks(nullptr, nullptr);
    EXPECT_EQ(SCCloseChannel(3), 0);
}

TEST_F(Protocol, CloseAndOpenLeaveProtocolStateAlone)
{
    support::setSequence(0x20);
    SCChangeProtocol(SC_OPT_INVERTED_CHECK);
    SCCallbacks(fake::write, nullptr);
    SCCloseChannel(1);
    EXPECT_EQ(SCOpenChannel(0, 115200, 0x7), 0); // COM0 never exists
    SCCallbacks(fake::write, fake::read);
    EXPECT_EQ(SCAddProtocol(0), SC_OPT_INVERTED_CHECK);
    EXPECT_EQ(support::sentSequence(), 0x20);
}

const Bytes kCmd{0xFF, 0xCA, 0xF0, 0x00, 0x04};

TEST_F(Protocol, TransmitSendsThenCollectsTheAnswer)
{
    support::setSequence(0x80);
    SCChangeProtocol(SC_OPT_RESET_ROLE);
    // The peer ACKs the command and answers in two pieces.
    fake::line().onWrite = [](const Bytes& w) {
        if (w.size() > 1) {
            fake::line().feed({0x06});
            const Bytes answer = fake::frame(w[1], {0x01, 0x02, 0x03, 0x04, 0x90, 0x00});
            fake::line().feed(Bytes(answer.begin(), answer.begin() + 4));
            fake::line().feed(Bytes(answer.begin() + 4, answer.end()));
        }
    };
    uint8_t buf[260] = {};
    EXPECT_EQ(SCTransmit(0, kCmd.data(), 5, buf, sizeof buf, 500), 6);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{0x01, 0x02, 0x03, 0x04, 0x90, 0x00}));
    EXPECT_EQ(fake::line().handshakes(), Bytes{0x06});
}

// The answer lands while the thread is away past the time-out (a 10 ms
// time-out against a coarse sleep): the wait ends with a last look, so the
// answer is returned rather than 0.
TEST_F(Protocol, TransmitTakesAnAnswerThatLandsAsTheTimeOutEnds)
{
    fake::line().onWrite = [](const Bytes& w) {
        if (w.size() > 1) {
            fake::line().feed({0x06});
            // The ACK wait's read goes first; the answer's first read stalls.
            fake::line().stall = fake::Line::Stall{1, 30, fake::frame(w[1], {0x90, 0x00})};
        }
    };
    uint8_t buf[16] = {};
    EXPECT_EQ(SCTransmit(0, kCmd.data(), 5, buf, sizeof buf, 10), 2);
    EXPECT_EQ(Bytes(buf, buf + 2), (Bytes{0x90, 0x00}));
}

// A caller's transport gives nothing to wait on, so SCTransmit polls it, but
// with a pause of a millisecond between reads, as the ACK wait does: reading
// again at once would keep a core busy for the whole time-out.
TEST_F(Protocol, TransmitPausesBetweenReadsOfACallersTransport)
{
    fake::answerFrames({0x06}); // acknowledged, never answered
    uint8_t buf[16];
    EXPECT_EQ(SCTransmit(0, kCmd.data(), 5, buf, sizeof buf, 50), 0);
    // The drain and the ACK, then at most one read per millisecond and the
    // last look (a busy machine only makes the pauses longer).
    EXPECT_LE(fake::line().reads, 2 + 50 + 1);
}

TEST_F(Protocol, TransmitResults)
{
    struct Case {
        const char* name;
        int32_t options;
        Bytes answers;
        uint32_t timeoutMs;
        int32_t expected;
    };
    const Case cases[] = {
        {"timeout_zero_after_ack", 0, {0x06}, 0, 1},
        {"no_answer_frame", 0, {0x06}, 30, 0},
        {"send_refused", SC_OPT_NO_RETRANSMIT, {0x15}, 500, SC_ERR_TIMEOUT},
        {"foreign_answer", 0, {0x41}, 500, SC_ERR_UNEXPECTED},
        {"no_handshake_count", SC_OPT_NO_HANDSHAKE, {}, 500, 9},
    };
    for (const Case& c : cases) {
        support::resetLibrary();
        SCChangeProtocol(c.options);
        fake::answerFrames(c.answers);
        uint8_t buf[16];
        EXPECT_EQ(SCTransmit(0, kCmd.data(), 5, buf, sizeof buf, c.timeoutMs), c.expected) << c.name;
        const int reads = fake::line().reads;
        if (c.timeoutMs == 0 || c.expected < 0) {
            EXPECT_LE(reads, 2) << c.name << ": no receive after the send";
        }
    }
}

} // namespace
