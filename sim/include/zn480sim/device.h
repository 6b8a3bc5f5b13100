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
#include <vector>

namespace zn480sim {

const char* personalityName(Personality p);                           // "CCID", "CDC", "HID", "MSD"
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
    // Called with true once the port is there and with false as it goes, so
    // that the USB device behind it can come and go with it.
    void onPlug(std::function<void(bool present)> cb) { onPlug_ = std::move(cb); }
    bool appear() override;
    void disappear() override;
    bool present() const override { return present_; }
    std::string describe() const override;
    CdcPeer& peer() { return peer_; }

private:
    CdcPeer peer_;
    std::string link_;
    std::function<void(bool)> onPlug_;
    bool present_ = false;
};

// CCID: the card of a virtual PC/SC reader slot.
class CcidHost : public PersonalityHost {
public:
    CcidHost(Reader& reader, uint16_t port, bool cardInserted = true, std::string host = "127.0.0.1");
    ~CcidHost() override;
    // A command (run with sh -c, in a process group of its own) that serves
    // the virtual reader while the reader is in CCID personality: a private
    // PC/SC daemon that is started as the reader arrives and stopped as it
    // leaves, so that the reader is listed only while it is a CCID reader.
    void setService(std::string command) { service_ = std::move(command); }
    bool appear() override;
    void disappear() override;
    bool present() const override { return present_; }
    std::string describe() const override;
    VpcdCard& card() { return card_; }
    // Whether a card lies on the reader; kept across reboots.
    void setCardInserted(bool inserted);
    bool cardInserted() const { return inserted_; }

private:
    void stopService();
    VpcdCard card_;
    uint16_t port_;
    bool inserted_;
    std::string service_;
    int servicePid_ = -1;
    bool present_ = false;
};

// HID: a USB keyboard of vendor 6A4E, product 0013 in a umockdev testbed
// that this host owns (a USB device, its interfaces and one HID node per
// interface, with drivers bound). Programs see it through libudev when they
// run under umockdev-wrapper with UMOCKDEV_DIR set to testbedDir(); when a
// file is given, the folder's path is written there (one line) as soon as
// the testbed exists, and the file is removed with the host. (umockdev's
// preload does not follow a symlink to the folder, so no link is offered.)
// The first interface is a boot keyboard with LEDs: an input device with the
// event node /dev/input/eventN and the LED devices inputN::numlock,
// ::capslock and ::scrolllock (their brightness the starting LEDs), and the
// raw HID node /dev/hidrawN, which the host serves itself (each write one
// output report; see keyboard_node.h), so programs under umockdev-wrapper
// can set the keyboard's LEDs as kbflash does a real one's. Every hid
// device has its report descriptor in sysfs.
// While present, it watches the LED states written to that node and the
// lock-key LEDs of an X display, and calls onPattern when either plays the
// reset pattern, as the reader does.
struct KeyboardLedState {
    double ms = 0; // steady clock, milliseconds
    bool caps = false, num = false, scroll = false;
};
struct KeyboardLog {
    std::string devnode;                   // "/dev/hidrawN"
    size_t writes = 0;                     // write calls of any kind
    std::vector<KeyboardLedState> changes; // every LED change written, in order
};

class HidHost : public PersonalityHost {
public:
    // `interfaces` HID interfaces (1 or more); `display` the X display whose
    // LEDs are watched (empty: $DISPLAY; "none": not watched).
    HidHost(std::string testbedFile = {}, int interfaces = 1, std::string display = {});
    ~HidHost() override;
    bool ok() const; // the testbed exists
    bool appear() override;
    void disappear() override;
    bool present() const override { return present_; }
    std::string describe() const override;
    std::string testbedDir() const;
    // Shows (or takes away) the reader's serial port in the testbed as the
    // CDC personality's USB device would: a 6A4E device, its ACM interface
    // and the tty `kernelName` (e.g. ttyACM2), with a new device number each
    // time, and the uevents of a plug or an unplug. `node`, when given, is
    // the node that stands in for the port (the pty a link leads to): the
    // tty gets its device number, so that udev, asked by device number as
    // the program asks it, finds the reader behind that node.
    bool showSerialPort(const std::string& kernelName, bool present, const std::string& node = {});
    // Called from a watcher's thread once per recognised pattern, with
    // where it was seen (the raw HID node, or the X display).
    void onPattern(std::function<void(const std::string& where)> cb);
    // Why the X display's LEDs are not watched while present ("" when they are).
    std::string watchProblem() const;
    // The LEDs the keyboard node shows when it next appears (default all off).
    void setKeyboardLeds(bool caps, bool num, bool scroll);
    // Whether the next appearance has the keyboard node (default yes).
    // Without it the HID interfaces are there but no raw HID node, as on a
    // kernel without hidraw; the LEDs then
    // reach the reader only through the X display.
    void setKeyboardNode(bool on);
    // What was written to the reader's keyboard node since it last appeared.
    KeyboardLog keyboardLog() const;
    // Adds a second, unrelated USB keyboard (046D:C31C) with its own event
    // node to the testbed; its log shows whether anything wrote to it.
    bool addOtherKeyboard();
    KeyboardLog otherKeyboardLog() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool present_ = false;
};

// MSD: an ext2 image whose root holds only "APDU_314.MSD", loop-mounted on a
// folder while present (needs root; the mount is made in the simulator's
// mount namespace, so tests run it in a private one). Unmounting detaches
// the loop device too.
class MsdHost : public PersonalityHost {
public:
    explicit MsdHost(std::string mountPoint);
    ~MsdHost() override;
    bool appear() override;
    void disappear() override;
    bool present() const override { return present_; }
    std::string describe() const override;
    const std::string& mountPoint() const { return mount_; }
    // Why the last appear() failed.
    const std::string& error() const { return error_; }

private:
    bool makeImage();
    std::string mount_;
    std::string workDir_; // holds the image
    std::string image_;
    std::string error_;
    bool createdMountPoint_ = false;
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

    // Leaves the current personality and comes back in `p` after the restart
    // delay, as after the reboot command (the LED reset of the HID
    // personality uses it). Safe to call from any thread, including a host's.
    void restartInto(Personality p);
    // The personality the reader was shown in before it last became HID;
    // CDC when it has never been shown in another one.
    Personality personalityBeforeHid() const;

private:
    void worker();
    void reboot(Personality into);
    void say(const std::string& line);

    Reader reader_;
    std::map<Personality, std::unique_ptr<PersonalityHost>> hosts_;
    // Two locks: a transport thread may post a reboot while the worker,
    // holding hostsMu_, waits for that thread to end.
    std::mutex hostsMu_;    // hosts_ and their appear/disappear
    mutable std::mutex mu_; // the queue and the settings below
    std::condition_variable cv_;
    std::deque<Personality> reboots_;
    bool quit_ = false;
    std::chrono::milliseconds restartDelay_{1000};
    std::function<void(const std::string&)> onChange_;
    Personality beforeHid_ = Personality::CDC;
    std::thread worker_;
};

} // namespace zn480sim
