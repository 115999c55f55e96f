#pragma once
// Helpers for the virtual reader's tests.
#include "support/referencecrc.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>
#include <QThread>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <utility>

#ifndef _WIN32
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace simtest {

using relvix::testing::referenceCrc;

// "01 03 01 00" (blanks optional) to bytes.
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// Reader 1's address read and its answer (address 1), the frames most tests start with.
inline const QByteArray kReadAddress = hex("01 03 01 00 00 01 85 F6");
inline const QByteArray kAddressAnswer = hex("01 03 02 00 01 79 84");

inline QByteArray appendCrc(QByteArray frame)
{
    return relvix::testing::withReferenceCrc(std::move(frame));
}

// Hex body without CRC, e.g. frame("01 03 01 00 00 01") = 01 03 01 00 00 01 85 F6.
inline QByteArray frame(const char *body)
{
    return appendCrc(hex(body));
}

inline QByteArray request(int address, int function, int word1, int word2)
{
    QByteArray body;
    body.append(static_cast<char>(address));
    body.append(static_cast<char>(function));
    body.append(static_cast<char>(word1 >> 8));
    body.append(static_cast<char>(word1 & 0xFF));
    body.append(static_cast<char>(word2 >> 8));
    body.append(static_cast<char>(word2 & 0xFF));
    return appendCrc(body);
}

inline QString spaced(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// Polls pred, letting the test thread's events run, until it holds or ms pass.
inline bool waitUntil(const std::function<bool()> &pred, int ms = 5000)
{
    QDeadlineTimer deadline(ms);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

#ifndef _WIN32
// A plain socket to the reader on loopback, outside Qt, so that its buffer size and blocking
// can be chosen and nothing runs the caller's event loop. -1 when it cannot connect.
inline int rawConnect(quint16 port, bool blocking = true, int receiveBuffer = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}
#endif

} // namespace simtest

#include <QHostAddress>
#include <QTcpSocket>

namespace simtest {

// A plain client of the reader on loopback, used from the test thread with the blocking
// waitFor... calls (the reader answers from its own thread).
struct TcpClient {
    QTcpSocket socket;

    bool connectTo(quint16 port)
    {
        socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        return socket.waitForConnected(5000);
    }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.waitForBytesWritten(5000);
    }
    // Reads until n bytes came, the peer closed, or ms passed.
    QByteArray read(int n, int ms = 5000)
    {
        QByteArray got;
        QDeadlineTimer deadline(ms);
        while (got.size() < n && !deadline.hasExpired()) {
            if (socket.bytesAvailable() == 0) {
                if (socket.state() != QAbstractSocket::ConnectedState)
                    break;
                socket.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
            }
            got += socket.read(n - got.size());
        }
        return got;
    }
    // Everything that arrives within ms.
    QByteArray readFor(int ms)
    {
        QByteArray got;
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            got += socket.readAll();
            if (socket.state() != QAbstractSocket::ConnectedState)
                break;
            socket.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        }
        return got + socket.readAll();
    }
    // Sends a request and reads n bytes of answer.
    QByteArray exchange(const QByteArray &request, int n, int ms = 5000)
    {
        send(request);
        return read(n, ms);
    }
};

} // namespace simtest
