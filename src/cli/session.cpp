#include "cli/session.h"

#include "link/frameevent.h"
#include "settings/settings.h"
#include "settings/store.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <io.h>
#define RELVIX_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define RELVIX_ISATTY(f) isatty(fileno(f))
#endif

namespace relvix::cli {

QString LinkChoice::describe() const
{
    return transport == Transport::Tcp ? QStringLiteral("tcp %1:%2").arg(peerAddress, peerPort)
                                       : QStringLiteral("serial %1 %2").arg(portName, serialMode);
}

// ---- output ------------------------------------------------------------------------------

void out(const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void outJson(const QJsonObject &object)
{
    out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
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

// ---- Ctrl+C ------------------------------------------------------------------------------

namespace {
std::atomic<int> interrupts{0};

extern "C" void onInterrupt(int)
{
    if (interrupts.fetch_add(1) >= 1)
        std::_Exit(Interrupted);
    std::signal(SIGINT, onInterrupt);
}
} // namespace

void installInterruptHandler()
{
    std::signal(SIGINT, onInterrupt);
}

bool interrupted()
{
    return interrupts.load() > 0;
}

bool pauseMs(int ms)
{
    for (int left = ms; left > 0 && !interrupted(); left -= 10)
        QThread::msleep(static_cast<unsigned long>(std::min(left, 10)));
    return !interrupted();
}

Consent confirm(const Options &options, const QString &question)
{
    if (options.yes)
        return Consent::Yes;
    if (!RELVIX_ISATTY(stdin) || !RELVIX_ISATTY(stderr))
        return Consent::NeedYes;
    std::fprintf(stderr, "%s [y/N] ", question.toLocal8Bit().constData());
    std::fflush(stderr);
    char answer[64] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return Consent::No;
    return (answer[0] == 'y' || answer[0] == 'Y') ? Consent::Yes : Consent::No;
}

// ---- the frame log -----------------------------------------------------------------------

namespace {

// One line per frame: the wall-clock time, the direction or event, the slave address, the
// bytes and, for a failed exchange, why.
class FrameLog final : public FrameObserver {
public:
    explicit FrameLog(std::FILE *file) : file_(file) {}
    void frameEvent(const FrameEvent &event) override
    {
        const QString line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QLatin1Char(' ') +
                             frameEventText(event) + QLatin1Char('\n');
        const QByteArray bytes = line.toUtf8();
        std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), file_);
        std::fflush(file_);
    }

private:
    std::FILE *file_;
};

} // namespace

// ---- the session -------------------------------------------------------------------------

Session::Session(const Options &options) : options_(options), link_(*this)
{
    link_.state.receiveTimeout = options.timeoutMs;
    if (options.logPath.isEmpty())
        return;
    if (options.logPath == QLatin1String("-")) {
        log_ = std::make_unique<FrameLog>(stderr);
    } else {
        logFile_ = std::fopen(options.logPath.toLocal8Bit().constData(), "a");
        if (logFile_)
            log_ = std::make_unique<FrameLog>(logFile_);
        else
            err(QStringLiteral("cannot write the log %1; going on without it").arg(options.logPath));
    }
    if (log_)
        link_.addObserver(log_.get());
}

Session::~Session()
{
    close();
    if (log_)
        link_.removeObserver(log_.get());
    if (logFile_)
        std::fclose(logFile_);
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
    if (link_.OpenLink())
        return true;
    err(c.transport == Transport::Tcp ? QStringLiteral("cannot connect to %1:%2").arg(c.peerAddress, c.peerPort)
                                      : QStringLiteral("cannot open the serial port %1").arg(c.portName));
    return false;
}

void Session::close()
{
    link_.CloseLink();
}

void Session::processMessages()
{
    QCoreApplication::processEvents();
}

std::optional<LinkChoice> windowSavedLink()
{
    auto store = makePlatformSettingsStore();
    if (!store || !store->openForRead())
        return std::nullopt;
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
    return choice;
}

// ---- texts -------------------------------------------------------------------------------

QString bitsText(std::uint16_t value)
{
    return QStringLiteral("%1").arg(value, 16, 2, QLatin1Char('0'));
}

} // namespace relvix::cli
