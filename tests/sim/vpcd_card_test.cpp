// The simulated reader in CCID personality, seen through a real private
// PC/SC daemon with virtual readers.
#include "private_pcscd.h"
#include "zn480sim/vpcd_card.h"

#include <gtest/gtest.h>
#include <winscard.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zn480sim;
using namespace std::chrono;
using zn480test::PrivatePcscd;

namespace {

using Bytes = std::vector<uint8_t>;

// One daemon for the whole binary: the PC/SC client library takes the socket
// path only once per process. Each test uses a reader of its own.
PrivatePcscd* daemon_ = nullptr;

class VpcdCardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        daemon_ = new PrivatePcscd(4);
        if (daemon_->ok())
            daemon_->exportSocket();
    }
    static void TearDownTestSuite()
    {
        delete daemon_;
        daemon_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(daemon_->ok()) << daemon_->error();
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
    }
    void TearDown() override
    {
        if (card)
            SCardDisconnect(card, SCARD_UNPOWER_CARD);
        SCardReleaseContext(ctx);
    }

    // Waits until the reader shows (or no longer shows) a card.
    bool waitPresent(const std::string& reader, bool present, int timeoutMs = 5000)
    {
        SCARD_READERSTATE st{};
        st.szReader = reader.c_str();
        st.dwCurrentState = SCARD_STATE_UNAWARE;
        const auto end = steady_clock::now() + milliseconds(timeoutMs);
        for (;;) {
            int left = static_cast<int>(duration_cast<milliseconds>(end - steady_clock::now()).count());
            LONG rc = SCardGetStatusChange(ctx, left > 0 ? left : 0, &st, 1);
            if (rc == SCARD_S_SUCCESS) {
                if (((st.dwEventState & SCARD_STATE_PRESENT) != 0) == present)
                    return true;
                st.dwCurrentState = st.dwEventState & ~SCARD_STATE_CHANGED;
            } else if (rc != SCARD_E_TIMEOUT) {
                return false;
            }
            if (left <= 0)
                return false;
        }
    }
    // No change away from `present` for `ms`.
    bool staysPresent(const std::string& reader, int ms)
    {
        if (!waitPresent(reader, true, 1000))
            return false;
        return !waitPresent(reader, false, ms);
    }

    LONG connect(const std::string& reader)
    {
        DWORD proto = 0;
        return SCardConnect(
            ctx, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &proto);
    }
    LONG transmit(const Bytes& apdu, Bytes& reply)
    {
        BYTE buf[258];
        DWORD len = sizeof buf;
        LONG rc = SCardTransmit(card, SCARD_PCI_T1, apdu.data(), apdu.size(), nullptr, buf, &len);
        reply.assign(buf, buf + (rc == SCARD_S_SUCCESS ? len : 0));
        return rc;
    }

    SCARDCONTEXT ctx = 0;
    SCARDHANDLE card = 0;
};

const Bytes kSerialCmd = {0xFF, 0xCA, 0xF0, 0x00, 0x04};
const Bytes kSerialReply = {0x01, 0x02, 0x03, 0x04, 0x90, 0x00};

} // namespace

TEST(VpcdAtr, CheckByteMakesTheXorZero)
{
    const Bytes& a = VpcdCard::atr();
    ASSERT_GE(a.size(), 3u);
    EXPECT_EQ(a[0], 0x3B);
    EXPECT_EQ(a[1] & 0x0F, a.size() - 5u); // historical bytes: after TS T0 TD1 TD2, before TCK
    uint8_t x = 0;
    for (size_t i = 1; i < a.size(); ++i)
        x ^= a[i];
    EXPECT_EQ(x, 0);
}

TEST_F(VpcdCardTest, ListsReadersAndAnswersCommands)
{
    char names[2048];
    DWORD len = sizeof names;
    ASSERT_EQ(SCardListReaders(ctx, nullptr, names, &len), SCARD_S_SUCCESS);
    std::vector<std::string> list;
    for (const char* p = names; *p; p += strlen(p) + 1)
        list.push_back(p);
    EXPECT_EQ(list.size(), 8u); // two slots per virtual reader
    for (int k = 0; k < 4; ++k)
        EXPECT_NE(std::find(list.begin(), list.end(), daemon_->readerName(k)), list.end()) << daemon_->readerName(k);

    Reader reader;
    VpcdCard sim(reader, daemon_->port(0));
    sim.start(true);
    ASSERT_TRUE(waitPresent(daemon_->readerName(0), true));
    ASSERT_EQ(connect(daemon_->readerName(0)), SCARD_S_SUCCESS);

    BYTE atr[33];
    DWORD atrLen = sizeof atr, state = 0, proto = 0, nameLen = 0;
    ASSERT_EQ(SCardStatus(card, nullptr, &nameLen, &state, &proto, atr, &atrLen), SCARD_S_SUCCESS);
    EXPECT_EQ(Bytes(atr, atr + atrLen), VpcdCard::atr());

    Bytes reply;
    ASSERT_EQ(transmit(kSerialCmd, reply), SCARD_S_SUCCESS);
    EXPECT_EQ(reply, kSerialReply);
    ASSERT_EQ(transmit({0xFF, 0xCA, 0xE0, 0x00, 0x04}, reply), SCARD_S_SUCCESS);
    EXPECT_EQ(reply, (Bytes{0x00, 0x02, 0x00, 0xA6, 0x90, 0x00}));
    EXPECT_EQ(reader.log(), (std::vector<std::string>{"FFCAF00004", "FFCAE00004"}));
}

