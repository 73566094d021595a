#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// The sound server's microphones (capture sources), read from PulseAudio itself over a
// short-lived connection that never starts a server and gives up after two seconds.
// A device's id is its PulseAudio source name, which stays the same across restarts.
// Monitors of outputs are not microphones and are left out.
// Every failure (no server, no devices) ends in an empty list or an empty optional.
class AudioInputs {
public:
    struct Input {
        std::string id;
        std::string name;
        // The source's own format; a capture opens the device in it.
        int sampleRate = 0;
        int channels = 0;
    };

    AudioInputs() = delete;

    // Every input, in the order the sound server lists them.
    static std::vector<Input> list();

    // The sound server's default input, else the first input.
    static std::optional<Input> defaultInput();

    // The input with exactly this id; the default input when the id is missing, unknown
    // or stale (an unplugged device); empty when there is no input at all.
    static std::optional<Input> choose(const std::optional<std::string>& id);
};

}  // namespace platform
