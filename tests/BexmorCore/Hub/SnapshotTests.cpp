// Whole repositories: online through the facade the app uses, offline from the cache.
#include <gtest/gtest.h>

#include <limits>

#include "BexmorCore/HubWrapper.h"
#include "HubTestFixture.h"

namespace {

using bexmor::EnvironmentError;
using bexmor::HubApi;
using bexmor::Progress;
using hubtest::FakeFile;
using hubtest::NetworkProbe;
using hubtest::readFile;
using hubtest::writeFile;
namespace fs = std::filesystem;

struct Report {
    double fraction;
    std::optional<double> throughput;
};

class Snapshot : public hubtest::HubTest {
protected:
    HubApi::ProgressHandler recorder() {
        return [this](const Progress& progress) { reports.push_back({progress.fractionCompleted(), progress.throughput()}); };
    }
    std::vector<Report> reports;
};

TEST_F(Snapshot, DownloadsARepositoryIntoTheCacheLayoutWithProgressThenFindsItCurrent) {
    const NetworkProbe connected(true);  // the facade leaves offline mode to the monitor
    const std::string repoId = "bexmorinc/vocarion-coreml";
    const std::string big = hubtest::makeContent(21 * hubtest::MiB, 1);
    const std::string config = R"({"model_type": "darivir"})";
    const std::string tokenizer = hubtest::makeContent(3000, 2);
    fake.addFile(repoId, "config.json", FakeFile{.content = config});
    fake.addFile(repoId, "variant/AudioEncoder.bin", FakeFile{.content = big});
    // A git blob id as etag: no content check, but a valid record.
    fake.addFile(repoId, "variant/tokenizer.bin",
                 FakeFile{.content = tokenizer, .etag = std::string(40, 'b'), .etagHeader = "ETag", .sizeHeader = "Content-Length"});
    const bexmor::HubApiWrapper facade(base.path(), std::string("secret"), fake.endpoint(), false);
    const bexmor::HubApiWrapper::Repo repo{repoId, bexmor::HubApiWrapper::RepoType::models};

    const auto folder = facade.snapshot(repo, "main", {}, recorder());

    EXPECT_EQ(folder, base.path() / "models/bexmorinc/vocarion-coreml");
    EXPECT_EQ(folder, facade.localRepoLocation(repo));
    EXPECT_EQ(readFile(folder / "config.json"), config);
    EXPECT_TRUE(readFile(folder / "variant/AudioEncoder.bin") == big);
    EXPECT_EQ(readFile(folder / "variant/tokenizer.bin"), tokenizer);
    const auto records = folder / ".cache/modelhub/download";
    EXPECT_TRUE(readFile(records / "variant/AudioEncoder.bin.metadata").starts_with(std::string(40, 'c') + "\n" + hubtest::sha256(big) + "\n"));
    EXPECT_TRUE(readFile(records / "variant/tokenizer.bin.metadata").starts_with(std::string(40, 'c') + "\n" + std::string(40, 'b') + "\n"));
    for (const auto& entry : fs::recursive_directory_iterator(records)) EXPECT_FALSE(entry.path().string().ends_with(".incomplete"));
    for (const auto& request : fake.requests()) EXPECT_EQ(request.header("authorization"), "Bearer secret") << request.target;

    // Each file is one unit of three; the big one reports per flush, in whole hundredths:
    // config 0, big 0, 10/21 and 20/21 of it, tokenizer 0, then the end.
    const std::vector<double> fractions{0, 1.0 / 3, 1.47 / 3, 1.95 / 3, 2.0 / 3, 1};
    ASSERT_EQ(reports.size(), fractions.size());
    for (size_t i = 0; i < fractions.size(); ++i) EXPECT_NEAR(reports[i].fraction, fractions[i], 1e-9) << i;
    EXPECT_EQ(reports[4].throughput, reports[3].throughput) << "a report without speed keeps the last one";

    // Current files cost a HEAD each and report once, at the end.
    fake.clearRequests();
    reports.clear();
    facade.snapshot(repo, "main", {}, recorder());
    EXPECT_EQ(fake.count("GET", "/resolve/"), 0);
    EXPECT_EQ(fake.count("HEAD", "/resolve/"), 3);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_DOUBLE_EQ(reports[0].fraction, 1.0);
}

TEST_F(Snapshot, AnEmptyListingReportsOnceAndWritesNothing) {
    fake.addFile("o/n", "x", FakeFile{});
    fake.setListingBody("o/n", R"({"siblings":[]})");
    EXPECT_EQ(client().snapshot(repo, "main", {}, recorder()), repoFolder());
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_FALSE(fs::exists(repoFolder()));
}

TEST(ProgressUnits, FractionsBecomeWholeUnitsWithinTheTotal) {
    const std::pair<double, std::optional<int64_t>> cases[] = {
        {0.999, 99}, {1.0, 100}, {-0.5, 0}, {1e300, 100},
        {std::numeric_limits<double>::quiet_NaN(), std::nullopt}, {std::numeric_limits<double>::infinity(), std::nullopt}};
    for (const auto& [fraction, units] : cases) EXPECT_EQ(Progress::completedUnits(fraction, 100), units) << fraction;
}

TEST_F(Snapshot, AFailureAtTheSecondFileKeepsTheFirst) {
    fake.addFile("o/n", "one.bin", FakeFile{.content = "first"});
    fake.addFile("o/n", "two.bin", FakeFile{.content = "second", .status = 500});
    EXPECT_THROW(client().snapshot(repo), bexmor::HubClientError);
    EXPECT_EQ(readFile(repoFolder() / "one.bin"), "first");
    EXPECT_TRUE(fs::exists(recordsFolder() / "one.bin.metadata"));
    EXPECT_FALSE(fs::exists(repoFolder() / "two.bin"));
}

TEST_F(Snapshot, AStopDuringATransferCancelsAndALaterSnapshotFinishes) {
    fake.addFile("o/n", "a.bin", FakeFile{.content = "a"});
    fake.addFile("o/n", "b.bin", FakeFile{.content = "b"});
    std::stop_source stop;
    const auto error = hubtest::capture<bexmor::UrlError>(
        [&] { client().snapshot(repo, "main", {}, [&](const Progress&) { stop.request_stop(); }, stop.get_token()); });
    EXPECT_EQ(error.code(), bexmor::UrlError::Code::cancelled);
    EXPECT_FALSE(fs::exists(recordsFolder() / "a.bin.metadata"));
    EXPECT_FALSE(fs::exists(repoFolder() / "b.bin"));
    client().snapshot(repo);
    EXPECT_EQ(readFile(repoFolder() / "a.bin"), "a");
    EXPECT_EQ(readFile(repoFolder() / "b.bin"), "b");
}

TEST_F(Snapshot, OfflineModeIsGivenOrLeftToTheMonitor) {
    fake.addFile("o/n", "f.bin", FakeFile{.content = "f"});
    hubtest::Environment env;
    env.set("CI_DISABLE_NETWORK_MONITOR", nullptr);
    {
        const NetworkProbe disconnected(false);
        fake.failListings(500, 1);
        EXPECT_THROW(client(false).snapshot(repo), bexmor::HubClientError) << "forced online asks the hub";
        EXPECT_EQ(fake.requests().size(), 1u);
        fake.clearRequests();
        const HubApi undecided = client(std::nullopt);
        EXPECT_THROW(undecided.snapshot(repo), EnvironmentError);  // offline, and nothing cached yet
        EXPECT_TRUE(fake.requests().empty());
        env.set("CI_DISABLE_NETWORK_MONITOR", "1");
        EXPECT_EQ(undecided.snapshot(repo), repoFolder());
        env.set("CI_DISABLE_NETWORK_MONITOR", "true");
        EXPECT_TRUE(bexmor::NetworkMonitor::shared().shouldUseOfflineMode());
    }
    env.set("CI_DISABLE_NETWORK_MONITOR", nullptr);
    const NetworkProbe connected(true);
    EXPECT_FALSE(bexmor::NetworkMonitor::shared().shouldUseOfflineMode());
}

TEST_F(Snapshot, OfflineAcceptsAGoodCacheWithoutAnyRequestAndNamesEachFault) {
    fake.addFile("o/n", "w.bin", FakeFile{.content = "weights"});
    fake.addFile("o/n", "c.json", FakeFile{.content = "{}", .etag = "blobid"});
    client().snapshot(repo);
    fake.clearRequests();
    EXPECT_EQ(client(true).snapshot(repo, "main", {}, recorder()), repoFolder());
    EXPECT_EQ(client(true).snapshot(repo, "main", {"*.json"}), repoFolder());
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_TRUE(reports.empty());

    const auto offline = [&](std::vector<std::string> globs) {
        return hubtest::messageOf<EnvironmentError>([&] { client(true).snapshot(repo, "main", globs); });
    };
    fs::remove_all(repoFolder());
    EXPECT_EQ(offline({}), "Offline mode error: Repository not available locally");
    writeFile(repoFolder() / ".hidden", "x");
    writeFile(recordsFolder() / "a.bin.metadata", "c\ne\n1.0\n");
    EXPECT_EQ(offline({}), "Offline mode error: No files available locally for this repository");
    writeFile(repoFolder() / "a.bin", "content");
    EXPECT_EQ(offline({"*.json"}), "Offline mode error: No files matching the requested patterns are available locally");
    writeFile(repoFolder() / "b.bin", "no record");
    EXPECT_EQ(offline({"b*"}), "Offline mode error: Metadata not available for b.bin");
    writeFile(recordsFolder() / "b.bin.metadata", "corrupt");
    EXPECT_EQ(offline({"b*"}), "Offline mode error: Metadata not available for b.bin");
    EXPECT_FALSE(fs::exists(recordsFolder() / "b.bin.metadata"));
    const std::string digest = hubtest::sha256("other content");
    writeFile(recordsFolder() / "b.bin.metadata", "c\n" + digest + "\n1.0\n");
    EXPECT_EQ(offline({"b*"}), "File integrity check failed: Hash mismatch for b.bin");
    std::string upper = digest;  // the same digest in upper case is no SHA-256 etag: no content check
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    writeFile(recordsFolder() / "b.bin.metadata", "c\n" + upper + "\n1.0\n");
    EXPECT_EQ(offline({"b*"}), "no error");

    // A link out of the repository is no cached file.
    writeFile(base.path() / "outside.bin", "outside");
    fs::create_symlink(base.path() / "outside.bin", repoFolder() / "link.bin");
    EXPECT_EQ(offline({"*.bin"}), "no error");
    EXPECT_EQ(offline({}), "Offline mode error: Metadata not available for link.bin");
}

}  // namespace
