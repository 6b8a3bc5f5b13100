// A scripted byte line installed through SCCallbacks: records what the library
// writes and hands it prepared chunks to read. The library takes plain
// function pointers, so the line is one global object.
#pragma once

#include "serchan.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

namespace fake {

using Bytes = std::vector<uint8_t>;

struct Line {
    std::vector<Bytes> writes;         // one entry per write call
    std::deque<Bytes> incoming;        // a read returns from the front chunk only
    std::optional<int32_t> writeFails; // when set, writes return this
    std::optional<int32_t> readFails;  // when set, reads return this
    // The peer's reaction to each write (e.g. queue an ACK after a frame).
    std::function<void(const Bytes&)> onWrite;
    int reads = 0;
    int writeCalls = 0; // including failed ones

    // A read that finds nothing and takes `ms` (the thread was away, say in
    // a coarse sleep), while `bytes` land for the next read. It comes after
    // `afterReads` further reads that go as usual.
    struct Stall {
        int afterReads = 0;
        int ms = 0;
        Bytes bytes;
    };
    std::optional<Stall> stall;

    void clear() { *this = Line{}; }
    void feed(Bytes chunk) { incoming.push_back(std::move(chunk)); }
    // Writes of more than one byte: the frames (single bytes are ACK/NAK).
    std::vector<Bytes> frames() const
    {
        std::vector<Bytes> out;
        for (const auto& w : writes)
            if (w.size() > 1)
                out.push_back(w);
        return out;
    }
    // Single-byte writes: the handshake bytes the library sent.
    Bytes handshakes() const
    {
        Bytes out;
        for (const auto& w : writes)
            if (w.size() == 1)
                out.push_back(w[0]);
        return out;
    }
};

inline Line& line()
{
    static Line l;
    return l;
}

inline int32_t SC_CALL write(uint8_t* data, int32_t length)
{
    Line& l = line();
    ++l.writeCalls;
    if (l.writeFails)
        return *l.writeFails;
    Bytes b(data, data + length);
    l.writes.push_back(b);
    if (l.onWrite)
        l.onWrite(b);
    return length;
}

inline int32_t SC_CALL read(uint8_t* data, int32_t length)
{
    Line& l = line();
    ++l.reads;
    if (l.readFails)
        return *l.readFails;
    if (l.stall && l.stall->afterReads-- == 0) {
        const Line::Stall s = *l.stall;
        l.stall.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(s.ms));
        l.feed(s.bytes);
        return 0;
    }
    if (l.incoming.empty() || length <= 0)
        return 0;
    Bytes& front = l.incoming.front();
    const size_t n = front.size() < static_cast<size_t>(length) ? front.size() : static_cast<size_t>(length);
    std::copy(front.begin(), front.begin() + static_cast<long>(n), data);
    front.erase(front.begin(), front.begin() + static_cast<long>(n));
    if (front.empty())
        l.incoming.pop_front();
    return static_cast<int32_t>(n);
}

// The peer answers successive frames with these bytes, one per frame; frames
// beyond the list get no answer.
inline void answerFrames(Bytes answers)
{
    auto left = std::make_shared<std::deque<uint8_t>>(answers.begin(), answers.end());
    line().onWrite = [left](const Bytes& w) {
        if (w.size() > 1 && !left->empty()) {
            line().feed({left->front()});
            left->pop_front();
        }
    };
}

// A frame as the peer builds it (written here, apart from the library's code).
struct FrameOpts {
    uint8_t start = 0x02;
    bool withStart = true;
    bool twoByteLength = false;
    bool inverted = false;
    std::optional<uint8_t> check; // override the check byte
};

inline Bytes frame(uint8_t seq, const Bytes& data, FrameOpts o = {})
{
    Bytes f{o.start, seq};
    const uint32_t len = static_cast<uint32_t>(data.size());
    if (o.twoByteLength) {
        f.push_back(static_cast<uint8_t>(len >> 8));
        f.push_back(static_cast<uint8_t>(len));
    } else {
        f.push_back(static_cast<uint8_t>(len));
    }
    f.insert(f.end(), data.begin(), data.end());
    uint8_t x = 0;
    for (uint8_t b : f)
        x ^= b;
    if (o.inverted)
        x = static_cast<uint8_t>(~x);
    f.push_back(o.check ? *o.check : x);
    if (!o.withStart)
        f.erase(f.begin());
    return f;
}

} // namespace fake
