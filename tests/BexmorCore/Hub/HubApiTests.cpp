#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "BexmorCore/External/Hub/HubApi.h"
#include "BexmorCore/External/Hub/HubPaths.h"
#include "HubTestFixture.h"
#include "support/TestHttpServer.h"

namespace {

using bexmor::EnvironmentError;
using bexmor::HubApi;
using bexmor::HubClientError;
using bexmor::UrlError;
using hubtest::FakeFile;
using hubtest::Environment;
using hubtest::capture;
using testsupport::HttpRequest;
using testsupport::HttpResponder;
using testsupport::TestHttpServer;

TEST(HubApiSetUp, TokenPrecedenceAndThePrintedLine) {
    Environment env;
    env.set("HF_TOKEN", "from-hf");
    env.set("HUGGING_FACE_HUB_TOKEN", "from-hub");
    env.set("CI_DISABLE_NETWORK_MONITOR", "1");
    testing::internal::CaptureStdout();
    const HubApi emptyArgument(std::filesystem::path("/tmp/x"), std::string());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "✅ got token\n");
    EXPECT_EQ(emptyArgument.hfToken, std::string());

    EXPECT_EQ(HubApi(std::filesystem::path("/tmp/x")).hfToken, std::string("from-hf"));
    env.set("HF_TOKEN", "");
    EXPECT_EQ(HubApi(std::filesystem::path("/tmp/x")).hfToken, std::string("from-hub"));
    env.set("HUGGING_FACE_HUB_TOKEN", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(HubApi(std::filesystem::path("/tmp/x")).hfToken, std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "🔴 NO TOKEN **\n");

    for (const char* other : {"true", "01", ""}) {
        env.set("CI_DISABLE_NETWORK_MONITOR", other);
        testing::internal::CaptureStdout();
        HubApi quiet(std::filesystem::path("/tmp/x"));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << other;
    }
}

TEST(HubApiSetUp, EndpointAndDownloadBase) {
    Environment env;
    env.set("HF_ENDPOINT", nullptr);
    env.set("HOME", "/home/someone");
    const HubApi defaults;
    EXPECT_EQ(defaults.endpoint, HubApi::kDefaultEndpoint);
    EXPECT_EQ(defaults.downloadBase, std::filesystem::path("/home/someone/Documents/huggingface"));
    env.set("HF_ENDPOINT", "");
    EXPECT_EQ(HubApi().endpoint, "");
    env.set("HF_ENDPOINT", "http://mirror.example");
    EXPECT_EQ(HubApi().endpoint, "http://mirror.example");
    EXPECT_EQ(HubApi(std::nullopt, std::nullopt, std::string("http://given")).endpoint, "http://given");
    EXPECT_EQ(HubApi().useOfflineMode, std::nullopt);
}

using HubRequests = hubtest::HubTest;

TEST_F(HubRequests, GetMapsStatusesToHubErrors) {
    int status = 403;
    TestHttpServer server([&](const HttpRequest&, HttpResponder& responder) { responder.respond(status, {}, "no"); });
    const HubApi hub(base.path(), std::string("t"), server.baseUrl());

    auto forbidden = capture<HubClientError>([&] { hub.httpGet(server.baseUrl() + "/x"); });
    EXPECT_EQ(forbidden.kind(), HubClientError::Case::authorizationRequired);
    EXPECT_STREQ(forbidden.what(), "Authentication failed with status code: 403. Please check your hub token.");
    status = 401;
    EXPECT_EQ(capture<HubClientError>([&] { hub.httpGet(server.baseUrl() + "/x"); }).statusCode(), 401);
    status = 500;
    EXPECT_STREQ(capture<HubClientError>([&] { hub.httpGet(server.baseUrl() + "/x"); }).what(), "HTTP error with status code: 500");
    status = 404;
    EXPECT_STREQ(capture<HubClientError>([&] { hub.httpGet(server.baseUrl() + "/a/file.bin"); }).what(), "File not found: file.bin");
    EXPECT_EQ(server.requests().front().header("authorization"), "Bearer t");
}

TEST_F(HubRequests, TransportFailuresDifferBetweenGetAndHead) {
    // A port nobody listens on: bind one, then close it.
    std::string deadUrl;
    {
        TestHttpServer gone([](const HttpRequest&, HttpResponder& r) { r.respond(200, {}, ""); });
        deadUrl = gone.baseUrl();
    }
    const HubApi hub(base.path(), std::string(), deadUrl);
    auto getError = capture<HubClientError>([&] { hub.httpGet(deadUrl + "/x"); });
    EXPECT_EQ(getError.kind(), HubClientError::Case::downloadError);
    EXPECT_TRUE(std::string(getError.what()).starts_with("Download failed: "));
    auto headError = capture<UrlError>([&] { hub.httpHead(deadUrl + "/x"); });
    EXPECT_EQ(headError.code(), UrlError::Code::cannotConnect);
}

TEST_F(HubRequests, EmptyTokenSendsNoAuthorization) {
    TestHttpServer server([](const HttpRequest&, HttpResponder& responder) { responder.respond(200, {}, "{}"); });
    const HubApi hub(base.path(), std::string(), server.baseUrl());
    hub.httpGet(server.baseUrl() + "/x");
    hub.httpHead(server.baseUrl() + "/y");
    for (const auto& request : server.requests()) EXPECT_EQ(request.header("authorization"), "");
    EXPECT_EQ(server.requests().back().header("accept-encoding"), "identity");
}

TEST_F(HubRequests, ListingKeepsOrderAndDuplicatesAndIgnoresExtraKeys) {
    fake.addFile("o/n", "x", FakeFile{});
    fake.setListingBody("o/n", R"({"id":"o/n","private":false,"siblings":[
        {"rfilename":"b.bin","size":3,"lfs":{"oid":"x"}},{"rfilename":"config.json"},{"rfilename":"a.json"},
        {"rfilename":"b.bin"},{"rfilename":"sub/tokenizer.json"}],"tags":["x"]})");
    const HubApi hub = client(std::nullopt);
    const HubApi::Repo repo{"o/n", HubApi::RepoType::models};
    EXPECT_EQ(hub.getFilenames(repo), (std::vector<std::string>{"b.bin", "config.json", "a.json", "b.bin", "sub/tokenizer.json"}));

    auto matched = hub.getFilenames(repo, "main", {"*.json", "config.json", "nothing*"});
    EXPECT_EQ(std::multiset<std::string>(matched.begin(), matched.end()),
              (std::multiset<std::string>{"a.json", "config.json", "sub/tokenizer.json"}));
    EXPECT_EQ(fake.requests().back().path, "/api/models/o/n/revision/main");
}

