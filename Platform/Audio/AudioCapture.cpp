#include "Platform/Audio/AudioCapture.h"

#include <pulse/pulseaudio.h>

#include <cstring>
#include <optional>
#include <vector>

namespace platform {

namespace {

// How long opening may take before the capture gives up: a server that accepted the
// connection but stopped answering must not hang the caller.
constexpr pa_usec_t kOpenTimeout = 5 * PA_USEC_PER_SEC;

std::string openError(const AudioInputs::Input& device, int code) {
    if (code == PA_ERR_NOENTITY) return "Das Mikrofon ist nicht mehr verfügbar.";
    return "Das Mikrofon „" + device.name + "“ konnte nicht geöffnet werden (Audiofehler " + std::to_string(code) + ").";
}

}  // namespace

// One capture's connection, stream and event-loop thread. Every member but `loop` is
// touched only with the loop's lock held (the loop's own thread holds it while it runs
// callbacks). Teardown happens in stop(), under the lock and in order: the stream ends,
// the connection is closed, and only then is the thread stopped; so no callback of the
// sound server can run into a half-closed connection, at a recorder's end or at the
// process's.
struct AudioCapture::Session {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_time_event* openTimer = nullptr;
    std::atomic<bool>* running = nullptr;

    int channels = 1;
    std::size_t framesPerBlock = 0;
    BlockHandler onBlock;
    FinishHandler onFinish;
    std::vector<float> block;
    std::vector<char> pending;  // bytes of a frame split between two reads

    bool timedOut = false;
    bool finished = false;

    ~Session() {
        if (loop) {
            pa_threaded_mainloop_lock(loop);
            if (openTimer) pa_threaded_mainloop_get_api(loop)->time_free(openTimer);
            if (stream) {
                pa_stream_set_state_callback(stream, nullptr, nullptr);
                pa_stream_set_read_callback(stream, nullptr, nullptr);
                pa_stream_disconnect(stream);
                pa_stream_unref(stream);
            }
            if (context) {
                pa_context_set_state_callback(context, nullptr, nullptr);
                pa_context_disconnect(context);
                pa_context_unref(context);
            }
            pa_threaded_mainloop_unlock(loop);
            pa_threaded_mainloop_stop(loop);
            pa_threaded_mainloop_free(loop);
        }
    }

    // Loop thread, lock held.
    void consume(const float* samples, std::size_t count) {
        for (std::size_t f = 0; f + channels <= count; f += channels) {
            float sum = 0.0f;
            for (int c = 0; c < channels; ++c) sum += samples[f + c];
            block.push_back(sum / static_cast<float>(channels));
            if (block.size() == framesPerBlock) {
                onBlock(block);
                block.clear();
            }
        }
    }

    // Loop thread, lock held.
    void read() {
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (!finished && pa_stream_readable_size(stream) > 0) {
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
            // A hole (no data) is not audio; it is dropped like the data.
            if (data) {
                const char* in = static_cast<const char*>(data);
                pending.insert(pending.end(), in, in + bytes);
                const std::size_t frameBytes = sizeof(float) * static_cast<std::size_t>(channels);
                const std::size_t whole = pending.size() / frameBytes * frameBytes;
                std::vector<float> samples(whole / sizeof(float));
                std::memcpy(samples.data(), pending.data(), whole);
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(whole));
                consume(samples.data(), samples.size());
            }
            pa_stream_drop(stream);
        }
    }

    // Loop thread, lock held. Hands over what is left, then ends the stream.
    void finish() {
        if (finished) return;
        finished = true;
        if (!block.empty()) onBlock(block);
        block.clear();
        if (onFinish) onFinish();
        if (stream) {
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
        }
        running->store(false);
        pa_threaded_mainloop_signal(loop, 0);
    }
};

AudioCapture::AudioCapture() = default;

AudioCapture::~AudioCapture() { stop(); }

