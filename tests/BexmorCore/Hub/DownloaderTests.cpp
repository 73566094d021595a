#include <gtest/gtest.h>

#include <fstream>

#include "BexmorCore/External/Hub/Downloader.h"
#include "BexmorCore/External/Hub/HubErrors.h"
#include "HubTestFixture.h"

namespace {

using bexmor::DownloadError;
using bexmor::Downloader;
using bexmor::UrlError;
using hubtest::FakeFile;
using hubtest::readFile;
using Kind = Downloader::DownloadState::Kind;

constexpr int64_t MiB = 1024 * 1024;

class DownloaderTest : public hubtest::HubTest {
protected:
    std::string url(const std::string& name) const { return fake.endpoint() + "/o/n/resolve/main/" + name; }
    std::filesystem::path partial() const { return base / "file.incomplete"; }
    std::filesystem::path destination() const { return base / "out/file.bin"; }

    // Runs one transfer to its end and returns every state a subscriber saw.
    std::vector<Downloader::DownloadState> run(const std::string& name, std::optional<int64_t> expected, int retries = 5,
                                               double timeout = 10, std::optional<std::string> sha = std::nullopt,
                                               std::optional<std::string> token = std::nullopt) {
        if (!std::filesystem::exists(partial())) std::ofstream(partial()).close();
        Downloader downloader(destination(), partial(), false, Downloader::kFlushSize);
        downloader.setExpectedSize(expected);
        downloader.setExpectedSha256(sha);
        downloader.setRetryDelay(std::chrono::milliseconds(10));
        auto states = downloader.broadcaster().subscribe();
        downloader.setUpDownload(url(name), token, Downloader::incompleteFileSize(partial()), std::nullopt, timeout, retries);
        std::vector<Downloader::DownloadState> seen;
        while (true) {
            auto state = states->next();
            seen.push_back(*state);
            if (state->kind == Kind::completed || state->kind == Kind::failed) break;
        }
        return seen;
    }

    static std::vector<double> progresses(const std::vector<Downloader::DownloadState>& states) {
        std::vector<double> values;
        for (const auto& state : states) {
            if (state.kind == Kind::downloading) values.push_back(state.progress);
        }
        return values;
    }

    template <typename Error>
    static Error errorOf(const Downloader::DownloadState& state) {
        EXPECT_EQ(state.kind, Kind::failed);
        try {
            std::rethrow_exception(state.error);
        } catch (const Error& error) {
            return error;
        }
        throw std::runtime_error("another error type");
    }

};

TEST_F(DownloaderTest, ReportsOncePerTenMebibytesAndMovesTheFileIntoPlace) {
    const std::string content = hubtest::makeContent(25 * MiB, 1);
    fake.addFile("o/n", "big.bin", FakeFile{.content = content});
    std::filesystem::create_directories(destination());  // a folder in the way is replaced
    const auto states = run("big.bin", 25 * MiB, 5, 10, std::nullopt, std::string("tok"));

    EXPECT_EQ(states.front().kind, Kind::notStarted);
    EXPECT_EQ(progresses(states), (std::vector<double>{0, 0.4, 0.8}));
    EXPECT_FALSE(states[1].speed.has_value());
    EXPECT_TRUE(states[2].speed.has_value());
    EXPECT_EQ(states.back().kind, Kind::completed);
    EXPECT_EQ(states.back().url, destination());
    EXPECT_TRUE(readFile(destination()) == content);
    EXPECT_FALSE(std::filesystem::exists(partial()));
    EXPECT_EQ(fake.requests().back().header("authorization"), "Bearer tok");
    EXPECT_EQ(fake.requests().back().header("range"), "");
}

TEST_F(DownloaderTest, WithoutExpectedSizeOnlyTheFirstStateThenCompleted) {
    fake.addFile("o/n", "small.bin", FakeFile{.content = hubtest::makeContent(12 * MiB, 2)});
    const auto states = run("small.bin", std::nullopt, 5, 10, std::nullopt, std::string());
    EXPECT_EQ(progresses(states), std::vector<double>{0});
    EXPECT_EQ(states.back().kind, Kind::completed);
    EXPECT_EQ(fake.requests().back().header("authorization"), "");
}

TEST_F(DownloaderTest, ResumesFromThePartialFileWithARangeHeader) {
    const std::string content = hubtest::makeContent(4000, 3);
    fake.addFile("o/n", "r.bin", FakeFile{.content = content});
    std::ofstream(partial(), std::ios::binary) << content.substr(0, 1000);
    const auto states = run("r.bin", 4000);
    EXPECT_EQ(progresses(states), std::vector<double>{0.25});
    EXPECT_EQ(fake.requests().back().header("range"), "bytes=1000-");
    EXPECT_EQ(states.back().kind, Kind::completed);
    EXPECT_EQ(readFile(destination()), content);
}

TEST_F(DownloaderTest, ADroppedConnectionIsResumedByteExactAfterTheLastFlush) {
    const std::string content = hubtest::makeContent(15 * MiB, 4);
    fake.addFile("o/n", "drop.bin", FakeFile{.content = content, .dropAfter = 12 * MiB, .dropTimes = 1});
    const auto states = run("drop.bin", 15 * MiB, 0);  // the flush at 10 MiB restores 5 retries
    ASSERT_EQ(states.back().kind, Kind::completed);
    const auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("range"), "");
    EXPECT_EQ(requests[1].header("range"), "bytes=10485760-");
    EXPECT_TRUE(readFile(destination()) == content);
}

