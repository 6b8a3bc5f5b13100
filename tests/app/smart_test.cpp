// modSmart against a scripted PC/SC service.
#include "modSmart.h"

#include "fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace tarvex {
namespace {

using fakes::FakePcsc;

// FakePcsc plus the knobs these tests need: a forced listing result, a raw
// listing buffer, and a record of the protocol of every transmit.
class ScriptedPcsc : public FakePcsc {
public:
    std::deque<pcsc::Result> listResults;
    std::optional<std::string> rawListing; // copied as is, up to the offered length
    uint32_t reportedListLen = 0;          // what a raw listing claims to have written
    std::vector<uint32_t> protocols;
    std::vector<uint32_t> offeredReplyLens;
    std::optional<uint32_t> lyingAtrLen;

    pcsc::Result listReaders(pcsc::Context ctx, char* buf, uint32_t* len) override
    {
        if (!listResults.empty()) {
            auto r = listResults.front();
            listResults.pop_front();
            if (r != 0) {
                ++listCalls;
                return r;
            }
        }
        if (rawListing) {
            ++listCalls;
            std::memcpy(buf, rawListing->data(), std::min<size_t>(rawListing->size(), *len));
            *len = reportedListLen;
            return 0;
        }
        return FakePcsc::listReaders(ctx, buf, len);
    }
    pcsc::Result transmit(
        pcsc::Card card, uint32_t protocol, const uint8_t* s, uint32_t n, uint8_t* recv, uint32_t* recvLen) override
    {
        protocols.push_back(protocol);
        offeredReplyLens.push_back(*recvLen);
        return FakePcsc::transmit(card, protocol, s, n, recv, recvLen);
    }
    pcsc::Result status(pcsc::Card card, uint32_t* st, uint32_t* pr, uint8_t* atr, uint32_t* atrLen) override
    {
        auto r = FakePcsc::status(card, st, pr, atr, atrLen);
        if (r == 0 && lyingAtrLen)
            *atrLen = *lyingAtrLen;
        return r;
    }
};

class SmartTest : public ::testing::Test {
protected:
    ScriptedPcsc pcsc;
    modSmart smart{pcsc};

