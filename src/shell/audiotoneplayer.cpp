// The audio module (relvix-audio.so): the tone player on Qt Multimedia, loaded by the program
// on its first tone so that Multimedia and the two dozen libraries it brings (PulseAudio,
// the sound file codecs) are not loaded at every start.
#include "shell/tone.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>
#include <QtMath>

namespace relvix {
namespace {

// Plays a sine tone through the default output without blocking: the sink pulls the
// samples from a buffer while the window goes on.
class AudioTonePlayer : public TonePlayer {
public:
    explicit AudioTonePlayer(const QAudioDevice &device) : device_(device)
    {
        format_.setSampleRate(22050);
        format_.setChannelCount(1);
        format_.setSampleFormat(QAudioFormat::Int16);
        if (!device_.isFormatSupported(format_))
            format_ = device_.preferredFormat();
    }

    void play(int frequencyHz, int durationMs) override
    {
        if (sink_)
            sink_->stop();
        const int rate = format_.sampleRate() > 0 ? format_.sampleRate() : 22050;
        const int channels = qMax(1, format_.channelCount());
        const int frames = rate * durationMs / 1000;
        const int bytesPerSample = format_.bytesPerSample();
        samples_.resize(qsizetype(frames) * channels * bytesPerSample);
        char *out = samples_.data();
        for (int i = 0; i < frames; ++i) {
            const double v = 0.4 * qSin(2.0 * M_PI * frequencyHz * i / rate);
            for (int c = 0; c < channels; ++c) {
                switch (format_.sampleFormat()) {
                case QAudioFormat::UInt8:
                    *reinterpret_cast<quint8 *>(out) = quint8(128 + v * 127);
                    break;
                case QAudioFormat::Int16:
                    *reinterpret_cast<qint16 *>(out) = qint16(v * 32767);
                    break;
                case QAudioFormat::Int32:
                    *reinterpret_cast<qint32 *>(out) = qint32(v * 2147483647.0);
                    break;
                case QAudioFormat::Float:
                    *reinterpret_cast<float *>(out) = float(v);
                    break;
                default:
                    break;
                }
                out += bytesPerSample;
            }
        }
        buffer_.close();
        buffer_.setData(samples_);
        buffer_.open(QIODevice::ReadOnly);
        sink_ = std::make_unique<QAudioSink>(device_, format_);
        sink_->start(&buffer_);
    }

private:
    QAudioDevice device_;
    QAudioFormat format_;
    QByteArray samples_;
    QBuffer buffer_;
    std::unique_ptr<QAudioSink> sink_;
};

} // namespace
} // namespace relvix

// A new player on the default output, or null where there is no output.
extern "C" Q_DECL_EXPORT relvix::TonePlayer *relvix_audio_tone_player()
{
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull())
        return nullptr;
    return new relvix::AudioTonePlayer(device);
}
