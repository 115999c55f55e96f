#include "shell/tone.h"

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
    // Beside the program in the build tree; in the private library folder once installed.
    // QLibrary adds the platform's suffix (.so, .dll).
    const QString programDir = QCoreApplication::applicationDirPath();
    return loadAudioTonePlayer({programDir + QStringLiteral("/relvix-audio"),
                                programDir + QStringLiteral("/" RELVIX_AUDIO_MODULE_FROM_BINDIR "/relvix-audio")});
}

} // namespace relvix
