#include "cli_world.h"

#include "modUSB.h"

#include <algorithm>

namespace tarvexctl::testing {

using tarvex::fakes::FakeDrives;

namespace {
const char* const kHidDeviceId = "HID\\VID_6A4E&PID_0013\\7&2A8F1C&0&0000";
}

CliWorld::CliWorld()
{
    // Serial replies are polled against the clock: let it move on reads.
    fakes.clock.autoAdvance = 1;
    fakes.pcsc.responder = [this](const std::vector<uint8_t>& apdu) {
        // One card connection at a time: the reader of the open one answers.
        if (fakes.pcsc.open.size() == 1)
            if (SimulatedReader* r = byPcscName(fakes.pcsc.open.begin()->second))
                return r->model.process(apdu);
        return std::vector<uint8_t>{0x6F, 0x00};
    };
    fakes.serchan.responder = [this](const std::vector<uint8_t>& apdu) {
        if (SimulatedReader* r = byPort(fakes.serchan.openPort))
            return r->model.process(apdu);
        return std::vector<uint8_t>{};
    };
    fakes.pcsc.beforeList = [this] {
        applyDue();
        if (onListing)
            onListing();
    };
    fakes.launcher.onStart = [this] {
        ++kbflashStarts_;
        // The reader leaves HID on the second pattern and comes back as it
        // was before (CDC here, as the simulator does by default).
        if (kbflashStarts_ % 2 == 0)
            for (auto& r : readers)
                if (r->shownAs == SimPersonality::HID) {
                    show(*r, std::nullopt);
                    r->returning = SimPersonality::CDC;
                    r->returnsAt = fakes.clock.now + r->restartMs;
                    zn480sim::ReaderConfig c = r->model.config();
                    c.personality = SimPersonality::CDC;
                    r->model.setConfig(c);
                }
        if (onKbflash)
            onKbflash(kbflashStarts_);
    };
}

SimulatedReader& CliWorld::add(SimPersonality p, const std::string& serial, uint16_t fwMinor)
{
    auto r = std::make_unique<SimulatedReader>();
    const int k = int(readers.size());
    r->pcscName = "ZN480 Sim " + std::to_string(k);
    r->port = 3 + k;
    zn480sim::ReaderConfig c;
    for (int i = 0; i < 4; ++i)
        c.serial[i] = uint8_t(std::stoul(serial.substr(size_t(2 * i), 2), nullptr, 16));
    c.fwMinor = fwMinor;
    c.personality = p;
    r->model.setConfig(c);
    SimulatedReader* raw = r.get();
    r->model.onReboot([this, raw](SimPersonality into) {
        // Gone at once; back after the restart, unless it never comes.
        show(*raw, std::nullopt);
        if (!raw->comesBack)
            return;
        raw->returning = into;
        raw->returnsAt = fakes.clock.now + raw->restartMs;
    });
    readers.push_back(std::move(r));
    show(*raw, p);
    return *raw;
}

void CliWorld::show(SimulatedReader& r, std::optional<SimPersonality> p)
{
    auto& pcscReaders = fakes.pcsc.readers;
    pcscReaders.erase(
        std::remove_if(pcscReaders.begin(), pcscReaders.end(), [&](const auto& x) { return x.name == r.pcscName; }),
        pcscReaders.end());
    const std::string port = "COM" + std::to_string(r.port);
    auto& map = fakes.serialMap.values;
    map.erase(std::remove_if(map.begin(), map.end(),
                  [&](const tarvex::SerialMapValue& v) { return v.data == port + std::string(1, '\0'); }),
        map.end());
    fakes.serchan.ports.erase(r.port);
    if (r.shownAs == SimPersonality::HID)
        fakes.hid.ids.clear();
    if (r.shownAs == SimPersonality::MSD)
        fakes.drives.drives.clear();
    r.shownAs = p;
    if (!p)
        return;
    switch (*p) {
    case SimPersonality::CCID: {
        tarvex::fakes::FakePcsc::Reader pr;
        pr.name = r.pcscName;
        pr.cardPresent = r.cardPresent;
        pcscReaders.push_back(pr);
        break;
    }
    case SimPersonality::CDC:
        fakes.serialMap.add("\\Device\\USBSER00" + std::to_string(r.port), port);
        fakes.serchan.ports[r.port] = true;
        break;
    case SimPersonality::HID:
        fakes.hid.ids.push_back(kHidDeviceId);
        break;
    case SimPersonality::MSD:
        fakes.drives.drives.push_back({"m:", tarvex::DRIVE_TYPE_FIXED, true, {"APDU_314.MSD"}});
        break;
    }
}

void CliWorld::applyDue()
{
    for (auto& r : readers)
        if (r->returning && tarvex::elapsedMs(r->returnsAt, fakes.clock.now) < 0x80000000u) {
            const SimPersonality p = *r->returning;
            r->returning.reset();
            show(*r, p);
        }
}

SimulatedReader* CliWorld::byPcscName(const std::string& name)
{
    for (auto& r : readers)
        if (r->pcscName == name && r->shownAs == SimPersonality::CCID)
            return r.get();
    return nullptr;
}

SimulatedReader* CliWorld::byPort(int port)
{
    for (auto& r : readers)
        if (r->port == port && r->shownAs == SimPersonality::CDC)
            return r.get();
    return nullptr;
}

namespace {
tarvex::Services withProbeMemory(tarvex::Services services, tarvex::ProbeMemory* memory)
{
    services.probeMemory = memory;
    return services;
}
} // namespace

Rig::Rig(tarvex::fakes::FakeWorld& fakes, Console& console, tarvex::ProbeMemory* probeMemory)
    : ui(fakes.clock, console), core(withProbeMemory(fakes.services(), probeMemory), ui),
      scans(core, fakes.clock, events)
{
    ui.setScans(&scans);
}

CliWorld::Run CliWorld::run(const std::vector<std::string>& args, uint64_t watchCycles)
{
    Run result;
    const ParseResult parsed = parseArguments(args);
    if (!parsed.error.empty()) {
        result.console.message(parsed.error);
        result.status = kExitRefused;
        return result;
    }
    Rig rig(fakes, result.console, remembersProbes ? &probeMemory : nullptr);
    Tool tool{rig.core, rig.scans, rig.ui, result.console, fakes.clock};
    result.startMs = fakes.clock.now;
    switch (parsed.options.command) {
    case Command::List:
        result.status = runList(tool, parsed.options);
        break;
    case Command::Switch:
        result.status = runSwitch(tool, parsed.options);
        break;
    case Command::Watch:
        result.status = runWatch(tool, parsed.options, watchCycles);
        break;
    default:
        result.status = kExitOk;
        break;
    }
    result.endMs = fakes.clock.now;
    result.cycles = rig.scans.cycles();
    return result;
}

std::vector<std::string> commandsSince(const SimulatedReader& reader, size_t from)
{
    const std::vector<std::string> all = reader.model.log();
    return std::vector<std::string>(all.begin() + std::ptrdiff_t(std::min(from, all.size())), all.end());
}

bool containsRun(const std::vector<std::string>& all, const std::vector<std::string>& want)
{
    return std::search(all.begin(), all.end(), want.begin(), want.end()) != all.end();
}

} // namespace tarvexctl::testing
