// The command line's session: the link it opens (saved, named or given), the frame log with
// its bound, the stop signals and the output. Kept together because each command meets them
// in the same order, and the stop and the log both reach into the output.
#include "cli/session.h"

#include "link/frameevent.h"
#include "settings/settings.h"
#include "settings/store.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QThread>

#include <QMap>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <io.h>
#define RELVIX_ISATTY(f) _isatty(_fileno(f))
#else
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#define RELVIX_ISATTY(f) isatty(fileno(f))
#endif

namespace relvix::cli {

namespace {
// A busy reader (exception 06) is asked again after this pause, within --retries.
constexpr int kBusyPauseMs = 100;
} // namespace

QString LinkChoice::describe() const
{
    const QString host = peerAddress.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(peerAddress) : peerAddress;
    return transport == Transport::Tcp ? QStringLiteral("tcp %1:%2").arg(host, peerPort)
                                       : QStringLiteral("serial %1 %2").arg(portName, serialMode);
}

// ---- output ------------------------------------------------------------------------------

namespace {
std::atomic<bool> outputFailedFlag{false};
QString outputFailureText; // written once, before the flag is set
} // namespace

void noteOutputFailure(const QString &what, int error)
{
    if (outputFailedFlag.load())
        return;
    outputFailureText = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error)));
    outputFailedFlag.store(true);
}

bool outputFailed()
{
    return outputFailedFlag.load();
}

QString outputFailure()
{
    return outputFailureText;
}

bool outputReaderGone(bool onlyWithUnread)
{
#ifndef _WIN32
    // Only a pipe can lose its reader; a file or a terminal cannot.
    static const bool pipe = [] {
        struct stat st {};
        return ::fstat(1, &st) == 0 && S_ISFIFO(st.st_mode);
    }();
    if (!pipe)
        return false;
    pollfd p{1, POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLERR))
        return false;
    int unread = 0;
    return !onlyWithUnread || (::ioctl(1, FIONREAD, &unread) == 0 && unread > 0);
#else
    Q_UNUSED(onlyWithUnread);
    return false;
#endif
}

void checkOutputReader(bool onlyWithUnread)
{
    if (!outputFailed() && outputReaderGone(onlyWithUnread))
        noteOutputFailure(QStringLiteral("cannot write to standard output"), EPIPE);
}

void out(const QString &line)
{
    checkOutputReader(false);
    if (outputFailed())
        return; // a pipe that is closed stays closed: nothing more can reach it
    const QByteArray bytes = line.toUtf8() + '\n';
    errno = 0;
    const std::size_t written = std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    if (std::fflush(stdout) != 0 || written != std::size_t(bytes.size()) || std::ferror(stdout))
        noteOutputFailure(QStringLiteral("cannot write to standard output"), errno ? errno : EIO);
}

