// The PC/SC access layer.
#include "modSmart.h"

#include "modUtil.h"

#include <algorithm>
#include <array>

namespace tarvex {

namespace {

// Fixed buffer sizes of the exchanges with the service.
constexpr uint32_t kReaderListChars = 2048;
constexpr uint32_t kAtrBytes = 33;    // longest ATR that ISO/IEC 7816-3 allows
constexpr uint32_t kReplyBytes = 258; // 256 data bytes + SW1 SW2

std::string trimSpaces(const std::string& s)
{
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    const size_t last = s.find_last_not_of(' ');
    return s.substr(first, last - first + 1);
}

// The service is gone (Windows stops it when the last reader leaves; pcscd
// may be restarted): the context is dead and only a new one helps.
bool serviceGone(pcsc::Result r)
{
    return r == pcsc::E_NO_SERVICE || r == pcsc::E_SERVICE_STOPPED;
}

// The card handle no longer refers to a usable connection. Windows reports
// a stale handle as ERROR_INVALID_HANDLE, pcsc-lite as SCARD_E_INVALID_HANDLE.
// A card that was removed (and maybe put back) or reset by another program
// leaves the handle unusable until reconnected; the service refuses the
// command before sending it, so repeating it cannot run it twice.
bool handleLost(pcsc::Result r)
{
    return r == pcsc::WIN_ERROR_INVALID_HANDLE || r == pcsc::E_INVALID_HANDLE || r == pcsc::W_REMOVED_CARD
        || r == pcsc::W_RESET_CARD;
}

} // namespace

modSmart::~modSmart()
{
    if (card_ != 0)
        DisconnectCard();
    dropContext();
}

void modSmart::dropContext()
{
    if (haveContext_)
        api_.releaseContext(context_);
    context_ = 0;
    haveContext_ = false;
    ready_ = false;
    // Card handles die with their context; forget ours without calling the
    // service again.
    card_ = 0;
    connected_.clear();
}

pcsc::Result modSmart::InitSmart()
{
    if (ready_)
        return pcsc::S_SUCCESS;
    if (!haveContext_) {
        pcsc::Context ctx = 0;
        const pcsc::Result r = api_.establishContext(pcsc::SCOPE_SYSTEM, &ctx);
        if (r != pcsc::S_SUCCESS)
            return r;
        context_ = ctx;
        haveContext_ = true;
    }
    const pcsc::Result r = ListReaders();
    // Ready whatever the listing said, unless the listing found the context
    // dead; then the next call starts over with a new one.
    ready_ = haveContext_;
    return r;
}

pcsc::Result modSmart::ListReaders()
{
    if (!haveContext_) {
        count_ = 0;
        return pcsc::E_INVALID_HANDLE;
    }
    std::array<char, kReaderListChars> buf{};
    uint32_t len = kReaderListChars;
    const pcsc::Result r = api_.listReaders(context_, buf.data(), &len);
    if (r != pcsc::S_SUCCESS) {
        // Keep the names of the last good listing; only the count drops.
        count_ = 0;
        if (serviceGone(r) || r == pcsc::E_INVALID_HANDLE)
            dropContext();
        return r;
    }

    // Split the whole buffer, not just the length written back: the buffer
    // was all NUL before the call, so the names are followed by empty
    // pieces, and a bogus length can never take us past the buffer.
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t i = 0; i <= buf.size(); ++i) {
        if (i == buf.size() || buf[i] == '\0') {
            pieces.emplace_back(buf.data() + start, i - start);
            start = i + 1;
        }
    }
    size_t n = 0;
    for (; n < pieces.size(); ++n) {
        pieces[n] = trimSpaces(pieces[n]);
        if (pieces[n].empty())
            break;
    }
    // The list ends before the first empty piece, except that a listing
    // with no names at all keeps one empty element.
    pieces.resize(std::max<size_t>(n, 1));
    names_ = std::move(pieces);
    count_ = int16_t(std::min<size_t>(n, INT16_MAX));
    current_ = 0;
    return pcsc::S_SUCCESS;
}

