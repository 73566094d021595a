// The hub client's requests, listings, HEAD facts, download records and configuration
// files: what a hostile or broken hub or a damaged cache file makes of them.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include <nlohmann/json.hpp>

#include "BexmorCore/External/Hub/HubApi.h"
#include "HubTestFixture.h"
#include "support/TestHttpServer.h"

namespace {

using bexmor::EnvironmentError;
using bexmor::HubApi;
using bexmor::HubClientError;
using bexmor::UrlError;
using hubtest::capture;
using hubtest::FakeFile;
using hubtest::readFile;
using testsupport::HttpRequest;
using testsupport::HttpResponder;
using testsupport::TestHttpServer;
namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(HubApiSetUp, TokenEndpointAndBaseComeFromTheEnvironmentUnlessGiven) {
    hubtest::Environment env;
    env.set("HUB_TOKEN", "from-first");
    env.set("MODEL_HUB_TOKEN", "from-second");
    env.set("HUB_ENDPOINT", "http://mirror.example");
    env.set("HOME", "/home/someone");
    const HubApi fromEnvironment;
    EXPECT_EQ(fromEnvironment.hubToken, "from-first");
    EXPECT_EQ(fromEnvironment.endpoint, "http://mirror.example");
    EXPECT_EQ(fromEnvironment.downloadBase, fs::path("/home/someone/Documents/modelhub"));
    EXPECT_EQ(HubApi(fs::path("/tmp/x"), std::string()).hubToken, "") << "an empty token is given";
    env.set("HUB_TOKEN", "");
    EXPECT_EQ(HubApi().hubToken, "from-second");
    env.set("MODEL_HUB_TOKEN", "");
    EXPECT_EQ(HubApi().hubToken, std::nullopt);
}

using HubRequests = hubtest::HubTest;

TEST_F(HubRequests, StatusesAndTransportFailuresOfGetAndHead) {
    std::atomic<int> status = 200;
    TestHttpServer server([&](const HttpRequest&, HttpResponder& responder) { responder.respond(status, {}, "no"); });
    const std::string url = server.baseUrl() + "/a/file.bin";
    const HubApi hub(base.path(), std::string("t"), server.baseUrl());
    using Case = HubClientError::Case;
    for (const auto& [code, kind] : {std::pair{401, Case::authorizationRequired}, {403, Case::authorizationRequired},
                                     {404, Case::fileNotFound}, {500, Case::httpStatusCode}}) {
        status = code;
        for (const bool head : {false, true}) {
            const auto error = capture<HubClientError>([&] { (void)(head ? hub.httpHead(url) : hub.httpGet(url)); });
            EXPECT_EQ(error.kind(), kind) << code << (head ? " HEAD " : " GET ") << error.what();
        }
    }
    for (const auto& request : server.requests()) EXPECT_EQ(request.header("authorization"), "Bearer t");
    EXPECT_EQ(server.requests().back().header("accept-encoding"), "identity");
    status = 200;
    (void)HubApi(base.path(), std::string(), server.baseUrl()).httpGet(url);
    EXPECT_EQ(server.requests().back().header("authorization"), "") << "an empty token sends no header";

    const std::string dead = TestHttpServer([](auto&, auto&) {}).baseUrl();
    const HubApi unreachable(base.path(), std::string(), dead);
    EXPECT_EQ(capture<HubClientError>([&] { (void)unreachable.httpGet(dead + "/x"); }).kind(), Case::downloadError);
    EXPECT_EQ(capture<UrlError>([&] { (void)unreachable.httpHead(dead + "/x"); }).code(), UrlError::Code::cannotConnect);
}

TEST_F(HubRequests, ListingKeepsOrderAndDuplicatesMatchesGlobsAndEscapesTheRevision) {
    fake.addFile("o/n", "x", FakeFile{});
    fake.setListingBody("o/n", R"({"id":"o/n","private":false,"siblings":[
        {"rfilename":"b.bin","size":3,"lfs":{"oid":"x"}},{"rfilename":"config.json"},{"rfilename":"a.json"},
        {"rfilename":"b.bin"},{"rfilename":"sub/tokenizer.json"}],"tags":["x"]})");
    const HubApi hub = client(std::nullopt);
    EXPECT_EQ(hub.getFilenames(repo), (std::vector<std::string>{"b.bin", "config.json", "a.json", "b.bin", "sub/tokenizer.json"}));
    auto matched = hub.getFilenames(repo, "main", {"*.json", "config.json", "nothing*"});
    EXPECT_EQ(std::multiset<std::string>(matched.begin(), matched.end()),
              (std::multiset<std::string>{"a.json", "config.json", "sub/tokenizer.json"}));

    EXPECT_STREQ(capture<HubClientError>([&] { hub.getFilenames({"o/n", HubApi::RepoType::datasets}, "refs/pr/1"); }).what(),
                 "File not found: refs/pr/1");
    EXPECT_EQ(fake.requests().back().target, "/api/datasets/o/n/revision/refs%2Fpr%2F1");
}

