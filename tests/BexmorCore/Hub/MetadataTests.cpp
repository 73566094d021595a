#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "BexmorCore/External/Hub/HubApi.h"
#include "HubTestFixture.h"
#include "support/TestHttpServer.h"

namespace {

using bexmor::EnvironmentError;
using bexmor::HubApi;
using bexmor::HubClientError;
using hubtest::readFile;
using testsupport::HttpRequest;
using testsupport::HttpResponder;
using testsupport::TestHttpServer;

TEST(EtagNormalisation, StripsOneWeakPrefixAndOuterQuotes) {
    EXPECT_EQ(HubApi::normalizeEtag(std::nullopt), std::nullopt);
    EXPECT_EQ(HubApi::normalizeEtag(std::string("W/\"abc\"")), "abc");
    EXPECT_EQ(HubApi::normalizeEtag(std::string("\"abc\"")), "abc");
    EXPECT_EQ(HubApi::normalizeEtag(std::string("W/abc")), "abc");
    EXPECT_EQ(HubApi::normalizeEtag(std::string("abc")), "abc");
    EXPECT_EQ(HubApi::normalizeEtag(std::string("\"a\"b\"")), "a\"b");
    EXPECT_EQ(HubApi::normalizeEtag(std::string("x W/abc")), "x W/abc");
    EXPECT_EQ(HubApi::normalizeEtag(std::string("W/W/\"a\"")), "W/\"a");
}

class HeadMetadata : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<TestHttpServer>([this](const HttpRequest& request, HttpResponder& responder) {
            auto found = answers.find(request.path);
            if (found == answers.end()) return responder.writeHead(200, {{"Content-Length", "0"}});
            responder.writeHead(found->second.first, found->second.second);
        });
    }
    HubApi::FileMetadata metadata(const std::string& path) {
        const HubApi hub(base.path(), std::string(), server->baseUrl());
        return hub.getFileMetadata(server->baseUrl() + path);
    }
    testsupport::TempDir base;
    std::map<std::string, std::pair<int, std::map<std::string, std::string>>> answers;
    std::unique_ptr<TestHttpServer> server;
};

TEST_F(HeadMetadata, ReadsEachHeaderVariant) {
    answers["/linked"] = {200, {{"x-repo-commit", "c1"}, {"X-Linked-Etag", "\"lfs\""}, {"ETag", "\"blob\""}, {"X-Linked-Size", "12"}, {"Content-Length", "99"}}};
    answers["/plain"] = {200, {{"ETag", "W/\"blob\""}, {"Content-Length", "+7"}}};
    answers["/nonnumeric"] = {200, {{"Content-Length", "0"}, {"X-Linked-Size", "lots"}}};
    answers["/negative"] = {200, {{"Content-Length", "0"}, {"X-Linked-Size", "-5"}}};
    answers["/moved"] = {302, {{"Location", "https://elsewhere.example/x"}, {"Content-Length", "0"}}};
    answers["/movedbare"] = {302, {{"Content-Length", "0"}}};

    auto linked = metadata("/linked");
    EXPECT_EQ(linked.commitHash, std::string("c1"));
    EXPECT_EQ(linked.etag, std::string("lfs"));
    EXPECT_EQ(linked.size, 12);
    EXPECT_EQ(linked.location, server->baseUrl() + "/linked");

    auto plain = metadata("/plain");
    EXPECT_EQ(plain.commitHash, std::nullopt);
    EXPECT_EQ(plain.etag, std::string("blob"));
    EXPECT_EQ(plain.size, 7);

    EXPECT_EQ(metadata("/nonnumeric").size, std::nullopt);
    EXPECT_EQ(metadata("/negative").size, std::nullopt);
    EXPECT_EQ(metadata("/moved").location, "https://elsewhere.example/x");
    EXPECT_EQ(metadata("/movedbare").location, server->baseUrl() + "/movedbare");
    EXPECT_EQ(metadata("/nothing").etag, std::nullopt);
}

TEST_F(HeadMetadata, StatusErrorsOfHead) {
    answers["/401"] = {401, {{"Content-Length", "0"}}};
    answers["/404"] = {404, {{"Content-Length", "0"}}};
    answers["/500"] = {500, {{"Content-Length", "0"}}};
    try {
        metadata("/401");
        FAIL();
    } catch (const HubClientError& error) {
        EXPECT_EQ(error.statusCode(), 401);
    }
    EXPECT_THROW(metadata("/404"), HubClientError);
    try {
        metadata("/500");
        FAIL();
    } catch (const HubClientError& error) {
        EXPECT_EQ(error.kind(), HubClientError::Case::httpStatusCode);
    }
}

