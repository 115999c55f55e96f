#include "simengine.h"
#include "simframing.h"
#include "simpeers.h"

#include <QDateTime>
#include <QHostAddress>
#include <QMetaObject>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <utility>

#include <cstdio>
#include <cstdlib>
#ifndef _WIN32 // the pseudo-terminal is POSIX; on Windows only TCP serves
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace relvix::sim::detail {

namespace {

// The log in memory keeps its latest lines only, at most this many and at most this many
// characters (2 MiB of memory), so that a long-running program or a client sending junk
// cannot grow it without bound; tests stay far below.
constexpr int MaxLogLines = 100000;
constexpr qsizetype MaxLogChars = 1 << 20;
// A log line shows at most the first 256 bytes of what it reports (the longest RTU frame),
// then their count: a dropped buffer of 1500 bytes would otherwise take 4500 characters.
constexpr int MaxLoggedBytes = 256;
// Connects the system completes while the server thread is busy wait in the listen
// backlog; Qt's default of 50 made every later one wait a second for its retry, as often
// happened with thousands of connects at once. 4096 is Linux's ceiling (net.core.somaxconn)
// by default; a larger request is cut down to it.
constexpr int ListenBacklog = 4096;
constexpr int AcceptRetryMs = 100;

// The local time of day, "hh:mm:ss.zzz". The C library looks the time zone file up on every
// local time, a fifth of the program's time under a flood of requests with two lines each,
// so the hours, minutes and seconds are worked out once a second.
QString stamp()
{
    thread_local qint64 second = -1;
    thread_local QString hms;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != second) {
        second = now / 1000;
        hms = QDateTime::fromMSecsSinceEpoch(second * 1000).time().toString(QStringLiteral("hh:mm:ss"));
    }
    return hms + QStringLiteral(".%1").arg(now % 1000, 3, 10, QLatin1Char('0'));
}

} // namespace

int clientCap()
{
#ifndef _WIN32
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        return static_cast<int>(std::clamp<rlim_t>(limit.rlim_cur, ReservedDescriptors + 1, INT_MAX) -
                                ReservedDescriptors);
#endif
    return INT_MAX;
}

QString logBytes(const QByteArray &bytes)
{
    if (bytes.size() <= MaxLoggedBytes)
        return hexString(bytes);
    return QStringLiteral("%1 ... (%2 bytes)")
        .arg(hexString(bytes.left(MaxLoggedBytes)), QString::number(bytes.size()));
}

void Shared::appendLog(const QString &text)
{
    const QString line = stamp() + QLatin1Char(' ') + text;
    {
        QMutexLocker lock(&mutex);
        log.append(line);
        logChars += line.size();
        while (log.size() > MaxLogLines || logChars > MaxLogChars)
            logChars -= log.takeFirst().size();
    }
    if (logToStderr.load()) {
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
        std::fflush(stderr);
    }
}

void Shared::run(const std::function<void()> &fn)
{
    if (QThread::currentThread() == engine->thread())
        fn();
    else
        QMetaObject::invokeMethod(engine, fn, Qt::BlockingQueuedConnection);
}

// ---- Engine -------------------------------------------------------------------------------

quint16 Engine::listen(const QString &address, quint16 port)
{
    if (server && server->isListening())
        return server->serverPort();
    if (!server) {
        server = new QTcpServer(this);
        server->setListenBacklogSize(ListenBacklog);
        connect(server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server->nextPendingConnection())
                accepted(socket);
        });
        // Qt stops listening for good on an accept error other than a passing one (descriptors
        // used up by others in the process): listen again a little later.
        connect(server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
            d->appendLog(QStringLiteral("ACCEPT failed: %1; trying again in %2 ms")
                             .arg(server->errorString(), QString::number(AcceptRetryMs)));
            server->pauseAccepting();
            QTimer::singleShot(AcceptRetryMs, server, [this] { server->resumeAccepting(); });
        });
    }
    QHostAddress host;
    if (!host.setAddress(address))
        return 0;
    if (!server->listen(host, port))
        return 0;
    return server->serverPort();
}

