// BSD sockets.
#include "link/socketsystem.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace relvix::sockets {

namespace {

bool setBlocking(Handle s, bool blocking)
{
    const int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0)
        return false;
    return ::fcntl(s, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) == 0;
}

} // namespace

int startLibrary()
{
    return 0;
}

void releaseLibrary() {}

Handle openStream(int family)
{
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

void close(Handle s)
{
    ::close(s);
}

void setNoDelay(Handle s)
{
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int lastError()
{
    return errno;
}

bool interrupted()
{
    return errno == EINTR;
}

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

QString errorText(int code)
{
    return QString::fromStdString(std::system_category().message(code));
}

OpenFailure connectFailure(int code)
{
    OpenFailure f;
    f.systemText = errorText(code);
    switch (code) {
    case ECONNREFUSED:
        f.kind = OpenFailure::Kind::Refused;
        break;
    case ETIMEDOUT:
        f.kind = OpenFailure::Kind::TimedOut;
        break;
    case ENETUNREACH:
    case EHOSTUNREACH:
        f.kind = OpenFailure::Kind::Unreachable;
        break;
    default:
        f.kind = OpenFailure::Kind::Other;
    }
    return f;
}

int pollOne(Handle s, short events, int timeoutMs, short &revents)
{
    pollfd p{s, events, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    revents = p.revents;
    return r;
}

int waitWritable(Handle s, int timeoutMs)
{
    short revents = 0;
    return pollOne(s, POLLOUT, timeoutMs, revents);
}

int connectBounded(Handle s, const sockaddr *peer, socklen_t peerLength, int timeoutMs)
{
    if (!setBlocking(s, false))
        return lastError();
    if (::connect(s, peer, peerLength) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            return lastError();
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const int left = static_cast<int>(std::max<qint64>(0, timeoutMs - timer.elapsed()));
            short revents = 0;
            const int p = pollOne(s, POLLOUT, left, revents);
            if (p > 0)
                break;
            if (p == 0)
                return ETIMEDOUT;
            if (!interrupted())
                return lastError(); // poll itself failed
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return lastError();
        if (error != 0)
            return error;
    }
    return setBlocking(s, true) ? 0 : lastError();
}

// The flags do it all: nothing to switch for the length of a send.
SendWithoutWaiting::SendWithoutWaiting(Handle s) : socket_(s) {}
SendWithoutWaiting::~SendWithoutWaiting() = default;

int SendWithoutWaiting::sendFlags()
{
#ifdef MSG_NOSIGNAL
    return MSG_NOSIGNAL | MSG_DONTWAIT;
#else
    return MSG_DONTWAIT;
#endif
}

} // namespace relvix::sockets
