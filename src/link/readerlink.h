#pragma once
#include "answerrule.h"
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

// How the latest exchange ended.
struct ExchangeResult {
    Outcome outcome = Outcome::None; // None: the answer was accepted
    std::uint8_t exceptionCode = 0;  // Outcome::Exception
    QString detail;                  // why it failed, as the frame log says it
    QString lostReason;              // LinkLost, PeerClosed: the system's reason
    std::uint32_t responseMs = 0;    // answer or exception: from the request handed over to its last byte
    int dropped = 0;                 // strict rule: valid frames that were not the answer
    std::uint8_t droppedFrom = 0;    // the address of the latest of them
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

    // The rule that decides which frame is the answer; FirstValid until a caller chooses.
    void setAnswerRule(AnswerRule rule) { rule_ = rule; }
    AnswerRule answerRule() const { return rule_; }
    const ExchangeResult &lastResult() const { return result_; }
    // Why the latest OpenLink failed, where the opener could tell.
    const OpenFailure &openFailure() const { return openFailure_; }

    // Strict rule. After a failed exchange the next request waits until the line has been
    // quiet for a guard time, then the input is cleared: one receive time-out of the failed
    // exchange, counted from its end, when the request goes to the same address (a late
    // answer there looks exactly like the answer); shortGuardMs() since the latest byte when
    // it goes elsewhere (the address check catches a late answer there). Every valid frame
    // that comes meanwhile is told to the observers as Dropped. drain() does the same at
    // once, for a caller that sends nothing more but still wants to hear late answers.
    void drain(std::int32_t guardMs);
    std::int32_t shortGuardMs() const;
    // Strict rule: the port or connection failed for good (lastResult() says why); every
    // exchange fails at once from then on, until the next OpenLink.
    bool lost() const { return lost_; }

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
    void notify(FrameEvent::Kind kind, QByteArray bytes = {}, QString detail = {}, Outcome outcome = Outcome::None,
                std::uint8_t exceptionCode = 0);
    void fail(Outcome outcome, QString detail);

    // The strict rule's exchange and what it does with each verdict.
    bool exchangeStrict(const std::uint8_t *frame, int frameLength, std::int32_t expectedLength);
    bool strictSerial(StrictMatcher &matcher, const std::uint8_t *frame, int frameLength);
    bool strictNetwork(StrictMatcher &matcher, const std::uint8_t *frame, int frameLength);
    enum class Step { More, Answered, Ended };
    Step strictVerdict(StrictMatcher &matcher, StrictMatcher::Verdict verdict);
    void moveFrameToStart(const StrictMatcher &matcher);
    void dropFrame(const std::uint8_t *frame, int length, const QString &when);
    void loseLink(Outcome outcome, const QString &reason);
    void endSilently();
    void drainBefore(std::uint8_t slave);
    void drainFor(std::int32_t guardMs, bool fromNow);

    ExchangeHost &host_;
    Clock &clock_;
    LinkOpener &opener_;
    std::unique_ptr<SerialIo> serial_;
    std::unique_ptr<NetIo> net_;
    std::vector<FrameObserver *> observers_;
    QString failure_;                        // why the latest exchange accepted nothing
    Outcome failureOutcome_ = Outcome::None; // the same, typed
    std::uint8_t exchangeSlave_ = 0;         // the address of the latest request
    AnswerRule rule_ = AnswerRule::FirstValid;
    ExchangeResult result_;
    OpenFailure openFailure_;
    std::uint32_t requestMs_ = 0;      // when the latest request was handed over
    std::uint32_t lastByteMs_ = 0;     // when the latest byte came (strict rule)
    bool drainPending_ = false;        // strict: the latest exchange failed, a late answer may come
    std::uint8_t failedSlave_ = 0;     // its address
    std::int32_t failedTimeoutMs_ = 0; // its receive time-out
    bool lost_ = false;
    int opens_ = 0;
    int closes_ = 0;
};

} // namespace relvix
