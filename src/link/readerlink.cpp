// The exchange, whole: open and close, the request, the two receive loops (serial and network)
// with the answer policy, the guard after an answer and the drain. It is one file on purpose:
// the loops share the clock arithmetic and the result record, and each rule is easier to check
// with both loops in view.
#include "link/readerlink.h"
#include "link/crc16.h"
#include "link/hextext.h"
#include "link/serialmode.h"

#include <QTime>
#include <algorithm>
#include <cstring>

// Frames are dumped at debug level, off unless asked for (QT_LOGGING_RULES="relvix.link.debug=true").
Q_LOGGING_CATEGORY(lcLink, "relvix.link", QtInfoMsg)

namespace relvix {
namespace {

// Milliseconds from `since` to `now` on the 32-bit clock. Unsigned subtraction stays right
// across the wrap of the clock (every 49.7 days), where a plain difference would not.
std::uint32_t elapsedMs(std::uint32_t now, std::uint32_t since)
{
    return now - since;
}

bool exceeds(std::uint32_t elapsed, std::int32_t limit)
{
    return static_cast<std::int64_t>(elapsed) > static_cast<std::int64_t>(limit);
}

QString stamp()
{
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"));
}

// Wire time of one full buffer: 1500 characters of 11 bits (start, 8 data, parity, stop)
// at the given speed, rounded up. 1200 baud is the slowest speed a reader of this kind is
// set to; a slower typed speed, or none, counts as 1200. That caps the wire time at 13.75 s
// and the whole exchange at 15.75 s, where a typed 50 baud would let a line that never
// stops sending hold the window for 332 s, and 1 baud for 4.6 hours.
std::uint32_t bufferWireTimeMs(qint32 baud)
{
    return static_cast<std::uint32_t>(
        (WireTimeUs(kFrameBufferSize, std::max<qint32>(baud, kSlowestCountedBaud)) + 999) / 1000);
}

} // namespace

namespace {
// The logging category as a frame observer: frames with a wall-clock stamp, formatted only
// when debug output of the category is on.
class CategoryFrameLog final : public FrameObserver {
public:
    void frameEvent(const FrameEvent &event) override
    {
        if (lcLink().isDebugEnabled())
            qCDebug(lcLink).noquote() << stamp() << frameEventText(event);
    }
};
} // namespace

ReaderLink::ReaderLink(ExchangeHost &host, Clock &clock, LinkOpener &opener)
    : host_(host), clock_(clock), opener_(opener)
{
    static CategoryFrameLog categoryLog;
    observers_.push_back(&categoryLog);
}

void ReaderLink::addObserver(FrameObserver *observer)
{
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void ReaderLink::removeObserver(FrameObserver *observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void ReaderLink::fail(Outcome outcome, QString detail)
{
    failureOutcome_ = outcome;
    failure_ = std::move(detail);
}

void ReaderLink::notify(FrameEvent::Kind kind, QByteArray bytes, QString detail, Outcome outcome,
                        std::uint8_t exceptionCode)
{
    FrameEvent event;
    event.kind = kind;
    event.timeMs = clock_.nowMs();
    event.slave = exchangeSlave_;
    event.bytes = std::move(bytes);
    event.detail = std::move(detail);
    event.outcome = outcome;
    event.exceptionCode = exceptionCode;
    // A copy: an observer may remove itself while it is told.
    const std::vector<FrameObserver *> observers = observers_;
    for (FrameObserver *observer : observers)
        observer->frameEvent(event);
}

ReaderLink::~ReaderLink()
{
    CloseLink();
}

bool ReaderLink::OpenLink()
{
    // Observers empty their frame fields here, before anything is tried.
    notify(FrameEvent::Kind::Open, {},
           state.transport == Transport::Tcp ? QStringLiteral("network %1:%2").arg(state.peerAddress, state.peerPort)
                                             : QStringLiteral("serial %1 %2").arg(state.portName, state.serialMode));

    // A link left open by a caller that skipped the close is dropped, not leaked; it is
    // not counted as a close because no close was asked for.
    serial_.reset();
    net_.reset();
    lost_ = false;
    drainPending_ = false;
    echoDetected_ = false; // another line, perhaps: its echo is learned again
    result_ = {};
    openFailure_ = {};

    if (state.transport == Transport::Tcp)
        net_ = opener_.openNetwork(state.peerAddress, state.peerPort);
    else
        serial_ = opener_.openSerial(state.portName, state.serialMode);
    if (!isOpen()) {
        openFailure_ = opener_.lastOpenFailure();
        QString why;
        if (openFailure_.kind != OpenFailure::Kind::None)
            why = openFailureName(openFailure_.kind);
        if (!openFailure_.systemText.isEmpty())
            why += (why.isEmpty() ? QString() : QStringLiteral(": ")) + openFailure_.systemText;
        notify(FrameEvent::Kind::OpenFailed, {}, why);
        return false;
    }
    lastByteMs_ = clock_.nowMs();
    ++opens_;
    return true;
}

void ReaderLink::CloseLink()
{
    if (!isOpen())
        return;
    serial_.reset();
    net_.reset();
    ++closes_;
    notify(FrameEvent::Kind::Close);
}

bool ReaderLink::isOpen() const
{
    return serial_ || net_;
}

std::uint32_t ReaderLink::serialOverallBoundMs() const
{
    const std::int64_t timeout = std::max<std::int32_t>(receiveTimeoutMs_, 0);
    const std::int64_t bound = 2 * timeout + bufferWireTimeMs(serial_ ? serial_->baudRate() : 0);
    return static_cast<std::uint32_t>(std::min<std::int64_t>(bound, 0xFFFFFFFFll));
}

bool IsGatewayException(std::uint8_t code)
{
    return code == 0x0A || code == 0x0B;
}

bool NobodyAnswered(const ExchangeResult &r)
{
    return r.outcome == Outcome::Silence || r.outcome == Outcome::EchoOnly ||
           (r.outcome == Outcome::Exception && IsGatewayException(r.exceptionCode));
}

// ---------------------------------------------------------------------------------------
// The two answer rules as policies of the receive loops

// The window's receive rule: every byte restarts the silence, the first CRC-valid frame at
// or beyond the expected length is the answer.
class ReaderLink::FirstValidPolicy final : public AnswerPolicy {
public:
    FirstValidPolicy(LinkState &state, std::int32_t expectedLength)
        : rule_(state.response.data(), state.responseLength, expectedLength)
    {
    }
    Step push(std::uint8_t byte) override { return rule_.push(byte) ? Step::Answer : Step::More; }
    bool restartsSilence() const override { return true; }
    bool strict() const override { return false; }

private:
    ReceiveRule rule_;
};

// The strict rule: the matcher's verdicts, the local echo skipped, frames that are not the
// answer dropped and told, and a count of the bytes that belonged to no valid frame.
class ReaderLink::StrictPolicy final : public AnswerPolicy {
public:
    StrictPolicy(ReaderLink &link, const std::uint8_t *frame, int frameLength, std::int32_t expectedLength)
        : link_(link), state_(link.state), frame_(frame), frameLength_(frameLength),
          matcher_(state_.response.data(), state_.responseLength, frame, frameLength, expectedLength)
    {
    }

    Step push(std::uint8_t byte) override
    {
        ++received_;
        const StrictMatcher::Verdict verdict = matcher_.push(byte);
        if (isEchoHere()) {
            echoSkipped_ = true;
            link_.echoDetected_ = true;
            recognized_ += frameLength_;
            matcher_.consumeAll();
            link_.notify(FrameEvent::Kind::Dropped, QByteArray(reinterpret_cast<const char *>(frame_), frameLength_),
                         QStringLiteral("the local echo of the request"), Outcome::EchoOnly);
            return Step::More;
        }
        switch (verdict) {
        case StrictMatcher::Verdict::More:
            return Step::More;
        case StrictMatcher::Verdict::Foreign:
            recognized_ += matcher_.frameLength();
            link_.dropFrame(state_.response.data() + matcher_.frameStart(), matcher_.frameLength(),
                            QStringLiteral("not the answer"));
            return Step::More;
        case StrictMatcher::Verdict::Answer:
        case StrictMatcher::Verdict::Exception:
            recognized_ += matcher_.frameLength();
            link_.moveFrameToStart(matcher_.frameStart(), matcher_.frameLength());
            link_.result_.responseMs = link_.clock_.nowMs() - link_.requestMs_;
            if (verdict == StrictMatcher::Verdict::Answer)
                return Step::Answer;
            // An answer all the same: the reader refused the request, and nothing more will come.
            link_.result_.outcome = Outcome::Exception;
            link_.result_.exceptionCode = matcher_.exceptionCode();
            link_.result_.detail = outcomeText(Outcome::Exception, matcher_.exceptionCode());
            return Step::Ended;
        }
        return Step::More;
    }
    bool restartsSilence() const override { return matcher_.mayBelongToAnswer(); }
    bool strict() const override { return true; }

    bool echoSkipped() const { return echoSkipped_; }
    int garbledBytes() const { return received_ - recognized_; }
    int received() const { return received_; }

private:
    // A whole copy of the request ends with the latest byte, and the line's echo is to be
    // skipped: always when it is on; in Auto once the line has shown it, or when the copy
    // cannot be the answer (only the answers of 05, 06 and 16 are the request itself).
    bool isEchoHere() const
    {
        if (echoSkipped_ || link_.echoMode_ == EchoMode::Off)
            return false;
        const int end = state_.responseLength;
        const int start = end - frameLength_;
        if (start < matcher_.searchFrom() || start < 0 ||
            std::memcmp(state_.response.data() + start, frame_, std::size_t(frameLength_)) != 0)
            return false;
        if (link_.echoMode_ == EchoMode::On || link_.echoDetected_)
            return true;
        const std::uint8_t function = frame_[1];
        return function != 0x05 && function != 0x06 && function != 0x16;
    }

    ReaderLink &link_;
    LinkState &state_;
    const std::uint8_t *frame_;
    int frameLength_;
    StrictMatcher matcher_;
    int received_ = 0;
    int recognized_ = 0;
    bool echoSkipped_ = false;
};

// ---------------------------------------------------------------------------------------
// The exchange

bool ReaderLink::ExchangeFrame(std::uint16_t slaveAddress, std::uint16_t functionCode, std::int32_t expectedLength,
                               const std::uint8_t *payload, std::uint16_t payloadLength)
{
    // 1500 bytes hold at most 1496 data bytes; a longer payload is the caller's error and
    // is cut rather than written past the frame.
    const int dataLength = std::min<int>(payloadLength, kMaxPayload);
    std::array<std::uint8_t, kFrameBufferSize> frame{};
    frame[0] = static_cast<std::uint8_t>(slaveAddress & 0xFFu);
    frame[1] = static_cast<std::uint8_t>(functionCode & 0xFFu);
    exchangeSlave_ = frame[0];
    if (dataLength > 0 && payload)
        std::memcpy(frame.data() + 2, payload, static_cast<std::size_t>(dataLength));
    const std::uint16_t crc = Crc16(dataLength + 2, frame.data());
    frame[std::size_t(dataLength) + 2] = static_cast<std::uint8_t>(crc & 0xFFu);
    frame[std::size_t(dataLength) + 3] = static_cast<std::uint8_t>(crc >> 8);
    const int frameLength = dataLength + 4;

    if (rule_ == AnswerRule::Strict)
        return exchangeStrict(frame.data(), frameLength, expectedLength);
    return exchangeFirstValid(frame.data(), frameLength, expectedLength);
}

bool ReaderLink::exchangeFirstValid(const std::uint8_t *frame, int frameLength, std::int32_t expectedLength)
{
    state.response.fill(0);
    state.transmitText = HexText(frame, frameLength);
    notify(FrameEvent::Kind::Request, QByteArray(reinterpret_cast<const char *>(frame), frameLength));
    if (!serial_ && !net_) {
        // No link: nothing can come back. Fail at once instead of waiting out a time-out
        // for a port that is not there.
        state.responseLength = 0;
        notify(FrameEvent::Kind::NoResponse, {}, QStringLiteral("no open link"), Outcome::NoLink);
        return false;
    }
    FirstValidPolicy policy(state, expectedLength);
    if (net_)
        discardStale();
    const AnswerPolicy::Step step =
        serial_ ? receiveSerial(policy, frame, frameLength) : receiveNetwork(policy, frame, frameLength);
    result_ = {};
    result_.tries = 1;
    if (step == AnswerPolicy::Step::Answer)
        return accept();
    result_.outcome = failureOutcome_;
    result_.detail = failure_;
    notify(FrameEvent::Kind::NoResponse,
           QByteArray(reinterpret_cast<const char *>(state.response.data()), state.responseLength), failure_,
           failureOutcome_);
    return false;
}

void ReaderLink::discardStale()
{
    // Bytes left over from an earlier exchange: one receive of up to a full buffer is
    // thrown away, and no more.
    if (!net_->waitReadable(0))
        return;
    std::array<std::uint8_t, kFrameBufferSize> chunk{};
    const int n = net_->receive(chunk.data(), kFrameBufferSize);
    if (n > 0)
        qCDebug(lcLink).noquote() << stamp() << "stale bytes dropped:" << HexText(chunk.data(), n);
}

AnswerPolicy::Step ReaderLink::receiveSerial(AnswerPolicy &policy, const std::uint8_t *frame, int frameLength)
{
    using Step = AnswerPolicy::Step;
    serial_->purge();
    serial_->write(frame, frameLength);
    state.responseLength = 0;
    requestMs_ = clock_.nowMs();
    if (policy.strict()) {
        if (const QString reason = serial_->lostReason(); !reason.isEmpty()) {
            loseLink(Outcome::LinkLost, reason);
            return Step::Ended;
        }
    }
    const std::uint32_t writeTime = requestMs_;
    std::uint32_t start = writeTime;
    // The receive time-out limits silence only; this limits the whole exchange, so that a
    // line that never stops delivering bytes cannot hold the tool forever.
    const std::uint32_t overallBound = serialOverallBoundMs();
    for (;;) {
        host_.processMessages();
        std::uint8_t byte = 0;
        const SerialIo::Read read = serial_->readByte(byte);
        if (read == SerialIo::Read::Byte) {
            lastByteMs_ = clock_.nowMs();
            const Step step = policy.push(byte);
            if (policy.restartsSilence())
                start = lastByteMs_;
            if (step == Step::Answer && policy.strict() && heardWithinGuard(nullptr, 0))
                return Step::Ended;
            if (step != Step::More)
                return step;
        } else if (read == SerialIo::Read::Failed && policy.strict()) {
            const QString reason = serial_->lostReason();
            loseLink(Outcome::LinkLost, reason.isEmpty() ? QStringLiteral("the port could not be read") : reason);
            return Step::Ended;
        } else {
            // The window's rule takes a failed read for a turn without a byte.
            host_.processMessages();
            if (exceeds(elapsedMs(clock_.nowMs(), start), receiveTimeoutMs_)) {
                fail(Outcome::Silence, QStringLiteral("silence over %1 ms").arg(receiveTimeoutMs_));
                return Step::Ended;
            }
        }
        if (elapsedMs(clock_.nowMs(), writeTime) > overallBound) {
            fail(Outcome::CutOff, QStringLiteral("cut off after %1 ms of bytes without a response").arg(overallBound));
            return Step::Ended;
        }
    }
}

AnswerPolicy::Step ReaderLink::receiveNetwork(AnswerPolicy &policy, const std::uint8_t *frame, int frameLength)
{
    using Step = AnswerPolicy::Step;
    state.responseLength = 0;
    // One deadline for the whole exchange, from the start of the send: a peer that has
    // stopped reading can take the send up to it, never past it, and the exchange then
    // fails as a time-out does. Under the window's rule a send the connection refuses is
    // not reported: the wait below runs on and ends at the deadline.
    const std::uint32_t start = requestMs_ = clock_.nowMs();
    const NetIo::Send sent = net_->send(frame, frameLength, std::max<std::int32_t>(receiveTimeoutMs_, 0));
    if (sent == NetIo::Send::TimedOut) {
        fail(Outcome::SendTimedOut, QStringLiteral("the send was not done within %1 ms").arg(receiveTimeoutMs_));
        return Step::Ended;
    }
    if (sent == NetIo::Send::Failed && policy.strict()) {
        const QString reason = net_->lostReason();
        loseLink(Outcome::LinkLost, reason.isEmpty() ? QStringLiteral("the connection refused the send") : reason);
        return Step::Ended;
    }
    std::array<std::uint8_t, kFrameBufferSize> chunk{};
    bool peerClosed = false;
    for (;;) {
        // Wait in the system until bytes come or the deadline has passed by a millisecond:
        // the same point of acceptance as polling every microsecond, without the spinning.
        const std::int64_t remaining = static_cast<std::int64_t>(receiveTimeoutMs_) - elapsedMs(clock_.nowMs(), start);
        const int wait = ClampedCount(remaining + 1);
        if (peerClosed) {
            // A closed connection reads as ready for ever and delivers nothing more: wait out
            // the time-out instead of asking it again, and fail as the time-out would.
            clock_.sleepMs(std::max(wait, 1));
            fail(Outcome::PeerClosed, QStringLiteral("the peer closed the connection"));
            return Step::Ended;
        }
        if (net_->waitReadable(wait)) {
            const int n = net_->receive(chunk.data(), kFrameBufferSize);
            if (n > 0) {
                lastByteMs_ = clock_.nowMs();
                const int count = static_cast<std::uint16_t>(n);
                for (int i = 0; i < count; ++i) {
                    const Step step = policy.push(chunk[std::size_t(i)]);
                    if (step == Step::More)
                        continue;
                    // The window's rule drops the bytes behind the answer in this chunk; the
                    // strict rule counts them as a second answer.
                    if (step == Step::Answer && policy.strict() &&
                        heardWithinGuard(chunk.data() + i + 1, count - i - 1))
                        return Step::Ended;
                    return step;
                }
            } else if (n == 0) {
                if (policy.strict()) {
                    loseLink(Outcome::PeerClosed, QStringLiteral("the peer closed the connection"));
                    return Step::Ended;
                }
                peerClosed = true;
                qCDebug(lcLink).noquote() << stamp() << "peer closed the connection";
            } else if (policy.strict()) {
                const QString reason = net_->lostReason();
                loseLink(Outcome::LinkLost, reason.isEmpty() ? QStringLiteral("the connection failed") : reason);
                return Step::Ended;
            } else {
                // A failed receive delivers nothing; pause a little so that an error the
                // socket keeps reporting cannot turn this loop into a spin.
                clock_.sleepMs(1);
            }
        }
        if (exceeds(elapsedMs(clock_.nowMs(), start), receiveTimeoutMs_)) {
            fail(Outcome::Silence, QStringLiteral("no response within %1 ms").arg(receiveTimeoutMs_));
            return Step::Ended;
        }
    }
}

std::int32_t ReaderLink::postAnswerGuardMs() const
{
    if (!serial_)
        return 2; // TCP: the pieces of one frame come within a millisecond or two on loopback
    // 3.5 characters of 11 bits end an RTU frame; a second reader that answers the same
    // request starts within them. The read's own wait of about 1 ms is the margin.
    const std::int64_t baud = std::max<qint32>(serial_->baudRate(), kSlowestCountedBaud);
    return static_cast<std::int32_t>((FrameGapUs(baud) + 999) / 1000);
}

bool ReaderLink::heardWithinGuard(const std::uint8_t *rest, int restLength)
{
    // Bytes after the answer go behind it in the buffer, so that the failure shows them.
    int extra = 0;
    const auto keep = [&](std::uint8_t byte) {
        if (state.responseLength < kFrameBufferSize) {
            state.response[std::size_t(state.responseLength)] = byte;
            ++state.responseLength;
        }
        ++extra;
    };
    for (int i = 0; i < restLength; ++i)
        keep(rest[i]);
    if (extra == 0) {
        const std::uint64_t guardUs = std::uint64_t(std::max(postAnswerGuardMs(), 0)) * 1000u;
        const std::uint64_t from = clock_.nowUs();
        if (serial_) {
            // In microseconds where the clock has them: the guard is a few milliseconds.
            const std::int64_t baud = std::max<qint32>(serial_->baudRate(), kSlowestCountedBaud);
            const std::uint64_t exactUs = std::uint64_t(FrameGapUs(baud));
            const std::uint64_t until = from + std::min(exactUs, guardUs);
            // A read that finds nothing waits about a millisecond, often more on a busy
            // machine: the next one starts only if it can end within a millisecond of the
            // guard's end, so the guard never costs more than 3.5 characters and 1 ms.
            std::uint64_t readCostUs = 1000;
            for (std::uint64_t now = clock_.nowUs(); now < until && now + readCostUs <= until + 1000;
                 now = clock_.nowUs()) {
                std::uint8_t byte = 0;
                const SerialIo::Read read = serial_->readByte(byte);
                if (read == SerialIo::Read::Failed)
                    break;
                if (read == SerialIo::Read::Nothing)
                    readCostUs = std::max<std::uint64_t>(clock_.nowUs() - now, 1);
                if (read == SerialIo::Read::Byte) {
                    keep(byte);
                    // What else is there at once belongs to the same second answer.
                    while (extra < 256 && serial_->readByte(byte) == SerialIo::Read::Byte)
                        keep(byte);
                    break;
                }
            }
        } else if (net_->waitReadable(postAnswerGuardMs())) {
            std::array<std::uint8_t, kFrameBufferSize> chunk{};
            const int n = net_->receive(chunk.data(), kFrameBufferSize);
            for (int i = 0; i < n; ++i)
                keep(chunk[std::size_t(i)]);
        }
    }
    if (extra == 0)
        return false;
    lastByteMs_ = clock_.nowMs();
    result_.outcome = Outcome::AnsweredTwice;
    result_.detail = QStringLiteral("two answers: more than one reader at address %1?").arg(exchangeSlave_);
    drainPending_ = true; // the rest of the second answer is drained before the next request
    return true;
}

bool ReaderLink::accept()
{
    state.receiveText = HexText(state.response.data(), state.responseLength);
    notify(FrameEvent::Kind::Response,
           QByteArray(reinterpret_cast<const char *>(state.response.data()), state.responseLength));
    return true;
}

// ---------------------------------------------------------------------------------------
// The strict rule

std::int32_t ReaderLink::shortGuardMs() const
{
    if (!serial_)
        return 2; // TCP: the pieces of one frame come within a millisecond or two on loopback
    // Four characters of 11 bits: a frame still on the line shows within that time.
    const std::int64_t baud = std::max<qint32>(serial_->baudRate(), kSlowestCountedBaud);
    return static_cast<std::int32_t>((4 * kBitsPerCharacter * 1000 + baud - 1) / baud + 1);
}

void ReaderLink::loseLink(Outcome outcome, const QString &reason)
{
    lost_ = true;
    drainPending_ = false;
    result_.outcome = outcome;
    result_.lostReason = reason;
    result_.detail = outcome == Outcome::PeerClosed ? QStringLiteral("peer closed the connection")
                                                    : QStringLiteral("link lost: %1").arg(reason);
}

void ReaderLink::dropFrame(const std::uint8_t *frame, int length, const QString &when)
{
    ++result_.dropped;
    result_.droppedFrom = frame[0];
    notify(FrameEvent::Kind::Dropped, QByteArray(reinterpret_cast<const char *>(frame), length),
           QStringLiteral("from slave %1, %2").arg(frame[0]).arg(when), Outcome::Mismatch);
}

void ReaderLink::moveFrameToStart(int start, int length)
{
    // The answer (or the exception) is what callers read from offset 0.
    std::memmove(state.response.data(), state.response.data() + start, static_cast<std::size_t>(length));
    std::fill(state.response.begin() + length, state.response.end(), std::uint8_t{0});
    state.responseLength = length;
}

void ReaderLink::endSilently(const StrictPolicy &policy)
{
    // Nothing that was the answer before the time-out: a late answer may still be on its
    // way. What came instead names the failure: bytes of no valid frame (noise, answers
    // that collided), frames of others, or only the line's echo of the request.
    result_.garbledBytes = policy.garbledBytes();
    result_.echoSkipped = policy.echoSkipped();
    if (failureOutcome_ == Outcome::CutOff) {
        result_.outcome = Outcome::CutOff;
        result_.detail = failure_;
    } else if (policy.garbledBytes() > 0) {
        result_.outcome = Outcome::Garbled;
        result_.detail = QStringLiteral("%1; %2 byte(s) of no valid frame").arg(failure_).arg(policy.garbledBytes());
    } else if (result_.dropped > 0) {
        result_.outcome = Outcome::Mismatch;
        result_.detail = QStringLiteral("%1; %2 valid frame(s) that were not the answer dropped")
                             .arg(failure_, QString::number(result_.dropped));
    } else if (policy.echoSkipped()) {
        result_.outcome = Outcome::EchoOnly;
        result_.detail = QStringLiteral("only the local echo came back: no reader answered");
    } else {
        result_.outcome = failureOutcome_;
        result_.detail = failure_;
    }
    drainPending_ = true;
}

bool ReaderLink::exchangeStrict(const std::uint8_t *frame, int frameLength, std::int32_t expectedLength)
{
    // A read that a busy reader refused (exception 06) is asked again: it changed nothing.
    const bool read = frame[1] >= 0x01 && frame[1] <= 0x04;
    for (int tries = 1;; ++tries) {
        const bool answered = strictOnce(frame, frameLength, expectedLength);
        result_.tries = tries;
        if (answered || !read || tries > busyRetries_ || result_.outcome != Outcome::Exception ||
            result_.exceptionCode != 0x06)
            return answered;
        for (int left = busyPauseMs_; left > 0; left -= 10) {
            host_.processMessages();
            clock_.sleepMs(std::min(left, 10));
        }
    }
}

bool ReaderLink::strictOnce(const std::uint8_t *frame, int frameLength, std::int32_t expectedLength)
{
    drainBefore(frame[0]);
    exchangeSlave_ = frame[0]; // the drain reported under the earlier request's address
    state.response.fill(0);
    state.transmitText = HexText(frame, frameLength);
    notify(FrameEvent::Kind::Request, QByteArray(reinterpret_cast<const char *>(frame), frameLength));
    const ExchangeResult carried = result_; // a link lost in the drain
    result_ = {};
    bool answered = false;
    if (!serial_ && !net_) {
        state.responseLength = 0;
        result_.outcome = Outcome::NoLink;
        result_.detail = QStringLiteral("no open link");
    } else if (lost_) {
        state.responseLength = 0;
        result_ = carried;
    } else {
        StrictPolicy policy(*this, frame, frameLength, expectedLength);
        const AnswerPolicy::Step step =
            serial_ ? receiveSerial(policy, frame, frameLength) : receiveNetwork(policy, frame, frameLength);
        result_.echoSkipped = policy.echoSkipped();
        if (step == AnswerPolicy::Step::Answer) {
            answered = accept();
        } else if (!lost_ && result_.outcome == Outcome::None) {
            if (failureOutcome_ == Outcome::SendTimedOut) {
                result_.outcome = Outcome::SendTimedOut;
                result_.detail = failure_;
                drainPending_ = true;
            } else {
                endSilently(policy);
            }
        }
    }
    if (drainPending_) {
        failedSlave_ = frame[0];
        failedTimeoutMs_ = receiveTimeoutMs_;
    }
    if (!answered) {
        notify(FrameEvent::Kind::NoResponse,
               QByteArray(reinterpret_cast<const char *>(state.response.data()), state.responseLength), result_.detail,
               result_.outcome, result_.exceptionCode);
    }
    return answered;
}

void ReaderLink::drainBefore(std::uint8_t slave)
{
    if (!isOpen() || lost_)
        return;
    if (drainPending_) {
        drainPending_ = false;
        if (slave == failedSlave_)
            drainFor(failedTimeoutMs_, true);
        else
            drainFor(shortGuardMs(), false);
    } else if (net_) {
        drainFor(0, false); // what waits already: a serial port is purged before the write
    }
}

void ReaderLink::drain(std::int32_t guardMs)
{
    if (rule_ != AnswerRule::Strict || !isOpen() || lost_)
        return;
    drainPending_ = false;
    drainFor(guardMs, true);
}

void ReaderLink::drainFor(std::int32_t guardMs, bool fromNow)
{
    std::array<std::uint8_t, kFrameBufferSize> bytes{};
    std::int32_t length = 0;
    StrictMatcher matcher(bytes.data(), length);
    const std::uint32_t begin = clock_.nowMs();
    std::uint32_t quietSince = fromNow ? begin : lastByteMs_;
    // However the bytes keep coming, the drain ends: a line that never goes quiet would
    // otherwise hold every request back for ever.
    const std::uint32_t bound = static_cast<std::uint32_t>(std::max(guardMs, 0)) + serialOverallBoundMs();
    const auto take = [&](std::uint8_t byte) {
        quietSince = lastByteMs_ = clock_.nowMs();
        if (matcher.push(byte) == StrictMatcher::Verdict::Foreign)
            dropFrame(bytes.data() + matcher.frameStart(), matcher.frameLength(), QStringLiteral("late"));
    };
    const auto quiet = [&] {
        return static_cast<std::int64_t>(elapsedMs(clock_.nowMs(), quietSince)) >= std::max(guardMs, 0);
    };
    if (serial_) {
        while (!quiet() && elapsedMs(clock_.nowMs(), begin) <= bound) {
            host_.processMessages();
            std::uint8_t byte = 0;
            const SerialIo::Read read = serial_->readByte(byte);
            if (read == SerialIo::Read::Byte) {
                take(byte);
            } else if (read == SerialIo::Read::Failed) {
                const QString reason = serial_->lostReason();
                loseLink(Outcome::LinkLost, reason.isEmpty() ? QStringLiteral("the port could not be read") : reason);
                return;
            }
        }
        serial_->purge();
        return;
    }
    std::array<std::uint8_t, kFrameBufferSize> chunk{};
    for (;;) {
        const std::int64_t left = std::int64_t{std::max(guardMs, 0)} - elapsedMs(clock_.nowMs(), quietSince);
        if (!net_->waitReadable(ClampedCount(left))) {
            if (quiet())
                return;
            continue;
        }
        const int n = net_->receive(chunk.data(), kFrameBufferSize);
        if (n > 0) {
            for (int i = 0; i < n; ++i)
                take(chunk[std::size_t(i)]);
        } else if (n == 0) {
            loseLink(Outcome::PeerClosed, QStringLiteral("the peer closed the connection"));
            return;
        } else {
            const QString reason = net_->lostReason();
            loseLink(Outcome::LinkLost, reason.isEmpty() ? QStringLiteral("the connection failed") : reason);
            return;
        }
        if (elapsedMs(clock_.nowMs(), begin) > bound)
            return;
    }
}

} // namespace relvix
