#include "Main.h"
#include "PortsDlg.h"

#include "CaptureWriter.h"
#include "TransferUi.h"

#include "AppFonts.h"
#include "ChannelView.h"
#include "DLGSelect.h"
#include "DlgSess.h"
#include "EmulVT.h"
#include "FSerPort.h"
#include "InfoDlg.h"
#include "IniEditor.h"
#include "LedCheck.h"
#include "MemoView.h"
#include "Platform.h"
#include "ReceivePrint.h"
#include "SessionNames.h"
#include "SettingsPath.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFontInfo>
#include <QFrame>
#include <QHelpEvent>
#include <QMenuBar>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QToolButton>
#include <QToolTip>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kClientWidth = 1010;
constexpr int kClientHeight = 636;
constexpr int kStatusHeight = 25;
constexpr int kFullOuterWidth = 1018;
constexpr int kHalfOuterWidth = 505;
constexpr int kAssumedBorder = 4;

// A hint is "short|long"; the short part breaks into two lines at CR.
void SetHint(QWidget* w, const QString& shortPart, const QString& longPart) {
    QString tip = shortPart;
    tip.replace(QChar(13), QChar('\n'));
    w->setToolTip(tip);
    w->setProperty("hint", shortPart + "|" + longPart);
}

// A hint on one line: its line breaks become spaces.
QString StatusHint(QString hint) {
    hint.replace(QLatin1String("\r\n"), QLatin1String(" "));
    hint.replace(QChar(13), QChar(' '));
    hint.replace(QChar(10), QChar(' '));
    return hint;
}

template <class W> W* Make(QWidget* parent, const char* name, int x, int y, int w, int h) {
    auto* widget = new W(parent);
    widget->setObjectName(name);
    widget->setGeometry(x, y, w, h);
    return widget;
}

QString Twin(const char* base, int ch) {
    return QString(base) + QString::number(ch + 1);
}

QComboBox* MakeCombo(QWidget* parent, const QString& name, int x, int y, int w,
                     const QStringList& items) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->setGeometry(x, y, w, 23);
    combo->setFont(AppFonts::Arial12());
    combo->addItems(items);
    combo->setCurrentIndex(-1);
    return combo;
}

QToolButton* MakeToggle(QWidget* parent, const QString& name, const QString& caption, int x, int y,
                        int w, int h) {
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setText(caption);
    b->setCheckable(true);
    b->setGeometry(x, y, w, h);
    return b;
}

QToolButton* MakeGlyphButton(QWidget* parent, const QString& name, const QString& caption,
                             QStyle::StandardPixmap glyph, int x, int y, int w, int h) {
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setText(caption);
    if (glyph != QStyle::SP_CustomBase) {
        b->setIcon(parent->style()->standardIcon(glyph));
        b->setIconSize(QSize(12, 12));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    }
    b->setGeometry(x, y, w, h);
    return b;
}

QLabel* MakeLabel(QWidget* parent, int number, const QString& text, int x, int y) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString("Label%1").arg(number));
    l->move(x, y);
    l->adjustSize();
    return l;
}

} // namespace

TTermMain::TTermMain(const QString& iniFileName, const QStringList& args, QWidget* parent)
    : QMainWindow(parent), Args(args) {
    setObjectName("TermMain");
    setWindowTitle("Varnex Dual Terminal");
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(AppFonts::SansSerif11());

    IniEditor = std::make_unique<TIniEditor>();
    if (iniFileName.isEmpty()) {
        IniEditor->SetFileLocation(ApplicationPath);
        IniEditor->SetFileName("Zelmar.ini");
    } else {
        IniEditor->SetFileLocation(PathInFileName);
        IniEditor->SetFileName(iniFileName.toStdString());
    }

    auto* central = new QWidget(this);
    central->setObjectName("Client");
    central->setFixedSize(kClientWidth, kClientHeight - kStatusHeight);
    setCentralWidget(central);
    PortList = new TPortList(this);
    BuildMenu();
    BuildStatusBar();
    BuildChannel(0);
    BuildChannel(1);
    Transfers = new TTransferUi(this);
    Transfers->Build(menuBar());
    PortList->Refresh(); // the defaults until the [Ports] section is read

    BtnFull = Make<QToolButton>(Ch[0].Strip, "BtnFull", 472, 4, 25, 25);
    BtnFull->setText(">>");
    QFont bold = BtnFull->font();
    bold.setBold(true);
    BtnFull->setFont(bold);
    BtnFull->hide();
    connect(BtnFull, &QToolButton::clicked, this,
            [this] { platform::Guarded([this] { BtnFullClick(); }); });
    BtnHalf = Make<QToolButton>(Ch[1].Strip, "BtnHalf", 472, 4, 25, 25);
    BtnHalf->setText("<<");
    BtnHalf->setFont(bold);
    connect(BtnHalf, &QToolButton::clicked, this,
            [this] { platform::Guarded([this] { BtnHalfClick(); }); });

    PrintDialog = std::make_unique<TSystemPrintDialog>(this);
    SessNameDlg = new TSessNameDlg(this);
    SelSession = new TSelSession(
        IniEditor.get(), [this] { return SessionName; }, this);
    AboutBox = new TAboutBox(this);
    PortsDlg = new TPortsDlg(IniEditor.get(), this);

    qApp->installEventFilter(this);
    SetOuterWidth(kFullOuterWidth);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect r = frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
    FormCreate();
}

