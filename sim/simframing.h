#pragma once
// Where one request ends in the byte stream that a TCP client or the pseudo-terminal sends:
// RTU frames carry no length, only their CRC.
#include <QByteArray>

namespace relvix::sim {

// Bytes that never form a request are dropped after this much silence. A tool writes a
// request in one piece, so 30 ms (about 30 character times at 9600 baud) never cuts a real
// one; it is also how long a short CRC match in a function 03/06 frame is held back.
constexpr int JunkSilenceMs = 30;
// Reads (03) and single writes (06) are 8 bytes: address, function, two words, CRC.
constexpr int FixedRequestLength = 8;
// The tool's own buffers are 1500 bytes; nothing longer can be one of its requests.
constexpr int MaxRequestBuffer = 1500;

// Length of the shortest prefix of at least 4 bytes whose last two bytes are the CRC of the
// rest, or 0 when there is none yet.
int completeFrameLength(const QByteArray &buffer);

// Where the request at the front of the buffer ends, or 0 while it may still grow.
// The shortest CRC-correct prefix of at least 4 bytes ends a request, with one exception: in
// a 03 or 06 request a prefix of 7 matches whenever the last data byte equals the low byte of
// the CRC of the five before it (appending a CRC's low byte leaves its high byte in the
// register), 1 request in 256: 17 03 01 00 00 01 87 00 reads as 17 03 01 00 00 01 87 cut
// short. So for those two functions the full 8 bytes decide first, and a shorter match counts
// only once the line has been silent (a malformed short request, answered with exception 03).
int requestLength(const QByteArray &buffer, bool silent);

// One peer's input on its way to requests. What a turn reads waits here unframed, and next()
// frames one request at a time, so that a turn can serve one request and leave the rest for
// its next turn. The request being gathered never holds more than MaxRequestBuffer bytes:
// input is taken in pieces that fill it to one byte beyond, and a buffer with no request
// in it by then is given up whole.
class RequestFramer {
public:
    struct Item {
        enum Kind { None, Request, Dropped } kind = None;
        QByteArray bytes; // the request, or the bytes given up
    };
    void append(const QByteArray &bytes);
    // The next request in what has arrived, or bytes that belong to none (more than the
    // longest request gathered without one); None when it needs more input. silent: the
    // line has been quiet, so a short CRC match in a 03/06 frame counts.
    Item next(bool silent);
    bool hasUnread() const { return read_ < unread_.size(); }
    // Whether next() may have more without more input: unread bytes, or bytes left behind the
    // request it gave last.
    bool hasMore() const { return hasUnread() || (afterRequest_ && !rx_.isEmpty()); }
    // Bytes of a request begun and not finished.
    const QByteArray &partial() const { return rx_; }
    void clearPartial() { rx_.clear(); }
    // Complements every byte not framed yet: what the tool sent while an answer was on a
    // half-duplex line reaches no reader intact.
    void garblePending();

private:
    QByteArray unread_;
    qsizetype read_ = 0; // of unread_, moved into rx_
    QByteArray rx_;
    bool afterRequest_ = false; // next() gave a request last
};

} // namespace relvix::sim
