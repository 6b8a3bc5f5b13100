// The simulated reader's answers to the vendor APDUs.
#include "zn480sim/reader.h"

#include "hex.h"

#include <algorithm>
#include <cstring>

namespace zn480sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kWrongData = 0x6A80;
constexpr uint16_t kUnknown = 0x6D00;
constexpr uint32_t kRecordCrcStart = 0x12345678;

Bytes withSw(Bytes data, uint16_t sw)
{
    data.push_back(static_cast<uint8_t>(sw >> 8));
    data.push_back(static_cast<uint8_t>(sw & 0xFF));
    return data;
}

bool startsWith(const Bytes& apdu, std::initializer_list<uint8_t> head)
{
    return apdu.size() >= head.size() && std::equal(head.begin(), head.end(), apdu.begin());
}

bool validSwitchSelector(uint8_t s)
{
    return s == 0 || s == 1 || s == 3;
}
bool validFakeSelector(uint8_t s)
{
    return s == 0 || s == 2 || s == 255;
}

} // namespace

Reader::Reader(ReaderConfig config) : cfg_(config) { }

ReaderConfig Reader::config() const
{
    std::lock_guard lk(mu_);
    return cfg_;
}

void Reader::setConfig(const ReaderConfig& c)
{
    std::lock_guard lk(mu_);
    cfg_ = c;
}

std::optional<Personality> Reader::pendingPersonality() const
{
    std::lock_guard lk(mu_);
    return pending_;
}

void Reader::onReboot(std::function<void(Personality)> cb)
{
    std::lock_guard lk(mu_);
    onReboot_ = std::move(cb);
}

void Reader::refuse(const std::vector<uint8_t>& prefix, uint16_t sw, int count)
{
    if (count <= 0)
        return;
    std::lock_guard lk(mu_);
    refusals_.push_back({prefix, sw, count});
}

std::vector<std::string> Reader::log() const
{
    std::lock_guard lk(mu_);
    return log_;
}

void Reader::clearLog()
{
    std::lock_guard lk(mu_);
    log_.clear();
}

void Reader::onExchange(std::function<void(const std::vector<uint8_t>&, const std::vector<uint8_t>&)> cb)
{
    std::lock_guard lk(mu_);
    onExchange_ = std::move(cb);
}

std::vector<uint8_t> Reader::process(const std::vector<uint8_t>& apdu)
{
    Bytes reply = answer(apdu);
    std::function<void(const Bytes&, const Bytes&)> cb;
    {
        std::lock_guard lk(mu_);
        cb = onExchange_;
    }
    if (cb)
        cb(apdu, reply);
    return reply;
}

std::vector<uint8_t> Reader::answer(const std::vector<uint8_t>& apdu)
{
    std::function<void(Personality)> rebootCb;
    Personality rebootInto{};
    Bytes reply;
    {
        std::lock_guard lk(mu_);
        log_.push_back(toHex(apdu));

        for (auto it = refusals_.begin(); it != refusals_.end(); ++it) {
            if (apdu.size() >= it->prefix.size() && std::equal(it->prefix.begin(), it->prefix.end(), apdu.begin())) {
                uint16_t sw = it->sw;
                if (--it->count <= 0)
                    refusals_.erase(it);
                return withSw({}, sw);
            }
        }

        const Bytes serial(cfg_.serial, cfg_.serial + 4);
        if (startsWith(apdu, {0xFF, 0xCA, 0xE0, 0x00})) {
            // Le 00 is the probe the program sends to recognise a reader; it
            // gets the serial. Le 04 asks for the firmware version.
            if (apdu.size() != 5)
                return withSw({}, kWrongLength);
            if (apdu[4] == 0x00)
                return withSw(serial, kOk);
            if (apdu[4] == 0x04)
                return withSw({static_cast<uint8_t>(cfg_.fwMajor >> 8), static_cast<uint8_t>(cfg_.fwMajor),
                                  static_cast<uint8_t>(cfg_.fwMinor >> 8), static_cast<uint8_t>(cfg_.fwMinor)},
                    kOk);
            return withSw({}, kWrongLength);
        }
        if (startsWith(apdu, {0xFF, 0xCA, 0xF0, 0x00})) {
            if (apdu.size() != 5 || (apdu[4] != 0x00 && apdu[4] != 0x04))
                return withSw({}, kWrongLength);
            return withSw(serial, kOk);
        }
        if (startsWith(apdu, {0xFE, 0xDD, 0x03, 0x02})) {
            if (apdu.size() == 5 && apdu[4] == 0x00)
                return withSw({cfg_.hidConfig[0], cfg_.hidConfig[1]}, kOk);
            if (apdu.size() == 7 && apdu[4] == 0x02) {
                cfg_.hidConfig[0] = apdu[5];
                cfg_.hidConfig[1] = apdu[6];
                return withSw({}, kOk);
            }
            return withSw({}, kWrongLength);
        }
        if (startsWith(apdu, {0xFE, 0xDD, 0x02, 0x00}) || startsWith(apdu, {0xFE, 0xDD, 0x02, 0x01})) {
            if (apdu.size() != 15 || apdu[4] != 0x0A)
                return withSw({}, kWrongLength);
            const uint8_t* rec = apdu.data() + 5;
            const bool isSwitch = apdu[3] == 0x00;
            const uint32_t crc = recordCrc(rec, 6, kRecordCrcStart);
            const uint8_t crcLe[4] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
            const bool ok = rec[1] == static_cast<uint8_t>(0xFF - rec[0]) && std::memcmp(rec + 2, cfg_.serial, 4) == 0
                && std::memcmp(rec + 6, crcLe, 4) == 0
                && (isSwitch ? validSwitchSelector(rec[0]) : validFakeSelector(rec[0]));
            if (!ok)
                return withSw({}, kWrongData);
            if (isSwitch)
                pending_ = static_cast<Personality>(rec[0]);
            else
                cfg_.fakeCard = rec[0];
            return withSw({}, kOk);
        }
        if (startsWith(apdu, {0xFF, 0xFE, 0xFC, 0x00})) {
            if (apdu.size() != 5 || apdu[4] != 0x00)
                return withSw({}, kWrongLength);
            rebootInto = pending_.value_or(cfg_.personality);
            cfg_.personality = rebootInto;
            pending_.reset();
            rebootCb = onReboot_;
            reply = withSw({}, kOk);
        } else {
            return withSw({}, kUnknown);
        }
    }
    // Outside the lock: the host may read the reader's state from the callback.
    if (rebootCb)
        rebootCb(rebootInto);
    return reply;
}

} // namespace zn480sim