TEST_F(HubRequests, MalformedListingsFailWithTheParsersError) {
    fake.addFile("o/n", "x", FakeFile{});
    for (const char* body : {"[not json", R"({"files":[]})", R"({"siblings":{"a":{"rfilename":"a.bin"}}})",
                             R"({"siblings":[{"rfilename":5}]})", R"({"siblings":[{"name":"a.bin"}]})"}) {
        fake.setListingBody("o/n", body);
        EXPECT_THROW(client(std::nullopt).getFilenames(repo), nlohmann::json::exception) << body;
    }
}

TEST_F(HubRequests, HostileNamesEndpointsAndIdsAreRefusedBeforeAnythingIsWritten) {
    fake.addFile("o/n", "x", FakeFile{});
    const HubApi hub(base.path() / "cache", std::string(), fake.endpoint());
    for (const std::string& name : {"../escape.bin"s, "/etc/passwd"s, "a//b"s, "./a"s, "a/../../b"s, ".cache/modelhub/download/x.metadata"s,
                                    "a/.."s, ""s, "a\0b"s}) {
        fake.setListingBody("o/n", nlohmann::json{{"siblings", {{{"rfilename", "ok.bin"}}, {{"rfilename", name}}}}}.dump());
        auto error = capture<HubClientError>([&] { hub.snapshot(repo); });
        EXPECT_EQ(error.kind(), HubClientError::Case::parseError) << name;
        EXPECT_TRUE(std::string(error.what()).starts_with("Parse error: Unsafe file name in repository listing: ")) << error.what();
    }
    fake.setListingBody("o/n", R"({"siblings":[{"rfilename":"a..b/.hidden/c"},{"rfilename":"sub/.cache/x"}]})");
    EXPECT_EQ(hub.getFilenames(repo).size(), 2u) << "names that merely look odd are fine";
    EXPECT_FALSE(fs::exists(base.path() / "cache"));
    EXPECT_EQ(fake.count("HEAD"), 0);

    EXPECT_EQ(capture<HubClientError>([&] { HubApi(base.path(), std::string(), std::string("not a url")).getFilenames(repo); }).kind(),
              HubClientError::Case::parseError);
    EXPECT_EQ(capture<HubClientError>([&] { hub.snapshot({"../n", HubApi::RepoType::models}); }).kind(),
              HubClientError::Case::parseError);
}

TEST_F(HubRequests, AnAnswerLongerThanTheLimitFailsInsteadOfFillingMemory) {
    TestHttpServer server([](const HttpRequest&, HttpResponder& responder) { responder.respond(200, {}, std::string(5000, 'x')); });
    platform::HttpRequest request;
    request.url = server.baseUrl() + "/big";
    request.maxBodySize = 4096;
    EXPECT_EQ(capture<UrlError>([&] { platform::send(request); }).code(), UrlError::Code::other);
    request.maxBodySize = 5000;
    EXPECT_EQ(platform::send(request).body.size(), 5000u);
}

