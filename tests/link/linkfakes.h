#pragma once
// Scripted stand-ins for the window, the clock, the serial port and the TCP connection.
// The fake IOs move the fake clock: an empty serial turn costs 1 ms, a wait for
// readability jumps to the next scripted arrival or by its whole time-out. Time-outs thus
// cost no real time, and every time in a test is exact.
#include "link/frameevent.h"
#include "link/linkio.h"
#include "linktestsupport.h"

#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace linktest {

// Shared record of what happened, in order, across host and IO fakes.
struct EventLog {
    std::vector<std::string> events;
    void add(std::string e) { events.push_back(std::move(e)); }
    int indexOf(const std::string &e) const
    {
        for (std::size_t i = 0; i < events.size(); ++i)
            if (events[i] == e)
                return static_cast<int>(i);
        return -1;
    }
};

class FakeClock : public relvix::Clock {
public:
    explicit FakeClock(std::uint32_t start = 100000) : now(start) {}
    std::uint32_t nowMs() override { return now; }
    void sleepMs(int ms) override
    {
        ++sleeps;
        if (ms > 0)
            now += static_cast<std::uint32_t>(ms);
    }
    std::uint32_t now;
    int sleeps = 0;
};

class FakeHost : public relvix::ExchangeHost, public relvix::FrameTextObserver {
public:
    explicit FakeHost(EventLog &log) : log_(log) {}
    void processMessages() override { ++processCalls; }
    void showTransmitText(const QString &text) override
    {
        shownTx.push_back(text);
        log_.add("showTX:" + text.toStdString());
    }
    void showReceiveText(const QString &text) override
    {
        shownRx.push_back(text);
        log_.add("showRX:" + text.toStdString());
    }
    int processCalls = 0;
    std::vector<QString> shownTx;
    std::vector<QString> shownRx;

private:
    EventLog &log_;
};

// A serial port. Bytes of the script arrive at times counted from the write; stale bytes
// are there before it (purge drops them).
class FakeSerial : public relvix::SerialIo {
public:
    FakeSerial(FakeClock &clock, EventLog &log) : clock_(clock), log_(log) {}
    ~FakeSerial() override { log_.add("serial closed"); }

    // Script: bytes arriving together, offsetMs after the write.
    void arrive(std::uint32_t offsetMs, const Bytes &bytes) { script_.push_back({offsetMs, bytes}); }
    // One byte at each of the given offsets.
    void arriveEach(const std::vector<std::uint32_t> &offsets, const Bytes &bytes)
    {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            script_.push_back({offsets[i], Bytes{bytes[i]}});
    }
    Bytes stale;
    // After the write, every read delivers this byte at once and 1 ms passes: a line that
    // never stops sending.
    bool endless = false;
    std::uint8_t endlessByte = 0x00;
    // An empty turn for which this says true reports a failed read instead.
    std::function<bool(std::uint32_t sinceWrite)> failWhen;
    qint32 baud = 19200;

    int purges = 0;
    std::vector<Bytes> writes;
    std::uint32_t writeTime = 0;
    int reads = 0, byteReads = 0, emptyReads = 0, failedReads = 0;

