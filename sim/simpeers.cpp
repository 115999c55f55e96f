#include "simpeers.h"
#include "simengine.h"
#include "simframing.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <limits>
#include <memory>
#ifndef _WIN32
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace relvix::sim::detail {

namespace {

// Endless stream: 64 bytes every 5 ms, 12.8 kB/s, faster than any serial line the tool uses.
constexpr int EndlessChunk = 64;
constexpr int EndlessPeriodMs = 5;
// Output a peer may have waiting: answers queued behind a delay plus what the system has not
// taken yet. The tool leaves at most one answer of at most 256 bytes unread, so 64 KiB means
// the other side has stopped reading: a TCP client is dropped, and on the pseudo-terminal
// the bytes are discarded, as a serial line loses what its receiver does not read.
constexpr qint64 MaxPeerOutput = 64 * 1024;
// A turn reads at most 1 KiB of a peer's input (128 requests of 8 bytes) and serves one
// request of it; the rest waits for the peer's next turns, after the other peers have had
// theirs (Engine::serve).
constexpr qint64 TurnBytes = 1024;
// What Qt reads ahead of a TCP client's turns. The rest waits in the system, so a client that
// sends faster than it is served is held back by TCP itself.
constexpr qint64 TcpReadAhead = 4 * TurnBytes;
// A TCP client closed on purpose gets this long to take the last bytes, then it is cut off.
constexpr int CloseLingerMs = 2000;
// Stray bytes come at most this often (1000 a second), and at least once an hour.
constexpr double MaxNoiseRate = 1000;
constexpr int MaxNoiseGapMs = 3600 * 1000;
// The stray bytes' generator starts alike for every peer, so a run can be repeated.
constexpr unsigned NoiseSeed = 20231;

} // namespace

// ---- Peer -------------------------------------------------------------------------------

Peer::Peer(Engine *engine)
    : QObject(engine), engine_(engine), silenceTimer_(new QTimer(this)), sendTimer_(new QTimer(this)),
      endlessTimer_(new QTimer(this)), wireTimer_(new QTimer(this)), noiseTimer_(new QTimer(this)),
      noiseRandom_(NoiseSeed)
{
    silenceTimer_->setSingleShot(true);
    connect(silenceTimer_, &QTimer::timeout, this, [this] { silenceEnded(); });
    sendTimer_->setSingleShot(true);
    sendTimer_->setTimerType(Qt::PreciseTimer);
    connect(sendTimer_, &QTimer::timeout, this, [this] { waitEnded(); });
    endlessTimer_->setInterval(EndlessPeriodMs);
    endlessTimer_->setTimerType(Qt::PreciseTimer);
    connect(endlessTimer_, &QTimer::timeout, this, [this] { endlessTick(); });
    wireTimer_->setSingleShot(true);
    wireTimer_->setTimerType(Qt::PreciseTimer);
    connect(wireTimer_, &QTimer::timeout, this, [this] { wireDue(); });
    noiseTimer_->setSingleShot(true);
    connect(noiseTimer_, &QTimer::timeout, this, [this] { noiseTick(); });
    restartNoise();
}

void Peer::inputReady()
{
    silenceTimer_->stop(); // the line is not silent while its input waits for a turn
    engine_->schedule(this);
}

bool Peer::takeTurn()
{
    bool read = false;
    while (!closing_) {
        RequestFramer::Item item = framer_.next(false);
        if (item.kind == RequestFramer::Item::Dropped) {
            consumed_ += item.bytes.size();
            engine_->d->appendLog(QStringLiteral("DROP ") + logBytes(item.bytes));
        } else if (item.kind == RequestFramer::Item::Request) {
            consumed_ += item.bytes.size();
            engine_->handleFrame(this, item.bytes);
            wire_.forgetToolBytesBefore(consumed_);
            break;
        } else {
            QByteArray bytes = read ? QByteArray() : readInput(TurnBytes);
            if (bytes.isEmpty())
                break;
            read = true;
            lineInput(bytes);
            framer_.append(bytes);
        }
    }
    if (closing_)
        return false;
    const bool more = framer_.hasMore() || inputPending();
    if (more || framer_.partial().isEmpty())
        silenceTimer_->stop();
    else
        silenceTimer_->start(engine_->d->junkSilenceMs.load());
    return more;
}

void Peer::silenceEnded()
{
    while (!closing_) {
        RequestFramer::Item item = framer_.next(true);
        if (item.kind == RequestFramer::Item::None)
            break;
        consumed_ += item.bytes.size();
        if (item.kind == RequestFramer::Item::Request)
            engine_->handleFrame(this, item.bytes);
        else
            engine_->d->appendLog(QStringLiteral("DROP ") + logBytes(item.bytes));
    }
    if (closing_ || framer_.partial().isEmpty())
        return;
    engine_->d->appendLog(QStringLiteral("DROP ") + logBytes(framer_.partial()));
    consumed_ += framer_.partial().size();
    framer_.clearPartial();
    wire_.forgetToolBytesBefore(consumed_);
}

void Peer::lineInput(QByteArray &bytes)
{
    const bool halfDuplex = engine_->d->halfDuplex.load();
    QStringList log;
    const int garbled =
        wire_.toolSends(engine_->nowNs(), halfDuplex ? characterTime() : characterNs(0), bytes.size(), &log);
    for (qsizetype i = garbled < 0 ? bytes.size() : garbled; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(~bytes[i]);
    for (const QString &line : std::as_const(log))
        engine_->d->appendLog(line);
    if (engine_->d->lineEcho.load()) {
        engine_->d->appendLog(QStringLiteral("ECHO ") + logBytes(bytes));
        sendNow(bytes);
    }
}

qint64 Peer::characterTime() const
{
    const int baud = lineSpeed();
    return characterNs(baud > 0 ? baud : engine_->d->lineBaud.load());
}

void Peer::transmit(const QByteArray &bytes, qint64 start, const QString &tag)
{
    if (closing_ || bytes.isEmpty())
        return;
    QStringList log;
    if (wire_.transmit(bytes, start, characterTime(), tag, &log))
        framer_.garblePending();
    for (const QString &line : std::as_const(log))
        engine_->d->appendLog(line);
    accountOutput();
    armWire();
}

void Peer::armWire()
{
    const qint64 next = wire_.nextDue();
    if (closing_ || next < 0) {
        wireTimer_->stop();
        return;
    }
    const qint64 waitNs = next - engine_->nowNs();
    wireTimer_->start(waitNs <= 0 ? 0 : static_cast<int>(std::min<qint64>((waitNs + 999'999) / 1'000'000, INT_MAX)));
}

void Peer::wireDue()
{
    if (closing_)
        return;
    QStringList log;
    const QByteArray bytes = wire_.takeDue(engine_->nowNs(), &log);
    for (const QString &line : std::as_const(log))
        engine_->d->appendLog(line);
    emitStep(bytes);
    accountOutput();
    armWire();
}

void Peer::restartNoise()
{
    const double rate = std::min(engine_->d->noiseRate.load(), MaxNoiseRate);
    if (closing_ || !(rate > 0)) {
        noiseTimer_->stop();
        return;
    }
    // About rate a second: each gap between half and one and a half times the mean one.
    const double meanMs = 1000.0 / rate;
    const double gap = meanMs * (0.5 + std::uniform_real_distribution<double>(0, 1)(noiseRandom_));
    noiseTimer_->start(static_cast<int>(std::clamp(gap, 1.0, double(MaxNoiseGapMs))));
}

void Peer::noiseTick()
{
    if (closing_)
        return;
    const QByteArray byte(1, static_cast<char>(std::uniform_int_distribution<int>(0, 255)(noiseRandom_)));
    engine_->d->appendLog(QStringLiteral("NOISE ") + logBytes(byte));
    sendNow(byte);
    restartNoise();
}

void Peer::fireRunningTimers()
{
    if (silenceTimer_->isActive()) {
        silenceTimer_->stop();
        silenceEnded();
    }
    if (sendTimer_->isActive()) {
        sendTimer_->stop();
        waitEnded();
    }
    if (endlessTimer_->isActive())
        endlessTick();
    if (wireTimer_->isActive()) {
        wireTimer_->stop();
        QStringList log;
        emitStep(wire_.takeDue(std::numeric_limits<qint64>::max() / 2, &log));
        for (const QString &line : std::as_const(log))
            engine_->d->appendLog(line);
    }
}

void Peer::waitEnded()
{
    waited_ = true;
    pump();
}

void Peer::beginAnswer(int closeAfterBytes)
{
    stopEndless();
    endlessAfter_ = false;
    sentSinceRequest_ = 0;
    closeLimit_ = closeAfterBytes;
    if (closeLimit_ == 0) {
        engine_->d->appendLog(QStringLiteral("CLOSE %1 after 0 bytes").arg(name()));
        close();
    }
}

void Peer::queueAnswer(const QByteArray &response, const FaultScript &faults, bool endless)
{
    if (closing_)
        return;
    struct Part {
        QByteArray bytes;
        QString tag;
    };
    QList<Part> parts;
    if (!response.isEmpty()) {
        if (!faults.noiseBefore.isEmpty())
            parts.append({faults.noiseBefore, QStringLiteral("NOISE")});
        parts.append({response, QStringLiteral("TX")});
        if (!faults.noiseAfter.isEmpty())
            parts.append({faults.noiseAfter, QStringLiteral("NOISE")});
    }
    QByteArray stream;
    QList<int> starts;
    for (const Part &part : parts) {
        starts.append(static_cast<int>(stream.size()));
        stream.append(part.bytes);
    }
    if (!stream.isEmpty()) {
        const int unit = faults.chunkSize > 0 ? faults.chunkSize
                         : faults.gapMs > 0   ? 1
                                              : static_cast<int>(stream.size());
        for (int offset = 0; offset < stream.size(); offset += unit) {
            Step step;
            step.waitMs = offset == 0 ? faults.delayMs : faults.gapMs;
            step.bytes = stream.mid(offset, unit);
            for (int i = 0; i < parts.size(); ++i) {
                if (starts[i] >= offset && starts[i] < offset + unit)
                    step.logLines.append(parts[i].tag + QLatin1Char(' ') + logBytes(parts[i].bytes));
            }
            queuedBytes_ += cost(step);
            steps_.append(step);
        }
    } else if (endless && faults.delayMs > 0) {
        // No answer, but the stream still waits out the delay.
        steps_.append(Step{faults.delayMs, {}, {}});
        queuedBytes_ += cost(steps_.last());
    }
    endlessAfter_ = endless;
    accountOutput();
    if (!closing_ && !sendTimer_->isActive())
        pump();
}

void Peer::pump()
{
    while (!closing_ && !steps_.isEmpty()) {
        Step &front = steps_.first();
        if (front.waitMs > 0 && !waited_) {
            sendTimer_->start(front.waitMs);
            return;
        }
        waited_ = false;
        const Step step = steps_.takeFirst();
        queuedBytes_ -= cost(step);
        for (const QString &line : step.logLines)
            engine_->d->appendLog(line);
        emitStep(step.bytes);
    }
    if (!closing_ && steps_.isEmpty() && endlessAfter_) {
        endlessAfter_ = false;
        endlessBytes_ = 0;
        engine_->d->appendLog(QStringLiteral("ENDLESS start %1").arg(name()));
        endlessTimer_->start();
    }
}

void Peer::emitStep(const QByteArray &bytes)
{
    if (closing_ || bytes.isEmpty())
        return;
    if (closeLimit_ >= 0 && sentSinceRequest_ + bytes.size() >= closeLimit_) {
        const int allowed = closeLimit_ - sentSinceRequest_;
        write(bytes.left(allowed));
        sentSinceRequest_ += allowed;
        engine_->d->appendLog(QStringLiteral("CLOSE %1 after %2 bytes").arg(name(), QString::number(closeLimit_)));
        closeWhenDelivered();
        return;
    }
    write(bytes);
    sentSinceRequest_ += static_cast<int>(bytes.size());
}

void Peer::sendNow(const QByteArray &bytes)
{
    if (!closing_ && !bytes.isEmpty())
        write(bytes);
}

void Peer::write(const QByteArray &bytes)
{
    writeRaw(bytes);
    accountOutput();
}

qint64 Peer::cost(const Step &step)
{
    qint64 bytes = static_cast<qint64>(sizeof(Step)) + step.bytes.size();
    for (const QString &line : step.logLines)
        bytes += 2 * line.size();
    return bytes;
}

void Peer::accountOutput()
{
    const qint64 now = closed_ ? 0 : queuedBytes_ + wire_.pendingBytes() + transportBacklog();
    engine_->outputTotal += now - reported_;
    reported_ = now;
    if (now > MaxPeerOutput)
        overrun();
    else if (engine_->outputTotal > MaxTotalOutput)
        engine_->shedOutput();
}

void Peer::overrun()
{
    if (closed_)
        return;
    const bool discard = discardsOnOverrun();
    engine_->d->appendLog(QStringLiteral("OVERRUN %1 not reading, %2 bytes waiting; %3")
                              .arg(name(), QString::number(reported_),
                                   discard ? QStringLiteral("discarded") : QStringLiteral("dropped")));
    if (discard) {
        sendTimer_->stop();
        waited_ = false;
        steps_.clear();
        queuedBytes_ = 0;
        wireTimer_->stop();
        wire_.clear();
        discardTransportOutput();
        accountOutput();
        return;
    }
    quiesce();
    closed_ = true;
    accountOutput();
    abortTransport();
}

void Peer::stopEndless()
{
    if (!endlessTimer_->isActive())
        return;
    endlessTimer_->stop();
    engine_->d->appendLog(QStringLiteral("ENDLESS stop %1 after %2 bytes").arg(name(), QString::number(endlessBytes_)));
}

void Peer::endlessTick()
{
    if (closing_ || backlogged())
        return;
    // Zero bytes never complete a CRC: the CRC-16/MODBUS register, started at 0xFFFF and fed
    // zeros, never returns to 0, so a receiver gathering this stream never accepts it.
    endlessBytes_ += EndlessChunk;
    emitStep(QByteArray(EndlessChunk, '\0'));
}

void Peer::close()
{
    if (closed_)
        return;
    quiesce();
    closed_ = true;
    accountOutput();
    closeTransport();
}

void Peer::quiesce()
{
    if (closing_)
        return;
    closing_ = true;
    silenceTimer_->stop();
    sendTimer_->stop();
    wireTimer_->stop();
    noiseTimer_->stop();
    wire_.clear();
    if (endlessTimer_->isActive()) {
        endlessTimer_->stop();
        engine_->d->appendLog(
            QStringLiteral("ENDLESS stop %1 after %2 bytes").arg(name(), QString::number(endlessBytes_)));
    }
    steps_.clear();
    queuedBytes_ = 0;
    accountOutput();
}

// ---- TCP --------------------------------------------------------------------------------

TcpPeer::TcpPeer(Engine *engine, QTcpSocket *socket) : Peer(engine), socket_(socket)
{
    socket_->setParent(this);
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1); // gaps must reach the wire as gaps
    name_ = QStringLiteral("tcp %1:%2").arg(socket_->peerAddress().toString(), QString::number(socket_->peerPort()));
    socket_->setReadBufferSize(TcpReadAhead);
    connect(socket_, &QTcpSocket::readyRead, this, [this] { inputReady(); });
    connect(socket_, &QTcpSocket::bytesWritten, this, [this] { accountOutput(); });
    connect(socket_, &QTcpSocket::disconnected, this, [this] {
        close();
        engine_->peerClosed(this);
    });
}

TcpPeer::~TcpPeer()
{
    // Aborting in the socket's own destructor would signal back into a half-destroyed peer.
    socket_->disconnect(this);
    socket_->abort();
}

void TcpPeer::writeRaw(const QByteArray &bytes)
{
    if (socket_->state() != QAbstractSocket::ConnectedState)
        return;
    socket_->write(bytes);
    socket_->flush();
}

void TcpPeer::closeTransport()
{
    if (socket_->state() == QAbstractSocket::UnconnectedState) {
        engine_->peerClosed(this);
        return;
    }
    socket_->flush();
    // Emits disconnected at once when nothing is left to write, or once the rest is out.
    socket_->disconnectFromHost();
    if (socket_->state() != QAbstractSocket::UnconnectedState)
        QTimer::singleShot(CloseLingerMs, this, [this] { abortTransport(); });
}

void TcpPeer::abortTransport()
{
    socket_->abort();
    engine_->peerClosed(this); // in case abort() had no disconnected to emit
}

// ---- pseudo-terminal ----------------------------------------------------------------------

#ifndef _WIN32

PtyPeer::PtyPeer(Engine *engine, int master, int slave, const QString &path)
    : Peer(engine), master_(master), slave_(slave), path_(path),
      readNotifier_(new QSocketNotifier(master, QSocketNotifier::Read, this)),
      writeNotifier_(new QSocketNotifier(master, QSocketNotifier::Write, this))
{
    writeNotifier_->setEnabled(false);
    connect(readNotifier_, &QSocketNotifier::activated, this, [this] { inputReady(); });
    connect(writeNotifier_, &QSocketNotifier::activated, this, [this] { flushPending(); });
}

PtyPeer::~PtyPeer()
{
    closeFds();
}

int PtyPeer::lineSpeed() const
{
    // The two ends of a pseudo-terminal share one set of terminal settings, so the master
    // reads the speed that the tool set on its end (QSerialPort sets it on every open).
    termios tio{};
    if (master_ < 0 || ::tcgetattr(master_, &tio) != 0)
        return -1;
    static const struct {
        speed_t code;
        int baud;
    } speeds[] = {
        {B50, 50},         {B75, 75},         {B110, 110},     {B134, 134},     {B150, 150},       {B200, 200},
        {B300, 300},       {B600, 600},       {B1200, 1200},   {B1800, 1800},   {B2400, 2400},     {B4800, 4800},
        {B9600, 9600},     {B19200, 19200},   {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
#ifdef B460800
        {B460800, 460800}, {B921600, 921600},
#endif
    };
    const speed_t code = ::cfgetospeed(&tio);
    for (const auto &s : speeds) {
        if (s.code == code)
            return s.baud;
    }
    return -1; // hung up (B0) or a speed set by other means
}

void PtyPeer::closeFds()
{
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
    master_ = slave_ = -1;
}

QByteArray PtyPeer::readInput(qint64 maxBytes)
{
    QByteArray got(maxBytes, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(master_, got.data(), static_cast<size_t>(got.size()));
        if (n > 0) {
            got.truncate(n);
            return got;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            readNotifier_->setEnabled(false); // a dead line would report readable forever
        return {};
    }
}

void PtyPeer::writeRaw(const QByteArray &bytes)
{
    if (master_ < 0)
        return;
    pending_.append(bytes);
    flushPending();
}

void PtyPeer::flushPending()
{
    while (!pending_.isEmpty() && master_ >= 0) {
        const ssize_t n = ::write(master_, pending_.constData(), static_cast<size_t>(pending_.size()));
        if (n > 0) {
            pending_.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            writeNotifier_->setEnabled(true); // the line's input queue is full: wait for the reader
            return;
        }
        pending_.clear();
        break;
    }
    writeNotifier_->setEnabled(false);
    accountOutput();
}

void PtyPeer::closeWhenDelivered()
{
    // Closing the master hangs the line up, and a hangup throws away whatever the other side
    // has not read yet; so wait until it has read everything (its input queue, seen through
    // the slave descriptor held here, stays empty for two looks in a row), for 2 s at most.
    quiesce();
    if (lingerTimer_)
        return;
    lingerTimer_ = new QTimer(this);
    lingerTimer_->setInterval(5);
    auto quietLooks = std::make_shared<int>(0);
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    connect(lingerTimer_, &QTimer::timeout, this, [this, quietLooks, started] {
        int queued = 0;
        if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &queued) != 0)
            queued = 0;
        *quietLooks = pending_.isEmpty() && queued == 0 ? *quietLooks + 1 : 0;
        if (*quietLooks >= 2 || started->hasExpired(2000)) {
            lingerTimer_->stop();
            close();
        }
    });
    lingerTimer_->start();
}

void PtyPeer::closeTransport()
{
    pending_.clear();
    closeFds();
    engine_->peerClosed(this);
}

#endif // _WIN32

} // namespace relvix::sim::detail
