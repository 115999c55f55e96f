#pragma once
#include <memory>

namespace relvix {

// Success and failure tones. play() never blocks the caller for the length of the tone.
class TonePlayer {
public:
    virtual ~TonePlayer() = default;
    virtual void play(int frequencyHz, int durationMs) = 0;
};

// A sine tone on the default audio output; quietly does nothing where there is none.
std::shared_ptr<TonePlayer> makeAudioTonePlayer();

} // namespace relvix
