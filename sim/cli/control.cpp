#include "control.h"

#include "hex.h"

#include <sstream>
#include <vector>

namespace zn480sim {
namespace {

bool parseInt(const std::string& s, long lo, long hi, long& out)
{
    try {
        size_t used = 0;
        long v = std::stol(s, &used, 0);
        if (used != s.size() || v < lo || v > hi)
            return false;
        out = v;
        return true;
    } catch (...) {
        return false;
    }
}

std::string state(Device& d)
{
    const ReaderConfig c = d.reader().config();
    std::ostringstream o;
    o << "OK personality=" << personalityName(c.personality) << " serial=" << toHex(c.serial, 4) << " fw=" << c.fwMajor
      << "." << c.fwMinor << " hid=" << toHex(c.hidConfig, 2) << " fake=" << unsigned(c.fakeCard);
    auto pending = d.reader().pendingPersonality();
    o << " pending=" << (pending ? personalityName(*pending) : "none");
    auto* ccid = dynamic_cast<CcidHost*>(d.host(Personality::CCID));
    if (ccid)
        o << " card=" << (ccid->cardInserted() ? 1 : 0) << " cardReported=" << (ccid->card().connected() ? 1 : 0);
    bool any = false;
    for (Personality p : {Personality::CCID, Personality::CDC, Personality::HID, Personality::MSD}) {
        auto* h = d.host(p);
        if (h && h->present()) {
            o << " present=" << personalityName(p);
            any = true;
        }
    }
    if (!any)
        o << " present=none";
    if (auto* hid = dynamic_cast<HidHost*>(d.host(Personality::HID)))
        o << " testbed=" << hid->testbedDir();
    if (auto* msd = dynamic_cast<MsdHost*>(d.host(Personality::MSD)))
        o << " mount=" << msd->mountPoint();
    if (auto* cdc = dynamic_cast<CdcHost*>(d.host(Personality::CDC)))
        o << " frames=" << cdc->peer().framesReceived() << " acks=" << cdc->peer().acksReceived()
          << " naks=" << cdc->peer().naksReceived();
    return o.str();
}

} // namespace

const char* controlHelp()
{
    return "state                      personality, identity, settings, presence, counters\n"
           "log                        every command received so far (hex), then OK\n"
           "clearlog\n"
           "insert | remove            put a card on the CCID reader or take it away\n"
           "fake 0|2|255               fake-card setting\n"
           "serial HEX8 | fw MAJ.MIN | hid HEX4 | personality ccid|cdc|hid|msd\n"
           "refuse HEXPREFIX|* SW [N]  answer the next N matching commands with SW\n"
           "unplug | plug              take the reader away / bring it back\n"
           "nak N | silent on|off | foreign HH | pieces N MS | midframe | wrongseq\n"
           "badcheck | noreply | garbage N      serial-line faults (CDC)\n"
           "help | quit\n";
}

std::string runControlCommand(Device& d, const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string t; in >> t;)
        w.push_back(t);
    if (w.empty())
        return "ERR empty command";
    const std::string& cmd = w[0];
    long n = 0, m = 0;
    auto* cdc = dynamic_cast<CdcHost*>(d.host(Personality::CDC));
    auto* ccid = dynamic_cast<CcidHost*>(d.host(Personality::CCID));
    auto needCdc = [&]() -> bool { return cdc != nullptr; };

