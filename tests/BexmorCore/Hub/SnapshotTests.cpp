#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <sstream>

#include "BexmorCore/External/Hub/HubApi.h"
#include "HubTestFixture.h"

namespace {

using bexmor::EnvironmentError;
using bexmor::HubApi;
using bexmor::HubClientError;
using bexmor::Progress;
using hubtest::FakeFile;
using hubtest::NetworkProbe;
using hubtest::readFile;
using hubtest::writeFile;

struct Report {
    int64_t total;
    int64_t completed;
    double fraction;
    std::optional<double> throughput;
};

class Snapshot : public hubtest::HubTest {
protected:
    HubApi::ProgressHandler recorder() {
        return [this](const Progress& progress) {
            reports.push_back({progress.totalUnitCount(), progress.completedUnitCount(), progress.fractionCompleted(), progress.throughput()});
        };
    }
    std::vector<Report> reports;
};

TEST_F(Snapshot, AnEmptyListingReportsOnceAndReturnsTheFolder) {
    fake.addFile("o/n", "x", FakeFile{});
    fake.setListingBody("o/n", R"({"siblings":[]})");
    EXPECT_EQ(client().snapshot(repo, "main", {}, recorder()), repoFolder());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].total, 0);
    EXPECT_FALSE(std::filesystem::exists(repoFolder()));
}

TEST_F(Snapshot, CurrentFilesCostNoTransferAndReportOnceAtTheEnd) {
    for (const auto& name : {"a.bin", "b.bin"}) fake.addFile("o/n", name, FakeFile{.content = name});
    client().snapshot(repo);
    fake.clearRequests();
    client().snapshot(repo, "main", {}, recorder());
    EXPECT_EQ(fake.count("GET", "/resolve/"), 0);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_DOUBLE_EQ(reports[0].fraction, 1.0);
    EXPECT_EQ(reports[0].completed, 2);
}

TEST_F(Snapshot, ProgressCountsEachFileAsOneUnitAndKeepsTheLastSpeed) {
    fake.addFile("o/n", "big.bin", FakeFile{.content = hubtest::makeContent(21 * 1024 * 1024, 3)});
    fake.addFile("o/n", "small.bin", FakeFile{.content = "s"});
    client().snapshot(repo, "main", {}, recorder());
    // big.bin: 0, 10/21, 20/21 of a file; small.bin: 0; then the final report.
    ASSERT_EQ(reports.size(), 5u);
    EXPECT_DOUBLE_EQ(reports[0].fraction, 0.0);
    EXPECT_FALSE(reports[0].throughput.has_value());
    EXPECT_NEAR(reports[1].fraction, 0.47 / 2, 1e-9);  // trunc(100 * 10/21) = 47 units of 100
    EXPECT_TRUE(reports[1].throughput.has_value());
    EXPECT_NEAR(reports[2].fraction, 0.95 / 2, 1e-9);
    EXPECT_DOUBLE_EQ(reports[3].fraction, 0.5);
    EXPECT_EQ(reports[3].throughput, reports[2].throughput) << "a report without speed keeps the last one";
    EXPECT_DOUBLE_EQ(reports[4].fraction, 1.0);
}

TEST_F(Snapshot, FractionsBecomeUnitsSafely) {
    // The per-file handler is internal; its arithmetic is seen through a hand-made tree.
    Progress overall(1);
    auto file = overall.addChild(100, 1);
    file->setCompletedUnitCount(99);
    EXPECT_NEAR(overall.fractionCompleted(), 0.99, 1e-12);
    EXPECT_EQ(overall.completedUnitCount(), 0);
    file->setCompletedUnitCount(100);
    EXPECT_EQ(overall.completedUnitCount(), 1);
    EXPECT_DOUBLE_EQ(overall.fractionCompleted(), 1.0);

    EXPECT_EQ(Progress::completedUnits(0.999, 100), 99);
    EXPECT_EQ(Progress::completedUnits(1.0, 100), 100);
    EXPECT_EQ(Progress::completedUnits(-0.5, 100), 0);
    EXPECT_EQ(Progress::completedUnits(1e300, 100), 100);
    EXPECT_EQ(Progress::completedUnits(std::numeric_limits<double>::quiet_NaN(), 100), std::nullopt);
    EXPECT_EQ(Progress::completedUnits(std::numeric_limits<double>::infinity(), 100), std::nullopt);
}

TEST_F(Snapshot, AFailureAtTheSecondFileKeepsTheFirst) {
    fake.addFile("o/n", "one.bin", FakeFile{.content = "first"});
    fake.addFile("o/n", "two.bin", FakeFile{.content = "second", .status = 500});
    EXPECT_THROW(client().snapshot(repo, "main", {}, recorder()), HubClientError);
    EXPECT_EQ(readFile(repoFolder() / "one.bin"), "first");
    EXPECT_TRUE(std::filesystem::exists(recordsFolder() / "one.bin.metadata"));
    EXPECT_FALSE(std::filesystem::exists(repoFolder() / "two.bin"));
}

TEST_F(Snapshot, ForcedOnlineWithoutNetworkReachesTheListing) {
    const NetworkProbe disconnected(false);
    fake.setListingStatus(500);
    EXPECT_THROW(client(false).snapshot(repo), HubClientError);
    EXPECT_EQ(fake.requests().size(), 1u);
}

