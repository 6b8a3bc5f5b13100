// The reader's side of the framed serial protocol, served over a pty.
//
// Frame: 02 SEQ LEN DATA... CHK, CHK = XOR of every byte before it. The
// reader answers each complete frame with one ACK (06) or NAK (15) byte,
// then sends the reply in one frame carrying the request's sequence number
// and waits for the host's ACK, sending it again on NAK.
#include "zn480sim/cdc_peer.h"

#include "fd.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace zn480sim {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStart = 0x02;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
// How long the reader waits for the host's ACK of a reply. The host only
// acknowledges when it polls for the reply, so this is generous.
constexpr int kAckWaitMs = 1000;
// Resends of a reply after a NAK.
constexpr int kMaxResends = 3;
// A frame left incomplete this long is dropped.
constexpr int kPartialFrameMs = 1000;

uint8_t xorOf(const uint8_t* p, size_t n)
{
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i)
        x ^= p[i];
    return x;
}

int msSince(Clock::time_point t)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

} // namespace

struct CdcPeer::Impl {
    explicit Impl(Reader& r) : reader(r) { }

    Reader& reader;
    Fd master;
    Fd slaveKeep; // keeps the slave open so the master never sees a hang-up
    Fd wakeRd, wakeWr;
    std::string slave;
    std::thread thread;
    std::atomic<bool> running{false};
    std::mutex writeMu;
    mutable std::mutex linkMu;
    mutable std::vector<std::string> links;

    // Fault switches.
    std::mutex faultMu;
    int nakCount = 0;
    bool silent = false;
    int foreignByte = -1;
    int pieces = 1;
    int pauseMs = 0;
    bool stopMid = false;
    bool wrongSeq = false;
    bool badCheck = false;
    bool noReply = false;
    std::atomic<bool> notReading{false};

    std::atomic<int> frames{0}, acks{0}, naks{0};

    Bytes rx;
    Clock::time_point lastRx{};

    // Waits for the master to be readable or the wake pipe; false on stop.
    // Returns through `readable` whether the master has bytes.
    bool waitReadable(int timeoutMs, bool& readable)
    {
        pollfd p[2] = {{master.get(), POLLIN, 0}, {wakeRd.get(), POLLIN, 0}};
        int r = ::poll(p, 2, timeoutMs);
        readable = false;
        if (!running)
            return false;
        if (r < 0)
            return errno == EINTR;
        if (p[1].revents)
            return false;
        readable = (p[0].revents & POLLIN) != 0;
        if (p[0].revents & (POLLHUP | POLLERR) && !readable) {
            // Should not happen while slaveKeep is open; back off anyway.
            ::poll(nullptr, 0, 10);
        }
        return true;
    }

    // Pauses without blocking stop(); false when stopping.
    bool pause(int ms)
    {
        pollfd p = {wakeRd.get(), POLLIN, 0};
        ::poll(&p, 1, ms);
        return running && !(p.revents & POLLIN);
    }

    void readAvailable()
    {
        uint8_t buf[512];
        for (;;) {
            ssize_t n = ::read(master.get(), buf, sizeof buf);
            if (n > 0) {
                rx.insert(rx.end(), buf, buf + n);
                lastRx = Clock::now();
                continue;
            }
            return;
        }
    }

    bool writeAll(const uint8_t* p, size_t n)
    {
        std::lock_guard lk(writeMu);
        while (n > 0) {
            ssize_t w = ::write(master.get(), p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0 && errno == EAGAIN) {
                // The host is not reading; wait a little for room, then give up.
                pollfd pf = {master.get(), POLLOUT, 0};
                if (::poll(&pf, 1, 1000) <= 0)
                    return false;
                continue;
            }
            return false;
        }
        return true;
    }

    void sendByte(uint8_t b) { writeAll(&b, 1); }

    // Writes a reply frame, split as the fault switches say.
    void sendFrame(const Bytes& frame, int nPieces, int pauseBetween)
    {
        if (nPieces <= 1 || frame.size() < 2) {
            writeAll(frame.data(), frame.size());
            return;
        }
        size_t n = static_cast<size_t>(nPieces);
        if (n > frame.size())
            n = frame.size();
        size_t off = 0;
        for (size_t i = 0; i < n; ++i) {
            size_t len = frame.size() / n + (i < frame.size() % n ? 1 : 0);
            writeAll(frame.data() + off, len);
            off += len;
            if (i + 1 < n && !pause(pauseBetween))
                return;
        }
    }

