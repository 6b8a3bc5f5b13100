// The CDC peer seen from a raw pty client written here, independent of the
// program's serial library.
#include "zn480sim/cdc_peer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace zn480sim;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono;

namespace {

constexpr uint8_t ACK = 0x06, NAK = 0x15;

Bytes frame(uint8_t seq, const Bytes& data)
{
    Bytes f = {0x02, seq, static_cast<uint8_t>(data.size())};
    f.insert(f.end(), data.begin(), data.end());
    uint8_t x = 0;
    for (uint8_t b : f)
        x ^= b;
    f.push_back(x);
    return f;
}

const Bytes kSerialCmd = {0xFF, 0xCA, 0xF0, 0x00, 0x04};
const Bytes kSerialReply = {0x01, 0x02, 0x03, 0x04, 0x90, 0x00};

class Client {
public:
    explicit Client(const std::string& path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Client()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void send(const Bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    void send(uint8_t b) { send(Bytes{b}); }

    // Reads until `want` bytes arrived or `ms` passed; returns what arrived.
    Bytes read(size_t want, int ms = 2000)
    {
        Bytes out;
        auto end = steady_clock::now() + milliseconds(ms);
        while (out.size() < want) {
            int left = static_cast<int>(duration_cast<milliseconds>(end - steady_clock::now()).count());
            if (left <= 0)
                break;
            pollfd p = {fd_, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0)
                break;
            uint8_t buf[4096];
            ssize_t n = ::read(fd_, buf, std::min(sizeof buf, want - out.size()));
            if (n <= 0) {
                lastReadFailed_ = true;
                break;
            }
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    // Whether the line stays quiet for `ms`.
    bool quiet(int ms) { return read(1, ms).empty(); }
    bool lastReadFailed() const { return lastReadFailed_; }

private:
    int fd_ = -1;
    bool lastReadFailed_ = false;
};

template <class F> bool eventually(F f, int ms = 2000)
{
    auto end = steady_clock::now() + milliseconds(ms);
    while (steady_clock::now() < end) {
        if (f())
            return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return f();
}

class CdcPeerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.start());
        client = std::make_unique<Client>(peer.slavePath());
        ASSERT_TRUE(client->ok());
    }
    Reader reader;
    CdcPeer peer{reader};
    std::unique_ptr<Client> client;
};

} // namespace

TEST_F(CdcPeerTest, AnswersAFrameWithAckThenReplyFrameAndTakesTheHostAck)
{
    // Noise ahead of the start byte is skipped; the frame arrives in two writes.
    Bytes f = frame(0x81, kSerialCmd);
    client->send(Bytes{0x55, 0xAA});
    client->send(Bytes(f.begin(), f.begin() + 4));
    std::this_thread::sleep_for(milliseconds(20));
    client->send(Bytes(f.begin() + 4, f.end()));
    EXPECT_EQ(client->read(1), Bytes{ACK});
    EXPECT_EQ(client->read(10), frame(0x81, kSerialReply));
    client->send(ACK);
    EXPECT_TRUE(eventually([&] { return peer.acksReceived() == 1; }));
    EXPECT_EQ(reader.log(), std::vector<std::string>{"FFCAF00004"});

    // The worked example of the frame layout.
    client->send(Bytes{0x02, 0x82, 0x05, 0xFF, 0xCA, 0xE0, 0x00, 0x00, 0x50});
    EXPECT_EQ(client->read(1), Bytes{ACK});
    EXPECT_EQ(client->read(10), frame(0x82, kSerialReply));
    client->send(ACK);
}

TEST_F(CdcPeerTest, MalformedFramesGetNak)
{
    Bytes bad = frame(0x81, kSerialCmd);
    bad.back() ^= 1;
    client->send(bad);
    EXPECT_EQ(client->read(1), Bytes{NAK});
    client->send(frame(0x81, {})); // a frame must carry data
    EXPECT_EQ(client->read(1), Bytes{NAK});
    EXPECT_TRUE(client->quiet(100));
    EXPECT_TRUE(reader.log().empty());
    EXPECT_EQ(peer.framesReceived(), 2);
}

TEST_F(CdcPeerTest, ResendsReplyOnNakUpToThreeTimes)
{
    client->send(frame(0x90, kSerialCmd));
    EXPECT_EQ(client->read(1), Bytes{ACK});
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(client->read(10), frame(0x90, kSerialReply)) << i;
        client->send(NAK);
    }
    EXPECT_TRUE(client->quiet(200));
    EXPECT_EQ(peer.naksReceived(), 4);
    EXPECT_EQ(reader.log().size(), 1u); // processed once
}

// One-shot switches: each hits the next frame only; the frame after it is
// served normally again.
TEST_F(CdcPeerTest, OneShotFaults)
{
    struct Case {
        const char* name;
        std::function<void()> arm;
        Bytes answer;   // the bytes that arrive after the request
        bool thenQuiet; // nothing else follows
    };
    const Bytes reply = frame(0x81, kSerialReply);
    Bytes badCheck = reply;
    badCheck.back() ^= 0xFF;
    Bytes ackAndHalf = {ACK};
    ackAndHalf.insert(ackAndHalf.end(), reply.begin(), reply.begin() + reply.size() / 2);
    Bytes ackAndWrongSeq = {ACK};
    {
        Bytes w = frame(0x82, kSerialReply);
        ackAndWrongSeq.insert(ackAndWrongSeq.end(), w.begin(), w.end());
    }
    Bytes ackAndBad = {ACK};
    ackAndBad.insert(ackAndBad.end(), badCheck.begin(), badCheck.end());

    Case cases[] = {
        {"foreign byte", [&] { peer.foreignByteNext(0x41); }, {0x41}, true},
        {"no reply", [&] { peer.noReplyNext(); }, {ACK}, true},
        {"stop mid frame", [&] { peer.stopMidFrameNext(); }, ackAndHalf, true},
        {"wrong sequence", [&] { peer.wrongSequenceNext(); }, ackAndWrongSeq, true},
        {"bad check", [&] { peer.badCheckNext(); }, ackAndBad, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Client cl(peer.slavePath());
        c.arm();
        cl.send(frame(0x81, kSerialCmd));
        EXPECT_EQ(cl.read(c.answer.size()), c.answer);
        if (c.thenQuiet) {
            EXPECT_TRUE(cl.quiet(150));
        } else {
            // A NAK of the broken reply brings the correct frame.
            cl.send(NAK);
            EXPECT_EQ(cl.read(reply.size()), reply);
            cl.send(ACK);
        }
        // Served normally afterwards (a fresh sequence number ends any ACK wait).
        cl.send(frame(0x81, kSerialCmd));
        Bytes normal = {ACK};
        normal.insert(normal.end(), reply.begin(), reply.end());
        EXPECT_EQ(cl.read(normal.size()), normal);
        cl.send(ACK);
        EXPECT_TRUE(eventually([&] { return peer.acksReceived() > 0; }));
    }
}

TEST_F(CdcPeerTest, NakNextAnswersThatManyFramesWithNak)
{
    peer.nakNext(2);
    Bytes f = frame(0x81, kSerialCmd);
    client->send(f);
    EXPECT_EQ(client->read(1), Bytes{NAK});
    client->send(f);
    EXPECT_EQ(client->read(1), Bytes{NAK});
    client->send(f);
    EXPECT_EQ(client->read(1), Bytes{ACK});
    EXPECT_EQ(client->read(10), frame(0x81, kSerialReply));
    client->send(ACK);
    EXPECT_EQ(peer.framesReceived(), 3);
    EXPECT_EQ(reader.log().size(), 1u);
}

TEST_F(CdcPeerTest, SilentReadsButNeverAnswers)
{
    peer.setSilent(true);
    client->send(frame(0x81, kSerialCmd));
    EXPECT_TRUE(client->quiet(300));
    EXPECT_TRUE(eventually([&] { return peer.framesReceived() == 1; }));
    peer.setSilent(false);
    client->send(frame(0x82, kSerialCmd));
    EXPECT_EQ(client->read(1), Bytes{ACK});
}

TEST_F(CdcPeerTest, ReplyInPiecesArrivesWithPauses)
{
    peer.replyInPieces(3, 250);
    client->send(frame(0x81, kSerialCmd));
    EXPECT_EQ(client->read(1), Bytes{ACK});
    const Bytes want = frame(0x81, kSerialReply); // 10 bytes: 4 + 3 + 3
    Bytes first = client->read(want.size(), 150);
    EXPECT_EQ(first.size(), 4u);
    Bytes rest = client->read(want.size() - first.size());
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_EQ(first, want);
}

TEST_F(CdcPeerTest, GarbageFloodCarriesNoProtocolBytes)
{
    peer.floodGarbage(1000);
    Bytes got = client->read(1000);
    ASSERT_EQ(got.size(), 1000u);
    for (uint8_t b : got) {
        ASSERT_NE(b, 0x02);
        ASSERT_NE(b, 0x82);
        ASSERT_NE(b, ACK);
        ASSERT_NE(b, NAK);
    }
}

TEST_F(CdcPeerTest, StopIsAnUnplug)
{
    char tmpl[] = "/tmp/zn480sim-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string link = std::string(tmpl) + "/ttyACM2";
    ASSERT_TRUE(peer.linkAs(link));
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(peer.slavePath(), target);

    peer.stop();
    Bytes b = client->read(1, 500);
    EXPECT_TRUE(b.empty());
    EXPECT_TRUE(client->lastReadFailed()); // hang-up, not a timeout
    EXPECT_NE(::access(link.c_str(), F_OK), 0);
    ::rmdir(tmpl);

    // The peer can be plugged in again on a fresh pty.
    ASSERT_TRUE(peer.start());
    Client again(peer.slavePath());
    again.send(frame(0x81, kSerialCmd));
    EXPECT_EQ(again.read(1), Bytes{ACK});
}
