// SCSend: frame layout, sequence numbers, length limits, answer handling.
#include "protocol_support.h"

#include <chrono>
#include <thread>

using fake::Bytes;
using support::Protocol;

namespace {

const Bytes kApdu{0xFF, 0xCA, 0xE0, 0x00, 0x00};

struct FrameCase {
    const char* name;
    int32_t options;
    Bytes data;
    Bytes expected;
};

void PrintTo(const FrameCase& c, std::ostream* os)
{
    *os << c.name;
}

class FrameLayout : public Protocol, public ::testing::WithParamInterface<FrameCase> { };

TEST_P(FrameLayout, BuildsTheFrame)
{
    const FrameCase& c = GetParam();
    support::setSequence(0x81); // as responder the frame carries 0x81
    SCChangeProtocol(c.options);
    fake::answerFrames({0x06});
    EXPECT_EQ(SCSend(0, c.data.data(), static_cast<uint32_t>(c.data.size())), 1);
    ASSERT_EQ(fake::line().writes.size(), 1u);
    EXPECT_EQ(fake::line().writes[0], c.expected);
}

INSTANTIATE_TEST_SUITE_P(Vectors, FrameLayout,
    ::testing::Values(FrameCase{"apdu", 0, kApdu, {0x02, 0x81, 0x05, 0xFF, 0xCA, 0xE0, 0x00, 0x00, 0x53}},
        FrameCase{"inverted", SC_OPT_INVERTED_CHECK, kApdu, {0x02, 0x81, 0x05, 0xFF, 0xCA, 0xE0, 0x00, 0x00, 0xAC}},
        FrameCase{"empty", 0, {}, {0x02, 0x81, 0x00, 0x83}},
        FrameCase{"two_byte_length", SC_OPT_TWO_BYTE_LENGTH, {0x90, 0x00},
            {0x02, 0x81, 0x00, 0x02, 0x90, 0x00, 0x02 ^ 0x81 ^ 0x02 ^ 0x90}},
        // The check byte still covers the start byte that was left out.
        FrameCase{"skip_start_once", SC_OPT_SKIP_START_ONCE, kApdu, {0x81, 0x05, 0xFF, 0xCA, 0xE0, 0x00, 0x00, 0x53}},
        // Receive-side options do not change what is sent.
        FrameCase{"no_start_byte_is_receive_only", SC_OPT_NO_START_BYTE, kApdu,
            {0x02, 0x81, 0x05, 0xFF, 0xCA, 0xE0, 0x00, 0x00, 0x53}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Protocol, SequenceAdvancesAsInitiatorAndStaysAsResponder)
{
    support::setSequence(0xFE);
    fake::answerFrames({0x06, 0x06, 0x06, 0x06});
    const uint8_t one = 0x11;
    ASSERT_EQ(SCSend(0, &one, 1), 1);
    ASSERT_EQ(SCSend(0, &one, 1), 1);
    SCChangeProtocol(SC_OPT_RESET_ROLE); // the next send starts an exchange
    ASSERT_EQ(SCSend(0, &one, 1), 1);
    ASSERT_EQ(SCSend(0, &one, 1), 1);
    const auto frames = fake::line().frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0][1], 0xFE);
    EXPECT_EQ(frames[1][1], 0xFE);
    EXPECT_EQ(frames[2][1], 0xFF);
    EXPECT_EQ(frames[3][1], 0x00); // wraps
}

struct LengthCase {
    int32_t options;
    uint32_t length;
    int32_t expected;
};

TEST_F(Protocol, LengthLimits)
{
    static uint8_t data[300];
    const LengthCase cases[] = {
        {0, 255, 1},
        {0, 256, SC_ERR_TOO_LONG},
        {SC_OPT_TWO_BYTE_LENGTH, 256, 1},
        {SC_OPT_TWO_BYTE_LENGTH, 275, 1},
        {SC_OPT_TWO_BYTE_LENGTH, 276, SC_ERR_TOO_LONG},
        {SC_OPT_TWO_BYTE_LENGTH, 0xFFFFFFFFu, SC_ERR_TOO_LONG}, // "-1" as a length
        {0, 0x80000000u, SC_ERR_TOO_LONG},
    };
    for (const auto& c : cases) {
        SCChangeProtocol(c.options);
        fake::line().clear();
        fake::answerFrames({0x06});
        EXPECT_EQ(SCSend(0, data, c.length), c.expected) << c.length;
        const auto frames = fake::line().frames();
        if (c.expected == 1) {
            ASSERT_EQ(frames.size(), 1u);
            const size_t header = (c.options & SC_OPT_TWO_BYTE_LENGTH) ? 4 : 3;
            EXPECT_EQ(frames[0].size(), header + c.length + 1);
        } else {
            EXPECT_TRUE(frames.empty()) << "a refused send writes nothing";
        }
    }
}

TEST_F(Protocol, NullDataIsRefusedUnlessEmpty)
{
    fake::answerFrames({0x06, 0x06});
    EXPECT_EQ(SCSend(0, nullptr, 5), SC_ERR_TOO_LONG);
    EXPECT_TRUE(fake::line().writes.empty());
    EXPECT_EQ(SCSend(0, nullptr, 0), 1);
    ASSERT_EQ(fake::line().frames().size(), 1u);
    EXPECT_EQ(fake::line().frames()[0].size(), 4u);
}

struct AnswerCase {
    const char* name;
    int32_t options;
    Bytes answers; // one per frame written
    int32_t expected;
    size_t frames;
};

void PrintTo(const AnswerCase& c, std::ostream* os)
{
    *os << c.name;
}

class Answers : public Protocol, public ::testing::WithParamInterface<AnswerCase> { };

TEST_P(Answers, DecideTheResult)
{
    const AnswerCase& c = GetParam();
    SCChangeProtocol(c.options);
    fake::answerFrames(c.answers);
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), c.expected);
    EXPECT_EQ(fake::line().frames().size(), c.frames);
    EXPECT_TRUE(fake::line().incoming.empty()) << "the answer byte is consumed";
}

