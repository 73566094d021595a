#pragma once

#include <deque>
#include <functional>

namespace platform {

// Runs the clipboard's take-write-restore sequences one after another. Each sequence
// spans several turns of the event loop (it waits while another program pastes or
// copies); two that overlapped would each take the other's short-lived text for the
// user's contents, and the user's clipboard would be lost. Main thread only.
class ClipboardQueue {
public:
    using Finished = std::function<void()>;
    using Job = std::function<void(Finished finished)>;

    // Starts `job` now when nothing runs, else after the jobs before it have called
    // their `finished`.
    static void enqueue(Job job);

    static bool busy();

private:
    static void runNext();

    static std::deque<Job>& jobs();
    static bool& running();
};

}  // namespace platform
