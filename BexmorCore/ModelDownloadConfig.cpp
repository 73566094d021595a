#include "BexmorCore/ModelDownloadConfig.h"

#include <utility>

namespace bexmor {

ModelDownloadConfig::ModelDownloadConfig(std::optional<std::string> downloadBase, std::string modelRepo,
                                         std::optional<std::string> modelToken, std::optional<std::string> modelFolder,
                                         bool useBackgroundSession, std::string endpoint, std::string revision)
    : downloadBase(std::move(downloadBase)),
      modelRepo(std::move(modelRepo)),
      modelToken(std::move(modelToken)),
      modelFolder(std::move(modelFolder)),
      useBackgroundSession(useBackgroundSession),
      endpoint(std::move(endpoint)),
      revision(std::move(revision)) {}

}  // namespace bexmor
