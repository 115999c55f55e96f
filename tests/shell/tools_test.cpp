// The Tools menu: the traffic monitor and the card history through the real window against
// the virtual reader, their texts in the three languages, and the log's own rules.
#include "link/crc16.h"
#include "shell/cardhistory.h"
#include "shell/toolstext.h"
#include "shell/trafficlog.h"
#include "shell/trafficmonitor.h"
#include "support/simwindowfixture.h"

#include <QBuffer>
#include <QColor>
#include <QDateTime>
#include <QHeaderView>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLayout>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <set>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace relvix;
using namespace relvix::testing;

namespace {

// Direction, slave, function and meaning of every line: what does not change from run to run.
QStringList linesOf(const TrafficLog &log)
{
    QStringList lines;
    for (int row = 0; row < log.rowCount(); ++row) {
        QStringList f;
        for (auto column : {TrafficLog::Direction, TrafficLog::Slave, TrafficLog::Function, TrafficLog::Meaning})
            f << log.field(row, column);
        lines << f.join(u'|');
    }
    return lines;
}

QStringList fileLines(const QString &path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(file.readAll()).split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
}

using ToolsEndToEnd = SimWindowTest;

TEST_P(ToolsEndToEnd, MonitorSeesConnectAndCardLoopAndHistoryListsEachCardOnce)
{
    sim->withReader([](sim::VirtualReader &r) {
        r.setSerialNumber(0x0012ABCD);
        r.setVersion(0x1A05);
        r.presentCard(QByteArray::fromHex("12345678"));
        r.typeKeys(QByteArray::fromHex("0102"));
    });
    window->mnuTrafficMonitor->trigger();
    TrafficMonitor *monitor = window->trafficMonitor();
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(monitor->isVisible());
    EXPECT_EQ(monitor->windowTitle(), QStringLiteral("Traffic monitor"));

    window->btnConnect->click();
    ASSERT_EQ(status(), QStringLiteral("Command ok."));

    // Two passes with the first card, then a second card in another format for two passes
    // more, then Cancel.
    const int base = sim->requestCount();
    whenReady([&] { return sim->requestCount() >= base + 4 && window->isEnabled(); },
              [&] {
                  sim->withReader([](sim::VirtualReader &r) { r.presentCard(QByteArray::fromHex("A1B2C3D4")); });
                  window->cmbFormat->setCurrentIndex(2); // 8H
                  const int atChange = sim->requestCount();
                  whenReady([&, atChange] { return sim->requestCount() >= atChange + 4; },
                            [&] { window->btnUID->click(); });
              });
    window->btnUID->click();
    ASSERT_EQ(status(), QStringLiteral("Command ok."));

    TrafficLog &log = monitor->log();
    log.flush();
    const QStringList lines = linesOf(log);
    ASSERT_GE(lines.size(), 7);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("OPEN|"))) << lines[0].toStdString();
    EXPECT_EQ(lines.mid(1, 5), (QStringList{"TX|1|03|read address", "RX|1|03|address 1", "TX|1|03|read S/N + version",
                                            "RX|1|03|S/N 0012ABCD, VER 1A05", "CLOSE|||"}));
    EXPECT_EQ(log.field(1, TrafficLog::Bytes), QStringLiteral("01 03 01 00 00 01 85 F6"));
    EXPECT_EQ(log.field(2, TrafficLog::Bytes), QStringLiteral("01 03 02 00 01 79 84"));
    EXPECT_TRUE(lines[6].startsWith(QStringLiteral("OPEN|")));
    EXPECT_EQ(lines.last(), QStringLiteral("CLOSE|||"));
    const QStringList pass{"TX|1|03|read card block", "RX|1|03|card 12345678", "TX|1|03|read keypad block",
                           "RX|1|03|keys 12"};
    EXPECT_EQ(lines.mid(7, 4), pass);
    EXPECT_TRUE(lines.contains(QStringLiteral("RX|1|03|card A1B2C3D4")));
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^TX\\|"))).size(), sim->requestCount())
        << "every request of every operation is in the log";

    // Today's date on the first line, and on no later line of the same day.
    const QRegularExpression dated(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}$"));
    const QRegularExpression timeOnly(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$"));
    EXPECT_TRUE(dated.match(log.field(0, TrafficLog::Time)).hasMatch()) << log.field(0, TrafficLog::Time).toStdString();
    EXPECT_TRUE(timeOnly.match(log.field(1, TrafficLog::Time)).hasMatch());

    // Two cards, each listed once however many passes saw it, and the code.
    const CardHistory &cards = monitor->cards();
    ASSERT_EQ(cards.rowCount(), 3);
    EXPECT_EQ(cards.field(0, CardHistory::Kind), QStringLiteral("card"));
    EXPECT_EQ(cards.field(0, CardHistory::Read), QStringLiteral("0305419896"));
    EXPECT_EQ(cards.field(0, CardHistory::Format), QStringLiteral("8H10D"));
    EXPECT_EQ(cards.field(0, CardHistory::Bytes), QStringLiteral("12345678000000000000000000000000"));
    EXPECT_EQ(cards.field(1, CardHistory::Kind), QStringLiteral("keys"));
    EXPECT_EQ(cards.field(1, CardHistory::Read), QStringLiteral("12"));
    EXPECT_EQ(cards.field(2, CardHistory::Read), QStringLiteral("A1B2C3D4 (H)"));
    EXPECT_EQ(cards.field(2, CardHistory::Format), QStringLiteral("8H"));

    // An exception answer the window's rule does not take: the reason, and what it said.
    window->pcMain->setCurrentWidget(window->tsCommand);
    window->edCommandSend->setText(QStringLiteral("07"));
    window->edCommandSendData->setText(QString());
    window->btnSendCommandRTU->click();
    log.flush();
    const QStringList last = linesOf(log).mid(log.rowCount() - 3);
    ASSERT_EQ(last.size(), 3);
    EXPECT_EQ(last[0], QStringLiteral("TX|1|07|function 07"));
    EXPECT_TRUE(last[1].startsWith(QStringLiteral("FAIL silence|1|87|exception 01 illegal function; ")))
        << last[1].toStdString();

    QTemporaryDir files;
    ASSERT_TRUE(monitor->saveTraffic(files.filePath(QStringLiteral("t.txt")), false));
    ASSERT_TRUE(monitor->saveTraffic(files.filePath(QStringLiteral("t.csv")), true));
    ASSERT_TRUE(monitor->saveCards(files.filePath(QStringLiteral("c.csv"))));
    const QStringList text = fileLines(files.filePath(QStringLiteral("t.txt")));
    ASSERT_EQ(text.size(), log.rowCount());
    EXPECT_TRUE(text[1].endsWith(QStringLiteral("  TX  1  03  01 03 01 00 00 01 85 F6  read address")))
        << text[1].toStdString();
    const QStringList csv = fileLines(files.filePath(QStringLiteral("t.csv")));
    ASSERT_EQ(csv.size(), log.rowCount() + 1);
    EXPECT_EQ(csv[0], QStringLiteral("time,direction,slave,function,bytes,meaning,delta_ms,response_ms,asked_slave"));
    EXPECT_TRUE(
        csv[5].contains(QStringLiteral(",RX,1,03,01 03 06 00 12 AB CD 1A 05 E3 CE,\"S/N 0012ABCD, VER 1A05\",")))
        << csv[5].toStdString();
    EXPECT_TRUE(csv[5].endsWith(QStringLiteral(",1"))) << "the slave asked comes last";
    // ISO 8601 with the UTC offset, on every line of both files.
    const QRegularExpression iso(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d[ ,]"));
    EXPECT_TRUE(iso.match(csv[1]).hasMatch()) << csv[1].toStdString();
    EXPECT_TRUE(iso.match(text.last()).hasMatch()) << text.last().toStdString();
    const QStringList cardCsv = fileLines(files.filePath(QStringLiteral("c.csv")));
    ASSERT_EQ(cardCsv.size(), 4);
    EXPECT_EQ(cardCsv[0], QStringLiteral("time,kind,read,format,bytes,slave,link"));
    EXPECT_TRUE(cardCsv[3].contains(QStringLiteral(",card,A1B2C3D4 (H),8H,A1B2C3D4000000000000000000000000,1,")))
        << cardCsv[3].toStdString();
    EXPECT_EQ(cards.field(2, CardHistory::Link), window->linkText());

#ifndef _WIN32
    // On a full disk (a file size limit stands in for it) the save fails and the old file stays.
    // Windows has no per-process file size limit to stand in for the disk.
    const QString saved = files.filePath(QStringLiteral("t.txt"));
    const QStringList before = fileLines(saved);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit tiny{512, 512};
        ::setrlimit(RLIMIT_FSIZE, &tiny);
        ::_exit(monitor->saveTraffic(saved, false) ? 1 : 0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save must fail";
    EXPECT_EQ(fileLines(saved), before);
#endif
}

TEST_P(ToolsEndToEnd, PauseKeepsEveryFrameAForeignAnswerShowsItsSenderAndFiltersNarrowTheViewOnly)
{
    window->mnuTrafficMonitor->trigger();
    TrafficMonitor &m = *window->trafficMonitor();
    TrafficLog &log = m.log();
    QTemporaryDir files;
    const QString logPath = files.filePath(QStringLiteral("live.csv"));
    ASSERT_TRUE(m.startFileLog(logPath));
    EXPECT_TRUE(m.btnLogFile->isChecked());

    // Paused: the view stands still while a connect and a raw read go by; resumed, it has them all.
    m.btnPause->click();
    EXPECT_EQ(m.btnPause->text(), QStringLiteral("&Resume"));
    const int shownBefore = log.rowCount();
    window->btnConnect->click();
    ASSERT_EQ(status(), QStringLiteral("Command ok."));
    log.flush();
    EXPECT_EQ(log.rowCount(), shownBefore);
    EXPECT_GE(log.heldCount(), 5);
    EXPECT_TRUE(m.lblLines->text().contains(QStringLiteral("paused: %1 new").arg(log.heldCount())))
        << m.lblLines->text().toStdString();
    m.btnPause->click();
    EXPECT_EQ(log.rowCount(), log.lineCount());
    QStringList kinds;
    for (int row = 0; row < log.rowCount(); ++row)
        kinds << log.field(row, TrafficLog::Direction);
    EXPECT_EQ(kinds.count(QStringLiteral("TX")), sim->requestCount()) << "every frame of the pause";

    // A foreign answer: slave 5 answers a request for 1. The window's rule takes it, and the
    // line says who sent it, stands out and tells why in its tooltip.
    sim::FaultScript foreign;
    foreign.answerAsAddress = 5;
    sim->setFaults(foreign);
    window->btnReadDiDo->click();
    sim->setFaults({});
    log.flush();
    int rx = -1;
    for (int row = log.rowCount() - 1; row >= 0 && rx < 0; --row)
        if (log.kindOf(row) == FrameEvent::Kind::Response)
            rx = row;
    ASSERT_GE(rx, 0);
    EXPECT_EQ(log.field(rx, TrafficLog::Slave), QStringLiteral("5"));
    EXPECT_EQ(log.askedSlave(rx), 1);
    EXPECT_EQ(log.mark(rx), TrafficLog::Mark::Foreign);
    const QModelIndex cell = log.index(rx, TrafficLog::Bytes);
    EXPECT_TRUE(log.data(cell, Qt::BackgroundRole).value<QColor>().isValid());
    EXPECT_TRUE(log.data(cell, Qt::ToolTipRole).toString().contains(QStringLiteral("from slave 5, not 1")));
    EXPECT_FALSE(log.field(rx, TrafficLog::Response).isEmpty()) << "its response time";
    EXPECT_FALSE(log.field(rx, TrafficLog::Delta).isEmpty());
    EXPECT_TRUE(m.lblErrors->text().contains(QStringLiteral("5: 1"))) << m.lblErrors->text().toStdString();

    // Filters: one slave, then one direction, the view only.
    m.seFilterSlave->setValue(5);
    EXPECT_TRUE(m.filtering());
    const int filtered = m.trafficView->model()->rowCount();
    EXPECT_GE(filtered, 1);
    EXPECT_LT(filtered, log.rowCount());
    m.seFilterSlave->setValue(-1);
    m.chkTx->setChecked(false);
    m.chkRx->setChecked(false);
    m.chkDrop->setChecked(false);
    EXPECT_EQ(m.trafficView->model()->rowCount(), 0) << "no failure in this run";
    for (QCheckBox *box : {m.chkTx, m.chkRx, m.chkDrop})
        box->setChecked(true);
    EXPECT_FALSE(m.filtering());

    // Copy: the selected rows as text, the Ctrl+C of the view.
    m.trafficView->selectRow(rx);
    EXPECT_TRUE(m.selectedText().contains(QStringLiteral("from slave 5, not 1"))) << m.selectedText().toStdString();
    EXPECT_EQ(m.actCopy->shortcut(), QKeySequence(QKeySequence::Copy));
    EXPECT_FALSE(m.trafficView->tabKeyNavigation());

    // Meanings and outcome words in Chinese, from the one table.
    window->mnuSimplified->trigger();
    EXPECT_EQ(log.data(log.index(rx, TrafficLog::Meaning), Qt::DisplayRole).toString(),
              trafficWords(1, log.field(rx, TrafficLog::Meaning)));
    EXPECT_TRUE(trafficWords(1, log.field(rx, TrafficLog::Meaning)).contains(QStringLiteral("来自站号 5, 不是 1")));
    EXPECT_EQ(trafficWords(2, QStringLiteral("exception 02 illegal data address; silence over 60 ms")),
              QStringLiteral("異常 02 非法資料位址; 超過 60 ms 無回應"));
    for (int o = 1; o <= int(Outcome::AnsweredTwice); ++o)
        for (int language : {1, 2})
            EXPECT_NE(outcomeWord(language, Outcome(o)), outcomeName(Outcome(o))) << o;
    for (QPushButton *b : m.findChildren<QPushButton *>())
        EXPECT_TRUE(b->text().contains(QStringLiteral("(&"))) << b->objectName().toStdString();
    window->mnuEnglish->trigger();

    // The file log got every line, the paused ones too, and Escape closes the window.
    m.stopFileLog();
    const QStringList logged = fileLines(logPath);
    EXPECT_EQ(logged.size(), log.lineCount() + 1);
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&m, &escape);
    EXPECT_FALSE(m.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Link, ToolsEndToEnd, ::testing::Values(SimLink::Tcp, SimLink::Pty), transportName);

class ToolsLanguage : public WindowTest {};

TEST_F(ToolsLanguage, EveryNewTextInEveryLanguageAndShownInPlace)
{
    for (int id = 0; id < kToolTextCount; ++id) {
        const QString english = toolText(0, ToolText(id));
        EXPECT_FALSE(english.isEmpty()) << id;
        for (int language : {1, 2}) {
            const QString chinese = toolText(language, ToolText(id));
            EXPECT_NE(chinese, english) << id << " in language " << language;
            EXPECT_TRUE(chinese.contains(QRegularExpression(QStringLiteral("[\\x{4E00}-\\x{9FFF}]"))))
                << id << " in language " << language;
        }
    }

    makeWindow();
    window->mnuSimplifiedClick();
    window->mnuTrafficMonitor->trigger(); // made in the language of the moment, then follows it
    TrafficMonitor &m = *window->trafficMonitor();
    const struct {
        const char *what;
        std::function<QString()> shown;
        ToolText id;
    } kShown[] = {
        {"mnuTools", [&] { return window->mnuTools->title(); }, ToolText::ToolsMenu},
        {"mnuTrafficMonitor", [&] { return window->mnuTrafficMonitor->text(); }, ToolText::TrafficMonitorItem},
        {"mnuFindReaders", [&] { return window->mnuFindReaders->text(); }, ToolText::FindReadersItem},
        {"title", [&] { return m.windowTitle(); }, ToolText::MonitorTitle},
        {"tsTraffic", [&] { return m.tabs->tabText(0); }, ToolText::TrafficTab},
        {"tsCards", [&] { return m.tabs->tabText(1); }, ToolText::CardsTab},
        {"btnPause", [&] { return m.btnPause->text(); }, ToolText::Pause},
        {"btnClear", [&] { return m.btnClear->text(); }, ToolText::Clear},
        {"btnSaveText", [&] { return m.btnSaveText->text(); }, ToolText::SaveText},
        {"btnSaveCsv", [&] { return m.btnSaveCsv->text(); }, ToolText::SaveCsv},
        {"btnCardsSaveCsv", [&] { return m.btnCardsSaveCsv->text(); }, ToolText::SaveCsv},
        {"btnCardsClear", [&] { return m.btnCardsClear->text(); }, ToolText::Clear},
        {"time header", [&] { return m.log().headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(); },
         ToolText::TimeColumn},
        {"meaning header",
         [&] { return m.log().headerData(TrafficLog::Meaning, Qt::Horizontal, Qt::DisplayRole).toString(); },
         ToolText::MeaningColumn},
        {"read header", [&] { return m.cards().headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(); },
         ToolText::ReadColumn},
        {"lines", [&] { return m.lblLines->text(); }, ToolText::LineCount},
    };
    for (int language : {1, 2, 0}) {
        QAction *items[] = {window->mnuEnglish, window->mnuSimplified, window->mnuTraditional};
        items[language]->trigger();
        for (const auto &s : kShown)
            EXPECT_EQ(s.shown(),
                      s.id == ToolText::LineCount ? toolText(language, s.id).arg(0) : toolText(language, s.id))
                << s.what << " in language " << language;
    }
}

// A frame with its CRC, low byte first.
QByteArray frame(const char *hex);

// Every outcome the link reports, with the details it gives them, as the monitor shows them in
// each language: a word for each, and in Chinese no English left but the protocol's own
// abbreviations and units.
TEST_F(ToolsLanguage, EveryOutcomeHasItsWordAndMeaningInEveryLanguage)
{
    using K = FrameEvent::Kind;
    const QByteArray asked = frame("050301000001");
    const struct {
        K kind;
        QByteArray bytes;
        Outcome outcome;
        std::uint8_t code;
        const char *detail;
    } kCases[] = {
        {K::NoResponse, {}, Outcome::Silence, 0, "silence over 60 ms"},
        {K::NoResponse, {}, Outcome::Silence, 0, "no response within 1000 ms"},
        {K::NoResponse, QByteArray::fromHex("AABB"), Outcome::CutOff, 0,
         "cut off after 1500 ms of bytes without a response"},
        {K::NoResponse, {}, Outcome::SendTimedOut, 0, "the send was not done within 1000 ms"},
        {K::NoResponse, {}, Outcome::PeerClosed, 0, "peer closed the connection"},
        {K::NoResponse, {}, Outcome::LinkLost, 0, "link lost: the connection failed"},
        {K::NoResponse, {}, Outcome::LinkLost, 0, "link lost: the port could not be read"},
        {K::NoResponse, frame("058306"), Outcome::Exception, 6, "exception 06 (server device busy)"},
        {K::NoResponse, frame("05830B"), Outcome::Exception, 0x0B,
         "exception 0B (gateway target device failed to respond)"},
        {K::NoResponse, frame("058309"), Outcome::Exception, 9, "exception 09 (unknown exception)"},
        {K::Dropped, frame("0603020006"), Outcome::Mismatch, 0, "from slave 6, not the answer"},
        {K::Dropped, frame("0503020005"), Outcome::Mismatch, 0, "from slave 5, late"},
        {K::NoResponse,
         {},
         Outcome::Mismatch,
         0,
         "silence over 60 ms; 1 valid frame(s) that were not the answer dropped"},
        {K::NoResponse, {}, Outcome::NoLink, 0, "no open link"},
        {K::NoResponse, QByteArray::fromHex("11223344"), Outcome::Garbled, 0,
         "silence over 60 ms; 4 byte(s) of no valid frame"},
        {K::Dropped, asked, Outcome::EchoOnly, 0, "the local echo of the request"},
        {K::NoResponse, {}, Outcome::EchoOnly, 0, "only the local echo came back: no reader answered"},
        {K::NoResponse, frame("0503020005"), Outcome::AnsweredTwice, 0,
         "two answers: more than one reader at address 5?"},
    };
    std::set<Outcome> covered;
    for (const auto &c : kCases)
        covered.insert(c.outcome);
    EXPECT_EQ(int(covered.size()), int(Outcome::AnsweredTwice)) << "a case for every outcome but None";

    makeWindow();
    window->mnuTrafficMonitor->trigger();
    TrafficMonitor &m = *window->trafficMonitor();
    for (const auto &c : kCases) {
        FrameEvent request;
        request.kind = K::Request;
        request.slave = 5;
        request.bytes = asked;
        m.log().frameEvent(request);
        FrameEvent e;
        e.kind = c.kind;
        e.slave = 5;
        e.bytes = c.bytes;
        e.outcome = c.outcome;
        e.exceptionCode = c.code;
        e.detail = QString::fromUtf8(c.detail);
        m.log().frameEvent(e);
    }
    m.log().flush();
    ASSERT_EQ(m.log().rowCount(), 2 * int(std::size(kCases)));

    // Latin words a Chinese line may keep: the protocol's, the units, the tags.
    static const QRegularExpression word(QStringLiteral("[A-Za-z]{2,}"));
    const QStringList kept{QStringLiteral("CRC"), QStringLiteral("DI"),   QStringLiteral("DO"),
                           QStringLiteral("ms"),  QStringLiteral("FAIL"), QStringLiteral("DROP")};
    static const QRegularExpression han(QStringLiteral("[\\x{4E00}-\\x{9FFF}]"));
    QAction *items[] = {window->mnuEnglish, window->mnuSimplified, window->mnuTraditional};
    for (int language : {0, 1, 2}) {
        items[language]->trigger();
        // At the window's own size, every header, direction and filter text fits whole.
        QCoreApplication::processEvents();
        const QFontMetrics header(m.trafficView->horizontalHeader()->font());
        const QFontMetrics cells(m.trafficView->font());
        for (int column = 0; column < TrafficLog::Meaning; ++column) {
            const QString title = m.log().headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
            EXPECT_GT(m.trafficView->columnWidth(column), header.horizontalAdvance(title))
                << title.toStdString() << " in language " << language;
        }
        for (const QWidget *w :
             std::initializer_list<const QWidget *>{m.lblFilterSlave, m.seFilterSlave, m.lblFilterFunction,
                                                    m.seFilterFunction, m.chkTx, m.chkRx, m.chkFail, m.chkDrop})
            EXPECT_GE(w->width(), w->sizeHint().width())
                << w->objectName().toStdString() << " in language " << language << ", window " << m.width() << " of "
                << m.minimumSizeHint().width() << " " << m.minimumWidth();
        EXPECT_GT(m.edSearch->width(), m.edSearch->fontMetrics().horizontalAdvance(m.edSearch->placeholderText()) + 20)
            << "the search box in language " << language;
        const QAbstractItemModel *shown = m.trafficView->model();
        for (int i = 0; i < int(std::size(kCases)); ++i) {
            const auto &c = kCases[i];
            const int row = 2 * i + 1;
            const QString direction = shown->data(shown->index(row, TrafficLog::Direction)).toString();
            const QString meaning = shown->data(shown->index(row, TrafficLog::Meaning)).toString();
            const QString what = QStringLiteral("%1 in language %2: %3 | %4")
                                     .arg(QString::fromUtf8(c.detail))
                                     .arg(language)
                                     .arg(direction, meaning);
            const QString outcome = outcomeWord(language, c.outcome);
            EXPECT_FALSE(outcome.isEmpty()) << what.toStdString();
            EXPECT_TRUE(direction.endsWith(QLatin1Char(' ') + outcome)) << what.toStdString();
            EXPECT_GT(m.trafficView->columnWidth(TrafficLog::Direction), cells.horizontalAdvance(direction))
                << what.toStdString();
            EXPECT_FALSE(meaning.isEmpty()) << what.toStdString();
            if (language == 0) {
                EXPECT_EQ(outcome, outcomeName(c.outcome)) << what.toStdString();
                continue;
            }
            EXPECT_TRUE(outcome.contains(han)) << what.toStdString();
            EXPECT_TRUE(meaning.contains(han)) << what.toStdString();
            for (auto hit = word.globalMatch(direction + QLatin1Char(' ') + meaning); hit.hasNext();) {
                const QString latin = hit.next().captured();
                EXPECT_TRUE(kept.contains(latin)) << latin.toStdString() << " left in " << what.toStdString();
            }
        }
    }

    // A window narrower than its columns scrolls sideways; the meaning of an identity's
    // answer is not cut. As wide as the window allows, the meaning takes the rest.
    for (int language : {0, 1, 2}) {
        items[language]->trigger();
        for (int width : {500, 1400}) {
            m.resize(width, 400);
            QCoreApplication::processEvents();
            const QString identity = trafficWords(language, QStringLiteral("S/N 0012ABCD, VER 1A05"));
            EXPECT_GT(m.trafficView->columnWidth(TrafficLog::Meaning),
                      m.trafficView->fontMetrics().horizontalAdvance(identity))
                << width << " in language " << language;
            int all = 0;
            for (int column = 0; column < TrafficLog::ColumnCount; ++column)
                all += m.trafficView->columnWidth(column);
            EXPECT_GE(all, m.trafficView->viewport()->width()) << width << " in language " << language;
        }
    }

    // What an open tried and why it failed, the system's words as they came.
    const struct {
        K kind;
        const char *detail;
        const char *simplified;
    } kOpens[] = {
        {K::Open, "network 127.0.0.1:502", "网路 127.0.0.1:502"},
        {K::Open, "serial /dev/pts/3 19200,e,8,1", "串列 /dev/pts/3 19200,e,8,1"},
        {K::OpenFailed, "connection refused: Connection refused", "连线被拒: Connection refused"},
        {K::OpenFailed, "no such device", "没有此装置"},
    };
    m.log().clear();
    for (const auto &o : kOpens) {
        FrameEvent e;
        e.kind = o.kind;
        e.detail = QString::fromUtf8(o.detail);
        m.log().frameEvent(e);
    }
    m.log().flush();
    window->mnuSimplified->trigger();
    for (int row = 0; row < int(std::size(kOpens)); ++row)
        EXPECT_EQ(m.log().shownField(row, TrafficLog::Meaning), QString::fromUtf8(kOpens[row].simplified));

    // Tab moves on from the table, Shift+Tab back into it; the arrows stay inside.
    m.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m));
    m.trafficView->setFocus();
    QTest::keyClick(m.trafficView, Qt::Key_Down);
    EXPECT_EQ(QApplication::focusWidget(), m.trafficView);
    QTest::keyClick(m.trafficView, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), m.trafficView) << "Tab leaves the table";
    EXPECT_TRUE(m.isAncestorOf(QApplication::focusWidget()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), m.trafficView);
}

