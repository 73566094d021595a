#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>

#include "TestPaths.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

namespace {

const QString program = QString(testsupport::kBinDir) + "/korvu-darivir";

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
    QString err;
};

Outcome run(const QStringList& arguments, const QString& executable = program)
{
    QProcess process;
    process.setProcessEnvironment(onTheDisplay());
    process.start(executable, arguments);
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardError()};
}

// True when a mapped window whose title contains `title` exists on the display.
bool windowShown(const QString& title) { return run({"search", "--onlyvisible", "--name", title}, "xdotool").status == 0; }

QByteArray fileContents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject storedSettings()
{
    return QJsonDocument::fromJson(fileContents(qEnvironmentVariable("XDG_CONFIG_HOME") + "/KORVU Darivir/settings.json")).object();
}

bool vocabularyHas(const QString& word) { return storedSettings().value("vocabulary").toArray().contains(word); }

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
    using testsupport::spinUntil;
    const QString support = qEnvironmentVariable("XDG_DATA_HOME") + "/KORVU Darivir";
    const QString modelFolder = support + "/Models/models/bexmorinc/vocarion-coreml/darivir-large-v3-v20240930_turbo_632MB";
    QDir().mkpath(QFileInfo(modelFolder).path());
    const Outcome model = run({"tiny", "--out", modelFolder}, QString(testsupport::kBinDir) + "/darivir-model");
    ASSERT_EQ(model.status, 0) << model.err.toStdString();
    const QByteArray history = R"([{"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","date":786362400,"appName":"Kate","text":"Hallo Welt"}])";
    QFile file(support + "/Verlauf.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(history) == history.size() && file.flush());

    EXPECT_EQ(run({"--add-word", "Zyxwort"}).status, 1) << "no application runs yet";

    QProcess app;
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.setProcessEnvironment(onTheDisplay());
    app.start(program, {});
    ASSERT_TRUE(app.waitForStarted());
    EXPECT_TRUE(spinUntil([] { return windowShown("KORVU Darivir – Willkommen"); })) << "first start opens the onboarding";
    EXPECT_TRUE(spinUntil([] { return storedSettings().value("modelPrepared").toBool(); }))
        << "the model folder in place is loaded at start";

    const Outcome added = run({"--add-word", "Zyxwort"});
    EXPECT_EQ(added.status, 0) << added.err.toStdString();
    EXPECT_TRUE(spinUntil([] { return vocabularyHas("Zyxwort"); }));

    EXPECT_FALSE(windowShown("KORVU Darivir – Einstellungen"));
    EXPECT_EQ(run({}).status, 0);
    EXPECT_EQ(app.state(), QProcess::Running) << "the second start leaves the first running";
    EXPECT_TRUE(spinUntil([] { return windowShown("KORVU Darivir – Einstellungen"); })) << "and shows its settings";

    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(30000)) << "SIGTERM ends the application";
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_TRUE(vocabularyHas("Zyxwort"));
    EXPECT_EQ(QJsonDocument::fromJson(fileContents(support + "/Verlauf.json")), QJsonDocument::fromJson(history));
    EXPECT_EQ(run({"--add-word", "Zweitwort"}).status, 1) << "nobody answers once it has ended";
}

}  // namespace
