// The reader in CCID personality: the card (real or fake) of one slot of a
// virtual PC/SC reader driver, reached over TCP. While a card is reported the
// TCP connection is up; closing it is a card removal, reconnecting an insert.
#pragma once
#include "zn480sim/reader.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zn480sim {

class VpcdCard {
public:
    VpcdCard(Reader& reader, uint16_t port, std::string host = "127.0.0.1");
    ~VpcdCard();
    VpcdCard(const VpcdCard&) = delete;
    VpcdCard& operator=(const VpcdCard&) = delete;

    // Starts serving on its own thread, with or without a real card on the
    // reader. Keeps trying to connect while the driver is not listening.
    void start(bool cardInserted = true);
    // Drops the connection for good: the reader is unplugged.
    void stop();

    void insertCard();
    void removeCard();
    bool cardInserted() const;

    // How long a removed card stays reported under fake-card setting 255
    // (30 s on the device; tests shorten it).
    void setFakeHold(std::chrono::milliseconds hold);

    // Whether the driver currently sees a card (the TCP connection is up).
    bool connected() const;
    // Waits until connected() equals `want`, at most `timeout`.
    bool waitConnected(bool want, std::chrono::milliseconds timeout) const;

    // Command APDUs answered so far.
    int apdusServed() const;

    // The answer-to-reset the card reports.
    static const std::vector<uint8_t>& atr();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zn480sim
