// Everything the reader core reaches outside itself, gathered so that a
// front end wires the real platform services and tests wire fakes.
#pragma once
#include "platform/clock.h"
#include "platform/drives.h"
#include "platform/hid_enum.h"
#include "platform/probe_memory.h"
#include "platform/pcsc.h"
#include "platform/process.h"
#include "platform/serchan_api.h"
#include "platform/serial_map.h"
#include <string>

namespace tarvex {

struct Services {
    Clock* clock = nullptr;
    pcsc::Api* pcsc = nullptr;
    SerchanApi* serchan = nullptr;
    SerialPortMap* serialMap = nullptr;
    HidEnumerator* hid = nullptr;
    Drives* drives = nullptr;
    ProcessLauncher* launcher = nullptr;
    // Where the scan keeps which other devices' serial ports did not answer
    // its probe across runs; null: only for the life of the core.
    ProbeMemory* probeMemory = nullptr;
    // Full path of the LED tool (programDir() + separator + kbflashFileName()).
    std::string kbflashPath;
};

} // namespace tarvex
