// modSmart through the real PC/SC client library, a private pcscd with the
// virtual-reader driver, and the simulated reader as the card. Each ctest
// case runs in its own process with its own daemon; run directly, the cases
// share one daemon (the client library reads the socket name only once).
#include "modSmart.h"
#include "modUtil.h"
#include "platform/pcsc.h"
#include "private_pcscd.h"
#include "zn480sim/reader.h"
#include "zn480sim/vpcd_card.h"

#include <gtest/gtest.h>

#include <PCSC/winscard.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using namespace std::chrono_literals;

namespace tarvex {
namespace {

zn480test::PrivatePcscd* gPcscd = nullptr;

class PcscdEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (geteuid() != 0)
            return;
        daemon_ = std::make_unique<zn480test::PrivatePcscd>(1);
        if (daemon_->ok()) {
            daemon_->exportSocket(); // before the first PC/SC call of the process
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

// Passes every call to the system library and keeps the connect share modes
// and results, so tests can see the exclusive-then-shared path.
class RecordingApi : public pcsc::Api {
public:
    explicit RecordingApi(pcsc::Api& real) : real_(real) { }
    std::vector<std::pair<uint32_t, pcsc::Result>> connects;
    std::vector<pcsc::Result> transmits;

    pcsc::Result establishContext(uint32_t s, pcsc::Context* c) override { return real_.establishContext(s, c); }
    pcsc::Result releaseContext(pcsc::Context c) override { return real_.releaseContext(c); }
    pcsc::Result listReaders(pcsc::Context c, char* b, uint32_t* l) override { return real_.listReaders(c, b, l); }
    pcsc::Result connect(
        pcsc::Context c, const char* r, uint32_t share, uint32_t p, pcsc::Card* card, uint32_t* a) override
    {
        auto rv = real_.connect(c, r, share, p, card, a);
        connects.push_back({share, rv});
        return rv;
    }
    pcsc::Result status(pcsc::Card c, uint32_t* s, uint32_t* p, uint8_t* atr, uint32_t* l) override
    {
        return real_.status(c, s, p, atr, l);
    }
    pcsc::Result beginTransaction(pcsc::Card c) override { return real_.beginTransaction(c); }
    pcsc::Result transmit(pcsc::Card c, uint32_t p, const uint8_t* s, uint32_t n, uint8_t* r, uint32_t* rl) override
    {
        auto rv = real_.transmit(c, p, s, n, r, rl);
        transmits.push_back(rv);
        return rv;
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
        std::this_thread::sleep_for(20ms);
    }
    return cond();
}

class SmartPcscdTest : public ::testing::Test {
protected:
    std::unique_ptr<pcsc::Api> real = pcsc::loadSystemPcsc();
    RecordingApi api{*real};
    modSmart smart{api};
    zn480sim::Reader reader{zn480sim::ReaderConfig{.personality = zn480sim::Personality::CCID}};
    std::unique_ptr<zn480sim::VpcdCard> card;
    // A second, independent client of the same daemon.
    pcsc::Context otherCtx = 0;

    void SetUp() override
    {
        if (!gPcscd)
            GTEST_SKIP() << "needs root and a private pcscd (pcscd, vsmartcard-vpcd)";
        ASSERT_EQ(real->establishContext(pcsc::SCOPE_SYSTEM, &otherCtx), 0);
    }
    void TearDown() override
    {
        smart.DisconnectCard();
        if (card) {
            card->stop();
            // The next case in this process must not meet this card's ghost.
            if (otherCtx)
                waitCardSeen(false);
        }
        if (otherCtx)
            real->releaseContext(otherCtx);
    }

    std::string slot0() const { return gPcscd->readerName(0); }

    void startCard(bool inserted = true)
    {
        card = std::make_unique<zn480sim::VpcdCard>(reader, gPcscd->port(0));
        card->start(inserted);
        if (inserted) {
            ASSERT_TRUE(card->waitConnected(true, 10s));
            ASSERT_TRUE(waitCardSeen(true));
        }
    }

    // Whether the daemon currently sees a card on slot 0, asked through the
    // other client without connecting (a connection of ours may still hold
    // the reader exclusively).
    bool cardSeen()
    {
        const std::string name = slot0();
        SCARD_READERSTATE rs{};
        rs.szReader = name.c_str();
        rs.dwCurrentState = SCARD_STATE_UNAWARE;
        if (SCardGetStatusChange(SCARDCONTEXT(otherCtx), 0, &rs, 1) != SCARD_S_SUCCESS)
            return false;
        return (rs.dwEventState & SCARD_STATE_PRESENT) != 0;
    }
    bool waitCardSeen(bool want)
    {
        return eventually([&] { return cardSeen() == want; });
    }
    // Whether another program could connect to slot 0 right now.
    bool othersCanConnect()
    {
        pcsc::Card h = 0;
        uint32_t active = 0;
        const auto rv = real->connect(
            otherCtx, slot0().c_str(), pcsc::SHARE_SHARED, pcsc::PROTOCOL_T0 | pcsc::PROTOCOL_T1, &h, &active);
        if (rv == 0)
            real->disconnect(h, pcsc::LEAVE_CARD);
        return rv == 0;
    }
    void initAndSelect()
    {
        ASSERT_EQ(smart.InitSmart(), 0);
        ASSERT_TRUE(smart.SelectReader(slot0()));
    }
};

TEST_F(SmartPcscdTest, ListsTheSimulatedReaders)
{
    ASSERT_EQ(smart.InitSmart(), 0);
    std::vector<std::string> names;
    ASSERT_EQ(smart.GetReaders(names), 2); // the driver makes two slots per reader
    EXPECT_EQ(names[0], slot0());
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(names[i].find("ZN480"), std::string::npos) << names[i];
    EXPECT_EQ(smart.currentReader(), 0);
}

TEST_F(SmartPcscdTest, ConnectsExclusivelyAndReadsIdentity)
{
    startCard();
    initAndSelect();
    EXPECT_EQ(smart.ConnectCard(), BytesToHex(zn480sim::VpcdCard::atr()));
    ASSERT_EQ(api.connects.size(), 1u);
    EXPECT_EQ(api.connects[0], std::make_pair(pcsc::SHARE_EXCLUSIVE, pcsc::Result(0)));

    std::string reply;
    EXPECT_EQ(smart.TransmitApdu("FFCAF00004", 1, reply), 0);
    EXPECT_EQ(reply, "010203049000");
    EXPECT_EQ(smart.TransmitApdu("FFCAE00000", 1, reply), 0);
    EXPECT_EQ(reply.substr(reply.size() - 4), "9000");

    // The exclusive hold keeps other programs out until we let go.
    EXPECT_FALSE(othersCanConnect());
    smart.DisconnectCard();
    EXPECT_EQ(smart.cardHandle(), 0u);
    EXPECT_TRUE(othersCanConnect());
}

TEST_F(SmartPcscdTest, FallsBackToSharedBesideAnotherProgram)
{
    startCard();
    pcsc::Card held = 0;
    uint32_t active = 0;
    ASSERT_EQ(real->connect(
                  otherCtx, slot0().c_str(), pcsc::SHARE_SHARED, pcsc::PROTOCOL_T0 | pcsc::PROTOCOL_T1, &held, &active),
        0);
    initAndSelect();
    EXPECT_FALSE(smart.ConnectCard().empty());
    ASSERT_EQ(api.connects.size(), 2u);
    EXPECT_EQ(api.connects[0], std::make_pair(pcsc::SHARE_EXCLUSIVE, pcsc::E_SHARING_VIOLATION));
    EXPECT_EQ(api.connects[1], std::make_pair(pcsc::SHARE_SHARED, pcsc::Result(0)));
    std::string reply;
    EXPECT_EQ(smart.TransmitApdu("FFCAF00004", 1, reply), 0);
    EXPECT_EQ(reply, "010203049000");
    smart.DisconnectCard();
    real->disconnect(held, pcsc::LEAVE_CARD);
}

TEST_F(SmartPcscdTest, NoCardGivesEmptyAtr)
{
    startCard(false);
    ASSERT_TRUE(waitCardSeen(false));
    initAndSelect();
    EXPECT_EQ(smart.ConnectCard(), "");
    EXPECT_EQ(smart.cardHandle(), 0u);
    std::string reply = "old";
    EXPECT_NE(smart.TransmitApdu("FFCAF00004", 1, reply), 0);
    EXPECT_EQ(reply, "old");
}

TEST_F(SmartPcscdTest, ReconnectsOnceAfterTheCardCameBack)
{
    startCard();
    initAndSelect();
    ASSERT_FALSE(smart.ConnectCard().empty());
    const auto before = smart.cardHandle();

    // Out and back in, each time waiting for the daemon's presence poll.
    card->removeCard();
    ASSERT_TRUE(card->waitConnected(false, 10s));
    ASSERT_TRUE(waitCardSeen(false));
    card->insertCard();
    ASSERT_TRUE(card->waitConnected(true, 10s));
    ASSERT_TRUE(waitCardSeen(true));

    std::string reply;
    EXPECT_EQ(smart.TransmitApdu("FFCAF00004", 1, reply), 0);
    EXPECT_EQ(reply, "010203049000");
    ASSERT_EQ(api.transmits.size(), 2u);
    // pcsc-lite refuses the stale handle before sending anything; repeated.
    EXPECT_EQ(api.transmits[0], pcsc::W_REMOVED_CARD);
    EXPECT_NE(smart.cardHandle(), before);
}

// A card side that answers the driver's control messages but drops the
// connection as soon as a command arrives: the card leaves mid-command.
class DroppingCard {
public:
    explicit DroppingCard(uint16_t port)
    {
        thread_ = std::thread([this, port] { run(port); });
    }
    ~DroppingCard()
    {
        stop_ = true;
        thread_.join();
    }
    std::atomic<bool> connected{false};
    std::atomic<bool> dropped{false};

private:
    static bool readAll(int fd, uint8_t* p, size_t n, const std::atomic<bool>& stop)
    {
        while (n > 0) {
            pollfd pf{fd, POLLIN, 0};
            if (stop)
                return false;
            if (poll(&pf, 1, 50) <= 0)
                continue;
            const ssize_t r = ::read(fd, p, n);
            if (r <= 0)
                return false;
            p += r;
            n -= size_t(r);
        }
        return true;
    }
    void run(uint16_t port)
    {
        while (!stop_ && !dropped) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(fd);
                std::this_thread::sleep_for(20ms);
                continue;
            }
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            connected = true;
            for (;;) {
                uint8_t hdr[2];
                if (!readAll(fd, hdr, 2, stop_))
                    break;
                std::vector<uint8_t> msg(size_t(hdr[0]) << 8 | hdr[1]);
                if (!readAll(fd, msg.data(), msg.size(), stop_))
                    break;
                if (msg.size() == 1 && msg[0] == 0x04) {
                    const auto& atr = zn480sim::VpcdCard::atr();
                    std::vector<uint8_t> out{uint8_t(atr.size() >> 8), uint8_t(atr.size())};
                    out.insert(out.end(), atr.begin(), atr.end());
                    if (::write(fd, out.data(), out.size()) != ssize_t(out.size()))
                        break;
                } else if (msg.size() > 1) {
                    dropped = true;
                    break;
                }
            }
            ::close(fd);
            connected = false;
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(SmartPcscdTest, CardLeavingMidCommandIsAFailure)
{
    DroppingCard dropping(gPcscd->port(0));
    ASSERT_TRUE(eventually([&] { return dropping.connected.load(); }));
    ASSERT_TRUE(waitCardSeen(true));
    initAndSelect();
    ASSERT_FALSE(smart.ConnectCard().empty());
    std::string reply = "old";
    // The driver can report success with an empty reply here; that must
    // not pass as an answer.
    EXPECT_NE(smart.TransmitApdu("FFCAF00004", 1, reply), 0);
    EXPECT_EQ(reply, "old");
    EXPECT_TRUE(dropping.dropped);
}

TEST_F(SmartPcscdTest, FindsTheServiceAgainAfterARestart)
{
    ASSERT_EQ(smart.InitSmart(), 0);
    ASSERT_EQ(smart.readerCount(), 2);

    ASSERT_TRUE(gPcscd->kill());
    const pcsc::Result gone = smart.ListReaders();
    EXPECT_NE(gone, 0);
    EXPECT_EQ(smart.readerCount(), 0);
    EXPECT_FALSE(smart.contextReady()) << std::hex << gone;
    EXPECT_NE(smart.InitSmart(), 0); // still down: no context to be had

    ASSERT_TRUE(gPcscd->restart()) << gPcscd->error();
    EXPECT_EQ(smart.InitSmart(), 0);
    EXPECT_TRUE(smart.contextReady());
    std::vector<std::string> names;
    EXPECT_EQ(smart.GetReaders(names), 2);
    EXPECT_EQ(smart.ListReaders(), 0);

    // The other client's context died with the old daemon.
    real->releaseContext(otherCtx);
    otherCtx = 0;
}

} // namespace
} // namespace tarvex

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new tarvex::PcscdEnvironment);
    return RUN_ALL_TESTS();
}