TEST_F(HubRequests, ListingUrlEscapesTheRevisionAndCarriesItIn404) {
    TestHttpServer server([](const HttpRequest&, HttpResponder& responder) { responder.respond(404, {}, ""); });
    const HubApi hub(base.path(), std::string(), server.baseUrl() + "/");
    auto error = capture<HubClientError>([&] { hub.getFilenames({"o/n", HubApi::RepoType::datasets}, "refs/pr/1"); });
    EXPECT_STREQ(error.what(), "File not found: refs/pr/1");
    EXPECT_EQ(server.requests().front().target, "/api/datasets/o/n/revision/refs%2Fpr%2F1");
}

TEST_F(HubRequests, HostileNamesInAListingAreRefusedBeforeAnythingIsWritten) {
    fake.addFile("o/n", "x", FakeFile{});
    const HubApi hub(base.path() / "cache", std::string(), fake.endpoint());
    for (const std::string& name : std::vector<std::string>{"../escape.bin", "/etc/passwd", "a//b", "./a", "a/../../b", ".cache/huggingface/download/x.metadata",
                                   "a/..", "", std::string("a\0b", 3)}) {
        nlohmann::json listing = {{"siblings", {{{"rfilename", "ok.bin"}}, {{"rfilename", name}}}}};
        fake.setListingBody("o/n", listing.dump());
        auto error = capture<HubClientError>([&] { hub.snapshot({"o/n", HubApi::RepoType::models}, "main", {}, {}); });
        EXPECT_EQ(error.kind(), HubClientError::Case::parseError) << name;
        EXPECT_TRUE(std::string(error.what()).starts_with("Parse error: Unsafe file name in repository listing: ")) << error.what();
    }
    EXPECT_FALSE(std::filesystem::exists(base.path() / "cache"));
    EXPECT_EQ(fake.count("HEAD", "/resolve/"), 0);
    // Names that merely look odd are fine.
    EXPECT_TRUE(bexmor::hubpaths::isSafeRelativePath("a..b/.hidden/c"));
    EXPECT_TRUE(bexmor::hubpaths::isSafeRelativePath("sub/.cache/x"));
}

