// Sending and receiving frames. One process-wide state: the option word, the
// sequence number, the exchange role and the 280-byte frame buffer that both
// directions share (sending builds the frame in it, receiving collects the
// peer's frame in it). Nothing is allocated.
#include "protocol.h"

#include "frame.h"
#include "port.h"

#include <cstring>

namespace serchan::protocol {
namespace {

using namespace frame;

constexpr uint32_t kAckWaitMs = 300; // per attempt
constexpr int kAttempts = 3;
constexpr uint32_t kStallMs = 2000; // silence that abandons a half-received frame

enum class Role : uint8_t { None, Initiator, Responder };

struct State {
    uint32_t options = 0;
    uint8_t seq = 0x80; // the first frame sent as initiator carries 0x81
    Role role = Role::None;
    bool startFound = false;
    uint32_t received = 0;    // bytes of the incoming frame, from its start byte
    uint32_t lastReceive = 0; // tick of the last arrival; 0 = no frame under way
    SCTransportFn writeFn = nullptr;
    SCTransportFn readFn = nullptr;
    uint8_t buffer[kBufferSize] = {};
};

State g;

void resetReceive()
{
    g.startFound = false;
    g.received = 0;
    g.lastReceive = 0;
}

int32_t writeBytes(uint8_t* data, int32_t length)
{
    if (g.writeFn)
        return g.writeFn(data, length);
    return port::write(data, length);
}

int32_t readBytes(uint8_t* buffer, int32_t max)
{
    if (g.readFn) {
        int32_t n = g.readFn(buffer, max);
        // A transport that claims more than it was asked for cannot have
        // written past our buffer legally; never let the count do so.
        return n > max ? max : n;
    }
    return port::read(buffer, max);
}

// Pause between looks for input, `leftMs` before the caller's deadline. On
// the port it blocks until bytes land (or the time is up); a caller's
// transport gives us nothing to wait on, so it is a plain 1 ms.
void pauseForInput(uint32_t leftMs)
{
    if (g.readFn)
        port::sleepMs(1);
    else
        port::waitReadable(leftMs);
}

// 0 marks "no frame under way", so a tick that happens to be 0 is moved by 1 ms.
uint32_t stamp(uint32_t tick)
{
    return tick ? tick : 1;
}

// Waits for the peer's answer to the frame just written:
// 1 ACK, SC_ERR_TIMEOUT NAK or 300 ms of silence, SC_ERR_UNEXPECTED a
// foreign byte (consumed), or SC_ERR_PORT when the port itself has gone.
int32_t awaitAnswer()
{
    const uint32_t start = port::tickCount();
    for (;;) {
        // The clock is read before the look, so the look made once the time
        // is up still takes a byte that landed during the last pause.
        const uint32_t elapsed = port::tickCount() - start;
        const bool last = elapsed >= kAckWaitMs;
        uint8_t byte = 0;
        const int32_t n = readBytes(&byte, 1);
        if (n == 1) {
            if (byte == kAck)
                return 1;
            if (byte == kNak)
                return SC_ERR_TIMEOUT;
            return SC_ERR_UNEXPECTED;
        }
        // An unplugged port will not answer within the wait either: say so
        // now. A caller's transport may fail only for a moment, while the
        // peer did take the frame; sending it again would run it twice, so
        // there a failure counts as no byte yet.
        if (n < 0 && !g.readFn)
            return n;
        if (last)
            return SC_ERR_TIMEOUT;
        pauseForInput(kAckWaitMs - elapsed);
    }
}

bool writeHandshake(uint8_t byte)
{
    return writeBytes(&byte, 1) > 0;
}

} // namespace

uint32_t options()
{
    return g.options;
}
void storeOptions(uint32_t options)
{
    g.options = options;
}

uint32_t changeOptions(uint32_t options)
{
    if (options & SC_OPT_RESET_ROLE) {
        g.role = Role::None;
        options &= ~static_cast<uint32_t>(SC_OPT_RESET_ROLE);
    }
    g.options = options;
    return options;
}

void setTransport(SCTransportFn writeFn, SCTransportFn readFn)
{
    g.writeFn = writeFn;
    g.readFn = readFn;
}

bool bothTransportsInstalled()
{
    return g.writeFn && g.readFn;
}

int32_t send(const uint8_t* data, uint32_t length)
{
    const bool twoByte = g.options & SC_OPT_TWO_BYTE_LENGTH;
    if (length > kMaxShortData && !(twoByte && length <= kMaxLongData))
        return SC_ERR_TOO_LONG;
    // No data to take the bytes from: as if it were shorter than claimed.
    if (!data && length)
        return SC_ERR_TOO_LONG;

    switch (g.role) {
    case Role::None:
        g.role = Role::Initiator;
        ++g.seq;
        break;
    case Role::Initiator:
        ++g.seq;
        break;
    case Role::Responder:
        break; // an answer carries the number of the frame it answers
    }

    // Drop whatever is still queued (late ACKs, stale replies): one read only.
    (void)readBytes(g.buffer, static_cast<int32_t>(kBufferSize));

    const size_t total = build(g.buffer, g.seq, data, length, g.options);

    // The buffer now holds our frame: any half-received frame is abandoned,
    // and so is its stall timer, or the next receive could report a stall of
    // a frame that no longer exists.
    resetReceive();

    size_t skip = 0;
    if (g.options & static_cast<uint32_t>(SC_OPT_SKIP_START_ONCE)) {
        g.options &= ~static_cast<uint32_t>(SC_OPT_SKIP_START_ONCE);
        skip = 1;
    }

    int32_t result = SC_ERR_TIMEOUT;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int32_t written = writeBytes(g.buffer + skip, static_cast<int32_t>(total - skip));
        skip = 0; // retransmissions are always whole
        if (written <= 0) {
            result = written;
            continue;
        }
        if (g.options & SC_OPT_NO_HANDSHAKE)
            return written;
        result = awaitAnswer();
        if (result == 1 || result == SC_ERR_UNEXPECTED)
            return result;
        if (result == SC_ERR_TIMEOUT && (g.options & SC_OPT_NO_RETRANSMIT))
            return result;
    }
    return result;
}

