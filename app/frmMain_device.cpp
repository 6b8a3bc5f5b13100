// Opening and closing the reader of the selected entry, and the probe that
// tells whether a COM port belongs to a reader.
#include "frmMain.h"
#include "modComPort.h"

namespace tarvex {

namespace {

const QString kCardPrompt = QStringLiteral(
    "CCID devices require a valid card present to be connected, please put a supported "
    "contactless card over the reader.");
const QString kSuffixSeparator = QStringLiteral(" - ");
const QString kProbeCommand = QStringLiteral("FFCAE00000");
constexpr uint32_t kBaudRate = 115200;
constexpr int16_t kMinimumFirmware = 166;
constexpr qsizetype kCcidPrefixLength = 5; // "CCID "

// The port number of a "COM<n> ..." entry, read as the scan reads the port
// name it was listed by; 0 when the text has no such form.
int32_t portOfEntry(const QString& text) {
    const qsizetype space = text.indexOf(QLatin1Char(' '));
    if (space < 0) return 0;
    return ComPortNumber(text.left(space).toStdString());
}

} // namespace

std::string frmMain::listedReaderName(const QString& name) const {
    // Decoding is not reversible for every name (bytes that are no text in
    // the code page), so the entry's text is matched against the decoded
    // names rather than encoded back.
    std::vector<std::string> names;
    const int16_t n = smart_.GetReaders(names);
    for (int16_t r = 0; r < n && size_t(r) < names.size(); ++r)
        if (readerNameText(names[size_t(r)]) == name) return names[size_t(r)];
    return name.toLocal8Bit().toStdString();
}

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
            if (!smart_.SelectReader(listedReaderName(name))) return false;
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
        // A scan may have read the identity meanwhile; its firmware text is
        // judged all the same, since this open is the only check a reader
        // listed without a suffix gets.
        if (!current.contains(kSuffixSeparator)) {
            const QString serial = GetReaderSN();
            const QString firmware = GetReaderFW();
            setEntryText(now, current + kSuffixSeparator + serial + QLatin1Char(' ') + firmware);
        }
        return CheckVersion(kMinimumFirmware) != 0;
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