// Every button and labelled field of the monitor's pages has an access key of its own, in
// every language.
TEST_F(ToolsLanguage, EveryButtonHasItsOwnAccessKeyInEveryLanguage)
{
    makeWindow();
    window->mnuTrafficMonitor->trigger();
    TrafficMonitor &m = *window->trafficMonitor();
    QAction *items[] = {window->mnuEnglish, window->mnuSimplified, window->mnuTraditional};
    for (int language : {0, 1, 2}) {
        items[language]->trigger();
        for (QWidget *page : {m.tsTraffic, m.tsCards}) {
            QMap<int, QString> keys;
            const auto take = [&](const QString &text, const QString &who) {
                const QKeySequence key = QKeySequence::mnemonic(text);
                EXPECT_FALSE(key.isEmpty()) << who.toStdString() << " in language " << language;
                if (key.isEmpty())
                    return;
                EXPECT_FALSE(keys.contains(key[0].toCombined()))
                    << who.toStdString() << " and " << keys.value(key[0].toCombined()).toStdString() << " in language "
                    << language;
                keys.insert(key[0].toCombined(), who);
            };
            for (QPushButton *b : page->findChildren<QPushButton *>())
                take(b->text(), b->objectName());
            for (QLabel *l : page->findChildren<QLabel *>())
                if (l->buddy())
                    take(l->text(), l->objectName());
        }
    }
}

