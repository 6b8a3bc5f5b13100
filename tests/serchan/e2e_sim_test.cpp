// The library against the simulated reader on a pty: real exchanges and the
// reader's misbehaviours, in real time.
#include "pty_support.h"
#include "serchan.h"
#include "zn480sim/cdc_peer.h"
#include "zn480sim/reader.h"

#include <chrono>
#include <thread>

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int32_t kPort = 3; // ttyACM2

int64_t msSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class SimExchange : public ::testing::Test {
protected:
    void SetUp() override
    {
        SCCallbacks(nullptr, nullptr);
        SCCloseChannel(0);
        SCChangeProtocol(SC_OPT_RESET_ROLE);
        ASSERT_TRUE(peer.start());
        ASSERT_TRUE(peer.linkAs(dev.node("ttyACM2")));
        ASSERT_EQ(SCOpenChannel(kPort, 115200, 0), kPort);
    }
    void TearDown() override
    {
        SCCloseChannel(kPort);
        peer.stop();
    }

    // The caller's side of one exchange, as the program does it: send, then
    // poll for the answer. Returns the first non-zero receive result (0 when
    // nothing came within `ms`) and the data in `reply`.
    int32_t receiveWithin(int ms, Bytes& reply)
    {
        uint8_t buf[260];
        const auto t0 = Clock::now();
        int32_t r = 0;
        while (r == 0 && msSince(t0) < ms) {
            r = SCReceive(kPort, buf, sizeof buf);
            if (r == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        reply.assign(buf, buf + (r > 0 ? r : 0));
        return r;
    }
    int32_t send(const Bytes& apdu) { return SCSend(kPort, apdu.data(), static_cast<uint32_t>(apdu.size())); }

    // A full exchange that must succeed.
    Bytes exchange(const Bytes& apdu)
    {
        EXPECT_EQ(send(apdu), 1);
        Bytes reply;
        EXPECT_GT(receiveWithin(1000, reply), 0);
        return reply;
    }

    zn480sim::Reader reader;
    zn480sim::CdcPeer peer{reader};
    ptys::DevDir dev;
};

const Bytes kSerial{0xFF, 0xCA, 0xF0, 0x00, 0x04};
const Bytes kSerialReply{0x01, 0x02, 0x03, 0x04, 0x90, 0x00};
const Bytes kFirmware{0xFF, 0xCA, 0xE0, 0x00, 0x04};
const Bytes kFirmwareReply{0x00, 0x02, 0x00, 0xA6, 0x90, 0x00};

TEST_F(SimExchange, VendorCommands)
{
    EXPECT_EQ(exchange(kSerial), kSerialReply);
    EXPECT_EQ(exchange(kFirmware), kFirmwareReply);
    EXPECT_EQ(exchange({0xFE, 0xDD, 0x03, 0x02, 0x00}), (Bytes{0x00, 0x00, 0x90, 0x00}));
    EXPECT_EQ(reader.log().size(), 3u);
}

TEST_F(SimExchange, TransmitInOneCall)
{
    uint8_t buf[260];
    EXPECT_EQ(SCTransmit(kPort, kSerial.data(), 5, buf, sizeof buf, 1000), 6);
    EXPECT_EQ(Bytes(buf, buf + 6), kSerialReply);
}

TEST_F(SimExchange, NakedFramesAreSentAgainUpToThreeTimes)
{
    for (int naks : {1, 2}) {
        peer.nakNext(naks);
        EXPECT_EQ(exchange(kSerial), kSerialReply) << naks;
    }
    const int framesBefore = peer.framesReceived();
    peer.nakNext(3);
    EXPECT_EQ(send(kSerial), SC_ERR_TIMEOUT);
    EXPECT_EQ(peer.framesReceived() - framesBefore, 3);
    EXPECT_EQ(exchange(kSerial), kSerialReply) << "the channel recovers";
}

TEST_F(SimExchange, SilentReaderTimesOutAfterThreeAttempts)
{
    peer.setSilent(true);
    const auto t0 = Clock::now();
    EXPECT_EQ(send(kSerial), SC_ERR_TIMEOUT);
    EXPECT_GE(msSince(t0), 897);
    peer.setSilent(false);
    EXPECT_EQ(exchange(kSerial), kSerialReply);
}

TEST_F(SimExchange, ForeignAnswerByte)
{
    peer.foreignByteNext(0x41);
    EXPECT_EQ(send(kSerial), SC_ERR_UNEXPECTED);
    EXPECT_EQ(exchange(kSerial), kSerialReply);
}

TEST_F(SimExchange, ReplyInPieces)
{
    peer.replyInPieces(4, 30);
    EXPECT_EQ(send(kSerial), 1);
    uint8_t buf[260];
    int zeros = 0;
    int32_t r = 0;
    const auto t0 = Clock::now();
    while (r == 0 && msSince(t0) < 2000) {
        r = SCReceive(kPort, buf, sizeof buf);
        zeros += r == 0;
    }
    EXPECT_EQ(r, 6);
    EXPECT_GT(zeros, 0);
    EXPECT_EQ(Bytes(buf, buf + 6), kSerialReply);
}

TEST_F(SimExchange, ReplyStoppingMidFrameIsDroppedAfter2000ms)
{
    peer.stopMidFrameNext();
    const auto t0 = Clock::now();
    EXPECT_EQ(send(kSerial), 1);
    Bytes reply;
    EXPECT_EQ(receiveWithin(6000, reply), SC_ERR_TIMEOUT);
    EXPECT_GE(msSince(t0), 2000);
    EXPECT_EQ(exchange(kSerial), kSerialReply);
}

TEST_F(SimExchange, ReplyWithAnotherSequenceNumber)
{
    peer.wrongSequenceNext();
    EXPECT_EQ(send(kSerial), 1);
    Bytes reply;
    EXPECT_EQ(receiveWithin(1000, reply), SC_ERR_UNEXPECTED);
    EXPECT_EQ(peer.naksReceived(), 0) << "a foreign frame gets no NAK";
}

TEST_F(SimExchange, ReplyWithBadCheckIsNakedAndSentAgain)
{
    peer.badCheckNext();
    EXPECT_EQ(send(kSerial), 1);
    Bytes reply;
    EXPECT_EQ(receiveWithin(1000, reply), SC_ERR_BAD_FRAME);
    // What the protocol guarantees: the NAK went out, and a frame sent again
    // is collected by the next receives like any other.
    EXPECT_EQ(receiveWithin(1000, reply), 6);
    EXPECT_EQ(reply, kSerialReply);
    EXPECT_EQ(peer.naksReceived(), 1);
}

TEST_F(SimExchange, NoReplyThenTheNextExchangeWorks)
{
    peer.noReplyNext();
    EXPECT_EQ(send(kSerial), 1);
    Bytes reply;
    EXPECT_EQ(receiveWithin(300, reply), 0);
    EXPECT_EQ(exchange(kFirmware), kFirmwareReply);
}

TEST_F(SimExchange, GarbageIsRejectedUntilTheLineIsClean)
{
    peer.floodGarbage(3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint8_t buf[260];
    int32_t r = SC_ERR_UNEXPECTED;
    for (int i = 0; i < 100 && r == SC_ERR_UNEXPECTED; ++i)
        r = SCReceive(kPort, buf, sizeof buf);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(exchange(kSerial), kSerialReply);
}

TEST_F(SimExchange, UnplugFailsTheChannel)
{
    EXPECT_EQ(exchange(kSerial), kSerialReply);
    peer.stop();
    uint8_t buf[260];
    EXPECT_EQ(SCReceive(kPort, buf, sizeof buf), SC_ERR_PORT);
    EXPECT_EQ(send(kSerial), SC_ERR_PORT);
    EXPECT_EQ(SCCloseChannel(kPort), 0);
    EXPECT_EQ(SCOpenChannel(kPort, 115200, 0), 0) << "the node went with the device";
}

} // namespace
