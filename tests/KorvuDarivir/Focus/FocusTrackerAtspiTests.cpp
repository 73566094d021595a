// The tracker over the real accessibility bus of the test session: a program of the test
// (a Qt window with a line edit, a password field and a spin box) is the frontmost
// application on the X display, and the tracker reports what its focus is in.
#include "Printers.h"

#include "KorvuDarivir/FocusTracker.h"
#include "Platform/Accessibility/AtspiAccessibility.h"
#include "Platform/UI/ScreenCoordinates.h"
#include "TestPaths.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

#include <unistd.h>

#include <deque>
#include <functional>

namespace {

using korvu::FocusedField;
using korvu::FocusTracker;
using Reports = std::vector<std::optional<FocusedField>>;

// Generous bounds: they only end a test that would otherwise hang.
constexpr auto kPatience = std::chrono::seconds(30);

// Runs the event loop until `condition` holds or `limit` has passed.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = kPatience)
{
    if (condition()) {
        return true;
    }
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (condition()) {
            loop.quit();
        }
    });
    poll.start(5);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    loop.exec();
    return condition();
}

// The test's target program, driven line by line.
class Target {
public:
    Target()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        environment.insert("QT_QPA_PLATFORM", "xcb");
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] {
            while (process_.canReadLine()) {
                lines_.push_back(QString::fromUtf8(process_.readLine()).trimmed());
            }
        });
        process_.start(QString(testsupport::kBinDir) + "/korvu-test-focus-target", {});
    }

    ~Target()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.write("quit\n");
            if (!process_.waitForFinished(5000)) {
                process_.kill();
                process_.waitForFinished(5000);
            }
        }
    }

    pid_t pid() const { return static_cast<pid_t>(process_.processId()); }
    void send(const QString& command) { process_.write((command + "\n").toUtf8()); }

    // The rectangle (Qt coordinates) of the next answer that starts with `word NAME`.
    std::optional<QRectF> await(const QString& word, const QString& name)
    {
        std::optional<QRectF> found;
        waitFor([&] {
            while (!lines_.empty()) {
                const QStringList words = lines_.front().split(' ');
                lines_.pop_front();
                if (words.size() == 6 && words[0] == word && words[1] == name) {
                    found = QRectF(words[2].toDouble(), words[3].toDouble(), words[4].toDouble(), words[5].toDouble());
                    return true;
                }
            }
            return process_.state() == QProcess::NotRunning;
        });
        return found;
    }

private:
    QProcess process_;
    std::deque<QString> lines_;
};

FocusedField fieldAt(pid_t pid, const QRectF& qtRect)
{
    return {pid, platform::ScreenCoordinates::fromQt(qtRect, FocusTracker::qtScreens().front().geometry)};
}

TEST(FocusTrackerAtspi, ReportsTheLineEditAndNothingForPasswordOrNumberFields)
{
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DISPLAY")) << "run inside scripts/with-test-session.sh";
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");

    Target target;
    const auto plain = target.await("ready", "plain");
    ASSERT_TRUE(plain) << "the target program did not start";

    // Time limits far above what the calls need: this test is about what is found, the
    // budget is tested on fake trees.
    auto accessibility = std::make_shared<platform::AtspiAccessibility>();
    ASSERT_TRUE(accessibility->isTrusted()) << "the accessibility bus is not reachable";
    FocusTracker tracker(FocusTracker::Environment{
        .accessibility = accessibility,
        .screens = &FocusTracker::qtScreens,
        .clock = [] { return std::chrono::steady_clock::now(); },
        .ownPID = ::getpid(),
        .tickBudget = std::chrono::seconds(10),
        .messagingTimeout = std::chrono::seconds(5),
    });
    Reports reports;
    tracker.onChange = [&](const std::optional<FocusedField>& field) { reports.push_back(field); };
    tracker.start();

    ASSERT_TRUE(waitFor([&] { return reports.size() >= 1; })) << "the line edit was never reported";
    EXPECT_EQ(reports.back(), fieldAt(target.pid(), *plain));

    // The password field: the field disappears, and the next report is the line edit again,
    // so nothing about the password field came in between.
    target.send("focus password");
    ASSERT_TRUE(target.await("focused", "password"));
    ASSERT_TRUE(waitFor([&] { return reports.size() >= 2; }));
    EXPECT_EQ(reports.back(), std::nullopt);
    target.send("focus plain");
    ASSERT_TRUE(target.await("focused", "plain"));
    ASSERT_TRUE(waitFor([&] { return reports.size() >= 3; }));
    EXPECT_EQ(reports.back(), fieldAt(target.pid(), *plain));

    // The spin box, likewise.
    target.send("focus spin");
    ASSERT_TRUE(target.await("focused", "spin"));
    ASSERT_TRUE(waitFor([&] { return reports.size() >= 4; }));
    EXPECT_EQ(reports.back(), std::nullopt);
    target.send("focus plain");
    ASSERT_TRUE(target.await("focused", "plain"));
    ASSERT_TRUE(waitFor([&] { return reports.size() >= 5; }));
    EXPECT_EQ(reports.back(), fieldAt(target.pid(), *plain));

    // The window moves: the field is reported at its new place.
    target.send("move 300 260");
    const auto moved = target.await("moved", "plain");
    ASSERT_TRUE(moved);
    ASSERT_NE(*moved, *plain);
    ASSERT_TRUE(waitFor([&] { return reports.size() >= 6; }));
    EXPECT_EQ(reports.back(), fieldAt(target.pid(), *moved));
    EXPECT_EQ(reports.size(), 6U);
}

}  // namespace
