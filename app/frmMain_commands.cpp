// The vendor commands of the reader: identity queries, the personality
// switch and its record, the HID output configuration, the fake-card
// setting and the reboot.
#include "frmMain.h"
#include "modCRC.h"
#include "modUtil.h"

#include <QListWidget>

namespace tarvex {

namespace {

const QString kOk = QStringLiteral("9000");
const QString kReadSerial = QStringLiteral("FFCAF00004");
const QString kReadFirmware = QStringLiteral("FFCAE00004");
const QString kReadHidConfig = QStringLiteral("FEDD030200");
const QString kWriteHidConfig = QStringLiteral("FEDD030202");
const QString kSwitchHeader = QStringLiteral("FEDD02000A");
const QString kFakeCardHeader = QStringLiteral("FEDD02010A");
const QString kReboot = QStringLiteral("FFFEFC0000");

constexpr uint32_t kRebootPauseMs = 2000;
constexpr uint32_t kRecordCrcStart = 0x12345678u;
// The firmware major version every mode command needs; the minimum the
// callers pass is a minor number of this major.
constexpr uint32_t kRequiredMajor = 2;

QString hexByte(uint32_t b) {
    return QStringLiteral("%1").arg(b & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

// Reads up to four hex digits as an unsigned number; empty text reads as 0.
uint32_t readHexHalf(const QString& text) {
    bool ok = false;
    const uint32_t v = text.toUInt(&ok, 16);
    return ok ? v : 0;
}

// Leading decimal digits of text[from..to). Values
// past what any firmware uses saturate instead of overflowing.
// Returns the position after the last digit read.
qsizetype readDecimal(const QString& text, qsizetype from, qsizetype to, uint32_t& value) {
    value = 0;
    qsizetype i = from;
    for (; i < to && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
        const uint32_t d = uint32_t(text[i].unicode() - '0');
        value = value > (UINT32_MAX - d) / 10 ? UINT32_MAX : value * 10 + d;
    }
    return i;
}

} // namespace

QString frmMain::GetReaderSN() {
    QString reply;
    SendAPDU(kReadSerial, reply);
    return reply;
}

QString frmMain::GetReaderFW() {
    QString reply;
    if (SendAPDU(kReadFirmware, reply) != kOk) return reply;
    // Major and minor are 16-bit each; both print as unsigned numbers.
    const uint32_t major = readHexHalf(reply.left(4));
    const uint32_t minor = readHexHalf(reply.right(4));
    return QStringLiteral("(%1.%2)").arg(major).arg(minor);
}

int16_t frmMain::CheckVersion(int16_t minimum) {
    const QString text = entryText(selectedIndex());
    // The firmware text is the last part of the identity suffix. Looking for
    // it only there keeps a "(" inside a reader name from being read as a
    // version, and an entry without a suffix has no firmware known at all.
    const qsizetype suffix = text.indexOf(QStringLiteral(" - "));
    const qsizetype p = text.lastIndexOf(QLatin1Char('('));
    if (suffix < 0 || p < suffix) return -1;
    const qsizetype q = text.indexOf(QLatin1Char('.'), p);
    if (q < 0) return 0;

    uint32_t major = 0, minor = 0;
    // Text that is not "(major.minor" is unreadable: refuse without a message.
    const qsizetype majorEnd = readDecimal(text, p + 1, q, major);
    if (majorEnd == p + 1 || majorEnd != q) return 0;
    if (readDecimal(text, q + 1, text.size(), minor) == q + 1) return 0;

    const bool recentEnough = major > kRequiredMajor ||
                              (major == kRequiredMajor && int64_t(minor) >= int64_t(minimum));
    if (recentEnough) return 1;
    svc_.ui->messageBox(QStringLiteral("Version equal or greater than 2.%1 is required for this mode.")
                            .arg(minimum),
                        false);
    return 0;
}

bool frmMain::buildSwitchCommand(const QString& header, int selector, QString& command) {
    if (selector < 0 || selector > 255) return false;
    const QString sn = GetReaderSN();
    if (sn.size() != 8) return false;
    const Bytes serial = HexToBytes(sn.toStdString());
    if (serial.size() != 4) return false;

    uint8_t record[6] = {uint8_t(selector), uint8_t(255 - selector), serial[0], serial[1], serial[2],
                         serial[3]};
    uint32_t running = kRecordCrcStart;
    const uint32_t crc = CRC32(record, 6, running);

    command = header + hexByte(record[0]) + hexByte(record[1]) + sn;
    for (int shift = 0; shift < 32; shift += 8) command += hexByte(crc >> shift);
    return true;
}

bool frmMain::SwitchToDevice(int16_t personality) {
    QString command;
    if (!buildSwitchCommand(kSwitchHeader, personality, command)) return false;
    QString reply;
    const bool accepted = SendAPDU(command, reply) == kOk;
    // The reader applies the new personality only after a restart.
    if (accepted) RebootDevice();
    return accepted;
}

bool frmMain::SendHIDMode(int16_t format, int16_t subOptions) {
    QString reply;
    SendAPDU(kReadHidConfig, reply);
    if (reply.size() != 4) return false;
    const Bytes config = HexToBytes(reply.toStdString());
    if (config.size() != 2) return false;
    uint8_t b0 = config[0], b1 = config[1];

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
    QString ignored;
    return SendAPDU(kWriteHidConfig + hexByte(b0) + hexByte(b1), ignored) == kOk;
}

bool frmMain::SendCCIDFake(int16_t setting) {
    QString command;
    if (!buildSwitchCommand(kFakeCardHeader, setting, command)) return false;
    QString reply;
    return SendAPDU(command, reply) == kOk;
}

bool frmMain::RebootDevice() {
    QString reply;
    const bool ok = SendAPDU(kReboot, reply) == kOk;
    // The reader needs this long to restart, whether or not it answered.
    svc_.clock->sleepMs(kRebootPauseMs);
    return ok;
}

} // namespace tarvex
