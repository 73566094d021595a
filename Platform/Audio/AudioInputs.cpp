#include "Platform/Audio/AudioInputs.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <memory>

namespace platform {

namespace {

struct MainloopDeleter {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextDeleter {
    void operator()(pa_context* context) const {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};

struct ServerState {
    std::string defaultSource;
    std::vector<AudioInputs::Input> inputs;
};

struct ServerQuery {
    bool serverInfoDone = false;
    bool sourcesDone = false;
    ServerState result;
};

// What the sound server says right now. The connection lives on this thread alone and
// is gone when this returns, so nothing of it can outlive the caller or the process.
std::optional<ServerState> askServer() {
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
            if (eol != 0) {
                q->sourcesDone = true;  // end of list, or an error
                return;
            }
            // A monitor only repeats what an output plays; it is not a microphone.
            if (!info || !info->name || info->monitor_of_sink != PA_INVALID_INDEX) return;
            if (!pa_sample_spec_valid(&info->sample_spec)) return;
            q->result.inputs.push_back({info->name, info->description ? info->description : "",
                                        static_cast<int>(info->sample_spec.rate),
                                        static_cast<int>(info->sample_spec.channels)});
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

// Among the server's inputs: the one with this id, else the server's default, else the first.
std::optional<AudioInputs::Input> pick(const std::optional<std::string>& id) {
    const auto server = askServer();
    if (!server || server->inputs.empty()) return std::nullopt;
    if (id) {
        for (const auto& input : server->inputs)
            if (input.id == *id) return input;
    }
    for (const auto& input : server->inputs)
        if (input.id == server->defaultSource) return input;
    return server->inputs.front();
}

}  // namespace

std::vector<AudioInputs::Input> AudioInputs::list() {
    auto server = askServer();
    if (!server) return {};
    return std::move(server->inputs);
}

std::optional<AudioInputs::Input> AudioInputs::defaultInput() { return pick(std::nullopt); }

std::optional<AudioInputs::Input> AudioInputs::choose(const std::optional<std::string>& id) { return pick(id); }

}  // namespace platform
