#pragma once
// The two kinds of peer: a TCP client and the pseudo-terminal.
#include "simframing.h"
#include "simline.h"
#include "virtualreader.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

#include <random>

class QSocketNotifier;

namespace relvix::sim::detail {

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
    // One turn: at most one request served, after at most one read of up to TurnBytes. True
    // when input is left for a later turn.
    bool takeTurn();
    // A request for this reader arrived: the byte count for closeAfterBytes starts again and
    // any endless stream stops.
    void beginAnswer(int closeAfterBytes);
    void queueAnswer(const QByteArray &response, const FaultScript &faults, bool endless);
    // On a half-duplex line: an answer on the wire from start (the engine's clock), at the
    // line's speed. Bytes the tool is still sending when it begins are garbled.
    void transmit(const QByteArray &bytes, qint64 start, const QString &tag);
    // When the last bit of the request just framed was on the wire.
    qint64 requestEnd() const { return wire_.toolByteEnd(consumed_ - 1); }
    // One character's time on the wire: at the tool's speed, or the nominal one.
    qint64 characterTime() const;
    // The stray bytes of the line start, change rate or stop as the engine's setting says.
    void restartNoise();
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
    bool inRound = false; // waiting in the engine's round for a turn (kept by the engine)

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
    // The transport has input: the peer waits for its turn in the engine's round.
    void inputReady();
    virtual QByteArray readInput(qint64 maxBytes) = 0;
    virtual bool inputPending() const = 0;
    // No more requests, answers or stream; the transport stays as it is.
    void quiesce();
    // Brings the count of waiting output up to date and enforces the bounds on it.
    void accountOutput();
    // Runs at once what each running timer runs when it is due: for a peer kind without real
    // time (the fuzz target's).
    void fireRunningTimers();
    Engine *engine_;

private:
    struct Step {
        int waitMs = 0;
        QByteArray bytes;
        QStringList logLines;
    };
    // What the timers run: the line has been silent since the last input, the front step's
    // wait is over, the endless stream's next piece is due.
    void silenceEnded();
    void waitEnded();
    void endlessTick();
    void wireDue();
    void noiseTick();
    // What the line does to the bytes just read from the tool: garbled where an answer was on
    // the wire, echoed back.
    void lineInput(QByteArray &bytes);
    void armWire();
    void write(const QByteArray &bytes);
    void pump();
    void emitStep(const QByteArray &bytes);

    RequestFramer framer_;
    QTimer *silenceTimer_;
    QTimer *sendTimer_;
    QTimer *endlessTimer_;
    QTimer *wireTimer_;
    QTimer *noiseTimer_;
    WireSchedule wire_;
    qint64 consumed_ = 0; // bytes of the tool's input framed, as requests or dropped
    std::minstd_rand noiseRandom_;
    static qint64 cost(const Step &step);
    QList<Step> steps_;
    qint64 queuedBytes_ = 0;    // cost of steps_
    qint64 reported_ = 0;       // waiting output as last counted in the engine's total
    bool waited_ = false;       // the front step's wait has passed
    bool endlessAfter_ = false; // start the endless stream when the queue is empty
    int sentSinceRequest_ = 0;
    int closeLimit_ = -1;
    qint64 endlessBytes_ = 0;
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

} // namespace relvix::sim::detail