TEST_F(HubRequests, HeadFollowsRedirectsOnTheSameServerOnlyAndGetNeverCarriesTheTokenAway) {
    TestHttpServer other([](const HttpRequest&, HttpResponder& responder) { responder.respond(200, {}, R"({"siblings":[]})"); },
                         "127.0.0.2");
    TestHttpServer server([&](const HttpRequest& request, HttpResponder& responder) {
        const std::map<std::string, std::pair<int, std::string>> moves{{"/start", {307, "/p?q=1"}}, {"/loop", {307, "/loop"}},
            {"/file", {302, "file:///etc/passwd"}}, {"/api/models/o/n/revision/main", {302, other.baseUrl() + request.path}}};
        const auto move = moves.find(request.path);
        if (move == moves.end()) return responder.writeHead(200, {{"X-Repo-Commit", "abc"}, {"Content-Length", "5"}});
        responder.writeHead(move->second.first, {{"Location", move->second.second}, {"Content-Length", "0"}});
    });
    const HubApi hub(base.path(), std::string("secret"), server.baseUrl());
    EXPECT_EQ(hub.httpHead(server.baseUrl() + "/start").status, 200);
    EXPECT_EQ(hub.getFileMetadata(server.baseUrl() + "/start").location, server.baseUrl() + "/p?q=1");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].method, "HEAD");
    EXPECT_EQ(requests[1].target, "/p?q=1");
    EXPECT_EQ(requests[1].header("authorization"), "Bearer secret");
    server.clearRequests();
    EXPECT_EQ(capture<UrlError>([&] { (void)hub.httpHead(server.baseUrl() + "/loop"); }).code(), UrlError::Code::tooManyRedirects);
    EXPECT_EQ(server.requests().size(), 11u);

    EXPECT_TRUE(hub.getFilenames(repo).empty());
    ASSERT_EQ(other.requests().size(), 1u);
    EXPECT_EQ(other.requests().front().header("authorization"), "");
    EXPECT_EQ(capture<HubClientError>([&] { (void)hub.httpGet(server.baseUrl() + "/file"); }).kind(),
              HubClientError::Case::downloadError);
}

TEST(HeadMetadata, ReadsEachHeaderVariant) {
    const std::string url = "http://hub/f";
    const auto facts = [&](long status, const std::vector<std::pair<std::string, std::string>>& fields) {
        platform::HttpResponse response{status, url, {}, {}};
        for (const auto& [name, value] : fields) response.headers.add(name, value);
        return HubApi::fileMetadata(response, url);
    };
    const auto linked = facts(200, {{"x-repo-commit", "c1"}, {"X-Linked-Etag", "\"lfs\""}, {"ETag", "\"blob\""}, {"X-Linked-Size", "12"}, {"Content-Length", "99"}});
    EXPECT_EQ(linked.commitHash, "c1");
    EXPECT_EQ(linked.etag, "lfs");
    EXPECT_EQ(linked.size, 12);
    EXPECT_EQ(linked.location, url);
    const auto plain = facts(200, {{"ETag", "W/\"blob\""}, {"Content-Length", "+7"}});
    EXPECT_EQ(plain.commitHash, std::nullopt);
    EXPECT_EQ(plain.etag, "blob");
    EXPECT_EQ(plain.size, 7);
    EXPECT_EQ(plain.invalidSize, std::nullopt);
    for (const char* size : {"lots", "-5", "", "18446744073709551616"}) {
        const auto odd = facts(200, {{"Content-Length", "0"}, {"X-Linked-Size", size}});
        EXPECT_EQ(odd.size, std::nullopt) << size;
        EXPECT_EQ(odd.invalidSize, size);
    }
    EXPECT_EQ(facts(200, {}).invalidSize, std::nullopt) << "no size sent is no invalid size";
    EXPECT_EQ(facts(302, {{"Location", "https://elsewhere.example/x"}}).location, "https://elsewhere.example/x");
    EXPECT_EQ(facts(302, {}).location, url);

    const std::pair<const char*, const char*> etags[] = {{"W/\"abc\"", "abc"}, {"\"abc\"", "abc"},     {"W/abc", "abc"},
                                                         {"\"a\"b\"", "a\"b"}, {"x W/abc", "x W/abc"}, {"W/W/\"a\"", "W/\"a"}};
    for (const auto& [sent, etag] : etags) EXPECT_EQ(HubApi::normalizeEtag(std::string(sent)), etag) << sent;
}

class Records : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    HubApi hub{dir.path(), std::string(), std::string("http://127.0.0.1:9")};
};

