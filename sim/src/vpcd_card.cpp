// Card side of the virtual reader driver's TCP protocol. Every message both
// ways is a 2-byte big-endian length and the bytes. From the driver a 1-byte
// message is a control code (00 power off, 01 power on, 02 reset, 04 get
// ATR); anything longer is a command APDU. Only "get ATR" and APDUs are
// answered.
#include "zn480sim/vpcd_card.h"

#include "fd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace zn480sim {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kPowerOff = 0x00, kPowerOn = 0x01, kReset = 0x02, kGetAtr = 0x04;
constexpr int kRetryMs = 100;
constexpr int kMessageWaitMs = 1000; // a message's body follows its length promptly

Bytes makeAtr()
{
    // Contactless card as PC/SC part 3 describes it: TS, T0 (TD1 present, 15
    // historical bytes), TD1 = T=0 with TD2, TD2 = T=1, the historical bytes
    // (category 80, application identifier tag 4F of a storage card), TCK.
    Bytes a = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03, 0x06, 0x03, 0x00, 0x01, 0x00, 0x00,
        0x00, 0x00};
    uint8_t tck = 0;
    for (size_t i = 1; i < a.size(); ++i)
        tck ^= a[i];
    a.push_back(tck);
    return a;
}

// The driver writes length and body in two segments without TCP_NODELAY;
// unless we ACK at once, the second segment waits for the delayed-ACK timer
// and every exchange stalls. Quick-ACK mode lapses, so re-arm it each time.
void quickAck(int fd)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