    void addReaders(std::initializer_list<const char*> names)
    {
        for (auto n : names)
            pcsc.readers.push_back({n});
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> v;
        smart.GetReaders(v);
        return v;
    }
    // Connected to the first reader, call log cleared.
    void connectFirst()
    {
        ASSERT_EQ(smart.InitSmart(), 0);
        ASSERT_FALSE(smart.ConnectCard().empty());
        pcsc.calls.clear();
    }
};

TEST_F(SmartTest, ListingKeepsServiceOrderAndTrimsSpaces)
{
    struct Case {
        std::vector<std::string> delivered;
        std::vector<std::string> stored;
    } cases[] = {
        {{"ZN480 00 00", "Other 00 00", "ZN480 01 00"}, {"ZN480 00 00", "Other 00 00", "ZN480 01 00"}},
        {{"ZN480 00 00   ", "  Lead", " both  "}, {"ZN480 00 00", "Lead", "both"}},
        {{"CCID ZN480 - 0102 0304"}, {"CCID ZN480 - 0102 0304"}},
        {{"First", "   ", "Hidden"}, {"First"}}, // a blank name ends the list
    };
    for (const auto& c : cases) {
        pcsc.readers.clear();
        for (auto& n : c.delivered)
            pcsc.readers.push_back({n});
        modSmart s{pcsc};
        EXPECT_EQ(s.InitSmart(), 0);
        std::vector<std::string> got;
        EXPECT_EQ(s.GetReaders(got), int16_t(c.stored.size()));
        EXPECT_EQ(got, c.stored);
        EXPECT_EQ(s.currentReader(), 0);
    }
}

TEST_F(SmartTest, FailedListingKeepsNamesButCountsNone)
{
    addReaders({"A", "B"});
    ASSERT_EQ(smart.InitSmart(), 0);
    ASSERT_TRUE(smart.SelectReader("B"));
    pcsc.readers.clear(); // the service now says no readers
    EXPECT_EQ(smart.ListReaders(), pcsc::E_NO_READERS_AVAILABLE);
    std::vector<std::string> got;
    EXPECT_EQ(smart.GetReaders(got), 0);
    EXPECT_EQ(got, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(smart.currentReader(), 1);
    EXPECT_TRUE(smart.contextReady()); // an empty service is not a dead one

    pcsc.readers.push_back({"C"});
    EXPECT_EQ(smart.ListReaders(), 0);
    EXPECT_EQ(names(), std::vector<std::string>{"C"});
    EXPECT_EQ(smart.currentReader(), 0);
}

TEST_F(SmartTest, EmptyListingKeepsOneEmptyName)
{
    pcsc.rawListing = std::string(2, '\0');
    pcsc.reportedListLen = 2;
    ASSERT_EQ(smart.InitSmart(), 0);
    std::vector<std::string> got;
    EXPECT_EQ(smart.GetReaders(got), 0);
    EXPECT_EQ(got, std::vector<std::string>{""});
    EXPECT_FALSE(smart.SelectReader("x"));
}

TEST_F(SmartTest, ListingThatFillsTheBufferStaysInside)
{
    struct Case {
        std::string raw;
        uint32_t reported;
        std::vector<std::string> stored;
    };
    std::string full(2048, 'N'); // no terminator at all
    std::string two = std::string(1000, 'a') + '\0' + std::string(1046, 'b') + '\0' + '\0';
    Case cases[] = {
        {full, 999999, {full}}, {two, 2048, {std::string(1000, 'a'), std::string(1046, 'b')}},
        {std::string("R1\0R2\0\0", 7), 0, {"R1", "R2"}}, // written-back length ignored
    };
    for (const auto& c : cases) {
        pcsc.rawListing = c.raw;
        pcsc.reportedListLen = c.reported;
        ASSERT_EQ(smart.InitSmart(), 0);
        EXPECT_EQ(smart.ListReaders(), 0);
        EXPECT_EQ(names(), c.stored);
    }
}

TEST_F(SmartTest, InitSmartListsOnceAndRetriesAFailedEstablish)
{
    addReaders({"A"});
    pcsc.establishResult = pcsc::E_NO_SERVICE;
    EXPECT_EQ(smart.InitSmart(), pcsc::E_NO_SERVICE);
    EXPECT_FALSE(smart.contextReady());
    EXPECT_EQ(pcsc.listCalls, 0);
    EXPECT_NE(smart.ListReaders(), 0); // no context: nothing to list with
    EXPECT_EQ(pcsc.listCalls, 0);

    pcsc.establishResult = 0;
    EXPECT_EQ(smart.InitSmart(), 0);
    EXPECT_EQ(smart.InitSmart(), 0);
    EXPECT_EQ(pcsc.establishCalls, 2);
    EXPECT_EQ(pcsc.listCalls, 1);
    EXPECT_TRUE(smart.contextReady());
}

TEST_F(SmartTest, InitSmartIsReadyEvenWhenNoReaderIsThere)
{
    EXPECT_EQ(smart.InitSmart(), pcsc::E_NO_READERS_AVAILABLE);
    EXPECT_TRUE(smart.contextReady());
    EXPECT_EQ(smart.InitSmart(), 0);
    EXPECT_EQ(pcsc.listCalls, 1);
}

TEST_F(SmartTest, DeadServiceContextIsReplacedOnNextInit)
{
    for (pcsc::Result dead : {pcsc::E_NO_SERVICE, pcsc::E_SERVICE_STOPPED, pcsc::E_INVALID_HANDLE}) {
        ScriptedPcsc p;
        p.readers.push_back({"Old"});
        modSmart s{p};
        ASSERT_EQ(s.InitSmart(), 0);
        p.listResults.push_back(dead);
        EXPECT_EQ(s.ListReaders(), dead);
        EXPECT_FALSE(s.contextReady());
        EXPECT_EQ(std::count(p.calls.begin(), p.calls.end(), "release"), 1);

        // The service is back with a reader plugged in meanwhile.
        p.readers.push_back({"New"});
        EXPECT_EQ(s.InitSmart(), 0);
        EXPECT_EQ(p.establishCalls, 2);
        std::vector<std::string> got;
        EXPECT_EQ(s.GetReaders(got), 2);
        EXPECT_EQ(got.back(), "New");
    }
}

TEST_F(SmartTest, DeadServiceDuringFirstListingLeavesNotReady)
{
    addReaders({"A"});
    pcsc.listResults.push_back(pcsc::E_SERVICE_STOPPED);
    EXPECT_EQ(smart.InitSmart(), pcsc::E_SERVICE_STOPPED);
    EXPECT_FALSE(smart.contextReady());
    EXPECT_EQ(smart.InitSmart(), 0);
    EXPECT_EQ(pcsc.establishCalls, 2);
}

TEST_F(SmartTest, SelectReaderIsExactAndCaseSensitive)
{
    addReaders({"ZN480 00 00", "ZN480 00 01"});
    ASSERT_EQ(smart.InitSmart(), 0);
    EXPECT_TRUE(smart.SelectReader("ZN480 00 01"));
    EXPECT_EQ(smart.currentReader(), 1);
    for (const char* miss : {"zn480 00 00", "ZN480 00", "ZN480 00 00 ", ""}) {
        EXPECT_FALSE(smart.SelectReader(miss)) << miss;
        EXPECT_EQ(smart.currentReader(), 1);
    }
}

TEST_F(SmartTest, ConnectSequences)
{
    struct Case {
        const char* what;
        bool cardPresent, exclusiveBusy;
        bool connected;
        std::vector<std::string> calls;
    } cases[] = {
        {"exclusive", true, false, true, {"connect:R:1", "begin"}},
        {"shared fallback", true, true, true, {"connect:R:1", "end", "disconnect", "connect:R:2", "begin"}},
        {"no card", false, false, false, {"connect:R:1", "end", "disconnect", "connect:R:2"}},
    };
    for (const auto& c : cases) {
        ScriptedPcsc p;
        p.readers.push_back({"R", c.cardPresent, {0x3B, 0x00}, c.exclusiveBusy});
        modSmart s{p};
        ASSERT_EQ(s.InitSmart(), 0);
        const std::string atr = s.ConnectCard();
        EXPECT_EQ(atr, c.connected ? "3B00" : "") << c.what;
        EXPECT_EQ(s.cardHandle() != 0, c.connected) << c.what;
        EXPECT_EQ(p.calls, c.calls) << c.what;
    }
}

TEST_F(SmartTest, ConnectionWithoutStateOrTransactionIsGivenBack)
{
    // The handle is of no use to the caller, and kept it would hold the
    // reader against every exclusive connection until the next ConnectCard.
    struct Case {
        const char* what;
        bool exclusiveBusy;
        pcsc::Result status, begin;
        std::vector<std::string> calls;
    } cases[] = {
        {"state refused", false, pcsc::F_COMM_ERROR, 0, {"connect:R:1", "end", "disconnect"}},
        {"transaction refused", false, 0, pcsc::E_SHARING_VIOLATION, {"connect:R:1", "begin", "end", "disconnect"}},
        {"shared, transaction refused", true, 0, pcsc::W_REMOVED_CARD,
            {"connect:R:1", "end", "disconnect", "connect:R:2", "begin", "end", "disconnect"}},
    };
    for (const auto& c : cases) {
        ScriptedPcsc p;
        FakePcsc::Reader r{"R"};
        r.exclusiveBusy = c.exclusiveBusy;
        r.statusResult = c.status;
        r.beginResult = c.begin;
        p.readers.push_back(r);
        modSmart s{p};
        ASSERT_EQ(s.InitSmart(), 0);
        EXPECT_EQ(s.ConnectCard(), "") << c.what;
        EXPECT_EQ(p.calls, c.calls) << c.what;
        EXPECT_TRUE(p.open.empty()) << c.what;
        EXPECT_EQ(s.cardHandle(), 0u) << c.what;
        EXPECT_EQ(s.connectedReader(), "") << c.what;
    }
}

TEST_F(SmartTest, SecondConnectEndsFirstConnection)
{
    addReaders({"R"});
    connectFirst();
    const auto first = smart.cardHandle();
    EXPECT_FALSE(smart.ConnectCard().empty());
    EXPECT_EQ(pcsc.calls, (std::vector<std::string>{"end", "disconnect", "connect:R:1", "begin"}));
    EXPECT_NE(smart.cardHandle(), first);
    EXPECT_EQ(pcsc.open.count(first), 0u);
}

TEST_F(SmartTest, DisconnectAlwaysEndsAndUnpowers)
{
    addReaders({"R"});
    smart.DisconnectCard(); // nothing open: both calls still made
    EXPECT_EQ(pcsc.calls, (std::vector<std::string>{"end", "disconnect"}));
    connectFirst();
    smart.DisconnectCard();
    EXPECT_EQ(pcsc.calls, (std::vector<std::string>{"end", "disconnect"}));
    EXPECT_EQ(smart.cardHandle(), 0u);
    EXPECT_TRUE(pcsc.open.empty());
}

TEST_F(SmartTest, AtrLengths)
{
    struct Case {
        size_t len;
        std::optional<uint32_t> lie;
        size_t hexChars;
    } cases[] = {
        {11, {}, 22},
        {0, {}, 0},
        {33, {}, 66},
        {33, 4000u, 66},
        {3, 2u, 4},
    };
    for (const auto& c : cases) {
        ScriptedPcsc p;
        FakePcsc::Reader r{"R"};
        r.atr.assign(c.len, 0xA5);
        p.readers.push_back(r);
        p.readers.back().atr.reserve(1); // an empty ATR still has storage to copy from
        p.lyingAtrLen = c.lie;
        modSmart s{p};
        ASSERT_EQ(s.InitSmart(), 0);
        EXPECT_EQ(s.ConnectCard().size(), c.hexChars) << c.len;
    }
}

TEST_F(SmartTest, ProtocolSelector)
{
    addReaders({"R"});
    connectFirst();
    std::string reply;
    for (int32_t sel : {0, 1, 2, -1})
        EXPECT_EQ(smart.TransmitApdu("FFCA000000", sel, reply), 0);
    EXPECT_EQ(pcsc.protocols, (std::vector<uint32_t>{1, 2, 4, 4}));
    EXPECT_EQ(reply, "9000");
}

TEST_F(SmartTest, ReplySizes)
{
    struct Case {
        size_t len;
        pcsc::Result result;
        size_t hexChars; // of the reply argument afterwards ("old" keeps 3)
    } cases[] = {
        {0, pcsc::F_COMM_ERROR, 3},
        {1, pcsc::F_COMM_ERROR, 3},
        {2, 0, 4},
        {258, 0, 516},
        {259, pcsc::E_INSUFFICIENT_BUFFER, 3},
    };
    addReaders({"R"});
    connectFirst();
    for (const auto& c : cases) {
        pcsc.responder = [&](const std::vector<uint8_t>&) {
            std::vector<uint8_t> r(c.len, 0x11);
            r.reserve(1); // an empty reply still has storage to copy from
            if (c.len >= 2) {
                r[c.len - 2] = 0x90;
                r[c.len - 1] = 0x00;
            }
            return r;
        };
        std::string reply = "old";
        EXPECT_EQ(smart.TransmitApdu("00A4040000", 1, reply), c.result) << c.len;
        EXPECT_EQ(reply.size(), c.hexChars) << c.len;
        if (c.result == 0) {
            EXPECT_EQ(reply.substr(reply.size() - 4), "9000");
        }
    }
}

TEST_F(SmartTest, EmptyOrBadCommandIsNotSent)
{
    addReaders({"R"});
    connectFirst();
    for (const char* cmd : {"", "FFZZ", "12G4"}) {
        std::string reply = "old";
        EXPECT_EQ(smart.TransmitApdu(cmd, 1, reply), pcsc::E_INVALID_PARAMETER) << cmd;
        EXPECT_EQ(reply, "old");
    }
    EXPECT_TRUE(pcsc.calls.empty());
}

TEST_F(SmartTest, LostHandleReconnectsOnceAndRepeats)
{
    for (pcsc::Result lost :
        {pcsc::WIN_ERROR_INVALID_HANDLE, pcsc::E_INVALID_HANDLE, pcsc::W_REMOVED_CARD, pcsc::W_RESET_CARD}) {
        ScriptedPcsc p;
        p.readers.push_back({"R"});
        modSmart s{p};
        ASSERT_EQ(s.InitSmart(), 0);
        ASSERT_FALSE(s.ConnectCard().empty());
        p.calls.clear();
        p.transmitResults = {lost};
        std::string reply;
        EXPECT_EQ(s.TransmitApdu("FFCAF00004", 1, reply), 0);
        EXPECT_EQ(reply, "9000");
        EXPECT_EQ(p.calls,
            (std::vector<std::string>{
                "transmit:FFCAF00004", "end", "disconnect", "connect:R:1", "begin", "transmit:FFCAF00004"}));
        EXPECT_EQ(p.offeredReplyLens, (std::vector<uint32_t>{258, 258}));
    }
}

TEST_F(SmartTest, LostHandleWithoutCardReturnsFirstResult)
{
    addReaders({"R"});
    connectFirst();
    pcsc.readers[0].cardPresent = false;
    pcsc.transmitResults = {pcsc::WIN_ERROR_INVALID_HANDLE};
    std::string reply = "old";
    EXPECT_EQ(smart.TransmitApdu("FFCAF00004", 1, reply), pcsc::WIN_ERROR_INVALID_HANDLE);
    EXPECT_EQ(reply, "old");
    EXPECT_EQ(
        std::count_if(pcsc.calls.begin(), pcsc.calls.end(), [](auto& c) { return c.rfind("transmit:", 0) == 0; }), 1);
}

TEST_F(SmartTest, RepeatedFailureIsNotRetriedAgain)
{
    addReaders({"R"});
    connectFirst();
    pcsc.transmitResults = {pcsc::E_INVALID_HANDLE, pcsc::E_INVALID_HANDLE};
    std::string reply = "old";
    EXPECT_EQ(smart.TransmitApdu("FFCAF00004", 1, reply), pcsc::E_INVALID_HANDLE);
    EXPECT_EQ(reply, "old");
    EXPECT_EQ(pcsc.protocols.size(), 2u);
}

TEST_F(SmartTest, OtherFailuresAreNotRetried)
{
    addReaders({"R"});
    connectFirst();
    pcsc.transmitResults = {pcsc::F_COMM_ERROR};
    std::string reply = "old";
    EXPECT_EQ(smart.TransmitApdu("FFCAF00004", 1, reply), pcsc::F_COMM_ERROR);
    EXPECT_EQ(pcsc.calls, std::vector<std::string>{"transmit:FFCAF00004"});
}

} // namespace
} // namespace tarvex