TEST_F(VpcdCardTest, NoCardThenInsertThenRemovedDuringSession)
{
    Reader reader;
    VpcdCard sim(reader, daemon_->port(1));
    const std::string name = daemon_->readerName(1);
    sim.start(false);
    ASSERT_TRUE(waitPresent(name, false));
    EXPECT_EQ(connect(name), SCARD_E_NO_SMARTCARD);

    sim.insertCard();
    ASSERT_TRUE(waitPresent(name, true));
    ASSERT_EQ(connect(name), SCARD_S_SUCCESS);
    Bytes reply;
    ASSERT_EQ(transmit(kSerialCmd, reply), SCARD_S_SUCCESS);

    sim.removeCard();
    ASSERT_TRUE(sim.waitConnected(false, milliseconds(2000)));
    ASSERT_TRUE(waitPresent(name, false));
    // A lost card: either an error or an exchange without a status word.
    LONG rc = transmit(kSerialCmd, reply);
    EXPECT_TRUE(rc != SCARD_S_SUCCESS || reply.size() < 2) << rc;

    // Back again: a fresh connection works.
    sim.insertCard();
    ASSERT_TRUE(waitPresent(name, true));
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    card = 0;
    ASSERT_EQ(connect(name), SCARD_S_SUCCESS);
    ASSERT_EQ(transmit(kSerialCmd, reply), SCARD_S_SUCCESS);
    EXPECT_EQ(reply, kSerialReply);
}

TEST_F(VpcdCardTest, FakeCardSettings)
{
    const std::string name = daemon_->readerName(2);
    struct Case {
        uint8_t fake;
        bool presentWithoutCard;
        bool presentRightAfterRemoval;
    } cases[] = {
        {2, true, true},
        {255, false, true},
        {0, false, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fake));
        ReaderConfig cfg;
        cfg.fakeCard = c.fake;
        Reader reader(cfg);
        {
            VpcdCard sim(reader, daemon_->port(2));
            sim.start(false);
            EXPECT_EQ(sim.waitConnected(true, milliseconds(500)), c.presentWithoutCard);
            EXPECT_TRUE(waitPresent(name, c.presentWithoutCard));
        }
        ASSERT_TRUE(waitPresent(name, false));

        VpcdCard sim(reader, daemon_->port(2));
        sim.setFakeHold(milliseconds(800));
        sim.start(true);
        ASSERT_TRUE(waitPresent(name, true));
        sim.removeCard();
        if (c.presentRightAfterRemoval)
            EXPECT_FALSE(sim.waitConnected(false, milliseconds(200)));
        else
            EXPECT_TRUE(sim.waitConnected(false, milliseconds(1000)));
        if (c.fake == 2) {
            EXPECT_TRUE(staysPresent(name, 1500)); // past the 255 hold: never goes
        } else {
            EXPECT_TRUE(sim.waitConnected(false, milliseconds(3000))); // the hold runs out
            EXPECT_TRUE(waitPresent(name, false));
        }
        // The fake card answers commands like a real one.
        if (c.fake == 2) {
            ASSERT_EQ(connect(name), SCARD_S_SUCCESS);
            Bytes reply;
            ASSERT_EQ(transmit(kSerialCmd, reply), SCARD_S_SUCCESS);
            EXPECT_EQ(reply, kSerialReply);
            SCardDisconnect(card, SCARD_UNPOWER_CARD);
            card = 0;
        }
    }
}

TEST_F(VpcdCardTest, CardComesBackAfterServiceRestart)
{
    Reader reader;
    VpcdCard sim(reader, daemon_->port(3));
    const std::string name = daemon_->readerName(3);
    sim.start(true);
    ASSERT_TRUE(waitPresent(name, true));

    ASSERT_TRUE(daemon_->kill());
    ASSERT_TRUE(sim.waitConnected(false, milliseconds(3000)));
    char names[2048];
    DWORD len = sizeof names;
    EXPECT_NE(SCardListReaders(ctx, nullptr, names, &len), SCARD_S_SUCCESS);

    ASSERT_TRUE(daemon_->restart()) << daemon_->error();
    SCardReleaseContext(ctx);
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
    ASSERT_TRUE(sim.waitConnected(true, milliseconds(3000)));
    ASSERT_TRUE(waitPresent(name, true));
    ASSERT_EQ(connect(name), SCARD_S_SUCCESS);
    Bytes reply;
    ASSERT_EQ(transmit(kSerialCmd, reply), SCARD_S_SUCCESS);
    EXPECT_EQ(reply, kSerialReply);
}
