// One command APDU out, one reply back, over whichever transport DevKind
// names: the PC/SC card connection or the serchan channel.
#include "frmMain.h"
#include "modUtil.h"

namespace tarvex {

namespace {

constexpr uint32_t kSerialReplyTimeoutMs = 500;
constexpr uint32_t kSerialBufferBytes = 260;
constexpr int kStatusDigits = 4;

} // namespace

QString frmMain::SendAPDU(const QString& command, QString& reply) {
    switch (DevKind) {
    case DEVKIND_CCID: return CCID_SendApdu(command, reply);
    case DEVKIND_CDC: return CDC_SendApdu(command, reply);
    default: return QString(); // no command transport (HID, or nothing chosen)
    }
}

QString frmMain::CCID_SendApdu(const QString& command, QString& reply) {
    // Text that is not a command goes nowhere, on either transport.
    if (HexToBytes(command.toStdString()).empty()) return QString();
    std::string raw;
    if (smart_.TransmitApdu(command.toStdString(), 1, raw) != pcsc::S_SUCCESS) return QString();
    // A reply without both status bytes is a broken exchange, not a status.
    if (raw.size() < size_t(kStatusDigits)) return QString();
    const QString all = QString::fromStdString(raw).toUpper();
    reply = all.left(all.size() - kStatusDigits);
    return all.right(kStatusDigits);
}

QString frmMain::CDC_SendApdu(const QString& command, QString& reply) {
    const Bytes bytes = HexToBytes(command.toStdString());
    if (bytes.empty()) return QString();
    if (svc_.serchan->send(ChannelHandle, bytes.data(), uint32_t(bytes.size())) <= 0)
        return QString();

    const uint32_t sent = svc_.clock->tickMs();
    uint8_t buffer[kSerialBufferBytes];
    for (;;) {
        const int32_t m = svc_.serchan->receive(ChannelHandle, buffer, kSerialBufferBytes);
        if (m > 0) {
            // A frame too short to hold SW1 SW2 (or longer than the buffer we
            // offered) cannot be read as a reply.
            if (m < 2 || uint32_t(m) > kSerialBufferBytes) return QString();
            reply = QString::fromStdString(BytesToHex(buffer, size_t(m - 2)));
            return QString::fromStdString(BytesToHex(buffer + m - 2, 2));
        }
        // Unsigned difference: correct across the 2^32 wrap of the tick count.
        if (elapsedMs(sent, svc_.clock->tickMs()) >= kSerialReplyTimeoutMs) return QString();
    }
}

} // namespace tarvex