TEST_F(HubRequests, BadEndpointAndRepoIdAreErrorsNotCrashes) {
    const HubApi hub(base.path(), std::string(), std::string("not a url"));
    EXPECT_EQ(capture<HubClientError>([&] { hub.getFilenames({"o/n", HubApi::RepoType::models}); }).kind(),
              HubClientError::Case::parseError);
    const HubApi other(base.path(), std::string(), std::string("http://127.0.0.1:9"));
    EXPECT_EQ(capture<HubClientError>([&] { other.snapshot({"../n", HubApi::RepoType::models}, "main", {}, {}); }).kind(),
              HubClientError::Case::parseError);
}

TEST_F(HubRequests, MalformedListingFailsWithTheParsersError) {
    fake.addFile("o/n", "x", FakeFile{});
    const HubApi hub = client(std::nullopt);
    for (const char* body : {"[not json", R"({"files":[]})", R"({"siblings":{"a":{"rfilename":"a.bin"}}})",
                             R"({"siblings":[{"rfilename":5}]})", R"({"siblings":[{"name":"a.bin"}]})"}) {
        fake.setListingBody("o/n", body);
        EXPECT_THROW(hub.getFilenames({"o/n", HubApi::RepoType::models}), nlohmann::json::exception) << body;
    }
}

TEST_F(HubRequests, AnAnswerLongerThanTheLimitFailsInsteadOfFillingMemory) {
    TestHttpServer server([](const HttpRequest&, HttpResponder& responder) { responder.respond(200, {}, std::string(5000, 'x')); });
    platform::HttpRequest request;
    request.url = server.baseUrl() + "/big";
    request.maxBodySize = 4096;
    EXPECT_EQ(capture<UrlError>([&] { platform::send(request); }).code(), UrlError::Code::other);
    request.maxBodySize = 5000;
    EXPECT_EQ(platform::send(request).body.size(), 5000u);
    // The hub's own requests have a limit far above any listing.
    EXPECT_GE(platform::HttpRequest().maxBodySize, 64u * 1024 * 1024);
}

TEST_F(HubRequests, GetFileUrlsSkipsHiddenFilesAndFolders) {
    const auto folder = base.path() / "repo";
    std::filesystem::create_directories(folder / ".cache" / "huggingface");
    std::filesystem::create_directories(folder / "sub");
    for (const auto& file : {"a.bin", ".hidden", ".cache/huggingface/x.metadata", "sub/b.bin"}) std::ofstream(folder / file) << "x";
    auto files = HubApi::getFileUrls(folder);
    std::set<std::filesystem::path> found(files.begin(), files.end());
    EXPECT_EQ(found, (std::set<std::filesystem::path>{folder / "a.bin", folder / "sub/b.bin"}));
    EXPECT_TRUE(HubApi::getFileUrls(base.path() / "missing").empty());
}

// --- HEAD redirects ---

TEST_F(HubRequests, HeadFollowsARelativeRedirectOnTheSameServerWithItsHeaders) {
    TestHttpServer server([](const HttpRequest& request, HttpResponder& responder) {
        if (request.path == "/start") return responder.writeHead(307, {{"Location", "/p?q=1"}, {"Content-Length", "0"}});
        if (request.path == "/noquery") return responder.writeHead(302, {{"Location", "/plain"}, {"Content-Length", "0"}});
        if (request.path == "/bare") return responder.writeHead(301, {{"Content-Length", "0"}});
        if (request.path == "/loop") return responder.writeHead(307, {{"Location", "/loop"}, {"Content-Length", "0"}});
        responder.writeHead(200, {{"X-Repo-Commit", "abc"}, {"Content-Length", "5"}});
    });
    const HubApi hub(base.path(), std::string("tok"), server.baseUrl());
    auto response = hub.httpHead(server.baseUrl() + "/start");
    EXPECT_EQ(response.status, 200);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].method, "HEAD");
    EXPECT_EQ(requests[1].target, "/p?q=1");
    EXPECT_EQ(requests[1].header("authorization"), "Bearer tok");
    EXPECT_EQ(requests[1].header("accept-encoding"), "identity");
    EXPECT_EQ(requests[1].header("location"), server.baseUrl() + "/p?q=1");
    EXPECT_EQ(hub.getFileMetadata(server.baseUrl() + "/start").location, server.baseUrl() + "/p?q=1");

    server.clearRequests();
    hub.httpHead(server.baseUrl() + "/noquery?dropped=1");
    EXPECT_EQ(server.requests().back().target, "/plain");

    EXPECT_EQ(hub.httpHead(server.baseUrl() + "/bare").status, 301);

    server.clearRequests();
    EXPECT_EQ(capture<UrlError>([&] { hub.httpHead(server.baseUrl() + "/loop"); }).code(), UrlError::Code::tooManyRedirects);
    EXPECT_EQ(server.requests().size(), 11u);
}

