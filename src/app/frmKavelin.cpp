#include "app/frmKavelin.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QFont>
#include <QPalette>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <utility>

#include "printer/print_spooler.h"
#include "shaping/shaper.h"

namespace {

// The layout is drawn in twips; 15 twips make one pixel at 96 dpi.
constexpr int px(int twips) {
    return twips / 15;
}

QRect twipRect(int x, int y, int width, int height) {
    return QRect(px(x), px(y), px(width), px(height));
}

QFont makeFont(const QString& family, double points, int weight, bool italic = false) {
    QFont f(family);
    f.setPointSizeF(points);
    f.setWeight(QFont::Weight(weight));
    f.setItalic(italic);
    return f;
}

QLabel* boxedLabel(const QString& caption, QWidget* parent) {
    auto* label = new QLabel(caption, parent);
    label->setFrameStyle(QFrame::Box | QFrame::Plain);
    label->setLineWidth(1);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setAutoFillBackground(true);
    return label;
}

// A button whose caption wraps onto a second line when it does not fit, as the save
// buttons' long captions must in their drawn width.
class WrappingButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QString caption = option.text;
        option.text.clear();
        painter.drawControl(QStyle::CE_PushButton, option);
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                       QPalette::ButtonText));
        painter.drawText(rect().adjusted(3, 1, -3, -1), Qt::AlignCenter | Qt::TextWordWrap,
                         caption);
    }
};

}  // namespace

int KavelinCheckBox::Value() const {
    switch (checkState()) {
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
        default:
            return 0;
    }
}

void KavelinCheckBox::setValue(int value) {
    if (value == 2) {
        setTristate(true);
        setCheckState(Qt::PartiallyChecked);
    } else {
        setCheckState(value == 1 ? Qt::Checked : Qt::Unchecked);
    }
}