int16_t modSmart::GetReaders(std::vector<std::string>& names) const
{
    names = names_;
    return count_;
}

bool modSmart::SelectReader(const std::string& name)
{
    for (size_t i = 0; i < names_.size() && i <= size_t(INT16_MAX); ++i) {
        if (names_[i] == name) {
            current_ = int16_t(i);
            return true;
        }
    }
    return false;
}

std::string modSmart::ConnectCard()
{
    if (card_ != 0)
        DisconnectCard();
    if (!haveContext_ || current_ < 0 || size_t(current_) >= names_.size())
        return {};
    const std::string reader = names_[size_t(current_)];

    constexpr uint32_t protocols = pcsc::PROTOCOL_T0 | pcsc::PROTOCOL_T1;
    pcsc::Card card = 0;
    uint32_t active = 0;
    pcsc::Result r = api_.connect(context_, reader.c_str(), pcsc::SHARE_EXCLUSIVE, protocols, &card, &active);
    if (r != pcsc::S_SUCCESS) {
        // Another program may hold a shared connection: share with it.
        DisconnectCard();
        card = 0;
        r = api_.connect(context_, reader.c_str(), pcsc::SHARE_SHARED, protocols, &card, &active);
        if (r != pcsc::S_SUCCESS) {
            if (serviceGone(r) || r == pcsc::E_INVALID_HANDLE)
                dropContext();
            return {};
        }
    }
    card_ = card;
    connected_ = reader;

    // A connection without its state or its transaction is given back at
    // once: callers take the empty ATR for no connection and close nothing,
    // and a handle left open would keep the reader from every exclusive
    // connection (the next command's, another program's) until the next
    // ConnectCard.
    std::array<uint8_t, kAtrBytes> atr{};
    uint32_t atrLen = kAtrBytes;
    uint32_t state = 0;
    uint32_t protocol = protocols;
    if (api_.status(card_, &state, &protocol, atr.data(), &atrLen) != pcsc::S_SUCCESS
        || api_.beginTransaction(card_) != pcsc::S_SUCCESS) {
        DisconnectCard();
        return {};
    }
    return BytesToHex(atr.data(), std::min(atrLen, kAtrBytes));
}

void modSmart::DisconnectCard()
{
    // Both calls whatever the handle; a stale or zero handle only earns an
    // error code, which nobody needs.
    api_.endTransaction(card_, pcsc::LEAVE_CARD);
    api_.disconnect(card_, pcsc::UNPOWER_CARD);
    card_ = 0;
    connected_.clear();
}

pcsc::Result modSmart::TransmitApdu(const std::string& command, int32_t protocol, std::string& reply)
{
    uint32_t proto = protocol == 0 ? pcsc::PROTOCOL_T0 : protocol == 1 ? pcsc::PROTOCOL_T1 : api_.protocolRaw();
    const Bytes send = HexToBytes(command);
    // Nothing to send is a caller's mistake, not something for the reader.
    if (send.empty())
        return pcsc::E_INVALID_PARAMETER;

    std::array<uint8_t, kReplyBytes> buf{};
    uint32_t len = kReplyBytes;
    pcsc::Result r = api_.transmit(card_, proto, send.data(), uint32_t(send.size()), buf.data(), &len);
    if (handleLost(r)) {
        // One reconnect to the current reader and one repeat, with the full
        // reply buffer offered again.
        if (!ConnectCard().empty()) {
            len = kReplyBytes;
            r = api_.transmit(card_, proto, send.data(), uint32_t(send.size()), buf.data(), &len);
        }
    }
    if (r != pcsc::S_SUCCESS)
        return r;
    // Every reply ends in SW1 SW2; fewer than two bytes means the exchange
    // broke (a card leaving mid-command can report success with nothing).
    if (len < 2)
        return pcsc::F_COMM_ERROR;
    reply = BytesToHex(buf.data(), std::min(len, kReplyBytes));
    return pcsc::S_SUCCESS;
}

} // namespace tarvex
