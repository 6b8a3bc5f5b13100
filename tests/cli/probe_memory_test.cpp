// The scan's memory of other devices' serial ports across runs: a port that
// did not answer is probed once per plug, not once per run of the tool;
// whatever the kept text holds, the scan never trusts more than a well-formed
// entry of it, and the file on disk is replaced whole.
#include "cli_world.h"

#include "modSerialProbes.h"
#include "platform/probe_memory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace tarvexctl::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kModemPort = 9;

// A world with a CDC reader and a modem on COM9 (another vendor's USB
// device) that never answers the probe; counts the frames the modem gets.
struct ModemWorld {
    CliWorld w;
    int probes = 0;
    ModemWorld()
    {
        w.add(SimPersonality::CDC, "0A0B0C0D");
        plugModem("/sys/devices/usb1/1-2 1:7");
        auto reader = w.fakes.serchan.responder;
        w.fakes.serchan.responder = [this, reader](const std::vector<uint8_t>& apdu) {
            if (w.fakes.serchan.openPort == kModemPort) {
                ++probes;
                return std::vector<uint8_t>{};
            }
            return reader(apdu);
        };
    }
    void plugModem(const std::string& identity)
    {
        unplugModem();
        w.fakes.serialMap.add("\\Device\\USBSER009", "COM9", 0x0403, identity);
        w.fakes.serchan.ports[kModemPort] = true;
    }
    void unplugModem()
    {
        auto& v = w.fakes.serialMap.values;
        v.erase(std::remove_if(v.begin(), v.end(), [](const auto& x) { return x.data == std::string("COM9") + '\0'; }),
            v.end());
    }
    void list()
    {
        const auto run = w.run({"list"});
        EXPECT_EQ(run.status, kExitOk);
        EXPECT_EQ(run.console.lines, std::vector<std::string>{"CDC   0A0B0C0D  2.166    COM3"});
    }
};

TEST(ProbeMemory, AnotherDevicesPortIsProbedOncePerPlugAcrossRuns)
{
    const struct {
        const char* name;
        bool remembers;
        std::optional<std::string> kept; // the memory before the first run
        std::function<void(ModemWorld&)> betweenRuns;
        int probes; // after two runs
    } cases[] = {
        {"kept from one run to the next", true, std::nullopt, {}, 1},
        {"nothing kept", false, std::nullopt, {}, 2},
        {"damaged memory counts as nothing", true, std::string("\x01\xff garbage\nCOM9"), {}, 1},
        {"another plug of the device", true, std::nullopt,
            [](ModemWorld& m) { m.plugModem("/sys/devices/usb1/1-2 1:8"); }, 2},
        {"the port left the map and came back", true, std::nullopt,
            [](ModemWorld& m) {
                m.unplugModem();
                m.list();
                m.plugModem("/sys/devices/usb1/1-2 1:7");
            },
            2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModemWorld m;
        m.w.remembersProbes = c.remembers;
        m.w.probeMemory.text = c.kept;
        m.list();
        EXPECT_EQ(m.probes, 1);
        if (c.betweenRuns)
            c.betweenRuns(m);
        m.list();
        EXPECT_EQ(m.probes, c.probes);
    }
}

TEST(ProbeMemory, KeptTextOnlyEverYieldsWellFormedEntries)
{
    using tarvex::SerialProbes;
    const std::string header = "tarvex serial probes 1\n";
    const struct {
        const char* name;
        std::string text;
        std::map<std::string, std::string> ports;
    } cases[] = {
        {"empty", "", {}},
        {"no header", "COM9\tusb 1:7\n", {}},
        {"another version", "tarvex serial probes 2\nCOM9\tusb 1:7\n", {}},
        {"header only, cut short", "tarvex serial probes 1", {}},
        {"good entries", header + "COM9\tusb 1:7\nCOM10\tusb 1:8\n", {{"COM9", "usb 1:7"}, {"COM10", "usb 1:8"}}},
        {"bad lines skipped", header + "COM9 no tab\nLPT1\tusb\n\tusb\nCOM9\t\nCOM11\ta\tb\nCOM12\tusb 1:9\nCOM13\tcut",
            {{"COM12", "usb 1:9"}}},
        {"overlong identity", header + "COM9\t" + std::string(5000, 'x') + "\n", {}},
        {"binary", header + std::string("COM9\t\0\xff\n", 8), {}},
        {"too long as a whole", header + std::string(tarvex::ProbeMemory::kMaxBytes, 'x'), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SerialProbes::fromText(c.text), c.ports);
    }

    // What is written reads back; a port whose device has no identity is
    // not written (its next plug could not be told apart).
    SerialProbes probes;
    tarvex::SerialMapValue modem;
    modem.usbVendor = 0x0403;
    modem.instance = "usb 1:7";
    probes.probed("COM9", modem, false);
    modem.instance.clear();
    probes.probed("COM10", modem, false);
    EXPECT_EQ(SerialProbes::fromText(probes.toText()), (std::map<std::string, std::string>{{"COM9", "usb 1:7"}}));
}

// The file behind it: in the user's runtime folder, replaced whole, and
// nothing kept where there is no such folder.
TEST(ProbeMemory, FileInTheRuntimeFolder)
{
    const fs::path dir = fs::temp_directory_path() / ("probe-memory-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string before = saved ? saved : "";

    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(tarvex::makeSystemProbeMemory(), nullptr);
    ::setenv("XDG_RUNTIME_DIR", "relative/path", 1);
    EXPECT_EQ(tarvex::makeSystemProbeMemory(), nullptr);

    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    auto memory = tarvex::makeSystemProbeMemory();
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(memory->load(), std::nullopt);
    ASSERT_TRUE(memory->save("one\n"));
    ASSERT_TRUE(memory->save("two\n"));
    EXPECT_EQ(memory->load(), std::optional<std::string>("two\n"));
    struct stat st;
    ASSERT_EQ(::stat((dir / "tarvex").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // Only the file itself: no temporary left beside it.
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(dir / "tarvex")) {
        EXPECT_EQ(e.path().filename(), "serial-probes");
        ++files;
    }
    EXPECT_EQ(files, 1u);
    // A file grown beyond what we write is not read.
    std::ofstream(dir / "tarvex" / "serial-probes") << std::string(tarvex::ProbeMemory::kMaxBytes + 1, 'x');
    EXPECT_EQ(memory->load(), std::nullopt);

    if (saved)
        ::setenv("XDG_RUNTIME_DIR", before.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
    fs::remove_all(dir);
}

} // namespace
} // namespace tarvexctl::testing
