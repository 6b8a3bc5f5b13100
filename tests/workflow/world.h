// A main window wired to fakes, with one simulated reader answering both the
// PC/SC and the serial transport.
#pragma once
#include "fakes.h"
#include "frmCCIDmode.h"
#include "frmHIDmode.h"
#include "frmMain.h"
#include "zn480sim/reader.h"
#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QRadioButton>
#include <QTimer>
#include <memory>

namespace tarvex::testing {

inline QApplication& app()
{
    static int argc = 1;
    static char arg0[] = "workflow_test";
    static char* argv[] = {arg0, nullptr};
    static QApplication a(argc, argv);
    return a;
}

constexpr const char* kReaderName = "ZN480 Sim 0";
constexpr const char* kCcidEntry = "CCID ZN480 Sim 0 - 01020304 (2.166)";
constexpr const char* kCdcEntry = "COM3 ZN480 CDC - 01020304 (2.166)";
constexpr const char* kHidEntry = "HID ZN480 Keyboard 0";

struct World {
    fakes::FakeWorld fakes;
    zn480sim::Reader reader;
    std::unique_ptr<frmMain> form;

    World()
    {
        app();
        auto answer = [this](const std::vector<uint8_t>& apdu) { return reader.process(apdu); };
        fakes.pcsc.readers.push_back({kReaderName});
        fakes.pcsc.responder = answer;
        fakes.serchan.ports[3] = true;
        fakes.serchan.responder = answer;
        fakes.clock.autoAdvance = 1;
        form = std::make_unique<frmMain>(fakes.services());
        form->tmrUpdates->stop(); // ticks are driven by the tests
        form->smart().InitSmart();
    }

    void select(const char* text)
    {
        form->appendEntry(QString::fromLatin1(text));
        form->setSelectedIndex(form->entryCount() - 1);
    }

    // Answers the option dialogs: HID format (0 = close box) with sub-options,
    // or the CCID option button (0 = close box).
    void answerHid(int format, bool hash = false, bool shift = false)
    {
        fakes.ui.onShowModal = [=](QDialog& d) {
            auto& h = dynamic_cast<frmHIDmode&>(d);
            h.Cancelled = false;
            if (format == 0) { h.Cancelled = true; return; }
            (format == 1 ? h.Option1 : format == 2 ? h.Option2 : h.Option3)->click();
            if (format == 1) {
                h.Check_INTERNAL_ADD_HASHTAG->setChecked(hash);
                h.Check_INTERNAL_HID_USE_SHIFT->setChecked(shift);
            }
        };
    }
    void answerCcid(int option)
    {
        fakes.ui.onShowModal = [=](QDialog& d) {
            auto& c = dynamic_cast<frmCCIDmode&>(d);
            c.Cancelled = false;
            if (option == 0) { c.Cancelled = true; return; }
            (option == 1 ? c.Option1 : option == 2 ? c.Option2 : c.Option3)->click();
        };
    }

    std::vector<std::string> commands() const { return reader.log(); }
    bool refreshChecked() const { return form->chkRefresh->isChecked(); }
};

} // namespace tarvex::testing
