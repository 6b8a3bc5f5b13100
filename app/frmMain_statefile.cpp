// Writes the main window's state to $TARVEX_STATE_FILE as plain lines:
//
//   caption=<window caption>
//   refresh=<1 when chkRefresh is checked, else 0>
//   enabled=<1 when the window takes input, 0 while it is locked>
//   selected=<selected index, -1 for none>
//   count=<number of entries>
//   entry=<entry text>            (one line per entry, in list order)
//   message=<message box text>    (one line per message box shown so far,
//                                  oldest first)
//   writes=<how many times the file has been written>
//
// The file is replaced atomically (written beside it, then renamed), so a
// reader never sees half of it. It is rewritten after every change of the
// list, the caption, the check box or the window's enabled state; a scan
// cycle ends by unlocking the window, so each cycle leaves one write behind.
#include "frmMain_statefile.h"

#include "frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QObject>
#include <QSaveFile>
#include <QTimer>
#include <zn480/test_hooks.h>

namespace tarvex {
namespace {

class StateFileWriter : public QObject {
public:
    StateFileWriter(frmMain& window, QString path) : QObject(&window), window_(window), path_(std::move(path))
    {
        // Changes often come in bursts (a cycle touches caption, lock and
        // list); one write after the burst is enough.
        flush_.setSingleShot(true);
        flush_.setInterval(0);
        connect(&flush_, &QTimer::timeout, this, [this] { write(); });
        QAbstractItemModel* model = window.lstZN->model();
        connect(model, &QAbstractItemModel::rowsInserted, this, [this] { schedule(); });
        connect(model, &QAbstractItemModel::rowsRemoved, this, [this] { schedule(); });
        connect(model, &QAbstractItemModel::dataChanged, this, [this] { schedule(); });
        connect(model, &QAbstractItemModel::modelReset, this, [this] { schedule(); });
        connect(window.lstZN, &QListWidget::currentRowChanged, this, [this] { schedule(); });
        connect(window.lstZN, &QListWidget::itemSelectionChanged, this, [this] { schedule(); });
        connect(window.chkRefresh, &QCheckBox::toggled, this, [this] { schedule(); });
        connect(&window, &QWidget::windowTitleChanged, this, [this] { schedule(); });
        window.installEventFilter(this);
        // Message boxes are the program's only other output; they are shown
        // by the workflows without a parent that could be watched alone.
        qApp->installEventFilter(this);
        write();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &window_ && event->type() == QEvent::EnabledChange)
            schedule();
        if (event->type() == QEvent::Show) {
            if (auto* box = qobject_cast<QMessageBox*>(watched)) {
                messages_ << box->text();
                schedule();
            }
        }
        return false;
    }

private:
    void schedule()
    {
        if (!flush_.isActive())
            flush_.start();
    }

    void write()
    {
        QString text;
        text += QStringLiteral("caption=") + oneLine(window_.windowTitle()) + '\n';
        text += QStringLiteral("refresh=") + (window_.chkRefresh->isChecked() ? '1' : '0') + '\n';
        text += QStringLiteral("enabled=") + (window_.isEnabled() ? '1' : '0') + '\n';
        // The selection, not the current row: clearing the selection leaves
        // the current row where it was, and the buttons follow the selection.
        text += QStringLiteral("selected=") + QString::number(window_.core().list().selected()) + '\n';
        text += QStringLiteral("count=") + QString::number(window_.lstZN->count()) + '\n';
        for (int i = 0; i < window_.lstZN->count(); ++i)
            text += QStringLiteral("entry=") + oneLine(window_.lstZN->item(i)->text()) + '\n';
        for (const QString& m : messages_)
            text += QStringLiteral("message=") + oneLine(m) + '\n';
        text += QStringLiteral("writes=") + QString::number(++writes_) + '\n';
        QSaveFile f(path_);
        if (!f.open(QIODevice::WriteOnly))
            return; // a hook must never disturb the program
        f.write(text.toUtf8());
        f.commit();
    }

    // Entry texts come from readers and the system: keep one value per line.
    static QString oneLine(QString s)
    {
        s.replace('\n', ' ');
        s.replace('\r', ' ');
        return s;
    }

    frmMain& window_;
    QString path_;
    QTimer flush_;
    QStringList messages_;
    quint64 writes_ = 0;
};

} // namespace

bool installStateFileHook(frmMain& window)
{
    const char* hook = zn480_test_hook("TARVEX_STATE_FILE");
    if (!hook)
        return false;
    const QString path = QString::fromLocal8Bit(hook);
    new StateFileWriter(window, path); // owned by the window
    return true;
}

} // namespace tarvex
