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
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <memory>

#include <sys/stat.h>
#include <xcb/xcb.h>

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

Outcome run(const QStringList& arguments, const QString& executable = program,
            const QProcessEnvironment& environment = onTheDisplay())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(executable, arguments);
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardError()), QString::fromUtf8(process.readAllStandardOutput())};
}

// "--help" and "--version" answer by themselves: no display, no session bus needed.
void expectHelpAndVersion(const QProcessEnvironment& environment)
{
    const Outcome help = run({"--help"}, program, environment);
    EXPECT_EQ(help.status, 0) << help.err.toStdString();
    EXPECT_EQ(help.err, "");
    EXPECT_TRUE(help.out.startsWith("Aufruf: korvu-darivir")) << help.out.toStdString();
    for (const char* usage : {"  korvu-darivir    ", "  korvu-darivir --add-word TEXT ", "  korvu-darivir --render-icon ORDNER SVG ",
                              "zeigt diese Hilfe", "zeigt die Version"}) {
        EXPECT_TRUE(help.out.contains(usage)) << usage;
    }
    const Outcome version = run({"--version"}, program, environment);
    EXPECT_EQ(version.status, 0) << version.err.toStdString();
    EXPECT_TRUE(version.out.contains(QRegularExpression("^KORVU Darivir \\d+\\.\\d+\\.\\d+\n$"))) << version.out.toStdString();
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

// True when the window titled `title` is minimised as X tells it: it asked to be (its
// hints say iconic, which is what a window manager acts on), or a window manager made it
// so (WM_STATE iconic, or hidden in _NET_WM_STATE).
bool windowMinimised(const QString& title)
{
    const QString id = run({"search", "--name", title}, "xdotool").out.section('\n', 0, 0).trimmed();
    if (id.isEmpty()) return false;
    const QString state = run({"-id", id, "WM_HINTS", "WM_STATE", "_NET_WM_STATE"}, "xprop").out;
    return state.contains("Iconic State") || state.contains("window state: Iconic") || state.contains("_NET_WM_STATE_HIDDEN");
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

TEST(ProgramTest, HelpAndVersionNeedNoDesktop)
{
    QProcessEnvironment bare = onTheDisplay();
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "LANG", "LC_ALL"}) bare.remove(variable);
    expectHelpAndVersion(bare);
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

    // Asking for help or the version leaves the running application alone: its settings
    // stay closed (checked below, once the word sent after them has arrived).
    expectHelpAndVersion(onTheDisplay());
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

// Every window the X server maps from its making on, by name, in the order of mapping.
// The server queues the notices, so a hint that shows for a moment is never missed, however
// slowly the test comes round to look.
class MappedWindows {
public:
    MappedWindows() : connection_(xcb_connect(nullptr, nullptr))
    {
        if (xcb_connection_has_error(connection_) != 0) {
            return;
        }
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        ok_ = xcb_request_check(connection_, xcb_change_window_attributes_checked(connection_, root, XCB_CW_EVENT_MASK, &mask)) == nullptr;
        name_ = atom("_NET_WM_NAME");
        utf8_ = atom("UTF8_STRING");
    }
    ~MappedWindows() { xcb_disconnect(connection_); }
    MappedWindows(const MappedWindows&) = delete;
    MappedWindows& operator=(const MappedWindows&) = delete;

    bool ok() const { return ok_; }

    // The names of the windows mapped since the last call, as they are named now.
    QStringList take()
    {
        QStringList names;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            if ((event->response_type & 0x7F) == XCB_MAP_NOTIFY) {
                names.append(nameOf(reinterpret_cast<xcb_map_notify_event_t*>(event)->window));
            }
            std::free(event);
        }
        return names;
    }

    // Waits for a window whose name starts with `marker`; gives the names mapped before it.
    std::optional<QStringList> namesBefore(const QString& marker)
    {
        QStringList seen;
        const bool found = testsupport::spinUntil([&] {
            seen += take();
            return std::any_of(seen.begin(), seen.end(), [&](const QString& name) { return name.startsWith(marker); });
        });
        if (!found) {
            return std::nullopt;
        }
        return seen.mid(0, seen.indexOf(QRegularExpression("^" + QRegularExpression::escape(marker))));
    }

private:
    xcb_atom_t atom(const char* name)
    {
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr),
            &std::free);
        return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }

    QString nameOf(xcb_window_t window)
    {
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(connection_, xcb_get_property(connection_, 0, window, name_, utf8_, 0, 1024), nullptr),
            &std::free);
        if (!reply) {
            return {};
        }
        return QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply.get())),
                                 xcb_get_property_value_length(reply.get()));
    }

    xcb_connection_t* connection_;
    bool ok_ = false;
    xcb_atom_t name_ = XCB_ATOM_NONE;
    xcb_atom_t utf8_ = XCB_ATOM_NONE;
};

