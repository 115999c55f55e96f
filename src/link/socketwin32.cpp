// Winsock.
#include "link/socketsystem.h"
#include "link/winerror.h"

namespace relvix::sockets {

namespace {

bool setBlocking(Handle s, bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    // FIONBIO is an unsigned constant, ioctlsocket takes a long.
    return ::ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking) == 0;
}

// select() for writability or failure (a failed connect shows only there; WSAPoll does
// not report it on older systems). failed tells which.
int selectWritable(Handle s, int timeoutMs, bool &failed)
{
    fd_set writable, failedSet;
    FD_ZERO(&writable);
    FD_ZERO(&failedSet);
    FD_SET(s, &writable);
    FD_SET(s, &failedSet);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int r = ::select(0, nullptr, &writable, &failedSet, &wait);
    failed = r > 0 && FD_ISSET(s, &failedSet);
    return r;
}

} // namespace

int startLibrary()
{
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
}

void releaseLibrary()
{
    ::WSACleanup();
}

Handle openStream(int family)
{
    // Winsock sockets are not inherited unless asked for.
    return ::socket(family, SOCK_STREAM, 0);
}

void close(Handle s)
{
    ::closesocket(s);
}

void setNoDelay(Handle s)
{
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
}

int lastError()
{
    return ::WSAGetLastError();
}

bool interrupted()
{
    return false;
}

bool wouldBlock()
{
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

QString errorText(int code)
{
    return windowsErrorText(static_cast<DWORD>(code));
}

OpenFailure connectFailure(int code)
{
    OpenFailure f;
    f.systemText = errorText(code);
    switch (code) {
    case WSAECONNREFUSED:
        f.kind = OpenFailure::Kind::Refused;
        break;
    case WSAETIMEDOUT:
        f.kind = OpenFailure::Kind::TimedOut;
        break;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        f.kind = OpenFailure::Kind::Unreachable;
        break;
    default:
        f.kind = OpenFailure::Kind::Other;
    }
    return f;
}

int pollOne(Handle s, short events, int timeoutMs, short &revents)
{
    WSAPOLLFD p{s, events, 0};
    const int r = ::WSAPoll(&p, 1, timeoutMs);
    revents = p.revents;
    return r;
}

int waitWritable(Handle s, int timeoutMs)
{
    bool failed = false;
    return selectWritable(s, timeoutMs, failed);
}

int connectBounded(Handle s, const sockaddr *peer, socklen_t peerLength, int timeoutMs)
{
    if (!setBlocking(s, false))
        return lastError();
    if (::connect(s, peer, peerLength) != 0) {
        if (::WSAGetLastError() != WSAEWOULDBLOCK)
            return lastError();
        bool failed = false;
        const int ready = selectWritable(s, timeoutMs, failed);
        if (ready == 0)
            return WSAETIMEDOUT;
        if (ready < 0)
            return lastError();
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0)
            return lastError();
        if (error != 0)
            return error;
    }
    return setBlocking(s, true) ? 0 : lastError();
}

// Winsock has no per-call flag for a send that must not block: the socket is switched to
// non-blocking for the length of the send instead.
SendWithoutWaiting::SendWithoutWaiting(Handle s) : socket_(s)
{
    setBlocking(socket_, false);
}

SendWithoutWaiting::~SendWithoutWaiting()
{
    setBlocking(socket_, true);
}

int SendWithoutWaiting::sendFlags()
{
    return 0;
}

} // namespace relvix::sockets
