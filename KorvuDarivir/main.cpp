// The program: renders the icon set with "--render-icon FOLDER SVG", prints its usage or
// version with "--help" or "--version", hands a word to the running application with
// "--add-word TEXT", and otherwise starts the application (or, when it already runs, asks
// the running one to show its settings).
#include "KorvuDarivir/App/AppDelegate.h"
#include "KorvuDarivir/App/CommandLine.h"
#include "KorvuDarivir/App/IconRenderer.h"
#include "KorvuDarivir/App/QtTranslations.h"
#include "KorvuDarivir/App/SingleInstance.h"
#include "KorvuDarivir/Dictation/VocabularyCapture.h"
#include "KorvuDarivir/Store/BuildSettings.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>

#include <cstdio>

namespace {

QStringList argumentsOf(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return arguments;
}

void print(const QString& text, std::FILE* stream)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}

void printError(const QString& message) { print(message + QLatin1Char('\n'), stderr); }

}  // namespace

int main(int argc, char** argv)
{
    const QStringList arguments = argumentsOf(argc, argv);
    if (const auto request = korvu::IconRenderer::request(arguments)) {
        // Rendering needs no display, and its standard error carries only its own message.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        QGuiApplication renderer(argc, argv);
        return korvu::IconRenderer::render(request->folder, request->svg) ? 0 : 1;
    }
    if (const auto information = korvu::CommandLine::informationRequest(arguments)) {
        // Answered before any Qt application exists: no display, no session bus, and a
        // running instance is never asked anything.
        print(korvu::CommandLine::text(*information), stdout);
        return 0;
    }
    if (const auto word = korvu::SingleInstance::addWordArgument(arguments)) {
        QCoreApplication client(argc, argv);
        const QString error = korvu::SingleInstance::addWord(*word);
        if (!error.isEmpty()) {
            printError(error);
            return 1;
        }
        return 0;
    }
    // An X11 program, also in a Wayland session (on Xwayland): as a Wayland client it would
    // lose its global shortcuts, the focused field and the paste. A platform the user set
    // explicitly still wins.
    const bool pinned = qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (pinned) {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            printError(QStringLiteral("KORVU Darivir braucht eine grafische Sitzung (X11); DISPLAY ist nicht gesetzt."));
            return 1;
        }
        qputenv("QT_QPA_PLATFORM", "xcb");
    }

    QApplication app(argc, argv);
    if (pinned) {
        // Programs started from here (the desktop's settings) choose their own platform.
        qunsetenv("QT_QPA_PLATFORM");
    }
    QApplication::setApplicationName(QStringLiteral("KORVU Darivir"));
    QApplication::setApplicationVersion(QString::fromLatin1(korvu::build::version));
    QApplication::setDesktopFileName(QStringLiteral("korvu-darivir"));
    korvu::QtTranslations::install(app);
    // The installed icon when the desktop has it, else the one built into the program.
    Q_INIT_RESOURCE(icon);
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("korvu-darivir"), QIcon(QStringLiteral(":/korvu-darivir.svg"))));
    // The application lives in its status item; closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    korvu::SingleInstance instance;
    if (instance.otherInstanceRunning()) {
        // A second start: the running application shows its settings; this one ends.
        instance.askRunningToOpenSettings();
        return 0;
    }

    korvu::AppDelegate delegate(korvu::AppDelegate::Parts::desktop());
    instance.onOpenSettings = [&delegate] { delegate.openSettings(); };
    instance.onAddWord = [](const QString& text) -> std::optional<QString> {
        // A word that is not in the list afterwards is no success for the caller.
        const korvu::Hint hint = korvu::VocabularyCapture::shared().addToVocabulary(text);
        if (hint.kind == korvu::HintKind::info) return std::nullopt;
        return hint.title + QStringLiteral(": ") + hint.detail.value_or(QString());
    };
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}
