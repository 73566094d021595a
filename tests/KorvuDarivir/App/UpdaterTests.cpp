#include "KorvuDarivir/App/UpdateWindow.h"
#include "KorvuDarivir/App/Updater.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "support/TestHttpServer.h"

namespace korvu {
namespace {

TEST(UpdaterTest, ComparesVersionsAsNumbersWithPreReleasesFirst)
{
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    const Case cases[] = {
        {"1.10", "1.9", 1}, {"1.2", "1.2.0", 0}, {"0.1.0", "0.1.1", -1}, {"2", "1.99.99", 1},
        {"1.2b1", "1.2", -1}, {"1.2b2", "1.2b1", 1}, {"1.0.1", "1.0b", 1}, {"v1.3", "1.3", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(Updater::compareVersions(c.a, c.b), c.order);
        EXPECT_EQ(Updater::compareVersions(c.b, c.a), -c.order);
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
        QString version;
    };
    const std::string newer = feedWith(item("1.4.0", "Schneller", "https://example.invalid/1.4.tar.gz")
                                       + item("1.10.0", "Neu &amp; besser", "https://example.invalid/1.10.tar.gz")
                                       + item("0.9", "Alt", "file:///etc/passwd"));
    const std::string same = feedWith(item("1.2.0", "Gleich", "https://example.invalid/a"));
    const std::string older = feedWith(item("1.1.9", "Alt", "https://example.invalid/a"));
    const std::vector<Case> cases = {
        {"newer", newer, false, Kind::updateAvailable, true, "1.10.0"},
        {"same", same, false, Kind::upToDate, true, {}},
        {"older", older, false, Kind::upToDate, true, {}},
        {"malformed", "<rss><channel><item><title>kaputt", false, Kind::failed, true, {}},
        {"no rss", "<html>Nicht gefunden</html>", false, Kind::failed, true, {}},
        {"unreachable", "", false, Kind::failed, true, {}},
        {"scheduled newer", newer, true, Kind::updateAvailable, true, "1.10.0"},
        {"scheduled same", same, true, Kind::upToDate, false, {}},
        {"scheduled unreachable", "", true, Kind::failed, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::UserDefaults::standard().removeAllStoredValues();
        auto server = std::make_unique<testsupport::TestHttpServer>(
            [body = c.body](const testsupport::HttpRequest&, testsupport::HttpResponder& responder) {
                responder.respond(200, {{"Content-Type", "application/rss+xml"}}, body);
            });
        const QUrl feed(QString::fromStdString(server->baseUrl() + "/appcast.xml"));
        if (c.body.empty()) {
            server.reset();  // nobody listens at that port any more
        }
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
        QElapsedTimer clock;
        clock.start();
        while (finished == 0 && clock.elapsed() < 30000) {
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        ASSERT_EQ(finished, 1);
        const UpdateResult result = updater.lastResult();
        EXPECT_EQ(result.kind, c.kind);
        EXPECT_EQ(updater.window() != nullptr && updater.window()->isVisible(), c.windowShown);
        if (c.kind == Kind::updateAvailable) {
            EXPECT_EQ(result.item.version, c.version);
            EXPECT_EQ(result.item.notes, "Neu & besser");
            EXPECT_EQ(result.item.download, QUrl("https://example.invalid/1.10.tar.gz"));
            EXPECT_TRUE(updater.window()->headline().contains("1.10.0"));
            EXPECT_EQ(updater.window()->downloadUrl(), result.item.download);
        }
        if (c.kind == Kind::failed) {
            EXPECT_FALSE(result.message.isEmpty());
            if (updater.window()) {
                EXPECT_EQ(updater.window()->detail(), result.message);
            }
        }
        if (updater.window()) {
            EXPECT_FALSE(updater.window()->isBusy());
        }
    }
}

TEST(UpdaterTest, WithoutAFeedPointsToThePackageManagerAndNeverSchedules)
{
    platform::UserDefaults::standard().removeAllStoredValues();
    Updater updater({});
    EXPECT_TRUE(updater.automaticallyChecksForUpdates());
    updater.setAutomaticallyChecksForUpdates(false);
    EXPECT_FALSE(updater.automaticallyChecksForUpdates());
    EXPECT_FALSE(Updater({}).automaticallyChecksForUpdates()) << "the switch is stored, not kept in the object";
    bool relaunched = false;
    updater.onWillRelaunch = [&] { relaunched = true; };
    updater.start();
    updater.checkForUpdates();
    ASSERT_NE(updater.window(), nullptr);
    EXPECT_EQ(updater.lastResult().kind, UpdateResult::Kind::noFeed);
    EXPECT_EQ(updater.window()->headline(), "Updates kommen über die Paketverwaltung.");
    EXPECT_FALSE(relaunched);
}

}  // namespace
}  // namespace korvu
