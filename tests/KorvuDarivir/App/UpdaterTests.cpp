#include "KorvuDarivir/App/UpdateWindow.h"
#include "KorvuDarivir/App/Updater.h"
#include "Platform/Defaults/UserDefaults.h"


#include <gtest/gtest.h>

#include "support/QtWait.h"
#include "support/TestHttpServer.h"

namespace korvu {
namespace {

TEST(UpdaterTest, ComparesVersionsAsNumbersWithPreReleasesFirst)
{
    const std::tuple<const char*, const char*, int> cases[] = {
        {"1.10", "1.9", 1}, {"1.2", "1.2.0", 0}, {"0.1.0", "0.1.1", -1}, {"2", "1.99.99", 1},
        {"1.2b1", "1.2", -1}, {"1.2b2", "1.2b1", 1}, {"1.0.1", "1.0b", 1}, {"v1.3", "1.3", 0},
    };
    for (const auto& [a, b, order] : cases) {
        EXPECT_EQ(Updater::compareVersions(a, b), order) << a << " vs " << b;
        EXPECT_EQ(Updater::compareVersions(b, a), -order) << b << " vs " << a;
    }
}

std::string feedWith(const std::string& items)
{
    return R"(<?xml version="1.0" encoding="utf-8"?>)"
           R"(<rss version="2.0" xmlns:sparkle="urn:test:sparkle"><channel><title>KORVU Darivir</title>)"
           + items + "</channel></rss>";
}

std::string item(const std::string& version, const std::string& notes, const std::string& url)
{
    return "<item><title>Version " + version + "</title><sparkle:version>99</sparkle:version>"
           + "<sparkle:shortVersionString>" + version + "</sparkle:shortVersionString>"
           + "<description><![CDATA[<p>" + notes + "</p>]]></description>" + R"(<enclosure url=")" + url
           + R"(" length="1" type="application/octet-stream"/></item>)";
}

// One check of a loopback feed, manual or scheduled; what the user ends up seeing.
TEST(UpdaterTest, ChecksTheFeedAndShowsWhatItFound)
{
    using Kind = UpdateResult::Kind;
    struct Case {
        const char* name;
        std::string body;  // empty: the server is gone before the check
        bool automatic;
        Kind kind;
        bool windowShown;
    };
    const std::string newer = feedWith(item("1.4.0", "Schneller", "https://example.invalid/1.4.tar.gz")
                                       + item("1.10.0", "Neu &amp; besser", "https://example.invalid/1.10.tar.gz")
                                       + item("0.9", "Alt", "file:///etc/passwd"));
    const std::string same = feedWith(item("1.2.0", "Gleich", "https://example.invalid/a"));
    const std::string older = feedWith(item("1.1.9", "Alt", "https://example.invalid/a"));
    const std::vector<Case> cases = {
        {"newer", newer, false, Kind::updateAvailable, true},
        {"same", same, false, Kind::upToDate, true},
        {"older", older, false, Kind::upToDate, true},
        {"malformed", "<rss><channel><item><title>kaputt", false, Kind::failed, true},
        {"no rss", "<html>Nicht gefunden</html>", false, Kind::failed, true},
        {"unreachable", "", false, Kind::failed, true},
        {"too large to read", feedWith(std::string(3 << 20, ' ')), false, Kind::failed, true},
        {"scheduled newer", newer, true, Kind::updateAvailable, true},
        {"scheduled same", same, true, Kind::upToDate, false},
        {"scheduled unreachable", "", true, Kind::failed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::UserDefaults::standard().removeAllStoredValues();
        auto server = std::make_unique<testsupport::TestHttpServer>(
            [body = c.body](const testsupport::HttpRequest&, testsupport::HttpResponder& responder) {
                responder.respond(200, {{"Content-Type", "application/rss+xml"}}, body);
            });
        const QUrl feed(QString::fromStdString(server->baseUrl() + "/appcast.xml"));
        if (c.body.empty()) server.reset();  // nobody listens at that port any more
        Updater updater({.feed = feed, .currentVersion = "1.2", .firstCheckDelay = std::chrono::milliseconds(0)});
        int finished = 0;
        QObject::connect(&updater, &Updater::checkFinished, [&finished] { ++finished; });
        if (c.automatic) {
            updater.start();
        } else {
            updater.checkForUpdates();
            ASSERT_NE(updater.window(), nullptr);
            EXPECT_TRUE(updater.window()->isBusy()) << "a manual check shows its progress";
        }
        ASSERT_TRUE(testsupport::spinUntil([&] { return finished > 0; }));
        const UpdateResult result = updater.lastResult();
        EXPECT_EQ(result.kind, c.kind);
        const UpdateWindow* window = updater.window();
        EXPECT_EQ(window && window->isVisible(), c.windowShown);
        EXPECT_FALSE(window && window->isBusy());
        if (c.kind == Kind::updateAvailable) {
            EXPECT_EQ(result.item.version, "1.10.0");
            EXPECT_EQ(result.item.notes, "Neu & besser");
            EXPECT_EQ(result.item.download, QUrl("https://example.invalid/1.10.tar.gz"));
            EXPECT_TRUE(window->headline().contains("1.10.0"));
        }
        if (c.kind == Kind::failed) {
            EXPECT_FALSE(result.message.isEmpty());
            if (window) { EXPECT_EQ(window->detail(), result.message); }
        }
    }
}

TEST(UpdaterTest, WithoutAFeedPointsToThePackageManagerAndNeverSchedules)
{
    platform::UserDefaults::standard().removeAllStoredValues();
    Updater updater({});
    updater.setAutomaticallyChecksForUpdates(false);
    EXPECT_FALSE(Updater({}).automaticallyChecksForUpdates()) << "the switch is stored, not kept in the object";
    updater.start();
    updater.checkForUpdates();
    ASSERT_NE(updater.window(), nullptr);
    EXPECT_EQ(updater.lastResult().kind, UpdateResult::Kind::noFeed);
    EXPECT_EQ(updater.window()->headline(), "Updates kommen über die Paketverwaltung.");
}

}  // namespace
}  // namespace korvu
