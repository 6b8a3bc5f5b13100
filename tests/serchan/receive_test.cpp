// SCReceive: collecting a frame across reads, checking it, answering ACK/NAK.
#include "protocol_support.h"

#include <chrono>
#include <thread>

using fake::Bytes;
using fake::FrameOpts;
using support::Protocol;

namespace {

constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;

// The reader's answer in the documented example exchange: 02 81 02 90 00 11.
const Bytes kAnswer{0x02, 0x81, 0x02, 0x90, 0x00, 0x11};

// Starts an exchange as initiator with sequence number 0x81.
void becomeInitiatorAt81()
{
    support::setSequence(0x80);
    SCChangeProtocol(SC_OPT_RESET_ROLE);
    fake::answerFrames({ACK});
    const uint8_t cmd = 0x00;
    ASSERT_EQ(SCSend(0, &cmd, 1), 1);
    fake::line().clear();
}

struct ReceiveCase {
    const char* name;
    int32_t options;
    std::vector<Bytes> chunks; // one SCReceive per chunk; all but the last give 0
    int32_t expected;
    Bytes data;      // delivered when expected > 0
    Bytes handshake; // ACK/NAK bytes written
    uint32_t capacity = 260;
};

void PrintTo(const ReceiveCase& c, std::ostream* os)
{
    *os << c.name;
}

class Receive : public Protocol, public ::testing::WithParamInterface<ReceiveCase> { };

TEST_P(Receive, AsInitiator)
{
    const ReceiveCase& c = GetParam();
    becomeInitiatorAt81();
    SCChangeProtocol(c.options);
    uint8_t buf[300] = {};
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        fake::line().feed(c.chunks[i]);
        const int32_t r = SCReceive(0, buf, c.capacity);
        if (i + 1 < c.chunks.size()) {
            ASSERT_EQ(r, 0) << "chunk " << i;
        } else {
            ASSERT_EQ(r, c.expected);
        }
    }
    if (c.expected > 0) {
        EXPECT_EQ(Bytes(buf, buf + c.expected), c.data);
    }
    EXPECT_EQ(fake::line().handshakes(), c.handshake);
    EXPECT_TRUE(fake::line().frames().empty());
}

std::vector<Bytes> bytewise(const Bytes& b)
{
    std::vector<Bytes> out;
    for (uint8_t x : b)
        out.push_back({x});
    return out;
}

Bytes cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes k90{0x90, 0x00};

