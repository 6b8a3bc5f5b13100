// Port layer on POSIX: COMn is the node that the shared port map names for
// n (ttyACM* are the USB CDC ports), opened non-blocking so that reads never
// wait; a write waits until every byte went to the driver.
#include "port.h"

#include "serchan_portmap.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace serchan::port {
namespace {

// A write that makes no progress for this long fails: a device that stopped
// taking bytes must not hang the caller for ever.
constexpr uint32_t kWriteStallMs = 5000;

int g_fd = -1; // the one open port; closed only by close(), never at unload

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) { }
    ~UniqueFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

speed_t speedFor(uint32_t baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return B0; // no such rate: refused like a driver would
    }
}

enum class LineResult { Set, RateRefused, Refused };

// Raw 8N1 at `baud`; flow control stays as the driver has it. Raw comes
// first and on its own: a tty left cooked (line editing, echo, CR/NL
// mapping) holds back lone bytes such as an ACK, alters frames and echoes
// the reader's bytes back to it, so only the rate may stay the driver's.
LineResult applyLineSettings(int fd, uint32_t baud)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        // A device without a line discipline passes bytes as they are: raw
        // by nature, with no rate to set.
        return errno == ENOTTY ? LineResult::RateRefused : LineResult::Refused;
    }
    const tcflag_t flow = t.c_cflag & CRTSCTS;
    cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD | flow;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    // tcsetattr succeeds when any part took: read back what matters.
    termios check{};
    if (tcsetattr(fd, TCSANOW, &t) != 0 || tcgetattr(fd, &check) != 0
        || (check.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) || (check.c_oflag & OPOST)
        || (check.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP)) || (check.c_cflag & CSIZE) != CS8)
        return LineResult::Refused;

    const speed_t speed = speedFor(baud);
    if (speed == B0 || cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0 || tcsetattr(fd, TCSANOW, &t) != 0
        || tcgetattr(fd, &check) != 0 || cfgetospeed(&check) != speed)
        return LineResult::RateRefused;
    return LineResult::Set;
}

// Exclusive mode is a flag of the tty, not of our descriptor: it outlives
// our close while anyone else has the node open (a pty's master does), and
// keeps every later non-root open out. Cleared before each close.
void clearExclusive(int fd)
{
    (void)ioctl(fd, TIOCNXCL);
}

// Clears exclusive mode again when an open fails after setting it.
class ExclusiveGuard {
public:
    explicit ExclusiveGuard(int fd) : fd_(fd) { }
    ~ExclusiveGuard()
    {
        if (fd_ >= 0)
            clearExclusive(fd_);
    }
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
    void release() { fd_ = -1; }

private:
    int fd_;
};

bool hungUp(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// Waits until the driver has sent what it holds. tcdrain alone has no
// bound: a device that stops taking bytes (a CDC endpoint that keeps
// NAKing, CTS held low) would block the caller for ever. So the queue is
// watched, and a queue that does not shrink for as long as a stalled write
// may last fails the write. tcdrain then only waits for the last bytes the
// hardware itself holds, which the driver bounds.
bool drainOutput(int fd)
{
    int queued = 0;
    int smallest = -1;
    uint32_t lastProgress = tickCount();
    for (;;) {
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
            if (errno == EINTR)
                continue;
            // No output queue to watch: no tty either, nothing to drain.
            return errno == ENOTTY || errno == EINVAL;
        }
        if (queued <= 0)
            break;
        if (smallest < 0 || queued < smallest) {
            smallest = queued;
            lastProgress = tickCount();
        } else if (tickCount() - lastProgress >= kWriteStallMs) {
            return false;
        }
        sleepMs(1);
    }
    while (tcdrain(fd) != 0) {
        if (errno == EINTR)
            continue;
        return errno == ENOTTY || errno == EINVAL; // ptys and some drivers cannot say
    }
    return true;
}

} // namespace

