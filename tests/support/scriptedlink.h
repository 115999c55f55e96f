#pragma once
// A link that answers each request with a scripted reply and a clock that only moves when
// the link waits, so window operations run their time-outs without real waiting.
#include "link/linkio.h"

#include <QByteArray>
#include <QList>
#include <deque>
#include <memory>

namespace relvix::testing {

class ManualClock : public Clock {
public:
    std::uint32_t nowMs() override { return now; }
    std::uint32_t now = 1000;
};

class ScriptedLinkOpener : public LinkOpener {
public:
    explicit ScriptedLinkOpener(ManualClock &clock) : clock_(clock) {}

    // One entry per request, in order; an empty entry is silence. Requests beyond the
    // script are not answered.
    std::deque<QByteArray> replies;
    QList<QByteArray> sent;
    bool failOpen = false;
    int opens = 0;

    std::unique_ptr<SerialIo> openSerial(const QString &, const QString &) override;
    std::unique_ptr<NetIo> openNetwork(const QString &, const QString &) override;

private:
    friend class ScriptedSerial;
    friend class ScriptedNet;
    QByteArray takeReply();
    ManualClock &clock_;
};

// Appends the MODBUS CRC (low byte first) to a frame given as hex text ("01 03 02 00 05").
QByteArray frameWithCrc(const char *hex);
QByteArray bytesFromHex(const char *hex);

} // namespace relvix::testing