void outJson(const QJsonObject &object)
{
    out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

void outError(int exitCode, const QString &message, const QJsonObject &fields)
{
    QJsonObject error{{"message", message}, {"exit", exitCode}};
    for (auto it = fields.begin(); it != fields.end(); ++it)
        error.insert(it.key(), it.value());
    outJson({{"error", error}});
}

void err(const QString &line)
{
    std::fprintf(stderr, "relvix-cli: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

bool stderrIsTerminal()
{
    return RELVIX_ISATTY(stderr);
}

int terminalColumns()
{
#ifndef _WIN32
    winsize size{};
    if (::ioctl(fileno(stderr), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    bool ok = false;
    const int columns = qEnvironmentVariableIntValue("COLUMNS", &ok);
    return ok && columns > 0 ? columns : 80;
}

QString isoNow()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

// ---- Ctrl+C, SIGTERM, SIGHUP -------------------------------------------------------------

namespace {
// The first stop signal, 0 before one came. The handler only stores it (or ends the program at
// a second one): everything else looks at it from the command's own flow.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

constexpr int kStopSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};

extern "C" void onStopSignal(int signal)
{
    int none = 0;
    if (!stopSignal.compare_exchange_strong(none, signal))
        std::_Exit(128 + signal);
#ifdef _WIN32
    std::signal(signal, onStopSignal); // the C runtime resets it to the default first
#endif
}
} // namespace

void installInterruptHandler()
{
    for (const int signal : kStopSignals) {
#ifdef _WIN32
        std::signal(signal, onStopSignal);
#else
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART; // a write to a pipe or a file is not cut short by it
        ::sigaction(signal, &action, nullptr);
#endif
    }
}

bool interrupted()
{
    return stopSignal.load() != 0;
}

int interruptedExit()
{
    const int signal = stopSignal.load();
    return signal ? 128 + signal : Interrupted;
}

QString interruptName()
{
    switch (stopSignal.load()) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
#ifdef SIGHUP
    case SIGHUP:
        return QStringLiteral("SIGHUP");
#endif
    case 0:
        return {};
    default:
        return QStringLiteral("signal %1").arg(stopSignal.load());
    }
}

bool shouldStop()
{
    checkOutputReader(false);
    return interrupted() || outputFailed();
}

bool pauseMs(int ms)
{
    for (int left = ms; left > 0 && !shouldStop(); left -= 10)
        QThread::msleep(static_cast<unsigned long>(std::min(left, 10)));
    return !shouldStop();
}

namespace {

// One line from the terminal; nullopt when a stop signal came first or the input ended. The wait
// looks at the stop signals every 100 ms, so that the question is declined at once.
std::optional<QByteArray> terminalLine()
{
    QByteArray line;
#ifdef _WIN32
    char answer[64] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return std::nullopt;
    line = answer;
#else
    for (;;) {
        if (interrupted())
            return std::nullopt;
        pollfd p{0, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR)
            return std::nullopt;
        if (ready <= 0)
            continue;
        char c = 0;
        const auto n = ::read(0, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        if (c == '\n')
            break;
        line += c;
    }
#endif
    return line;
}

} // namespace

Consent confirm(const Options &options, const QString &question)
{
    if (options.yes)
        return Consent::Yes;
    if (!RELVIX_ISATTY(stdin) || !RELVIX_ISATTY(stderr))
        return Consent::NeedYes;
    std::fprintf(stderr, "%s [y/N] ", question.toLocal8Bit().constData());
    std::fflush(stderr);
    const auto answer = terminalLine();
    if (!answer) {
        std::fputc('\n', stderr);
        return interrupted() ? Consent::Interrupted : Consent::No;
    }
    return (answer->startsWith('y') || answer->startsWith('Y')) ? Consent::Yes : Consent::No;
}

// ---- outcomes ----------------------------------------------------------------------------

QJsonObject outcomeJson(const ExchangeResult &r)
{
    QJsonObject o{{"outcome", outcomeName(r.outcome)}};
    if (r.outcome == Outcome::Exception)
        o.insert("exception", QJsonObject{{"code", r.exceptionCode}, {"name", exceptionName(r.exceptionCode)}});
    if (r.outcome == Outcome::LinkLost || r.outcome == Outcome::PeerClosed)
        o.insert("reason", r.lostReason);
    if (r.outcome == Outcome::Mismatch)
        o.insert("from", r.droppedFrom);
    return o;
}

QString outcomeLine(const ExchangeResult &r)
{
    switch (r.outcome) {
    case Outcome::Exception:
        if (IsGatewayException(r.exceptionCode))
            return QStringLiteral("%1: no reader behind the gateway").arg(outcomeText(r.outcome, r.exceptionCode));
        return outcomeText(r.outcome, r.exceptionCode);
    case Outcome::Garbled:
        return QStringLiteral("garbled (%1 byte(s) of no valid frame: noise, or two readers at once)")
            .arg(r.garbledBytes);
    case Outcome::EchoOnly:
        return QStringLiteral("only the local echo came back: no reader answered");
    case Outcome::AnsweredTwice:
        return r.detail;
    case Outcome::Mismatch:
        return QStringLiteral("mismatch (slave %1 sent a frame that was not the answer)").arg(r.droppedFrom);
    case Outcome::LinkLost:
        return QStringLiteral("link lost: %1").arg(r.lostReason);
    default:
        return outcomeText(r.outcome, r.exceptionCode);
    }
}

bool somethingHeard(const ExchangeResult &r)
{
    switch (r.outcome) {
    case Outcome::Garbled:
    case Outcome::AnsweredTwice:
    case Outcome::Mismatch:
        return true;
    case Outcome::Exception:
        return !IsGatewayException(r.exceptionCode);
    default:
        return false;
    }
}

int exitFor(const ExchangeResult &r)
{
    return r.outcome == Outcome::LinkLost || r.outcome == Outcome::PeerClosed ? LinkFailed : NoAnswer;
}

// ---- the frame log -----------------------------------------------------------------------

namespace {

// One line per frame: the wall-clock time, the direction or event, the slave address, the
// bytes and, for a failed exchange, why. A log that cannot be written is said once and
// ends the command.
//
// A log file with a bound is rotated before a line would take it past the bound: the file
// becomes FILE.1 (an older FILE.1 goes), a new FILE is begun, and its first line says where
// the earlier ones are. So the log takes at most about twice the bound on the disk.
class FrameLog final : public FrameObserver {
public:
    // The standard error stream, never rotated.
    explicit FrameLog(std::FILE *stream) : file_(stream), name_(QStringLiteral("on standard error")) {}
    // A file, appended to, owned by the log; maxBytes 0 for no bound.
    FrameLog(std::FILE *file, const QString &path, qint64 maxBytes)
        : file_(file), name_(path), path_(path), maxBytes_(maxBytes), size_(QFileInfo(path).size())
    {
    }
    ~FrameLog() override
    {
        if (!path_.isEmpty() && file_)
            std::fclose(file_);
    }
    void frameEvent(const FrameEvent &event) override
    {
        const QByteArray bytes = (isoNow() + QLatin1Char(' ') + frameEventText(event) + QLatin1Char('\n')).toUtf8();
        if (!failed_ && maxBytes_ > 0 && size_ > 0 && size_ + bytes.size() > maxBytes_)
            rotate();
        write(bytes);
    }

private:
    void write(const QByteArray &bytes)
    {
        if (failed_)
            return;
        errno = 0;
        const std::size_t written = std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), file_);
        size_ += qint64(written);
        if (std::fflush(file_) != 0 || written != std::size_t(bytes.size()))
            fail(QStringLiteral("cannot write the log %1").arg(name_), errno ? errno : EIO);
    }
    void fail(const QString &what, int error)
    {
        failed_ = true;
        err(QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error))));
        noteOutputFailure(what, error);
    }
    void rotate()
    {
        const QString older = path_ + QStringLiteral(".1");
        std::fclose(file_);
        errno = 0;
#ifdef _WIN32
        // Windows renames onto no existing file.
        QFile::remove(older);
#endif
        const bool moved = std::rename(path_.toLocal8Bit().constData(), older.toLocal8Bit().constData()) == 0;
        const int renameError = errno ? errno : EIO;
        file_ = std::fopen(path_.toLocal8Bit().constData(), "a");
        if (!file_) {
            fail(QStringLiteral("cannot write the log %1").arg(name_), errno ? errno : EIO);
            return;
        }
        if (!moved) {
            // The bound could not be kept: said, and the command ends as for a log not written.
            fail(QStringLiteral("cannot rotate the log %1 to %2").arg(name_, older), renameError);
            return;
        }
        size_ = 0;
        write((isoNow() + QStringLiteral(" log rotated: earlier lines in %1\n").arg(older)).toUtf8());
    }

    std::FILE *file_;
    QString name_;
    QString path_; // "" for standard error
    qint64 maxBytes_ = 0;
    qint64 size_ = 0;
    bool failed_ = false;
};

} // namespace

