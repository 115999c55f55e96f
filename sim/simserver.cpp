#include "simserver.h"
#include "simengine.h"
#include "simframing.h"

#include <QMutexLocker>

#include <algorithm>
#include <memory>

namespace relvix::sim {

using detail::Engine;
using detail::Shared;

// ---- SimServer ----------------------------------------------------------------------------

struct SimServer::Impl : Shared {};

SimServer::SimServer() : d(std::make_unique<Impl>())
{
    d->thread.setObjectName(QStringLiteral("relvix-sim"));
    d->engine = new Engine(d.get());
    d->engine->moveToThread(&d->thread);
    d->thread.start();
}

SimServer::SimServer(OnCallersThread) : d(std::make_unique<Impl>())
{
    d->engine = new Engine(d.get());
}

Engine &SimServer::engine()
{
    return *d->engine;
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

void SimServer::setLineMode(LineMode mode)
{
    d->lineEcho = mode.echo;
    d->halfDuplex = mode.halfDuplex;
}

LineMode SimServer::lineMode() const
{
    return {d->lineEcho.load(), d->halfDuplex.load()};
}

void SimServer::setLineBaud(int baud)
{
    d->lineBaud = baud > 0 ? baud : DefaultLineBaud;
}

int SimServer::lineBaud() const
{
    return d->lineBaud.load();
}

void SimServer::setNoiseRate(double perSecond)
{
    d->noiseRate = perSecond > 0 ? std::min(perSecond, 1000.0) : 0.0;
    d->run([this] { d->engine->restartNoise(); });
}

double SimServer::noiseRate() const
{
    return d->noiseRate.load();
}

void SimServer::setGatewayDelayMs(int ms)
{
    d->gatewayDelayMs = ms < 0 ? -1 : ms;
}

int SimServer::gatewayDelayMs() const
{
    return d->gatewayDelayMs.load();
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
