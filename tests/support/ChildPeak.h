#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>

namespace testsupport {

// Whether this build runs under AddressSanitizer, whose shadow memory, redzones and
// quarantine count in a process's resident memory, several times the program's own.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool underAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool underAddressSanitizer = true;
#else
inline constexpr bool underAddressSanitizer = false;
#endif
#else
inline constexpr bool underAddressSanitizer = false;
#endif

// Whether a peak of resident memory tells what the code under test kept, so that a bound
// on it can be checked; where it cannot (under AddressSanitizer, whose own use no bound
// can be told from), says so in the test's output.
inline bool peakMemoryIsMeasured()
{
    if (underAddressSanitizer)
        std::cout << "[   NOTE   ] peak-memory bound not checked: under AddressSanitizer the peak holds "
                     "the sanitizer's own memory\n";
    return !underAddressSanitizer;
}

// What a piece of work cost when it ran in a process of its own.
struct ChildRun {
    int exitCode = -1;           // -1 when the child did not exit by itself (a crash, a kill)
    std::int64_t peakBytes = 0;  // its peak resident memory
    double seconds = 0;          // the processor time it took, user and system
};

// Runs `work` in a forked child and reports its exit code (what `work` returned) and its
// peak resident memory. The child starts with the parent's resident pages, so compare with
// the peak of a child that does nothing (`runInChild([] { return 0; })`). Call it before
// any thread of the test is started: only the calling thread goes on in the child.
inline ChildRun runInChild(const std::function<int()>& work)
{
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int code = 125;
        try {
            code = work();
        } catch (...) {
            code = 126;
        }
        ::_exit(code);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::int64_t(usage.ru_maxrss) * 1024,
            seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

// What reading an untrusted file cost: `contents` written to `path`, then `read` run on it
// in a child, whose peak is given above that of a child that does nothing (the file's
// text, held here while it was written, may have grown this process).
struct FileRead {
    ChildRun run;
    std::int64_t extraPeakBytes = 0;
    std::int64_t fileBytes = 0;
};

inline FileRead readInChild(const std::filesystem::path& path, const std::function<std::string()>& contents,
                            const std::function<int()>& read)
{
    FileRead result;
    {
        const std::string text = contents();
        result.fileBytes = std::int64_t(text.size());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }
    const std::int64_t baseline = runInChild([] { return 0; }).peakBytes;
    result.run = runInChild(read);
    result.extraPeakBytes = result.run.peakBytes - baseline;
    return result;
}

}  // namespace testsupport