class Records : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    HubApi hub{dir.path(), std::string(), std::string("http://127.0.0.1:9")};
};

TEST_F(Records, RoundTripCreatesFoldersAndStripsEveryMetadataSuffix) {
    const auto path = dir / "deep/er/model.bin.metadata";
    const double before = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    hub.writeDownloadMetadata(std::string(40, 'a'), "etag1", path);
    const double after = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

    const std::string text = readFile(path);
    EXPECT_TRUE(text.starts_with(std::string(40, 'a') + "\netag1\n"));
    EXPECT_TRUE(text.ends_with("\n"));
    const std::string seconds = text.substr(text.find("etag1\n") + 6);
    EXPECT_NE(seconds.find('.'), std::string::npos);
    EXPECT_EQ(seconds.find('e'), std::string::npos) << "plain notation";

    auto record = hub.readDownloadMetadata(path);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->commitHash, std::string(40, 'a'));
    EXPECT_EQ(record->etag, "etag1");
    EXPECT_EQ(record->filename, "model.bin");
    EXPECT_GE(record->timestamp, before);
    EXPECT_LE(record->timestamp, after);

    std::ofstream(dir / "a.metadata.bin.metadata") << "c\ne\n5\n";
    EXPECT_EQ(hub.readDownloadMetadata(dir / "a.metadata.bin.metadata")->filename, "a.bin");
    std::ofstream(dir / "whole.metadata") << "c\ne\n5.0\nextra\nlines\n";
    EXPECT_EQ(hub.readDownloadMetadata(dir / "whole.metadata")->timestamp, 5.0);
    EXPECT_EQ(hub.readDownloadMetadata(dir / "missing.metadata"), std::nullopt);
}

TEST_F(Records, LinesAreTrimmedOfEveryKindOfWhiteSpace) {
    // Tabs, no-break, em and ideographic spaces around the values are not part of them.
    std::ofstream(dir / "padded.metadata", std::ios::binary)
        << "\t" << std::string(40, 'c') << "\u00A0\n\u2003etag\u3000\n 5.5\u2003\n";
    const auto record = hub.readDownloadMetadata(dir / "padded.metadata");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->commitHash, std::string(40, 'c'));
    EXPECT_EQ(record->etag, "etag");
    EXPECT_EQ(record->timestamp, 5.5);
}

TEST_F(Records, CorruptRecordsAreRemovedAndReportedAbsent) {
    const std::map<std::string, std::string> corrupt{
        {"two.metadata", "c\ne"},
        {"nan.metadata", "c\ne\nNaN-text\n"},
        {"crlf.metadata", "c\r\ne\r\n5.0\r\n"},
        {"utf8.metadata", "c\ne\n\xff\xfe\n"},
    };
    for (const auto& [name, text] : corrupt) {
        std::ofstream(dir / name, std::ios::binary) << text;
        EXPECT_EQ(hub.readDownloadMetadata(dir / name), std::nullopt) << name;
        EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
    }
}

TEST_F(Records, WriteFailureNamesThePath) {
    std::ofstream(dir / "blocker") << "a file where a folder should be";
    try {
        hub.writeDownloadMetadata("c", "e", dir / "blocker/x.metadata");
        FAIL();
    } catch (const EnvironmentError& error) {
        EXPECT_EQ(error.kind(), EnvironmentError::Case::fileWriteError);
        EXPECT_TRUE(std::string(error.what()).starts_with("Failed to write file: Failed to write metadata to " + (dir / "blocker/x.metadata").string() + ": "))
            << error.what();
    }
}

TEST_F(Records, HashesEmptyAndExactlyOneMebibyteAndMissingFiles) {
    std::ofstream(dir / "empty");
    EXPECT_EQ(hub.computeFileHash(dir / "empty"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string block = hubtest::makeContent(1048576, 5);
    std::ofstream(dir / "block", std::ios::binary) << block;
    EXPECT_EQ(hub.computeFileHash(dir / "block"), hubtest::sha256(block));
    try {
        hub.computeFileHash(dir / "absent.bin");
        FAIL();
    } catch (const HubClientError& error) {
        EXPECT_STREQ(error.what(), "File not found: absent.bin");
    }
    // A folder opens but cannot be read: that is an error, never the digest of nothing.
    std::filesystem::create_directories(dir / "folder");
    try {
        hub.computeFileHash(dir / "folder");
        FAIL();
    } catch (const HubClientError& error) {
        EXPECT_EQ(error.kind(), HubClientError::Case::fileSystemError);
    }
}

}  // namespace