void KavelinCheckBox::nextCheckState() {
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

void frmKavelin::paintLabel(QLabel* label, const QString& caption, const QColor& background,
                            const QColor& text) {
    label->setText(caption);
    QPalette palette = label->palette();
    // A refusing DVR repaints its status every second with the same look; setting an
    // unchanged palette still resolves and propagates it, most of each attempt's work.
    if (palette.color(QPalette::Window) == background &&
        palette.color(QPalette::WindowText) == text) {
        return;
    }
    palette.setColor(QPalette::Window, background);
    palette.setColor(QPalette::WindowText, text);
    label->setPalette(palette);
}

frmKavelin::frmKavelin(const QString& iniPath, MessageBoxFn messageBox, ClockFn clock,
                       PrinterServices* printers, QWidget* parent)
    : QWidget(parent),
      iniPath_(iniPath),
      messageBox_(std::move(messageBox)),
      clock_(std::move(clock)),
      printers_(printers) {
    startTimeUnixMs_ = QDateTime::currentMSecsSinceEpoch();
    for (int i = 1; i <= kChannels; ++i) {
        PosConnected(i) = kFalse;
        DvrConnected(i) = kFalse;
    }
    buildWindow();
    spooler_ = new PrintSpooler(this);
    connect(spooler_, &PrintSpooler::printFailed, this,
            [this](int i, const QString& reason) { printFailed(i, reason); });
}

frmKavelin::~frmKavelin() = default;

void frmKavelin::buildWindow() {
    setWindowTitle(QStringLiteral("POS LAN Kavelin (DVR=Server)"));
    setFixedSize(px(13740), px(8895));
    // The layout was drawn for a small dialog font; a desktop's larger default would clip
    // most captions.
    QFont dialogFont = font();
    dialogFont.setPointSizeF(7.5);
    setFont(dialogFont);

    Label1 = new QLabel(QStringLiteral("DVR=Server"), this);
    Label1->setFont(makeFont(QStringLiteral("Arial Black"), 12, 900, true));
    Label1->setFrameStyle(QFrame::Box | QFrame::Plain);
    Label1->setAutoFillBackground(true);
    paintLabel(Label1, Label1->text(), look::kWhite, look::kRed);
    Label1->move(px(2040), px(240));
    Label1->adjustSize();

    struct Heading {
        int index;
        const char* caption;
        QRect rect;
    };
    const Heading headings[] = {
        {2, "Enable?", twipRect(120, 1680, 735, 345)},
        {4, "Kavelin's Listening  Port", twipRect(960, 1560, 1815, 465)},
        {3, "POS <--> Kavelin Status", twipRect(2760, 1560, 1815, 465)},
        {1, "Kavelin <--> DVR Status", twipRect(4560, 1560, 1815, 465)},
        {5, "DVR's IP", twipRect(6360, 1680, 1815, 345)},
        {0, "DVR's Port", twipRect(8160, 1680, 1815, 345)},
        {6, "Actions", twipRect(9990, 1680, 2895, 345)},
    };
    for (const Heading& h : headings) {
        QLabel* label = boxedLabel(QString::fromLatin1(h.caption), this);
        label->setFont(makeFont(QStringLiteral("Arial"), 8.25, 400));
        paintLabel(label, label->text(), look::kHeading, palette().color(QPalette::WindowText));
        label->setGeometry(h.rect);
        Label2(h.index) = label;
    }

    for (int i = 1; i <= kChannels; ++i) {
        buildChannelRow(i);
    }

    const QFont bold = makeFont(QStringLiteral("Arial Black"), 8.25, 900, true);
    cmdConnectAll = new QPushButton(QStringLiteral("ConnectAll"), this);
    cmdConnectAll->setFont(bold);
    cmdConnectAll->setGeometry(twipRect(9960, 5880, 1455, 255));
    cmdDisconnectAll = new QPushButton(QStringLiteral("DisconnectAll"), this);
    cmdDisconnectAll->setFont(bold);
    cmdDisconnectAll->setGeometry(twipRect(11430, 5880, 1455, 255));
    connect(cmdConnectAll, &QPushButton::clicked, this, [this] { cmdConnectAll_Click(); });
    connect(cmdDisconnectAll, &QPushButton::clicked, this, [this] { cmdDisconnectAll_Click(); });

    fraPrinter = new QGroupBox(QStringLiteral("Printer"), this);
    fraPrinter->setGeometry(twipRect(240, 6240, 4635, 1335));
    lblName = new QLabel(QStringLiteral("&Name:"), fraPrinter);
    lblName->move(px(240), px(420));
    lblName->adjustSize();
    cboPrinters = new QComboBox(fraPrinter);
    cboPrinters->setGeometry(twipRect(1020, 360, 3435, 315));
    lblName->setBuddy(cboPrinters);
    cmdOK = new QPushButton(QStringLiteral("Set"), fraPrinter);
    cmdOK->setGeometry(twipRect(1800, 840, 1095, 375));
    lblPort = new QLabel(fraPrinter);
    lblPort->move(px(1020), px(900));
    lblPort->adjustSize();
    connect(cboPrinters, &QComboBox::activated, this, [this] { cboPrinters_Click(); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });

    Frame2 = new QGroupBox(QStringLiteral("Options"), this);
    Frame2->setGeometry(twipRect(4920, 6240, 4095, 1335));
    chkHide = new KavelinCheckBox(QStringLiteral("Start in Hidden Mode?"), Frame2);
    chkHide->setGeometry(twipRect(960, 240, 3060, 315));
    chkAuto = new KavelinCheckBox(QStringLiteral("Connect when program is started?"), Frame2);
    chkAuto->setGeometry(twipRect(960, 600, 3060, 315));

    Frame1 = new QGroupBox(QStringLiteral("Schedule"), this);
    Frame1->setGeometry(twipRect(9120, 6240, 4575, 1575));
    chkSchedule = new KavelinCheckBox(QStringLiteral("Enable Schedule?"), Frame1);
    chkSchedule->setGeometry(twipRect(1200, 240, 2400, 315));
    Label4 = new QLabel(QStringLiteral("Starting Hour"), Frame1);
    Label4->setGeometry(twipRect(600, 720, 1080, 255));
    Label5 = new QLabel(QStringLiteral("End Hour"), Frame1);
    Label5->setGeometry(twipRect(720, 1080, 960, 255));
    startHour = new QScrollBar(Qt::Horizontal, Frame1);
    startHour->setRange(0, 23);
    startHour->setValue(5);
    startHour->setGeometry(twipRect(1680, 720, 1935, 255));
    endHour = new QScrollBar(Qt::Horizontal, Frame1);
    endHour->setRange(0, 23);
    endHour->setValue(0);
    endHour->setGeometry(twipRect(1680, 1080, 1935, 255));
    txtStartHour = new QLabel(QStringLiteral("0:01"), Frame1);
    txtStartHour->setGeometry(twipRect(3720, 720, 615, 255));
    txtEndHour = new QLabel(QStringLiteral("0:59"), Frame1);
    txtEndHour->setGeometry(twipRect(3720, 1080, 615, 255));
    Timer1 = new QTimer(this);
    Timer1->setInterval(60000);
    // A coarse timer may stretch a period by seconds and step over an edge minute.
    Timer1->setTimerType(Qt::PreciseTimer);
    connect(chkSchedule, &QCheckBox::stateChanged, this, [this] { chkSchedule_Click(); });
    connect(startHour, &QScrollBar::valueChanged, this, [this] { startHour_Change(); });
    connect(endHour, &QScrollBar::valueChanged, this, [this] { endHour_Change(); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });

    Export = new WrappingButton(QStringLiteral("Save Settings"), this);
    Export->setGeometry(twipRect(3720, 8280, 1695, 495));
    ExportHide = new WrappingButton(QStringLiteral("Save Settings and Hide Window"), this);
    ExportHide->setGeometry(twipRect(5400, 8280, 1575, 495));
    ExportClose = new WrappingButton(QStringLiteral("Save Settings and  Close"), this);
    ExportClose->setGeometry(twipRect(6960, 8280, 1695, 495));
    connect(Export, &QPushButton::clicked, this, [this] { Export_Click(); });
    connect(ExportHide, &QPushButton::clicked, this, [this] { ExportHide_Click(); });
    connect(ExportClose, &QPushButton::clicked, this, [this] { ExportClose_Click(); });
}

void frmKavelin::buildChannelRow(int i) {
    const int y = 2040 + 240 * (i - 1);
    const QFont statusFont = makeFont(QStringLiteral("Comic Sans MS"), 8.25, 400);
    const QFont buttonFont = makeFont(QStringLiteral("Arial"), 8.25, 400);

    chkEnable(i) = new KavelinCheckBox(QStringLiteral("Check1"), this);
    chkEnable(i)->setGeometry(twipRect(360, y, 255, 255));  // too narrow for its caption

    txtPortOpen(i) = new QLineEdit(QStringLiteral("Disabled"), this);
    txtPortOpen(i)->setGeometry(twipRect(960, y, 1815, 285));

    lbPCStatus(i) = boxedLabel(QString(), this);
    lbPCStatus(i)->setFont(statusFont);
    lbPCStatus(i)->setWordWrap(false);
    lbPCStatus(i)->setGeometry(twipRect(2760, y, 1815, 255));
    paintLabel(lbPCStatus(i), QStringLiteral("Closed"), look::kRed, look::kWhite);

    lbStatus(i) = boxedLabel(QString(), this);
    lbStatus(i)->setFont(statusFont);
    lbStatus(i)->setWordWrap(false);
    lbStatus(i)->setGeometry(twipRect(4560, y, 1815, 255));
    paintLabel(lbStatus(i), QStringLiteral("Not Connected"), look::kRed, look::kWhite);

    txtIP(i) = new QLineEdit(QStringLiteral("Disabled"), this);
    txtIP(i)->setGeometry(twipRect(6360, y, 1815, 285));
    txtPort(i) = new QLineEdit(QStringLiteral("Disabled"), this);
    txtPort(i)->setGeometry(twipRect(8160, y, 1815, 285));

    cmdConnect(i) = new QPushButton(QStringLiteral("Connect"), this);
    cmdConnect(i)->setFont(buttonFont);
    cmdConnect(i)->setGeometry(twipRect(9990, y, 1455, 255));
    cmdDisconnect(i) = new QPushButton(QStringLiteral("Disconnect"), this);
    cmdDisconnect(i)->setFont(buttonFont);
    cmdDisconnect(i)->setGeometry(twipRect(11430, y, 1455, 255));
    cmdDisconnect(i)->setEnabled(false);

    channels_(i) = new Channel(i, this);
    tcpServer(i) = new Winsock(this);
    tcpClient(i) = new Winsock(this);
    // A DVR that stops reading must slow its terminal down, not grow our memory.
    tcpServer(i)->throttleBy(tcpClient(i));
    wireChannel(i);
}

void frmKavelin::wireChannel(int i) {
    connect(chkEnable(i), &QCheckBox::stateChanged, this, [this, i] { chkEnable_Click(i); });
    connect(cmdConnect(i), &QPushButton::clicked, this, [this, i] { cmdConnect_Click(i); });
    connect(cmdDisconnect(i), &QPushButton::clicked, this, [this, i] { cmdDisconnect_Click(i); });

    connect(tcpClient(i), &Winsock::connected, this, [this, i] { tcpClient_Connect(i); });
    connect(tcpClient(i), &Winsock::closed, this, [this, i] { tcpClient_Close(i); });
    connect(tcpClient(i), &Winsock::error, this,
            [this, i](int number, const QString& text) { tcpClient_Error(i, number, text); });
    connect(tcpServer(i), &Winsock::connectionRequest, this,
            [this, i](qint32 id) { tcpServer_ConnectionRequest(i, id); });
    // Every piece comes this way: called directly, not through a signal (the socket and
    // the window die together).
    tcpServer(i)->onDataArrival([this, i](qint32 bytes) { tcpServer_DataArrival(i, bytes); });
    connect(tcpServer(i), &Winsock::closed, this, [this, i] { tcpServer_Close(i); });
}

void frmKavelin::warn(const QString& text, const QString& title, MsgIcon icon) {
    if (unattended_ > 0) {
        // Nobody is there to press OK, and a box's own event loop would let the request
        // that got us here end, or come again, underneath it.
        const QString line = text.trimmed().replace(QLatin1String("\r\n"), QLatin1String(" "));
        qCWarning(lcService, "%s", qUtf8Printable(line));
        unattendedWarnings_.append(line);
        return;
    }
    const QString shownTitle = title.isEmpty() ? kAppTitle : title;
    if (loading_) {
        boxesAfterLoad_.append({text, shownTitle, icon});
        return;
    }
    showBox(text, shownTitle, icon);
}

void frmKavelin::showBox(const QString& text, const QString& title, MsgIcon icon) {
    if (!messageBox_) {
        return;
    }
    ++boxesOpen_;
    messageBox_(text, title, icon);
    if (--boxesOpen_ == 0 && std::exchange(scheduleTickDue_, false)) {
        // From the event loop, so the check never runs inside the handler that showed the box.
        QTimer::singleShot(0, this, [this] {
            if (Timer1->isActive()) {
                Timer1_Timer();
            }
        });
    }
}

void frmKavelin::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}
