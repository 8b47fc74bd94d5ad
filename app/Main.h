// The main window: two channels side by side, each driving one serial port
// through the serial module. Per-channel logic is written once (the private
// *Channel members taking a channel index); the twin-named members that the rest
// of the program and the tests use are thin forwards.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <array>
#include <map>
#include <memory>
#include <string>

class QComboBox;
class QToolButton;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QMenu;
class QAction;
class QFrame;
class TLedCheck;
class TEmulVT;
class TSerForm;
class TMemoView;
class TTxEditor;
class TChannelView;
class TIniEditor;
class TSessNameDlg;
class TPrintDialog;
class TSelSession;
class TAboutBox;
class TCaptureWriter;
class TTransferUi;
class TPortList;
class TPortsDlg;

// Controls and state of one channel.
struct TChannelUi {
    QFrame* Panel = nullptr; // Panel3 / Panel5
    QFrame* Strip = nullptr; // Panel1 / Panel2
    QComboBox* PortCombo = nullptr;
    TLedCheck* LEDcon = nullptr;
    QComboBox* BaudCombo = nullptr;
    QComboBox* DataBitsCombo = nullptr;
    QComboBox* HskCombo = nullptr;
    TLedCheck* CTSLED = nullptr;
    QToolButton* ComPortBtn = nullptr;
    QComboBox* ParityCombo = nullptr;
    QComboBox* StopBitCombo = nullptr;
    QToolButton* RTSbtn = nullptr;
    QToolButton* DTRbtn = nullptr;
    TLedCheck* BrkLed = nullptr;
    TLedCheck* DSRLED = nullptr;
    TMemoView* OutPutList = nullptr;
    TEmulVT* EmulVT = nullptr;
    QToolButton* ClearInpBtn = nullptr;
    QToolButton* ClearOutputBtn = nullptr;
    QRadioButton* ASCIIcheck = nullptr;
    QRadioButton* HEXcheck = nullptr;
    QRadioButton* BothCheck = nullptr;
    QRadioButton* ANSIcheck = nullptr;
    QToolButton* PrnBtn = nullptr;
    TTxEditor* InputList = nullptr;
    QMenu* PopupANSI = nullptr;
    QAction* AutoReconnect =
        nullptr; // AutoReconnect1 / AutoReconnect2, in the connect button's menu
    QAction* ANSIfont12 = nullptr;
    QAction* ANSIfont9 = nullptr;
    QAction* Test = nullptr;
    std::unique_ptr<TChannelView> View; // histories, mode, key state
    // The display mode radio buttons, by mode value 0..3.
    std::array<QRadioButton*, 4> ModeRadios() const {
        return {ASCIIcheck, HEXcheck, BothCheck, ANSIcheck};
    }
    int StatusPanel = 1; // 1 for channel 1, 3 for channel 2: the state word
    int NoticePanel = 0; // 0 for channel 1, 2 for channel 2: notices and failure reasons
    TCaptureWriter* Capture = nullptr; // the running capture, fed every received byte
};

class TTermMain : public QMainWindow {
    Q_OBJECT
public:
    // iniFileName: the settings file; empty means "Zelmar.ini" beside the program.
    // args: the command-line arguments after the program name.
    explicit TTermMain(const QString& iniFileName = {}, const QStringList& args = {},
                       QWidget* parent = nullptr);
    ~TTermMain() override;

    // The serial module is created right after the window (as at program start).
    void SetSerForm(TSerForm* serForm) { SerForm = serForm; }
    TSerForm* serForm() const { return SerForm; }

    // Channel access for the serial module and the tests.
    TChannelUi& Channel(int ch) { return Ch[ch]; }

    // Receive path (called by the serial module for every byte read).
    void AddRxByte1(unsigned char b);
    void AddRxByte2(unsigned char b);
    void ShowRxByte1(unsigned char b);
    void ShowRxByte2(unsigned char b);
    void ShowTxByte1(unsigned char b);
    void ShowTxByte2(unsigned char b);
    const std::string& RxData1() const;
    const std::string& RxData2() const;
    const std::string& TxData1() const;
    const std::string& TxData2() const;
    int Mode1() const;
    int Mode2() const;

    // Sessions.
    void LoadSession();
    void SaveSession();
    void WriteSession(TIniEditor& ini);
    // Reads the [Ports] section (COM1..COM8 to devices) into the port map and
    // renews the port lists' drop-down lines; the "Ports" dialog writes it.
    void LoadPortMap();
    // At a connect: true (and the reason in the channel's status panel) when the
    // chosen port's [Ports] entry cannot be used.
    bool PortEntryUnusable(int ch);
    QString SessionName;
    bool HalfSize = false;