int32_t receive(uint8_t* buffer, uint32_t capacity)
{
    // No buffer holds nothing: a frame then ends like one too long for it.
    if (!buffer)
        capacity = 0;
    if (g.role == Role::None)
        g.role = Role::Responder;

    // Every frame that fits is complete before the buffer fills (a frame too
    // long for it is refused as soon as its length is known), so this only
    // guards against a receive state that could otherwise never move again.
    if (g.received >= kBufferSize) {
        resetReceive();
        return SC_ERR_NO_ROOM;
    }

    const int32_t n = readBytes(g.buffer + g.received, static_cast<int32_t>(kBufferSize - g.received));
    if (n < 0)
        return n;
    if (n == 0) {
        if (g.lastReceive && port::tickCount() - g.lastReceive > kStallMs) {
            resetReceive();
            return SC_ERR_TIMEOUT;
        }
        return 0;
    }

    const uint32_t opts = g.options;
    const bool noStart = opts & SC_OPT_NO_START_BYTE;
    const bool twoByte = opts & SC_OPT_TWO_BYTE_LENGTH;

    g.lastReceive = stamp(port::tickCount());
    const uint32_t before = g.received;
    g.received += static_cast<uint32_t>(n);

    if (noStart) {
        g.startFound = true;
    } else if (!g.startFound) {
        uint32_t pos = before;
        while (pos < g.received && g.buffer[pos] != kStart && !(twoByte && g.buffer[pos] == kStartLong))
            ++pos;
        if (pos == g.received) {
            resetReceive();
            return SC_ERR_UNEXPECTED;
        }
        g.startFound = true;
        if (pos) {
            std::memmove(g.buffer, g.buffer + pos, g.received - pos);
            g.received -= pos;
        }
    }

    // Header: [start] seq len (len is two bytes, high first, under
    // SC_OPT_TWO_BYTE_LENGTH).
    const uint32_t h = noStart ? 0 : 1;
    uint32_t header;
    uint32_t length;
    if (!twoByte) {
        header = h + 2;
        if (g.received <= 3)
            return 0;
        length = g.buffer[h + 1];
    } else {
        // Two-byte length received: L = high << 8 | low, data after the 4-byte
        // header (3 bytes without a start byte), the check byte after the data.
        header = h + 3;
        if (g.received < header)
            return 0;
        length = static_cast<uint32_t>(g.buffer[h + 1]) << 8 | g.buffer[h + 2];
    }
    // A length that cannot fit the buffer would wait for bytes there is no
    // room for: refuse the frame now, while its header is all we have.
    const bool oversize = header + length + 1 > kBufferSize;
    if (!oversize && g.received < header + length + 1)
        return 0;

    const uint8_t frameSeq = g.buffer[h];
    if (frameSeq != g.seq && g.role != Role::Responder) {
        resetReceive();
        return SC_ERR_UNEXPECTED;
    }

    bool good = !oversize && length >= 1;
    if (good) {
        // Without a start byte the check still covers one, as if it had come.
        // Under SC_OPT_TWO_BYTE_LENGTH that byte is 0x82, and a frame with a
        // start byte is taken only when it starts with 0x82.
        uint8_t check = noStart ? (twoByte ? kStartLong : kStart) : 0;
        check = xorOf(g.buffer, header + length, check);
        if (opts & SC_OPT_INVERTED_CHECK)
            check = static_cast<uint8_t>(~check);
        good = check == g.buffer[header + length];
        if (good && twoByte && !noStart && g.buffer[0] != kStartLong)
            good = false;
    }
    if (!good) {
        if (!(opts & SC_OPT_NO_HANDSHAKE))
            (void)writeHandshake(kNak);
        resetReceive();
        return SC_ERR_BAD_FRAME;
    }

    if (!(opts & SC_OPT_NO_HANDSHAKE) && !writeHandshake(kAck)) {
        g.seq = frameSeq;
        resetReceive();
        return SC_ERR_ACK_WRITE;
    }
    g.seq = frameSeq;
    if (length > capacity) {
        resetReceive();
        return SC_ERR_TOO_LONG;
    }
    std::memcpy(buffer, g.buffer + header, length);
    resetReceive();
    return static_cast<int32_t>(length);
}

int32_t transmit(const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs)
{
    const int32_t sent = send(data, length);
    if (sent != 1)
        return sent;
    if (timeoutMs == 0)
        return 1;
    const uint32_t start = port::tickCount();
    for (;;) {
        // As in the ACK wait: one last look once the time is up, so that an
        // answer that landed during the last pause is returned, not lost.
        const uint32_t elapsed = port::tickCount() - start;
        const bool last = elapsed >= timeoutMs;
        const int32_t r = receive(buffer, capacity);
        if (r != 0 || last)
            return r;
        pauseForInput(timeoutMs - elapsed);
    }
}

} // namespace serchan::protocol
