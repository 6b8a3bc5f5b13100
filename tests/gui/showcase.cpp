// Shows the main window with a few entries and fake services, for the
// screenshot in docs/. Closes itself after the given number of seconds.
#include "window_fixture.h"
#include <QApplication>
#include <QCheckBox>
#include <QTimer>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvex"));
    tarvex::testing::WindowFakes world;
    tarvex::frmMain window(world.services(), world.ui);
    window.tmrUpdates->stop(); // the fakes have no readers to find
    window.core().list().append("CCID ZN480 Contactless 00 00 - 1A2B3C4D (2.166)");
    window.core().list().append("COM3 ZN480 CDC - 0A0B0C0D (2.170)");
    window.core().list().append("HID ZN480 Keyboard 0");
    window.core().list().append("MSD ZN480 Mass Storage");
    window.core().list().select(1);
    window.show();
    const int seconds = argc > 1 ? atoi(argv[1]) : 5;
    QTimer::singleShot(seconds * 1000, &app, &QApplication::quit);
    return app.exec();
}
