#pragma once
#include <QStringList>

#include <memory>

namespace relvix {

// Success and failure tones. play() never blocks the caller for the length of the tone.
class TonePlayer {
public:
    virtual ~TonePlayer() = default;
    virtual void play(int frequencyHz, int durationMs) = 0;
};

// A sine tone on the default audio output; quietly does nothing where there is none, where
// the audio module is missing, or when RELVIX_SILENT is set. Loads the audio module, so the
// window calls it on its first tone, not at start. On Windows the system's Beep plays it.
std::shared_ptr<TonePlayer> makeAudioTonePlayer();

// The player of the first of these audio modules that loads; a silent one where none loads or
// the module finds no audio output.
std::shared_ptr<TonePlayer> loadAudioTonePlayer(const QStringList &modules);

} // namespace relvix