    if (cmd == "state")
        return state(d);
    if (cmd == "help")
        return std::string(controlHelp()) + "OK";
    if (cmd == "log") {
        std::string s;
        for (auto& l : d.reader().log())
            s += l + "\n";
        return s + "OK";
    }
    if (cmd == "clearlog") {
        d.reader().clearLog();
        return "OK";
    }
    if ((cmd == "insert" || cmd == "remove") && w.size() == 1) {
        if (!ccid)
            return "ERR no CCID channel (start with --vpcd-port)";
        ccid->setCardInserted(cmd == "insert");
        return "OK";
    }
    if (cmd == "fake" && w.size() == 2 && parseInt(w[1], 0, 255, n) && (n == 0 || n == 2 || n == 255)) {
        ReaderConfig c = d.reader().config();
        c.fakeCard = static_cast<uint8_t>(n);
        d.reader().setConfig(c);
        return "OK";
    }
    if (cmd == "serial" && w.size() == 2) {
        auto b = fromHex(w[1]);
        if (!b || b->size() != 4)
            return "ERR serial takes 8 hex digits";
        ReaderConfig c = d.reader().config();
        std::copy(b->begin(), b->end(), c.serial);
        d.reader().setConfig(c);
        return "OK";
    }
    if (cmd == "fw" && w.size() == 2) {
        auto dot = w[1].find('.');
        if (dot == std::string::npos || !parseInt(w[1].substr(0, dot), 0, 65535, n)
            || !parseInt(w[1].substr(dot + 1), 0, 65535, m))
            return "ERR fw takes MAJOR.MINOR";
        ReaderConfig c = d.reader().config();
        c.fwMajor = static_cast<uint16_t>(n);
        c.fwMinor = static_cast<uint16_t>(m);
        d.reader().setConfig(c);
        return "OK";
    }
    if (cmd == "hid" && w.size() == 2) {
        auto b = fromHex(w[1]);
        if (!b || b->size() != 2)
            return "ERR hid takes 4 hex digits";
        ReaderConfig c = d.reader().config();
        c.hidConfig[0] = (*b)[0];
        c.hidConfig[1] = (*b)[1];
        d.reader().setConfig(c);
        return "OK";
    }
    if (cmd == "personality" && w.size() == 2) {
        auto p = parsePersonality(w[1]);
        if (!p)
            return "ERR unknown personality";
        d.unplug();
        ReaderConfig c = d.reader().config();
        c.personality = *p;
        d.reader().setConfig(c);
        return d.plugIn() ? "OK" : "ERR no channel for that personality";
    }
    if (cmd == "refuse" && (w.size() == 3 || w.size() == 4)) {
        std::vector<uint8_t> prefix;
        if (w[1] != "*") {
            auto b = fromHex(w[1]);
            if (!b)
                return "ERR bad prefix";
            prefix = *b;
        }
        auto sw = fromHex(w[2]);
        if (!sw || sw->size() != 2)
            return "ERR status word takes 4 hex digits";
        n = 1;
        if (w.size() == 4 && !parseInt(w[3], 1, 1000000, n))
            return "ERR bad count";
        d.reader().refuse(prefix, static_cast<uint16_t>((*sw)[0] << 8 | (*sw)[1]), static_cast<int>(n));
        return "OK";
    }
    if (cmd == "unplug" && w.size() == 1) {
        d.unplug();
        return "OK";
    }
    if (cmd == "plug" && w.size() == 1)
        return d.plugIn() ? "OK" : "ERR no channel for the current personality";

    // Serial-line faults.
    if (cmd == "nak" || cmd == "silent" || cmd == "foreign" || cmd == "pieces" || cmd == "midframe" || cmd == "wrongseq"
        || cmd == "badcheck" || cmd == "noreply" || cmd == "garbage") {
        if (!needCdc())
            return "ERR no CDC channel (start with --cdc-link)";
        CdcPeer& p = cdc->peer();
        if (cmd == "nak" && w.size() == 2 && parseInt(w[1], 0, 1000000, n))
            p.nakNext(static_cast<int>(n));
        else if (cmd == "silent" && w.size() == 2 && (w[1] == "on" || w[1] == "off"))
            p.setSilent(w[1] == "on");
        else if (cmd == "foreign" && w.size() == 2) {
            auto b = fromHex(w[1]);
            if (!b || b->size() != 1)
                return "ERR foreign takes one hex byte";
            p.foreignByteNext((*b)[0]);
        } else if (cmd == "pieces" && w.size() == 3 && parseInt(w[1], 1, 280, n) && parseInt(w[2], 0, 60000, m))
            p.replyInPieces(static_cast<int>(n), static_cast<int>(m));
        else if (cmd == "midframe" && w.size() == 1)
            p.stopMidFrameNext();
        else if (cmd == "wrongseq" && w.size() == 1)
            p.wrongSequenceNext();
        else if (cmd == "badcheck" && w.size() == 1)
            p.badCheckNext();
        else if (cmd == "noreply" && w.size() == 1)
            p.noReplyNext();
        else if (cmd == "garbage" && w.size() == 2 && parseInt(w[1], 0, 1 << 20, n))
            p.floodGarbage(static_cast<size_t>(n));
        else
            return "ERR bad arguments; try help";
        return "OK";
    }
    return "ERR unknown command; try help";
}

} // namespace zn480sim
