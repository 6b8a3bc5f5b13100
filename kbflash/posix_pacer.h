// What both Linux backends share: stop requests by signal, pauses that a
// stop request cuts short, and unbuffered writes to standard output.
#pragma once
#include "lock_keys.h"

namespace kbflash {

// Catches SIGINT, SIGTERM, SIGHUP and SIGQUIT (so the pattern can put the
// LEDs back before the tool ends) and ignores SIGPIPE.
void installStopHandlers();
// Sleeps `ms` on the monotonic clock; false as soon as a stop was requested.
bool sleepUnlessStopped(unsigned ms);
// Sleeps about `ms`, ignoring interruptions other than a stop request.
void sleepShort(long ms);
// Writes all of `text` to standard output; gives up quietly when nobody
// reads it, since the LEDs matter and the text does not.
void writeOut(std::string_view text);

class PosixPacer final : public Pacer {
public:
    bool sleepMs(unsigned ms) override { return sleepUnlessStopped(ms); }
    void write(std::string_view text) override { writeOut(text); }
};

} // namespace kbflash