TEST_F(HubRequests, HeadLeavesACrossHostRedirectToTheCaller) {
    TestHttpServer other([](const HttpRequest&, HttpResponder& responder) { responder.writeHead(200, {{"Content-Length", "0"}}); },
                         "127.0.0.2");
    TestHttpServer server([&](const HttpRequest&, HttpResponder& responder) {
        responder.writeHead(302, {{"Location", other.baseUrl() + "/cdn/x"}, {"Content-Length", "0"}, {"X-Repo-Commit", "c"}});
    });
    const HubApi hub(base.path(), std::string("tok"), server.baseUrl());
    const auto metadata = hub.getFileMetadata(server.baseUrl() + "/file");
    EXPECT_EQ(metadata.location, other.baseUrl() + "/cdn/x");
    EXPECT_EQ(metadata.commitHash, std::string("c"));
    EXPECT_TRUE(other.requests().empty());
}

TEST_F(HubRequests, GetRedirectsStayOnHttpAndNeverCarryTheTokenToAnotherHost) {
    TestHttpServer other([](const HttpRequest&, HttpResponder& responder) { responder.respond(200, {}, R"({"siblings":[]})"); },
                         "127.0.0.2");
    TestHttpServer server([&](const HttpRequest& request, HttpResponder& responder) {
        if (request.path == "/file") return responder.respond(302, {{"Location", "file:///etc/passwd"}}, "");
        responder.respond(302, {{"Location", other.baseUrl() + request.path}}, "");
    });
    const HubApi hub(base.path(), std::string("secret"), server.baseUrl());
    EXPECT_TRUE(hub.getFilenames({"o/n", HubApi::RepoType::models}).empty());
    ASSERT_EQ(other.requests().size(), 1u);
    EXPECT_EQ(other.requests().front().header("authorization"), "");
    EXPECT_EQ(server.requests().front().header("authorization"), "Bearer secret");
    EXPECT_EQ(capture<HubClientError>([&] { hub.httpGet(server.baseUrl() + "/file"); }).kind(), HubClientError::Case::downloadError);
}

}  // namespace

namespace {

TEST(HubConfiguration, ReadsObjectsAndNamesTheFileOnBadJson) {
    testsupport::TempDir dir;
    const HubApi hub(dir.path(), std::string(), std::string("http://127.0.0.1:9"));
    std::ofstream(dir / "config.json") << "\xEF\xBB\xBF{\"model_type\": \"darivir\", \"vocab_size\": 51866}";
    const auto config = hub.configuration(dir / "config.json");
    EXPECT_EQ(config["model_type"].string(), std::string("darivir"));
    EXPECT_EQ(config.member("vocabSize").integer(), 51866);

    std::ofstream(dir / "bad.json") << "{\"a\": ";
    try {
        hub.configuration(dir / "bad.json");
        FAIL();
    } catch (const HubClientError& error) {
        EXPECT_EQ(error.kind(), HubClientError::Case::jsonSerialization);
        EXPECT_EQ(std::string(error.what()), "JSON Serialization failed for file://" + (dir / "bad.json").string() +
                                                 ". Please verify that you have set the HF_TOKEN environment variable.");
    }
    std::ofstream(dir / "array.json") << "[1, 2]";
    try {
        hub.configuration(dir / "array.json");
        FAIL();
    } catch (const HubClientError& error) {
        EXPECT_STREQ(error.what(), "Failed to parse server response.");
    }
    EXPECT_THROW(hub.configuration(dir / "missing.json"), std::filesystem::filesystem_error);

    // The file is named by its URL: absolute, with characters a URL path cannot hold escaped.
    std::ofstream(dir / "bad name.json") << "{";
    try {
        hub.configuration(dir / "bad name.json");
        FAIL();
    } catch (const HubClientError& error) {
        EXPECT_EQ(error.fileUrl(), "file://" + dir.path().string() + "/bad%20name.json");
    }
    EXPECT_EQ(bexmor::hubpaths::fileUrlText("/a b/ü.json"), "file:///a%20b/%C3%BC.json");
    EXPECT_EQ(bexmor::hubpaths::fileUrlText("rel.json"), "file://" + std::filesystem::current_path().string() + "/rel.json");
}

}  // namespace