// The view follows new lines while it shows the last one, also once a filter has come and
// gone, and stays put once the user has scrolled back.
TEST_F(ToolsLanguage, TheViewFollowsTheEndAfterAFilterAndStaysWhereTheUserScrolled)
{
    makeWindow();
    window->mnuTrafficMonitor->trigger();
    TrafficMonitor &m = *window->trafficMonitor();
    QScrollBar *bar = m.trafficView->verticalScrollBar();
    const auto add = [&](int lines, std::uint8_t slave) {
        for (int i = 0; i < lines; ++i) {
            FrameEvent e;
            e.kind = FrameEvent::Kind::Request;
            e.slave = slave;
            e.bytes = frame("010301000001");
            e.bytes[0] = char(slave);
            m.log().frameEvent(e);
        }
        m.log().flush();
        QCoreApplication::processEvents();
    };
    add(200, 1);
    add(2, 9);
    EXPECT_EQ(bar->value(), bar->maximum());
    for (const auto &step : {std::pair{"a slave", 9}, std::pair{"no filter", -1}}) {
        m.seFilterSlave->setValue(step.second);
        QCoreApplication::processEvents();
        add(50, 9);
        EXPECT_GT(bar->maximum(), 0) << step.first;
        EXPECT_EQ(bar->value(), bar->maximum()) << "after " << step.first;
    }
    bar->setValue(bar->maximum() / 2);
    const int scrolledTo = bar->value();
    add(50, 1);
    EXPECT_EQ(bar->value(), scrolledTo) << "the user's place is kept";
}

