// SCReceive fed arbitrary bytes, in arbitrary pieces, under every
// combination of the protocol options, through an in-memory transport.
//
// Input: options byte, capacity, flags, then pieces (a size byte and that
// many line bytes each). Checks: no memory fault (the receive buffer is
// exactly `capacity` bytes on the heap), results are documented codes or a
// length that fits, and the handshake byte written matches the verdict.
#include "serchan.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

namespace {

std::deque<uint8_t> g_line;     // bytes the peer has sent and we have not read
std::vector<uint8_t> g_written; // everything SCReceive wrote (ACK / NAK)
bool g_failWrites = false;
bool g_failNextRead = false;

int32_t SC_CALL writeFn(uint8_t* data, int32_t length)
{
    if (g_failWrites)
        return -1;
    g_written.insert(g_written.end(), data, data + length);
    return length;
}

int32_t SC_CALL readFn(uint8_t* data, int32_t length)
{
    if (g_line.empty() && g_failNextRead) {
        g_failNextRead = false;
        return -2;
    }
    int32_t n = 0;
    while (n < length && !g_line.empty()) {
        data[n++] = g_line.front();
        g_line.pop_front();
    }
    return n;
}

// Brings the library's process-wide state to the same start for every input:
// a sent empty frame abandons any half-received one, then the role is reset.
void resetLibrary(int32_t options)
{
    g_line.clear();
    g_failWrites = false;
    g_failNextRead = false;
    SCCallbacks(writeFn, readFn);
    SCChangeProtocol(SC_OPT_NO_HANDSHAKE | SC_OPT_RESET_ROLE);
    static const uint8_t none = 0;
    SCSend(0, &none, 0);
    SCChangeProtocol(options | SC_OPT_RESET_ROLE);
    g_written.clear();
}

bool isErrorCode(int32_t r)
{
    switch (r) {
    case SC_ERR_NO_ROOM:
    case SC_ERR_PORT:
    case SC_ERR_TIMEOUT:
    case SC_ERR_ACK_WRITE:
    case SC_ERR_TOO_LONG:
    case SC_ERR_UNEXPECTED:
    case SC_ERR_BAD_FRAME:
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const int32_t options = in.ConsumeIntegral<uint8_t>()
        & (SC_OPT_NO_START_BYTE | SC_OPT_NO_HANDSHAKE | SC_OPT_INVERTED_CHECK | SC_OPT_NO_RETRANSMIT
            | SC_OPT_TWO_BYTE_LENGTH);
    const uint32_t capacity = in.ConsumeIntegralInRange<uint32_t>(0, 300);
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    resetLibrary(options);
    g_failWrites = flags & 1;
    const bool nullBuffer = flags & 2;
    const bool handshake = !(options & SC_OPT_NO_HANDSHAKE);

    std::unique_ptr<uint8_t[]> buffer(nullBuffer ? nullptr : new uint8_t[capacity]);
    const uint32_t room = nullBuffer ? 0 : capacity;

    while (in.remaining_bytes() > 0) {
        const size_t piece = in.ConsumeIntegralInRange<size_t>(1, 64);
        for (uint8_t b : in.ConsumeBytes<uint8_t>(piece))
            g_line.push_back(b);
        if (in.remaining_bytes() == 0)
            g_failNextRead = flags & 4;
        // Poll as a caller would until the line is drained and quiet.
        for (int polls = 0; polls < 400; ++polls) {
            const size_t before = g_written.size();
            const int32_t r = SCReceive(0, buffer.get(), capacity);
            if (r > 0) {
                if (uint32_t(r) > room)
                    abort(); // a length that did not fit was reported as data
                if (handshake && (g_written.size() != before + 1 || g_written.back() != 0x06))
                    abort(); // data delivered without its ACK
            } else if (r == SC_ERR_BAD_FRAME) {
                if (handshake && !g_failWrites && (g_written.size() != before + 1 || g_written.back() != 0x15))
                    abort(); // a refused frame must be NAKed
            } else if (r == SC_ERR_ACK_WRITE) {
                if (!handshake || !g_failWrites)
                    abort();
            } else if (r != 0 && !isErrorCode(r)) {
                abort();
            }
            if (!handshake && g_written.size() != before)
                abort(); // no handshake bytes without the handshake
            if (r == 0 && g_line.empty())
                break;
        }
    }
    return 0;
}
