// Quitting while the speech model downloads, is being built or a transcription runs: engine
// work that ran on into the process's teardown would meet destroyed globals (the thread runtime, the
// logger, the settings) and crash after everything seemed done. That only shows in a
// process that really exits, so the case runs child processes of this same program (see
// main.cpp), several times each, since each exit hits the moment of danger only now and then.
#include "TranscriberTestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace transcribertest {
namespace {

TEST(TranscriberQuit, QuittingWhileTheModelDownloadsOrLoadsOrATranscriptionRunsEndsCleanly)
{
    for (const char* phase : {"download", "load", "transcribe"}) {
        for (int i = 0; i < 6; ++i) {
            const std::string command = "timeout -s KILL 120 /proc/" + std::to_string(::getpid()) + "/exe --quit-probe " +
                                        phase + " '" + tinyVariant().string() + "' 2>&1";
            std::string output;
            FILE* pipe = ::popen(command.c_str(), "r");
            ASSERT_NE(pipe, nullptr);
            char buffer[512];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
            const int status = ::pclose(pipe);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && output.find("quit") != std::string::npos)
                << phase << ", run " << i << ": exit status " << WEXITSTATUS(status)
                << " (134: aborted, 139: crashed, 137: hung and killed)\n"
                << output;
        }
    }
}

}  // namespace
}  // namespace transcribertest