TEST(TrafficLogRules, DateOnTheFirstLineOfADayAtMostTheLatestLinesAndAPauseKeepsRecording)
{
    const qint64 midnight = QDateTime(QDate(2024, 5, 2), QTime(0, 0)).toMSecsSinceEpoch();
    qint64 now = midnight - 2;
    TrafficLog log(nullptr, [&] { return now++; });
    FrameEvent event;
    for (int i = 0; i < 3; ++i)
        log.frameEvent(event);
    log.flush();
    ASSERT_EQ(log.rowCount(), 3);
    EXPECT_EQ(log.field(0, TrafficLog::Time), QStringLiteral("2024-05-01 23:59:59.998"));
    EXPECT_EQ(log.field(1, TrafficLog::Time), QStringLiteral("23:59:59.999"));
    EXPECT_EQ(log.field(2, TrafficLog::Time), QStringLiteral("2024-05-02 00:00:00.000"));

    log.setPaused(true);
    log.frameEvent(event);
    log.flush();
    EXPECT_EQ(log.rowCount(), 3) << "the view stands still";
    EXPECT_EQ(log.lineCount(), 4) << "the line is kept";
    EXPECT_EQ(log.heldCount(), 1);
    log.setPaused(false);
    EXPECT_EQ(log.rowCount(), 4);

    now = midnight;
    log.clear();
    for (int i = 0; i < TrafficLog::kMaxLines + 5; ++i) {
        log.frameEvent(event);
        if (i % 1000 == 0)
            log.flush();
    }
    log.flush();
    ASSERT_EQ(log.rowCount(), TrafficLog::kMaxLines);
    EXPECT_EQ(log.field(0, TrafficLog::Time), QStringLiteral("2024-05-02 00:00:00.005")) << "the oldest went first";
    EXPECT_EQ(log.droppedCount(), 5);
    QBuffer saved;
    saved.open(QIODevice::WriteOnly);
    ASSERT_TRUE(log.saveText(saved));
    EXPECT_TRUE(
        saved.data().startsWith("5 older lines were dropped before this one (the window keeps the latest 100000)\n"))
        << saved.data().left(120).toStdString();
}

