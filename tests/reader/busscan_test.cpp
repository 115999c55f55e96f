// The bus scan as another face uses it (the window's Find readers): its callbacks, its stop
// between exchanges, and the late reader found by the second look, over loopback TCP.
#include "reader/busscan.h"
#include "simserver.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

using namespace relvix;

namespace {

struct Host : ExchangeHost {
    void processMessages() override { QCoreApplication::processEvents(); }
};

// One mode of a pseudo-terminal scanned over the addresses given, with the hits it reported.
struct PtyScan {
    ScanResult result;
    QList<ScanHit> hits;
};

PtyScan scanPty(const QString &pty, int from, int to)
{
    Host host;
    ReaderLink link(host);
    BusScan scan(link);
    ScanSettings settings;
    settings.portName = pty;
    settings.modes = {QStringLiteral("19200,e,8,1")};
    settings.from = from;
    settings.to = to;
    PtyScan out;
    scan.onHit = [&](const ScanHit &h) { out.hits << h; };
    out.result = scan.run(settings);
    return out;
}

} // namespace

TEST(BusScan, ReportsEachReaderOnceWithItsIdentityProgressAndLateness)
{
    sim::SimServer sim;
    sim.withReader([](sim::VirtualReader &r) { r.setAddress(2); });
    sim.addReader([](sim::VirtualReader &r) {
        r.setAddress(4);
        r.setSerialNumber(0x44);
        r.setAnswerDelayMs(250); // well after the scan time-out below, and well before the scan ends
    });
    Host host;
    ReaderLink link(host);
    BusScan scan(link);
    ScanSettings settings;
    settings.transport = Transport::Tcp;
    settings.peerAddress = QStringLiteral("127.0.0.1");
    settings.peerPort = QString::number(sim.listenTcp());
    settings.from = 1;
    settings.to = 20;
    settings.scanTimeoutMs = 100;
    QList<ScanProgress> progress;
    QList<ScanHit> hits;
    scan.onProgress = [&](const ScanProgress &p) { progress << p; };
    scan.onHit = [&](const ScanHit &h) { hits << h; };
    const ScanResult result = scan.run(settings);

    EXPECT_EQ(result.done, 20);
    EXPECT_EQ(result.total, 20);
    EXPECT_EQ(result.found, 2);
    ASSERT_EQ(progress.size(), 20);
    EXPECT_EQ(progress.last().done, 19);
    EXPECT_EQ(progress.last().address, 20);
    ASSERT_EQ(hits.size(), 2);
    EXPECT_EQ(hits[0].address, 2);
    EXPECT_FALSE(hits[0].late);
    EXPECT_EQ(hits[1].address, 4);
    EXPECT_TRUE(hits[1].late);
    EXPECT_GE(hits[1].responseMs, 250u);
    ASSERT_TRUE(hits[1].identity);
    EXPECT_EQ(hits[1].identity->serialNumber, 0x44u);
    EXPECT_EQ(link.answerRule(), AnswerRule::FirstValid); // given back as it was
    EXPECT_FALSE(link.isOpen());
}

TEST(BusScan, StopsBetweenExchangesWhenAsked)
{
    sim::SimServer sim;
    Host host;
    ReaderLink link(host);
    BusScan scan(link);
    ScanSettings settings;
    settings.transport = Transport::Tcp;
    settings.peerAddress = QStringLiteral("127.0.0.1");
    settings.peerPort = QString::number(sim.listenTcp());
    settings.scanTimeoutMs = 20;
    int asked = 0;
    scan.onProgress = [&](const ScanProgress &) { ++asked; };
    scan.stopRequested = [&] { return asked >= 3; };
    const ScanResult result = scan.run(settings);
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(result.done, 3);
    EXPECT_EQ(result.total, 254);
    EXPECT_EQ(sim.requestCount(), 4); // three addresses, and the identity of the reader at 1
}