    // Channel handlers, twin-named.
    void ComPortBtn1Click() { ComPortBtnClick(0); }
    void ComPortBtn2Click() { ComPortBtnClick(1); }
    void PortCombo1Change() { PortComboChange(0); }
    void PortCombo2Change() { PortComboChange(1); }
    void BaudCombo1Change() { BaudComboChange(0); }
    void BaudCombo2Change() { BaudComboChange(1); }
    void DataBitsCombo1Change() { DataBitsComboChange(0); }
    void DataBitsCombo2Change() { DataBitsComboChange(1); }
    void ParityCombo1Change() { ParityComboChange(0); }
    void ParityCombo2Change() { ParityComboChange(1); }
    void StopBitCombo1Change() { StopBitComboChange(0); }
    void StopBitCombo2Change() { StopBitComboChange(1); }
    void HskCombo1Change() { HskComboChange(0); }
    void HskCombo2Change() { HskComboChange(1); }
    void RTSbtn1Click() { RTSbtnClick(0); }
    void RTSbtn2Click() { RTSbtnClick(1); }
    void DTRbtn1Click() { DTRbtnClick(0); }
    void DTRbtn2Click() { DTRbtnClick(1); }
    void BrkLed1Click() { BrkLedClick(0); }
    void BrkLed2Click() { BrkLedClick(1); }
    void ClearInpBtn1Click() { ClearInpBtnClick(0); }
    void ClearInpBtn2Click() { ClearInpBtnClick(1); }
    void ClearOutputBtn1Click() { ClearOutputBtnClick(0); }
    void ClearOutputBtn2Click() { ClearOutputBtnClick(1); }
    void ASCIIcheck1Click() { SetModeClick(0, 0); }
    void ASCIIcheck2Click() { SetModeClick(1, 0); }
    void HEXcheck1Click() { SetModeClick(0, 1); }
    void HEXcheck2Click() { SetModeClick(1, 1); }
    void BothCheck1Click() { SetModeClick(0, 2); }
    void BothCheck2Click() { SetModeClick(1, 2); }
    void ANSIcheck1Click() { SetModeClick(0, 3); }
    void ANSIcheck2Click() { SetModeClick(1, 3); }
    void EmulVT1Click() { EmulVTClick(0); }
    void EmulVT2Click() { EmulVTClick(1); }
    void PrnBtn1Click() { PrnBtnClick(0); }
    void PrnBtn2Click() { PrnBtnClick(1); }
    void BtnHalfClick();
    void BtnFullClick();
    void ANSIfont12_1Click() { AnsiFontClick(0, 12); }
    void ANSIfONT9_1Click() { AnsiFontClick(0, 9); }
    void ANSIfont12_2Click() { AnsiFontClick(1, 12); }
    void ANSIfont9_2Click() { AnsiFontClick(1, 9); }
    void test1Click() { TestClick(0); }
    void test2Click() { TestClick(1); }
    void showHintsItemClick();
    void AboutItemClick();
    void openSessionItemClick();
    void newSession1Click();
    void PortsItemClick();

    // Applies a mode value (also values outside 0..3 from a stored session).
    void SetMode(int ch, int mode);
    // The channel returns to the disconnected state as if its connect button
    // had been released (used when its device disappears).
    void DisconnectChannel(int ch);
    // A notice about a channel (why a connect failed, bytes not sent,
    // settings the device kept) in the channel's wide status panel, whole
    // (a smaller font or two lines where needed) and in full in its tooltip;
    // it stays until the channel connects again.
    void ChannelNotice(int ch, const QString& text);
    QString NoticeText(int ch) const; // the full text
    // Auto reconnect: the channel's choice; waiting after its device went
    // away; back once the serial module reopened the device.
    bool AutoReconnect(int ch) const;
    void WaitForDevice(int ch);
    void ChannelReconnected(int ch);
    // The end of a connect that ran while the window went on (a remote port):
    // connected, or the button back up with the reason in the notice.
    void ChannelConnected(int ch);
    void ChannelConnectFailed(int ch);
    // A try of a remote port being waited for failed: the notice says why
    // and when the next one comes.
    void ChannelRetryFailed(int ch);

    // Controls that exist once.
    QToolButton* BtnFull = nullptr;
    QToolButton* BtnHalf = nullptr;
    QStatusBar* StatusBar = nullptr;
    std::array<QLabel*, 4> StatusPanels{};
    QAction* openSessionItem = nullptr;
    QAction* newSession1 = nullptr;
    QAction* showHintsItem = nullptr;
    QAction* AboutItem = nullptr;
    QAction* PortsItem = nullptr;
    TPortList* PortList = nullptr; // drop-down lines and the hot-plug watch
    TPortsDlg* PortsDlg = nullptr;
    std::unique_ptr<TIniEditor> IniEditor;
    std::map<int, QString> PortEntryProblems;  // port number to the text shown at a connect
    std::unique_ptr<TPrintDialog> PrintDialog; // replaceable by tests
    TSessNameDlg* SessNameDlg = nullptr;
    TSelSession* SelSession = nullptr;
    TAboutBox* AboutBox = nullptr;
    TTransferUi* Transfers = nullptr; // capture, send file, paste to send

    QString StatusText(int panel) const { return StatusPanels[panel]->text(); }
    bool FirstPaint = false;

protected:
    void paintEvent(QPaintEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void FormCreate();
    void FormPaint();
    void FormClose();
    void BuildMenu();
    void BuildStatusBar();
    void BuildChannel(int ch);
    void SetOuterWidth(int width);

    void ComPortBtnClick(int ch);
    void PortComboChange(int ch);
    void BaudComboChange(int ch);
    void DataBitsComboChange(int ch);
    void ParityComboChange(int ch);
    void StopBitComboChange(int ch);
    void HskComboChange(int ch);
    void RTSbtnClick(int ch);
    void DTRbtnClick(int ch);
    void BrkLedClick(int ch);
    void ClearInpBtnClick(int ch);
    void ClearOutputBtnClick(int ch);
    void SetModeClick(int ch, int mode);
    void PrnBtnClick(int ch);
    void EmulVTClick(int ch);
    void AnsiFontClick(int ch, int points);
    void TestClick(int ch);
    std::size_t DisconnectSteps(int ch, bool withStatus); // bytes dropped unsent

    std::array<TChannelUi, 2> Ch;
    TSerForm* SerForm = nullptr;
    QStringList Args;
    bool HintsOn = true;
    void ShowRtsOwner(int ch); // the RTS button under RTS/CTS flow control
};
