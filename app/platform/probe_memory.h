// Where the scan keeps, from one run of a program to the next, which other
// devices' serial ports did not answer its probe. A script that runs
// tarvexctl list every few seconds would otherwise send a modem or a board
// a probe frame on every run. What is kept is a small text owned by the
// scan (modSerialProbes); this only stores it. Linux:
// $XDG_RUNTIME_DIR/tarvex/serial-probes (a per-user folder that the system
// empties at logout and boot); Windows: %LOCALAPPDATA%\Tarvex\serial-probes,
// or %TEMP%\Tarvex without it.
#pragma once
#include <memory>
#include <optional>
#include <string>

namespace tarvex {

class ProbeMemory {
public:
    virtual ~ProbeMemory() = default;
    // The text last saved; nullopt when there is none or it cannot be read.
    // Never more than kMaxBytes: anything longer is no text of ours.
    virtual std::optional<std::string> load() = 0;
    // Replaces the text as one step (a concurrent load sees the old text or
    // the new, never half of one); false when it could not be kept.
    virtual bool save(const std::string& text) = 0;
    static constexpr size_t kMaxBytes = 64 * 1024;
};

// nullptr when this user has no folder for it (Linux: XDG_RUNTIME_DIR not
// set): then nothing is kept across runs.
std::unique_ptr<ProbeMemory> makeSystemProbeMemory();

} // namespace tarvex
