#pragma once
#include "link/readerlink.h"
#include "reader/cardreader.h"
#include "shell/cardhistory.h"
#include "shell/filedialogcomponent.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>

namespace relvix {

class CardHistory;
class FindReadersDialog;
class SettingsStore;
class TonePlayer;
class TrafficMonitor;

// A read-only display: text centred both ways, a frame line, never takes the focus.
class DisplayPanel : public QLabel {
    Q_OBJECT
public:
    // The one-pixel bevel just inside the frame line.
    enum class Bevel { Raised, Lowered };

    explicit DisplayPanel(QWidget *parent = nullptr);
    void setBevel(Bevel bevel);
    Bevel bevel() const { return bevel_; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Bevel bevel_ = Bevel::Raised;
};

// The status lamp: a filled circle.
class LampShape : public QWidget {
    Q_OBJECT
public:
    explicit LampShape(QWidget *parent = nullptr);
    void setBrushColor(const QColor &color);
    QColor brushColor() const { return color_; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor color_{255, 0, 0};
};

// Everything the window reaches outside itself, so tests can stand in for it.
struct WindowServices {
    // Opens the settings store for one settings operation; null means the built-in store.
    std::function<std::unique_ptr<SettingsStore>()> settingsStore;
    // The system's serial port names in its own order; null means the system's (systemSerialPortNames).
    std::function<QStringList()> serialPorts;
    // Success and failure tones; null means the audio player.
    std::shared_ptr<TonePlayer> tone;
    // Modal Yes/No question; true for Yes. Null means a QMessageBox.
    std::function<bool(const QString &text, const QString &title)> askYesNo;
    // Pauses between requests; null means a real sleep without message processing.
    std::function<void(int ms)> pause;
    // Link clock and opener; null means the real ones.
    Clock *clock = nullptr;
    LinkOpener *linkOpener = nullptr;
};

class TfrmModule : public QMainWindow, public ExchangeHost, public FrameTextObserver {
    Q_OBJECT
public:
    explicit TfrmModule(WindowServices services = {}, QWidget *parent = nullptr);
    ~TfrmModule() override;

    // ExchangeHost
    void processMessages() override;
    // FrameTextObserver: the link's frames in edTX and edRX
    void showTransmitText(const QString &text) override;
    void showReceiveText(const QString &text) override;

    // ---- state beside the controls ----
    ReaderLink link;
    CardReader reader{link};
    int currentLanguage = 0;
    QString languageFlag;
    int btnUIDTag = 0;  // card reading flag
    int tmrBusyTag = 0; // blink phase

    QString LanguageText(int row) const;

    // ---- shell: start-up, settings, captions ----
    void FormCreate();
    void FormShow();
    void ApplyLanguageFont(QWidget *control);
    Transport LoadSettings();
    void ListSerialPorts();
    // Fills cmbPort's list from the port listing that ListSerialPorts started, waiting for it
    // if need be; does nothing once the list is in. The window calls it when the listing is
    // done, or sooner when a person first reaches for the field.
    void ensurePortList();
    void SaveLinkSettings();
    void SaveLanguage();
    void mnuExitClick();
    void mnuAboutClick();
    void btn19200Click();
    void btn115200Click();
    void btn9600Click();
    void mnuEnglishClick();
    void mnuSimplifiedClick();
    void mnuTraditionalClick();

    // ---- the operation bracket ----
    bool BeginOperation();
    bool RunCommand(const QString &functionText, const QString &dataText, std::int32_t expectedLength);
    void ReportConnectError();
    void ReportCommandOk();
    void ReportCommandError();
    void SetBusy(std::uint8_t on);
    void tmrBusyTimer();
    void Pause(int ms);
    // The slave address of the next request: the selector's position at this moment.
    std::uint16_t slaveAddress() const;

    // ---- reader operations ----
    void btnConnectClick();
    void sbSlaveChange();
    void btnSendCommandRTUClick();
    void sbIDChange();
    void btnSetIDClick();
    void btnRebootClick();
    void btnInitialClick();
    void btnUIDClick();
    void btnClearUIDClick();
    void btnReadDiDoClick();
    void btnSetDoClick();

    // ---- the Tools menu ----
    void mnuTrafficMonitorClick();
    // Opens the Find readers dialog, made on first use.
    void mnuFindReadersClick();
    // The tools' texts in the current language; the caption pass ends with it.
    void captionTools();
    // The traffic monitor, made on first use: null before.
    TrafficMonitor *trafficMonitor() const { return trafficMonitor_.get(); }
    // The Find readers dialog, made on first use: null before.
    FindReadersDialog *findReaders() const { return findReaders_.get(); }
    // Each new card and code read, from start-up on (its list is made on the first one).
    CardHistory &cardHistory();
    // Where the latest read came from: its answer's sender and the link.
    CardHistory::Source cardSource() const;
    // The link as the tools show it: "COM3 19200,e,8,1" or "192.168.1.101:4001".
    QString linkText() const;

    // Runs one handler: errors that escape it are shown in an error box captioned with the
    // application title, and a close asked for while any handler runs waits until the
    // outermost one has returned.
    void runHandler(const std::function<void()> &handler);
    int handlerDepth() const { return handlerDepth_; }
    bool closePending() const { return closePending_; }

