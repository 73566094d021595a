#include "Platform/Clipboard/ClipboardQueue.h"

#include <memory>

namespace platform {

std::deque<ClipboardQueue::Job>& ClipboardQueue::jobs()
{
    static std::deque<Job> queue;
    return queue;
}

bool& ClipboardQueue::running()
{
    static bool flag = false;
    return flag;
}

void ClipboardQueue::enqueue(Job job)
{
    jobs().push_back(std::move(job));
    if (!running()) runNext();
}

bool ClipboardQueue::busy()
{
    return running();
}

void ClipboardQueue::runNext()
{
    if (jobs().empty()) {
        running() = false;
        return;
    }
    running() = true;
    Job job = std::move(jobs().front());
    jobs().pop_front();
    // A job that calls `finished` twice must not start two successors.
    auto done = std::make_shared<bool>(false);
    job([done] {
        if (*done) return;
        *done = true;
        runNext();
    });
}

}  // namespace platform