TEST_F(Snapshot, WithoutAnOfflineSettingTheMonitorDecides) {
    fake.addFile("o/n", "f.bin", FakeFile{.content = "f"});
    hubtest::Environment env;
    env.set("CI_DISABLE_NETWORK_MONITOR", nullptr);
    {
        const NetworkProbe disconnected(false);
        const HubApi undecided = client(std::nullopt);
        EXPECT_THROW(undecided.snapshot(repo), EnvironmentError);  // offline: nothing cached yet
        EXPECT_TRUE(fake.requests().empty());
        env.set("CI_DISABLE_NETWORK_MONITOR", "1");
        EXPECT_EQ(undecided.snapshot(repo), repoFolder());
        for (const char* other : {"true", "01", ""}) {
            env.set("CI_DISABLE_NETWORK_MONITOR", other);
            EXPECT_TRUE(bexmor::NetworkMonitor::shared().shouldUseOfflineMode()) << other;
        }
    }
    env.set("CI_DISABLE_NETWORK_MONITOR", nullptr);
    const NetworkProbe connected(true);
    EXPECT_FALSE(bexmor::NetworkMonitor::shared().shouldUseOfflineMode());
}

// --- offline validation ---

TEST_F(Snapshot, OfflineAcceptsAGoodCacheWithoutAnyRequest) {
    fake.addFile("o/n", "w.bin", FakeFile{.content = "weights"});
    fake.addFile("o/n", "c.json", FakeFile{.content = "{}", .etag = "blobid"});
    client().snapshot(repo);
    fake.clearRequests();
    EXPECT_EQ(client(true).snapshot(repo, "main", {}, recorder()), repoFolder());
    EXPECT_EQ(client(true).snapshot(repo, "main", {"*.json"}), repoFolder());
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_TRUE(reports.empty());
}

TEST_F(Snapshot, OfflineFailures) {
    auto offlineMessage = [&](const std::vector<std::string>& globs = {}) -> std::string {
        try {
            client(true).snapshot(repo, "main", globs);
        } catch (const EnvironmentError& error) {
            return error.what();
        }
        return "no error";
    };
    EXPECT_EQ(offlineMessage(), "Offline mode error: Repository not available locally");
    writeFile(repoFolder() / ".hidden", "x");
    writeFile(recordsFolder() / "a.bin.metadata", "c\ne\n1.0\n");
    EXPECT_EQ(offlineMessage(), "Offline mode error: No files available locally for this repository");

    writeFile(repoFolder() / "a.bin", "content");
    EXPECT_EQ(offlineMessage({"*.json"}), "Offline mode error: No files matching the requested patterns are available locally");
    writeFile(repoFolder() / "b.bin", "no record");
    EXPECT_EQ(offlineMessage({"b*"}), "Offline mode error: Metadata not available for b.bin");
    writeFile(recordsFolder() / "b.bin.metadata", "corrupt");
    EXPECT_EQ(offlineMessage({"b*"}), "Offline mode error: Metadata not available for b.bin");
    EXPECT_FALSE(std::filesystem::exists(recordsFolder() / "b.bin.metadata"));

    writeFile(recordsFolder() / "b.bin.metadata", "c\n" + hubtest::sha256("other content") + "\n1.0\n");
    try {
        client(true).snapshot(repo, "main", {"b*"});
        FAIL();
    } catch (const EnvironmentError& error) {
        EXPECT_EQ(error.kind(), EnvironmentError::Case::fileIntegrityError);
        EXPECT_STREQ(error.what(), "File integrity check failed: Hash mismatch for b.bin");
    }
    // The same digest in upper case is no SHA-256 etag: no content check.
    std::string upper = hubtest::sha256("other content");
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    writeFile(recordsFolder() / "b.bin.metadata", "c\n" + upper + "\n1.0\n");
    EXPECT_EQ(offlineMessage({"b*"}), "no error");
}

TEST_F(Snapshot, OfflineSymlinksLeavingTheRepository) {
    writeFile(base.path() / "outside.bin", "outside");
    writeFile(repoFolder() / "a.bin", "a");
    writeFile(recordsFolder() / "a.bin.metadata", "c\ne\n1.0\n");
    std::filesystem::create_symlink(base.path() / "outside.bin", repoFolder() / "link.bin");
    EXPECT_EQ(client(true).snapshot(repo, "main", {"*.bin"}), repoFolder());
    try {
        client(true).snapshot(repo);
        FAIL();
    } catch (const EnvironmentError& error) {
        EXPECT_STREQ(error.what(), "Offline mode error: Metadata not available for link.bin");
    }
}

TEST_F(Snapshot, AStopDuringATransferCancelsAndALaterSnapshotFinishes) {
    fake.addFile("o/n", "a.bin", FakeFile{.content = "a"});
    fake.addFile("o/n", "b.bin", FakeFile{.content = "b"});
    std::stop_source stop;
    try {
        client().snapshot(repo, "main", {}, [&](const Progress&) { stop.request_stop(); }, stop.get_token());
        FAIL();
    } catch (const bexmor::UrlError& error) {
        EXPECT_EQ(error.code(), bexmor::UrlError::Code::cancelled);
    }
    EXPECT_FALSE(std::filesystem::exists(recordsFolder() / "a.bin.metadata"));
    EXPECT_FALSE(std::filesystem::exists(repoFolder() / "b.bin"));
    client().snapshot(repo);
    EXPECT_EQ(readFile(repoFolder() / "a.bin"), "a");
    EXPECT_EQ(readFile(repoFolder() / "b.bin"), "b");
}

}  // namespace