void Engine::accepted(QTcpSocket *socket)
{
    // Beyond the cap a client is accepted and closed at once: left in the listen backlog it
    // would wait in vain, and an accept refused for want of descriptors leaves the listening
    // socket readable, which kept the event loop spinning.
    const int cap = clientCap();
    if (d->open.load() >= cap) {
        d->appendLog(
            QStringLiteral("REFUSED tcp %1:%2: %3 clients already, the most at once")
                .arg(socket->peerAddress().toString(), QString::number(socket->peerPort()), QString::number(cap)));
        socket->abort();
        delete socket;
        return;
    }
    auto *peer = new TcpPeer(this, socket);
    peers.append(peer);
    ++d->connections;
    ++d->open;
    d->appendLog(QStringLiteral("OPEN ") + peer->name());
}

void Engine::schedule(Peer *peer)
{
    if (peer->isClosing())
        return; // it takes no more turns, and may be gone soon
    if (!peer->inRound) {
        peer->inRound = true;
        round.append(peer);
    }
    if (!serveDue) {
        serveDue = true;
        QMetaObject::invokeMethod(this, &Engine::serve, Qt::QueuedConnection);
    }
}

void Engine::serve()
{
    serveDue = false;
    for (int turns = 0; turns < TurnsPerPass && !round.isEmpty(); ++turns) {
        Peer *peer = round.takeFirst();
        peer->inRound = false;
        if (peer->takeTurn())
            schedule(peer); // to the end of the round, and the next pass is posted
    }
    // Posted behind the events already due, so new input and connects are seen in between.
    if (!round.isEmpty() && !serveDue) {
        serveDue = true;
        QMetaObject::invokeMethod(this, &Engine::serve, Qt::QueuedConnection);
    }
}

QString Engine::openPty()
{
    if (pty)
        return pty->name();
#ifdef _WIN32
    return {};
#else
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return {};
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return {};
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        ::close(master);
        return {};
    }
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio); // no echo, no line editing, no CR/LF translation: bytes pass unchanged
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    const QString path = QString::fromLocal8Bit(name);
    pty = new PtyPeer(this, master, slave, path);
    peers.append(pty);
    d->appendLog(QStringLiteral("OPEN pty ") + path);
    return path;
#endif
}

void Engine::closePty()
{
    if (pty)
        pty->close();
}

void Engine::closeTcp()
{
    const QList<Peer *> all = peers;
    for (Peer *peer : all) {
        if (peer != pty)
            peer->close();
    }
}

void Engine::inject(const QByteArray &bytes)
{
    d->appendLog(QStringLiteral("INJECT ") + logBytes(bytes));
    const QList<Peer *> all = peers;
    for (Peer *peer : all)
        peer->sendNow(bytes);
}

namespace {

// A reader's answer with the line's faults applied to its bytes.
QByteArray withFaults(QByteArray response, const FaultScript &faults)
{
    if (faults.silent)
        response.clear();
    if (!response.isEmpty() && faults.answerAsAddress >= 0) {
        response[0] = static_cast<char>(faults.answerAsAddress);
        response = withCrc(response.chopped(2));
    }
    if (!response.isEmpty() && faults.wrongCrc) {
        response[response.size() - 1] = static_cast<char>(response[response.size() - 1] ^ 0xFF);
        response[response.size() - 2] = static_cast<char>(response[response.size() - 2] ^ 0xFF);
    }
    if (faults.truncateTo >= 0 && response.size() > faults.truncateTo)
        response.truncate(faults.truncateTo);
    return response;
}

} // namespace