    // The button that Enter presses: the push button that has the focus, else btnConnect.
    QPushButton *buttonForEnter() const;

    // ---- controls, in layout order ----
    QWidget *client = nullptr; // the 680 x 609 client area
    QLabel *lblSlave = nullptr;
    QPushButton *btnConnect = nullptr;
    DisplayPanel *pnVER = nullptr;
    DisplayPanel *pnMsg = nullptr;
    LampShape *shComm = nullptr;
    DisplayPanel *pnSN = nullptr;
    QTabWidget *pcPort = nullptr;
    QWidget *tsCom = nullptr;
    QLabel *lblSpeed = nullptr;
    QLabel *lblPort = nullptr;
    QComboBox *cmbPort = nullptr;
    QComboBox *cmbBaudrate = nullptr;
    QPushButton *btn19200 = nullptr;
    QPushButton *btn9600 = nullptr;
    QPushButton *btn115200 = nullptr;
    QWidget *tsNet = nullptr;
    QLabel *lblNetPort = nullptr;
    QLabel *lblIP = nullptr;
    QLineEdit *edPort = nullptr;
    QLineEdit *edIP = nullptr;
    QTabWidget *pcMain = nullptr;
    QWidget *tsTest = nullptr;
    QPlainTextEdit *moLog = nullptr;
    QGroupBox *gbID = nullptr;
    QLabel *lblID = nullptr;
    DisplayPanel *pnID = nullptr;
    QScrollBar *sbID = nullptr;
    DisplayPanel *pnSetIDRange = nullptr;
    QPushButton *btnSetID = nullptr;
    QPushButton *btnReboot = nullptr;
    QPushButton *btnInitial = nullptr;
    QGroupBox *gbUID = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    DisplayPanel *pnUID = nullptr;
    QPushButton *btnUID = nullptr;
    QPushButton *btnClearUID = nullptr;
    QComboBox *cmbFormat = nullptr;
    QCheckBox *chkLoop = nullptr;
    QCheckBox *chkLSB = nullptr;
    DisplayPanel *pnKey = nullptr;
    QCheckBox *chkKeyHex = nullptr;
    QGroupBox *GroupBox1 = nullptr;
    QLabel *lblReadDi = nullptr;
    QLabel *lblReadDo = nullptr;
    QLabel *lblSetDo = nullptr;
    DisplayPanel *pnDiVal = nullptr;
    QPushButton *btnReadDiDo = nullptr;
    DisplayPanel *pnDoVal = nullptr;
    QLineEdit *edSetDo = nullptr;
    QPushButton *btnSetDo = nullptr;
    QWidget *tsCommand = nullptr;
    QGroupBox *gbCommand = nullptr;
    QLabel *lblCommandSend = nullptr;
    QLabel *lblCommandTran = nullptr;
    QLabel *lblCommandRecv = nullptr;
    QLineEdit *edCommandSend = nullptr;
    QLineEdit *edCommandSendData = nullptr;
    QPushButton *btnSendCommandRTU = nullptr;
    QLineEdit *edCommandTran = nullptr;
    QLineEdit *edCommandRecv = nullptr;
    DisplayPanel *pnSlave = nullptr;
    QScrollBar *sbSlave = nullptr;
    QGroupBox *gbTxRx = nullptr;
    QLabel *Label11 = nullptr;
    QLabel *Label12 = nullptr;
    QLineEdit *edTX = nullptr;
    QLineEdit *edRX = nullptr;
    QTimer *tmrBusy = nullptr;
    FileDialogComponent *dlgLoad = nullptr;
    FileDialogComponent *dlgOFile = nullptr;
    FileDialogComponent *dlgSFile = nullptr;
    QMenuBar *mnuMain = nullptr;
    QMenu *mnuFile = nullptr;
    QAction *mnuFirmwareFile = nullptr;
    QAction *mnuLine1 = nullptr;
    QAction *mnuExit = nullptr;
    QMenu *mnuLanguage = nullptr;
    QAction *mnuEnglish = nullptr;
    QAction *mnuSimplified = nullptr;
    QAction *mnuTraditional = nullptr;
    QAction *mnuAbout = nullptr;
    QMenu *mnuTools = nullptr;
    QAction *mnuTrafficMonitor = nullptr;
    QAction *mnuFindReaders = nullptr;

    const WindowServices &services() const { return services_; }

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildLayout();
    void wireHandlers();
    void setCreationTabOrder();
    void centreOnScreen();
    void showHandlerError(const QString &message);
    std::unique_ptr<SettingsStore> openSettingsStore() const;

    WindowServices services_;
    std::unique_ptr<QThread> portLister_; // lists the system's serial ports beside start-up
    QStringList listedPorts_;             // its result, read once it has finished
    int handlerDepth_ = 0;
    bool closePending_ = false;
    bool shownOnce_ = false;
    bool cardReadRunning_ = false; // the card reading handler holds the link
    std::unique_ptr<CardHistory> cardHistory_;
    // A window of its own with no parent: a disabled main window (every operation) would
    // disable it too.
    std::unique_ptr<TrafficMonitor> trafficMonitor_;
    // The same: its Cancel must stay in reach while a scan disables the main window.
    std::unique_ptr<FindReadersDialog> findReaders_;
};

extern TfrmModule *frmModule;

} // namespace relvix