TEST_F(DownloaderTest, AConnectionLostRightAfterTheHeadIsRetried) {
    const std::string content = hubtest::makeContent(5000, 12);
    fake.addFile("o/n", "h.bin", FakeFile{.content = content, .dropAfter = 0, .dropTimes = 1});
    const auto states = run("h.bin", 5000, 1);
    ASSERT_EQ(states.back().kind, Kind::completed);
    EXPECT_EQ(fake.requests().size(), 2u);
    EXPECT_EQ(readFile(destination()), content);
}

TEST_F(DownloaderTest, APieceThatDoesNotContinueTheFileIsRefused) {
    testsupport::TestHttpServer server([](const testsupport::HttpRequest&, testsupport::HttpResponder& responder) {
        responder.respond(206, {{"Content-Range", "bytes 0-9/10"}}, "0123456789");
    });
    std::ofstream(partial(), std::ios::binary) << "01234";
    Downloader downloader(destination(), partial(), false, Downloader::kFlushSize);
    downloader.setExpectedSize(10);
    auto states = downloader.broadcaster().subscribe();
    downloader.setUpDownload(server.baseUrl() + "/f", std::nullopt, 5, std::nullopt, 10, 5);
    std::optional<Downloader::DownloadState> state;
    do state = states->next();
    while (state->kind != Kind::failed && state->kind != Kind::completed);
    EXPECT_EQ(errorOf<DownloadError>(*state).kind(), DownloadError::Case::unexpectedError);
    EXPECT_EQ(readFile(partial()), "01234");
}

TEST_F(DownloaderTest, ADropBeforeAnyFlushWithNoRetriesFails) {
    fake.addFile("o/n", "d.bin", FakeFile{.content = hubtest::makeContent(MiB, 5), .dropAfter = 1000, .dropTimes = 1});
    const auto states = run("d.bin", MiB, 0);
    EXPECT_EQ(errorOf<UrlError>(states.back()).code(), UrlError::Code::connectionLost);
    EXPECT_EQ(fake.requests().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(destination()));
}

