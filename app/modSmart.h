// The PC/SC access layer: one context, the reader list, a current reader and
// one card connection, for the whole process.
#pragma once
#include "platform/pcsc.h"
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex {

class modSmart {
public:
    explicit modSmart(pcsc::Api& api) : api_(api) { }
    // Gives the card connection and the context back to the service.
    ~modSmart();
    modSmart(const modSmart&) = delete;
    modSmart& operator=(const modSmart&) = delete;

    pcsc::Result InitSmart();
    pcsc::Result ListReaders();
    int16_t GetReaders(std::vector<std::string>& names) const;
    bool SelectReader(const std::string& name);
    // ATR as hex text, or empty text when no connection could be made.
    std::string ConnectCard();
    void DisconnectCard();
    // protocol selector: 0 T=0, 1 T=1, other RAW. `reply` untouched on failure.
    pcsc::Result TransmitApdu(const std::string& command, int32_t protocol, std::string& reply);

    // Read-only views for callers and tests.
    bool contextReady() const { return ready_; }
    pcsc::Card cardHandle() const { return card_; }
    // The reader the open card connection is on; empty when there is none.
    const std::string& connectedReader() const { return connected_; }
    int16_t currentReader() const { return current_; }
    int16_t readerCount() const { return count_; }

private:
    // Releases a context the service no longer honours, so that the next
    // InitSmart establishes a fresh one.
    void dropContext();

    pcsc::Api& api_;
    pcsc::Context context_ = 0;
    bool haveContext_ = false;
    bool ready_ = false;
    std::vector<std::string> names_;
    int16_t count_ = 0;
    int16_t current_ = 0;
    pcsc::Card card_ = 0;
    std::string connected_;
};

} // namespace tarvex
