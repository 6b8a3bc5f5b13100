#include "modSerialProbes.h"

#include <algorithm>

namespace tarvex {

namespace {

const char kHeader[] = "tarvex serial probes 1";
// Far beyond any machine's ports; a file with more is no file of ours.
constexpr size_t kMaxPorts = 512;
constexpr size_t kMaxPortName = 16;
constexpr size_t kMaxIdentity = 1024;

bool storable(const std::string& text, size_t limit)
{
    return text.size() <= limit && text.find_first_of("\t\n\r") == std::string::npos;
}

} // namespace

bool SerialProbes::alwaysProbed(const SerialMapValue& value)
{
    return value.usbVendor == kReaderUsbVendor || (value.userNamed && value.usbVendor == 0);
}

bool SerialProbes::shouldProbe(const std::string& port, const SerialMapValue& value) const
{
    if (alwaysProbed(value))
        return true;
    const auto it = refused_.find(port);
    return it == refused_.end() || it->second != value.instance;
}

void SerialProbes::probed(const std::string& port, const SerialMapValue& value, bool foundReader)
{
    const auto before = refused_;
    if (foundReader || alwaysProbed(value))
        refused_.erase(port);
    else
        refused_[port] = value.instance;
    if (refused_ != before)
        changed();
}

void SerialProbes::keepOnly(const std::vector<std::string>& presentPorts)
{
    bool any = false;
    for (auto it = refused_.begin(); it != refused_.end();) {
        if (std::find(presentPorts.begin(), presentPorts.end(), it->first) == presentPorts.end()) {
            it = refused_.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    if (any)
        changed();
}

void SerialProbes::rememberIn(ProbeMemory* memory)
{
    memory_ = memory;
    if (!memory_)
        return;
    const std::optional<std::string> text = memory_->load();
    if (text)
        refused_ = fromText(*text);
}

void SerialProbes::changed()
{
    // Not kept is not lost: the port is probed once more in a later run.
    if (memory_)
        memory_->save(toText());
}

std::string SerialProbes::toText() const
{
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [port, identity] : refused_)
        // A port whose device has no known identity cannot be told from its
        // next plug: kept for this run only.
        if (!identity.empty() && storable(port, kMaxPortName) && storable(identity, kMaxIdentity))
            text += port + "\t" + identity + "\n";
    return text;
}

std::map<std::string, std::string> SerialProbes::fromText(const std::string& text)
{
    std::map<std::string, std::string> ports;
    if (text.size() > ProbeMemory::kMaxBytes || text.rfind(std::string(kHeader) + "\n", 0) != 0)
        return ports;
    size_t at = sizeof kHeader; // past the header's newline
    while (at < text.size() && ports.size() < kMaxPorts) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            break; // a last line without its newline was cut short
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        const std::string port = line.substr(0, tab);
        const std::string identity = line.substr(tab + 1);
        // A port the scan could name, and an identity it could have
        // recorded; anything else is skipped, never guessed at.
        if (port.size() < 4 || port.rfind("COM", 0) != 0 || !storable(port, kMaxPortName) || identity.empty()
            || !storable(identity, kMaxIdentity) || identity.find('\0') != std::string::npos
            || port.find('\0') != std::string::npos)
            continue;
        ports[port] = identity;
    }
    return ports;
}

} // namespace tarvex