    // After a reply: wait for the host's ACK, resend on NAK. Any other byte
    // means the host has moved on (a new frame); it stays in rx.
    void awaitAck(const Bytes& frame, int nPieces, int pauseBetween)
    {
        int resends = 0;
        auto since = Clock::now();
        for (;;) {
            while (!rx.empty()) {
                uint8_t b = rx.front();
                if (b == kAck) {
                    rx.erase(rx.begin());
                    ++acks;
                    return;
                }
                if (b == kNak) {
                    rx.erase(rx.begin());
                    ++naks;
                    if (resends++ >= kMaxResends)
                        return;
                    sendFrame(frame, nPieces, pauseBetween);
                    since = Clock::now();
                    continue;
                }
                return;
            }
            int left = kAckWaitMs - msSince(since);
            if (left <= 0)
                return;
            bool readable = false;
            if (!waitReadable(left, readable))
                return;
            if (readable)
                readAvailable();
        }
    }

    void handleFrame(uint8_t seq, const Bytes& data, bool good)
    {
        ++frames;
        if (!good) {
            sendByte(kNak);
            return;
        }
        int nPieces, pauseBetween, foreign;
        bool mute, nak, mid, wrong, bad, none;
        {
            std::lock_guard lk(faultMu);
            mute = silent;
            nak = !mute && nakCount > 0;
            if (nak)
                --nakCount;
            foreign = (mute || nak) ? -1 : foreignByte;
            if (foreign >= 0)
                foreignByte = -1;
            const bool replying = !mute && !nak && foreign < 0;
            none = replying && noReply;
            if (none)
                noReply = false;
            const bool sending = replying && !none;
            mid = sending && stopMid;
            wrong = sending && wrongSeq;
            bad = sending && badCheck;
            if (mid)
                stopMid = false;
            if (wrong)
                wrongSeq = false;
            if (bad)
                badCheck = false;
            nPieces = pieces;
            pauseBetween = pauseMs;
        }
        if (mute)
            return;
        if (nak) {
            sendByte(kNak);
            return;
        }
        if (foreign >= 0) {
            sendByte(static_cast<uint8_t>(foreign));
            return;
        }
        sendByte(kAck);
        Bytes reply = reader.process(data);
        if (none)
            return;
        if (reply.size() > 255)
            reply.resize(255); // one length byte
        Bytes frame;
        frame.reserve(reply.size() + 4);
        frame.push_back(kStart);
        frame.push_back(wrong ? static_cast<uint8_t>(seq + 1) : seq);
        frame.push_back(static_cast<uint8_t>(reply.size()));
        frame.insert(frame.end(), reply.begin(), reply.end());
        frame.push_back(xorOf(frame.data(), frame.size()));
        if (mid) {
            writeAll(frame.data(), frame.size() / 2);
            return;
        }
        if (bad) {
            Bytes broken = frame;
            broken.back() ^= 0xFF;
            sendFrame(broken, nPieces, pauseBetween);
        } else {
            sendFrame(frame, nPieces, pauseBetween);
        }
        // A resend after NAK carries the correct check byte.
        awaitAck(frame, nPieces, pauseBetween);
    }

    // Takes every complete frame out of rx.
    void parse()
    {
        for (;;) {
            size_t i = 0;
            while (i < rx.size() && rx[i] != kStart) {
                if (rx[i] == kAck)
                    ++acks;
                if (rx[i] == kNak)
                    ++naks;
                ++i;
            }
            rx.erase(rx.begin(), rx.begin() + static_cast<long>(i));
            if (rx.size() < 3)
                return;
            const size_t len = rx[2];
            if (rx.size() < len + 4)
                return;
            const uint8_t seq = rx[1];
            const bool good = len >= 1 && xorOf(rx.data(), len + 3) == rx[len + 3];
            Bytes data(rx.begin() + 3, rx.begin() + 3 + static_cast<long>(len));
            rx.erase(rx.begin(), rx.begin() + static_cast<long>(len + 4));
            handleFrame(seq, data, good);
            if (!running)
                return;
        }
    }

    // Reads and forgets everything the host has queued.
    void discardAvailable()
    {
        uint8_t buf[4096];
        while (::read(master.get(), buf, sizeof buf) > 0) { }
        rx.clear();
    }

    void serve()
    {
        bool wasStopped = false;
        while (running) {
            if (notReading) {
                wasStopped = true;
                if (!pause(20))
                    return;
                continue;
            }
            if (wasStopped) {
                wasStopped = false;
                discardAvailable();
            }
            bool readable = false;
            if (!waitReadable(100, readable)) {
                if (!running)
                    return;
                continue;
            }
            if (readable)
                readAvailable();
            parse();
            if (!rx.empty() && msSince(lastRx) > kPartialFrameMs)
                rx.clear();
        }
    }
};

CdcPeer::CdcPeer(Reader& reader) : impl_(std::make_unique<Impl>(reader)) { }