TEST_F(DownloaderTest, BadStatusesFailAtOnceWithoutRetry) {
    for (const int status : {404, 416, 500, 401}) {
        fake.addFile("o/n", "s.bin", FakeFile{.content = "abc", .status = status});
        fake.clearRequests();
        const auto states = run("s.bin", 3, 5);
        EXPECT_EQ(errorOf<DownloadError>(states.back()).kind(), DownloadError::Case::unexpectedError) << status;
        EXPECT_EQ(fake.requests().size(), 1u) << status;
        EXPECT_EQ(readFile(partial()), "") << "an error body is never written into the file";
    }
}

TEST_F(DownloaderTest, AServerIgnoringTheRangeRestartsThePartialFile) {
    const std::string content = hubtest::makeContent(5000, 6);
    fake.addFile("o/n", "i.bin", FakeFile{.content = content, .ignoreRange = true});
    std::ofstream(partial(), std::ios::binary) << content.substr(0, 1000);
    const auto states = run("i.bin", 5000);
    ASSERT_EQ(states.back().kind, Kind::completed);
    EXPECT_EQ(fake.requests().back().header("range"), "bytes=1000-");
    EXPECT_EQ(readFile(destination()), content);
}

TEST_F(DownloaderTest, APartialFileAlreadyCompleteOrTooLargeNeverLoopsOn416) {
    const std::string content = hubtest::makeContent(3000, 7);
    fake.addFile("o/n", "f.bin", FakeFile{.content = content});
    std::ofstream(partial(), std::ios::binary) << content;
    auto states = run("f.bin", 3000);
    ASSERT_EQ(states.back().kind, Kind::completed);
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_EQ(readFile(destination()), content);

    std::ofstream(partial(), std::ios::binary) << content << "trailing garbage";
    states = run("f.bin", 3000);
    ASSERT_EQ(states.back().kind, Kind::completed);
    EXPECT_EQ(progresses(states).front(), 0.0) << "a discarded partial file is no progress";
    EXPECT_EQ(fake.requests().back().header("range"), "");
    EXPECT_EQ(readFile(destination()), content);
}

TEST_F(DownloaderTest, AWrongFinalSizeFailsAndOnlyAShortFileIsKept) {
    fake.addFile("o/n", "w.bin", FakeFile{.content = "0123456789"});
    auto states = run("w.bin", 20);
    EXPECT_EQ(errorOf<DownloadError>(states.back()).kind(), DownloadError::Case::unexpectedError);
    EXPECT_EQ(readFile(partial()), "0123456789");

    std::filesystem::remove(partial());
    states = run("w.bin", 4);
    EXPECT_EQ(errorOf<DownloadError>(states.back()).kind(), DownloadError::Case::unexpectedError);
    EXPECT_FALSE(std::filesystem::exists(partial()));
    EXPECT_FALSE(std::filesystem::exists(destination()));
}

TEST_F(DownloaderTest, MoreBytesThanExpectedStopTheTransferBeforeAnyProgressBeyondTheWhole) {
    fake.addFile("o/n", "long.bin", FakeFile{.content = hubtest::makeContent(25 * MiB, 4)});
    const auto states = run("long.bin", MiB);
    EXPECT_EQ(errorOf<DownloadError>(states.back()).kind(), DownloadError::Case::unexpectedError);
    for (const double progress : progresses(states)) EXPECT_LE(progress, 1.0);
    EXPECT_FALSE(std::filesystem::exists(partial()));
    EXPECT_FALSE(std::filesystem::exists(destination()));
}

TEST_F(DownloaderTest, ContentThatDoesNotMatchTheExpectedHashIsDiscarded) {
    fake.addFile("o/n", "h.bin", FakeFile{.content = "tampered"});
    const auto states = run("h.bin", 8, 5, 10, hubtest::sha256("original"));
    EXPECT_EQ(errorOf<bexmor::EnvironmentError>(states.back()).kind(), bexmor::EnvironmentError::Case::fileIntegrityError);
    EXPECT_FALSE(std::filesystem::exists(partial()));
    EXPECT_FALSE(std::filesystem::exists(destination()));
}