// A user of the program in folders of the test's own under `root`, who has not started it
// before.
QProcessEnvironment newUserIn(const QString& root)
{
    QProcessEnvironment environment = onTheDisplay();
    environment.insert("HOME", root);
    environment.insert("XDG_CONFIG_HOME", root + "/config");
    environment.insert("XDG_DATA_HOME", root + "/data");
    environment.insert("XDG_CACHE_HOME", root + "/cache");
    return environment;
}

// One start of the program: the names of the windows mapped before the hint of `word`
// added from the command line, which comes after everything the start itself shows.
std::optional<QStringList> namesShownAtStart(const QProcessEnvironment& environment, const QString& word)
{
    MappedWindows windows;
    EXPECT_TRUE(windows.ok());
    QProcess app;
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.setProcessEnvironment(environment);
    app.start(program, {});
    EXPECT_TRUE(app.waitForStarted());
    const auto addWord = [&] {
        QProcess client;
        client.setProcessEnvironment(environment);
        client.start(program, {"--add-word", word});
        return client.waitForFinished(120000) && client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0;
    };
    EXPECT_TRUE(testsupport::spinUntil(addWord)) << "the running application takes words";
    std::optional<QStringList> before = windows.namesBefore("Zum Wörterbuch hinzugefügt – „" + word + "“");
    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    EXPECT_TRUE(app.waitForFinished(30000));
    return before;
}

// The hints about damaged files among the names of windows.
QStringList damagedFileNotices(const QStringList& names) { return names.filter(QRegularExpression("^Beschädigte")); }

