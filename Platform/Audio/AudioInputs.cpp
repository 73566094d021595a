#include "Platform/Audio/AudioInputs.h"

#include <QMediaDevices>

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace platform {

namespace {

AudioInputs::Input toInput(const QAudioDevice& device) {
    return {device.id().toStdString(), device.description().toStdString(), device};
}

struct MainloopDeleter {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextDeleter {
    void operator()(pa_context* context) const {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};

struct ServerQuery {
    bool serverInfoDone = false;
    bool sourcesDone = false;
    AudioInputs::ServerSources result;
};

}  // namespace

std::vector<AudioInputs::Input> AudioInputs::list() {
    std::vector<Input> inputs;
    for (const QAudioDevice& device : QMediaDevices::audioInputs()) {
        if (device.isNull() || device.id().isEmpty()) continue;
        inputs.push_back(toInput(device));
    }
    return inputs;
}

bool AudioInputs::ServerSources::has(const std::string& name) const {
    return std::find(sources.begin(), sources.end(), name) != sources.end();
}

std::optional<AudioInputs::ServerSources> AudioInputs::serverSources() {
    std::unique_ptr<pa_mainloop, MainloopDeleter> loop(pa_mainloop_new());
    if (!loop) return std::nullopt;
    std::unique_ptr<pa_context, ContextDeleter> context(pa_context_new(pa_mainloop_get_api(loop.get()), "korvu-darivir"));
    if (!context) return std::nullopt;
    // Never start a server of our own just to ask it about its sources.
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return std::nullopt;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    auto iterate = [&] {
        if (std::chrono::steady_clock::now() > deadline) return false;
        // Each wait is bounded, so a server that stops answering cannot hang the caller.
        if (pa_mainloop_prepare(loop.get(), 100'000) < 0) return false;
        if (pa_mainloop_poll(loop.get()) < 0) return false;
        return pa_mainloop_dispatch(loop.get()) >= 0;
    };

    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context.get());
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state) || !iterate()) return std::nullopt;
    }

    ServerQuery query;
    pa_operation* serverInfo = pa_context_get_server_info(
        context.get(),
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* q = static_cast<ServerQuery*>(userdata);
            if (info && info->default_source_name) q->result.defaultSource = info->default_source_name;
            q->serverInfoDone = true;
        },
        &query);
    pa_operation* sourceList = pa_context_get_source_info_list(
        context.get(),
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
            auto* q = static_cast<ServerQuery*>(userdata);
            if (eol != 0) q->sourcesDone = true;  // end of list, or an error
            else if (info && info->name) q->result.sources.emplace_back(info->name);
        },
        &query);
    bool complete = serverInfo && sourceList;
    while (complete && !(query.serverInfoDone && query.sourcesDone)) {
        if (!iterate()) complete = false;
    }
    // Queries given up on are cancelled before their callbacks' data goes out of scope.
    for (pa_operation* operation : {serverInfo, sourceList}) {
        if (!operation) continue;
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    if (!complete) return std::nullopt;
    return std::move(query.result);
}

namespace {

// The inputs the server still has (all of Qt's when the server cannot be asked), and
// among them the server's default, else Qt's default, else the first.
std::optional<AudioInputs::Input> pick(const std::vector<AudioInputs::Input>& listed, const std::optional<std::string>& id) {
    const auto server = AudioInputs::serverSources();
    std::vector<AudioInputs::Input> inputs;
    for (const auto& input : listed)
        if (!server || server->has(input.id)) inputs.push_back(input);
    if (inputs.empty()) return std::nullopt;
    if (id) {
        for (const auto& input : inputs)
            if (input.id == *id) return input;
    }
    if (server) {
        for (const auto& input : inputs)
            if (input.id == server->defaultSource) return input;
    }
    const QAudioDevice fallback = QMediaDevices::defaultAudioInput();
    for (const auto& input : inputs)
        if (input.device == fallback) return input;
    return inputs.front();
}

}  // namespace

std::optional<AudioInputs::Input> AudioInputs::defaultInput() { return pick(list(), std::nullopt); }

std::optional<AudioInputs::Input> AudioInputs::choose(const std::optional<std::string>& id) { return pick(list(), id); }

}  // namespace platform
