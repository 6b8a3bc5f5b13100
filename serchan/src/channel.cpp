// The nine exports. A channel is just the port number: the library keeps one
// port, one transport and one protocol state for the whole process.
#include "serchan.h"

#include "port.h"
#include "protocol.h"

namespace {

uint32_t g_baudRate = 0; // stored by SCOpenChannel before the port is opened
uint8_t g_channelOpen = 0;

// Opens or closes the one port; a failed open leaves no port open, including
// one that was open before (opening twice fails and closes).
void setChannel(int32_t port, bool open)
{
    if (open) {
        if (serchan::port::open(port, g_baudRate) == 0) {
            g_channelOpen = 1;
            return;
        }
    }
    g_channelOpen = 0;
    serchan::port::close();
}

} // namespace

extern "C" {

SC_EXPORT int32_t SC_CALL SCOpenChannel(int32_t port, uint32_t baudRate, int32_t options)
{
    g_baudRate = baudRate;
    setChannel(port, true);
    if (!g_channelOpen)
        return 0;
    // Stored as given: SC_OPT_RESET_ROLE is only a command to SCChangeProtocol.
    serchan::protocol::storeOptions(static_cast<uint32_t>(options));
    return port;
}

SC_EXPORT int32_t SC_CALL SCCloseChannel(int32_t channel)
{
    // With both transport functions installed the caller owns the line.
    if (serchan::protocol::bothTransportsInstalled())
        return 1;
    setChannel(channel, false);
    return 0;
}

SC_EXPORT int32_t SC_CALL SCSend(int32_t, const uint8_t* data, uint32_t length)
{
    return serchan::protocol::send(data, length);
}

SC_EXPORT int32_t SC_CALL SCReceive(int32_t, uint8_t* buffer, uint32_t capacity)
{
    return serchan::protocol::receive(buffer, capacity);
}

SC_EXPORT int32_t SC_CALL SCTransmit(
    int32_t, const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs)
{
    return serchan::protocol::transmit(data, length, buffer, capacity, timeoutMs);
}

SC_EXPORT SCTransportFn SC_CALL SCCallbacks(SCTransportFn writeFn, SCTransportFn readFn)
{
    serchan::protocol::setTransport(writeFn, readFn);
    return writeFn;
}

SC_EXPORT int32_t SC_CALL SCChangeProtocol(int32_t options)
{
    return static_cast<int32_t>(serchan::protocol::changeOptions(static_cast<uint32_t>(options)));
}

SC_EXPORT int32_t SC_CALL SCAddProtocol(int32_t bits)
{
    return static_cast<int32_t>(
        serchan::protocol::changeOptions(serchan::protocol::options() | static_cast<uint32_t>(bits)));
}

SC_EXPORT int32_t SC_CALL SCDelProtocol(int32_t bits)
{
    return static_cast<int32_t>(
        serchan::protocol::changeOptions(serchan::protocol::options() & ~static_cast<uint32_t>(bits)));
}

} // extern "C"
