// The simulated ZN480 reader: its configuration state and its answers to the
// vendor APDUs. Written independently of the program and of serchan (own
// CRC, own frame code) so that a mistake shared with them cannot hide.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zn480sim {

enum class Personality : int { CCID = 0, CDC = 1, HID = 3, MSD = 4 };

struct ReaderConfig {
    uint8_t serial[4] = {0x01, 0x02, 0x03, 0x04};
    uint16_t fwMajor = 2;
    uint16_t fwMinor = 166;
    uint8_t hidConfig[2] = {0x00, 0x00};
    uint8_t fakeCard = 0; // 255 30-second fake, 2 always, 0 none
    Personality personality = Personality::CDC;
};

// Thread-safe: transports call process() from their own threads while tests
// read the state and the log.
class Reader {
public:
    explicit Reader(ReaderConfig config = {});

    // One command APDU in, the full response (data + SW1 SW2) out.
    std::vector<uint8_t> process(const std::vector<uint8_t>& apdu);

    ReaderConfig config() const;
    void setConfig(const ReaderConfig& c);

    // After an accepted switch the reader waits for the reboot command; this is
    // the personality it will come back in (nullopt when none is pending).
    std::optional<Personality> pendingPersonality() const;
    // Called by "FFFEFC0000": fired with the personality the reader restarts in.
    void onReboot(std::function<void(Personality)> cb);

    // Refuse the next command whose first `prefix.size()` bytes equal prefix
    // (empty prefix: any command) with status word `sw`, `count` times.
    void refuse(const std::vector<uint8_t>& prefix, uint16_t sw, int count = 1);

    // Called after every command with the command and the response (from the
    // transport's thread, outside the reader's lock).
    void onExchange(std::function<void(const std::vector<uint8_t>&, const std::vector<uint8_t>&)> cb);

    // Every command received, as upper-case hex text, in order.
    std::vector<std::string> log() const;
    void clearLog();

private:
    std::vector<uint8_t> answer(const std::vector<uint8_t>& apdu);

    mutable std::mutex mu_;
    std::function<void(const std::vector<uint8_t>&, const std::vector<uint8_t>&)> onExchange_;
    ReaderConfig cfg_;
    std::optional<Personality> pending_;
    std::function<void(Personality)> onReboot_;
    struct Refusal {
        std::vector<uint8_t> prefix;
        uint16_t sw;
        int count;
    };
    std::vector<Refusal> refusals_;
    std::vector<std::string> log_;
};

// The check value of the switch record (the simulator's own implementation).
uint32_t recordCrc(const uint8_t* data, size_t length, uint32_t start);

} // namespace zn480sim
