// The port layer through the exports, with ptys as COM ports.
#include "fake_line.h"
#include "pty_support.h"
#include "serchan.h"

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>

using ptys::Bytes;

namespace {

const Bytes kApdu{0xFF, 0xCA, 0xF0, 0x00, 0x04};

class Port : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.ok());
        SCCallbacks(nullptr, nullptr);
        SCCloseChannel(0);
        SCChangeProtocol(SC_OPT_RESET_ROLE);
    }
    void TearDown() override
    {
        SCCallbacks(nullptr, nullptr);
        SCCloseChannel(0);
    }

    // A frame sent without handshake, as the pty master sees it.
    Bytes sendAndCapture()
    {
        const int32_t n = SCSend(0, kApdu.data(), static_cast<uint32_t>(kApdu.size()));
        EXPECT_EQ(n, 9);
        return pty.read(9, 1000);
    }

    ptys::DevDir dev;
    ptys::Pty pty;
};

TEST_F(Port, PortNumbersUseTheirLowByte)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave())); // COM1
    EXPECT_EQ(SCOpenChannel(257, 115200, SC_OPT_NO_HANDSHAKE), 257);
    const Bytes frame = sendAndCapture();
    ASSERT_EQ(frame.size(), 9u);
    EXPECT_EQ(frame[0], 0x02);
    EXPECT_EQ(SCCloseChannel(257), 0);
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), SC_ERR_PORT) << "closed";
}

TEST_F(Port, PortsThatCannotBeOpenedGiveZeroAndKeepTheOptions)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    ASSERT_TRUE(dev.link("ttyACM1", dev.path() + "/nowhere")); // dangling, like an unplugged node
    SCChangeProtocol(SC_OPT_INVERTED_CHECK);
    for (int32_t port : {0, 2, 3, 193, 256, 512, -256, 0x7FFFFF00}) {
        EXPECT_EQ(SCOpenChannel(port, 115200, SC_OPT_NO_HANDSHAKE), 0) << port;
        EXPECT_EQ(SCAddProtocol(0), SC_OPT_INVERTED_CHECK) << port;
    }
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), SC_ERR_PORT) << "no port is open";
}

TEST_F(Port, SecondOpenFailsAndClosesThePort)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    ASSERT_EQ(SCOpenChannel(1, 115200, SC_OPT_NO_HANDSHAKE), 1);
    EXPECT_EQ(SCOpenChannel(1, 115200, 0), 0);
    EXPECT_EQ(SCAddProtocol(0), SC_OPT_NO_HANDSHAKE);
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), SC_ERR_PORT);
    uint8_t buf[8];
    EXPECT_EQ(SCReceive(0, buf, sizeof buf), SC_ERR_PORT);
    EXPECT_EQ(SCOpenChannel(1, 115200, SC_OPT_NO_HANDSHAKE), 1) << "nothing was left open";
}

// SCOpenChannel stores its options as given: bit 0x08 neither resets the
// role at the open nor is dropped, so the next option call applies it. The
// role shows in the sequence number: as responder a send reuses the number
// of the frame last taken, after a reset it starts an exchange with the next.
TEST_F(Port, OpenStoresOption08UnchangedForTheNextOptionCall)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    auto sentSequence = [&] {
        EXPECT_EQ(SCSend(0, kApdu.data(), 5), 9);
        const Bytes frame = pty.read(9, 1000);
        return frame.size() == 9 ? frame[1] : -1;
    };
    ASSERT_EQ(SCOpenChannel(1, 115200, SC_OPT_NO_HANDSHAKE), 1);
    pty.write(fake::frame(0x40, {0xAA}));
    uint8_t buf[4];
    int32_t r = 0;
    for (int i = 0; i < 1000 && r == 0; ++i) {
        r = SCReceive(0, buf, sizeof buf);
        if (r == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(r, 1); // responder now, sequence 0x40
    SCCloseChannel(1);

    ASSERT_EQ(SCOpenChannel(1, 115200, SC_OPT_RESET_ROLE | SC_OPT_NO_HANDSHAKE), 1);
    EXPECT_EQ(sentSequence(), 0x40) << "the open kept the role";
    EXPECT_EQ(SCAddProtocol(0), SC_OPT_NO_HANDSHAKE) << "0x08 was stored and is applied now";
    EXPECT_EQ(sentSequence(), 0x41) << "the role was reset";
}

// A rate the driver refuses is tolerated only on USB CDC ports (ttyACM).
TEST_F(Port, RefusedLineSettingsAreToleratedOnUsbCdcPortsOnly)
{
    ptys::Pty other;
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));   // COM1, USB CDC
    ASSERT_TRUE(dev.link("ttyUSB0", other.slave())); // COM65, a serial adapter
    struct Case {
        int32_t port;
        uint32_t baud;
        int32_t expected;
    };
    for (const Case c :
        {Case{1, 12345, 1}, Case{65, 12345, 0}, Case{65, 0, 0}, Case{65, 115200, 65}, Case{1, 115200, 1}}) {
        EXPECT_EQ(SCOpenChannel(c.port, c.baud, SC_OPT_NO_HANDSHAKE), c.expected) << c.port << " " << c.baud;
        SCCloseChannel(c.port);
    }
}

