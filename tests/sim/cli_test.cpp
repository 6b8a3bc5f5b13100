// The simulator program end to end: it follows a personality switch from the
// serial line to the PC/SC reader and back, and takes control commands.
#include "private_pcscd.h"

#include <gtest/gtest.h>
#include <winscard.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;
using namespace std::chrono;
using Bytes = std::vector<uint8_t>;

namespace {

template <class F> bool eventually(F f, int ms = 5000)
{
    auto end = steady_clock::now() + milliseconds(ms);
    while (steady_clock::now() < end) {
        if (f())
            return true;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return f();
}

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

// Sends one command over the serial line and returns the reply data.
Bytes serialExchange(const std::string& path, uint8_t seq, const Bytes& apdu)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return {};
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    Bytes f = frame(seq, apdu);
    (void)!::write(fd, f.data(), f.size());
    Bytes in;
    auto end = steady_clock::now() + milliseconds(2000);
    while (steady_clock::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            uint8_t b[300];
            ssize_t n = ::read(fd, b, sizeof b);
            if (n <= 0)
                break;
            in.insert(in.end(), b, b + n);
        }
        // ACK, then 02 SEQ LEN DATA CHK
        if (in.size() >= 4 && in.size() >= 5u + in[3])
            break;
    }
    Bytes data;
    if (in.size() >= 5 && in[0] == 0x06 && in.size() >= 5u + in[3]) {
        data.assign(in.begin() + 4, in.begin() + 4 + in[3]);
        uint8_t ack = 0x06;
        (void)!::write(fd, &ack, 1);
    }
    ::close(fd);
    return data;
}

std::string control(const std::string& sock, const std::string& line)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", sock.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return "";
    }
    std::string msg = line + "\nquit\n";
    (void)!::write(fd, msg.data(), msg.size());
    std::string out;
    char b[1024];
    ssize_t n;
    while ((n = ::read(fd, b, sizeof b)) > 0)
        out.append(b, static_cast<size_t>(n));
    ::close(fd);
    return out;
}

const Bytes kSerial = {0xFF, 0xCA, 0xF0, 0x00, 0x04};
const Bytes kToCcid = {0xFE, 0xDD, 0x02, 0x00, 0x0A, 0x00, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x77, 0x34, 0x4D, 0x58};
const Bytes kToCdc = {0xFE, 0xDD, 0x02, 0x00, 0x0A, 0x01, 0xFE, 0x01, 0x02, 0x03, 0x04, 0xAF, 0xF5, 0xA6, 0xFE};
const Bytes kReboot = {0xFF, 0xFE, 0xFC, 0x00, 0x00};
const Bytes kOk = {0x90, 0x00};

} // namespace

TEST(SimulatorProgram, FollowsPersonalitySwitchesAndControlCommands)
{
    zn480test::PrivatePcscd pcscd(1);
    ASSERT_TRUE(pcscd.ok()) << pcscd.error();
    pcscd.exportSocket();

    const std::string dir = pcscd.dir();
    const std::string link = dir + "/ttyACM0", sock = dir + "/sim.ctl", logFile = dir + "/sim.log";
    const std::string port = std::to_string(pcscd.port(0));
    const char* argv[] = {ZN480SIM_PATH, "--cdc-link", link.c_str(), "--vpcd-port", port.c_str(), "--control",
        sock.c_str(), "--restart-delay", "200", "--log", logFile.c_str(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, (dir + "/sim.out").c_str(), O_WRONLY | O_CREAT, 0644);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, ZN480SIM_PATH, &fa, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    struct Reap {
        pid_t pid;
        ~Reap()
        {
            ::kill(pid, SIGTERM);
            int st;
            ::waitpid(pid, &st, 0);
        }
    } reap{pid};

    // Starts in CDC.
    ASSERT_TRUE(eventually([&] { return ::access(link.c_str(), F_OK) == 0 && ::access(sock.c_str(), F_OK) == 0; }));
    EXPECT_EQ(serialExchange(link, 0x81, kSerial), (Bytes{1, 2, 3, 4, 0x90, 0x00}));
    EXPECT_NE(control(sock, "state").find("present=CDC"), std::string::npos);

    // Switch to CCID over the serial line: the pty goes, the card comes.
    EXPECT_EQ(serialExchange(link, 0x82, kToCcid), kOk);
    EXPECT_EQ(serialExchange(link, 0x83, kReboot), kOk);
    EXPECT_TRUE(eventually([&] { return ::access(link.c_str(), F_OK) != 0; }));

    SCARDCONTEXT ctx;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
    SCARDHANDLE card = 0;
    DWORD proto;
    const std::string reader = pcscd.readerName(0);
    ASSERT_TRUE(eventually([&] {
        return SCardConnect(ctx, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &proto)
            == SCARD_S_SUCCESS;
    }));
    auto transmit = [&](const Bytes& apdu) {
        BYTE buf[258];
        DWORD len = sizeof buf;
        LONG rc = SCardTransmit(card, SCARD_PCI_T1, apdu.data(), apdu.size(), nullptr, buf, &len);
        return rc == SCARD_S_SUCCESS ? Bytes(buf, buf + len) : Bytes{};
    };
    EXPECT_EQ(transmit(kSerial), (Bytes{1, 2, 3, 4, 0x90, 0x00}));
    EXPECT_NE(control(sock, "state").find("present=CCID"), std::string::npos);

    // Control commands reach the reader.
    EXPECT_EQ(control(sock, "refuse FFCAF0 6A82"), "OK\n");
    EXPECT_EQ(transmit(kSerial), (Bytes{0x6A, 0x82}));
    EXPECT_EQ(control(sock, "bogus").rfind("ERR", 0), 0u);

    // And back to CDC through PC/SC.
    EXPECT_EQ(transmit(kToCdc), kOk);
    EXPECT_EQ(transmit(kReboot), kOk);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    EXPECT_TRUE(eventually([&] { return ::access(link.c_str(), F_OK) == 0; }));
    EXPECT_EQ(serialExchange(link, 0x84, kSerial), (Bytes{1, 2, 3, 4, 0x90, 0x00}));
    SCardReleaseContext(ctx);

    // The log holds each command with its reply.
    EXPECT_NE(control(sock, "log").find("FEDD02000A01FE01020304AFF5A6FE"), std::string::npos);
    FILE* f = std::fopen(logFile.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    std::fclose(f);
    EXPECT_STREQ(line, "FFCAF00004 -> 010203049000\n");
}
