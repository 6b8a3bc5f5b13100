// The reader session: transport, APDU exchange and the reader's commands.
#include "core/reader_session.h"

#include "modCRC.h"

namespace tarvex {

namespace {

constexpr uint16_t kOk = 0x9000;
const Bytes kReadSerial{0xFF, 0xCA, 0xF0, 0x00, 0x04};
const Bytes kReadFirmware{0xFF, 0xCA, 0xE0, 0x00, 0x04};
const Bytes kReadHidConfig{0xFE, 0xDD, 0x03, 0x02, 0x00};
const Bytes kWriteHidConfig{0xFE, 0xDD, 0x03, 0x02, 0x02};
const Bytes kSwitchHeader{0xFE, 0xDD, 0x02, 0x00, 0x0A};
const Bytes kFakeCardHeader{0xFE, 0xDD, 0x02, 0x01, 0x0A};
const Bytes kReboot{0xFF, 0xFE, 0xFC, 0x00, 0x00};
const Bytes kProbe{0xFF, 0xCA, 0xE0, 0x00, 0x00};

constexpr uint32_t kBaudRate = 115200;
constexpr uint32_t kSerialReplyTimeoutMs = 500;
constexpr uint32_t kSerialPollPauseMs = 1;
constexpr uint32_t kSerialBufferBytes = 260;
constexpr uint32_t kRebootPauseMs = 2000;
constexpr uint32_t kRecordCrcStart = 0x12345678u;

std::string statusHex(uint16_t status)
{
    const uint8_t sw[2] = {uint8_t(status >> 8), uint8_t(status)};
    return BytesToHex(sw, 2);
}

// Up to two bytes as one unsigned number: the first two of the reply for
// the major version, the last two for the minor. A shorter reply reads what
// it has; an empty one reads 0.
uint32_t firstTwo(const Bytes& b)
{
    return b.size() >= 2 ? uint32_t(b[0]) << 8 | b[1] : b.empty() ? 0 : b[0];
}
uint32_t lastTwo(const Bytes& b)
{
    const size_t n = b.size();
    return n >= 2 ? uint32_t(b[n - 2]) << 8 | b[n - 1] : n == 0 ? 0 : b[0];
}

} // namespace

ReaderSession::ReaderSession(pcsc::Api& pcsc, SerchanApi* serchan, Clock& clock)
    : smart_(pcsc), serchan_(serchan), clock_(clock)
{
}

bool ReaderSession::selectCcidReader(const std::string& name)
{
    // A context made now has just listed the readers; an older one lists
    // them again, since readers come and go. When the service has been
    // restarted meanwhile the old context is dead: a new one lists afresh.
    const bool hadContext = smart_.contextReady();
    smart_.InitSmart();
    if (hadContext && smart_.ListReaders() != pcsc::S_SUCCESS && !smart_.contextReady())
        smart_.InitSmart();
    // A failed listing keeps the names of the last good one: a reader the
    // service can no longer be asked about is still tried (and the card
    // prompt then says what is missing).
    return smart_.SelectReader(name);
}

bool ReaderSession::openCdc(int32_t port)
{
    if (!serchan_ || port <= 0)
        return false;
    ChannelHandle = serchan_->open(port, kBaudRate, 0);
    return ChannelHandle > 0;
}

void ReaderSession::CloseDevice()
{
    if (DevKind == DEVKIND_CCID)
        smart_.DisconnectCard();
    else if (DevKind == DEVKIND_CDC && serchan_)
        serchan_->close(ChannelHandle);
}

bool ReaderSession::CheckZnSerial(int32_t port)
{
    if (!serchan_)
        return false;
    ChannelHandle = serchan_->open(port, kBaudRate, 0);
    // Port 0 and negative numbers never name a channel, even when the
    // library's failure value happens to equal them.
    if (port <= 0 || ChannelHandle != port)
        return false;
    const auto reply = exchangeCdc(kProbe);
    return reply && reply->status == kOk;
}

std::optional<ReaderSession::Reply> ReaderSession::exchange(const Bytes& command)
{
    switch (DevKind) {
    case DEVKIND_CCID:
        return exchangeCcid(command);
    case DEVKIND_CDC:
        return exchangeCdc(command);
    default:
        return std::nullopt; // no command transport (HID, or nothing chosen)
    }
}

std::optional<ReaderSession::Reply> ReaderSession::traced(
    const Bytes& command, const std::string& where, std::optional<Reply> (ReaderSession::*send)(const Bytes&))
{
    if (!trace_)
        return (this->*send)(command);
    const uint32_t start = clock_.tickMs();
    std::optional<Reply> reply = (this->*send)(command);
    ExchangeTrace t;
    t.where = where;
    t.command = command;
    if (reply) {
        t.status = reply->status;
        t.replyBytes = reply->data.size();
    }
    t.ms = elapsedMs(start, clock_.tickMs());
    trace_(t);
    return reply;
}

std::optional<ReaderSession::Reply> ReaderSession::exchangeCcid(const Bytes& command)
{
    return traced(command, smart_.connectedReader(), &ReaderSession::exchangeCcidNow);
}

std::optional<ReaderSession::Reply> ReaderSession::exchangeCdc(const Bytes& command)
{
    return traced(command, "COM" + std::to_string(ChannelHandle), &ReaderSession::exchangeCdcNow);
}

std::optional<ReaderSession::Reply> ReaderSession::exchangeCcidNow(const Bytes& command)
{
    if (command.empty())
        return std::nullopt;
    // The PC/SC layer speaks hex text: the one conversion at its edge.
    std::string raw;
    if (smart_.TransmitApdu(BytesToHex(command), 1, raw) != pcsc::S_SUCCESS)
        return std::nullopt;
    const Bytes all = HexToBytes(raw);
    // A reply without both status bytes is a broken exchange, not a status.
    if (all.size() < 2)
        return std::nullopt;
    Reply r;
    r.status = uint16_t(all[all.size() - 2] << 8 | all[all.size() - 1]);
    r.data.assign(all.begin(), all.end() - 2);
    return r;
}

std::optional<ReaderSession::Reply> ReaderSession::exchangeCdcNow(const Bytes& command)
{
    if (command.empty() || !serchan_)
        return std::nullopt;
    if (serchan_->send(ChannelHandle, command.data(), uint32_t(command.size())) <= 0)
        return std::nullopt;

    const uint32_t sent = clock_.tickMs();
    uint8_t buffer[kSerialBufferBytes];
    for (;;) {
        const int32_t m = serchan_->receive(ChannelHandle, buffer, kSerialBufferBytes);
        if (m > 0) {
            // A frame too short to hold SW1 SW2 (or longer than the buffer we
            // offered) cannot be read as a reply.
            if (m < 2 || uint32_t(m) > kSerialBufferBytes)
                return std::nullopt;
            Reply r;
            r.status = uint16_t(buffer[m - 2] << 8 | buffer[m - 1]);
            r.data.assign(buffer, buffer + m - 2);
            return r;
        }
        // Unsigned difference: correct across the 2^32 wrap of the tick count.
        if (elapsedMs(sent, clock_.tickMs()) >= kSerialReplyTimeoutMs)
            return std::nullopt;
        // A pause before the next look, or the wait keeps a core busy for up
        // to the whole 500 ms. The look after the last pause comes before
        // the deadline is checked, so a reply that lands meanwhile counts.
        clock_.sleepMs(kSerialPollPauseMs);
    }
}

namespace {

// The hex edge of an exchange: status word as text, reply data as text.
template <class Reply> std::string asHex(const std::optional<Reply>& r, std::string& reply)
{
    if (!r)
        return {};
    reply = BytesToHex(r->data);
    return statusHex(r->status);
}

} // namespace

std::string ReaderSession::SendAPDU(const std::string& command, std::string& reply)
{
    // Text that is not a command goes nowhere, on either transport.
    return asHex(exchange(HexToBytes(command)), reply);
}

std::string ReaderSession::CCID_SendApdu(const std::string& command, std::string& reply)
{
    return asHex(exchangeCcid(HexToBytes(command)), reply);
}

std::string ReaderSession::CDC_SendApdu(const std::string& command, std::string& reply)
{
    return asHex(exchangeCdc(HexToBytes(command)), reply);
}

std::string ReaderSession::GetReaderSN()
{
    const auto r = exchange(kReadSerial);
    return r ? BytesToHex(r->data) : std::string();
}

std::string ReaderSession::GetReaderFW()
{
    const auto r = exchange(kReadFirmware);
    if (!r)
        return {};
    if (r->status != kOk)
        return BytesToHex(r->data);
    // Major and minor are 16-bit each; both print as unsigned numbers.
    const uint32_t major = firstTwo(r->data);
    const uint32_t minor = lastTwo(r->data);
    // Appended piece by piece: GCC 12 warns falsely about a chain of
    // string operator+ here.
    std::string text = "(";
    text += std::to_string(major);
    text += '.';
    text += std::to_string(minor);
    text += ')';
    return text;
}

bool ReaderSession::buildSwitchCommand(const Bytes& header, int selector, Bytes& command)
{
    if (selector < 0 || selector > 255)
        return false;
    const auto r = exchange(kReadSerial);
    if (!r || r->data.size() != 4)
        return false;
    const Bytes& serial = r->data;

    uint8_t record[6] = {uint8_t(selector), uint8_t(255 - selector), serial[0], serial[1], serial[2], serial[3]};
    uint32_t running = kRecordCrcStart;
    const uint32_t crc = CRC32(record, 6, running);

    command = header;
    command.insert(command.end(), record, record + 6);
    for (int shift = 0; shift < 32; shift += 8)
        command.push_back(uint8_t(crc >> shift));
    return true;
}

bool ReaderSession::SwitchToDevice(int16_t personality)
{
    Bytes command;
    if (!buildSwitchCommand(kSwitchHeader, personality, command))
        return false;
    const auto r = exchange(command);
    const bool accepted = r && r->status == kOk;
    // The reader applies the new personality only after a restart.
    if (accepted)
        RebootDevice();
    return accepted;
}

std::optional<std::array<uint8_t, 2>> ReaderSession::ReadHIDConfig()
{
    const auto config = exchange(kReadHidConfig);
    if (!config || config->status != kOk || config->data.size() != 2)
        return std::nullopt;
    return std::array<uint8_t, 2>{config->data[0], config->data[1]};
}

HidModeChoice ReaderSession::hidModeOf(const std::array<uint8_t, 2>& config)
{
    // The inverse of SendHIDMode's bit settings: 0x40 of the second byte
    // selects the UID over block 2, 0x02 decimal over hexadecimal; the
    // typing options (0x20 '#', 0x40 SHIFT of the first byte) belong to
    // the hexadecimal form only.
    const uint8_t b0 = config[0], b1 = config[1];
    if (!(b1 & 0x40))
        return {3, 0};
    if (b1 & 0x02)
        return {2, 0};
    return {1, int16_t(((b0 & 0x20) ? 1 : 0) | ((b0 & 0x40) ? 2 : 0))};
}

bool ReaderSession::SendHIDMode(int16_t format, int16_t subOptions)
{
    const auto config = exchange(kReadHidConfig);
    if (!config || config->data.size() != 2)
        return false;
    uint8_t b0 = config->data[0], b1 = config->data[1];

    switch (format) {
    case 1: // hexadecimal UID, with the two typing options
        b1 = uint8_t((b1 & 0xFD) | 0x40);
        b0 = (subOptions & 1) ? uint8_t(b0 | 0x20) : uint8_t(b0 & ~0x20);
        b0 = (subOptions & 2) ? uint8_t(b0 | 0x40) : uint8_t(b0 & ~0x40);
        break;
    case 2: // decimal UID
        b1 = uint8_t(b1 | 0x02 | 0x40);
        break;
    case 3: // block 2 instead of the UID
        b1 = uint8_t(b1 & 0xBF);
        break;
    default: // unknown format: write the configuration back as read
        break;
    }
    Bytes command = kWriteHidConfig;
    command.push_back(b0);
    command.push_back(b1);
    const auto r = exchange(command);
    return r && r->status == kOk;
}

bool ReaderSession::SendCCIDFake(int16_t setting)
{
    Bytes command;
    if (!buildSwitchCommand(kFakeCardHeader, setting, command))
        return false;
    const auto r = exchange(command);
    return r && r->status == kOk;
}

bool ReaderSession::RebootDevice()
{
    const auto r = exchange(kReboot);
    // The reader needs this long to restart, whether or not it answered.
    clock_.sleepMs(kRebootPauseMs);
    return r && r->status == kOk;
}

} // namespace tarvex
