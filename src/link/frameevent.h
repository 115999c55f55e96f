#pragma once
#include <QByteArray>
#include <QString>
#include <cstdint>

namespace relvix {

// How an exchange ended without an answer. The text of each is outcomeName's.
enum class Outcome : std::uint8_t {
    None,          // not the end of a failed exchange (open, request, answer, close)
    Silence,       // nothing that was the answer within the receive time-out
    CutOff,        // serial: bytes kept coming past the exchange's overall bound
    SendTimedOut,  // network: the frame was not handed to the system in time
    PeerClosed,    // network: the peer closed the connection
    LinkLost,      // the port or the connection failed (I/O error, hang-up, reset)
    Exception,     // the reader answered with a MODBUS exception; see exceptionCode
    Mismatch,      // a valid frame that was not the answer to the request
    NoLink,        // no link was open
    Garbled,       // bytes came, but no CRC-valid frame among them (noise, a collision)
    EchoOnly,      // only the line's local echo of the request came back
    AnsweredTwice, // a second frame or more bytes right after the answer: two readers?
};

// "silence", "cut off", "send timed out", "peer closed", "link lost", "exception",
// "mismatch", "no link", "garbled", "local echo", "answered twice"; "" for None.
QString outcomeName(Outcome outcome);

// The standard MODBUS name of an exception code, in lower case ("illegal data address" for 2);
// "unknown exception" for a code the protocol does not define.
QString exceptionName(std::uint8_t code);

// The outcome as a person reads it: the name, and for an exception its code and name
// ("exception 02 (illegal data address)").
QString outcomeText(Outcome outcome, std::uint8_t exceptionCode = 0);

// One thing that happened on the link, as a frame observer is told of it.
struct FrameEvent {
    enum class Kind {
        Open,       // an open is about to be tried; detail names the port or peer
        OpenFailed, // that open failed; nothing is open
        Request,    // bytes: the whole frame, about to be written or sent
        Response,   // bytes: the response accepted
        NoResponse, // bytes: what came before the exchange gave up; detail says why
        Close,      // the open link was closed
        Dropped,    // strict rule: bytes, a valid frame that was not the answer (outcome Mismatch);
                    // slave is the request's, the frame's own address is bytes[0]
    };

    Kind kind = Kind::Request;
    std::uint32_t timeMs = 0; // the link's monotonic millisecond clock
    std::uint8_t slave = 0;   // the address the request went to (exchange events)
    QByteArray bytes;
    QString detail;
    Outcome outcome = Outcome::None; // NoResponse: why
    std::uint8_t exceptionCode = 0;  // Outcome::Exception: the reader's code
};

// Told of every event of a link, in order, on the thread that drives the link.
class FrameObserver {
public:
    virtual ~FrameObserver() = default;
    virtual void frameEvent(const FrameEvent &event) = 0;
};

// The two frame fields of a window, as an observer: emptied when a link is opened, the
// request's hex text as it goes out, an accepted response's hex text ("%02X " per byte).
// A failed exchange leaves the receive text as it was.
class FrameTextObserver : public FrameObserver {
public:
    void frameEvent(const FrameEvent &event) override;
    virtual void showTransmitText(const QString &text) = 0;
    virtual void showReceiveText(const QString &text) = 0;
};

// "TX", "RX", "FAIL", "OPEN", "OPEN-FAILED", "CLOSE", "DROP".
QString frameEventTag(FrameEvent::Kind kind);
// One line for a log: tag, slave address, hex bytes and the detail, e.g.
// "TX slave 1: 01 03 01 00 00 01 85 F6" or "FAIL slave 1: time-out after 1000 ms (0 bytes)".
QString frameEventText(const FrameEvent &event);

} // namespace relvix
