// The reader in CDC personality: the far end of a pseudo-terminal, speaking
// the framed, acknowledged protocol on its own thread.
#pragma once
#include "zn480sim/reader.h"
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace zn480sim {

class CdcPeer {
public:
    explicit CdcPeer(Reader& reader);
    ~CdcPeer();

    // Opens a pty and starts serving; false when no pty could be made.
    bool start();
    // Closes the master side: to the program this is an unplug.
    void stop();
    // Path of the pty slave the program opens (e.g. /dev/pts/7).
    std::string slavePath() const;
    // Makes `linkPath` a symlink to the slave (e.g. DIR/ttyACM2 for COM3).
    bool linkAs(const std::string& linkPath) const;

    // ---- Fault switches (each applies to the frames that follow)
    void nakNext(int frames);                    // answer the next N frames with NAK
    void setSilent(bool silent);                 // read frames, answer nothing
    void foreignByteNext(uint8_t byte);          // answer the next frame with this byte instead of ACK
    void replyInPieces(int pieces, int pauseMs); // split following replies, pausing between pieces
    void stopMidFrameNext();                     // next reply: send only its first half
    void wrongSequenceNext();                    // next reply carries another sequence number
    void badCheckNext();                         // next reply carries a wrong check byte
    void noReplyNext();                          // ACK the next frame but send no reply
    void floodGarbage(size_t bytes);             // write bytes with no start byte at once
    // Takes no bytes from the line while set, like a reader whose firmware
    // hung or whose endpoint keeps NAKing: the host's writes back up until
    // they block. Cleared, it drops what queued meanwhile (a reader coming
    // back has forgotten it) and serves again.
    void stopReading(bool stop);

    // Counters for tests.
    int framesReceived() const;
    int acksReceived() const;
    int naksReceived() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zn480sim