TTermMain::~TTermMain() {
    qApp->removeEventFilter(this);
    delete Transfers; // before the channels it feeds go
    Transfers = nullptr;
}

void TTermMain::BuildMenu() {
    auto* bar = menuBar();
    bar->setObjectName("MainMenu");
    QMenu* file = bar->addMenu("File");
    openSessionItem = file->addAction("open Session");
    openSessionItem->setObjectName("openSessionItem");
    newSession1 = file->addAction("new Session");
    newSession1->setObjectName("newSession1");
    PortsItem = file->addAction("Ports\u2026");
    PortsItem->setObjectName("PortsItem");
    connect(PortsItem, &QAction::triggered, this,
            [this] { platform::Guarded([this] { PortsItemClick(); }); });
    QMenu* info = bar->addMenu("Info");
    showHintsItem = info->addAction("show Hints");
    showHintsItem->setObjectName("showHintsItem");
    showHintsItem->setCheckable(true);
    showHintsItem->setChecked(true);
    AboutItem = info->addAction("About");
    AboutItem->setObjectName("AboutItem");
    // The item's check state is toggled by the handler, as a plain click would not.
    connect(openSessionItem, &QAction::triggered, this,
            [this] { platform::Guarded([this] { openSessionItemClick(); }); });
    connect(newSession1, &QAction::triggered, this,
            [this] { platform::Guarded([this] { newSession1Click(); }); });
    connect(showHintsItem, &QAction::triggered, this, [this] {
        showHintsItem->setChecked(!showHintsItem->isChecked()); // undo Qt's own toggle
        platform::Guarded([this] { showHintsItemClick(); });
    });
    connect(AboutItem, &QAction::triggered, this,
            [this] { platform::Guarded([this] { AboutItemClick(); }); });
}

void TTermMain::BuildStatusBar() {
    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName("StatusBar");
    StatusBar->setSizeGripEnabled(false);
    StatusBar->setFixedHeight(kStatusHeight);
    const int widths[4] = {400, 100, 410, 50};
    const Qt::Alignment align[4] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignLeft,
                                    Qt::AlignHCenter};
    const char* texts[4] = {"", "disconnected", "", "disconnected"};
    for (int i = 0; i < 4; ++i) {
        auto* label = new QLabel(texts[i], StatusBar);
        label->setObjectName(QString("StatusPanel%1").arg(i));
        label->setAlignment(align[i] | Qt::AlignVCenter);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        // The last panel reaches to the right edge of the bar.
        if (i < 3) {
            label->setFixedWidth(widths[i]);
            StatusBar->addWidget(label);
        } else {
            label->setMinimumWidth(widths[i]);
            StatusBar->addWidget(label, 1);
        }
        StatusPanels[i] = label;
    }
    setStatusBar(StatusBar);
}

