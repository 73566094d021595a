// A dictation application is often closed right after a recording. The sound server is
// still sending news about the recording that just ended (the microphone falls idle)
// while the process tears itself down; any connection to it that is closed in the wrong
// order or on the wrong thread then aborts or crashes the process at exit, after all
// the user's work seemed done. That only shows in a process that really exits, so the
// case runs child processes of this same program (see main.cpp), many times over,
// because each exit hits the moment of danger only now and then.
#include <atomic>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "AudioFeed.h"

namespace {

struct ProbeRun {
    int status = 0;
    std::string output;
};

ProbeRun runProbe(const std::string& command) {
    ProbeRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        run.status = -1;
        return run;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) run.output += buffer;
    run.status = ::pclose(pipe);
    return run;
}

}  // namespace

TEST(RecorderQuit, AnApplicationThatQuitsRightAfterRecordingExitsCleanly) {
    ASSERT_FALSE(recordertest::sessionFifo().empty()) << "run inside scripts/with-test-session.sh";
    // A child that hangs instead of exiting is a fault as well; the guard time is generous
    // and only a broken teardown reaches it.
    const std::string command =
        "timeout -s KILL 20 /proc/" + std::to_string(::getpid()) + "/exe --record-and-quit-probe 2>&1";
    // Before the teardown was put in order, about one exit in fifty aborted; 240 exits
    // (four at a time, which also varies the timing) find that with near certainty.
    constexpr int kWorkers = 4;
    constexpr int kRunsPerWorker = 60;
    std::vector<std::vector<ProbeRun>> failures(kWorkers);
    std::vector<int> completed(kWorkers, 0);
    std::atomic<bool> stopped{false};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            // One fault is enough; the others stop at once instead of running on.
            for (int i = 0; i < kRunsPerWorker && !stopped.load(); ++i) {
                ProbeRun run = runProbe(command);
                const bool clean = run.status != -1 && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0 &&
                                   run.output.find("recorded") != std::string::npos;
                if (!clean) {
                    failures[w].push_back(std::move(run));
                    stopped.store(true);
                }
                ++completed[w];
            }
        });
    }
    for (auto& worker : workers) worker.join();

    int runs = 0;
    std::vector<ProbeRun> failed;
    for (int w = 0; w < kWorkers; ++w) {
        runs += completed[w];
        failed.insert(failed.end(), failures[w].begin(), failures[w].end());
    }
    ASSERT_TRUE(failed.empty()) << failed.size() << " of " << runs << " exits failed; the first: "
                                << "exit status " << WEXITSTATUS(failed.front().status)
                                << " (134: aborted, 139: crashed, 137: hung and killed)"
                                << "\n" << failed.front().output;
    EXPECT_EQ(runs, kWorkers * kRunsPerWorker);
}