// Reads exactly n bytes, waiting at most kMessageWaitMs for each piece.
bool readExact(int fd, uint8_t* p, size_t n)
{
    while (n > 0) {
        pollfd pf = {fd, POLLIN, 0};
        int r = ::poll(&pf, 1, kMessageWaitMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        quickAck(fd);
        ssize_t got = ::recv(fd, p, n, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool writeMessage(int fd, const Bytes& body)
{
    Bytes m;
    m.reserve(body.size() + 2);
    m.push_back(static_cast<uint8_t>(body.size() >> 8));
    m.push_back(static_cast<uint8_t>(body.size()));
    m.insert(m.end(), body.begin(), body.end());
    size_t off = 0;
    while (off < m.size()) {
        ssize_t w = ::send(fd, m.data() + off, m.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

} // namespace

struct VpcdCard::Impl {
    Impl(Reader& r, uint16_t p, std::string h) : reader(r), port(p), host(std::move(h)) { }

    Reader& reader;
    const uint16_t port;
    const std::string host;

    mutable std::mutex mu;
    mutable std::condition_variable cv;
    bool inserted = false;
    std::optional<Clock::time_point> removedAt;
    std::chrono::milliseconds fakeHold{30000};
    bool isConnected = false;

    std::atomic<bool> running{false};
    std::atomic<int> apdus{0};
    Fd wakeRd, wakeWr;
    Fd sock;
    std::thread thread;

    void wake()
    {
        uint8_t b = 1;
        (void)!::write(wakeWr.get(), &b, 1);
    }
    void drainWake()
    {
        uint8_t buf[64];
        while (::read(wakeRd.get(), buf, sizeof buf) > 0) { }
    }

    void setConnected(bool c)
    {
        std::lock_guard lk(mu);
        isConnected = c;
        cv.notify_all();
    }

    // Whether the card should be reported now, and for how long that
    // answer holds (a fake-card hold runs out by itself).
    bool shouldReport(int& validForMs)
    {
        validForMs = -1;
        const uint8_t fake = reader.config().fakeCard;
        std::lock_guard lk(mu);
        if (inserted || fake == 2)
            return true;
        if (fake == 255 && removedAt) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*removedAt + fakeHold - Clock::now());
            if (left.count() > 0) {
                validForMs = static_cast<int>(left.count()) + 1;
                return true;
            }
        }
        return false;
    }

    bool connect()
    {
        Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!s.valid())
            return false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
            return false;
        if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return false;
        int one = 1;
        ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        quickAck(s.get());
        sock = std::move(s);
        setConnected(true);
        return true;
    }

    void disconnect()
    {
        if (!sock.valid())
            return;
        sock.reset();
        setConnected(false);
    }

    // Serves one message from the driver; false when the connection is gone.
    bool serveOne()
    {
        uint8_t len[2];
        if (!readExact(sock.get(), len, 2))
            return false;
        Bytes body(static_cast<size_t>(len[0]) << 8 | len[1]);
        if (!readExact(sock.get(), body.data(), body.size()))
            return false;
        if (body.size() == 1) {
            switch (body[0]) {
            case kGetAtr:
                return writeMessage(sock.get(), atr());
            case kPowerOff:
            case kPowerOn:
            case kReset:
            default:
                return true;
            }
        }
        if (body.empty())
            return true;
        Bytes reply = reader.process(body);
        ++apdus;
        return writeMessage(sock.get(), reply);
    }

    void run()
    {
        while (running) {
            int validFor = -1;
            const bool report = shouldReport(validFor);
            if (report && !sock.valid() && !connect())
                validFor = kRetryMs;
            if (!report)
                disconnect();

            pollfd p[2] = {{wakeRd.get(), POLLIN, 0}, {sock.get(), POLLIN, 0}};
            int n = sock.valid() ? 2 : 1;
            int r = ::poll(p, n, validFor);
            if (!running)
                break;
            if (r < 0)
                continue;
            if (p[0].revents)
                drainWake();
            if (n == 2 && p[1].revents) {
                if (!serveOne())
                    disconnect();
            }
        }
        disconnect();
    }
};

VpcdCard::VpcdCard(Reader& reader, uint16_t port, std::string host)
    : impl_(std::make_unique<Impl>(reader, port, std::move(host)))
{
}

VpcdCard::~VpcdCard()
{
    stop();
}

void VpcdCard::start(bool cardInserted)
{
    stop();
    Impl& d = *impl_;
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    d.wakeRd.reset(p[0]);
    d.wakeWr.reset(p[1]);
    {
        std::lock_guard lk(d.mu);
        d.inserted = cardInserted;
        d.removedAt.reset();
    }
    d.running = true;
    d.thread = std::thread([&d] { d.run(); });
}

void VpcdCard::stop()
{
    Impl& d = *impl_;
    if (!d.thread.joinable())
        return;
    d.running = false;
    d.wake();
    d.thread.join();
    d.wakeRd.reset();
    d.wakeWr.reset();
}

void VpcdCard::insertCard()
{
    {
        std::lock_guard lk(impl_->mu);
        impl_->inserted = true;
        impl_->removedAt.reset();
    }
    if (impl_->running)
        impl_->wake();
}

void VpcdCard::removeCard()
{
    {
        std::lock_guard lk(impl_->mu);
        if (impl_->inserted)
            impl_->removedAt = Clock::now();
        impl_->inserted = false;
    }
    if (impl_->running)
        impl_->wake();
}

bool VpcdCard::cardInserted() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->inserted;
}

void VpcdCard::setFakeHold(std::chrono::milliseconds hold)
{
    {
        std::lock_guard lk(impl_->mu);
        impl_->fakeHold = hold;
    }
    if (impl_->running)
        impl_->wake();
}

bool VpcdCard::connected() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->isConnected;
}

bool VpcdCard::waitConnected(bool want, std::chrono::milliseconds timeout) const
{
    std::unique_lock lk(impl_->mu);
    return impl_->cv.wait_for(lk, timeout, [&] { return impl_->isConnected == want; });
}

int VpcdCard::apdusServed() const
{
    return impl_->apdus;
}

const std::vector<uint8_t>& VpcdCard::atr()
{
    static const Bytes a = makeAtr();
    return a;
}

} // namespace zn480sim