// Late answers: a dropped frame from the address a request went to that came after the
// receive time-out, and how long after that request it came. A frame that came in time
// but was not the answer is no late answer.
class Session::LateNotes final : public FrameObserver {
public:
    explicit LateNotes(const ReaderLink &link) : link_(link) {}
    void frameEvent(const FrameEvent &e) override
    {
        if (e.kind == FrameEvent::Kind::Request) {
            sentAt[e.slave] = e.timeMs;
            timeoutAt[e.slave] = link_.receiveTimeoutMs();
        } else if (e.kind == FrameEvent::Kind::Dropped && e.outcome == Outcome::Mismatch && !e.bytes.isEmpty()) {
            const auto from = std::uint8_t(e.bytes[0]);
            if (sentAt.contains(from) && std::int64_t(e.timeMs - sentAt[from]) > timeoutAt[from])
                lateMs[from] = e.timeMs - sentAt[from];
        }
    }
    QMap<std::uint8_t, std::uint32_t> sentAt, lateMs;
    QMap<std::uint8_t, std::int32_t> timeoutAt;

private:
    const ReaderLink &link_;
};

// Says once on stderr that the line hands back the requests' own bytes.
class Session::EchoNote final : public FrameObserver {
public:
    void frameEvent(const FrameEvent &e) override
    {
        if (!said && e.kind == FrameEvent::Kind::Dropped && e.outcome == Outcome::EchoOnly) {
            said = true;
            err(QStringLiteral("local echo on this line"));
        }
    }
    bool said = false;
};

