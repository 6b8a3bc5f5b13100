// Opening and closing the reader of the selected entry, and the probe that
// tells whether a COM port belongs to a reader.
#include "frmMain.h"

namespace tarvex {

namespace {

const QString kCardPrompt = QStringLiteral(
    "CCID devices require a valid card present to be connected, please put a supported "
    "contactless card over the reader.");
const QString kSuffixSeparator = QStringLiteral(" - ");
const QString kProbeCommand = QStringLiteral("FFCAE00000");
constexpr uint32_t kBaudRate = 115200;
constexpr qsizetype kCcidPrefixLength = 5; // "CCID "
constexpr qsizetype kComPrefixLength = 3;  // "COM"

// The port number of a "COM<n> ..." entry; 0 when the text has no such form.
int32_t portOfEntry(const QString& text) {
    const qsizetype space = text.indexOf(QLatin1Char(' '));
    if (space <= kComPrefixLength) return 0;
    const QString digits = text.mid(kComPrefixLength, space - kComPrefixLength);
    for (QChar c : digits)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return 0;
    bool ok = false;
    const int32_t port = digits.toInt(&ok);
    return ok ? port : 0;
}

} // namespace

bool frmMain::OpenDevice() {
    const int index = selectedIndex();
    if (index < 0) return false;
    const QString text = entryText(index);

    if (DevKind == DEVKIND_CCID) {
        if (text.size() < kCcidPrefixLength) return false;
        const qsizetype sep = text.indexOf(kSuffixSeparator);
        const bool hadSuffix = sep >= 0;
        const QString name = hadSuffix ? text.mid(kCcidPrefixLength, sep - kCcidPrefixLength)
                                       : text.mid(kCcidPrefixLength);
        // A reader that has gone from the PC/SC list must not be replaced by
        // whichever reader happened to be current before. The prompt lets
        // scan cycles run, and they select other readers: select ours again
        // before every attempt.
        for (;;) {
            if (!smart_.SelectReader(name.toStdString())) return false;
            if (!smart_.ConnectCard().empty()) break;
            if (!svc_.ui->messageBox(kCardPrompt, true)) return false;
        }
        if (hadSuffix) return true;

        // The prompt lets scan cycles run: the selection must still name the
        // same reader before its entry is written to.
        const int now = selectedIndex();
        if (now < 0) return false;
        const QString current = entryText(now);
        if (FilterExtra(current) != FilterExtra(text)) return false;
        if (current.contains(kSuffixSeparator)) return true; // a scan read it meanwhile

        const QString serial = GetReaderSN();
        const QString firmware = GetReaderFW();
        setEntryText(now, current + kSuffixSeparator + serial + QLatin1Char(' ') + firmware);
        return CheckVersion(166) != 0;
    }

    if (DevKind == DEVKIND_CDC) {
        const int32_t port = portOfEntry(text);
        if (port <= 0) return false;
        ChannelHandle = svc_.serchan->open(port, kBaudRate, 0);
        return ChannelHandle > 0;
    }

    return false; // HID and anything else has no command transport
}

void frmMain::CloseDevice() {
    if (DevKind == DEVKIND_CCID)
        smart_.DisconnectCard();
    else if (DevKind == DEVKIND_CDC)
        svc_.serchan->close(ChannelHandle);
}

bool frmMain::CheckZnSerial(int32_t port) {
    ChannelHandle = svc_.serchan->open(port, kBaudRate, 0);
    // Port 0 and negative numbers never name a channel, even when the
    // library's failure value happens to equal them.
    if (port <= 0 || ChannelHandle != port) return false;
    QString reply;
    return CDC_SendApdu(kProbeCommand, reply) == QLatin1String("9000");
}

} // namespace tarvex