// A device node without a line discipline (here a node of its own for the
// null device) has no raw mode to set and no rate: refused like a rate on
// the serial adapter, tolerated on the USB CDC port.
TEST_F(Port, NodeWithoutLineSettingsIsToleratedOnUsbCdcPortsOnly)
{
    const std::string cdc = dev.node("ttyACM0");
    const std::string adapter = dev.node("ttyUSB0");
    if (mknod(cdc.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0
        || mknod(adapter.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        GTEST_SKIP() << "making device nodes needs root";
    EXPECT_EQ(SCOpenChannel(1, 115200, SC_OPT_NO_HANDSHAKE), 1);
    SCCloseChannel(1);
    EXPECT_EQ(SCOpenChannel(65, 115200, SC_OPT_NO_HANDSHAKE), 0);
}

// Only the rate is left as the driver has it: the line is raw all the same.
// A fresh pty starts cooked (line editing, echo, CR/NL mapping), where a
// lone ACK is never delivered, a 0x0A goes out as 0D 0A and the reader's
// bytes are echoed back to it.
TEST_F(Port, UsbCdcPortAtARefusedRateIsStillRaw)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    ASSERT_EQ(SCOpenChannel(1, 12345, 0), 1);
    const Bytes command{0x0A, 0x0D, 0x7F, 0x03, 0x11};
    const Bytes reply{0x0A, 0x0D, 0x90, 0x00};
    Bytes seen;
    std::thread reader([&] {
        seen = pty.read(9, 2000);
        if (seen.size() == 9) {
            pty.write({0x06});
            pty.write(fake::frame(seen[1], reply));
        }
    });
    const int32_t sent = SCSend(0, command.data(), static_cast<uint32_t>(command.size()));
    reader.join();
    ASSERT_EQ(seen.size(), 9u);
    EXPECT_EQ(Bytes(seen.begin() + 3, seen.end() - 1), command) << "the frame left unchanged";
    EXPECT_EQ(sent, 1) << "the ACK was received";
    uint8_t buf[16] = {};
    int32_t r = 0;
    for (int i = 0; i < 1000 && r == 0; ++i) {
        r = SCReceive(0, buf, sizeof buf);
        if (r == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(r, 4);
    EXPECT_EQ(Bytes(buf, buf + 4), reply);
    EXPECT_EQ(pty.read(16, 200), Bytes{0x06}) << "our ACK, and no echo of the reader's bytes";
}

// A port refused for its line settings is closed as it was found: the raw
// mode tried on the way is taken back.
TEST_F(Port, RefusedPortIsLeftAsItWasFound)
{
    ASSERT_TRUE(dev.link("ttyUSB0", pty.slave())); // COM65, no USB CDC port
    const int other = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(other, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON) << "a fresh pty starts cooked";
    EXPECT_EQ(SCOpenChannel(65, 12345, 0), 0);
    termios after{};
    ASSERT_EQ(tcgetattr(other, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    ::close(other);
}

// Another program's advisory lock on the node (as serial tools take) means
// the port is in use: refused like an open without sharing on Windows. The
// library takes the same lock while it holds the port.
TEST_F(Port, PortLockedByAnotherProgramIsRefused)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    const int other = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(SCOpenChannel(1, 115200, 0), 0);
    ASSERT_EQ(flock(other, LOCK_UN), 0);

    ASSERT_EQ(SCOpenChannel(1, 115200, 0), 1);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << "the library holds the lock";
    SCCloseChannel(1);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "and lets it go at close";
    ::close(other);
}

// Exclusive mode keeps other programs out while the port is open and is
// cleared at close: the node (a pty's, or one another program holds open)
// keeps the flag past our close, and every later non-root open would fail
// with EBUSY.
TEST_F(Port, ExclusiveModeLastsOnlyWhileOpen)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    const int other = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    int exclusive = -1;
    ASSERT_EQ(SCOpenChannel(1, 115200, 0), 1);
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "while open";
    SCCloseChannel(1);
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "after close";
    ::close(other);
}

TEST_F(Port, ReceiveTakesWhatIsQueuedAndNeverWaits)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    ASSERT_EQ(SCOpenChannel(1, 115200, 0), 1);
    uint8_t buf[16];
    EXPECT_EQ(SCReceive(0, buf, sizeof buf), 0); // nothing queued: returns at once

    const Bytes answer{0x02, 0x81, 0x02, 0x90, 0x00, 0x11};
    pty.write(Bytes(answer.begin(), answer.begin() + 3));
    auto poll = [&] {
        int32_t r = 0;
        for (int i = 0; i < 2000 && r == 0; ++i) {
            r = SCReceive(0, buf, sizeof buf);
            if (r == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return r;
    };
    // The first half alone never completes a frame.
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(SCReceive(0, buf, sizeof buf), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pty.write(Bytes(answer.begin() + 3, answer.end()));
    EXPECT_EQ(poll(), 2);
    EXPECT_EQ(pty.read(1, 1000), Bytes{0x06});
}

TEST_F(Port, WriteWaitsUntilTheDriverTookEveryByte)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    ASSERT_EQ(SCOpenChannel(1, 115200, SC_OPT_NO_HANDSHAKE), 1);
    // Far more than the pty holds: writes must wait for the reader below.
    constexpr int kFrames = 800; // about 200 KB
    Bytes data(255);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    std::atomic<int> short_writes{0};
    std::thread writer([&] {
        for (int i = 0; i < kFrames; ++i)
            if (SCSend(0, data.data(), 255) != 259)
                ++short_writes;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let the pty fill up
    const Bytes got = pty.read(size_t{kFrames} * 259, 20000);
    writer.join();
    EXPECT_EQ(short_writes.load(), 0);
    ASSERT_EQ(got.size(), size_t{kFrames} * 259);
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(got[static_cast<size_t>(i) * 259], 0x02) << "frame " << i;
        ASSERT_TRUE(std::equal(data.begin(), data.end(), got.begin() + i * 259 + 3)) << "frame " << i;
    }
}

TEST_F(Port, UnplugFailsReadsAndWrites)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    ASSERT_EQ(SCOpenChannel(1, 115200, 0), 1);
    pty.unplug();
    uint8_t buf[16];
    EXPECT_EQ(SCReceive(0, buf, sizeof buf), SC_ERR_PORT);
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), SC_ERR_PORT);
    EXPECT_EQ(SCCloseChannel(1), 0);
}

// A port that is gone will not answer: each attempt's ACK wait ends at the
// port's failure instead of polling it for 300 ms (frames go to a caller's
// write function, so only the reads meet the unplugged port).
TEST_F(Port, UnplugDuringTheAckWaitEndsEachAttemptAtOnce)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    ASSERT_EQ(SCOpenChannel(1, 115200, 0), 1);
    fake::line().clear();
    SCCallbacks(fake::write, nullptr);
    pty.unplug();
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), SC_ERR_PORT);
    EXPECT_EQ(fake::line().frames().size(), 3u);
}

TEST_F(Port, CloseWithBothTransportsLeavesThePortOpen)
{
    ASSERT_TRUE(dev.link("ttyACM0", pty.slave()));
    ASSERT_EQ(SCOpenChannel(1, 115200, SC_OPT_NO_HANDSHAKE), 1);
    SCCallbacks(fake::write, fake::read);
    EXPECT_EQ(SCCloseChannel(1), 1);
    SCCallbacks(nullptr, fake::read); // reads from the fake, writes to the port
    EXPECT_EQ(sendAndCapture().size(), 9u);
    EXPECT_EQ(SCCloseChannel(1), 0);
    SCCallbacks(nullptr, nullptr);
    EXPECT_EQ(SCSend(0, kApdu.data(), 5), SC_ERR_PORT);
}

} // namespace
