// The reader core's user seam for the console: the option questions are
// answered from the command line, message boxes become the result of the
// reader at hand (the window's texts, word for word), progress goes to the
// terminal's status line, and yields serve the scan.
//
// The card prompt ("put a supported contactless card over the reader") is
// the one question with two answers. Nobody can put a card on a reader for
// a script, so without a terminal it is cancelled at once; on a terminal it
// is answered "try again" every half second for the card-wait time, while
// the prompt stays on the screen, and then cancelled.
#pragma once
#include "console.h"
#include "core/reader_ui.h"
#include "scan_driver.h"

#include <string>

namespace tarvexctl {

class ConsoleUi : public tarvex::ReaderUi {
public:
    static constexpr uint32_t kCardRetryMs = 500;

    ConsoleUi(tarvex::Clock& clock, Console& console) : clock_(clock), console_(console) { }
    void setScans(ScanDriver* scans) { scans_ = scans; }

    // Answers for the workflows.
    tarvex::HidModeChoice hidChoice{1, 0};
    int16_t fakeCard = tarvex::kFakeCardStandard;
    uint32_t cardWaitMs = 0;

    // A workflow starts for the reader named `label` (progress shows it).
    void beginWorkflow(const std::string& label);
    void endWorkflow();
    bool succeeded() const { return succeeded_; }
    // The last message other than the success message; empty when none.
    const std::string& failure() const { return failure_; }

    // Status line text outside workflows ("" clears it).
    void setStatusPrefix(const std::string& prefix) { prefix_ = prefix; }

    // ReaderUi
    bool messageBox(const std::string& text, bool okCancel) override;
    tarvex::HidModeChoice askHidMode() override { return hidChoice; }
    int16_t askCcidFake() override { return fakeCard; }
    void yield() override;
    void progressChanged(const std::string& text) override;

private:
    void showProgress();

    tarvex::Clock& clock_;
    Console& console_;
    ScanDriver* scans_ = nullptr;
    std::string label_, prefix_, failure_;
    bool succeeded_ = false;
    bool prompting_ = false;
    uint32_t promptStart_ = 0;
    std::string doing_; // the core's progress text, without the " - "
    uint32_t doingSince_ = 0;
};

} // namespace tarvexctl