CdcPeer::~CdcPeer()
{
    stop();
}

bool CdcPeer::start()
{
    stop();
    Impl& d = *impl_;
    Fd m(::posix_openpt(O_RDWR | O_NOCTTY));
    if (!m.valid() || ::grantpt(m.get()) != 0 || ::unlockpt(m.get()) != 0)
        return false;
    char name[128];
    if (::ptsname_r(m.get(), name, sizeof name) != 0)
        return false;
    Fd s(::open(name, O_RDWR | O_NOCTTY));
    if (!s.valid())
        return false;
    // Raw on the line discipline, or CR/LF translation and echo would mangle frames.
    termios t{};
    if (::tcgetattr(s.get(), &t) != 0)
        return false;
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    if (::tcsetattr(s.get(), TCSANOW, &t) != 0)
        return false;
    ::fcntl(m.get(), F_SETFL, ::fcntl(m.get(), F_GETFL) | O_NONBLOCK);
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    ::fcntl(m.get(), F_SETFD, FD_CLOEXEC);
    ::fcntl(s.get(), F_SETFD, FD_CLOEXEC);
    d.wakeRd.reset(p[0]);
    d.wakeWr.reset(p[1]);
    d.master = std::move(m);
    d.slaveKeep = std::move(s);
    d.slave = name;
    d.rx.clear();
    d.running = true;
    d.thread = std::thread([&d] { d.serve(); });
    return true;
}

void CdcPeer::stop()
{
    Impl& d = *impl_;
    if (d.thread.joinable()) {
        d.running = false;
        uint8_t b = 1;
        (void)!::write(d.wakeWr.get(), &b, 1);
        d.thread.join();
    }
    d.running = false;
    {
        std::lock_guard lk(d.writeMu);
        d.master.reset();
    }
    d.slaveKeep.reset();
    d.wakeRd.reset();
    d.wakeWr.reset();
    // An unplugged device's node disappears with it.
    std::lock_guard lk(d.linkMu);
    for (auto& l : d.links)
        ::unlink(l.c_str());
    d.links.clear();
}

std::string CdcPeer::slavePath() const
{
    return impl_->slave;
}

bool CdcPeer::linkAs(const std::string& linkPath) const
{
    Impl& d = *impl_;
    if (!d.master.valid())
        return false;
    ::unlink(linkPath.c_str());
    if (::symlink(d.slave.c_str(), linkPath.c_str()) != 0)
        return false;
    std::lock_guard lk(d.linkMu);
    d.links.push_back(linkPath);
    return true;
}

void CdcPeer::nakNext(int frames)
{
    std::lock_guard lk(impl_->faultMu);
    impl_->nakCount = frames;
}
void CdcPeer::setSilent(bool silent)
{
    std::lock_guard lk(impl_->faultMu);
    impl_->silent = silent;
}
void CdcPeer::foreignByteNext(uint8_t byte)
{
    std::lock_guard lk(impl_->faultMu);
    impl_->foreignByte = byte;
}
void CdcPeer::replyInPieces(int pieces, int pauseMs)
{
    std::lock_guard lk(impl_->faultMu);
    impl_->pieces = pieces < 1 ? 1 : pieces;
    impl_->pauseMs = pauseMs < 0 ? 0 : pauseMs;
}
void CdcPeer::stopMidFrameNext()
{
    std::lock_guard lk(impl_->faultMu);
    impl_->stopMid = true;
}
void CdcPeer::wrongSequenceNext()
{
    std::lock_guard lk(impl_->faultMu);
    impl_->wrongSeq = true;
}
void CdcPeer::badCheckNext()
{
    std::lock_guard lk(impl_->faultMu);
    impl_->badCheck = true;
}
void CdcPeer::noReplyNext()
{
    std::lock_guard lk(impl_->faultMu);
    impl_->noReply = true;
}

void CdcPeer::stopReading(bool stop)
{
    impl_->notReading = stop;
}

void CdcPeer::floodGarbage(size_t bytes)
{
    Impl& d = *impl_;
    if (!d.master.valid())
        return;
    // No byte the host could take for a start byte, an ACK or a NAK.
    static const uint8_t pattern[] = {0x55, 0xAA, 0x33, 0xCC, 0x7E};
    Bytes junk(bytes);
    for (size_t i = 0; i < bytes; ++i)
        junk[i] = pattern[i % sizeof pattern];
    d.writeAll(junk.data(), junk.size());
}

int CdcPeer::framesReceived() const
{
    return impl_->frames;
}
int CdcPeer::acksReceived() const
{
    return impl_->acks;
}
int CdcPeer::naksReceived() const
{
    return impl_->naks;
}

} // namespace zn480sim
