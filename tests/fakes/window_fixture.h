// The one fixture of the window tests: a main window on the reader core,
// wired to fakes of every service, with the window's own seam (message
// boxes, modal dialogs, yields) recorded and answered by the test. Each test
// folder scripts its readers on top of it.
#pragma once
#include "fakes.h"
#include "frmCCIDmode.h"
#include "frmHIDmode.h"
#include "frmMain.h"
#include "ui_hooks.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvex::testing {

inline QApplication& app()
{
    static int argc = 1;
    static char arg0[] = "window_test";
    static char* argv[] = {arg0, nullptr};
    static QApplication a(argc, argv);
    return a;
}

// Records messages; answers prompts from a queue (true = OK), default OK.
class FakeUi : public UiHooks {
public:
    QStringList messages;
    std::deque<bool> answers;
    int yields = 0;
    std::function<void()> onYield;             // e.g. run a scan cycle
    std::function<void(QDialog&)> onShowModal; // set the dialog's choice
    std::function<void()> onMessage;           // e.g. a scan while the box is up
    bool messageBox(const QString& text, bool okCancel) override
    {
        messages << text;
        if (onMessage)
            onMessage();
        if (!okCancel || answers.empty())
            return true;
        bool a = answers.front();
        answers.pop_front();
        return a;
    }
    void showModal(QDialog& dialog) override
    {
        if (onShowModal)
            onShowModal(dialog);
    }
    void yield() override
    {
        ++yields;
        if (onYield)
            onYield();
    }
};

// The fakes of the services plus the window's seam.
struct WindowFakes : fakes::FakeWorld {
    FakeUi ui;
};

using fakes::hexOf;

struct WindowFixture {
    WindowFakes fakes;
    std::unique_ptr<frmMain> form;

    // `tweak` may change the services before the window is made (a missing
    // service, a wrapped one).
    explicit WindowFixture(const std::function<void(Services&)>& tweak = {})
    {
        app();
        fakes.clock.autoAdvance = 1; // the serial reply wait polls the clock
        Services s = fakes.services();
        if (tweak)
            tweak(s);
        form = std::make_unique<frmMain>(s, fakes.ui);
        form->tmrUpdates->stop(); // ticks are driven by the tests
    }

    ReaderCore& core() { return form->core(); }
    DeviceList& list() { return form->core().list(); }
    ReaderSession& session() { return form->core().session(); }

    int appendEntry(const std::string& text) { return list().append(text); }
    void select(const std::string& text) { list().select(list().append(text)); }
    std::vector<std::string> entries()
    {
        std::vector<std::string> out;
        for (int i = 0; i < list().count(); ++i)
            out.push_back(list().text(i));
        return out;
    }
    bool refreshChecked() const { return form->chkRefresh->isChecked(); }

    // Answers the option dialogs: HID format (0 = close box) with sub-options,
    // or the CCID option button (0 = close box).
    void answerHid(int format, bool hash = false, bool shift = false)
    {
        fakes.ui.onShowModal = [=](QDialog& d) {
            auto& h = dynamic_cast<frmHIDmode&>(d);
            h.Cancelled = false;
            if (format == 0) {
                h.Cancelled = true;
                return;
            }
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
            if (option == 0) {
                c.Cancelled = true;
                return;
            }
            (option == 1 ? c.Option1 : option == 2 ? c.Option2 : c.Option3)->click();
        };
    }

    // Commands that reached a card over PC/SC, as hex.
    std::vector<std::string> pcscSent() const
    {
        std::vector<std::string> out;
        for (const auto& c : fakes.pcsc.calls)
            if (c.rfind("transmit:", 0) == 0)
                out.push_back(c.substr(9));
        return out;
    }
};

} // namespace tarvex::testing
