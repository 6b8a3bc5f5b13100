// Round trip of one APDU exchange through serchan over a pty against the
// simulated reader, beside a raw pty ping-pong of the same bytes. Prints
// figures only.
#include "serchan.h"
#include "zn480sim/cdc_peer.h"
#include "zn480sim/reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWarmup = 200;
constexpr int kRounds = 3000;
const uint8_t kApdu[] = {0xFF, 0xCA, 0xF0, 0x00, 0x04};
const uint8_t kFrame[] = {0x02, 0x81, 0x05, 0xFF, 0xCA, 0xF0, 0x00, 0x04, 0x47};

struct Stats {
    double median, p99, mean;
};

Stats summarise(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us)
        sum += v;
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)], sum / us.size()};
}

double usSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

// The caller polls SCReceive without sleeping, as the program does.
bool exchangeOnce(std::vector<double>* out, bool useTransmit)
{
    uint8_t buf[260];
    const auto t0 = Clock::now();
    int32_t r;
    if (useTransmit) {
        r = SCTransmit(1, kApdu, sizeof kApdu, buf, sizeof buf, 1000);
    } else {
        if (SCSend(1, kApdu, sizeof kApdu) != 1)
            return false;
        r = 0;
        while (r == 0 && usSince(t0) < 1e6)
            r = SCReceive(1, buf, sizeof buf);
    }
    if (r != 6)
        return false;
    if (out)
        out->push_back(usSince(t0));
    return true;
}

// A raw pty: the caller writes the command frame, a thread on the master
// echoes it back, the caller waits for all of it.
class RawEcho {
public:
    bool start()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return false;
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave_ < 0)
            return false;
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        thread_ = std::thread([this] {
            uint8_t buf[512];
            while (!stop_) {
                pollfd p{master_, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0)
                    continue;
                const ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0 && write(master_, buf, static_cast<size_t>(n)) != n)
                    break;
            }
        });
        return true;
    }
    ~RawEcho()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (slave_ >= 0)
            close(slave_);
        if (master_ >= 0)
            close(master_);
    }
    bool once(std::vector<double>* out)
    {
        const auto t0 = Clock::now();
        if (write(slave_, kFrame, sizeof kFrame) != static_cast<ssize_t>(sizeof kFrame))
            return false;
        size_t got = 0;
        uint8_t buf[64];
        while (got < sizeof kFrame) {
            pollfd p{slave_, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0)
                return false;
            const ssize_t n = read(slave_, buf, sizeof buf);
            if (n > 0)
                got += static_cast<size_t>(n);
        }
        if (out)
            out->push_back(usSince(t0));
        return true;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

int main()
{
    char tmpl[] = "/tmp/serchan-bench-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    const std::string dir = tmpl;
    setenv("ZN480_DEV_DIR", dir.c_str(), 1);
    zn480sim::Reader reader;
    zn480sim::CdcPeer peer(reader);
    RawEcho raw;
    bool ok = peer.start() && peer.linkAs(dir + "/ttyACM0") && SCOpenChannel(1, 115200, 0) == 1 && raw.start();
    if (!ok)
        std::fprintf(stderr, "set-up failed (simulated reader or pty)\n");

    // The three cases take turns round by round, so that a busy machine
    // weighs on all of them alike and the ratios stay meaningful.
    std::vector<double> polled, transmit, echo;
    for (int i = 0; ok && i < kWarmup + kRounds; ++i) {
        const bool keep = i >= kWarmup;
        ok = raw.once(keep ? &echo : nullptr) && exchangeOnce(keep ? &polled : nullptr, false)
            && exchangeOnce(keep ? &transmit : nullptr, true);
    }
    SCCloseChannel(1);
    peer.stop();
    rmdir(dir.c_str());
    if (!ok) {
        std::fprintf(stderr, "an exchange failed\n");
        return 1;
    }

    const Stats p = summarise(polled), x = summarise(transmit), r = summarise(echo);
    std::printf("serchan: APDU FFCAF00004 round trip over a pty, %d rounds each (microseconds)\n", kRounds);
    std::printf("%-34s %10s %10s %10s\n", "case", "median", "p99", "mean");
    std::printf("%-34s %10.1f %10.1f %10.1f\n", "SCSend + polled SCReceive", p.median, p.p99, p.mean);
    std::printf("%-34s %10.1f %10.1f %10.1f\n", "SCTransmit", x.median, x.p99, x.mean);
    std::printf("%-34s %10.1f %10.1f %10.1f\n", "raw pty echo of the 9-byte frame", r.median, r.p99, r.mean);
    std::printf("%-34s %10.2f %10.2f %10.2f   (goal: within 3x)\n", "ratio SCSend+SCReceive / raw", p.median / r.median,
        p.p99 / r.p99, p.mean / r.mean);
    std::printf(
        "%-34s %10.2f %10.2f %10.2f\n", "ratio SCTransmit / raw", x.median / r.median, x.p99 / r.p99, x.mean / r.mean);
    return 0;
}
