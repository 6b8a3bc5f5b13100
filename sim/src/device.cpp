#include "zn480sim/device.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace zn480sim {

const char* personalityName(Personality p)
{
    switch (p) {
    case Personality::CCID:
        return "CCID";
    case Personality::CDC:
        return "CDC";
    case Personality::HID:
        return "HID";
    case Personality::MSD:
        return "MSD";
    }
    return "?";
}

std::optional<Personality> parsePersonality(const std::string& text)
{
    std::string t = text;
    std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::toupper(c); });
    for (Personality p : {Personality::CCID, Personality::CDC, Personality::HID, Personality::MSD})
        if (t == personalityName(p))
            return p;
    return std::nullopt;
}

// ---- CDC

CdcHost::CdcHost(Reader& reader, std::string linkPath) : peer_(reader), link_(std::move(linkPath)) { }

bool CdcHost::appear()
{
    if (present_)
        return true;
    if (!peer_.start())
        return false;
    if (!link_.empty() && !peer_.linkAs(link_)) {
        peer_.stop();
        return false;
    }
    present_ = true;
    if (onPlug_)
        onPlug_(true);
    return true;
}

void CdcHost::disappear()
{
    if (present_ && onPlug_)
        onPlug_(false);
    peer_.stop();
    present_ = false;
}

std::string CdcHost::describe() const
{
    std::string s = "CDC on " + peer_.slavePath();
    if (!link_.empty())
        s += " (link " + link_ + ")";
    return s;
}

// ---- CCID

CcidHost::CcidHost(Reader& reader, uint16_t port, bool cardInserted, std::string host)
    : card_(reader, port, std::move(host)), port_(port), inserted_(cardInserted)
{
}

CcidHost::~CcidHost()
{
    stopService();
}

bool CcidHost::appear()
{
    if (present_)
        return true;
    if (!service_.empty() && servicePid_ < 0) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            // The service is a program of the machine, not of the testbed
            // the simulator may run under.
            ::unsetenv("LD_PRELOAD");
            ::unsetenv("UMOCKDEV_DIR");
            ::execl("/bin/sh", "sh", "-c", service_.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid < 0)
            return false;
        ::setpgid(pid, pid);
        servicePid_ = pid;
    }
    // The card keeps trying to reach the driver, which comes up with the service.
    card_.start(inserted_);
    present_ = true;
    return true;
}

void CcidHost::disappear()
{
    card_.stop();
    stopService();
    present_ = false;
}

void CcidHost::stopService()
{
    if (servicePid_ < 0)
        return;
    ::kill(-servicePid_, SIGTERM);
    // The daemon takes its readers away as it goes; give it a moment to do
    // so cleanly before it is made to.
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(servicePid_, nullptr, WNOHANG) == servicePid_) {
            servicePid_ = -1;
            return;
        }
        ::usleep(20000);
    }
    ::kill(-servicePid_, SIGKILL);
    ::waitpid(servicePid_, nullptr, 0);
    servicePid_ = -1;
}

void CcidHost::setCardInserted(bool inserted)
{
    inserted_ = inserted;
    if (inserted)
        card_.insertCard();
    else
        card_.removeCard();
}

std::string CcidHost::describe() const
{
    return "CCID as the card of the virtual reader on port " + std::to_string(port_)
        + (inserted_ ? " (card inserted)" : " (no card)");
}

// ---- Device

Device::Device(ReaderConfig config) : reader_(config)
{
    // The reboot arrives on a transport's thread, before its reply is sent;
    // the worker does the unplugging so the transport can finish first.
    reader_.onReboot([this](Personality p) {
        std::lock_guard lk(mu_);
        reboots_.push_back(p);
        cv_.notify_all();
    });
    worker_ = std::thread([this] { worker(); });
}

Device::~Device()
{
    {
        std::lock_guard lk(mu_);
        quit_ = true;
        cv_.notify_all();
    }
    worker_.join();
    reader_.onReboot(nullptr);
    unplug();
}

void Device::setHost(Personality p, std::unique_ptr<PersonalityHost> host)
{
    std::lock_guard lk(hostsMu_);
    if (auto it = hosts_.find(p); it != hosts_.end() && it->second)
        it->second->disappear();
    hosts_[p] = std::move(host);
}

PersonalityHost* Device::host(Personality p)
{
    std::lock_guard lk(hostsMu_);
    auto it = hosts_.find(p);
    return it == hosts_.end() ? nullptr : it->second.get();
}

void Device::setRestartDelay(std::chrono::milliseconds d)
{
    std::lock_guard lk(mu_);
    restartDelay_ = d;
}

void Device::onChange(std::function<void(const std::string&)> cb)
{
    std::lock_guard lk(mu_);
    onChange_ = std::move(cb);
}

void Device::say(const std::string& line)
{
    std::function<void(const std::string&)> cb;
    {
        std::lock_guard lk(mu_);
        cb = onChange_;
    }
    if (cb)
        cb(line);
}

bool Device::plugIn()
{
    const Personality p = reader_.config().personality;
    std::string line;
    bool ok = false;
    {
        std::lock_guard lk(hostsMu_);
        auto it = hosts_.find(p);
        if (it == hosts_.end() || !it->second) {
            line = std::string("no channel for personality ") + personalityName(p) + ": the reader stays away";
        } else if (!it->second->appear()) {
            line = std::string("could not show the reader as ") + personalityName(p);
        } else {
            line = "now " + it->second->describe();
            ok = true;
            if (p != Personality::HID) {
                std::lock_guard lk2(mu_);
                beforeHid_ = p;
            }
        }
    }
    say(line);
    return ok;
}

void Device::unplug()
{
    std::lock_guard lk(hostsMu_);
    for (auto& [p, h] : hosts_)
        if (h && h->present())
            h->disappear();
}

void Device::restartInto(Personality p)
{
    ReaderConfig c = reader_.config();
    c.personality = p;
    reader_.setConfig(c);
    std::lock_guard lk(mu_);
    reboots_.push_back(p);
    cv_.notify_all();
}

Personality Device::personalityBeforeHid() const
{
    std::lock_guard lk(mu_);
    return beforeHid_;
}

void Device::reboot(Personality into)
{
    // Give the transport time to deliver the reply to the reboot command.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    unplug();
    say(std::string("rebooting into ") + personalityName(into));
    std::chrono::milliseconds delay;
    {
        std::unique_lock lk(mu_);
        delay = restartDelay_;
        if (cv_.wait_for(lk, delay, [this] { return quit_; }))
            return;
    }
    plugIn();
}

void Device::worker()
{
    std::unique_lock lk(mu_);
    for (;;) {
        cv_.wait(lk, [this] { return quit_ || !reboots_.empty(); });
        if (quit_)
            return;
        Personality p = reboots_.front();
        reboots_.pop_front();
        lk.unlock();
        reboot(p);
        lk.lock();
    }
}

} // namespace zn480sim
