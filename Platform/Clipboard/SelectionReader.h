#pragma once

#include "Platform/Clipboard/ClipboardSnapshot.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace platform {

// Reads the X CLIPBOARD selection of another program on a thread of its own, over an X
// connection of its own. Reading a foreign owner means asking that program and waiting for
// its answer; a program that hangs would otherwise freeze the main thread (Qt waits up to
// 5 s per format). The main thread only hands the request over and gets the result later.
//
// Each read takes what the owner offers (TARGETS), then every format in the owner's order,
// large ones through the incremental transfer, until the budget runs out: formats not read
// by then are left out (and logged). Formats are named as Qt names them (the X text types
// as "text/plain", in UTF-8), without the selection protocol's own targets. A format that
// the owner answered with no data stays in the result, empty.
class SelectionReader {
public:
    using Done = std::function<void(ClipboardSnapshot)>;

    // The display of $DISPLAY; a reader without one reads nothing.
    SelectionReader();
    ~SelectionReader();  // waits for the read that runs, drops the queued ones

    SelectionReader(const SelectionReader&) = delete;
    SelectionReader& operator=(const SelectionReader&) = delete;

    // Queues one read; `done` runs on the reader's thread with what was read.
    void read(std::chrono::milliseconds budget, Done done);

private:
    struct Job {
        std::chrono::milliseconds budget;
        Done done;
    };

    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace platform
