#pragma once

#include "Platform/Input/RunningApplications.h"

#include <map>

namespace fakes {

// Running applications by hand: the processes in `applications`, the frontmost by pid.
class FakeRunningApplications final : public platform::RunningApplications {
public:
    std::map<std::int64_t, platform::RunningApplication> applications;
    std::optional<std::int64_t> frontmostPid;

    // Adds an application and returns its pid.
    std::int64_t add(std::int64_t pid, const QString& appId, const QString& name)
    {
        applications[pid] = {pid, appId, name};
        return pid;
    }

    std::optional<platform::RunningApplication> application(std::int64_t pid) override
    {
        const auto found = applications.find(pid);
        if (found == applications.end()) return std::nullopt;
        return found->second;
    }

    std::optional<platform::RunningApplication> frontmost() override
    {
        return frontmostPid ? application(*frontmostPid) : std::nullopt;
    }
};

}  // namespace fakes
