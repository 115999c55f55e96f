#pragma once
// What the subcommands share: the search for a reader with its tries, consent, the state a
// stop signal left the reader in, and the texts and JSON of identities, cards and I/O.
#include "cli/session.h"

#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <optional>

namespace relvix::cli {

constexpr int kRetryPauseMs = 100;

QString serialText(const Identity &id);

QString versionText(const Identity &id);

QString blockHex(const DataBlock &block);

bool allZero(const DataBlock &block);

bool linkLost(const Session &session);

// What a stop without a result returns: 128 + the signal (130 for Ctrl+C), 5 for output that
// failed.
int stopped();

int refuseWithoutConsent(const Options &options, const QString &question, const QString &what);

// Reads the address register at `address`, with --retries more tries 100 ms apart. Silence
// (a gateway's "no reader behind it" too) is tried again; anything else heard is an answer
// of its own: no more tries. `tries` says how many were made.
std::optional<std::uint8_t> findReader(Session &session, std::uint16_t address, int *tries = nullptr);

QString triesText(int tries);

// Why findReader found nothing, before its outcome: an exception is an answer, not silence.
QString notFound(Session &session, int tries);

// A write that a busy reader refused (exception 06) is not tried again: it may be half
// done for all the tool knows.
bool refusedBusy(const ExchangeResult &r);

// A stop signal cuts a writing command short, but the reader's state is still said. The
// read-back after the signal is one try with at most this time-out.
constexpr int kReadBackAfterStopMs = 500;

// Runs the read-back of a write: as usual, or after a stop signal once with a short time-out.
template <typename Read> auto readBack(Session &session, Read read)
{
    if (!interrupted())
        return read();
    const ReaderLink::TimeoutScope shortTimeout(session.link(),
                                                std::min(session.options().timeoutMs, kReadBackAfterStopMs));
    return read();
}

// What a stop signal left the reader in: line ("address 1 -> 7: written, not verified:
// interrupted") on standard output, or with --json as the error object with the fields;
// returns 128 + the signal.
int saidAtStop(const Options &o, const QString &line, QJsonObject fields);

enum class Left { NotWritten, Written, Verified };

int leftAtStop(const Options &o, const QString &what, Left left, QJsonObject fields = {});

QJsonObject identityJson(int address, const std::optional<Identity> &id);

QString uidText(const Options &o, const DataBlock &block, int format);

QJsonObject cardJson(const Options &o, const DataBlock &block);

// "uid 0305419896" for a read ("card ..." for a watch event), or one line per format.
QStringList cardLines(const Options &o, const DataBlock &block, const QString &word = QStringLiteral("uid"));

QJsonObject keysJson(const Options &o, const DataBlock &block);

QJsonObject ioJson(const IoState &io);

void printIo(const Options &o, const IoState &io);

QString at(const Options &o);

} // namespace relvix::cli
