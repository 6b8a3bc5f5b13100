#include "console_ui.h"

#include "interrupts.h"

namespace tarvexctl {

namespace {
const char* const kSuccess = "Operation completed with success!";

// " - Scanning CCID..." as the window's caption has it; the console shows
// "Scanning CCID...".
std::string stripDash(const std::string& text)
{
    return text.rfind(" - ", 0) == 0 ? text.substr(3) : text;
}
} // namespace

void ConsoleUi::beginWorkflow(const std::string& label)
{
    label_ = label;
    failure_.clear();
    succeeded_ = false;
    prompting_ = false;
    console_.status(label_);
}

void ConsoleUi::endWorkflow()
{
    label_.clear();
    prompting_ = false;
    console_.status({});
}

bool ConsoleUi::messageBox(const std::string& text, bool okCancel)
{
    if (!okCancel) {
        if (text == kSuccess)
            succeeded_ = true;
        else
            failure_ = text;
        return true;
    }
    // The card prompt: see the header.
    const uint32_t now = clock_.tickMs();
    if (!prompting_) {
        prompting_ = true;
        promptStart_ = now;
        if (cardWaitMs > 0)
            console_.message(text + " (waiting up to " + std::to_string(cardWaitMs / 1000) + " s)");
    }
    // Nothing has been sent yet while the card is awaited: a stop request
    // cancels the prompt, and with it the reader's workflow.
    if (tarvex::elapsedMs(promptStart_, now) >= cardWaitMs || interruptRequested()) {
        failure_ = text;
        return false;
    }
    console_.status(label_ + ": waiting for a card, " + std::to_string(tarvex::elapsedMs(promptStart_, now) / 1000)
        + " s of " + std::to_string(cardWaitMs / 1000) + " s");
    if (scans_)
        scans_->idle(kCardRetryMs, false);
    else
        clock_.sleepMs(kCardRetryMs);
    return true;
}

void ConsoleUi::yield()
{
    // The long waits (the HID reset's) yield several times a second: the
    // status line counts their seconds.
    if (!doing_.empty())
        showProgress();
    if (scans_)
        scans_->serve(false);
}

void ConsoleUi::progressChanged(const std::string& text)
{
    // A scan inside a workflow (the reset keeps the scan looking) says
    // "Scanning..." and then clears its text: the line keeps what the
    // workflow is doing.
    if (!label_.empty() && scans_ && scans_->inCycle())
        return;
    doing_ = stripDash(text);
    doingSince_ = clock_.tickMs();
    showProgress();
}

void ConsoleUi::showProgress()
{
    const std::string who = label_.empty() ? prefix_ : label_;
    std::string what = doing_;
    const uint32_t seconds = tarvex::elapsedMs(doingSince_, clock_.tickMs()) / 1000;
    if (!what.empty() && seconds > 0)
        what += " " + std::to_string(seconds) + " s";
    if (what.empty())
        console_.status(who);
    else
        console_.status(who.empty() ? what : who + ": " + what);
}

} // namespace tarvexctl
