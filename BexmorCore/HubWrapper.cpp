#include "BexmorCore/HubWrapper.h"

namespace bexmor {

HubApiWrapper::HubApiWrapper(std::optional<std::filesystem::path> downloadBase, std::optional<std::string> hubToken,
                             std::optional<std::string> endpoint, bool useBackgroundSession)
    : impl(std::move(downloadBase), std::move(hubToken), std::move(endpoint), useBackgroundSession, std::nullopt) {}

HubApiWrapper HubApiWrapper::shared() {
    static const HubApiWrapper instance;
    return instance;
}

std::vector<std::string> HubApiWrapper::getFilenames(const Repo& repo, const std::string& revision,
                                                     const std::vector<std::string>& globs, std::stop_token stop) const {
    return impl.getFilenames(repo, revision, globs, stop);
}

std::filesystem::path HubApiWrapper::snapshot(const Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs,
                                              const HubApi::ProgressHandler& progressHandler, std::stop_token stop) const {
    return impl.snapshot(repo, revision, globs, progressHandler, stop);
}

std::filesystem::path HubApiWrapper::localRepoLocation(const Repo& repo) const {
    return impl.downloadBase / to_string(repo.type) / repo.id;
}

}  // namespace bexmor
