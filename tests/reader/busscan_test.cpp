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