void TTermMain::BuildChannel(int ch) {
    TChannelUi& c = Ch[ch];
    c.StatusPanel = ch == 0 ? 1 : 3;
    c.NoticePanel = ch == 0 ? 0 : 2;
    QWidget* client = centralWidget();
    c.Panel = Make<QFrame>(client, ch == 0 ? "Panel3" : "Panel5", ch == 0 ? 0 : 506, 0, 504, 611);
    c.Strip = Make<QFrame>(c.Panel, ch == 0 ? "Panel1" : "Panel2", 1, 1, 502, 94);
    c.Strip->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    QWidget* s = c.Strip;

    const int labelBase = ch == 0 ? 1 : 10;
    MakeLabel(s, labelBase + 0, "COM port", 10, 4);
    MakeLabel(s, labelBase + 1, "Baudrate", 108, 4);
    MakeLabel(s, labelBase + 2, "Data Bits", 192, 4);
    MakeLabel(s, labelBase + 3, "Handshake", 262, 4);
    MakeLabel(s, labelBase + 4, "Connection", 8, 48);
    MakeLabel(s, labelBase + 5, "Parity", 108, 48);
    MakeLabel(s, labelBase + 6, "Stop Bits", 190, 48);
    MakeLabel(s, labelBase + 7, "level", 264, 48);
    MakeLabel(s, labelBase + 8, "level", ch == 0 ? 320 : 322, 48);

    c.PortCombo = MakeCombo(s, Twin("PortCombo", ch), 6, 20, 60,
                            {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"});
    SetHint(c.PortCombo, "select the desired\rComPort (1..8)", "select the desired ComPort (1..8)");
    PortList->AddCombo(c.PortCombo);
    c.PortCombo->setContextMenuPolicy(Qt::ActionsContextMenu);
    c.PortCombo->addAction(PortsItem);
    {
        // Locked while connected, yet the port in use must stay legible: its
        // text is dimmed a third of the way to the face, not near to it.
        QPalette pal = c.PortCombo->palette();
        const QColor text = pal.color(QPalette::Active, QPalette::ButtonText);
        const QColor face = pal.color(QPalette::Disabled, QPalette::Button);
        const QColor muted((2 * text.red() + face.red()) / 3, (2 * text.green() + face.green()) / 3,
                           (2 * text.blue() + face.blue()) / 3);
        for (const QPalette::ColorRole role :
             {QPalette::ButtonText, QPalette::Text, QPalette::WindowText})
            pal.setColor(QPalette::Disabled, role, muted);
        c.PortCombo->setPalette(pal);
    }
    c.LEDcon = MakeLamp(s, Twin("LEDcon", ch), 66, 19, 25, 25, "", 11, bvLowered, clLime);

    c.BaudCombo =
        MakeCombo(s, Twin("BaudCombo", ch), 106, 20, 80,
                  {"110Bd", "300Bd", "600Bd", "1200Bd", "2400Bd", "4800Bd", "9600Bd", "14400Bd",
                   "19200Bd", "38400Bd", "56000Nd", "57600Bd", "115200Bd", "256000Bd"});
    c.BaudCombo->setMaxVisibleItems(14);
    SetHint(c.BaudCombo, "select the\rbaudrate", "select the baudrate");
    c.DataBitsCombo = MakeCombo(s, Twin("DataBitsCombo", ch), 188, 20, 61,
                                {"5 Bits", "6 Bits", "7 Bits", "8 Bits"});
    SetHint(c.DataBitsCombo, "select the\rbyte length", "select the byte length");
    c.HskCombo = MakeCombo(s, Twin("HskCombo", ch), 260, 20, 141, {"none", "RTS/CTS", "XON/XOFF"});
    SetHint(c.HskCombo, "select the\rhandshake mode", "select the handshake mode");
    c.CTSLED = MakeLamp(s, Twin("CTSLED", ch), 408, 4, 33, 40, "CTS", 8, bvRaised, clLime);
    SetHint(c.CTSLED, "state of the\rCTS line", "state of the CTS line");

    c.ComPortBtn = MakeToggle(s, Twin("ComPortBtn", ch), "connect", 6, 64, 83, 24);
    c.ComPortBtn->setIcon(style()->standardIcon(QStyle::SP_DriveNetIcon));
    c.ComPortBtn->setIconSize(QSize(14, 14));
    c.ComPortBtn->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    SetHint(c.ComPortBtn, "connect/disconnect\rthe selected ComPort",
            "connect/disconnect the selected ComPort");
    // The per-channel choice lives in the button's own menu, so the strip
    // keeps its layout.
    c.AutoReconnect = new QAction("auto reconnect", c.ComPortBtn);
    c.AutoReconnect->setObjectName(Twin("AutoReconnect", ch));
    c.AutoReconnect->setCheckable(true);
    c.AutoReconnect->setToolTip("when the device goes away, wait for it and reconnect");
    // Not among the button's actions: a tool button would offer those on a
    // long press and draw a menu arrow.
    c.ComPortBtn->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(c.ComPortBtn, &QWidget::customContextMenuRequested, this, [this, ch](QPoint at) {
        QMenu menu(Ch[ch].ComPortBtn);
        menu.addAction(Ch[ch].AutoReconnect);
        menu.exec(Ch[ch].ComPortBtn->mapToGlobal(at));
    });
    c.ParityCombo = MakeCombo(s, Twin("ParityCombo", ch), 106, 64, 71,
                              {"none", "odd", "even", "mark", "space"});
    SetHint(c.ParityCombo, "select the\rparity type", "select the parity type");
    c.StopBitCombo =
        MakeCombo(s, Twin("StopBitCombo", ch), 188, 64, 65, {"1 Bit", "1.5 Bits", "2 Bits"});
    SetHint(c.StopBitCombo, "select the\rstopp bit count", "select the stopp bit count");
    c.RTSbtn = MakeToggle(s, Twin("RTSbtn", ch), "RTS", 260, 64, 51, 23);
    SetHint(c.RTSbtn, "switch the\rRTS line", "switch the RTS line");
    c.DTRbtn = MakeToggle(s, Twin("DTRbtn", ch), "DTR", ch == 0 ? 316 : 318, 64, 51, 23);
    SetHint(c.DTRbtn, "switch the\rDTR line", "switch the DTR line");
    c.BrkLed = MakeLamp(s, Twin("BrkLed", ch), 376, 48, 33, 40, "BRK", 8, bvRaised, clRed);
    c.BrkLed->SetLedFlashTime(500);
    SetHint(c.BrkLed, "flashes on a received break;\rclick to send a break",
            "flashes when a break is received; click to hold the line in the break state until "
            "the next key");
    c.DSRLED = MakeLamp(s, Twin("DSRLED", ch), 408, 48, 33, 40, "DSR", 8, bvRaised, clLime);
    SetHint(c.DSRLED, "state of the\rDSR line", "state of the DSR line");

    // Receive views share one rectangle; the display mode decides which one shows.
    c.OutPutList = new TMemoView(c.Panel);
    c.OutPutList->setObjectName(Twin("OutPutList", ch));
    c.OutPutList->setGeometry(1, 95, 502, 298);
    SetHint(c.OutPutList, "incoming bytes", "incoming bytes");
    c.EmulVT = new TEmulVT(c.Panel);
    c.EmulVT->setObjectName(Twin("EmulVT", ch));
    c.EmulVT->setGeometry(1, 95, ch == 0 ? 502 : 504, 298);
    // The terminal view's settings in this window.
    c.EmulVT->SetRows(25);
    c.EmulVT->SetCols(80);
    c.EmulVT->SetBackColor(vtsWhite);
    c.EmulVT->SetOptions(soBackColor);
    c.EmulVT->SetXlat(true);
    c.EmulVT->SetAutoLF(false);
    c.EmulVT->SetAutoCR(false);
    c.EmulVT->SetLocalEcho(false);
    c.EmulVT->SetMonoChrome(false);
    c.EmulVT->SetLog(false);
    c.EmulVT->SetBackRows(0);
    c.EmulVT->SetFKeys(1);
    c.EmulVT->SetAutoRepaint(true);
    c.EmulVT->SetBorderStyle(bsSingle);
    c.EmulVT->SetFontSize(12);
    c.EmulVT->hide();

    c.ClearInpBtn = MakeGlyphButton(c.Panel, Twin("ClearInpBtn", ch), "clear Rx",
                                    QStyle::SP_CustomBase, 12, 395, 60, 20);
    SetHint(c.ClearInpBtn, "clear the above\rreceiver field", "clear the above receiver field");
    c.ClearOutputBtn = MakeGlyphButton(c.Panel, Twin("ClearOutputBtn", ch), "clear Tx",
                                       QStyle::SP_CustomBase, 80, 395, 60, 20);
    SetHint(c.ClearOutputBtn, "clear the below\rtransmitter field",
            "clear the below transmitter field");
    c.ASCIIcheck =
        Make<QRadioButton>(c.Panel, qPrintable(Twin("ASCIIcheck", ch)), 150, 398, 52, 17);
    c.ASCIIcheck->setText("ASCII");
    c.ASCIIcheck->setChecked(true);
    SetHint(c.ASCIIcheck, "switch display\rmode to ASCII", "switch display mode to ASCII");
    c.HEXcheck = Make<QRadioButton>(c.Panel, qPrintable(Twin("HEXcheck", ch)), 202, 398, 52, 17);
    c.HEXcheck->setText("HEX");
    SetHint(c.HEXcheck, "switch display\rmode to HEX", "switch display mode to HEX");
    c.BothCheck = Make<QRadioButton>(c.Panel, qPrintable(Twin("BothCheck", ch)), 250, 398, 43, 17);
    c.BothCheck->setText("both");
    SetHint(c.BothCheck, "switch display\rmode to ASCII+HEX", "switch display mode to ASCII+HEX");
    c.ANSIcheck = Make<QRadioButton>(c.Panel, qPrintable(Twin("ANSIcheck", ch)), 302, 398, 52, 17);
    c.ANSIcheck->setText("ANSI");
    SetHint(c.ANSIcheck, "switch display\rmode to ANSI", "switch display mode to ANSI terminal");
    c.PrnBtn = MakeGlyphButton(c.Panel, Twin("PrnBtn", ch), "Print", QStyle::SP_FileIcon,
                               ch == 0 ? 414 : 412, 395, 70, 20);
    c.PrnBtn->setAutoRaise(true);
    SetHint(c.PrnBtn, "print the above\rreceiver content", "print the above receiver content");

    c.InputList = new TTxEditor(c.Panel);
    c.InputList->setObjectName(Twin("InputList", ch));
    c.InputList->setGeometry(1, 417, 502, 193);
    c.InputList->setEnabled(false);
    SetHint(c.InputList, "use Ctrl + 0..9 or A..F\rfor Hex input",
            "use Ctrl + 0..9 or A..F for Hex input");

    // The terminal view's pop-up menu.
    c.PopupANSI = c.EmulVT->PopupMenu();
    c.PopupANSI->setObjectName(Twin("PopupANSI", ch));
    auto* fonts = new QActionGroup(c.PopupANSI);
    c.ANSIfont12 = c.PopupANSI->addAction("FONTsize 12");
    c.ANSIfont12->setObjectName(ch == 0 ? "ANSIfont12_1" : "ANSIfont12_2");
    c.ANSIfont12->setCheckable(true);
    c.ANSIfont12->setChecked(true);
    c.ANSIfont12->setActionGroup(fonts);
    c.ANSIfont9 = c.PopupANSI->addAction("FONTsize 9");
    c.ANSIfont9->setObjectName(ch == 0 ? "ANSIfont9_1" : "ANSIfont9_2");
    c.ANSIfont9->setCheckable(true);
    c.ANSIfont9->setActionGroup(fonts);
    c.Test = c.PopupANSI->addAction("test");
    c.Test->setObjectName(ch == 0 ? "test1" : "MenuItem3");

    c.View = std::make_unique<TChannelView>();
    AttachChannelViews(*c.View, c.OutPutList, c.InputList, c.EmulVT);
    TEmulVT* emul = c.EmulVT;
    c.View->FeedAnsi = [emul](std::uint8_t b) { emul->FeedChar(static_cast<char>(b)); };
    c.View->FeedAnsiText = [emul](std::string_view text) { emul->FeedText(text); };
    c.View->ClearAnsi = [emul] { emul->ClearView(); };
    c.View->ResetAnsi = [emul] { emul->ResetTerminal(); };
    c.View->SendByte = [this, ch](std::uint8_t b) { SerForm->SendByte(ch, b); };
    c.View->SetBreak = [this, ch](bool on) { SerForm->SetBreak(ch, on); };

    // Wiring: every handler runs guarded, so no error reaches the event loop.
    auto guard = [this](auto f) {
        return [this, f] { platform::Guarded([this, f] { (this->*f)(); }); };
    };
    using M = void (TTermMain::*)();
    const bool one = ch == 0;
    connect(c.ComPortBtn, &QToolButton::clicked, this,
            guard(one ? M(&TTermMain::ComPortBtn1Click) : M(&TTermMain::ComPortBtn2Click)));
    connect(c.PortCombo, &QComboBox::activated, this,
            guard(one ? M(&TTermMain::PortCombo1Change) : M(&TTermMain::PortCombo2Change)));
    connect(c.BaudCombo, &QComboBox::activated, this,
            guard(one ? M(&TTermMain::BaudCombo1Change) : M(&TTermMain::BaudCombo2Change)));
    connect(c.DataBitsCombo, &QComboBox::activated, this,
            guard(one ? M(&TTermMain::DataBitsCombo1Change) : M(&TTermMain::DataBitsCombo2Change)));
    connect(c.ParityCombo, &QComboBox::activated, this,
            guard(one ? M(&TTermMain::ParityCombo1Change) : M(&TTermMain::ParityCombo2Change)));
    connect(c.StopBitCombo, &QComboBox::activated, this,
            guard(one ? M(&TTermMain::StopBitCombo1Change) : M(&TTermMain::StopBitCombo2Change)));
    connect(c.HskCombo, &QComboBox::activated, this,
            guard(one ? M(&TTermMain::HskCombo1Change) : M(&TTermMain::HskCombo2Change)));
    connect(c.RTSbtn, &QToolButton::clicked, this,
            guard(one ? M(&TTermMain::RTSbtn1Click) : M(&TTermMain::RTSbtn2Click)));
    connect(c.DTRbtn, &QToolButton::clicked, this,
            guard(one ? M(&TTermMain::DTRbtn1Click) : M(&TTermMain::DTRbtn2Click)));
    c.BrkLed->onClick = [this, ch](TRahmen*) {
        platform::Guarded([this, ch] { BrkLedClick(ch); });
    };
    connect(c.ClearInpBtn, &QToolButton::clicked, this,
            guard(one ? M(&TTermMain::ClearInpBtn1Click) : M(&TTermMain::ClearInpBtn2Click)));
    connect(c.ClearOutputBtn, &QToolButton::clicked, this,
            guard(one ? M(&TTermMain::ClearOutputBtn1Click) : M(&TTermMain::ClearOutputBtn2Click)));
    // A mode switch runs when a radio button becomes selected, not on every click.
    for (int m = 0; m < 4; ++m)
        connect(c.ModeRadios()[m], &QRadioButton::toggled, this, [this, ch, m](bool on) {
            if (on) platform::Guarded([this, ch, m] { SetModeClick(ch, m); });
        });
    c.EmulVT->OnClick = [this, ch](TCustomEmulVT*) {
        platform::Guarded([this, ch] { EmulVTClick(ch); });
    };
    connect(c.PrnBtn, &QToolButton::clicked, this,
            guard(one ? M(&TTermMain::PrnBtn1Click) : M(&TTermMain::PrnBtn2Click)));
    connect(c.ANSIfont12, &QAction::triggered, this,
            guard(one ? M(&TTermMain::ANSIfont12_1Click) : M(&TTermMain::ANSIfont12_2Click)));
    connect(c.ANSIfont9, &QAction::triggered, this,
            guard(one ? M(&TTermMain::ANSIfONT9_1Click) : M(&TTermMain::ANSIfont9_2Click)));
    connect(c.Test, &QAction::triggered, this,
            guard(one ? M(&TTermMain::test1Click) : M(&TTermMain::test2Click)));
}

// ---- window events --------------------------------------------------------

void TTermMain::FormCreate() {
    FirstPaint = true;
    SessionName = "noname";
}

void TTermMain::paintEvent(QPaintEvent* e) {
    QMainWindow::paintEvent(e);
    if (FirstPaint) platform::Guarded([this] { FormPaint(); });
    FirstPaint = false;
}

void TTermMain::FormPaint() {
    FirstPaint = false; // a nested paint during the load must not start it again
    for (TChannelUi& c : Ch) {
        c.EmulVT->ClearView();
        c.EmulVT->SetPassive(true);
    }
    if (!Args.isEmpty()) {
        std::vector<std::string> args;
        for (const QString& a : Args)
            args.push_back(a.toStdString());
        // A name the settings file cannot hold falls back to "noname".
        SessionName = QString::fromStdString(session::StartSessionName(args));
    }
    LoadSession();
}

void TTermMain::closeEvent(QCloseEvent* e) {
    platform::Guarded([this] { FormClose(); });
    e->accept();
}

void TTermMain::FormClose() {
    // Captures are written out before anything else can fail.
    Transfers->StopAll();
    if (SerForm) {
        SerForm->ClosePort1();
        SerForm->ClosePort2();
    }
    SaveSession();
}

// ---- channel handlers -----------------------------------------------------

void TTermMain::ComPortBtnClick(int ch) {
    TChannelUi& c = Ch[ch];
    if (c.ComPortBtn->isChecked()) {
        if (c.PortCombo->currentIndex() < 0 || PortEntryUnusable(ch)) {
            c.ComPortBtn->setChecked(false);
            platform::MessageBeep(0);
            return;
        }
        SerForm->SetPortName(ch, c.PortCombo->currentText().toStdString());
        ChannelNotice(ch, {}); // news of the last connection are old now
        switch (SerForm->OpenPort(ch)) {
        case TOpenStart::Opened:
            ChannelConnected(ch);
            break;
        case TOpenStart::Failed:
            ChannelConnectFailed(ch);
            break;
        case TOpenStart::Connecting:
            // The button stays down and the lamp blinks; releasing the button
            // gives the connect up.
            StatusPanels[c.StatusPanel]->setText("connecting");
            ChannelNotice(ch, "connecting to " + QString::fromStdString(SerForm->DevicePath(ch)));
            c.PortCombo->setEnabled(false);
            c.InputList->setEnabled(false);
            c.LEDcon->SetLedCol(clLime);
            c.LEDcon->SetLedBlink(true);
            break;
        }
    } else {
        if (DisconnectSteps(ch, true) > 0)
            platform::MessageBeep(0); // typed bytes were dropped: see the notice
    }
}

void TTermMain::ChannelConnected(int ch) {
    TChannelUi& c = Ch[ch];
    if (!c.ComPortBtn->isChecked()) return;
    // The connect's own notice goes; one the open raised (settings kept) stays.
    if (NoticeText(ch).startsWith("connecting to ")) ChannelNotice(ch, {});
    StatusPanels[c.StatusPanel]->setText("connected");
    c.View->ClearTxView();
    c.View->ClearRxView();
    c.EmulVT->ClearView();
    c.LEDcon->SetChecked(true);
    c.LEDcon->SetLedCol(clLime);
    c.CTSLED->SetChecked(true);
    c.DSRLED->SetChecked(true);
    c.LEDcon->SetLedBlink(false);
    c.PortCombo->setEnabled(false);
    c.InputList->setEnabled(true);
    RTSbtnClick(ch);
    DTRbtnClick(ch);
}

void TTermMain::ChannelConnectFailed(int ch) {
    TChannelUi& c = Ch[ch];
    c.ComPortBtn->setChecked(false);
    DisconnectSteps(ch, true);
    ChannelNotice(ch, SerForm->OpenFailure(ch));
    platform::MessageBeep(0);
}

// The disconnect steps; the status text is left alone when a session loads.
std::size_t TTermMain::DisconnectSteps(int ch, bool withStatus) {
    TChannelUi& c = Ch[ch];
    const bool waited = SerForm->Waiting(ch) || SerForm->Connecting(ch);
    const std::size_t dropped = SerForm->ClosePort(ch);
    // No longer waiting or connecting, whoever ended it (a session loading
    // too): "waiting for ..." must not stay on show.
    if (waited) {
        StatusPanels[c.StatusPanel]->setText("disconnected");
        if (dropped == 0) ChannelNotice(ch, {});
    }
    c.CTSLED->SetChecked(false);
    c.DSRLED->SetChecked(false);
    c.LEDcon->SetLedBlink(false);
    c.LEDcon->SetChecked(false);
    c.LEDcon->SetLedCol(clRed);
    c.PortCombo->setEnabled(true);
    c.InputList->setEnabled(false);
    if (withStatus) {
        StatusPanels[c.StatusPanel]->setText("disconnected");
        c.BrkLed->SetChecked(false);
    }
    return dropped;
}

void TTermMain::ChannelNotice(int ch, const QString& text) {
    QLabel* panel = StatusPanels[Ch[ch].NoticePanel];
    panel->setToolTip(text);
    // Whole and unclipped: the panel's own font when the text fits on one
    // line, else a smaller one, else two lines; a text that does not fit even
    // so names devices by their last path component (the tooltip keeps all).
    QFont font = StatusBar->font();
    const int frame = panel->frameWidth();
    const int width = panel->width() - 2 * frame - 2;
    // The height the bar gives the panel once laid out.
    const int height =
        (panel->height() > 0 && panel->isVisible() ? panel->height() : kStatusHeight - 5) -
        2 * frame;
    auto fits = [&](const QString& t, int px, bool wrap) {
        font.setPixelSize(px);
        const QFontMetrics fm(font);
        if (!wrap) return fm.horizontalAdvance(t) <= width && fm.height() <= height;
        const QRect need = fm.boundingRect(QRect(0, 0, width, 1000), Qt::TextWordWrap, t);
        return need.height() <= height && need.width() <= width;
    };
    QString shortened = text;
    shortened.replace(QRegularExpression("(?:\\S*/)+(\\S+)"), "\\1");
    const int basePx = QFontInfo(font).pixelSize();
    struct Way {
        const QString& text;
        bool wrap;
        int smallest;
    };
    const Way ways[] = {
        {text, false, 10}, {text, true, 8}, {shortened, false, 10}, {shortened, true, 6}};
    for (const Way& way : ways) {
        int px = basePx;
        while (px > way.smallest && !fits(way.text, px, way.wrap))
            --px;
        if (fits(way.text, px, way.wrap) || &way == &ways[3]) {
            font.setPixelSize(px);
            panel->setFont(font);
            panel->setWordWrap(way.wrap);
            panel->setText(way.text);
            return;
        }
    }
}

QString TTermMain::NoticeText(int ch) const {
    return StatusPanels[Ch[ch].NoticePanel]->toolTip(); // the panel may show a shorter form
}

bool TTermMain::AutoReconnect(int ch) const {
    return Ch[ch].AutoReconnect->isChecked();
}

// The device went away with auto reconnect on: the port closes, the connect
// button stays down and the lamp blinks until the device is back.
void TTermMain::WaitForDevice(int ch) {
    TChannelUi& c = Ch[ch];
    const std::size_t dropped = SerForm->ClosePort(ch);
    const QString path = QString::fromStdString(SerForm->DevicePath(ch));
    if (!SerForm->StartWaiting(ch)) {
        c.ComPortBtn->setChecked(false);
        DisconnectSteps(ch, true);
        ChannelNotice(ch, path + ": gone, and it cannot be watched for: " +
                              QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    QString text = "waiting for " + path;
    if (dropped == 1)
        text += " (1 byte not sent)";
    else if (dropped > 1)
        text += QString(" (%1 bytes not sent)").arg(dropped);
    ChannelNotice(ch, text);
    StatusPanels[c.StatusPanel]->setText("waiting");
    c.CTSLED->SetChecked(false);
    c.DSRLED->SetChecked(false);
    c.InputList->setEnabled(false);
    c.LEDcon->SetLedCol(clLime);
    c.LEDcon->SetLedBlink(true);
}

void TTermMain::ChannelRetryFailed(int ch) {
    const QString path = QString::fromStdString(SerForm->DevicePath(ch));
    ChannelNotice(ch, QString("waiting for %1: %2; next try in %3 s")
                          .arg(path, SerForm->RetryFailure(ch))
                          .arg(SerForm->RetryDelay(ch)));
}

// Reopened with the same settings: the lines as the buttons show; the
// histories carry on.
void TTermMain::ChannelReconnected(int ch) {
    TChannelUi& c = Ch[ch];
    c.LEDcon->SetLedBlink(false);
    c.LEDcon->SetChecked(true);
    c.LEDcon->SetLedCol(clLime);
    c.CTSLED->SetChecked(true);
    c.DSRLED->SetChecked(true);
    c.InputList->setEnabled(true);
    StatusPanels[c.StatusPanel]->setText("connected");
    ChannelNotice(ch, {});
    RTSbtnClick(ch);
    DTRbtnClick(ch);
}

void TTermMain::DisconnectChannel(int ch) {
    TChannelUi& c = Ch[ch];
    if (!c.ComPortBtn->isChecked()) return;
    c.ComPortBtn->setChecked(false);
    DisconnectSteps(ch, true);
}

void TTermMain::PortComboChange(int ch) {
    // Any index: the text is used at the next connect.
    SerForm->SetPortName(ch, Ch[ch].PortCombo->currentText().toStdString());
}

void TTermMain::BaudComboChange(int ch) {
    static constexpr TBaudRate kRates[14] = {br110,   br300,   br600,    br1200,  br2400,
                                             br4800,  br9600,  br14400,  br19200, br38400,
                                             br56000, br57600, br115200, br256000};
    const int i = Ch[ch].BaudCombo->currentIndex();
    if (i >= 0 && i < 14) SerForm->SetBaud(ch, kRates[i]);
}

void TTermMain::DataBitsComboChange(int ch) {
    const int i = Ch[ch].DataBitsCombo->currentIndex();
    if (i >= 0 && i <= 3) SerForm->SetDataBits(ch, static_cast<TDataBits>(dbFive + i));
}

void TTermMain::ParityComboChange(int ch) {
    const int i = Ch[ch].ParityCombo->currentIndex();
    if (i >= 0 && i <= 4) SerForm->SetParity(ch, static_cast<TParityBits>(prNone + i));
}

void TTermMain::StopBitComboChange(int ch) {
    const int i = Ch[ch].StopBitCombo->currentIndex();
    if (i >= 0 && i <= 2) SerForm->SetStopBits(ch, static_cast<TStopBits>(sbOneStopBit + i));
}

void TTermMain::HskComboChange(int ch) {
    const int i = Ch[ch].HskCombo->currentIndex();
    if (i >= 0 && i <= 2) SerForm->SetHandshake(ch, i);
    ShowRtsOwner(ch);
    // Leaving RTS/CTS hands the line back to the button.
    if (!SerForm->RtsHandshake(ch) && Ch[ch].ComPortBtn->isChecked()) RTSbtnClick(ch);
}

void TTermMain::ShowRtsOwner(int ch) {
    QToolButton* b = Ch[ch].RTSbtn;
    const bool driver = SerForm->RtsHandshake(ch);
    b->setEnabled(!driver);
    b->setText(driver ? "auto" : "RTS");
    if (driver)
        SetHint(b, "RTS follows the\rRTS/CTS handshake", "RTS follows the RTS/CTS handshake");
    else
        SetHint(b, "switch the\rRTS line", "switch the RTS line");
}

void TTermMain::RTSbtnClick(int ch) {
    SerForm->SetRTS(ch, Ch[ch].RTSbtn->isChecked());
}
void TTermMain::DTRbtnClick(int ch) {
    SerForm->SetDTR(ch, Ch[ch].DTRbtn->isChecked());
}
void TTermMain::BrkLedClick(int ch) {
    SerForm->SetBreak(ch, true);
}

void TTermMain::ClearInpBtnClick(int ch) {
    TChannelUi& c = Ch[ch];
    c.View->ClearRx();
    if (c.InputList->isEnabled()) c.InputList->setFocus();
}

void TTermMain::ClearOutputBtnClick(int ch) {
    TChannelUi& c = Ch[ch];
    c.View->ClearTx();
    if (c.InputList->isEnabled()) c.InputList->setFocus();
}

void TTermMain::SetModeClick(int ch, int mode) {
    Ch[ch].View->SetMode(static_cast<std::uint8_t>(mode));
}

void TTermMain::EmulVTClick(int ch) {
    TChannelUi& c = Ch[ch];
    if (c.InputList->isEnabled())
        c.InputList->setFocus();
    else
        c.PortCombo->setFocus();
}

void TTermMain::SetMode(int ch, int mode) {
    TChannelUi& c = Ch[ch];
    const int m = mode & 0xFF;
    c.View->StoreMode(static_cast<std::uint8_t>(m));
    if (m <= 3) {
        // Selecting a radio button that was not selected runs its switch.
        c.ModeRadios()[m]->setChecked(true);
    } else {
        c.View->SetMode(static_cast<std::uint8_t>(m));
    }
}

// ---- receive path -----------------------------------------------------------

void TTermMain::AddRxByte1(unsigned char b) {
    if (Ch[0].Capture) Ch[0].Capture->Rx(b);
    Ch[0].View->AddRxByte(b);
}
void TTermMain::AddRxByte2(unsigned char b) {
    if (Ch[1].Capture) Ch[1].Capture->Rx(b);
    Ch[1].View->AddRxByte(b);
}
void TTermMain::ShowRxByte1(unsigned char b) {
    Ch[0].View->ShowRxByte(b);
}
void TTermMain::ShowRxByte2(unsigned char b) {
    Ch[1].View->ShowRxByte(b);
}
void TTermMain::ShowTxByte1(unsigned char b) {
    Ch[0].View->ShowTxByte(b);
}
void TTermMain::ShowTxByte2(unsigned char b) {
    Ch[1].View->ShowTxByte(b);
}
const std::string& TTermMain::RxData1() const {
    return Ch[0].View->RxData();
}
const std::string& TTermMain::RxData2() const {
    return Ch[1].View->RxData();
}
const std::string& TTermMain::TxData1() const {
    return Ch[0].View->TxData();
}
const std::string& TTermMain::TxData2() const {
    return Ch[1].View->TxData();
}
int TTermMain::Mode1() const {
    return Ch[0].View->Mode();
}
int TTermMain::Mode2() const {
    return Ch[1].View->Mode();
}

// ---- window size, fonts, hints, test playback -------------------------------

void TTermMain::SetOuterWidth(int width) {
    // Border is fixed: the size changes only here. The widths are outer widths
    // of a window with 4-pixel borders; window managers draw frames of their
    // own, so the client area is sized to what those widths left inside.
    // At either width channel 1's panel, with its scroll bars and the ">>"
    // button, stays whole in view.
    const int clientWidth =
        std::max(width - 2 * kAssumedBorder, Ch[0].Panel->geometry().right() + 1);
    const int height = menuBar()->sizeHint().height() + kClientHeight;
    setFixedSize(clientWidth, height);
}

void TTermMain::BtnHalfClick() {
    DisconnectChannel(1);
    BtnHalf->hide();
    BtnFull->show();
    SetOuterWidth(kHalfOuterWidth);
    HalfSize = true;
}

void TTermMain::BtnFullClick() {
    BtnFull->hide();
    BtnHalf->show();
    SetOuterWidth(kFullOuterWidth);
    HalfSize = false;
}

void TTermMain::AnsiFontClick(int ch, int points) {
    TChannelUi& c = Ch[ch];
    (points == 9 ? c.ANSIfont9 : c.ANSIfont12)->setChecked(true);
    c.EmulVT->SetFontSize(points);
}

void TTermMain::TestClick(int ch) {
    QFile file(QString::fromStdString(settingspath::FindDataFile("Info.ans")));
    if (!file.open(QIODevice::ReadOnly)) throw std::runtime_error("File not found: Info.ans");
    TChannelView& view = *Ch[ch].View;
    char buf[4096];
    for (;;) {
        const qint64 n = file.read(buf, sizeof buf);
        if (n < 0) throw std::runtime_error("Read error: Info.ans");
        if (n == 0) break;
        for (qint64 i = 0; i < n; ++i) {
            if (buf[i] == 26) return; // Ctrl+Z ends a text file
            view.ShowRxByte(static_cast<unsigned char>(buf[i]));
        }
    }
}

void TTermMain::showHintsItemClick() {
    HintsOn = !showHintsItem->isChecked();
    showHintsItem->setChecked(HintsOn);
    if (!HintsOn) QToolTip::hideText();
}

bool TTermMain::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        auto* w = qobject_cast<QWidget*>(watched);
        if (w && w->window() == this) {
            if (!HintsOn) return true; // no tooltip, no status text
            // The tooltip is the hint's short part; the one-line status panel
            // shows its lines side by side.
            // A status panel's tooltip is its own full text, not a hint.
            const bool panel =
                std::find(StatusPanels.begin(), StatusPanels.end(), w) != StatusPanels.end();
            if (!w->toolTip().isEmpty() && !panel) {
                // The hint replaces channel 1's notice, in the panel's own font.
                StatusPanels[0]->setFont(StatusBar->font());
                StatusPanels[0]->setWordWrap(false);
                StatusPanels[0]->setToolTip({});
                StatusPanels[0]->setText(StatusHint(w->toolTip()));
            }
        }
    }
    return QMainWindow::eventFilter(watched, e);
}

void TTermMain::AboutItemClick() {
    AboutBox->exec();
}

void TTermMain::PrnBtnClick(int ch) {
    TChannelUi& c = Ch[ch];
    TPrintRequest request;
    request.Channel = ch + 1;
    request.Mode = c.View->Mode();
    const TMemoText& memo = c.View->OutPutList();
    request.Lines.reserve(memo.LineCount());
    for (std::uint64_t i = 0; i < memo.LineCount(); ++i)
        request.Lines.push_back(memo.Line(i));
    TEmulVT* emul = c.EmulVT;
    request.RenderView = [emul] { return emul->grab().toImage(); };
    request.Dialog = PrintDialog.get();
    PrintReceiveView(request);
}
