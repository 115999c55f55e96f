#pragma once
#include "link/readerlink.h"
#include "reader/busscan.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QWidget>

#include <vector>

namespace relvix {

class TfrmModule;

// Find readers of the Tools menu: a bus scan on the main window's own link, in the serial
// modes ticked, or over the TCP target of its NET page; each reader found is a row, and Use
// puts a row's link settings and address into the main window's fields (saving nothing: the
// window's Connect keeps them once a reader answers there).
//
// A window of its own, non-modal, so that its Cancel stays in reach while the main window
// is disabled by the scan. The scan refuses to start while another operation of the window
// holds the link (the card reading loop): the window opens its link only for an operation,
// so there is nothing to disconnect otherwise.
class FindReadersDialog : public QWidget {
    Q_OBJECT
public:
    // One reader found, with the link it was found on.
    struct Row {
        Transport transport = Transport::Serial;
        QString portName;    // serial
        QString peerAddress; // tcp
        QString peerPort;
        ScanHit hit;
    };

    FindReadersDialog(TfrmModule &window, int language);
    ~FindReadersDialog() override;

    void setLanguage(int language);

    // Scans with what the dialog and the main window's fields say, to the end or to Cancel,
    // processing messages meanwhile; false when it did not start (the status says why).
    bool startScan();
    // Asks a running scan to stop; it ends within one exchange.
    void cancelScan();
    bool scanning() const { return scanning_; }
    const ScanResult &lastResult() const { return result_; }
    const std::vector<Row> &rows() const { return rows_; }

    // Puts the row's link settings and address into the main window's fields; false for no
    // such row or while scanning.
    bool useRow(int row);
    // Writes the rows as CSV; false (and a message) when the file could not be written.
    bool exportCsv(const QString &path);

    QRadioButton *rbSerial = nullptr;
    QRadioButton *rbTcp = nullptr;
    QGroupBox *gbModes = nullptr;
    // DefaultScanModes(), the rest of WideScanModes(), then the main window's own mode.
    std::vector<QCheckBox *> chkModes;
    QPushButton *btnWide = nullptr;  // ticks every mode of WideScanModes()
    QPushButton *btnUsual = nullptr; // back to DefaultScanModes() and the window's own
    QSpinBox *seFrom = nullptr;
    QSpinBox *seTo = nullptr;
    QSpinBox *seTimeout = nullptr; // 0: automatic
    QPushButton *btnStart = nullptr;
    QPushButton *btnCancel = nullptr;
    QProgressBar *pbScan = nullptr;
    QLabel *lblStatus = nullptr;
    QLabel *lblHint = nullptr; // how to find late readers at once
    QTableWidget *grdFound = nullptr;
    QPushButton *btnUse = nullptr;
    QPushButton *btnExport = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    enum Column { ModeCol, AddressCol, SerialCol, VersionCol, ResponseCol, NoteCol, ColumnCount };

    // The port and target of the main window's fields, and its mode among the choices.
    void followWindow();
    void addRow(const Row &row);
    void fitColumns();
    void showRowTexts(int row);
    void showStatus();
    void showHint();
    void updateButtons();
    void tickUsual();
    // Readers found: a serial number found at several modes or addresses counts once.
    int distinctReaders() const;
    QString linkText(const Row &row) const;

    TfrmModule &window_;
    int language_ = 0;
    QGroupBox *gbLink_ = nullptr;
    QLabel *lblAddresses_ = nullptr;
    QLabel *lblTo_ = nullptr;
    QLabel *lblTimeout_ = nullptr;
    std::vector<Row> rows_;
    ScanResult result_;
    ScanSettings settings_; // of the latest scan
    ScanProgress progress_; // of the running scan
    QString failure_;       // why the latest scan's open failed or its link was lost
    enum class Status { None, Scanning, Done, Busy, NoModes, EmptyRange, Used } status_ = Status::None;
    int usedRow_ = -1;
    QElapsedTimer scanClock_;
    bool ownOffered_ = false; // the window's own mode is none of the others
    bool scanning_ = false;
    bool cancel_ = false;
};

} // namespace relvix