TEST_F(Records, RoundTripTrimsWhiteSpaceAndRemovesCorruptRecords) {
    const auto path = dir / "deep/er/model.bin.metadata";
    hub.writeDownloadMetadata(std::string(40, 'a'), "etag1", path);
    const std::string text = readFile(path);
    EXPECT_TRUE(text.starts_with(std::string(40, 'a') + "\netag1\n")) << text;
    const auto fields = [&](const std::filesystem::path& file) {
        const auto record = hub.readDownloadMetadata(file);
        return record ? record->commitHash + " " + record->etag + " " + record->filename : "none";
    };
    EXPECT_EQ(fields(path), std::string(40, 'a') + " etag1 model.bin");
    EXPECT_NEAR(hub.readDownloadMetadata(path)->timestamp, std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(), 600);

    hubtest::writeFile(dir / "a.metadata.bin.metadata", "\t" + std::string(40, 'c') + "\u00A0\n\u2003etag\u3000\n 5.5\u2003\nextra\n");
    EXPECT_EQ(fields(dir / "a.metadata.bin.metadata"), std::string(40, 'c') + " etag a.bin");
    EXPECT_EQ(hub.readDownloadMetadata(dir / "a.metadata.bin.metadata")->timestamp, 5.5);
    EXPECT_EQ(fields(dir / "missing.metadata"), "none");

    for (const char* corrupt : {"c\ne", "c\ne\nNaN-text\n", "c\r\ne\r\n5.0\r\n", "c\ne\n\xff\xfe\n"}) {
        hubtest::writeFile(dir / "bad.metadata", corrupt);
        EXPECT_EQ(fields(dir / "bad.metadata"), "none") << corrupt;
        EXPECT_FALSE(fs::exists(dir / "bad.metadata")) << corrupt;
    }
    hubtest::writeFile(dir / "blocker", "a file where a folder should be");
    const auto error = capture<EnvironmentError>([&] { hub.writeDownloadMetadata("c", "e", dir / "blocker/x.metadata"); });
    EXPECT_EQ(error.kind(), EnvironmentError::Case::fileWriteError);
    EXPECT_NE(std::string(error.what()).find((dir / "blocker/x.metadata").string()), std::string::npos) << error.what();
    // The file system's own error stays with it (a full disk must stay a full disk), from
    // the folders as from the write itself; the record's temporary twin goes.
    EXPECT_EQ(error.code(), std::errc::not_a_directory);
    hubtest::writeFile(dir / "in the way/inside", "a folder where the record should be");
    const auto renamed = capture<EnvironmentError>([&] { hub.writeDownloadMetadata("c", "e", dir / "in the way"); });
    EXPECT_EQ(renamed.code(), std::errc::is_a_directory) << renamed.what();
    for (const auto& entry : fs::directory_iterator(dir.path())) EXPECT_FALSE(entry.path().filename().string().starts_with(".in the way"));
}

TEST_F(Records, HashingRefusesWhatCannotBeRead) {
    EXPECT_STREQ(capture<HubClientError>([&] { hub.computeFileHash(dir / "absent.bin"); }).what(), "File not found: absent.bin");
    fs::create_directories(dir / "folder");  // opens, but cannot be read: never the digest of nothing
    EXPECT_EQ(capture<HubClientError>([&] { hub.computeFileHash(dir / "folder"); }).kind(), HubClientError::Case::fileSystemError);
}

TEST_F(Records, ConfigurationFilesAndTheirFaults) {
    hubtest::writeFile(dir / "config.json", "\xEF\xBB\xBF{\"model_type\": \"darivir\", \"vocab_size\": 51866}");
    const auto config = hub.configuration(dir / "config.json");
    EXPECT_EQ(config["model_type"].string(), std::string("darivir"));
    EXPECT_EQ(config.member("vocabSize").integer(), 51866);

    hubtest::writeFile(dir / "bad name.json", "{\"a\": ");
    const auto bad = capture<HubClientError>([&] { hub.configuration(dir / "bad name.json"); });
    EXPECT_EQ(bad.kind(), HubClientError::Case::jsonSerialization);
    EXPECT_EQ(bad.fileUrl(), "file://" + dir.path().string() + "/bad%20name.json");
    hubtest::writeFile(dir / "array.json", "[1, 2]");
    EXPECT_EQ(capture<HubClientError>([&] { hub.configuration(dir / "array.json"); }).kind(), HubClientError::Case::parse);
    EXPECT_THROW(hub.configuration(dir / "missing.json"), fs::filesystem_error);
}

}  // namespace