TEST_F(DownloaderTest, AStallHitsTheIdleTimeoutAndTheRetryFinishes) {
    const std::string content = hubtest::makeContent(11 * MiB, 8);
    fake.addFile("o/n", "stall.bin",
                FakeFile{.content = content, .stallAfter = 10 * MiB + 5, .stallMilliseconds = 8000, .stallTimes = 1});
    const auto states = run("stall.bin", 11 * MiB, 5, 1);
    ASSERT_EQ(states.back().kind, Kind::completed);
    ASSERT_EQ(fake.requests().size(), 2u);
    EXPECT_EQ(fake.requests()[1].header("range"), "bytes=10485760-");
    EXPECT_TRUE(readFile(destination()) == content);
}

TEST_F(DownloaderTest, CancelAnnouncesAtOnceAndKeepsTheFlushedBytes) {
    const std::string content = hubtest::makeContent(30 * MiB, 9);
    // The server sends a little over 10 MiB, then goes quiet: the cancel lands mid-transfer.
    fake.addFile("o/n", "slow.bin", FakeFile{.content = content, .stallAfter = 10 * MiB + 100, .stallMilliseconds = 20000, .stallTimes = 1});
    std::ofstream(partial()).close();
    auto downloader = std::make_unique<Downloader>(destination(), partial(), false, Downloader::kFlushSize);
    downloader->setExpectedSize(30 * MiB);
    auto states = downloader->broadcaster().subscribe();
    downloader->setUpDownload(url("slow.bin"), std::nullopt, 0, std::nullopt, 10, 5);
    while (true) {
        auto state = states->next();
        if (state->kind == Kind::downloading && state->progress > 0) break;  // one flush is on disk
    }
    downloader->cancel();
    auto state = states->next();
    EXPECT_EQ(errorOf<UrlError>(*state).code(), UrlError::Code::cancelled);
    EXPECT_STREQ(errorOf<UrlError>(*state).what(), "cancelled");
    states.reset();
    downloader.reset();  // stops and joins the transfer
    const std::string kept = readFile(partial());
    EXPECT_GE(kept.size(), static_cast<size_t>(10 * MiB));
    EXPECT_EQ(kept.size() % (10 * MiB), 0u);
    EXPECT_TRUE(kept == content.substr(0, kept.size()));
    EXPECT_FALSE(std::filesystem::exists(destination()));
}

TEST_F(DownloaderTest, SubscribersGetTheCurrentStateFirst) {
    fake.addFile("o/n", "late.bin", FakeFile{.content = "late"});
    std::ofstream(partial()).close();
    Downloader downloader(destination(), partial(), false, Downloader::kFlushSize);
    EXPECT_EQ(downloader.broadcaster().subscribe()->next()->kind, Kind::notStarted);
    auto early = downloader.broadcaster().subscribe();
    downloader.setUpDownload(url("late.bin"), std::nullopt, 0, std::nullopt, 10, 5);
    while (early->next()->kind != Kind::completed) {
    }
    auto late = downloader.broadcaster().subscribe();
    EXPECT_EQ(late->next()->kind, Kind::completed);
}

TEST_F(DownloaderTest, AConnectFailureIsNotRetried) {
    std::string deadUrl;
    {
        testsupport::TestHttpServer gone([](const testsupport::HttpRequest&, testsupport::HttpResponder& r) { r.respond(200, {}, ""); });
        deadUrl = gone.baseUrl();
    }
    std::ofstream(partial()).close();
    Downloader downloader(destination(), partial(), false, Downloader::kFlushSize);
    auto states = downloader.broadcaster().subscribe();
    downloader.setUpDownload(deadUrl + "/x", std::nullopt, 0, std::nullopt, 10, 5);
    std::optional<Downloader::DownloadState> state;
    do state = states->next();
    while (state->kind != Kind::failed);
    EXPECT_EQ(errorOf<UrlError>(*state).code(), UrlError::Code::cannotConnect);
}

}  // namespace
