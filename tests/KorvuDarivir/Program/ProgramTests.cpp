#include "TrayWatcher.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

#include "TestPaths.h"
#include "support/TempDir.h"

namespace {

QString program()
{
    return QString::fromLatin1(testsupport::kBinDir) + "/korvu-darivir";
}

// The session's environment with the real X display instead of the offscreen platform.
QProcessEnvironment onTheDisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    environment.remove("OMP_WAIT_POLICY");
    return environment;
}

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

Outcome run(const QStringList& arguments, int timeoutMs = 60000)
{
    QProcess process;
    process.setProcessEnvironment(onTheDisplay());
    process.start(program(), arguments);
    process.waitForFinished(timeoutMs);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

template <typename Predicate>
bool eventually(Predicate done, int timeoutMs = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    }
    return true;
}

// True when a mapped window whose title contains `title` exists on the display.
bool windowShown(const QString& title)
{
    QProcess search;
    search.start("xdotool", {"search", "--onlyvisible", "--name", title});
    search.waitForFinished(10000);
    return search.exitCode() == 0 && !search.readAllStandardOutput().trimmed().isEmpty();
}

QJsonObject storedSettings()
{
    QFile file(qEnvironmentVariable("XDG_CONFIG_HOME") + "/KORVU Darivir/settings.json");
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QJsonDocument::fromJson(file.readAll()).object();
}

TEST(ProgramTest, RendersTheIconSetOrSaysTheSvgIsUnreadable)
{
    const testsupport::TempDir temp;
    const QString folder = QString::fromStdString((temp / "set").string());
    const Outcome rendered = run({"--render-icon", folder, QString(testsupport::kSourceDir) + "/resources/korvu-darivir.svg", "ignored"});
    EXPECT_EQ(rendered.status, 0) << rendered.err.toStdString();
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 10);

    const QString missing = QString::fromStdString((temp / "fehlt.svg").string());
    const QString never = QString::fromStdString((temp / "never").string());
    const Outcome unreadable = run({"--render-icon", never, missing});
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_EQ(unreadable.err, "SVG nicht lesbar: " + missing + "\n");
    EXPECT_FALSE(QFile::exists(never));
}

// A user's first start and a day with it: the onboarding opens, a word arrives from the
// command line, a second start shows the settings, and the end of the session ends the
// application with its settings and history intact.
TEST(ProgramTest, RunsOnceShowsItsWindowsTakesWordsAndEndsOnSigterm)
{
    const QString support = qEnvironmentVariable("XDG_DATA_HOME") + "/KORVU Darivir";
    const QString modelFolder = support + "/Models/models/bexmorinc/vocarion-coreml/openai_darivir-large-v3-v20240930_turbo_632MB";
    QDir().mkpath(QFileInfo(modelFolder).path());
    QProcess tool;
    tool.start(QString::fromLatin1(testsupport::kBinDir) + "/darivir-model", {"tiny", "--out", modelFolder});
    ASSERT_TRUE(tool.waitForFinished(120000));
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    const QByteArray history = R"([{"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","date":786362400,"appName":"Kate","text":"Hallo Welt"}])";
    {
        QFile file(support + "/Verlauf.json");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(history);
    }

    EXPECT_EQ(run({"--add-word", "Zyxwort"}).status, 1) << "no application runs yet";

    TrayWatcher tray;
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerObject("/StatusNotifierWatcher", &tray,
                                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties
                                       | QDBusConnection::ExportAllSignals));
    ASSERT_TRUE(bus.registerService("org.kde.StatusNotifierWatcher"));

    QProcess app;
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.setProcessEnvironment(onTheDisplay());
    app.start(program(), {});
    ASSERT_TRUE(app.waitForStarted());
    EXPECT_TRUE(eventually([&] { return !tray.items().isEmpty(); })) << "the status item shows in the tray";
    QFile environ(QStringLiteral("/proc/%1/environ").arg(app.processId()));
    ASSERT_TRUE(environ.open(QIODevice::ReadOnly));
    EXPECT_TRUE(environ.readAll().split('\0').contains("OMP_WAIT_POLICY=passive"))
        << "the OpenMP runtime is loaded with passive waits";
    EXPECT_TRUE(eventually([] { return windowShown("KORVU Darivir – Willkommen"); })) << "first start opens the onboarding";

    EXPECT_TRUE(eventually([] { return storedSettings().value("modelPrepared").toBool(); }, 120000))
        << "the model folder in place is loaded at start";

    const Outcome added = run({"--add-word", "Zyxwort"});
    EXPECT_EQ(added.status, 0) << added.err.toStdString();
    EXPECT_TRUE(eventually([] { return storedSettings().value("vocabulary").toArray().contains("Zyxwort"); }));

    EXPECT_FALSE(windowShown("KORVU Darivir – Einstellungen"));
    const Outcome second = run({});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(app.state(), QProcess::Running) << "the second start leaves the first running";
    EXPECT_TRUE(eventually([] { return windowShown("KORVU Darivir – Einstellungen"); })) << "and shows its settings";

    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(30000)) << "SIGTERM ends the application";
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_TRUE(storedSettings().value("vocabulary").toArray().contains("Zyxwort"));
    QFile kept(support + "/Verlauf.json");
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(kept.readAll()), QJsonDocument::fromJson(history));
    EXPECT_EQ(run({"--add-word", "Zweitwort"}).status, 1) << "nobody answers once it has ended";
    bus.unregisterService("org.kde.StatusNotifierWatcher");
    bus.unregisterObject("/StatusNotifierWatcher");
}

}  // namespace
