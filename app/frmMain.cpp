// The main window itself: layout, load and close handling, the mode buttons
// and the progress caption. The list box binding lives in frmMain_list.cpp,
// the scan triggers in frmMain_scan.cpp, the answers to the core in
// frmMain_ui.cpp.
#include "frmMain.h"
#include "frmCCIDmode.h"
#include "frmHIDmode.h"
#include "twips.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

namespace tarvex {

namespace {

// The layout is designed in twips (1/1440 inch) so that it scales with the
// platform's logical DPI like the rest of the desktop.
constexpr int kClientWidthTw = 4455;
constexpr int kClientHeightTw = 2385;

struct TwipsRect {
    int left, top, width, height;
};
constexpr TwipsRect kListTw{120, 120, 4215, 1230};
constexpr TwipsRect kCcidTw{120, 1440, 1335, 495};
constexpr TwipsRect kCdcTw{1560, 1440, 1335, 495};
constexpr TwipsRect kHidTw{3000, 1440, 1335, 495};
constexpr TwipsRect kRefreshTw{120, 2040, 4215, 255};

constexpr int kTickMs = 2000;
// The events of one plug arrive within a few milliseconds of each other.
constexpr uint32_t kDeviceBurstMs = 50;

} // namespace

frmMain::frmMain(const Services& services, UiHooks& ui, QWidget* parent)
    : QWidget(parent), ui_(ui), core_(services, *this), scanTrigger_(kDeviceBurstMs)
{
    setWindowTitle(QStringLiteral("ZN480 USB Switch"));
    // The layout was drawn for a small dialog font; the default desktop font
    // would not fit the check box caption into its width.
    QFont f = font();
    f.setPointSize(8);
    setFont(f);

    const int dx = logicalDpiX();
    const int dy = logicalDpiY();
    auto place = [&](QWidget* w, const TwipsRect& r) {
        w->setGeometry(twipsToPixels(r.left, dx), twipsToPixels(r.top, dy), twipsToPixels(r.width, dx),
            twipsToPixels(r.height, dy));
    };

    lstZN = new QListWidget(this);
    lstZN->setObjectName(QStringLiteral("lstZN"));
    lstZN->setSelectionMode(QAbstractItemView::SingleSelection);
    lstZN->setSortingEnabled(false);
    place(lstZN, kListTw);

    cmdCCID = new QPushButton(QStringLiteral("To CCID"), this);
    cmdCCID->setObjectName(QStringLiteral("cmdCCID"));
    place(cmdCCID, kCcidTw);
    cmdCDC = new QPushButton(QStringLiteral("To CDC"), this);
    cmdCDC->setObjectName(QStringLiteral("cmdCDC"));
    place(cmdCDC, kCdcTw);
    cmdHID = new QPushButton(QStringLiteral("To HID"), this);
    cmdHID->setObjectName(QStringLiteral("cmdHID"));
    place(cmdHID, kHidTw);
    for (QPushButton* b : {cmdCCID, cmdCDC, cmdHID}) {
        b->setEnabled(false);
        b->setAutoDefault(false);
    }

    chkRefresh = new QCheckBox(QStringLiteral("Refresh devices until there are changes."), this);
    chkRefresh->setObjectName(QStringLiteral("chkRefresh"));
    chkRefresh->setChecked(true);
    place(chkRefresh, kRefreshTw);

    setTabOrder(lstZN, cmdCCID);
    setTabOrder(cmdCCID, cmdCDC);
    setTabOrder(cmdCDC, cmdHID);
    setTabOrder(cmdHID, chkRefresh);

    setFixedSize(twipsToPixels(kClientWidthTw, dx), twipsToPixels(kClientHeightTw, dy));

    connect(lstZN, &QListWidget::itemSelectionChanged, this, &frmMain::onListSelectionChanged);
    connect(cmdCCID, &QPushButton::clicked, this, [this] { cmdCCID_Click(); });
    connect(cmdCDC, &QPushButton::clicked, this, [this] { cmdCDC_Click(); });
    connect(cmdHID, &QPushButton::clicked, this, [this] { cmdHID_Click(); });

    tmrUpdates = new QTimer(this);
    tmrUpdates->setObjectName(QStringLiteral("tmrUpdates"));
    tmrUpdates->setInterval(kTickMs);
    connect(tmrUpdates, &QTimer::timeout, this, [this] { tmrUpdates_Timer(); });
    tmrUpdates->start();

    eventTimer_ = new QTimer(this);
    eventTimer_->setSingleShot(true);
    connect(eventTimer_, &QTimer::timeout, this, [this] { eventTimer_Timer(); });
    connect(chkRefresh, &QCheckBox::toggled, this, [this] { chkRefresh_Click(); });

    core_.list().setObserver([this](DeviceList::Change change, int index) { listChanged(change, index); });
    Form_Load();
}

frmMain::~frmMain() = default;

void frmMain::Form_Load()
{
    BaseCaption = windowTitle();
}

void frmMain::Buttons(bool ccidEnabled, bool cdcEnabled, bool hidEnabled)
{
    cmdCCID->setEnabled(ccidEnabled);
    cmdCDC->setEnabled(cdcEnabled);
    cmdHID->setEnabled(hidEnabled);
}

void frmMain::setProgress(const QString& text)
{
    setWindowTitle(BaseCaption + text);
}

void frmMain::restoreCaption()
{
    setWindowTitle(BaseCaption);
}

frmHIDmode& frmMain::hidDialog()
{
    if (!hidDialog_)
        hidDialog_ = new frmHIDmode(this);
    return *hidDialog_;
}

frmCCIDmode& frmMain::ccidDialog()
{
    if (!ccidDialog_)
        ccidDialog_ = new frmCCIDmode(this);
    return *ccidDialog_;
}

void frmMain::closeEvent(QCloseEvent* event)
{
    // A close cannot be refused. The serial channel is the one resource that
    // would otherwise stay claimed; PC/SC is left to the operating system.
    // While a probe runs on its worker the channel is the worker's; the
    // program then ends at once, whatever the probe is waiting for (see the
    // Qt UI hooks), and the system closes the port.
    if (core_.services().serchan && !core_.serialBusy())
        core_.services().serchan->close(core_.session().ChannelHandle);
    event->accept();
    tmrUpdates->stop();
    eventTimer_->stop();
    // A command may be waiting in a yielding loop when the window closes;
    // the Qt yield hook sees this flag and ends the process from there.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->setProperty(kEndRequestedProperty, true);
        QCoreApplication::quit();
    }
}

} // namespace tarvex
