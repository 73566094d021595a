#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace korvu {

class UpdateWindow;

// One version offered by the update feed.
struct AppcastItem {
    QString version;  // the version shown to users, as compared with ours
    QString notes;    // release notes as plain text
    QUrl download;    // where to get it (http or https only); may be empty
};

// The outcome of one update check.
struct UpdateResult {
    enum class Kind { checking, upToDate, updateAvailable, failed, noFeed };
    Kind kind = Kind::checking;
    QString currentVersion;
    AppcastItem item;  // the newest version (updateAvailable)
    QString message;   // what went wrong (failed)
};

// The application's update check. It reads an appcast (an RSS feed with one item per
// version) from the address the build names, compares the newest version with ours and
// shows the result in a window of its own. Installing is the package manager's: this
// checker never installs or relaunches, so `onWillRelaunch` never fires here; the hook
// stays so that the quit decision treats a relaunch like any requested quit.
//
// Manual checks show their progress, result and errors. Automatic checks run on a
// schedule while the switch is on and show the window only when a newer version exists.
// The network request is asynchronous (QNetworkAccessManager); the main thread never
// waits. Main thread only.
class Updater : public QObject {
    Q_OBJECT
public:
    struct Options {
        QUrl feed;                 // empty: updates come through the package manager
        QString currentVersion;    // empty: the application's version
        std::chrono::milliseconds firstCheckDelay{std::chrono::minutes(1)};
        std::chrono::milliseconds checkInterval{std::chrono::hours(24)};
    };

    // The user-defaults key of the automatic-check switch (on when never set).
    static constexpr const char* automaticChecksKey = "automaticallyChecksForUpdates";
    // Feeds larger than this are refused, not read into memory.
    static constexpr qint64 maxFeedBytes = 2 * 1024 * 1024;

    // The application's one updater, over the build's feed address; made on first use,
    // not started.
    static Updater& shared();

    explicit Updater(Options options, QObject* parent = nullptr);
    ~Updater() override;

    // Runs before a relaunch after an update; see above.
    std::function<void()> onWillRelaunch;

    // Starts the automatic checks (while the switch is on). Later calls change nothing.
    void start();
    bool isStarted() const { return started_; }

    // Brings the update window to the front and checks now.
    void checkForUpdates();

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool enabled);

    // The window while it exists (made by the first check that shows it).
    UpdateWindow* window() const;
    const UpdateResult& lastResult() const { return result_; }
    bool hasFeed() const { return !options_.feed.isEmpty(); }

    // The newest item of an appcast; none when the feed is no well-formed RSS or names
    // no version.
    static std::optional<AppcastItem> newestItem(const QByteArray& feed);
    // <0, 0, >0 as `a` is older, the same or newer than `b`. Numbers compare as numbers
    // ("1.10" > "1.9"), missing trailing zeros do not count ("1.2" == "1.2.0"), and a
    // suffix after the numbers marks a pre-release ("1.2b1" < "1.2").
    static int compareVersions(const QString& a, const QString& b);

signals:
    // A check ended (also the immediate answer of a build without feed).
    void checkFinished(const korvu::UpdateResult& result);

private:
    void check(bool automatic);
    void finish(QNetworkReply* reply, bool automatic);
    void publish(const UpdateResult& result, bool showWindow);
    void showWindow();
    void updateSchedule();
    QString currentVersion() const;

    Options options_;
    bool started_ = false;
    bool scheduledOnce_ = false;
    QTimer schedule_;
    QNetworkAccessManager* network_ = nullptr;
    QPointer<QNetworkReply> pending_;
    bool pendingIsManual_ = false;
    QPointer<UpdateWindow> window_;
    UpdateResult result_;
};

}  // namespace korvu
