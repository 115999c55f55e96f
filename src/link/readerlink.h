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

    // The frames of the latest exchange.
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
    int garbledBytes = 0;            // strict rule: bytes that belonged to no valid frame
    bool echoSkipped = false;        // strict rule: the line's local echo of the request came first
    int tries = 0;                   // requests sent for it: more than 1 when a busy reader was asked again
};

// Whether the line hands the request's own bytes back before the answer (a two-wire
// adapter that hears itself). Auto learns it from the first request that comes back.
enum class EchoMode : std::uint8_t { Auto, On, Off };

// Gateway exceptions 0A (path unavailable) and 0B (target failed to respond): the gateway
// answered because no reader did.
bool IsGatewayException(std::uint8_t code);
// No reader answered the request: silence, only the echo, or a gateway's 0A or 0B.
bool NobodyAnswered(const ExchangeResult &result);

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

    // The clock the time-out rules read; a caller that paces its own requests reads it too.
    Clock &clock() const { return clock_; }

    // The receive time-out of every exchange (1000 ms until a caller chooses).
    void setReceiveTimeoutMs(std::int32_t ms) { receiveTimeoutMs_ = ms; }
    std::int32_t receiveTimeoutMs() const { return receiveTimeoutMs_; }
    // Another receive time-out for the requests made while it lives.
    class TimeoutScope {
    public:
        TimeoutScope(ReaderLink &link, std::int32_t ms) : link_(link), kept_(link.receiveTimeoutMs_)
        {
            link_.receiveTimeoutMs_ = ms;
        }
        ~TimeoutScope() { link_.receiveTimeoutMs_ = kept_; }
        TimeoutScope(const TimeoutScope &) = delete;
        TimeoutScope &operator=(const TimeoutScope &) = delete;

    private:
        ReaderLink &link_;
        std::int32_t kept_;
    };

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
    // Strict rule: the local echo. In Auto, a request that comes back byte for byte marks
    // the line as echoing (echoDetected()), and from then on the first copy of each request
    // is skipped; a write echo of function 05, 06 or 16 is the reader's answer until then.
    void setEchoMode(EchoMode mode) { echoMode_ = mode; }
    EchoMode echoMode() const { return echoMode_; }
    bool echoDetected() const { return echoDetected_; }
    // Strict rule: a read (functions 01 to 04) answered with exception 06 (busy) is asked
    // again after pauseMs, up to `retries` more times.
    void setBusyRetries(int retries, int pauseMs)
    {
        busyRetries_ = retries;
        busyPauseMs_ = pauseMs;
    }
    // Strict rule: how long the line is listened to after an accepted answer: 3.5 characters
    // (the end of an RTU frame) and a millisecond; 2 ms over TCP. A byte within it is a
    // second answer.
    std::int32_t postAnswerGuardMs() const;
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
    class FirstValidPolicy;
    class StrictPolicy;

    // The one receive loop of each transport, with the rule as a policy.
    AnswerPolicy::Step receiveSerial(AnswerPolicy &policy, const std::uint8_t *frame, int frameLength);
    AnswerPolicy::Step receiveNetwork(AnswerPolicy &policy, const std::uint8_t *frame, int frameLength);
    // Strict: bytes that come within the post-answer guard (first those left in the chunk).
    bool heardWithinGuard(const std::uint8_t *rest, int restLength);

    bool exchangeFirstValid(const std::uint8_t *frame, int frameLength, std::int32_t expectedLength);
    bool exchangeStrict(const std::uint8_t *frame, int frameLength, std::int32_t expectedLength);
    bool strictOnce(const std::uint8_t *frame, int frameLength, std::int32_t expectedLength);
    void discardStale();
    bool accept();
    void notify(FrameEvent::Kind kind, QByteArray bytes = {}, QString detail = {}, Outcome outcome = Outcome::None,
                std::uint8_t exceptionCode = 0);
    void fail(Outcome outcome, QString detail);
    void moveFrameToStart(int start, int length);
    void dropFrame(const std::uint8_t *frame, int length, const QString &when);
    void loseLink(Outcome outcome, const QString &reason);
    void endSilently(const StrictPolicy &policy);
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
    std::int32_t receiveTimeoutMs_ = 1000;
    EchoMode echoMode_ = EchoMode::Auto;
    bool echoDetected_ = false;
    int busyRetries_ = 0;
    int busyPauseMs_ = 100;
    bool lost_ = false;
    int opens_ = 0;
    int closes_ = 0;
};

} // namespace relvix
