#pragma once
#include "frameevent.h"
#include "linkio.h"
#include "receiverule.h"

#include <QLoggingCategory>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

Q_DECLARE_LOGGING_CATEGORY(lcLink)

namespace relvix {

// Windows serial time-out record (milliseconds), kept so the Windows build can put the
// port's own values back at close. Elsewhere the port restores its terminal settings.
struct PortTimeouts {
    std::uint32_t readIntervalTimeout = 0;
    std::uint32_t readTotalTimeoutMultiplier = 0;
    std::uint32_t readTotalTimeoutConstant = 0;
    std::uint32_t writeTotalTimeoutMultiplier = 0;
    std::uint32_t writeTotalTimeoutConstant = 0;
};

// Which link carries the frames. Stored settings and command lines map their own forms
// (TYPE 0 or 1, --port or --tcp) onto this, and nothing else.
enum class Transport : std::uint8_t { Serial, Tcp };

struct LinkState {
    // Link settings, taken from the window right before every open.
    Transport transport = Transport::Serial;
    QString peerAddress;
    QString peerPort;
    QString serialMode;
    QString portName;
    std::uint16_t slaveAddress = 0;

    PortTimeouts portTimeouts{0, 0, 1, 0, 0};
    PortTimeouts savedPortTimeouts{};

    // Results of the latest exchange.
    std::int32_t receiveTimeout = 1000;
    std::int32_t responseLength = 0;
    std::array<std::uint8_t, kFrameBufferSize> response{};
    QString receiveText;
    QString transmitText;
};

class ReaderLink {
public:
    explicit ReaderLink(ExchangeHost &host, Clock &clock = steadyClock(), LinkOpener &opener = systemLinkOpener());
    ~ReaderLink();

    LinkState state;

    // Every open, request, response (accepted or not) and close is handed to each observer,
    // in the order they were added. The relvix.link logging category is always one of them.
    // An observer must outlive the link or be removed first.
    void addObserver(FrameObserver *observer);
    void removeObserver(FrameObserver *observer);

    // Empties both frame fields, then opens the serial port or TCP connection named by the
    // link state. False leaves nothing open.
    bool OpenLink();
    // Closes what OpenLink opened; harmless when nothing is open.
    void CloseLink();
    bool isOpen() const;

    // One request and its response over the open link; true when a response was accepted.
    bool ExchangeFrame(std::uint16_t slaveAddress, std::uint16_t functionCode, std::int32_t expectedLength,
                       const std::uint8_t *payload, std::uint16_t payloadLength);

    // Counters for tests and diagnostics.
    int openCount() const { return opens_; }
    int closeCount() const { return closes_; }

    // Longest a serial exchange may run, however the bytes keep coming: twice the receive
    // time-out plus the wire time of one full buffer at the port's speed, counted at no
    // less than 1200 baud (at most 15.75 s with the 1000 ms time-out).
    std::uint32_t serialOverallBoundMs() const;

private:
    bool exchangeSerial(ReceiveRule &rule);
    bool exchangeNetwork(ReceiveRule &rule, const std::uint8_t *frame, int frameLength);
    void discardStale();
    bool accept();
    void notify(FrameEvent::Kind kind, QByteArray bytes = {}, QString detail = {}, Outcome outcome = Outcome::None);
    void fail(Outcome outcome, QString detail);

    ExchangeHost &host_;
    Clock &clock_;
    LinkOpener &opener_;
    std::unique_ptr<SerialIo> serial_;
    std::unique_ptr<NetIo> net_;
    std::vector<FrameObserver *> observers_;
    QString failure_;                        // why the latest exchange accepted nothing
    Outcome failureOutcome_ = Outcome::None; // the same, typed
    std::uint8_t exchangeSlave_ = 0;         // the address of the latest request
    int opens_ = 0;
    int closes_ = 0;
};

} // namespace relvix
