// SCSend with arbitrary data and arbitrary answer bytes from the peer, under
// every combination of the protocol options.
//
// Input: options byte, flags, data length and data, then the answer bytes in
// pieces. A few reads find nothing or fail (a failed read of the caller's
// transport counts as no byte yet, each costing 1 ms). When the answers run
// out the peer answers NAK, so that no input waits out the 300 ms answer
// time. Checks: every write is one whole, well-formed frame carrying exactly
// our data; results are documented codes.
#include "serchan.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <deque>
#include <vector>

namespace {

std::deque<uint8_t> g_answers;
std::vector<std::vector<uint8_t>> g_writes;
std::vector<size_t> g_pieces;      // size of each read the peer allows
constexpr size_t kFailingRead = 8; // a piece of this size is a read that fails
int g_quietReads = 0;              // reads that find nothing or fail, each costs 1 ms
bool g_failWrites = false;

int32_t SC_CALL writeFn(uint8_t* data, int32_t length)
{
    g_writes.emplace_back(data, data + length);
    return g_failWrites ? 0 : length;
}

int32_t SC_CALL readFn(uint8_t* data, int32_t length)
{
    if (g_answers.empty()) {
        if (length < 1)
            return 0;
        data[0] = 0x15;
        return 1;
    }
    size_t piece = g_pieces.empty() ? 1 : g_pieces.back();
    if (!g_pieces.empty())
        g_pieces.pop_back();
    if (piece == 0 || piece == kFailingRead) {
        if (g_quietReads-- > 0)
            return piece == 0 ? 0 : -2;
        piece = 1;
    }
    int32_t n = 0;
    while (n < length && size_t(n) < piece && !g_answers.empty()) {
        data[n++] = g_answers.front();
        g_answers.pop_front();
    }
    return n;
}

// Whether `w` is the frame of `data` (minus the start byte when `skipped`).
bool wellFormed(const std::vector<uint8_t>& w, const std::vector<uint8_t>& data, int32_t options, bool skipped)
{
    std::vector<uint8_t> f;
    if (skipped)
        f.push_back(0x02);
    f.insert(f.end(), w.begin(), w.end());
    const bool twoByte = options & SC_OPT_TWO_BYTE_LENGTH;
    const size_t header = twoByte ? 4 : 3;
    if (f.size() != header + data.size() + 1 || f[0] != 0x02)
        return false;
    const size_t len = twoByte ? (size_t(f[2]) << 8 | f[3]) : f[2];
    if (len != data.size())
        return false;
    for (size_t i = 0; i < data.size(); ++i)
        if (f[header + i] != data[i])
            return false;
    uint8_t x = 0;
    for (size_t i = 0; i + 1 < f.size(); ++i)
        x ^= f[i];
    if (options & SC_OPT_INVERTED_CHECK)
        x = static_cast<uint8_t>(~x);
    return f.back() == x;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    FuzzedDataProvider in(input, size);
    int32_t options = in.ConsumeIntegral<uint8_t>()
        & (SC_OPT_NO_START_BYTE | SC_OPT_NO_HANDSHAKE | SC_OPT_INVERTED_CHECK | SC_OPT_NO_RETRANSMIT
            | SC_OPT_TWO_BYTE_LENGTH);
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    const bool skipStart = flags & 1;
    g_failWrites = flags & 2;
    if (skipStart)
        options |= SC_OPT_SKIP_START_ONCE;
    const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 300);
    const std::vector<uint8_t> data = in.ConsumeBytes<uint8_t>(length);
    // The pieces come from the end of the input, the answers from the rest.
    g_pieces.clear();
    for (int i = 0; i < 8 && in.remaining_bytes() > 1; ++i)
        g_pieces.push_back(in.ConsumeIntegralInRange<size_t>(0, 8));
    const std::vector<uint8_t> rest = in.ConsumeRemainingBytes<uint8_t>();

    SCCallbacks(writeFn, readFn);
    SCChangeProtocol(options | SC_OPT_RESET_ROLE);
    g_answers.clear(); // nothing queued: the drain before the frame finds nothing
    g_writes.clear();
    g_quietReads = 3;

    // The pending bytes are read once before the frame goes out, so queue
    // the answers only after that read: our transport hands them out when
    // the first frame has been written.
    static std::vector<uint8_t> pendingAnswers;
    pendingAnswers = rest;
    struct Arm {
        static int32_t SC_CALL write(uint8_t* d, int32_t n)
        {
            if (g_writes.empty())
                g_answers.assign(pendingAnswers.begin(), pendingAnswers.end());
            return writeFn(d, n);
        }
    };
    SCCallbacks(Arm::write, readFn);

    const int32_t r = SCSend(0, data.data(), static_cast<uint32_t>(data.size()));

    const uint32_t limit = (options & SC_OPT_TWO_BYTE_LENGTH) ? 275 : 255;
    if (data.size() > limit) {
        if (r != SC_ERR_TOO_LONG || !g_writes.empty())
            abort();
        return 0;
    }
    if (g_writes.empty() || g_writes.size() > 3)
        abort();
    for (size_t i = 0; i < g_writes.size(); ++i)
        if (!wellFormed(g_writes[i], data, options & ~SC_OPT_SKIP_START_ONCE, skipStart && i == 0))
            abort(); // a retransmission is always whole
    if (g_failWrites) {
        // Every attempt fails to write, with or without the handshake.
        if (r > 0 || g_writes.size() != 3)
            abort();
    } else if (options & SC_OPT_NO_HANDSHAKE) {
        if (g_writes.size() != 1 || r != int32_t(g_writes[0].size()))
            abort();
    } else if (!(r == 1 || r == SC_ERR_TIMEOUT || r == SC_ERR_UNEXPECTED)) {
        abort();
    }
    if ((options & SC_OPT_NO_RETRANSMIT) && r == SC_ERR_TIMEOUT && g_writes.size() != 1)
        abort(); // a NAK or silence ends the send at once
    return 0;
}
