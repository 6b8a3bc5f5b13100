// The window fixture with a reader that answers every command 90 00 unless a
// test scripts another answer.
#pragma once
#include "window_fixture.h"

#include <map>

namespace tarvex::guitest {

using testing::app;
using Bytes = std::vector<uint8_t>;

inline Bytes hexBytes(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

constexpr const char* kReader = "ZN480 Sim 0";

struct Gui : testing::WindowFixture {
    testing::WindowFakes& world = fakes;
    // Answers by command hex (upper case); anything else gets 90 00.
    std::map<std::string, Bytes> answers;

    Gui()
    {
        world.pcsc.readers.push_back({kReader});
        world.pcsc.responder = [this](const Bytes& c) { return answer(c); };
        world.serchan.responder = [this](const Bytes& c) { return answer(c); };
        session().smart().InitSmart();
    }

    Bytes answer(const Bytes& command)
    {
        auto it = answers.find(testing::hexOf(command));
        return it == answers.end() ? Bytes{0x90, 0x00} : it->second;
    }

    // Opens the simulated reader's card connection for CCID traffic.
    void useCcid()
    {
        session().DevKind = DEVKIND_CCID;
        session().smart().SelectReader(kReader);
        session().smart().ConnectCard();
    }
    void useCdc(int port = 3)
    {
        world.serchan.ports[port] = true;
        session().DevKind = DEVKIND_CDC;
        session().ChannelHandle = port;
    }
};

} // namespace tarvex::guitest
