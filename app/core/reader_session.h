// One reader being talked to: its transport (DevKind: the PC/SC card
// connection or a serchan channel), the APDU exchange over it and the
// reader's command set. Bytes inside; hex text only at the edges, where the
// reader's replies are handed on (serial numbers, configuration).
//
// The workflows have one session and the scan cycle's probes another, so a
// cycle that runs while a workflow waits (a dialog, the card prompt) can
// never change the transport of the command that is waiting. Each has a
// PC/SC context of its own; the scan leaves alone a reader the workflows'
// session holds (ReaderCore::readCcidIdentity says why).
#pragma once
#include "modSmart.h"
#include "core/reader_ui.h"
#include "modUtil.h"
#include "platform/clock.h"
#include "platform/serchan_api.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tarvex {

// DevKind values: which command transport the reader being worked on uses.
constexpr int16_t DEVKIND_CCID = 0;
constexpr int16_t DEVKIND_CDC = 1;
constexpr int16_t DEVKIND_HID = 3;

// One exchange with a reader, for a front end's trace (tarvexctl -v): the
// command (the reader's own vendor commands), its status word and how much
// data came back, never the data itself.
struct ExchangeTrace {
    std::string where; // PC/SC reader name or "COM<n>"
    Bytes command;
    std::optional<uint16_t> status; // absent: the exchange failed
    size_t replyBytes = 0;
    uint32_t ms = 0;
};

class ReaderSession {
public:
    ReaderSession(pcsc::Api& pcsc, SerchanApi* serchan, Clock& clock);

    int16_t DevKind = DEVKIND_CCID;
    void setTrace(std::function<void(const ExchangeTrace&)> trace) { trace_ = std::move(trace); }
    int32_t ChannelHandle = 0;
    modSmart& smart() { return smart_; }

    // ---- Transport
    // Makes the PC/SC reader `name` (the service's own spelling) current,
    // after a fresh reader listing; false when it is not listed.
    bool selectCcidReader(const std::string& name);
    // Card connection to the current PC/SC reader; false when no card answers.
    bool connectCard() { return !smart_.ConnectCard().empty(); }
    // Whether this session has a card connection, and with it a transaction,
    // on the PC/SC reader `name`.
    bool holdsCcidReader(const std::string& name) const
    {
        return smart_.cardHandle() != 0 && smart_.connectedReader() == name;
    }
    // Opens serchan's channel on COM<port>; true when it gave a channel.
    bool openCdc(int32_t port);
    void CloseDevice();
    // Whether COM<port> is a reader: opens the port and sends the probe. The
    // channel stays open whatever the answer; CloseDevice closes it.
    bool CheckZnSerial(int32_t port);

    // ---- APDU exchange over DevKind's transport. Text that is not hex, a
    // failed exchange or a reply without its status word give an empty
    // status; `reply` is then untouched.
    std::string SendAPDU(const std::string& command, std::string& reply);
    std::string CCID_SendApdu(const std::string& command, std::string& reply);
    std::string CDC_SendApdu(const std::string& command, std::string& reply);

    // ---- Reader command set
    std::string GetReaderSN(); // reply data as hex; empty when it did not answer
    std::string GetReaderFW(); // "(major.minor)", or the reply as it came when not 90 00
    bool SwitchToDevice(int16_t personality);
    bool SendHIDMode(int16_t format, int16_t subOptions);
    // The HID output configuration's two bytes; absent when not read.
    std::optional<std::array<uint8_t, 2>> ReadHIDConfig();
    // The format and typing options those bytes select, as the HID mode
    // dialog offers them.
    static HidModeChoice hidModeOf(const std::array<uint8_t, 2>& config);
    bool SendCCIDFake(int16_t setting);
    bool RebootDevice();

private:
    struct Reply {
        uint16_t status = 0;
        Bytes data;
    };
    std::optional<Reply> exchange(const Bytes& command);
    std::optional<Reply> exchangeCcid(const Bytes& command);
    std::optional<Reply> exchangeCdc(const Bytes& command);
    std::optional<Reply> exchangeCcidNow(const Bytes& command);
    std::optional<Reply> exchangeCdcNow(const Bytes& command);
    std::optional<Reply> traced(
        const Bytes& command, const std::string& where, std::optional<Reply> (ReaderSession::*send)(const Bytes&));
    // header + selector, its complement, the serial number and the CRC of
    // the record; false when the serial number cannot be read.
    bool buildSwitchCommand(const Bytes& header, int selector, Bytes& command);

    modSmart smart_;
    SerchanApi* serchan_;
    Clock& clock_;
    std::function<void(const ExchangeTrace&)> trace_;
};

} // namespace tarvex
