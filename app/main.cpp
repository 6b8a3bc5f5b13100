// Tarvex: wires the platform services into the main window and runs it.
#include "core/system_services.h"
#include "frmMain.h"
#include "frmMain_statefile.h"
#include "platform/device_watch.h"
#include "ui_hooks.h"

#include <QApplication>
#include <QMetaObject>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvex"));

    using namespace tarvex;
    // Services live as long as the program; the window holds plain pointers.
    const SystemServices system;
    frmMain window(system.services(), qtUiHooks());
    installStateFileHook(window); // only with TARVEX_STATE_FILE set

    // Device arrivals and removals start a scan at once instead of at the
    // next tick. The watches call from their own threads: hand each call to
    // the window's thread. Declared after the window, so they stop first.
    // Queued calls are delivered only by the event loop, which ends before
    // the window goes.
    frmMain* const target = &window;
    const DeviceChanged changed = [target] {
        QMetaObject::invokeMethod(
            qApp, [target] { target->deviceChanged(); }, Qt::QueuedConnection);
    };
    const std::unique_ptr<DeviceWatch> deviceWatch = watchSystemDevices(changed);
    const std::unique_ptr<DeviceWatch> readerWatch = watchPcscReaders(pcsc::loadSystemPcsc(), changed);

    window.show();
    return app.exec();
}
