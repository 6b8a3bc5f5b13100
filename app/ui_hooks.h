// The window-toolkit services that the workflows use, behind a seam: message
// boxes, modal dialogs and "let pending window events run". Tests record the
// texts and answer prompts; the program uses Qt.
#pragma once
#include <QString>

#include <functional>

class QDialog;

namespace tarvex {

class UiHooks {
public:
    virtual ~UiHooks() = default;
    // A message box with the application's title. okCancel=false: OK only,
    // returns true. okCancel=true: returns true for OK, false for Cancel.
    virtual bool messageBox(const QString& text, bool okCancel) = 0;
    // Shows `dialog` modally and returns when it has hidden itself.
    virtual void showModal(QDialog& dialog) = 0;
    // Lets pending window events run (timer ticks, repaints, clicks).
    virtual void yield() = 0;
    // Runs `job`, which blocks for a while (a serial probe waiting for its
    // answer), without freezing the window: the program runs it on a worker
    // thread and serves the window's events meanwhile, as yield() does.
    // Tests run it in place.
    virtual void runServingEvents(const std::function<void()>& job) { job(); }
};

// QMessageBox / QDialog::exec / QCoreApplication::processEvents.
UiHooks& qtUiHooks();

} // namespace tarvex