INSTANTIATE_TEST_SUITE_P(Frames, Receive,
    ::testing::Values(ReceiveCase{"example", 0, {kAnswer}, 2, k90, {ACK}},
        ReceiveCase{"byte_by_byte", 0, bytewise(kAnswer), 2, k90, {ACK}},
        ReceiveCase{"noise_ahead", 0, {cat({0xFF, 0x13, 0x00}, kAnswer)}, 2, k90, {ACK}},
        ReceiveCase{"header_then_rest", 0, {{0x44, 0x02, 0x81}, {0x02, 0x90}, {0x00, 0x11}}, 2, k90, {ACK}},
        ReceiveCase{"no_start_byte", 0, {{0xFF, 0x13, 0x00}}, SC_ERR_UNEXPECTED, {}, {}},
        ReceiveCase{"wrong_sequence", 0, {fake::frame(0x82, k90)}, SC_ERR_UNEXPECTED, {}, {}},
        ReceiveCase{"bad_check", 0, {fake::frame(0x81, k90, FrameOpts{.check = 0x12})}, SC_ERR_BAD_FRAME, {}, {NAK}},
        ReceiveCase{"empty_frame", 0, {{0x02, 0x81, 0x00, 0x83}}, SC_ERR_BAD_FRAME, {}, {NAK}},
        ReceiveCase{"longer_than_capacity", 0, {kAnswer}, SC_ERR_TOO_LONG, {}, {ACK}, 1},
        ReceiveCase{"capacity_zero", 0, {kAnswer}, SC_ERR_TOO_LONG, {}, {ACK}, 0},
        ReceiveCase{"exactly_capacity", 0, {kAnswer}, 2, k90, {ACK}, 2},
        ReceiveCase{"largest_frame", 0, {fake::frame(0x81, Bytes(255, 0x5A))}, 255, Bytes(255, 0x5A), {ACK}},
        ReceiveCase{"no_start_option", SC_OPT_NO_START_BYTE, {{0x81, 0x02, 0x90, 0x00, 0x11}}, 2, k90, {ACK}},
        ReceiveCase{"no_start_option_split", SC_OPT_NO_START_BYTE, {{0x81, 0x02}, {0x90}, {0x00, 0x11}}, 2, k90, {ACK}},
        ReceiveCase{"no_handshake", SC_OPT_NO_HANDSHAKE, {kAnswer}, 2, k90, {}},
        ReceiveCase{"no_handshake_bad_check", SC_OPT_NO_HANDSHAKE, {{0x02, 0x81, 0x02, 0x90, 0x00, 0x12}},
            SC_ERR_BAD_FRAME, {}, {}},
        ReceiveCase{"inverted_check", SC_OPT_INVERTED_CHECK, {fake::frame(0x81, k90, FrameOpts{.inverted = true})}, 2,
            k90, {ACK}},
        ReceiveCase{"plain_check_under_inverted", SC_OPT_INVERTED_CHECK, {kAnswer}, SC_ERR_BAD_FRAME, {}, {NAK}},
        // Two-byte length: L = high << 8 | low, four header bytes.
        ReceiveCase{"two_byte_length", SC_OPT_TWO_BYTE_LENGTH,
            {fake::frame(0x81, k90, FrameOpts{.start = 0x82, .twoByteLength = true})}, 2, k90, {ACK}},
        ReceiveCase{"two_byte_length_275", SC_OPT_TWO_BYTE_LENGTH,
            {fake::frame(0x81, Bytes(275, 0xA5), FrameOpts{.start = 0x82, .twoByteLength = true})}, 275,
            Bytes(275, 0xA5), {ACK}, 300},
        ReceiveCase{"two_byte_length_needs_0x82", SC_OPT_TWO_BYTE_LENGTH,
            {fake::frame(0x81, k90, FrameOpts{.twoByteLength = true})}, SC_ERR_BAD_FRAME, {}, {NAK}},
        ReceiveCase{"two_byte_length_no_start", SC_OPT_TWO_BYTE_LENGTH | SC_OPT_NO_START_BYTE,
            {fake::frame(0x81, k90, FrameOpts{.start = 0x82, .withStart = false, .twoByteLength = true})}, 2, k90,
            {ACK}},
        // A length that cannot fit the buffer is refused once the header is in.
        ReceiveCase{"two_byte_length_too_long", SC_OPT_TWO_BYTE_LENGTH, {{0x82, 0x81, 0x01, 0x14}}, SC_ERR_BAD_FRAME,
            {}, {NAK}},
        ReceiveCase{"two_byte_length_huge", SC_OPT_TWO_BYTE_LENGTH, {{0x82, 0x81, 0xFF, 0xFF, 0x00}}, SC_ERR_BAD_FRAME,
            {}, {NAK}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Protocol, NullBufferBehavesLikeCapacityZero)
{
    becomeInitiatorAt81();
    fake::line().feed(kAnswer);
    EXPECT_EQ(SCReceive(0, nullptr, 260), SC_ERR_TOO_LONG);
    EXPECT_EQ(fake::line().handshakes(), Bytes{ACK});
}

// Which outcomes take the frame's sequence number: seen as responder, whose
// next SCSend carries the number of the frame last taken.
TEST_F(Protocol, SequenceIsTakenOnlyFromAcceptedFrames)
{
    struct Case {
        const char* name;
        Bytes frame;
        uint32_t capacity;
        bool ackFails;
        int32_t expected;
        uint8_t sequenceAfter;
    };
    const Case cases[] = {
        {"good", fake::frame(0x33, k90), 8, false, 2, 0x33},
        {"too_long", fake::frame(0x33, k90), 1, false, SC_ERR_TOO_LONG, 0x33},
        {"ack_not_written", fake::frame(0x33, k90), 8, true, SC_ERR_ACK_WRITE, 0x33},
        {"bad_check", fake::frame(0x33, k90, FrameOpts{.check = 0}), 8, false, SC_ERR_BAD_FRAME, 0x10},
        {"empty", fake::frame(0x33, {}), 8, false, SC_ERR_BAD_FRAME, 0x10},
    };
    for (const Case& c : cases) {
        support::setSequence(0x10);
        fake::line().feed(c.frame);
        if (c.ackFails)
            fake::line().writeFails = 0;
        uint8_t buf[8];
        EXPECT_EQ(SCReceive(0, buf, c.capacity), c.expected) << c.name;
        fake::line().writeFails.reset();
        EXPECT_EQ(support::sentSequence(), c.sequenceAfter) << c.name;
    }
}

TEST_F(Protocol, ResponderAcceptsAnySequence)
{
    SCReceive(0, nullptr, 0); // the first receive makes us responder
    uint8_t buf[8];
    for (uint8_t seq : {0x05, 0x05, 0xF0, 0x00}) {
        fake::line().feed(fake::frame(seq, k90));
        EXPECT_EQ(SCReceive(0, buf, sizeof buf), 2);
    }
}

TEST_F(Protocol, BytesBehindTheFrameAreDropped)
{
    becomeInitiatorAt81();
    uint8_t buf[8];
    fake::line().feed(cat(kAnswer, {0x02, 0x81, 0x02}));
    EXPECT_EQ(SCReceive(0, buf, sizeof buf), 2);
    // Nothing of the trailing partial frame survived: a fresh frame parses.
    fake::line().feed(fake::frame(0x81, {0x6A, 0x82}));
    EXPECT_EQ(SCReceive(0, buf, sizeof buf), 2);
    EXPECT_EQ(buf[0], 0x6A);
}

TEST_F(Protocol, FailedReadChangesNothing)
{
    becomeInitiatorAt81();
    uint8_t buf[8];
    fake::line().feed({0x02, 0x81, 0x02});
    ASSERT_EQ(SCReceive(0, buf, sizeof buf), 0);
    fake::line().readFails = -7;
    EXPECT_EQ(SCReceive(0, buf, sizeof buf), -7);
    fake::line().readFails.reset();
    fake::line().feed({0x90, 0x00, 0x11});
    EXPECT_EQ(SCReceive(0, buf, sizeof buf), 2);
}

TEST_F(Protocol, SendAbandonsAHalfReceivedFrame)
{
    becomeInitiatorAt81();
    uint8_t buf[8];
    fake::line().feed({0x02, 0x81, 0x04, 0xAA});
    ASSERT_EQ(SCReceive(0, buf, sizeof buf), 0);
    fake::answerFrames({ACK});
    const uint8_t cmd = 0x01;
    ASSERT_EQ(SCSend(0, &cmd, 1), 1); // now at 0x82
    fake::line().feed(fake::frame(0x82, k90));
    EXPECT_EQ(SCReceive(0, buf, sizeof buf), 2);
}

TEST_F(Protocol, AFloodNeverWedgesTheReceiver)
{
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<uint8_t>(seed >> 16);
    };
    uint8_t buf[260];
    for (int32_t options : {0, int32_t{SC_OPT_TWO_BYTE_LENGTH}, SC_OPT_NO_START_BYTE | SC_OPT_TWO_BYTE_LENGTH}) {
        support::resetLibrary();
        SCChangeProtocol(options);
        for (int round = 0; round < 400; ++round) {
            Bytes chunk(1 + next() % 200);
            for (auto& b : chunk)
                b = (round % 3 == 0) ? 0x02 : next();
            fake::line().feed(chunk);
            // Whatever arrives is taken within a few calls: a receiver that
            // stopped reading (a full buffer it never empties) would not.
            for (int call = 0; call < 4 && !fake::line().incoming.empty(); ++call) {
                const int32_t r = SCReceive(0, buf, sizeof buf);
                EXPECT_TRUE(r >= 0 || r == SC_ERR_UNEXPECTED || r == SC_ERR_BAD_FRAME || r == SC_ERR_TOO_LONG) << r;
            }
            ASSERT_TRUE(fake::line().incoming.empty()) << "round " << round;
        }
        // After the flood a well-formed frame still gets through. The last
        // chunk may have left a frame open; it completes or is refused first.
        support::resetLibrary();
        SCChangeProtocol(options);
        const bool noStart = options & SC_OPT_NO_START_BYTE;
        const bool twoByte = options & SC_OPT_TWO_BYTE_LENGTH;
        fake::line().feed(fake::frame(0x44, k90,
            FrameOpts{.start = uint8_t(twoByte ? 0x82 : 0x02), .withStart = !noStart, .twoByteLength = twoByte}));
        EXPECT_EQ(SCReceive(0, buf, sizeof buf), 2) << options;
    }
}

TEST_F(Protocol, StalledFrameIsDroppedAfter2000ms)
{
    using Clock = std::chrono::steady_clock;
    becomeInitiatorAt81();
    uint8_t buf[8];
    const auto t0 = Clock::now();
    fake::line().feed({0x02, 0x81, 0x02, 0x90});
    ASSERT_EQ(SCReceive(0, buf, sizeof buf), 0);
    int32_t r = 0;
    while (r == 0 && Clock::now() - t0 < std::chrono::seconds(10)) {
        r = SCReceive(0, buf, sizeof buf);
        if (r == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_EQ(r, SC_ERR_TIMEOUT);
    EXPECT_GE(ms, 2000);
    EXPECT_TRUE(fake::line().handshakes().empty());
    // Dropped: the tail of the old frame has no start byte, a new frame parses.
    fake::line().feed({0x00, 0x11});
    EXPECT_EQ(SCReceive(0, buf, sizeof buf), SC_ERR_UNEXPECTED);
    fake::line().feed(kAnswer);
    EXPECT_EQ(SCReceive(0, buf, sizeof buf), 2);
}

TEST_F(Protocol, IdleReceiverNeverTimesOut)
{
    uint8_t buf[8];
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(SCReceive(0, buf, sizeof buf), 0);
}

} // namespace
