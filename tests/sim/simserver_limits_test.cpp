// The reader under abuse over TCP on 127.0.0.1: junk, clients that never read, floods and
// many connects at once. Figures (memory, latency) come from bench/sim_bench; these check
// only what must hold, with wide margins.
#include "simserver.h"
#include "simtestutil.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace relvix::sim;
using simtest::hex;
using simtest::spaced;
using simtest::TcpClient;

namespace {

const QByteArray kReadAddress = hex("01 03 01 00 00 01 85 F6");
const QByteArray kAddressAnswer = hex("01 03 02 00 01 79 84");

class SimLimits : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = server.listenTcp();
        ASSERT_NE(port, 0);
    }
    SimServer server;
    quint16 port = 0;
};

} // namespace

TEST_F(SimLimits, JunkKeepsTheLogSmall)
{
    // 4 MB of bytes that never form a request: each 1501 bytes are dropped with a log line.
    // Those lines show the start of the bytes and their count, and the log as a whole keeps
    // only its latest part, so junk cannot grow the memory without end.
    TcpClient client;
    ASSERT_TRUE(client.connectTo(port));
    const QByteArray junk(4 * 1024 * 1024, '\x55');
    client.socket.write(junk);
    while (client.socket.bytesToWrite() > 0)
        ASSERT_TRUE(client.socket.waitForBytesWritten(10000));
    ASSERT_TRUE(simtest::waitUntil([&] { return client.exchange(kReadAddress, 7, 200) == kAddressAnswer; }, 30000));

    const QStringList log = server.log();
    qsizetype chars = 0;
    int drops = 0;
    for (const QString &line : log) {
        chars += line.size();
        ASSERT_LE(line.size(), 1000) << line.left(120).toStdString();
        drops += line.contains(QStringLiteral(" DROP 55 55 ")) ? 1 : 0;
    }
    EXPECT_LE(chars, 2 * 1024 * 1024);
    EXPECT_GT(drops, 100);
    EXPECT_TRUE(log.filter(QStringLiteral("(1501 bytes)")).size() > 0);
}
