// Shows one option dialog modally on the current display for a while, for
// screenshots taken from outside (make-screenshots.sh). Not shipped.
//   dialog_show hid|ccid [MILLISECONDS]
#include "frmCCIDmode.h"
#include "frmHIDmode.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s hid|ccid [MILLISECONDS]\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    const QString kind = QString::fromLocal8Bit(argv[1]);
    const int ms = argc > 2 ? std::atoi(argv[2]) : 3000;
    std::unique_ptr<QDialog> dialog;
    if (kind == "hid")
        dialog = std::make_unique<tarvex::frmHIDmode>();
    else if (kind == "ccid")
        dialog = std::make_unique<tarvex::frmCCIDmode>();
    else
        return 2;
    QTimer::singleShot(ms, dialog.get(), &QWidget::hide);
    dialog->exec();
    return 0;
}