void Engine::handleFrame(Peer *peer, const QByteArray &frame)
{
    ++d->requests;
    d->appendLog(QStringLiteral("RX ") + logBytes(frame));
    peer->stopEndless(); // any request ends the stream, also one for another reader
    const auto target = static_cast<std::uint8_t>(frame[0]);
    // The readers it is for (its address, or all for a broadcast) that hear the line's speed.
    QList<VirtualReader *> targets;
    bool present = false; // a reader has the address, whether or not it hears the speed
    int speed = -2;       // read from the line only when a reader has a speed of its own
    for (const auto &reader : readers) {
        if (!reader->accepts(frame))
            continue;
        present = true;
        if (reader->lineSpeed() != 0 && speed == -2)
            speed = peer->lineSpeed();
        if (reader->hearsSpeed(speed)) {
            targets.append(reader.get());
        } else {
            d->appendLog(QStringLiteral("SPEED address %1 hears %2 baud, the line is at %3: no answer")
                             .arg(QString::number(reader->address()), QString::number(reader->lineSpeed()),
                                  speed < 0 ? QStringLiteral("an unknown speed") : QString::number(speed)));
        }
    }
    const bool halfDuplex = d->halfDuplex.load();
    // Behind a gateway (TCP only) an address where no reader answers gets exception 0B, "the
    // target device failed to respond", once the gateway has given up waiting.
    const int gatewayMs = d->gatewayDelayMs.load();
    if (!present && target != 0 && gatewayMs >= 0 && peer->lineSpeed() == 0) {
        d->appendLog(QStringLiteral("GATEWAY no reader at address %1: exception 0B after %2 ms")
                         .arg(QString::number(target), QString::number(gatewayMs)));
        const QByteArray answer = exceptionResponse(target, static_cast<std::uint8_t>(frame[1]), 0x0B);
        peer->beginAnswer(-1);
        if (halfDuplex)
            peer->transmit(answer, peer->requestEnd() + qint64(gatewayMs) * 1'000'000, QStringLiteral("TX"));
        else
            peer->queueAnswer(answer, FaultScript(), false);
        return;
    }
    if (targets.isEmpty())
        return;
    const FaultScript faults = d->faultsForRequest();
    peer->beginAnswer(faults.closeAfterBytes);
    if (peer->isClosing())
        return;
    // Each reader acts and answers after its own turnaround (two at one address talk over each
    // other; a broadcast has no answer), in the order their answers start.
    struct Answer {
        int atMs;
        QByteArray bytes;
    };
    QList<Answer> answers;
    for (VirtualReader *reader : targets) {
        QByteArray response = faults.exceptionCode != 0 && target != 0
                                  ? exceptionResponse(target, static_cast<std::uint8_t>(frame[1]),
                                                      static_cast<std::uint8_t>(faults.exceptionCode))
                                  : reader->handleRequest(frame);
        response = withFaults(response, faults);
        if (!response.isEmpty())
            answers.append({faults.delayMs + reader->answerDelayMs(), response});
    }
    std::stable_sort(answers.begin(), answers.end(), [](const Answer &a, const Answer &b) { return a.atMs < b.atMs; });
    if (halfDuplex) {
        const qint64 end = peer->requestEnd();
        for (const Answer &answer : std::as_const(answers))
            peer->transmit(faults.noiseBefore + answer.bytes + faults.noiseAfter, end + qint64(answer.atMs) * 1'000'000,
                           QStringLiteral("TX"));
        if (faults.endless)
            peer->queueAnswer({}, faults, true);
        return;
    }
    if (answers.isEmpty()) {
        FaultScript waiting = faults;
        waiting.delayMs += targets.first()->answerDelayMs();
        peer->queueAnswer({}, waiting, faults.endless);
        return;
    }
    // The step queue waits each answer out after the one before.
    int before = 0;
    for (qsizetype i = 0; i < answers.size(); ++i) {
        FaultScript step = faults;
        step.delayMs = answers[i].atMs - before;
        before = answers[i].atMs;
        peer->queueAnswer(answers[i].bytes, step, faults.endless && i + 1 == answers.size());
    }
}

void Engine::shedOutput()
{
    while (outputTotal > MaxTotalOutput) {
        Peer *most = nullptr;
        for (Peer *peer : std::as_const(peers)) {
            if (!most || peer->waitingOutput() > most->waitingOutput())
                most = peer;
        }
        if (!most || most->waitingOutput() == 0)
            return;
        most->overrun();
    }
}

void Engine::peerClosed(Peer *peer)
{
    if (!peers.removeOne(peer))
        return;
    if (peer->inRound) {
        round.removeOne(peer);
        peer->inRound = false;
    }
    if (peer == pty) {
        pty = nullptr;
        QMutexLocker lock(&d->mutex);
        d->ptyPath.clear();
    } else {
        --d->open;
    }
    d->appendLog(QStringLiteral("CLOSED ") + peer->name());
    peer->deleteLater(); // may be inside one of the peer's own signal handlers
}

void Engine::restartNoise()
{
    for (Peer *peer : std::as_const(peers))
        peer->restartNoise();
}

int Engine::endlessCount() const
{
    int count = 0;
    for (const Peer *peer : peers)
        count += peer->endlessRunning() ? 1 : 0;
    return count;
}

void Engine::shutdown()
{
    const QList<Peer *> all = peers;
    for (Peer *peer : all)
        peer->close();
    peers.clear();
    round.clear();
    pty = nullptr;
    if (server)
        server->close();
    d->open = 0;
}

} // namespace relvix::sim::detail
