/* serchan: one APDU per frame over a serial port, with ACK/NAK handshake.
 *
 * C ABI. On Windows the library is SERCHAN.dll and every export uses the
 * Windows API calling convention (__stdcall), undecorated; on Linux it is
 * libserchan.so. The library drives one port per process: the "channel"
 * arguments are the caller's bookkeeping only. Every failure is a negative
 * result; the library allocates nothing and never keeps caller buffers. */
#ifndef SERCHAN_H
#define SERCHAN_H

#include <stdint.h>

#if defined(_WIN32)
#define SC_CALL __stdcall
#if defined(SERCHAN_BUILD)
#define SC_EXPORT __declspec(dllexport)
#else
#define SC_EXPORT __declspec(dllimport)
#endif
#else
#define SC_CALL
#define SC_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Protocol option bits (SCOpenChannel, SCChangeProtocol, SCAddProtocol, SCDelProtocol). */
#define SC_OPT_NO_START_BYTE 0x01                    /* received frames carry no start byte */
#define SC_OPT_NO_HANDSHAKE 0x02                     /* no ACK/NAK in either direction */
#define SC_OPT_INVERTED_CHECK 0x04                   /* check byte is the complement of the XOR */
#define SC_OPT_RESET_ROLE 0x08                       /* command: forget the exchange role; never stored */
#define SC_OPT_NO_RETRANSMIT 0x10                    /* a NAK or 300 ms of silence ends SCSend at once */
#define SC_OPT_TWO_BYTE_LENGTH 0x20                  /* sent frames carry a 2-byte length, up to 275 bytes */
#define SC_OPT_SKIP_START_ONCE ((int32_t)0x80000000) /* next SCSend omits its start byte once */

/* Result codes. */
#define SC_ERR_NO_ROOM (-1)     /* receive buffer full / bad length to the port layer */
#define SC_ERR_PORT (-2)        /* port read or write failed */
#define SC_ERR_TIMEOUT (-14)    /* NAK or silence after the last attempt; stalled frame */
#define SC_ERR_ACK_WRITE (-15)  /* the ACK for a good frame could not be written */
#define SC_ERR_TOO_LONG (-18)   /* data longer than allowed / than the capacity */
#define SC_ERR_UNEXPECTED (-19) /* foreign answer byte, no start byte, wrong sequence */
#define SC_ERR_BAD_FRAME (-32)  /* wrong check byte or empty frame; a NAK was sent */

/* A caller-installed byte transport. write: returns the count written (> 0)
 * or <= 0 on failure. read: returns at most `length` bytes that are already
 * available without waiting (0 when none), or < 0 on failure. */
typedef int32_t(SC_CALL* SCTransportFn)(uint8_t* data, int32_t length);

SC_EXPORT int32_t SC_CALL SCOpenChannel(int32_t port, uint32_t baudRate, int32_t options);
SC_EXPORT int32_t SC_CALL SCCloseChannel(int32_t channel);
SC_EXPORT int32_t SC_CALL SCSend(int32_t channel, const uint8_t* data, uint32_t length);
SC_EXPORT int32_t SC_CALL SCReceive(int32_t channel, uint8_t* buffer, uint32_t capacity);
SC_EXPORT int32_t SC_CALL SCTransmit(
    int32_t channel, const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t capacity, uint32_t timeoutMs);
SC_EXPORT SCTransportFn SC_CALL SCCallbacks(SCTransportFn writeFn, SCTransportFn readFn);
SC_EXPORT int32_t SC_CALL SCChangeProtocol(int32_t options);
SC_EXPORT int32_t SC_CALL SCAddProtocol(int32_t bits);
SC_EXPORT int32_t SC_CALL SCDelProtocol(int32_t bits);

#ifdef __cplusplus
}
#endif

#endif /* SERCHAN_H */