INSTANTIATE_TEST_SUITE_P(Handshake, Answers,
    ::testing::Values(AnswerCase{"ack", 0, {0x06}, 1, 1}, AnswerCase{"nak_then_ack", 0, {0x15, 0x06}, 1, 2},
        AnswerCase{"two_naks_then_ack", 0, {0x15, 0x15, 0x06}, 1, 3},
        AnswerCase{"three_naks", 0, {0x15, 0x15, 0x15, 0x06}, SC_ERR_TIMEOUT, 3},
        AnswerCase{"nak_without_retransmit", SC_OPT_NO_RETRANSMIT, {0x15, 0x06}, SC_ERR_TIMEOUT, 1},
        AnswerCase{"start_byte_as_answer", 0, {0x02}, SC_ERR_UNEXPECTED, 1},
        AnswerCase{"foreign_after_nak", 0, {0x15, 0x41}, SC_ERR_UNEXPECTED, 2},
        // Without handshake nothing is awaited: the ACK stays queued.
        AnswerCase{"no_handshake", SC_OPT_NO_HANDSHAKE, {}, 9, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Protocol, NoHandshakeReturnsTheCountWritten)
{
    SCChangeProtocol(SC_OPT_NO_HANDSHAKE | SC_OPT_SKIP_START_ONCE);
    fake::line().onWrite = [](const Bytes&) { fake::line().feed({0x06}); };
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), 8); // start byte skipped once
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), 9);
    // Neither send waited for an answer: the first ACK went only to the
    // second send's drain read, the second is still queued.
    EXPECT_EQ(fake::line().incoming.size(), 1u);
}