int32_t open(int32_t port, uint32_t baud)
{
    if (g_fd >= 0)
        return kOpenAlreadyOpen;
    const int number = port & 0xFF;
    char path[512];
    if (zn_port_device_path(number, path, sizeof path) != 0)
        return SC_ERR_PORT;
    UniqueFd fd(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return SC_ERR_PORT;
    struct stat st { };
    if (fstat(fd.get(), &st) != 0 || !S_ISCHR(st.st_mode))
        return SC_ERR_PORT;
    // One user at a time, like a COM port opened without sharing. Serial
    // tools mark the node they use with an advisory lock: a port another
    // program holds that way is busy, and ours tells them the same. The lock
    // comes before anything that would disturb the holder's line.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return SC_ERR_PORT;
    // Exclusive mode keeps later opens out (those of root excepted).
    if (ioctl(fd.get(), TIOCEXCL) != 0 && errno != ENOTTY)
        return SC_ERR_PORT;
    ExclusiveGuard exclusive(fd.get());
    (void)tcflush(fd.get(), TCIOFLUSH);
    termios original{};
    const bool haveOriginal = tcgetattr(fd.get(), &original) == 0;
    const LineResult line = applyLineSettings(fd.get(), baud);
    if (line == LineResult::Refused || (line == LineResult::RateRefused && !zn_port_is_usb_cdc(number))) {
        // A refused port is left as it was found.
        if (haveOriginal)
            (void)tcsetattr(fd.get(), TCSANOW, &original);
        return kOpenLineRefused;
    }
    exclusive.release();
    // Reads return at once with what the driver holds: that is O_NONBLOCK
    // with VMIN = VTIME = 0. Keep the port open on failure: the caller closes.
    g_fd = fd.release();
    const int flags = fcntl(g_fd, F_GETFL);
    if (flags < 0 || !(flags & O_NONBLOCK))
        return kOpenTimeoutsRefused;
    return 0;
}

void close()
{
    if (g_fd >= 0) {
        clearExclusive(g_fd);
        ::close(g_fd);
        g_fd = -1;
    }
}

int32_t write(const uint8_t* data, int32_t length)
{
    if (g_fd < 0 || length < 0 || (!data && length))
        return SC_ERR_PORT;
    int32_t done = 0;
    uint32_t lastProgress = tickCount();
    while (done < length) {
        const ssize_t n = ::write(g_fd, data + done, static_cast<size_t>(length - done));
        if (n > 0) {
            done += static_cast<int32_t>(n);
            lastProgress = tickCount();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return SC_ERR_PORT;
        if (tickCount() - lastProgress >= kWriteStallMs)
            return SC_ERR_PORT;
        pollfd p{g_fd, POLLOUT, 0};
        if (::poll(&p, 1, 50) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return SC_ERR_PORT;
    }
    return drainOutput(g_fd) ? length : SC_ERR_PORT;
}

int32_t bytesWaiting()
{
    int count = 0;
    if (g_fd < 0 || ioctl(g_fd, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return count;
}

int32_t read(uint8_t* buffer, int32_t max)
{
    if (max <= 0)
        return SC_ERR_NO_ROOM;
    if (g_fd < 0 || !buffer)
        return SC_ERR_PORT;
    int count = 0;
    if (ioctl(g_fd, FIONREAD, &count) != 0)
        return SC_ERR_PORT;
    if (count <= 0) {
        // Nothing queued. A device that went away also has nothing queued;
        // tell the two apart so that an unplug is reported, not polled for ever.
        return hungUp(g_fd) ? SC_ERR_PORT : 0;
    }
    const size_t want = static_cast<size_t>(count < max ? count : max);
    for (;;) {
        const ssize_t n = ::read(g_fd, buffer, want);
        if (n > 0)
            return static_cast<int32_t>(n);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return SC_ERR_PORT; // error, or end of file on a queue that claimed bytes
    }
}

void waitReadable(uint32_t ms)
{
    if (g_fd < 0) {
        sleepMs(ms);
        return;
    }
    pollfd p{g_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(ms)) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        sleepMs(ms); // a dead port polls "ready" at once; do not spin on it
}

void sleepMs(uint32_t ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

uint32_t tickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

} // namespace serchan::port
