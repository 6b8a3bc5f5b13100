// A whole simulated reader as the computer sees it: one Reader (the state and
// the command answers) shown through whichever personality it is in. Each
// personality is a PersonalityHost that makes the reader appear on its own
// channel (a pty, a virtual PC/SC reader, later a HID device or a drive) and
// disappear from it. After the reboot command the device leaves the old
// personality and, after a restart delay, comes back in the new one.
#pragma once
#include "zn480sim/cdc_peer.h"
#include "zn480sim/reader.h"
#include "zn480sim/vpcd_card.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zn480sim {

const char* personalityName(Personality p); // "CCID", "CDC", "HID", "MSD"
std::optional<Personality> parsePersonality(const std::string& text); // case-insensitive

class PersonalityHost {
public:
    virtual ~PersonalityHost() = default;
    // Plugs the reader in on this personality's channel; false on failure.
    virtual bool appear() = 0;
    // Unplugs it. Must be safe to call when not present.
    virtual void disappear() = 0;
    virtual bool present() const = 0;
    // One line for people: where the reader can be reached.
    virtual std::string describe() const = 0;
};

// CDC: a pty; optionally a symlink to it (the device node the program opens).
class CdcHost : public PersonalityHost {
public:
    CdcHost(Reader& reader, std::string linkPath = {});
    bool appear() override;
    void disappear() override;
    bool present() const override { return present_; }
    std::string describe() const override;
    CdcPeer& peer() { return peer_; }

private:
    CdcPeer peer_;
    std::string link_;
    bool present_ = false;
};

// CCID: the card of a virtual PC/SC reader slot.
class CcidHost : public PersonalityHost {
public:
    CcidHost(Reader& reader, uint16_t port, bool cardInserted = true, std::string host = "127.0.0.1");
    bool appear() override;
    void disappear() override;
    bool present() const override { return present_; }
    std::string describe() const override;
    VpcdCard& card() { return card_; }
    // Whether a card lies on the reader; kept across reboots.
    void setCardInserted(bool inserted);
    bool cardInserted() const { return inserted_; }

private:
    VpcdCard card_;
    uint16_t port_;
    bool inserted_;
    bool present_ = false;
};

class Device {
public:
    explicit Device(ReaderConfig config = {});
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    Reader& reader() { return reader_; }

    // Installs the channel for a personality (replacing any earlier one).
    void setHost(Personality p, std::unique_ptr<PersonalityHost> host);
    PersonalityHost* host(Personality p);

    // Pause between leaving the old personality and showing the new one.
    void setRestartDelay(std::chrono::milliseconds d);
    // Tells about every appearance and disappearance (on the device's thread).
    void onChange(std::function<void(const std::string& line)> cb);

    // Shows the reader in its current personality; false when that
    // personality has no host or the host failed.
    bool plugIn();
    // Removes it from every channel.
    void unplug();

private:
    void worker();
    void reboot(Personality into);
    void say(const std::string& line);

    Reader reader_;
    std::map<Personality, std::unique_ptr<PersonalityHost>> hosts_;
    // Two locks: a transport thread may post a reboot while the worker,
    // holding hostsMu_, waits for that thread to end.
    std::mutex hostsMu_; // hosts_ and their appear/disappear
    std::mutex mu_;      // the queue and the settings below
    std::condition_variable cv_;
    std::deque<Personality> reboots_;
    bool quit_ = false;
    std::chrono::milliseconds restartDelay_{1000};
    std::function<void(const std::string&)> onChange_;
    std::thread worker_;
};

} // namespace zn480sim