TEST_F(Protocol, SkipStartOnceAppliesToTheFirstAttemptOnly)
{
    SCChangeProtocol(SC_OPT_SKIP_START_ONCE);
    fake::answerFrames({0x15, 0x06});
    ASSERT_EQ(SCSend(0, kApdu.data(), 5), 1);
    const auto frames = fake::line().frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].size(), 8u);
    EXPECT_EQ(frames[1].size(), 9u);
    EXPECT_EQ(frames[1][0], 0x02);
    EXPECT_EQ(SCAddProtocol(0), 0) << "the one-shot bit is cleared when used";
}

TEST_F(Protocol, FailedWritesAreRetriedAndReported)
{
    for (int32_t failure : {0, -2, -7}) {
        fake::line().clear();
        fake::line().writeFails = failure;
        EXPECT_EQ(SCSend(0, kApdu.data(), 5), failure);
        EXPECT_EQ(fake::line().writeCalls, 3);
    }
}

// A caller's transport that fails for a moment is no unplugged port: the
// wait goes on, so the peer, which took the frame, is not sent it again
// (with the same sequence number it would run the command twice).
int g_failingReads = 0;
int32_t SC_CALL brieflyFailingRead(uint8_t* data, int32_t length)
{
    if (g_failingReads > 0) {
        --g_failingReads;
        return -9;
    }
    return fake::read(data, length);
}

TEST_F(Protocol, BriefReadFailuresOfTheTransportCountAsNoByte)
{
    SCCallbacks(fake::write, brieflyFailingRead);
    fake::line().onWrite = [](const Bytes& w) {
        if (w.size() > 1) {
            g_failingReads = 3;
            fake::line().feed({0x06});
        }
    };
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), 1);
    EXPECT_EQ(fake::line().frames().size(), 1u);

    // A transport that keeps failing is silence: each attempt waits it out.
    fake::line().clear();
    fake::line().onWrite = [](const Bytes&) { fake::line().readFails = -9; };
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), SC_ERR_TIMEOUT);
    EXPECT_EQ(fake::line().frames().size(), 3u);
}

// The ACK lands while the thread is away (a coarse sleep, a busy machine)
// and the wait's time runs out meanwhile: a last look after the deadline
// still takes it, instead of giving up on an acknowledged frame.
TEST_F(Protocol, AckThatLandsAsTheWaitEndsIsTaken)
{
    SCChangeProtocol(SC_OPT_NO_RETRANSMIT);
    fake::line().onWrite = [](const Bytes& w) {
        if (w.size() > 1)
            fake::line().stall = fake::Line::Stall{0, 320, {0x06}};
    };
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), 1);
    EXPECT_EQ(fake::line().frames().size(), 1u);
}

TEST_F(Protocol, StaleInputIsDrainedWithOneRead)
{
    // A stale ACK queued before the send must not acknowledge the new frame.
    fake::line().feed({0x06, 0x06});
    fake::answerFrames({0x15, 0x15, 0x15});
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), SC_ERR_TIMEOUT);

    // Only one read drains: a second queued chunk is taken as the answer.
    fake::line().clear();
    SCCallbacks(fake::write, fake::read);
    fake::line().feed({0x15});
    fake::line().feed({0x06});
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), 1);
    EXPECT_EQ(fake::line().frames().size(), 1u);
}

TEST_F(Protocol, SilenceTimesOutEachAttemptAfter300ms)
{
    using Clock = std::chrono::steady_clock;
    struct Case {
        int32_t options;
        size_t frames;
        int minMs;
    };
    for (const Case c : {Case{SC_OPT_NO_RETRANSMIT, 1, 300}, Case{0, 3, 900}}) {
        fake::line().clear();
        SCChangeProtocol(c.options);
        const auto t0 = Clock::now();
        EXPECT_EQ(SCSend(0, kApdu.data(), 5), SC_ERR_TIMEOUT);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        EXPECT_EQ(fake::line().frames().size(), c.frames);
        EXPECT_GE(ms, c.minMs - 3); // the tick counter has 1 ms steps
    }
}

} // namespace
