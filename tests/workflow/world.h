// The window fixture with one simulated reader answering both the PC/SC
// and the serial transport.
#pragma once
#include "window_fixture.h"
#include "zn480sim/reader.h"

namespace tarvex::testing {

constexpr const char* kReaderName = "ZN480 Sim 0";
constexpr const char* kCcidEntry = "CCID ZN480 Sim 0 - 01020304 (2.166)";
constexpr const char* kCdcEntry = "COM3 ZN480 CDC - 01020304 (2.166)";
constexpr const char* kHidEntry = "HID ZN480 Keyboard 0";

struct World : WindowFixture {
    zn480sim::Reader reader;

    World()
    {
        auto answer = [this](const std::vector<uint8_t>& apdu) { return reader.process(apdu); };
        fakes.pcsc.readers.push_back({kReaderName});
        fakes.pcsc.responder = answer;
        fakes.serchan.ports[3] = true;
        fakes.serchan.responder = answer;
        session().smart().InitSmart();
    }

    std::vector<std::string> commands() const { return reader.log(); }
};

} // namespace tarvex::testing
