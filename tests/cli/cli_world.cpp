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

namespace {
// The fake world as the program's machine: no watches (the tests post
// their notices through the fakes' hooks), no person at the console.
class FakeEnvironment : public Environment {
public:
    FakeEnvironment(tarvex::fakes::FakeWorld& fakes, uint64_t watchCycles, tarvex::ProbeMemory* probeMemory)
        : fakes_(fakes), watchCycles_(watchCycles), probeMemory_(probeMemory)
    {
    }
    const tarvex::Services& services() override
    {
        services_ = fakes_.services();
        services_.probeMemory = probeMemory_;
        return services_;
    }
    DeviceEvents& events() override { return events_; }
    uint64_t watchCycles() const override { return watchCycles_; }
    std::string version() const override { return "9.9.9"; }
    void scanned(uint64_t cycles) override { cycles_ = cycles; }
    uint64_t cycles_ = 0;

private:
    tarvex::fakes::FakeWorld& fakes_;
    tarvex::Services services_;
    FakeEvents events_;
    uint64_t watchCycles_;
    tarvex::ProbeMemory* probeMemory_;
};
} // namespace

CliWorld::Run CliWorld::run(const std::vector<std::string>& args, uint64_t watchCycles, size_t linesUntilFailure)
{
    Run result;
    result.console.linesUntilFailure = linesUntilFailure;
    FakeEnvironment env(fakes, watchCycles, remembersProbes ? &probeMemory : nullptr);
    clearInterrupt();
    result.startMs = fakes.clock.now;
    result.status = runProgram(args, result.console, env);
    result.endMs = fakes.clock.now;
    result.cycles = env.cycles_;
    clearInterrupt();
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
