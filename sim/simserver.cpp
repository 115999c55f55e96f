#include "simserver.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTime>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>
#ifndef _WIN32 // the pseudo-terminal is POSIX; on Windows only TCP serves
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace relvix::sim {

namespace {

// Bytes that never form a request are dropped after this much silence. A tool writes a
// request in one piece, so 30 ms (about 30 character times at 9600 baud) never cuts a real
// one; it is also how long a short CRC match in a function 03/06 frame is held back.
constexpr int JunkSilenceMs = 30;
// Reads (03) and single writes (06) are 8 bytes: address, function, two words, CRC.
constexpr int FixedRequestLength = 8;
// The tool's own buffers are 1500 bytes; nothing longer can be one of its requests.
constexpr int MaxRequestBuffer = 1500;
// Endless stream: 64 bytes every 5 ms, 12.8 kB/s, faster than any serial line the tool uses.
constexpr int EndlessChunk = 64;
constexpr int EndlessPeriodMs = 5;
// The log in memory keeps its latest lines only, at most this many and at most this many
// characters (2 MiB of memory), so that a long-running program or a client sending junk
// cannot grow it without bound; tests stay far below.
constexpr int MaxLogLines = 100000;
constexpr qsizetype MaxLogChars = 1 << 20;
// A log line shows at most the first 256 bytes of what it reports (the longest RTU frame),
// then their count: a dropped buffer of 1500 bytes would otherwise take 4500 characters.
constexpr int MaxLoggedBytes = 256;
// Output a peer may have waiting: answers queued behind a delay plus what the system has not
// taken yet. The tool leaves at most one answer of at most 256 bytes unread, so 64 KiB means
// the other side has stopped reading: a TCP client is dropped, and on the pseudo-terminal
// the bytes are discarded, as a serial line loses what its receiver does not read.
constexpr qint64 MaxPeerOutput = 64 * 1024;
// All peers together; past it the peer with the most waiting goes first. Thousands of
// clients just under the bound above would still hold hundreds of MB.
constexpr qint64 MaxTotalOutput = 8 * 1024 * 1024;
// Input is taken in turns of at most 1 KiB a peer (128 requests of 8 bytes, well under a
// millisecond of work), and then the other peers have theirs: a client flooding requests
// cannot keep the others waiting.
constexpr qint64 TurnBytes = 1024;
// What Qt reads ahead of a TCP client's turns. The rest waits in the system, so a client that
// sends faster than it is served is held back by TCP itself.
constexpr qint64 TcpReadAhead = 4 * TurnBytes;
// Connects the system completes while the server thread is busy wait in the listen
// backlog; Qt's default of 50 made every later one wait a second for its retry, as often
// happened with thousands of connects at once. 4096 is Linux's ceiling (net.core.somaxconn)
// by default; a larger request is cut down to it.
constexpr int ListenBacklog = 4096;
// A TCP client closed on purpose gets this long to take the last bytes, then it is cut off.
constexpr int CloseLingerMs = 2000;

QString stamp()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

QString logBytes(const QByteArray &bytes)
{
    if (bytes.size() <= MaxLoggedBytes)
        return hexString(bytes);
    return QStringLiteral("%1 ... (%2 bytes)")
        .arg(hexString(bytes.left(MaxLoggedBytes)), QString::number(bytes.size()));
}

// Length of the shortest prefix of at least 4 bytes whose last two bytes are the CRC of the
// rest, or 0 when there is none yet.
int completeFrameLength(const QByteArray &buffer)
{
    std::uint16_t crc = 0xFFFF; // CRC of the first k bytes
    const int n = static_cast<int>(buffer.size());
    for (int k = 0; k + 2 <= n; ++k) {
        if (k >= 2) {
            const std::uint16_t carried = static_cast<std::uint16_t>(static_cast<std::uint8_t>(buffer[k]) |
                                                                     (static_cast<std::uint8_t>(buffer[k + 1]) << 8));
            if (crc == carried)
                return k + 2;
        }
        crc = crc16Step(crc, static_cast<std::uint8_t>(buffer[k]));
    }
    return 0;
}

// Where the request at the front of the buffer ends, or 0 while it may still grow.
// The shortest CRC-correct prefix of at least 4 bytes ends a request, with one exception: in
// a 03 or 06 request a prefix of 7 matches whenever the last data byte equals the low byte of
// the CRC of the five before it (appending a CRC's low byte leaves its high byte in the
// register), 1 request in 256: 17 03 01 00 00 01 87 00 reads as 17 03 01 00 00 01 87 cut
// short. So for those two functions the full 8 bytes decide first, and a shorter match counts
// only once the line has been silent (a malformed short request, answered with exception 03).
int requestLength(const QByteArray &buffer, bool silent)
{
    if (buffer.size() >= 2) {
        const auto function = static_cast<std::uint8_t>(buffer[1]);
        if (function == 0x03 || function == 0x06) {
            if (buffer.size() >= FixedRequestLength && hasValidCrc(buffer.left(FixedRequestLength)))
                return FixedRequestLength;
            if (buffer.size() < FixedRequestLength && !silent)
                return 0;
        }
    }
    return completeFrameLength(buffer);
}

class Engine;

// One connection to the tool: a TCP client or the pseudo-terminal. Frames the incoming byte
// stream and sends the responses through a queue of timed steps, so that delays and gaps
// never block the server thread.
class Peer : public QObject {
public:
    explicit Peer(Engine *engine);
    ~Peer() override = default;

    virtual QString name() const = 0;
    // The line speed the tool set, in baud: 0 for a link without one (TCP), -1 when it cannot
    // be told.
    virtual int lineSpeed() const { return 0; }
    void received(const QByteArray &bytes);
    // A request for this reader arrived: the byte count for closeAfterBytes starts again and
    // any endless stream stops.
    void beginAnswer(int closeAfterBytes);
    void queueAnswer(const QByteArray &response, const FaultScript &faults, bool endless);
    void sendNow(const QByteArray &bytes);
    // Closes the transport and hands the peer back to the engine to be deleted.
    void close();
    // Stops all activity and closes once the bytes already sent have reached the other side.
    virtual void closeWhenDelivered() { close(); }
    void stopEndless();
    bool isClosing() const { return closing_; }
    bool endlessRunning() const { return endlessTimer_->isActive(); }
    qint64 waitingOutput() const { return reported_; }
    // The other side does not take its output: dropped (TCP) or its output discarded.
    void overrun();

protected:
    virtual void writeRaw(const QByteArray &bytes) = 0;
    virtual void closeTransport() = 0;
    // True while earlier output still waits for the other side to read it.
    virtual bool backlogged() const { return transportBacklog() > 0; }
    // Bytes written that the system has not taken yet.
    virtual qint64 transportBacklog() const = 0;
    // What overrun() does: true to throw the waiting output away and go on, false to drop
    // the connection at once.
    virtual bool discardsOnOverrun() const { return false; }
    virtual void discardTransportOutput() {}
    virtual void abortTransport() { closeTransport(); }
    // The transport has input: a turn is taken now unless one is already due.
    void inputReady();
    virtual QByteArray readInput(qint64 maxBytes) = 0;
    virtual bool inputPending() const = 0;
    // No more requests, answers or stream; the transport stays as it is.
    void quiesce();
    // Brings the count of waiting output up to date and enforces the bounds on it.
    void accountOutput();
    Engine *engine_;

private:
    struct Step {
        int waitMs = 0;
        QByteArray bytes;
        QStringList logLines;
    };
    void takeTurn();
    void takeRequests(bool silent);
    void write(const QByteArray &bytes);
    void pump();
    void emitStep(const QByteArray &bytes);
    void endlessTick();

    QByteArray rx_;
    QTimer *silenceTimer_;
    QTimer *sendTimer_;
    QTimer *endlessTimer_;
    static qint64 cost(const Step &step);
    QList<Step> steps_;
    qint64 queuedBytes_ = 0;    // cost of steps_
    qint64 reported_ = 0;       // waiting output as last counted in the engine's total
    bool waited_ = false;       // the front step's wait has passed
    bool endlessAfter_ = false; // start the endless stream when the queue is empty
    int sentSinceRequest_ = 0;
    int closeLimit_ = -1;
    qint64 endlessBytes_ = 0;
    bool turnDue_ = false; // a turn is posted to the event loop
    bool closing_ = false; // quiesced: nothing more goes in or out
    bool closed_ = false;  // transport closed
};

class TcpPeer final : public Peer {
public:
    TcpPeer(Engine *engine, QTcpSocket *socket);
    ~TcpPeer() override;
    QString name() const override { return name_; }

protected:
    void writeRaw(const QByteArray &bytes) override;
    void closeTransport() override;
    void abortTransport() override;
    qint64 transportBacklog() const override { return socket_->bytesToWrite(); }
    QByteArray readInput(qint64 maxBytes) override { return socket_->read(maxBytes); }
    bool inputPending() const override { return socket_->bytesAvailable() > 0; }

private:
    QTcpSocket *socket_;
    QString name_;
};

#ifndef _WIN32
class PtyPeer final : public Peer {
public:
    PtyPeer(Engine *engine, int master, int slave, const QString &path);
    ~PtyPeer() override;
    QString name() const override { return path_; }
    QString path() const { return path_; }
    int lineSpeed() const override;
    void closeWhenDelivered() override;

protected:
    void writeRaw(const QByteArray &bytes) override;
    void closeTransport() override;
    qint64 transportBacklog() const override { return pending_.size(); }
    bool discardsOnOverrun() const override { return true; }
    void discardTransportOutput() override { pending_.clear(); }
    QByteArray readInput(qint64 maxBytes) override;
    // The read notifier fires again while the line has input, each time a turn.
    bool inputPending() const override { return false; }

private:
    void flushPending();
    void closeFds();

    int master_;
    int slave_; // kept open so that the line stays raw and the master never sees a hangup
    QString path_;
    QSocketNotifier *readNotifier_;
    QSocketNotifier *writeNotifier_;
    QByteArray pending_;
    QTimer *lingerTimer_ = nullptr;
};
#endif

// State shared between the caller's threads and the server thread.
struct Shared {
    QThread thread;
    Engine *engine = nullptr;

    mutable QMutex mutex;
    QStringList log;
    qsizetype logChars = 0; // characters in log
    FaultScript faults;
    quint16 port = 0;
    QString ptyPath;

    std::atomic<int> requests{0};
    std::atomic<int> connections{0};
    std::atomic<int> open{0};
    std::atomic<bool> logToStderr{false};
    std::atomic<int> junkSilenceMs{JunkSilenceMs};

    void appendLog(const QString &text)
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
    FaultScript faultsNow() const
    {
        QMutexLocker lock(&mutex);
        return faults;
    }
    // The faults for the request at hand, counting down a limited run of faulty requests.
    FaultScript faultsForRequest()
    {
        QMutexLocker lock(&mutex);
        if (faults.faultyRequests == 0)
            return {};
        const FaultScript now = faults;
        if (faults.faultyRequests > 0)
            --faults.faultyRequests;
        return now;
    }
    // Runs fn on the server thread and waits; runs it directly when already there, where a
    // blocking queued call would wait for itself.
    void run(const std::function<void()> &fn);
};

class Engine : public QObject {
public:
    explicit Engine(Shared *shared) : d(shared) { readers.push_back(std::make_unique<VirtualReader>()); }

    Shared *d;
    // Held by pointer so that a reader stays where it is while others are added.
    std::vector<std::unique_ptr<VirtualReader>> readers;
    QTcpServer *server = nullptr;
    QList<Peer *> peers;
    Peer *pty = nullptr;    // the pseudo-terminal's peer
    qint64 outputTotal = 0; // waiting output of all peers

    quint16 listen(const QString &address, quint16 port);
    QString openPty();
    void closePty();
    void closeTcp();
    void inject(const QByteArray &bytes);
    void handleFrame(Peer *peer, const QByteArray &frame);
    void peerClosed(Peer *peer);
    void shedOutput();
    int endlessCount() const;
    void shutdown();
};

void Shared::run(const std::function<void()> &fn)
{
    if (QThread::currentThread() == &thread)
        fn();
    else
        QMetaObject::invokeMethod(engine, fn, Qt::BlockingQueuedConnection);
}

// ---- Peer -------------------------------------------------------------------------------

Peer::Peer(Engine *engine)
    : QObject(engine), engine_(engine), silenceTimer_(new QTimer(this)), sendTimer_(new QTimer(this)),
      endlessTimer_(new QTimer(this))
{
    silenceTimer_->setSingleShot(true);
    connect(silenceTimer_, &QTimer::timeout, this, [this] {
        takeRequests(true);
        if (rx_.isEmpty() || closing_)
            return;
        engine_->d->appendLog(QStringLiteral("DROP ") + logBytes(rx_));
        rx_.clear();
    });
    sendTimer_->setSingleShot(true);
    sendTimer_->setTimerType(Qt::PreciseTimer);
    connect(sendTimer_, &QTimer::timeout, this, [this] {
        waited_ = true;
        pump();
    });
    endlessTimer_->setInterval(EndlessPeriodMs);
    endlessTimer_->setTimerType(Qt::PreciseTimer);
    connect(endlessTimer_, &QTimer::timeout, this, [this] { endlessTick(); });
}

void Peer::inputReady()
{
    if (!turnDue_)
        takeTurn();
}

void Peer::takeTurn()
{
    turnDue_ = false;
    if (closing_)
        return;
    const QByteArray bytes = readInput(TurnBytes);
    if (!bytes.isEmpty())
        received(bytes);
    if (!closing_ && inputPending()) {
        // Posted behind whatever else is due, so every other peer has its turn first.
        turnDue_ = true;
        QMetaObject::invokeMethod(
            this, [this] { takeTurn(); }, Qt::QueuedConnection);
    }
}

void Peer::received(const QByteArray &bytes)
{
    // Taken in pieces that never let the buffer hold more than one request can be long, so
    // that neither its memory nor the search for a frame end grows with what arrives at once.
    for (qsizetype at = 0; at < bytes.size() && !closing_;) {
        const qsizetype piece = qMin<qsizetype>(MaxRequestBuffer + 1 - rx_.size(), bytes.size() - at);
        rx_.append(bytes.constData() + at, piece);
        at += piece;
        takeRequests(false);
        if (rx_.size() > MaxRequestBuffer) {
            engine_->d->appendLog(QStringLiteral("DROP ") + logBytes(rx_));
            rx_.clear();
        }
    }
    if (closing_)
        return;
    if (rx_.isEmpty())
        silenceTimer_->stop();
    else
        silenceTimer_->start(engine_->d->junkSilenceMs.load());
}

void Peer::takeRequests(bool silent)
{
    while (!closing_) {
        const int length = requestLength(rx_, silent);
        if (length == 0)
            break;
        const QByteArray frame = rx_.left(length);
        rx_.remove(0, length);
        engine_->handleFrame(this, frame);
    }
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
    const qint64 now = closed_ ? 0 : queuedBytes_ + transportBacklog();
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

// ---- Engine -------------------------------------------------------------------------------

quint16 Engine::listen(const QString &address, quint16 port)
{
    if (server && server->isListening())
        return server->serverPort();
    if (!server) {
        server = new QTcpServer(this);
        server->setListenBacklogSize(ListenBacklog);
        connect(server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server->nextPendingConnection()) {
                auto *peer = new TcpPeer(this, socket);
                peers.append(peer);
                ++d->connections;
                ++d->open;
                d->appendLog(QStringLiteral("OPEN ") + peer->name());
            }
        });
    }
    QHostAddress host;
    if (!host.setAddress(address))
        return 0;
    if (!server->listen(host, port))
        return 0;
    return server->serverPort();
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

void Engine::handleFrame(Peer *peer, const QByteArray &frame)
{
    ++d->requests;
    d->appendLog(QStringLiteral("RX ") + logBytes(frame));
    peer->stopEndless(); // any request ends the stream, also one for another reader
    // The readers it is for (its address, or all for a broadcast) that hear the line's speed.
    QList<VirtualReader *> targets;
    int speed = -2; // read from the line only when a reader has a speed of its own
    for (const auto &reader : readers) {
        if (!reader->accepts(frame))
            continue;
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
    if (targets.isEmpty())
        return;
    FaultScript faults = d->faultsForRequest();
    faults.delayMs += targets.first()->answerDelayMs();
    peer->beginAnswer(faults.closeAfterBytes);
    if (peer->isClosing())
        return;
    const auto target = static_cast<std::uint8_t>(frame[0]);
    QByteArray response;
    if (faults.exceptionCode != 0 && target != 0) {
        response = exceptionResponse(target, static_cast<std::uint8_t>(frame[1]),
                                     static_cast<std::uint8_t>(faults.exceptionCode));
    } else {
        // On a bus each acts; the first one's answer goes out (two readers at one address
        // would talk over each other, and a broadcast has no answer).
        for (VirtualReader *reader : targets) {
            const QByteArray answer = reader->handleRequest(frame);
            if (response.isEmpty())
                response = answer;
        }
    }
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
    peer->queueAnswer(response, faults, faults.endless);
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
    pty = nullptr;
    if (server)
        server->close();
    d->open = 0;
}

} // namespace

// ---- SimServer ----------------------------------------------------------------------------

struct SimServer::Impl : Shared {};

SimServer::SimServer() : d(std::make_unique<Impl>())
{
    d->thread.setObjectName(QStringLiteral("relvix-sim"));
    d->engine = new Engine(d.get());
    d->engine->moveToThread(&d->thread);
    d->thread.start();
}

SimServer::~SimServer()
{
    d->run([this] {
        d->engine->shutdown();
        delete d->engine; // deletes the server, the peers, their sockets and timers on their thread
        d->engine = nullptr;
    });
    d->thread.quit();
    d->thread.wait();
}

quint16 SimServer::listenTcp(const QString &address, quint16 port)
{
    quint16 result = 0;
    d->run([&] { result = d->engine->listen(address, port); });
    QMutexLocker lock(&d->mutex);
    d->port = result;
    return result;
}

QString SimServer::openPty()
{
    QString path;
    d->run([&] { path = d->engine->openPty(); });
    QMutexLocker lock(&d->mutex);
    d->ptyPath = path;
    return path;
}

void SimServer::closePty()
{
    d->run([this] { d->engine->closePty(); });
}

void SimServer::setFaults(const FaultScript &faults)
{
    QMutexLocker lock(&d->mutex);
    d->faults = faults;
}

FaultScript SimServer::faults() const
{
    return d->faultsNow();
}

void SimServer::withReader(const std::function<void(VirtualReader &)> &fn)
{
    d->run([&] { fn(*d->engine->readers.front()); });
}

bool SimServer::withReader(int index, const std::function<void(VirtualReader &)> &fn)
{
    bool found = false;
    d->run([&] {
        auto &readers = d->engine->readers;
        if (index < 0 || index >= static_cast<int>(readers.size()))
            return;
        found = true;
        fn(*readers[static_cast<std::size_t>(index)]);
    });
    return found;
}

bool SimServer::withReaderAt(std::uint8_t address, const std::function<void(VirtualReader &)> &fn)
{
    bool found = false;
    d->run([&] {
        for (const auto &reader : d->engine->readers) {
            if (reader->address() == address) {
                found = true;
                fn(*reader);
                return;
            }
        }
    });
    return found;
}

int SimServer::addReader(const std::function<void(VirtualReader &)> &setup)
{
    int index = 0;
    d->run([&] {
        auto &readers = d->engine->readers;
        readers.push_back(std::make_unique<VirtualReader>());
        if (setup)
            setup(*readers.back());
        index = static_cast<int>(readers.size()) - 1;
    });
    return index;
}

QList<std::uint8_t> SimServer::readerAddresses() const
{
    QList<std::uint8_t> addresses;
    d->run([&] {
        for (const auto &reader : d->engine->readers)
            addresses.append(reader->address());
    });
    return addresses;
}

void SimServer::inject(const QByteArray &bytes)
{
    d->run([&] { d->engine->inject(bytes); });
}

QStringList SimServer::log() const
{
    QMutexLocker lock(&d->mutex);
    return d->log;
}

void SimServer::clearLog()
{
    QMutexLocker lock(&d->mutex);
    d->log.clear();
    d->logChars = 0;
}

int SimServer::requestCount() const
{
    return d->requests.load();
}
int SimServer::tcpConnectionCount() const
{
    return d->connections.load();
}
int SimServer::tcpOpenConnections() const
{
    return d->open.load();
}
void SimServer::setLogToStderr(bool on)
{
    d->logToStderr = on;
}

quint16 SimServer::tcpPort() const
{
    QMutexLocker lock(&d->mutex);
    return d->port;
}

QString SimServer::ptyPath() const
{
    QMutexLocker lock(&d->mutex);
    return d->ptyPath;
}

void SimServer::closeTcpConnections()
{
    d->run([this] { d->engine->closeTcp(); });
}

void SimServer::setJunkSilenceMs(int ms)
{
    d->junkSilenceMs = ms > 0 ? ms : JunkSilenceMs;
}

int SimServer::activeEndlessStreams() const
{
    int count = 0;
    d->run([&] { count = d->engine->endlessCount(); });
    return count;
}

} // namespace relvix::sim
