// Parsing of list-entry text, and the reader core's procedures that read an
// entry back: the typed entry (key, personality, address, identity) must
// give back exactly the text it was read from, and OpenDevice, the
// identity read-back written into the entry and CheckVersion must hold up
// against any text. No window and no QApplication: the core is driven with
// fakes as a front end would drive it.
//
// Input: kind byte (DevKind), the minimum for CheckVersion, the open port,
// then three strings (entry text, serial reply bytes, firmware reply bytes).
#include "core/reader_core.h"
#include "fakes.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <memory>

using namespace tarvex;

namespace {

struct Harness {
    fakes::FakeWorld world;
    fakes::FakeReaderUi ui;
    std::unique_ptr<ReaderCore> core;
    std::vector<uint8_t> serialReply, firmwareReply;
};

Harness* g_h = nullptr;

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_h = new Harness;
    auto& w = g_h->world;
    w.pcsc.responder = [](const std::vector<uint8_t>& cmd) {
        std::vector<uint8_t> r = cmd.size() >= 3 && cmd[2] == 0xF0 ? g_h->serialReply : g_h->firmwareReply;
        return r;
    };
    w.clock.autoAdvance = 1;
    g_h->core = std::make_unique<ReaderCore>(w.services(), g_h->ui);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    Harness& h = *g_h;
    ReaderCore& core = *h.core;
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    const int16_t minimum = in.ConsumeIntegral<int16_t>();
    const int32_t port = in.ConsumeIntegralInRange<int32_t>(-2, 300);
    const std::string text = in.ConsumeRandomLengthString(200);
    const std::string serial = in.ConsumeRandomLengthString(40);
    h.serialReply.assign(serial.begin(), serial.end());
    h.firmwareReply = in.ConsumeRemainingBytes<uint8_t>();

    // The typed entry reads every text and gives it back unchanged.
    const ListEntry entry = ListEntry::parse(text);
    const std::string key = FilterExtra(text);
    if (entry.text() != text || entry.key != key || key.find(kSuffixSeparator) != std::string::npos)
        abort();
    if (entry.identity && entry.serial().size() + entry.firmware().size() > entry.identity->size())
        abort();
    if (entry.personality == Personality::Cdc && comPortOfEntry(text) != 0
        && (comPortOfEntry(text) < 1 || comPortOfEntry(text) > 255))
        abort();
    const FirmwareVersion v = firmwareOfEntry(text);
    if (v.reading == FirmwareVersion::Read && !entry.identity)
        abort();

    // The reader the entry names (as the scan would have listed it) holds
    // a card; the serial port of the input is one of ours.
    h.world.pcsc.readers.clear();
    if (key.size() > 5)
        h.world.pcsc.readers.push_back({key.substr(5)});
    h.world.serchan.ports.clear();
    h.world.serchan.ports[port] = true;
    h.world.serchan.openPort = 0;
    h.ui.answers.assign({false, false, false});

    DeviceList& list = core.list();
    while (list.count() > 0)
        list.remove(0);
    list.select(list.append(text));
    core.FillFrom();
    ReaderSession& session = core.session();
    session.DevKind = kind % 5 == 4 ? int16_t(kind) : int16_t(kind % 4);

    if (core.CheckList(key) != 0)
        abort();
    const bool opened = core.OpenDevice();
    if (opened && session.DevKind == DEVKIND_CDC && session.ChannelHandle != port)
        abort();
    if (list.selected() == 0) {
        const int16_t r = core.CheckVersion(minimum);
        if (r < -1 || r > 1)
            abort();
        // Whatever the read-back wrote, the entry still keys as before. A
        // name ending in " -" runs into the separator and cannot keep its
        // key (a known limit of the entry format, left as it is).
        if (!endsWith(key, " -") && FilterExtra(list.text(0)) != key)
            abort();
    }
    core.CloseDevice();
    if (core.lockDepth() != 0)
        abort();
    h.ui.messages.clear();
    h.world.pcsc.calls.clear();
    h.world.serchan.sent.clear();
    return 0;
}
