#include "Platform/Audio/AudioCapture.h"

#include "Platform/Audio/AudioInputs.h"

#include <QAudioSource>
#include <QIODevice>
#include <QMediaDevices>
#include <QTimer>

#include <vector>

namespace platform {

namespace {

// How often the capture checks that its device still exists. Qt 6.4 neither ends the
// stream nor reports an error when a PulseAudio source disappears, so the device list
// is the witness.
constexpr int kDeviceCheckMs = 250;

// The write end that QAudioSource pushes raw bytes into, on the capture thread.
class CaptureSink : public QIODevice {
public:
    CaptureSink(const QAudioFormat& format, std::size_t framesPerBlock, AudioCapture::BlockHandler onBlock)
        : format_(format), framesPerBlock_(framesPerBlock), onBlock_(std::move(onBlock)) {
        block_.reserve(framesPerBlock_);
    }

    // Hands over what is left of the current block.
    void flushPartial() {
        if (!block_.empty()) onBlock_(block_);
        block_.clear();
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }

    qint64 writeData(const char* data, qint64 length) override {
        const int frameBytes = format_.bytesPerFrame();
        const int sampleBytes = format_.bytesPerSample();
        const int channels = format_.channelCount();
        if (frameBytes <= 0 || channels <= 0) return length;
        // Qt may split a frame between two writes; keep the loose bytes for the next one.
        pending_.append(data, length);
        const qsizetype frames = pending_.size() / frameBytes;
        const char* frame = pending_.constData();
        for (qsizetype f = 0; f < frames; ++f, frame += frameBytes) {
            float sum = 0.0f;
            for (int c = 0; c < channels; ++c) sum += format_.normalizedSampleValue(frame + c * sampleBytes);
            block_.push_back(sum / static_cast<float>(channels));
            if (block_.size() == framesPerBlock_) {
                onBlock_(block_);
                block_.clear();
            }
        }
        pending_.remove(0, frames * frameBytes);
        return length;
    }

private:
    QAudioFormat format_;
    std::size_t framesPerBlock_;
    AudioCapture::BlockHandler onBlock_;
    QByteArray pending_;
    std::vector<float> block_;
};

}  // namespace

// Everything that lives on the capture thread. Created and destroyed there, except the
// context object, which only serves to run code on that thread.
struct AudioCapture::Session {
    QObject* context = nullptr;
    QAudioSource* source = nullptr;
    CaptureSink* sink = nullptr;
    QTimer* deviceCheck = nullptr;
    QByteArray deviceId;
    FinishHandler onFinish;
    bool finished = false;
    std::atomic<bool>* running = nullptr;

    // Capture thread only.
    void finish() {
        if (finished) return;
        finished = true;
        if (deviceCheck) deviceCheck->stop();
        if (source) source->stop();
        if (sink) sink->flushPartial();
        if (onFinish) onFinish();
        delete deviceCheck;
        deviceCheck = nullptr;
        delete source;
        source = nullptr;
        delete sink;
        sink = nullptr;
        running->store(false);
    }

    // Capture thread only.
    void checkDevice() {
        if (finished) return;
        bool listed = false;
        for (const QAudioDevice& device : QMediaDevices::audioInputs())
            if (device.id() == deviceId) listed = true;
        // Qt's list is only the first witness; ending a dictation by mistake would lose
        // the user's words, so the server confirms that the source is really gone.
        if (!listed) {
            const auto server = AudioInputs::serverSources();
            listed = server && server->has(deviceId.toStdString());
        }
        const bool failed = source && source->state() == QAudio::StoppedState && source->error() != QAudio::NoError;
        if (!listed || failed) finish();
    }
};

AudioCapture::AudioCapture() { thread_.setObjectName("AudioCapture"); }

AudioCapture::~AudioCapture() { stop(); }

QAudioFormat AudioCapture::captureFormat(const QAudioDevice& device) {
    QAudioFormat format = device.preferredFormat();
    if (format.sampleFormat() == QAudioFormat::Unknown) format.setSampleFormat(QAudioFormat::Int16);
    return format;
}

void AudioCapture::start(const QAudioDevice& device, std::size_t framesPerBlock, BlockHandler onBlock,
                         FinishHandler onFinish) {
    if (session_) throw AudioCaptureError("Die Aufnahme läuft bereits.");
    const QAudioFormat format = captureFormat(device);
    if (!format.isValid() || framesPerBlock == 0)
        throw AudioCaptureError("Das Mikrofon liefert kein lesbares Format.");

    // Qt 6.4 waits forever for a stream on a source that the server no longer has (its
    // own device list lags behind), so ask the server first.
    if (const auto server = AudioInputs::serverSources(); server && !server->has(device.id().toStdString()))
        throw AudioCaptureError("Das Mikrofon ist nicht mehr verfügbar.");

    auto session = std::make_unique<Session>();
    session->deviceId = device.id();
    session->onFinish = std::move(onFinish);
    session->running = &running_;
    session->context = new QObject;
    session->context->moveToThread(&thread_);
    thread_.start();

    QString error;
    Session* s = session.get();
    QMetaObject::invokeMethod(
        s->context,
        [s, &device, &format, framesPerBlock, &onBlock, &error] {
            s->sink = new CaptureSink(format, framesPerBlock, std::move(onBlock));
            s->sink->open(QIODevice::WriteOnly | QIODevice::Unbuffered);
            s->source = new QAudioSource(device, format);
            s->source->start(s->sink);
            if (s->source->error() != QAudio::NoError || s->source->state() == QAudio::StoppedState) {
                error = QStringLiteral("Das Mikrofon „%1“ konnte nicht geöffnet werden (Audiofehler %2).")
                            .arg(device.description())
                            .arg(static_cast<int>(s->source->error()));
                s->finished = true;  // nothing was captured, so there is nothing to finish
                delete s->source;
                s->source = nullptr;
                delete s->sink;
                s->sink = nullptr;
                return;
            }
            s->running->store(true);
            s->deviceCheck = new QTimer;
            s->deviceCheck->setInterval(kDeviceCheckMs);
            QObject::connect(s->deviceCheck, &QTimer::timeout, s->context, [s] { s->checkDevice(); });
            s->deviceCheck->start();
        },
        Qt::BlockingQueuedConnection);

    if (!error.isEmpty()) {
        thread_.quit();
        thread_.wait();
        delete session->context;
        throw AudioCaptureError(error.toStdString());
    }
    session_ = std::move(session);
}

void AudioCapture::stop() {
    if (!session_) return;
    Session* s = session_.get();
    QMetaObject::invokeMethod(s->context, [s] { s->finish(); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
    delete s->context;
    session_.reset();
    running_.store(false);
}

}  // namespace platform
