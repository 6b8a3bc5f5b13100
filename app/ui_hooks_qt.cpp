// The window-toolkit seam as the program uses it: Qt message boxes, modal
// dialogs and event processing.
#include "end_request.h"
#include "platform/process.h"
#include "ui_hooks.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QEventLoop>
#include <QMetaObject>
#include <QVariant>

#include <atomic>
#include <system_error>
#include <thread>

namespace tarvex {

namespace {

class QtUiHooks final : public UiHooks {
public:
    bool messageBox(const QString& text, bool okCancel) override
    {
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text,
            okCancel ? (QMessageBox::Ok | QMessageBox::Cancel) : QMessageBox::Ok, QApplication::activeWindow());
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(okCancel ? QMessageBox::Cancel : QMessageBox::Ok);
        return box.exec() == QMessageBox::Ok;
    }

    void showModal(QDialog& dialog) override
    {
        // The option dialogs belong to the main window and live on between
        // showings. Locking the window disables its children, a hidden
        // dialog among them, so without this the second showing would come
        // up greyed out over a locked window and could not be answered.
        dialog.setEnabled(true);
        dialog.exec();
    }

    void runServingEvents(const std::function<void()>& job) override
    {
        std::atomic<bool> done{false};
        std::thread worker;
        try {
            worker = std::thread([&] {
                job();
                done = true;
                // Wakes the loop below, which may be waiting for events.
                QMetaObject::invokeMethod(
                    qApp, [] {}, Qt::QueuedConnection);
            });
        } catch (const std::system_error&) {
            job(); // no thread to be had: the window waits, as it used to
            return;
        }
        // The job may not come back for a long time (a reader that takes no
        // bytes holds a write for seconds, a driver may hold it for longer):
        // a close of the window ends the program from here, the job with it.
        while (!done) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            endIfRequested();
        }
        worker.join();
        yield();
    }

    void yield() override
    {
        QCoreApplication::processEvents();
        endIfRequested();
    }

private:
    // Closing the main window ends the program at once, even when a command
    // is in the middle of a wait or a probe's worker is still in a driver
    // call: nothing it would still do (send to a reader, show a result) has
    // a window to belong to, and a process left waiting would keep holding
    // the reader's port with no window to show for it.
    static void endIfRequested()
    {
        if (QCoreApplication* app = QCoreApplication::instance(); app && app->property(kEndRequestedProperty).toBool())
            endProcessNow(0);
    }
};

} // namespace

UiHooks& qtUiHooks()
{
    static QtUiHooks hooks;
    return hooks;
}

} // namespace tarvex