    void purge() override
    {
        ++purges;
        stale.clear();
        log_.add("purge");
    }
    void write(const std::uint8_t *bytes, int count) override
    {
        writes.emplace_back(bytes, bytes + count);
        writeTime = clock_.now;
        log_.add("write");
        queue_.clear();
        for (const auto &[offset, chunk] : script_)
            for (auto b : chunk)
                queue_.push_back({writeTime + offset, b});
        script_.clear(); // a script serves one exchange
        std::stable_sort(queue_.begin(), queue_.end(),
                         [&](const Arrival &a, const Arrival &b) { return a.at - writeTime < b.at - writeTime; });
        written_ = true;
    }
    Read readByte(std::uint8_t &byte) override
    {
        ++reads;
        if (reads > 10'000'000) { // the exchange never ends: stop the test instead of hanging
            ADD_FAILURE() << "serial exchange does not end";
            clock_.now += 100'000'000;
            return Read::Nothing;
        }
        if (!stale.empty()) {
            byte = stale.front();
            stale.erase(stale.begin());
            ++byteReads;
            return Read::Byte;
        }
        if (!queue_.empty() && static_cast<std::int32_t>(clock_.now - queue_.front().at) >= 0) {
            byte = queue_.front().byte;
            queue_.pop_front();
            ++byteReads;
            return Read::Byte;
        }
        if (endless && written_) {
            byte = endlessByte;
            clock_.now += 1;
            ++byteReads;
            return Read::Byte;
        }
        clock_.now += 1;
        ++emptyReads;
        if (failWhen && failWhen(clock_.now - writeTime)) {
            ++failedReads;
            return Read::Failed;
        }
        return Read::Nothing;
    }
    qint32 baudRate() const override { return baud; }

private:
    struct Arrival {
        std::uint32_t at;
        std::uint8_t byte;
    };
    FakeClock &clock_;
    EventLog &log_;
    std::vector<std::pair<std::uint32_t, Bytes>> script_;
    std::deque<Arrival> queue_;
    bool written_ = false;
};

// A TCP connection. Chunks arrive at times counted from the start of the send; each
// receive hands out one chunk (or its first maxCount bytes). Stale chunks are there before
// the send. A send takes sendTakesMs to find room (a peer that reads slowly or never), and
// gives up at its time-out if that is less.
class FakeNet : public relvix::NetIo {
public:
    FakeNet(FakeClock &clock, EventLog &log) : clock_(clock), log_(log) {}
    ~FakeNet() override { log_.add("net closed"); }

    void arrive(std::uint32_t offsetMs, const Bytes &bytes) { script_.push_back({offsetMs, bytes, false}); }
    // A receive that fails (returns -1) at that time.
    void failReceiveAt(std::uint32_t offsetMs) { script_.push_back({offsetMs, {}, true}); }
    // From then on, every receive fails and the socket always reads as ready.
    void failForeverFrom(std::uint32_t offsetMs) { failForeverAt_ = offsetMs; }
    // The peer closes the connection: from then on it reads as ready and delivers 0.
    void closeAt(std::uint32_t offsetMs) { closeAt_ = offsetMs; }
    std::vector<Bytes> stale;
    std::uint32_t sendTakesMs = 0;
    bool sendFails = false; // the connection refuses the send (reset)

    std::vector<Bytes> sends;
    std::vector<int> sendTimeouts;
    std::uint32_t sendTime = 0;
    std::vector<int> waitTimeouts;
    std::vector<int> receiveMax;
    int receiveZero = 0, receiveFailed = 0;

    bool waitReadable(int timeoutMs) override
    {
        waitTimeouts.push_back(timeoutMs);
        guard();
        if (!stale.empty())
            return true;
        if (!sent_)
            return false;
        const std::int64_t next = nextEvent();
        const std::int64_t now = sinceSend();
        if (next >= 0 && next <= now)
            return true;
        if (next >= 0 && next <= now + timeoutMs) {
            clock_.now = sendTime + static_cast<std::uint32_t>(next);
            return true;
        }
        clock_.now += static_cast<std::uint32_t>(std::max(timeoutMs, 0));
        return false;
    }

    int receive(std::uint8_t *bytes, int maxCount) override
    {
        receiveMax.push_back(maxCount);
        guard();
        if (!stale.empty())
            return take(stale.front(), bytes, maxCount, [&] { stale.erase(stale.begin()); });
        if (!queue_.empty() && queue_.front().at <= sinceSend()) {
            if (queue_.front().fail) {
                queue_.pop_front();
                ++receiveFailed;
                return -1;
            }
            return take(queue_.front().bytes, bytes, maxCount, [&] { queue_.pop_front(); });
        }
        if (failForeverAt_ >= 0 && failForeverAt_ <= sinceSend()) {
            ++receiveFailed;
            return -1;
        }
        if (closeAt_ >= 0 && closeAt_ <= sinceSend()) {
            ++receiveZero;
            return 0;
        }
        ADD_FAILURE() << "receive called with nothing there: it would block";
        return -1;
    }

