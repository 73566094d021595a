// Quitting while the speech model is being built or a transcription runs: engine work that
// ran on into the process's teardown would meet destroyed globals (the thread runtime, the
// logger, the settings) and crash after everything seemed done. That only shows in a
// process that really exits, so the case runs child processes of this same program (see
// main.cpp), several times each, since each exit hits the moment of danger only now and then.
#include "TranscriberTestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace transcribertest {
namespace {

struct ProbeRun {
    int status = -1;
    std::string output;
};

ProbeRun runProbe(const std::string& phase)
{
    const std::string command = "timeout -s KILL 120 /proc/" + std::to_string(::getpid()) + "/exe --quit-probe " +
                                phase + " '" + tinyVariant().string() + "' 2>&1";
    ProbeRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
    run.status = ::pclose(pipe);
    return run;
}

TEST(TranscriberQuit, QuittingWhileTheModelLoadsOrATranscriptionRunsEndsCleanly)
{
    for (const char* phase : {"load", "transcribe"}) {
        for (int i = 0; i < 6; ++i) {
            const ProbeRun run = runProbe(phase);
            ASSERT_TRUE(run.status != -1 && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0
                        && run.output.find("quit") != std::string::npos)
                << phase << ", run " << i << ": exit status " << WEXITSTATUS(run.status)
                << " (134: aborted, 139: crashed, 137: hung and killed)\n"
                << run.output;
        }
    }
}

}  // namespace
}  // namespace transcribertest
