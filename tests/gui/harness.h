// A main window wired to fakes, with helpers to script a reader's answers.
#pragma once
#include "fakes.h"
#include "frmMain.h"
#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <memory>

namespace tarvex::guitest {

inline QApplication& app() {
    static int argc = 1;
    static char arg0[] = "gui_test";
    static char* argv[] = {arg0, nullptr};
    static QApplication a(argc, argv);
    return a;
}

using Bytes = std::vector<uint8_t>;

inline Bytes hexBytes(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

constexpr const char* kReader = "ZN480 Sim 0";

struct Gui {
    fakes::FakeWorld world;
    std::unique_ptr<frmMain> form;
    // Answers by command hex (upper case); anything else gets 90 00.
    std::map<std::string, Bytes> answers;

    Gui() {
        app();
        world.pcsc.readers.push_back({kReader});
        world.pcsc.responder = [this](const Bytes& c) { return answer(c); };
        world.serchan.responder = [this](const Bytes& c) { return answer(c); };
        world.clock.autoAdvance = 1;
        form = std::make_unique<frmMain>(world.services());
        form->tmrUpdates->stop(); // ticks would run the scan; not under test here
        form->smart().InitSmart();
    }

    Bytes answer(const Bytes& command) {
        static const char* hx = "0123456789ABCDEF";
        std::string h;
        for (auto b : command) { h += hx[b >> 4]; h += hx[b & 15]; }
        auto it = answers.find(h);
        return it == answers.end() ? Bytes{0x90, 0x00} : it->second;
    }

    // Commands that reached the reader over PC/SC, as hex.
    std::vector<std::string> pcscSent() const {
        std::vector<std::string> out;
        for (const auto& c : world.pcsc.calls)
            if (c.rfind("transmit:", 0) == 0) out.push_back(c.substr(9));
        return out;
    }

    void select(const QString& text) {
        form->setSelectedIndex(form->appendEntry(text));
    }

    // Opens the simulated reader's card connection for CCID traffic.
    void useCcid() {
        form->DevKind = DEVKIND_CCID;
        form->smart().SelectReader(kReader);
        form->smart().ConnectCard();
    }
    void useCdc(int port = 3) {
        world.serchan.ports[port] = true;
        form->DevKind = DEVKIND_CDC;
        form->ChannelHandle = port;
    }
};

} // namespace tarvex::guitest