    Send send(const std::uint8_t *bytes, int count, int timeoutMs) override
    {
        sends.emplace_back(bytes, bytes + count);
        sendTimeouts.push_back(timeoutMs);
        log_.add("send");
        sendTime = clock_.now;
        Send result = Send::Done;
        if (sendFails)
            result = Send::Failed;
        else if (sendTakesMs > static_cast<std::uint32_t>(std::max(timeoutMs, 0)))
            result = Send::TimedOut;
        clock_.now += result == Send::TimedOut ? static_cast<std::uint32_t>(timeoutMs) : sendTakesMs;
        sent_ = true;
        queue_.clear();
        for (const auto &s : script_)
            queue_.push_back({static_cast<std::int64_t>(s.offset), s.bytes, s.fail});
        script_.clear(); // a script serves one exchange
        std::stable_sort(queue_.begin(), queue_.end(), [](const Item &a, const Item &b) { return a.at < b.at; });
        return result;
    }

private:
    struct Scripted {
        std::uint32_t offset;
        Bytes bytes;
        bool fail;
    };
    struct Item {
        std::int64_t at;
        Bytes bytes;
        bool fail;
    };

    std::int64_t sinceSend() const { return static_cast<std::int64_t>(clock_.now - sendTime); }
    std::int64_t nextEvent() const
    {
        std::int64_t next = -1;
        auto consider = [&](std::int64_t t) {
            if (t >= 0 && (next < 0 || t < next))
                next = t;
        };
        if (!queue_.empty())
            consider(queue_.front().at);
        consider(failForeverAt_);
        consider(closeAt_);
        return next;
    }
    template <typename Pop> int take(Bytes &chunk, std::uint8_t *out, int maxCount, Pop pop)
    {
        const int n = std::min<int>(maxCount, static_cast<int>(chunk.size()));
        std::copy(chunk.begin(), chunk.begin() + n, out);
        if (n == static_cast<int>(chunk.size()))
            pop();
        else
            chunk.erase(chunk.begin(), chunk.begin() + n);
        return n;
    }
    // A loop that asks again and again without time passing is a spin: fail the test and
    // push the clock far ahead so the exchange ends.
    void guard()
    {
        if (clock_.now != lastSeen_) {
            lastSeen_ = clock_.now;
            callsAtThisTime_ = 0;
            return;
        }
        if (++callsAtThisTime_ > 10'000) {
            ADD_FAILURE() << "the network wait spins without time passing";
            clock_.now += 100'000'000;
        }
    }

    FakeClock &clock_;
    EventLog &log_;
    std::vector<Scripted> script_;
    std::deque<Item> queue_;
    std::int64_t failForeverAt_ = -1;
    std::int64_t closeAt_ = -1;
    bool sent_ = false;
    std::uint32_t lastSeen_ = 0;
    int callsAtThisTime_ = 0;
};

// Hands out the fakes prepared by the test and records what it was asked to open.
class FakeOpener : public relvix::LinkOpener {
public:
    explicit FakeOpener(EventLog &log) : log_(log) {}
    std::unique_ptr<relvix::SerialIo> openSerial(const QString &portName, const QString &serialMode) override
    {
        log_.add("openSerial:" + portName.toStdString() + "|" + serialMode.toStdString());
        return std::move(nextSerial);
    }
    std::unique_ptr<relvix::NetIo> openNetwork(const QString &peerAddress, const QString &peerPort) override
    {
        log_.add("openNetwork:" + peerAddress.toStdString() + "|" + peerPort.toStdString());
        return std::move(nextNet);
    }
    std::unique_ptr<relvix::SerialIo> nextSerial;
    std::unique_ptr<relvix::NetIo> nextNet;

private:
    EventLog &log_;
};

} // namespace linktest
