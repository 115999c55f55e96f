#pragma once
// The few socket calls in which BSD sockets and Winsock differ, each in the system's own
// terms (socketposix.cpp, socketwin32.cpp), so that the connection and the opener over them
// (systemio.cpp) are written once.
#ifdef _WIN32
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include "link/linkio.h"

#include <QString>

namespace relvix::sockets {

#ifdef _WIN32
using Handle = SOCKET;
using IoLength = int; // what recv and send take as a length
inline const Handle kNone = INVALID_SOCKET;
#else
using Handle = int;
using IoLength = std::size_t;
inline constexpr Handle kNone = -1;
#endif

// Winsock must be started before the first socket and released after the last; elsewhere
// both do nothing. 0, or the system's error code.
int startLibrary();
void releaseLibrary();

// A stream socket of the family that is not inherited by programs started later.
Handle openStream(int family);
void close(Handle s);
// Each frame is one send followed by a wait for the answer: Nagle's algorithm must not hold
// it back.
void setNoDelay(Handle s);

int lastError();
// The call was cut short by a signal and may simply be made again.
bool interrupted();
// A non-blocking call found no data or no room.
bool wouldBlock();
QString errorText(int code);
OpenFailure connectFailure(int code);

// poll() for one socket. Above 0: ready (revents says how), 0: the time ran out.
int pollOne(Handle s, short events, int timeoutMs, short &revents);
// Waits at most timeoutMs for room in the send buffer: above 0 there is room (or an error
// that the next send reports), 0 the time ran out, below 0 the wait itself failed.
int waitWritable(Handle s, int timeoutMs);
// Connects within timeoutMs: a blocking connect to an address that does not answer can
// hang for minutes, with the window frozen all that time. 0 when connected, else the
// system's error code (a connect that ran out of time gives the code for "timed out").
int connectBounded(Handle s, const sockaddr *peer, socklen_t peerLength, int timeoutMs);

// A send that takes what fits and returns instead of waiting for room (the wait for room is
// bounded apart), and that a peer's reset cannot turn into SIGPIPE. For as long as it lives,
// send(sendFlags()) behaves so.
class SendWithoutWaiting {
public:
    explicit SendWithoutWaiting(Handle s);
    ~SendWithoutWaiting();
    SendWithoutWaiting(const SendWithoutWaiting &) = delete;
    SendWithoutWaiting &operator=(const SendWithoutWaiting &) = delete;
    static int sendFlags();

private:
    Handle socket_;
};

} // namespace relvix::sockets
