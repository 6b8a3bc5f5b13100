// Simulated readers for runs of the real tarvexctl: any number of zn480sim
// processes, each one reader, seen by the program through this machine's own
// services as the hardware would be:
//   CCID  a reader of one private PC/SC daemon that all simulated readers
//         share, listed only while that reader is in CCID personality;
//   CDC   a pty as /dev/ttyACM<k> in the folder named by ZN480_DEV_DIR (for
//         the one reader with a HID testbed, a ttyACM node below a 6A4E USB
//         device in the testbed, with its uevents);
//   HID   a USB keyboard 6A4E:0013 in that reader's umockdev testbed;
//   MSD   a loop-mounted drive (root, in the caller's mount namespace).
// The program runs with its standard output and error in files, so that a
// test reads exactly what it printed, and under umockdev-wrapper when a
// testbed is there.
#pragma once
#include "drive_tarvex.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zn480cli {

using zn480e2e::Millis;

// One PC/SC daemon for several simulated readers. The virtual-reader driver
// lists a configured reader whether or not a card side is connected, and
// the daemon reads its configuration only at start; the hardware, though,
// is a PC/SC reader only while in CCID. So each reader's CCID service (run
// by the simulator while it is in CCID) marks it present in a folder, and
// the daemon is restarted with the present readers whenever that set
// changes. The driver also always announces two slots per reader; the
// daemon gets copies of it that announce one, so that each simulated reader
// is one PC/SC reader, as the hardware's CCID interface is.
// Where the daemon runs: this machine's own pcscd by default, or another
// system's (the Wine 10 root) through a command that enters it.
struct PcscdHost {
    std::string root;                 // prefix of the daemon's and driver's paths ("" here)
    std::vector<std::string> enter;   // runs a command there, with the work folder visible
    std::vector<std::string> options; // more pcscd options ("--disable-polkit")
};

class SharedPcscd {
public:
    // `names`, when given, replaces the readers' "ZN480 Sim <k+1>" names.
    SharedPcscd(const std::string& workDir, int readers, std::vector<std::string> names = {}, PcscdHost host = {});
    ~SharedPcscd();
    SharedPcscd(const SharedPcscd&) = delete;
    SharedPcscd& operator=(const SharedPcscd&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    std::string socketPath() const { return dir_ + "/run/pcscd.comm"; }
    int readers() const { return readers_; }
    int port(int k) const { return base_ + 2 * k; }
    std::string readerName(int k) const
    {
        return size_t(k) < names_.size() ? names_[size_t(k)] : "ZN480 Sim " + std::to_string(k + 1);
    }
    // The PC/SC name the program lists ("ZN480 Sim 1 00 00").
    std::string listedName(int k) const { return readerName(k) + " 00 00"; }
    // The simulator's --ccid-service for reader k.
    std::string service(int k) const;
    // How often the daemon was started.
    int starts() const { return starts_; }

private:
    void manage();
    void restart(const std::set<int>& present);
    bool makeOneSlotDriver(const std::string& to);

    std::string dir_;
    int readers_ = 0;
    std::vector<std::string> names_;
    PcscdHost host_;
    int base_ = 0;
    bool ok_ = false;
    std::string error_;
    zn480e2e::Child daemon_;
    std::atomic<bool> running_{false};
    std::atomic<int> starts_{0};
    std::thread manager_;
};

struct SimSpec {
    std::string personality = "cdc"; // ccid, cdc, hid, msd
    std::string serial = "01020304";
    bool ccid = true;     // has a CCID personality (a reader of the shared daemon)
    bool cdc = true;      // has a CDC personality
    bool testbed = false; // has the HID personality (at most one reader)
    bool msd = false;     // has the MSD personality
};

struct ToolRun {
    int status = -1;
    std::string out, err;
    double ms = 0;                          // wall time of the run
    std::vector<std::string> lines() const; // of `out`
};

// One zn480sim process: its exchange log and its own output in files, and
// its control socket.
class FarmSim {
public:
    FarmSim(const std::string& dir, const std::vector<std::string>& argv, bool underUmockdev);
    bool ok() const { return ok_; }
    std::vector<std::string> commands() const;
    std::string output() const;
    bool waitOutput(const std::string& text, Millis limit) const;
    // A line for the control socket ("unplug", "plug", "personality cdc");
    // true when it answered OK.
    bool control(const std::string& line);
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    zn480e2e::Child process_;
    bool ok_ = false;
};

class SimFarm {
public:
    explicit SimFarm(const std::string& stem = "cli-e2e");
    ~SimFarm();

    // Call before adding readers that have a CCID personality.
    bool startPcscd(int readers);
    SharedPcscd* pcscd() { return pcscd_.get(); }

    // Starts a simulated reader; its number k is its index: /dev/ttyACM<k>
    // is COM<k+1>, its PC/SC reader "ZN480 Sim <k+1>".
    bool add(const SimSpec& spec);
    FarmSim& sim(size_t k) { return *sims_.at(k); }
    size_t count() const { return sims_.size(); }
    const std::string& testbed() const { return testbed_; }
    std::string work() const { return work_.path; }

    // Waits until `list` shows `readers` readers, each PC/SC reader with the
    // serial number read from its card: a reader's card is seen a moment
    // after its PC/SC reader (the daemon restarts with every CCID arrival).
    bool settle(size_t readers, Millis limit = Millis(15000));
    // Runs tarvexctl to its end (killed after `limit`).
    ToolRun run(const std::vector<std::string>& args, Millis limit = Millis(120000));
    // The environment and command line it runs with, for programs started
    // otherwise (watch in the background, a run on a pty).
    std::map<std::string, std::string> env() const;
    std::vector<std::string> command(const std::vector<std::string>& args) const;

    std::string describe(); // the simulators' output, for failure messages

private:
    zn480e2e::TempDir work_;
    std::unique_ptr<SharedPcscd> pcscd_;
    std::vector<std::unique_ptr<FarmSim>> sims_;
    std::string testbed_;
    int runs_ = 0;
};

// The switch record command as the reader expects it: header, selector,
// its complement, the serial number and the record's CRC-32.
std::string switchCommand(const std::string& header, int selector, const std::string& serial);

// The last commands of a reader since `from`.
std::vector<std::string> since(const std::vector<std::string>& all, size_t from);
bool containsRun(const std::vector<std::string>& all, const std::vector<std::string>& want);
// Only what every scan sends to every reader it sees.
bool onlyScanReads(const std::vector<std::string>& commands);

bool haveRoot();
bool onPath(const char* program);

} // namespace zn480cli
