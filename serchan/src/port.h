// The port layer: one serial port per process, opened by its number.
//
// Two backends implement this interface (port_win32.cpp, port_posix.cpp);
// the build picks one. Results follow the library's codes (serchan.h): see
// each function.
#pragma once

#include "serchan.h"

#include <cstdint>

namespace serchan::port {

// Failures of open() that no export passes on (SCOpenChannel reports any
// failed open as 0); the values keep the cases apart for the port tests.
constexpr int32_t kOpenAlreadyOpen = -1;
constexpr int32_t kOpenLineRefused = -3;
constexpr int32_t kOpenTimeoutsRefused = -5;

// Opens COM(port & 0xFF) at `baud`, 8N1, reads that never wait.
//   0 opened; kOpenAlreadyOpen a port is already open; SC_ERR_PORT the
//   device cannot be opened; kOpenLineRefused line settings refused and the
//   port is no USB CDC port (nothing left open); kOpenTimeoutsRefused
//   time-outs refused (the port stays open: the caller closes it).
int32_t open(int32_t port, uint32_t baud);

// Closes the port if one is open. Harmless when none is.
void close();

// Writes every byte, waiting until the driver has taken them all, but not
// for ever: a device that stops taking bytes for 5 s fails the write.
// Returns `length`, or SC_ERR_PORT on any failure (also when no port is open).
int32_t write(const uint8_t* data, int32_t length);

// Reads at most `max` bytes of what the driver already holds, never waiting.
// Returns the count (0 when nothing is queued), SC_ERR_NO_ROOM when
// max <= 0, SC_ERR_PORT on failure or when no port is open.
int32_t read(uint8_t* buffer, int32_t max);

// Bytes held in the driver's input queue (0 when unknown or no port).
int32_t bytesWaiting();

// Waits at most `ms` for input to arrive on the open port, blocked in the
// system rather than polling; returns early when some does (and may return
// before `ms` without input: callers wait again until their deadline). Just
// sleeps when no port is open. Pollers use it instead of a blind sleep so
// that they see an answer as soon as it lands.
void waitReadable(uint32_t ms);

// Sleeps `ms` milliseconds.
void sleepMs(uint32_t ms);

// Millisecond tick counter; wraps at 2^32, so only differences in unsigned
// 32-bit arithmetic are meaningful.
uint32_t tickCount();

} // namespace serchan::port
