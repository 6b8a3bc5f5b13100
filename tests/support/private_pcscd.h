// A private PC/SC daemon for one test: its own socket directory, its own
// virtual readers on free TCP ports, and never the system's daemon.
//
// The daemon always serves /run/pcscd/pcscd.comm, so it runs in a private
// mount namespace where a per-instance directory is bound over /run/pcscd.
// Clients reach it by setting PCSCLITE_CSOCK_NAME to socketPath() before
// their first PC/SC call (the client library reads it only once).
//
// Each reader is a virtual-reader driver slot pair: "<name> 00 00" takes its
// card on port(k), "<name> 00 01" on port(k) + 1. Needs root.
#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zn480test {

class PrivatePcscd {
public:
    // `readers` readers named "ZN480 Sim 1" ... "ZN480 Sim N".
    explicit PrivatePcscd(int readers = 1);
    // One reader per friendly name.
    explicit PrivatePcscd(std::vector<std::string> friendlyNames);
    ~PrivatePcscd();
    PrivatePcscd(const PrivatePcscd&) = delete;
    PrivatePcscd& operator=(const PrivatePcscd&) = delete;

    // Whether the daemon runs and every reader's port is listening.
    bool ok() const { return pid_ > 0; }
    // Why it did not start.
    const std::string& error() const { return error_; }

    const std::string& dir() const { return dir_; }
    std::string socketPath() const;
    // Sets PCSCLITE_CSOCK_NAME for this process.
    void exportSocket() const;

    int readerCount() const { return static_cast<int>(names_.size()); }
    // Card port of reader k (0-based) for its first slot; the second slot
    // listens on port(k) + 1.
    uint16_t port(int k) const { return ports_.at(static_cast<size_t>(k)); }
    // The PC/SC name of reader k's first slot, e.g. "ZN480 Sim 1 00 00".
    std::string readerName(int k) const;

    // Stops the daemon (the service goes away); true when it was running.
    bool kill();
    // Starts it again with the same socket path and ports.
    bool restart();

    // The daemon's output so far.
    std::string log() const;

private:
    bool launch();
    bool pickPorts();
    bool writeConfig();

    std::vector<std::string> names_;
    std::vector<uint16_t> ports_;
    std::string dir_;
    std::string error_;
    pid_t pid_ = -1;
};

} // namespace zn480test
