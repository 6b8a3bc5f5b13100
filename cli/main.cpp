// tarvexctl: the reader core on the command line, on this machine's
// services and device watches.
#include "interrupts.h"
#include "program.h"
#include "terminal.h"

#include "core/system_services.h"
#include "platform/device_watch.h"

#include <memory>
#include <string>
#include <vector>

#ifndef TARVEX_VERSION
#define TARVEX_VERSION "unknown"
#endif

namespace {

using namespace tarvex;

class MachineEnvironment : public tarvexctl::Environment {
public:
    const Services& services() override { return system_.services(); }
    tarvexctl::DeviceEvents& events() override { return events_; }
    std::shared_ptr<void> watchDevices() override
    {
        struct Watches {
            std::unique_ptr<DeviceWatch> devices, readers;
        };
        auto w = std::make_shared<Watches>();
        const DeviceChanged changed = [this] { events_.notify(); };
        w->devices = watchSystemDevices(changed);
        w->readers = watchPcscReaders(pcsc::loadSystemPcsc(), changed);
        return w;
    }
    bool interactive() const override
    {
        return tarvexctl::isTerminal(tarvexctl::Stream::Err) && tarvexctl::isTerminal(tarvexctl::Stream::In);
    }
    std::string version() const override { return TARVEX_VERSION; }

private:
    // Services live as long as the program; the core holds plain pointers.
    // Made on first use: --help and a bad command line touch no service.
    struct Lazy {
        std::unique_ptr<SystemServices> system;
        std::unique_ptr<ProbeMemory> probeMemory;
        Services services_;
        const Services& services()
        {
            if (!system) {
                system = std::make_unique<SystemServices>();
                // A script may run the tool every few seconds: what other
                // devices' ports said to the probe is kept from one run to
                // the next.
                probeMemory = makeSystemProbeMemory();
                services_ = system->services();
                services_.probeMemory = probeMemory.get();
            }
            return services_;
        }
    } system_;
    tarvexctl::DeviceEvents events_;
};

} // namespace

int main(int argc, char* argv[])
{
    tarvexctl::installInterruptHandlers();
    tarvexctl::StdConsole console(stdout, stderr, tarvexctl::isTerminal(tarvexctl::Stream::Err));
    MachineEnvironment env;
    return tarvexctl::runProgram(std::vector<std::string>(argv + 1, argv + argc), console, env);
}
