#pragma once

#include <QAudioDevice>

#include <optional>
#include <string>
#include <vector>

namespace platform {

// The sound server's microphones (capture sources), as Qt Multimedia lists them.
// A device's id is its PulseAudio source name, which stays the same across restarts.
// Every failure (no server, no devices) ends in an empty list or an empty optional.
class AudioInputs {
public:
    struct Input {
        std::string id;
        std::string name;
        QAudioDevice device;
    };

    AudioInputs() = delete;

    // Every input, in the order the sound server lists them.
    static std::vector<Input> list();

    // The sound server's default input. Qt 6.4 marks no device as the default and then
    // answers with whichever device it happened to list first, so the default is asked
    // of the server itself; Qt's answer is only the fallback.
    static std::optional<Input> defaultInput();

    // The input with exactly this id; the default input when the id is missing, unknown
    // or stale (an unplugged device); empty when there is no input at all. Only inputs
    // that the server still has are chosen.
    static std::optional<Input> choose(const std::optional<std::string>& id);

    // What the sound server itself says, read over a short-lived connection: its
    // default source and every source it has right now. Qt's device list follows the
    // server with a delay, and Qt 6.4 waits forever for a stream on a source that is
    // already gone, so a device is checked here just before it is opened.
    struct ServerSources {
        std::string defaultSource;
        std::vector<std::string> sources;
        bool has(const std::string& name) const;
    };
    // Empty when no server answers within about two seconds.
    static std::optional<ServerSources> serverSources();
};

}  // namespace platform
