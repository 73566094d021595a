#include "BexmorCore/External/Hub/HubApi.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <iostream>
#include <set>

#include <nlohmann/json.hpp>

#include "BexmorCore/Extensions.h"
#include "BexmorCore/External/Hub/HubPaths.h"
#include "BexmorCore/External/Hub/NetworkMonitor.h"
#include "Platform/ML/FilteredJson.h"

namespace bexmor {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

std::optional<std::string> hubTokenFromEnv() {
    for (const char* name : {"HUB_TOKEN", "MODEL_HUB_TOKEN"}) {
        auto value = environment(name);
        if (value && !value->empty()) return value;
    }
    return std::nullopt;
}

fs::path homeFolder() {
    if (auto home = environment("HOME"); home && !home->empty()) return *home;
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
        return found->pw_dir;
    }
    // No home at all (a bare service account): the working folder is the only sensible place.
    return fs::current_path();
}

std::string lastPathSegment(const std::string& url) {
    std::string path = url;
    if (auto parts = platform::parseHttpUrl(url)) path = parts->path;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    std::string segment = slash == std::string::npos ? path : path.substr(slash + 1);
    // The URL carries the segment percent-encoded; callers want the name.
    std::string decoded;
    for (size_t i = 0; i < segment.size(); ++i) {
        if (segment[i] == '%' && i + 2 < segment.size() && std::isxdigit(static_cast<unsigned char>(segment[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(segment[i + 2]))) {
            decoded += static_cast<char>(std::stoi(segment.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += segment[i];
        }
    }
    return decoded;
}

void setAuthorization(platform::HttpRequest& request, const std::optional<std::string>& token) {
    if (token && !token->empty()) request.headers.set("Authorization", "Bearer " + *token);
}

[[noreturn]] void throwForStatus(long status, const std::string& url) {
    if (status == 401 || status == 403) throw HubClientError::authorizationRequired(status);
    if (status == 404) throw HubClientError::fileNotFound(lastPathSegment(url));
    throw HubClientError::httpStatusCode(status);
}

// The target of a HEAD redirect we follow: a Location that names no host and is a path
// (with an optional query) on the server that answered.
std::optional<std::string> sameHostRedirect(const std::string& firstUrl, const std::string& location) {
    if (location.empty() || location.front() != '/' || location.starts_with("//")) return std::nullopt;
    for (const char c : location) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return std::nullopt;
    }
    auto parts = platform::parseHttpUrl(firstUrl);
    if (!parts) return std::nullopt;
    std::string rest = location.substr(0, location.find('#'));
    const auto question = rest.find('?');
    parts->path = rest.substr(0, question);
    parts->query = question == std::string::npos ? std::nullopt : std::optional<std::string>(rest.substr(question + 1));
    return platform::composeUrl(*parts);
}

// Keeps of a listing the siblings' names and nothing else, counting the entries as they
// are read: a listing of an absurd number of files is refused part-way, without building
// the whole document.
class ListingFilter : public platform::ml::JsonFilter {
public:
    explicit ListingFilter(const std::string& repoId) : repoId_(repoId) {}

    bool key(int depth, const std::string& key) override {
        if (depth == 1) return key == "siblings";
        return depth != 3 || key == "rfilename";
    }
    bool container(int depth, bool) override {
        if (depth == 2) count();
        return true;
    }
    void value(int depth, const nlohmann::json&) override {
        if (depth == 2) count();
    }

private:
    void count() {
        if (++entries_ > HubApi::kMaxListedFiles) throw ListingTooLargeError(repoId_, HubApi::kMaxListedFiles);
    }

    const std::string& repoId_;
    size_t entries_ = 0;
};

HubApi::SiblingsResponse parseListing(const std::string& body, const std::string& repoId) {
    ListingFilter filter(repoId);
    const auto json = platform::ml::parseFiltered(body, filter);  // a malformed body fails with the parser's error
    // The answer must have the listing's shape; iterating an object would read its values
    // as if they were the list.
    const auto& siblings = json.at("siblings");
    if (!siblings.is_array()) {
        throw nlohmann::json::type_error::create(302, std::string("\"siblings\" must be an array, but is ") + siblings.type_name(), &siblings);
    }
    HubApi::SiblingsResponse listing;
    listing.siblings.reserve(siblings.size());
    for (const auto& sibling : siblings) listing.siblings.push_back({sibling.at("rfilename").get<std::string>()});
    return listing;
}

}  // namespace

HubApi::HubApi(std::optional<fs::path> downloadBaseArgument, std::optional<std::string> hubTokenArgument,
               std::optional<std::string> endpointArgument, bool useBackgroundSessionArgument,
               std::optional<bool> useOfflineModeArgument) {
    hubToken = hubTokenArgument ? hubTokenArgument : hubTokenFromEnv();
    if (environment("CI_DISABLE_NETWORK_MONITOR") == std::optional<std::string>("1")) {
        std::cout << (hubToken ? "✅ got token" : "🔴 NO TOKEN **") << std::endl;
    }
    downloadBase = downloadBaseArgument ? *downloadBaseArgument : homeFolder() / "Documents" / "modelhub";
    if (endpointArgument) {
        endpoint = *endpointArgument;
    } else if (auto fromEnvironment = environment("HUB_ENDPOINT")) {
        endpoint = *fromEnvironment;
    } else {
        endpoint = kDefaultEndpoint;
    }
    useBackgroundSession = useBackgroundSessionArgument;
    useOfflineMode = useOfflineModeArgument;
    NetworkMonitor::shared().startMonitoring();
}

std::string HubApi::buildUrl(const std::string& endpoint, const std::vector<std::pair<std::string, bool>>& pieces) {
    auto parts = platform::parseHttpUrl(endpoint);
    if (!parts) throw HubClientError::parseError("Invalid hub endpoint: " + endpoint);
    std::string path = parts->path;
    while (!path.empty() && path.back() == '/') path.pop_back();
    for (const auto& [piece, keepSlash] : pieces) path += "/" + platform::percentEncodePath(piece, keepSlash);
    parts->path = path;
    return platform::composeUrl(*parts);
}

platform::HttpResponse HubApi::httpGet(const std::string& url, std::stop_token stop) const {
    try {
        platform::HttpRequest request;
        request.url = url;
        request.idleTimeoutSeconds = 60;
        request.minimumPace = minimumPace;
        request.followRedirects = true;
        setAuthorization(request, hubToken);
        auto response = platform::send(request, stop);
        if (response.status >= 200 && response.status <= 299) return response;
        throwForStatus(response.status, url);
    } catch (const HubClientError&) {
        throw;
    } catch (const UrlError& error) {
        throw HubClientError::downloadError(error);
    } catch (const std::exception& error) {
        throw HubClientError::downloadError(error.what());
    }
}

platform::HttpResponse HubApi::httpHead(const std::string& url, std::stop_token stop) const {
    platform::HttpRequest first;
    first.url = url;
    first.method = "HEAD";
    first.idleTimeoutSeconds = 60;
    first.minimumPace = minimumPace;
    setAuthorization(first, hubToken);
    first.headers.set("Accept-Encoding", "identity");

    // Redirects are ours to judge: only a same-server path is followed, at most ten times.
    constexpr int kMaxRedirects = 10;
    platform::HttpRequest request = first;
    platform::HttpResponse response;
    for (int redirects = 0;; ++redirects) {
        response = platform::send(request, stop);
        if (response.status < 300 || response.status > 399) break;
        const auto location = response.headers.value("Location");
        const auto target = location ? sameHostRedirect(first.url, *location) : std::nullopt;
        if (!target) break;
        if (redirects == kMaxRedirects) throw UrlError(UrlError::Code::tooManyRedirects, "more than 10 redirects for " + url);
        request = first;
        request.url = *target;
        request.headers.set("Location", *target);
    }
    if (response.status >= 200 && response.status <= 399) return response;
    throwForStatus(response.status, url);
}

std::vector<std::string> HubApi::getFilenames(const Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs, std::stop_token stop) const {
    if (!hubpaths::isSafeRepoId(repo.id)) throw HubClientError::parseError("Invalid repository id: " + repo.id);
    const std::string url =
        buildUrl(endpoint, {{"api", true}, {to_string(repo.type), true}, {repo.id, true}, {"revision", true}, {revision, false}});
    const auto response = httpGet(url, stop);

    const SiblingsResponse listing = parseListing(response.body, repo.id);
    std::vector<std::string> names;
    if (globs.empty()) {
        for (auto& sibling : listing.siblings) names.push_back(std::move(sibling.rfilename));
    } else {
        std::vector<std::string> all;
        for (const auto& sibling : listing.siblings) all.push_back(sibling.rfilename);
        std::set<std::string> matched;
        for (const auto& glob : globs) {
            for (auto& name : matching(all, glob)) matched.insert(std::move(name));
        }
        names.assign(matched.begin(), matched.end());
    }
    for (const auto& name : names) {
        if (!hubpaths::isSafeRelativePath(name)) throw HubClientError::parseError("Unsafe file name in repository listing: " + name);
    }
    return names;
}

Config HubApi::configuration(const fs::path& fileURL) const {
    std::ifstream in(fileURL, std::ios::binary);
    if (!in) throw fs::filesystem_error("cannot open the configuration file", fileURL, std::error_code(errno, std::generic_category()));
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) throw fs::filesystem_error("cannot read the configuration file", fileURL, std::error_code(errno, std::generic_category()));
    Config config;
    const std::string url = hubpaths::fileUrlText(fileURL);
    try {
        config = Config::parse(bytes.str());
    } catch (const Config::ParseError&) {
        throw HubClientError::jsonSerialization(
            url, "JSON Serialization failed for " + url + ". Please verify that you have set the HUB_TOKEN environment variable.");
    }
    if (config.kind() != Config::Kind::dictionary) throw HubClientError::parse();
    return config;
}

std::vector<fs::path> HubApi::getFileUrls(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    // A folder we may not read is passed over, as the rest of the tree is still worth listing.
    fs::recursive_directory_iterator walker(folder, fs::directory_options::skip_permission_denied, error);
    if (error) return files;
    for (auto it = walker; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) break;
        const auto name = it->path().filename().string();
        if (name.starts_with(".")) {
            it.disable_recursion_pending();
            continue;
        }
        std::error_code statusError;
        if (it->is_regular_file(statusError)) files.push_back(it->path());
    }
    return files;
}