void AudioCapture::start(const AudioInputs::Input& device, std::size_t framesPerBlock, BlockHandler onBlock,
                         FinishHandler onFinish) {
    if (session_) throw AudioCaptureError("Die Aufnahme läuft bereits.");
    pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(device.sampleRate),
                        static_cast<uint8_t>(device.channels)};
    if (device.sampleRate <= 0 || device.channels <= 0 || device.channels > static_cast<int>(PA_CHANNELS_MAX) ||
        !pa_sample_spec_valid(&spec) || framesPerBlock == 0)
        throw AudioCaptureError("Das Mikrofon liefert kein lesbares Format.");

    auto session = std::make_unique<Session>();
    Session* s = session.get();
    s->running = &running_;
    s->channels = device.channels;
    s->framesPerBlock = framesPerBlock;
    s->block.reserve(framesPerBlock);
    s->onBlock = std::move(onBlock);
    s->onFinish = std::move(onFinish);

    s->loop = pa_threaded_mainloop_new();
    if (!s->loop) throw AudioCaptureError(openError(device, PA_ERR_INTERNAL));
    pa_threaded_mainloop_set_name(s->loop, "AudioCapture");
    s->context = pa_context_new(pa_threaded_mainloop_get_api(s->loop), "korvu-darivir");
    if (!s->context) throw AudioCaptureError(openError(device, PA_ERR_INTERNAL));

    // Wakes start() at every change of the connection or the stream.
    auto wake = [](auto*, void* userdata) { pa_threaded_mainloop_signal(static_cast<Session*>(userdata)->loop, 0); };
    pa_context_set_state_callback(s->context, wake, s);
    if (pa_context_connect(s->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        throw AudioCaptureError(openError(device, pa_context_errno(s->context)));
    if (pa_threaded_mainloop_start(s->loop) < 0) throw AudioCaptureError(openError(device, PA_ERR_INTERNAL));

    pa_threaded_mainloop_lock(s->loop);
    // Unlocks on every way out of start(), before the session is torn down.
    struct Unlock {
        explicit Unlock(pa_threaded_mainloop* l) : loop(l) {}
        pa_threaded_mainloop* loop;
        ~Unlock() { pa_threaded_mainloop_unlock(loop); }
    };
    std::optional<Unlock> unlock(std::in_place, s->loop);
    s->openTimer = pa_context_rttime_new(
        s->context, pa_rtclock_now() + kOpenTimeout,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
            auto* session = static_cast<Session*>(userdata);
            session->timedOut = true;
            pa_threaded_mainloop_signal(session->loop, 0);
        },
        s);
    auto fail = [&](int code) {
        const std::string message = openError(device, code);
        unlock.reset();
        session.reset();  // closes the connection and ends the thread
        throw AudioCaptureError(message);
    };

    for (;;) {
        const pa_context_state_t state = pa_context_get_state(s->context);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state)) fail(pa_context_errno(s->context));
        if (s->timedOut) fail(PA_ERR_TIMEOUT);
        pa_threaded_mainloop_wait(s->loop);
    }

    s->stream = pa_stream_new(s->context, "Diktat", &spec, nullptr);
    if (!s->stream) fail(pa_context_errno(s->context));
    pa_stream_set_state_callback(s->stream, wake, s);
    // Fragments of about 20 ms keep the level display lively without waking too often.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(20 * PA_USEC_PER_MSEC, &spec));
    // A stream that the server would move to another microphone when its own goes away
    // would record the wrong person; it ends instead (PA_STREAM_DONT_MOVE).
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(s->stream, device.id.c_str(), &attr, flags) < 0) fail(pa_context_errno(s->context));
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(s->stream);
        if (state == PA_STREAM_READY) break;
        if (!PA_STREAM_IS_GOOD(state)) fail(pa_context_errno(s->context));
        if (s->timedOut) fail(PA_ERR_TIMEOUT);
        pa_threaded_mainloop_wait(s->loop);
    }
    pa_threaded_mainloop_get_api(s->loop)->time_free(s->openTimer);
    s->openTimer = nullptr;

    // From here on the loop thread does the work: data is read as it arrives, and the
    // stream or connection failing (device unplugged, server gone) ends the capture.
    pa_stream_set_read_callback(
        s->stream, [](pa_stream*, std::size_t, void* userdata) { static_cast<Session*>(userdata)->read(); }, s);
    pa_stream_set_state_callback(
        s->stream,
        [](pa_stream* stream, void* userdata) {
            if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) static_cast<Session*>(userdata)->finish();
        },
        s);
    pa_context_set_state_callback(
        s->context,
        [](pa_context* context, void* userdata) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) static_cast<Session*>(userdata)->finish();
        },
        s);
    running_.store(true);
    unlock.reset();
    session_ = std::move(session);
}

void AudioCapture::stop() {
    if (!session_) return;
    Session* s = session_.get();
    pa_threaded_mainloop_lock(s->loop);
    if (!s->finished) {
        // The last block and the finish handler run on the capture thread, like every
        // other block; this thread waits for them.
        pa_mainloop_api_once(
            pa_threaded_mainloop_get_api(s->loop), [](pa_mainloop_api*, void* userdata) {
                auto* session = static_cast<Session*>(userdata);
                if (session->stream) session->read();  // what already arrived belongs to the recording
                session->finish();
            },
            s);
        while (!s->finished) pa_threaded_mainloop_wait(s->loop);
    }
    pa_threaded_mainloop_unlock(s->loop);
    session_.reset();
    running_.store(false);
}

}  // namespace platform