// ---- the session -------------------------------------------------------------------------

Session::Session(const Options &options)
    : options_(options), link_(*this, steadyClock(), namedLinkOpener()), late_(std::make_unique<LateNotes>(link_))
{
    link_.setAnswerRule(AnswerRule::Strict);
    link_.setReceiveTimeoutMs(options.timeoutMs);
    link_.setEchoMode(options.echo);
    link_.setBusyRetries(options.retries, kBusyPauseMs);
    link_.addObserver(late_.get());
    echoNote_ = std::make_unique<EchoNote>();
    link_.addObserver(echoNote_.get());
    if (options.logPath.isEmpty())
        return;
    if (options.logPath == QLatin1String("-")) {
        log_ = std::make_unique<FrameLog>(stderr);
    } else {
        std::FILE *file = std::fopen(options.logPath.toLocal8Bit().constData(), "a");
        if (file)
            log_ = std::make_unique<FrameLog>(file, options.logPath, options.logMaxBytes);
        else
            noteOutputFailure(QStringLiteral("cannot write the log %1").arg(options.logPath), errno ? errno : EIO);
    }
    if (log_)
        link_.addObserver(log_.get());
}

Session::~Session()
{
    close();
    if (log_)
        link_.removeObserver(log_.get());
    link_.removeObserver(late_.get());
    link_.removeObserver(echoNote_.get());
}

bool Session::open(const QString &mode)
{
    const LinkChoice &c = options_.link;
    LinkState &s = link_.state;
    s.transport = c.transport;
    s.peerAddress = c.peerAddress;
    s.peerPort = c.peerPort;
    s.portName = c.portName;
    s.serialMode = mode.isEmpty() ? c.serialMode : mode;
    return link_.OpenLink();
}

int Session::openFailed() const
{
    const LinkChoice &c = options_.link;
    const OpenFailure &f = link_.openFailure();
    QString why = openFailureName(f.kind);
    if (f.kind == OpenFailure::Kind::InUse && !f.holder.isEmpty())
        why += QStringLiteral(" by %1").arg(f.holder);
    if (!f.systemText.isEmpty())
        why += QStringLiteral(" (%1)").arg(f.systemText);
    const QString message = c.transport == Transport::Tcp
                                ? QStringLiteral("cannot connect to %1: %2").arg(c.describe().mid(4), why)
                                : QStringLiteral("cannot open the serial port %1: %2").arg(c.portName, why);
    err(message);
    QString hint;
#ifdef __linux__
    if (f.kind == OpenFailure::Kind::PermissionDenied)
        hint = QStringLiteral("serial ports belong to the group dialout: 'sudo adduser $USER dialout', then log in "
                              "again");
#endif
    if (!hint.isEmpty())
        err(hint);
    if (options_.json) {
        QJsonObject fields{{"reason", openFailureName(f.kind)}, {"system", f.systemText}};
        if (!f.holder.isEmpty())
            fields.insert("holder", f.holder);
        if (!hint.isEmpty())
            fields.insert("hint", hint);
        outError(LinkFailed, message, fields);
    }
    return LinkFailed;
}

