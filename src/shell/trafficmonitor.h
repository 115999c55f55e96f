#pragma once
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableView>
#include <QWidget>

#include <functional>
#include <memory>

class QIODevice;

namespace relvix {

class CardHistory;
class ReaderLink;
class TrafficFilter;
class TrafficLog;

// The window of the Tools menu, non-modal and on its own: the link's traffic on one tab,
// the card history on the other. It watches the link from its making to its end, hidden
// or not; the card history is the main window's and outlives it.
class TrafficMonitor : public QWidget {
    Q_OBJECT
public:
    TrafficMonitor(ReaderLink &link, CardHistory &cards, int language);
    ~TrafficMonitor() override;

    // Every text in the language (0, 1, 2), and the font that goes with it.
    void setLanguage(int language);

    TrafficLog &log() { return *log_; }
    CardHistory &cards() { return cards_; }

    // The files the Save buttons write; false (and a message) when one could not be written.
    bool saveTraffic(const QString &path, bool csv);
    bool saveCards(const QString &path);
    // Continuous logging to path (CSV when it ends in .csv), or its end; false (and a
    // message) when the file could not be opened.
    bool startFileLog(const QString &path);
    void stopFileLog();
    // The selected rows of the traffic view as text, one a line, their fields a tab apart,
    // as the view shows them.
    QString selectedText() const;
    // The traffic view shows its model's rows through the filter while one is set.
    bool filtering() const;

    QTabWidget *tabs = nullptr;
    QWidget *tsTraffic = nullptr;
    QTableView *trafficView = nullptr;
    QPushButton *btnPause = nullptr; // checkable: pressed while paused
    QPushButton *btnClear = nullptr;
    QPushButton *btnSaveText = nullptr;
    QPushButton *btnSaveCsv = nullptr;
    QPushButton *btnLogFile = nullptr; // checkable: pressed while logging
    QLabel *lblLines = nullptr;
    QLabel *lblErrors = nullptr;
    // The filter bar: on the view only; saving and logging stay complete.
    QLabel *lblFilterSlave = nullptr;
    QSpinBox *seFilterSlave = nullptr; // -1: all
    QLabel *lblFilterFunction = nullptr;
    QSpinBox *seFilterFunction = nullptr; // -1: all; hex
    QCheckBox *chkTx = nullptr;
    QCheckBox *chkRx = nullptr;
    QCheckBox *chkFail = nullptr;
    QCheckBox *chkDrop = nullptr;
    QLineEdit *edSearch = nullptr;
    QAction *actCopy = nullptr;
    QAction *actSelectAll = nullptr;
    QWidget *tsCards = nullptr;
    QTableView *cardsView = nullptr;
    QPushButton *btnCardsSaveCsv = nullptr;
    QPushButton *btnCardsClear = nullptr;
    QLabel *lblCards = nullptr;

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    // Asks for a file without a nested event loop: the card loop keeps running meanwhile.
    void chooseFile(const QString &suggestedName, bool csv, std::function<void(const QString &)> save);
    void showCounts();
    void applyFilter();
    void fitTrafficColumns();
    bool writeFile(const QString &path, const std::function<bool(QIODevice &)> &write);

    ReaderLink &link_;
    CardHistory &cards_;
    std::unique_ptr<TrafficLog> log_;
    TrafficFilter *filter_ = nullptr;
    int language_ = 0;
    bool followEnd_ = true; // the traffic view scrolls along while it shows the last line
};

} // namespace relvix