// A user's damaged files across four starts, in folders of the test's own: a history that
// does not parse, a vocabulary with an item that is no text, nothing, a settings file cut
// short. Each start sets the damaged file aside with its content, names it once in a hint,
// and the words the user adds join what was readable; a start with nothing damaged says
// nothing.
TEST(ProgramTest, SaysOnceWhichDamagedFileItSetAsideAndLosesNothing)
{
    const testsupport::TempDir home;
    const QString root = QString::fromStdString(home.path().string());
    const QProcessEnvironment environment = newUserIn(root);
    const QString config = root + "/config/KORVU Darivir";
    const QString support = root + "/data/KORVU Darivir";
    ASSERT_TRUE(QDir().mkpath(support));
    const QByteArray history = R"([{"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","date":786362400,"appName":"Kate"}])";
    QFile file(support + "/Verlauf.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(history) == history.size());
    file.close();

    const auto start = [&](const QString& word) { return namesShownAtStart(environment, word); };
    const auto notices = damagedFileNotices;
    const auto vocabulary = [&] {
        return QJsonDocument::fromJson(fileContents(config + "/settings.json")).object().value("vocabulary");
    };

    const std::optional<QStringList> first = start("Eins");
    ASSERT_TRUE(first);
    EXPECT_EQ(notices(*first), QStringList{"Beschädigte Datei beiseitegelegt – Aufbewahrt als ~/data/KORVU Darivir/Verlauf.json.defekt"});
    EXPECT_EQ(fileContents(support + "/Verlauf.json.defekt"), history);
    struct stat folder {};
    ASSERT_EQ(::stat(QFile::encodeName(config).constData(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u) << "the settings folder is the user's alone";

    QJsonObject settings = QJsonDocument::fromJson(fileContents(config + "/settings.json")).object();
    settings["vocabulary"] = QJsonArray{"Alpha", "Beta", 42};
    QFile settingsFile(config + "/settings.json");
    ASSERT_TRUE(settingsFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
    settingsFile.write(QJsonDocument(settings).toJson());
    settingsFile.close();
    const std::optional<QStringList> second = start("Gamma");
    ASSERT_TRUE(second);
    EXPECT_EQ(notices(*second), QStringList{"Beschädigte Datei beiseitegelegt – Aufbewahrt als ~/config/KORVU Darivir/vocabulary.json.defekt"});
    EXPECT_EQ(vocabulary(), (QJsonArray{"Alpha", "Beta", "Gamma"}));
    EXPECT_EQ(QJsonDocument::fromJson(fileContents(config + "/vocabulary.json.defekt")).object().value("vocabulary"),
              (QJsonArray{"Alpha", "Beta", 42}));

    const std::optional<QStringList> third = start("Delta");
    ASSERT_TRUE(third);
    EXPECT_EQ(notices(*third), QStringList{}) << "what was set aside is said once";
    EXPECT_EQ(vocabulary(), (QJsonArray{"Alpha", "Beta", "Gamma", "Delta"}));
    EXPECT_TRUE(QFile::exists(support + "/Verlauf.json.defekt"));
    EXPECT_FALSE(QFile::exists(config + "/vocabulary.json.defekt.1"));

    // A settings file cut off in the middle.
    const QByteArray cut = fileContents(config + "/settings.json").chopped(5);
    ASSERT_TRUE(settingsFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
    settingsFile.write(cut);
    settingsFile.close();
    const std::optional<QStringList> fourth = start("Epsilon");
    ASSERT_TRUE(fourth);
    EXPECT_EQ(notices(*fourth), QStringList{"Beschädigte Datei beiseitegelegt – Aufbewahrt als ~/config/KORVU Darivir/settings.json.defekt"});
    EXPECT_EQ(fileContents(config + "/settings.json.defekt"), cut);
    EXPECT_EQ(vocabulary(), QJsonArray{"Epsilon"});
}

// Something else than a file where the settings or the history belong: a named pipe, which
// a plain open waits on for good, or a link to /dev/zero, which never ends. The program
// starts as always and takes words, sets the thing aside as it is and says so. The
// temporary files that interrupted settings writes left are gone after the start; a file of
// the user's with a name alike stays.
TEST(ProgramTest, StartsWithWhateverStandsInPlaceOfItsFilesAndSetsItAside)
{
    struct Case {
        const char* what;
        const char* file;  // below the user's home
        bool link;         // a link to /dev/zero, else a named pipe
    };
    const Case cases[] = {
        {"a named pipe as the settings", "config/KORVU Darivir/settings.json", false},
        {"a link to /dev/zero as the settings", "config/KORVU Darivir/settings.json", true},
        {"a named pipe as the history", "data/KORVU Darivir/Verlauf.json", false},
        {"a link to /dev/zero as the history", "data/KORVU Darivir/Verlauf.json", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const testsupport::TempDir home;
        const QString root = QString::fromStdString(home.path().string());
        const QString config = root + "/config/KORVU Darivir";
        ASSERT_TRUE(QDir().mkpath(config) && QDir().mkpath(root + "/data/KORVU Darivir"));
        const QString file = root + "/" + c.file;
        if (c.link) {
            ASSERT_TRUE(QFile::link("/dev/zero", file));
        } else {
            ASSERT_EQ(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        }
        for (const char* name : {"/.settings.json.AbC123", "/.settings.json.notiz"}) {
            QFile written(config + name);
            ASSERT_TRUE(written.open(QIODevice::WriteOnly) && written.write("{\"half") == 6);
        }

        const std::optional<QStringList> shown = namesShownAtStart(newUserIn(root), "Eins");
        ASSERT_TRUE(shown) << "the program never took the word";
        EXPECT_EQ(damagedFileNotices(*shown),
                  QStringList{QString("Beschädigte Datei beiseitegelegt – Aufbewahrt als ~/") + c.file + ".defekt"});
        struct stat aside {};
        ASSERT_EQ(::lstat(QFile::encodeName(file + ".defekt").constData(), &aside), 0);
        EXPECT_TRUE(c.link ? S_ISLNK(aside.st_mode) : S_ISFIFO(aside.st_mode)) << "moved as it was";
        if (c.link) {
            EXPECT_EQ(QFile::symLinkTarget(file + ".defekt"), "/dev/zero");
        }
        EXPECT_TRUE(QFileInfo(config + "/settings.json").isFile());
        EXPECT_EQ(QJsonDocument::fromJson(fileContents(config + "/settings.json")).object().value("vocabulary"),
                  QJsonArray{"Eins"});
        EXPECT_FALSE(QFile::exists(config + "/.settings.json.AbC123")) << "the leftover of an interrupted write";
        EXPECT_EQ(fileContents(config + "/.settings.json.notiz"), "{\"half");
    }
}

// "--add-word" never says a word was added that is not on disk: a settings file in the
// way, a read-only configuration folder and a full disk each give status 1 and the reason,
// also when the same word is sent again; a blank word never reaches the application.
// The read-only folder and the full disk are real mounts in a mount namespace of the
// application's own (a read-only folder's mode would not stop a test run as root).
TEST(ProgramTest, AWordThatCannotBeStoredIsNeverReportedAsAdded)
{
    using testsupport::spinUntil;
    std::optional<QString> mountsMissing;
    {
        // The mounts the cases need, tried once in a folder of their own.
        const testsupport::TempDir probe;
        const QString folder = QString::fromStdString(probe.path().string());
        const Outcome mounts = run({"-rm", "sh", "-c",
                                    R"(mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && umount "$1" &&
                                       mount -t tmpfs -o size=64k tmpfs "$1")",
                                    "sh", folder},
                                   "unshare");
        if (mounts.status != 0) mountsMissing = mounts.err;
    }
    // The script runs in the new namespace with the configuration folder as $1 and the
    // program as $2; it puts the obstacle in place, then becomes the program.
    struct Case {
        const char* what;
        const char* script;  // empty: the program itself, and the obstacle is put in while it runs
        const char* reason;
        bool clearable;
    };
    const Case cases[] = {
        {"a folder in place of settings.json", "", "liegt etwas anderes", true},
        {"a read-only configuration folder",
         R"(mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && exec "$2")", "ist schreibgeschützt", false},
        {"a full disk",
         R"(cp "$1/settings.json" /tmp/korvu-settings.$$ && mount -t tmpfs -o size=64k tmpfs "$1" &&
            mv /tmp/korvu-settings.$$ "$1/settings.json" && (dd if=/dev/zero of="$1/fill" bs=1k 2>/dev/null; true) &&
            exec "$2")",
         "Datenträger ist voll", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (mountsMissing && std::strlen(c.script) != 0) continue;
        ReturningUser user;
        const QString config = user.environment.value("XDG_CONFIG_HOME") + "/KORVU Darivir";
        const QString file = config + "/settings.json";
        const QByteArray atStart = fileContents(file);
        const auto addWord = [&](const QString& word) { return run({"--add-word", word}, program, user.environment); };

        user.app.setProcessChannelMode(QProcess::ForwardedChannels);
        user.app.setProcessEnvironment(user.environment);
        if (std::strlen(c.script) == 0) {
            user.app.start(program, {});
        } else {
            user.app.start("unshare", {"-rm", "sh", "-c", c.script, "sh", config, program});
        }
        ASSERT_TRUE(user.app.waitForStarted());
        Outcome blank;
        ASSERT_TRUE(spinUntil([&] {
            blank = addWord("Probe");
            return !blank.err.contains("läuft nicht");
        })) << blank.err.toStdString();
        const QByteArray beforeObstacle = fileContents(file);
        if (std::strlen(c.script) == 0) {
            ASSERT_TRUE(QFile::rename(file, file + ".kept"));
            ASSERT_TRUE(QDir().mkpath(file + "/inhalt"));
        }
        for (const QString& missing : {QString("  "), QString("\t")}) {
            const Outcome outcome = run({"--add-word", missing == "\t" ? QString("\t ") : missing}, program, user.environment);
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.err, "Nach --add-word fehlt das Wort.\n");
        }
        const Outcome noWord = run({"--add-word"}, program, user.environment);
        EXPECT_EQ(std::pair(noWord.status, noWord.err), std::pair(1, QString("Nach --add-word fehlt das Wort.\n")));

        for (int attempt = 0; attempt < 2; ++attempt) {
            SCOPED_TRACE(attempt == 0 ? "first attempt" : "the same word again");
            const Outcome refused = addWord("Nachher");
            EXPECT_EQ(refused.status, 1);
            EXPECT_TRUE(refused.err.startsWith("Nicht ins Wörterbuch geschrieben: „Nachher“ ist nicht gespeichert.")
                        && refused.err.contains(c.reason))
                << refused.err.toStdString();
            EXPECT_FALSE(refused.err.contains("hinzugefügt")) << refused.err.toStdString();
        }
        if (c.clearable) {
            ASSERT_TRUE(QDir(file).removeRecursively());
            ASSERT_TRUE(QFile::rename(file + ".kept", file));
            EXPECT_EQ(fileContents(file), beforeObstacle);
            const Outcome added = addWord("Nachher");
            EXPECT_EQ(added.status, 0) << added.err.toStdString();
            EXPECT_TRUE(QJsonDocument::fromJson(fileContents(file)).object().value("vocabulary").toArray().contains("Nachher"))
                << "the next try stores it";
        } else {
            EXPECT_EQ(fileContents(file), atStart) << "nothing reached the folder outside";
        }
        ::kill(static_cast<pid_t>(user.app.processId()), SIGTERM);
        EXPECT_TRUE(user.app.waitForFinished(30000));
    }
    if (mountsMissing) {
        GTEST_SKIP() << "only the folder in the way was tried: no user and mount namespaces with bind and tmpfs "
                        "mounts here, so no real read-only folder or full disk: "
                     << mountsMissing->toStdString();
    }
}

// The session the program tests run in is the same on every machine: its bus starts the
// accessibility bus and the settings store that keeps its flag, and nothing else, whatever
// services the machine has installed (a desktop's notification daemon would otherwise
// answer in place of the one the tests play or expect to be absent). The keyring runs,
// started by the session itself.
TEST(ProgramTest, TheSessionBusStartsOnlyTheSessionsOwnServices)
{
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    const QDBusReply<QStringList> activatable = bus->activatableServiceNames();
    ASSERT_TRUE(activatable.isValid());
    // The accessibility bus and the settings store that keeps its flag (where installed).
    const QStringList provided{"org.freedesktop.DBus", "org.a11y.Bus", "ca.desrt.dconf"};
    for (const QString& name : activatable.value()) {
        EXPECT_TRUE(provided.contains(name)) << "the session bus can start " << name.toStdString();
    }
    EXPECT_TRUE(activatable.value().contains("org.a11y.Bus"));
    EXPECT_TRUE(bus->isServiceRegistered("org.freedesktop.secrets").value());
    EXPECT_TRUE(bus->isServiceRegistered("org.a11y.Bus").value()) << "activated by the session before any test";
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
        << "the session bus would start a notification server on demand; the test session provides none";
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

// A minimised settings window comes back whole when the user asks for the settings again,
// by starting the program again or from the tray's menu.
TEST(ProgramTest, AMinimisedSettingsWindowComesBackWhenAskedForAgain)
{
    using testsupport::spinUntil;
    const testsupport::OnTheBus<testsupport::StatusNotifierWatcher> watcher;
    ASSERT_TRUE(watcher.registered());
    ReturningUser user;
    user.start();
    ASSERT_TRUE(spinUntil([&] { return !watcher->items().isEmpty(); })) << "the item never registered";
    const QString item = watcher->items().front();
    const auto back = [] { return windowShown(settingsTitle) && !windowMinimised(settingsTitle); };

    EXPECT_EQ(user.startAgain(), 0);
    ASSERT_TRUE(spinUntil(back)) << "the second start shows the settings";
    ASSERT_TRUE(pressUntil(settingsTitle, "ctrl+m", [] { return windowMinimised(settingsTitle); })) << "Strg+M minimises";
    EXPECT_EQ(user.startAgain(), 0);
    EXPECT_TRUE(spinUntil(back)) << "another start brings the minimised settings back";

    ASSERT_TRUE(pressUntil(settingsTitle, "ctrl+m", [] { return windowMinimised(settingsTitle); }));
    ASSERT_TRUE(testsupport::clickExportedItem(item, "Einstellungen …"));
    EXPECT_TRUE(spinUntil(back)) << "the tray menu's \"Einstellungen …\" brings them back";
    EXPECT_TRUE(user.running());
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