// A frame with its CRC, low byte first.
QByteArray frame(const char *hex)
{
    QByteArray bytes = QByteArray::fromHex(hex);
    const std::uint16_t crc = Crc16(int(bytes.size()), reinterpret_cast<const std::uint8_t *>(bytes.constData()));
    bytes.append(char(crc & 0xFF)).append(char(crc >> 8));
    return bytes;
}

TEST(TrafficLogRules, EveryKindAndOutcomeHasItsLine)
{
    using K = FrameEvent::Kind;
    const QByteArray asked5 = frame("050301000001"), asked6 = frame("060301000001");
    const struct {
        K kind;
        std::uint8_t slave;
        QByteArray bytes;
        Outcome outcome;
        std::uint8_t code;
        const char *detail;
        const char *line; // direction|slave|function|meaning
    } kCases[] = {
        {K::Open, 0, {}, Outcome::None, 0, "serial /dev/pts/9 19200,e,8,1", "OPEN|||serial /dev/pts/9 19200,e,8,1"},
        {K::Request, 5, asked5, Outcome::None, 0, "", "TX|5|03|read address"},
        {K::NoResponse, 5, {}, Outcome::Silence, 0, "silence over 60 ms", "FAIL silence|5|03|silence over 60 ms"},
        {K::Request, 6, asked6, Outcome::None, 0, "", "TX|6|03|read address"},
        // A late answer from 5 while 6 was asked: told under 6, sent by 5, answering 5's request.
        {K::Dropped, 6, frame("0503020005"), Outcome::Mismatch, 0, "from slave 5, not the answer",
         "DROP mismatch|5|03|address 5; from slave 5, not the answer"},
        {K::NoResponse,
         6,
         {},
         Outcome::Mismatch,
         0,
         "silence over 60 ms; 1 valid frame(s) that were not the answer dropped",
         "FAIL mismatch|6|03|silence over 60 ms; 1 valid frame(s) that were not the answer dropped"},
        {K::NoResponse, 6, frame("068302"), Outcome::Exception, 2, "exception 02 (illegal data address)",
         "FAIL exception|6|83|exception 02 illegal data address"},
        {K::NoResponse, 6, QByteArray::fromHex("AABB"), Outcome::CutOff, 0, "cut off after 1500 ms",
         "FAIL cut off|6|BB|incomplete; cut off after 1500 ms"},
        {K::NoResponse,
         6,
         {},
         Outcome::SendTimedOut,
         0,
         "the send was not done within 1000 ms",
         "FAIL send timed out|6|03|the send was not done within 1000 ms"},
        {K::NoResponse,
         6,
         {},
         Outcome::PeerClosed,
         0,
         "peer closed the connection",
         "FAIL peer closed|6|03|peer closed the connection"},
        {K::NoResponse,
         6,
         {},
         Outcome::LinkLost,
         0,
         "link lost: Input/output error",
         "FAIL link lost|6|03|link lost: Input/output error"},
        {K::NoResponse, 6, {}, Outcome::NoLink, 0, "no open link", "FAIL no link|6|03|no open link"},
        {K::Response, 6, frame("0603020006"), Outcome::None, 0, "", "RX|6|03|address 6"},
        {K::Close, 0, {}, Outcome::None, 0, "", "CLOSE|||"},
        {K::OpenFailed, 0, {}, Outcome::None, 0, "no such device", "OPEN-FAILED|||no such device"},
    };
    TrafficLog log;
    for (const auto &c : kCases) {
        FrameEvent e;
        e.kind = c.kind;
        e.slave = c.slave;
        e.bytes = c.bytes;
        e.outcome = c.outcome;
        e.exceptionCode = c.code;
        e.detail = QString::fromUtf8(c.detail);
        log.frameEvent(e);
    }
    log.flush();
    const QStringList lines = linesOf(log);
    ASSERT_EQ(lines.size(), int(std::size(kCases)));
    for (int i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], QString::fromUtf8(kCases[i].line)) << i;
}

} // namespace
