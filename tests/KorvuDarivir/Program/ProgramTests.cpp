// The accessibility client first: Qt's keyword macros must not reach the GLib headers.
#include "AtspiTree.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include "TestPaths.h"
#include "support/DesktopBus.h"
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
    QString out;
};

Outcome run(const QStringList& arguments, const QString& executable = program)
{
    QProcess process;
    process.setProcessEnvironment(onTheDisplay());
    process.start(executable, arguments);
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardError(),
            process.readAllStandardOutput()};
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

// True when a window whose title contains `title` exists, mapped or not (a minimised one).
bool windowExists(const QString& title) { return run({"search", "--name", title}, "xdotool").status == 0; }

// True when the window titled `title` asked to be minimised (iconic), which is what a
// window manager acts on.
bool windowMinimised(const QString& title)
{
    const QString id = run({"search", "--name", title}, "xdotool").out.section('\n', 0, 0).trimmed();
    return !id.isEmpty() && run({"-id", id, "WM_HINTS"}, "xprop").out.contains("Iconic State");
}

// Presses `keys` in the window titled `title`, as a user who clicked into it first, until
// `done` holds: a window takes keys only once it knows it has the focus, a moment after
// it was given, so the keys are pressed again when nothing happened.
bool pressUntil(const QString& title, const QString& keys, const std::function<bool()>& done)
{
    return testsupport::spinUntil([&] {
        run({"search", "--onlyvisible", "--name", title, "windowfocus", "--sync"}, "xdotool");
        // A call of its own, bound to no window: chained to the window, xdotool fails on the
        // window that the keys just closed and leaves the keys down, where the server's
        // auto-repeat goes on pressing them into whatever window comes next.
        run({"key", keys}, "xdotool");
        return testsupport::spinUntil(done, std::chrono::seconds(5));
    });
}

// A user who finished the onboarding before, in folders of the test's own, offline: the
// model address refuses, so no model is downloaded or used.
struct ReturningUser {
    testsupport::TempDir home;
    QProcessEnvironment environment = onTheDisplay();
    QProcess app;

    ReturningUser()
    {
        const QString config = QString::fromStdString((home / "config").string());
        environment.insert("XDG_CONFIG_HOME", config);
        environment.insert("XDG_DATA_HOME", QString::fromStdString((home / "data").string()));
        environment.insert("HF_ENDPOINT", "http://127.0.0.1:9");
        environment.insert("HUB_ENDPOINT", "http://127.0.0.1:9");
        QDir().mkpath(config + "/KORVU Darivir");
        QFile settings(config + "/KORVU Darivir/settings.json");
        const QByteArray onboarded = R"({"onboardingCompleted": true})";
        EXPECT_TRUE(settings.open(QIODevice::WriteOnly) && settings.write(onboarded) == onboarded.size());
    }
    ~ReturningUser()
    {
        if (app.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
            app.waitForFinished(30000);
        }
    }
    void start()
    {
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.setProcessEnvironment(environment);
        app.start(program, {});
        ASSERT_TRUE(app.waitForStarted());
    }
    // A second start, which asks the running one to show its settings.
    int startAgain()
    {
        QProcess second;
        second.setProcessEnvironment(environment);
        second.start(program, {});
        second.waitForFinished(120000);
        return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
    }
    bool running() const { return app.state() == QProcess::Running; }
};

const QString settingsTitle = QStringLiteral("KORVU Darivir – Einstellungen");

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
    const QString modelFolder = support + "/Models/models/bexmorinc/vocarion-coreml/openai_darivir-large-v3-v20240930_turbo_632MB";
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

// A desktop with neither a tray nor a notification server: the settings open at the
// start, and closing them keeps them, minimised; the application never runs out of
// sight.
TEST(ProgramTest, WithoutATrayOrNotificationsTheSettingsStayInReach)
{
    using testsupport::spinUntil;
    // A notification daemon installed on the machine would be started by the bus on demand.
    const QDBusReply<QStringList> activatable = QDBusConnection::sessionBus().interface()->activatableServiceNames();
    ASSERT_FALSE(activatable.value().contains(testsupport::NotificationServer::service))
        << "this machine's session bus starts a notification server on demand; the test needs a desktop without one";
    ReturningUser user;
    user.start();
    ASSERT_TRUE(spinUntil([] { return windowShown(settingsTitle); })) << "without a tray the settings open at the start";
    EXPECT_FALSE(windowMinimised(settingsTitle));
    EXPECT_TRUE(pressUntil(settingsTitle, "ctrl+w", [] { return windowMinimised(settingsTitle); }));
    EXPECT_TRUE(windowExists(settingsTitle));
    EXPECT_TRUE(user.running());
    // The window that stays never holds up the end of the session.
    ::kill(static_cast<pid_t>(user.app.processId()), SIGTERM);
    EXPECT_TRUE(user.app.waitForFinished(30000)) << "SIGTERM ends the application";
}

// A desktop without a tray but with a notification server: the window closes, and the
// application says once that it runs on; starting it again brings the settings back.
TEST(ProgramTest, WithoutATrayANotificationSaysItRunsOn)
{
    using testsupport::spinUntil;
    const testsupport::OnTheBus<testsupport::NotificationServer> server;
    ASSERT_TRUE(server.registered());
    ReturningUser user;
    user.start();
    ASSERT_TRUE(spinUntil([] { return windowShown(settingsTitle); }));
    ASSERT_TRUE(pressUntil(settingsTitle, "ctrl+w", [] { return !windowExists(settingsTitle); })) << "the window closes";
    ASSERT_TRUE(spinUntil([&] { return server->shown().size() == 1; })) << "no notification came";
    EXPECT_EQ(server->shown().front().summary, QStringLiteral("KORVU Darivir läuft weiter"));
    EXPECT_TRUE(server->shown().front().body.contains(QStringLiteral("Starte KORVU Darivir erneut")));
    EXPECT_TRUE(user.running());

    EXPECT_EQ(user.startAgain(), 0);
    EXPECT_TRUE(spinUntil([] { return windowShown(settingsTitle); })) << "a second start brings the settings back";
    EXPECT_EQ(server->shown().size(), 1);
    ::kill(static_cast<pid_t>(user.app.processId()), SIGTERM);
    EXPECT_TRUE(user.app.waitForFinished(30000)) << "SIGTERM ends the application";
}