// The per-address time-out from the wire: 15 characters of 11 bits and the 3.5-character gap
// at each speed, rounded up, plus the allowance; the turnaround read back from a response.
TEST(BusScan, TimeOutFollowsTheWireAtEachSpeed)
{
    struct Row {
        qint32 baud;
        int timeoutMs; // with the default allowance
    };
    // 9600: 17.19 ms of frames + 4.01 ms of gap = 21.2 ms; 1200 and below count as 1200.
    for (const Row &row :
         {Row{0, 170 + kScanAllowanceMs}, Row{300, 170 + kScanAllowanceMs}, Row{1200, 170 + kScanAllowanceMs},
          Row{9600, 22 + kScanAllowanceMs}, Row{19200, 11 + kScanAllowanceMs}, Row{38400, 6 + kScanAllowanceMs},
          Row{57600, 4 + kScanAllowanceMs}, Row{115200, 2 + kScanAllowanceMs}}) {
        EXPECT_EQ(WireScanTimeoutMs(row.baud), row.timeoutMs) << row.baud;
        EXPECT_EQ(DefaultScanTimeoutMs(row.baud), row.timeoutMs) << row.baud;
        EXPECT_EQ(WireScanTimeoutMs(row.baud, 20), row.timeoutMs - kScanAllowanceMs + 20) << row.baud;
    }
    EXPECT_EQ(DefaultScanTimeoutMs(QStringLiteral("19200,e,8,1")), 11 + kScanAllowanceMs);
    EXPECT_EQ(DefaultScanTimeoutMs(QString()), kDefaultScanTimeoutMs); // TCP
    EXPECT_EQ(ScanTurnaroundMs(9600, 30), 9);                          // 30 - 21.2, rounded up
    EXPECT_EQ(ScanTurnaroundMs(9600, 10), 0);                          // faster than the wire: nothing left
    EXPECT_EQ(WideScanModes().size(), 24);
    EXPECT_EQ(WideScanModes().constFirst(), QStringLiteral("1200,e,8,1"));
}

// A reader found on a pseudo-terminal carries the time-out of its mode, and a reader slower
// than the allowance but within its bound raises it for the addresses after it.
TEST(BusScan, FoundReaderRaisesTheAllowanceWithinItsBound)
{
    sim::SimServer sim;
    sim.withReader([](sim::VirtualReader &r) {
        r.setAddress(3);
        // After the 16 ms time-out of 19200 baud: found late, and its turnaround (its delay
        // less the 10.6 ms of wire the sim does not spend) raises the allowance.
        r.setAnswerDelayMs(18);
    });
    sim.addReader([](sim::VirtualReader &r) { r.setAddress(9); });
    const QString pty = sim.openPty();
    ASSERT_FALSE(pty.isEmpty());
    const auto [result, hits] = scanPty(pty, 1, 12);
    ASSERT_EQ(result.found, 2);
    ASSERT_EQ(hits.size(), 2);
    EXPECT_EQ(hits[0].address, 3);
    EXPECT_EQ(hits[0].mode, QStringLiteral("19200,e,8,1"));
    EXPECT_TRUE(hits[0].late);
    EXPECT_EQ(hits[0].timeoutMs, DefaultScanTimeoutMs(19200));
    EXPECT_EQ(hits[1].address, 9);
    EXPECT_GT(hits[1].timeoutMs, hits[0].timeoutMs);
    EXPECT_LE(hits[1].timeoutMs, WireScanTimeoutMs(19200, kMaxScanAllowanceMs));
    EXPECT_TRUE(result.noisyModes.isEmpty());
}

// Garbled bytes name no sender: the addresses asked shortly before are asked again, nearest
// first, and the slow reader is found at its own address; a line where that never finds a
// sender is called noisy after two tries and the scan goes on to the end.
TEST(BusScan, GarbledLateAnswerIsTracedBackAndANoisyLineIsNamed)
{
    struct Case {
        const char *name;
        int faultyRequests; // the garbled late answer, then plain answers; -1: always garbled
        int found;
        int sweeps;
        bool noisy;
    };
    // Noisy: three readers that only ever garble, so the third sweep is never made.
    for (const Case &c : {Case{"one garbled late answer", 1, 1, 1, false}, Case{"a noisy line", -1, 0, 2, true}}) {
        SCOPED_TRACE(c.name);
        sim::SimServer sim;
        sim.withReader([](sim::VirtualReader &r) { r.setAddress(5); });
        if (c.noisy)
            for (const std::uint8_t a : {12, 19})
                sim.addReader([a](sim::VirtualReader &r) { r.setAddress(a); });
        sim::FaultScript faults;
        faults.delayMs = 60; // past the 16 ms of 19200 baud: it lands while 8 or 9 is asked
        faults.wrongCrc = true;
        faults.faultyRequests = c.faultyRequests;
        sim.setFaults(faults);
        const QString pty = sim.openPty();
        ASSERT_FALSE(pty.isEmpty());
        const auto [result, hits] = scanPty(pty, 5, 30);
        EXPECT_EQ(result.done, 26);
        EXPECT_EQ(result.found, c.found);
        EXPECT_EQ(result.garbleSweeps, c.sweeps);
        EXPECT_EQ(result.noisyModes, c.noisy ? QStringList{QStringLiteral("19200,e,8,1")} : QStringList{});
        for (const ScanHit &hit : hits) {
            EXPECT_EQ(hit.address, 5); // never the address whose exchange heard the bytes
            EXPECT_TRUE(hit.afterGarble);
            EXPECT_TRUE(hit.late);
        }
    }
}