void Session::close()
{
    link_.CloseLink();
}

bool Session::learnEcho(std::uint16_t slave)
{
    if (options_.echo != EchoMode::Auto || link_.echoDetected())
        return true;
    reader_.readAddress(slave);
    return link_.lastResult().outcome != Outcome::EchoOnly;
}

std::optional<std::uint32_t> Session::lateAnswerMs(std::uint8_t slave) const
{
    if (!late_->lateMs.contains(slave))
        return std::nullopt;
    return late_->lateMs.value(slave);
}

QString Session::lostText() const
{
    const ExchangeResult &r = link_.lastResult();
    return QStringLiteral("the link to %1 was lost: %2")
        .arg(options_.link.describe(), r.lostReason.isEmpty() ? outcomeName(r.outcome) : r.lostReason);
}

int Session::failed(const QString &what, QJsonObject fields, int exitCode)
{
    // A time-out may be an answer that is merely late: listen one time-out more, so that the
    // hint can say how late it came.
    if (link_.lastResult().outcome == Outcome::Silence && link_.isOpen() && !link_.lost() && !shouldStop())
        link_.drain(link_.receiveTimeoutMs());
    const ExchangeResult &r = link_.lastResult();
    const int code = exitCode >= 0 ? exitCode : exitFor(r);
    const bool lost = r.outcome == Outcome::LinkLost || r.outcome == Outcome::PeerClosed;
    const QString message = lost ? lostText() : QStringLiteral("%1: %2").arg(what, outcomeLine(r));
    QString hint;
    const auto slave = static_cast<std::uint8_t>(link_.state.slaveAddress);
    if ((r.outcome == Outcome::Silence || r.outcome == Outcome::Mismatch) && late_->lateMs.contains(slave)) {
        hint = QStringLiteral("the reader at %1 answered after %2 ms, later than the time-out of %3 ms: raise "
                              "--timeout-ms")
                   .arg(QString::number(slave), QString::number(late_->lateMs[slave]),
                        QString::number(link_.receiveTimeoutMs()));
    } else if (r.outcome == Outcome::Silence && options_.link.transport == Transport::Serial &&
               !options_.link.modeGiven) {
        hint = QStringLiteral("if the reader is set to another speed than %1, give --mode, or find it with "
                              "'relvix-cli scan'")
                   .arg(options_.link.serialMode);
    }
    err(message);
    if (!hint.isEmpty())
        err(hint);
    if (options_.json) {
        const QJsonObject outcome = outcomeJson(r);
        for (auto it = outcome.begin(); it != outcome.end(); ++it)
            fields.insert(it.key(), it.value());
        if (!hint.isEmpty())
            fields.insert("hint", hint);
        outError(code, message, fields);
    }
    return code;
}

void Session::processMessages()
{
    QCoreApplication::processEvents();
}

std::optional<LinkChoice> windowSavedLink(QString *unreadable)
{
    auto store = makePlatformSettingsStore();
    if (!store || !store->openForRead()) {
        if (store && unreadable)
            *unreadable = store->failure();
        return std::nullopt;
    }
    const bool saved = store->exists(settingname::Type);
    store->close();
    if (!saved)
        return std::nullopt;
    const StoredSettings stored = LoadSettingsFrom(*store);
    LinkChoice choice;
    choice.fromWindow = true;
    choice.transport = stored.transport;
    choice.peerAddress = stored.peerAddress;
    choice.peerPort = stored.peerPort;
    choice.portName = stored.portName;
    choice.serialMode = stored.serialMode;
    choice.modeGiven = true;
    return choice;
}

// ---- texts -------------------------------------------------------------------------------

QString bitsText(std::uint16_t value)
{
    return QStringLiteral("%1").arg(value, 16, 2, QLatin1Char('0'));
}

} // namespace relvix::cli