// A desktop with a tray that speaks D-Bus: no window at the start, the item registers, a
// host reads its menu and chooses "Einstellungen …" in it, and closing the settings
// leaves the item as the way back.
TEST(ProgramTest, WithATrayTheItemsMenuIsReadAndChosenOverDBus)
{
    using testsupport::spinUntil;
    const testsupport::OnTheBus<testsupport::StatusNotifierWatcher> watcher;
    ASSERT_TRUE(watcher.registered());
    const testsupport::OnTheBus<testsupport::NotificationServer> server;
    ReturningUser user;
    user.start();
    ASSERT_TRUE(spinUntil([&] { return !watcher->items().isEmpty(); })) << "the item never registered";
    const QString item = watcher->items().front();
    EXPECT_FALSE(windowExists(settingsTitle)) << "with a tray the application starts in it";

    // Offline, loading the model fails, and the menu offers to load it again.
    QStringList rows;
    EXPECT_TRUE(spinUntil([&] {
        rows = testsupport::exportedMenuRows(item);
        return rows.contains("Sprachmodell erneut laden");
    })) << rows.join('\n').toStdString();
    ASSERT_GE(rows.size(), 3);
    EXPECT_TRUE(rows[0].endsWith(" (off)") && rows[1].endsWith(" (off)")) << "the header's two rows";
    for (const char* entry : {"Diktat starten (off)", "Aufnahme abbrechen (off)", "Letzte Diktate", "Einstellungen …",
                              "Nach Updates suchen …", "KORVU Darivir beenden"}) {
        EXPECT_TRUE(rows.contains(entry)) << entry;
    }

    ASSERT_TRUE(testsupport::clickExportedItem(item, "Einstellungen …"));
    ASSERT_TRUE(spinUntil([] { return windowShown(settingsTitle); })) << "the host's choice opens the settings";
    EXPECT_TRUE(pressUntil(settingsTitle, "ctrl+w", [] { return !windowExists(settingsTitle); }));
    EXPECT_TRUE(user.running());
    EXPECT_TRUE(server->shown().isEmpty()) << "the tray is the way back; nothing to tell";

    ASSERT_TRUE(testsupport::clickExportedItem(item, "KORVU Darivir beenden"));
    EXPECT_TRUE(user.app.waitForFinished(30000)) << "the menu's quit ends the application";
}

QString take(gchar* text)
{
    const QString result = QString::fromUtf8(text != nullptr ? text : "");
    g_free(text);
    return result;
}

// The role and name of every control below `node`, as a screen reader lists them.
void listControls(AtspiAccessible* node, QStringList& controls, int depth = 0)
{
    const AtspiRole role = atspi_accessible_get_role(node, nullptr);
    if (role == ATSPI_ROLE_CHECK_BOX || role == ATSPI_ROLE_TOGGLE_BUTTON || role == ATSPI_ROLE_PUSH_BUTTON) {
        controls << take(atspi_accessible_get_role_name(node, nullptr)) + ": " + take(atspi_accessible_get_name(node, nullptr));
    }
    const int count = depth < 30 ? atspi_accessible_get_child_count(node, nullptr) : 0;
    for (int i = 0; i < count; ++i) {
        x11test::Accessible child(atspi_accessible_get_child_at_index(node, i, nullptr));
        if (child) listControls(child.get(), controls, depth + 1);
    }
}

// A screen reader in the settings hears every switch and button by its visible label,
// never by the setting it stores.
TEST(ProgramTest, ScreenReadersHearTheSettingsControlsByTheirLabels)
{
    using testsupport::spinUntil;
    ASSERT_GE(atspi_init(), 0);
    ReturningUser user;
    user.environment.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    user.start();
    ASSERT_TRUE(spinUntil([] { return windowShown(settingsTitle); }));
    QStringList controls;
    ASSERT_TRUE(spinUntil([&] {
        controls.clear();
        // The application's own node: the first one the search meets.
        x11test::Accessible application =
            x11test::findInApplication(user.app.processId(), [](AtspiAccessible*) { return true; });
        if (application) listControls(application.get(), controls);
        return controls.size() >= 4;
    }, std::chrono::seconds(30))) << "the settings' controls never reached the accessibility bus: "
                                   << controls.join('\n').toStdString();
    for (const char* label : {"Gedrückt halten zum Sprechen", "Schwebenden Knopf am Textfeld zeigen", "Knopf verschiebbar"}) {
        EXPECT_TRUE(controls.contains(QStringLiteral("check box: ") + label)) << label << "\n" << controls.join('\n').toStdString();
    }
    EXPECT_TRUE(controls.contains(QStringLiteral("push button: Position zurücksetzen"))) << controls.join('\n').toStdString();
    for (const QString& control : controls) {
        EXPECT_FALSE(control.endsWith(": ")) << "a control without a name";
        for (const char* key : {"holdToTalk", "showFloatingButton", "movableButton", "cleanupEnabled", "historyEnabled"}) {
            EXPECT_FALSE(control.contains(key)) << control.toStdString();
        }
    }
}

}  // namespace