fs::path HubApi::repoDestination(const Repo& repo) const { return downloadBase / to_string(repo.type) / repo.id; }

fs::path HubApi::metadataFolder(const fs::path& repoDestination) {
    return repoDestination / ".cache" / "modelhub" / "download";
}

std::string to_string(HubApi::RepoType type) {
    switch (type) {
    case HubApi::RepoType::models: return "models";
    case HubApi::RepoType::datasets: return "datasets";
    case HubApi::RepoType::spaces: return "spaces";
    }
    return "models";
}

std::optional<HubApi::RepoType> repoTypeFromString(const std::string& text) {
    if (text == "models") return HubApi::RepoType::models;
    if (text == "datasets") return HubApi::RepoType::datasets;
    if (text == "spaces") return HubApi::RepoType::spaces;
    return std::nullopt;
}

void to_json(nlohmann::json& json, const HubApi::RepoType& type) { json = to_string(type); }

void from_json(const nlohmann::json& json, HubApi::RepoType& type) {
    const auto parsed = repoTypeFromString(json.get<std::string>());
    if (!parsed) throw nlohmann::json::other_error::create(501, "Cannot initialize RepoType from invalid String value " + json.dump(), &json);
    type = *parsed;
}

void to_json(nlohmann::json& json, const HubApi::Repo& repo) {
    // "id" sorts before "type", so the object is written in that order.
    json = nlohmann::json{{"id", repo.id}, {"type", to_string(repo.type)}};
}

void from_json(const nlohmann::json& json, HubApi::Repo& repo) {
    repo.id = json.at("id").get<std::string>();
    repo.type = json.at("type").get<HubApi::RepoType>();
}

}  // namespace bexmor

size_t std::hash<bexmor::HubApi::Repo>::operator()(const bexmor::HubApi::Repo& repo) const noexcept {
    const size_t first = std::hash<std::string>{}(repo.id);
    return first ^ (std::hash<std::string>{}(bexmor::to_string(repo.type)) + 0x9e3779b97f4a7c15ULL + (first << 6) + (first >> 2));
}
