#include "shell/tone.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#endif

#include <QCoreApplication>
#include <QLibrary>

// The build says where the installed module lies from the program's folder; a compile
// outside it (the Windows syntax check) takes the usual layout.
#ifndef RELVIX_AUDIO_MODULE_FROM_BINDIR
#define RELVIX_AUDIO_MODULE_FROM_BINDIR "../lib/relvix"
#endif

namespace relvix {
namespace {

class SilentTonePlayer : public TonePlayer {
public:
    void play(int, int) override {}
};

#ifdef _WIN32
// The system's Beep, which holds its caller for the length of the tone: a thread of its own
// plays it. A tone asked for while one plays waits for it; of several waiting, the latest is
// played, so a burst of operations never queues up seconds of sound.
class BeepTonePlayer final : public TonePlayer {
public:
    BeepTonePlayer() : worker_([this] { run(); }) {}

    ~BeepTonePlayer() override
    {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        worker_.join();
    }

    void play(int frequencyHz, int durationMs) override
    {
        if (durationMs <= 0)
            return;
        {
            const std::lock_guard lock(mutex_);
            // What Beep accepts: 37 to 32767 Hz.
            pending_ = Tone{static_cast<DWORD>(std::clamp(frequencyHz, 37, 32767)), static_cast<DWORD>(durationMs)};
        }
        wake_.notify_one();
    }

private:
    struct Tone {
        DWORD frequencyHz;
        DWORD durationMs;
    };

    void run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || pending_; });
            if (stop_)
                return;
            const Tone tone = *pending_;
            pending_.reset();
            lock.unlock();
            ::Beep(tone.frequencyHz, tone.durationMs);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Tone> pending_;
    bool stop_ = false;
    std::thread worker_; // last: started once the rest is there
};
#endif

} // namespace

std::shared_ptr<TonePlayer> loadAudioTonePlayer(const QStringList &modules)
{
    using Factory = TonePlayer *(*)();
    for (const QString &path : modules) {
        // Never unloaded: the player it makes lives to the end of the process.
        QLibrary module(path);
        if (!module.load())
            continue;
        if (auto make = reinterpret_cast<Factory>(module.resolve("relvix_audio_tone_player"))) {
            if (TonePlayer *player = make())
                return std::shared_ptr<TonePlayer>(player);
        }
        break;
    }
    return std::make_shared<SilentTonePlayer>();
}

std::shared_ptr<TonePlayer> makeAudioTonePlayer()
{
    if (!qEnvironmentVariableIsEmpty("RELVIX_SILENT"))
        return std::make_shared<SilentTonePlayer>();
#ifdef _WIN32
    return std::make_shared<BeepTonePlayer>();
#else
    // Beside the program in the build tree; in the private library folder once installed.
    // QLibrary adds the platform's suffix (.so, .dll).
    const QString programDir = QCoreApplication::applicationDirPath();
    return loadAudioTonePlayer({programDir + QStringLiteral("/relvix-audio"),
                                programDir + QStringLiteral("/" RELVIX_AUDIO_MODULE_FROM_BINDIR "/relvix-audio")});
#endif
}

} // namespace relvix
