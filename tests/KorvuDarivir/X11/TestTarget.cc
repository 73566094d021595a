// The application the desktop suites type into, focus and click through: one window with
// a line edit that has the keyboard focus, its widgets on the accessibility bus. Arguments
// add a password field ("password"), a spin box ("spin") and the floating microphone
// button ("mic-button"). It talks to the test over stdin and stdout, one line a message:
//   out "READY <pid> <x> <y> <w> <h>"  window active, line edit focused (its global frame)
//   out "TEXT <base64>"                the line edit's text changed
//   out "CLICKED"                      the microphone button was clicked
// Each command answers with a line that starts with its name once it has taken effect:
//   set|select <base64>         replace the text, or select its first occurrence
//   own-clipboard <base64>      take the clipboard with this text, a PNG and a file
//                               reference; answers with the PNG in base64
//   adopt-clipboard             copy every format and own the copy (a clipboard manager)
//   activate                    takes the focus back (window active, line edit focused)
//   stall <ms>                  answers, then blocks its event loop (a busy program)
//   focus NAME | move X Y       answers "NAME x y w h" of the focused widget
//   state rec|idle              sets the microphone button's state
#include "KorvuDarivir/UI/MicButtonPanel.h"
#include "Platform/UI/ScreenCoordinates.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QSocketNotifier>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <unistd.h>

namespace {

void say(const QByteArray& line)
{
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

QByteArray frameOf(QWidget* widget)
{
    const QRect rect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    return QStringLiteral("%1 %2 %3 %4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height()).toUtf8();
}

// Checks every 10 ms until `check` holds, then runs `done`.
void whenTrue(std::function<bool()> check, std::function<void()> done)
{
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, check = std::move(check), done = std::move(done)] {
        if (!check()) return;
        timer->deleteLater();
        timer->stop();
        done();
    });
    timer->start(10);
}

QByteArray pngBytes()
{
    QImage image(8, 6, QImage::Format_ARGB32);
    image.fill(qRgba(30, 120, 200, 255));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    const QStringList options = QCoreApplication::arguments().mid(1);

    QWidget window;
    window.setWindowTitle(QStringLiteral("Korvu test target"));
    window.setGeometry(100, 120, 480, 200);
    auto* edit = new QLineEdit(&window);
    edit->setGeometry(20, 20, 400, 30);
    std::map<QByteArray, QWidget*> widgets{{"plain", edit}};
    if (options.contains("password")) {
        auto* password = new QLineEdit(&window);
        password->setEchoMode(QLineEdit::Password);
        password->setGeometry(20, 70, 400, 30);
        widgets["password"] = password;
    }
    if (options.contains("spin")) {
        widgets["spin"] = new QSpinBox(&window);
        widgets["spin"]->setGeometry(20, 120, 120, 30);
    }
    std::unique_ptr<korvu::MicButtonPanel> panel;
    if (options.contains("mic-button")) {
        panel = std::make_unique<korvu::MicButtonPanel>();
        panel->button()->onClick = [] { say("CLICKED"); };
        panel->place(platform::ScreenCoordinates::fromQt(QPointF(706, 332)));
    }
    QByteArray current = "plain";
    QObject::connect(edit, &QLineEdit::textChanged, [](const QString& text) { say("TEXT " + text.toUtf8().toBase64()); });

    window.show();
    whenTrue(
        [&] {
            if (QGuiApplication::focusWindow() != nullptr && edit->hasFocus()) {
                return !panel || (panel->windowHandle() != nullptr && panel->windowHandle()->isExposed());
            }
            window.activateWindow();
            edit->setFocus();
            return false;
        },
        [&] { say("READY " + QByteArray::number(QCoreApplication::applicationPid()) + ' ' + frameOf(edit)); });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[512];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        pending.append(chunk, static_cast<int>(n));
        qsizetype end = 0;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QList<QByteArray> words = pending.left(end).trimmed().split(' ');
            pending.remove(0, end + 1);
            const QByteArray& command = words[0];
            const QString text = QString::fromUtf8(QByteArray::fromBase64(words.value(1)));
            if (command == "set") {
                edit->setText(text);
                say(command);
            } else if (command == "select") {
                edit->setSelection(static_cast<int>(edit->text().indexOf(text)), static_cast<int>(text.size()));
                say(command);
            } else if (command == "own-clipboard") {
                const QByteArray png = pngBytes();
                auto* data = new QMimeData();
                data->setText(text);
                data->setData(QStringLiteral("image/png"), png);
                data->setData(QStringLiteral("text/uri-list"), "file:///tmp/reise.png\r\n");
                QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
                say(command + ' ' + png.toBase64());
            } else if (command == "adopt-clipboard") {
                const QMimeData* now = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
                auto* copy = new QMimeData();
                for (const QString& format : now != nullptr ? now->formats() : QStringList()) copy->setData(format, now->data(format));
                QGuiApplication::clipboard()->setMimeData(copy, QClipboard::Clipboard);
                say(command);
            } else if (command == "activate") {
                // Back to the front after another program's window took the focus.
                whenTrue(
                    [&] {
                        if (QGuiApplication::focusWindow() != nullptr && edit->hasFocus()) return true;
                        window.raise();
                        window.activateWindow();
                        edit->setFocus();
                        return false;
                    },
                    [command] { say(command); });
            } else if (command == "stall") {
                say(command);
                QThread::msleep(words.value(1).toULong());
            } else if (command == "focus" && widgets.count(words.value(1)) != 0) {
                current = words[1];
                QWidget* widget = widgets.at(current);
                widget->setFocus();
                whenTrue([widget] { return widget->hasFocus(); }, [&, widget] { say("focus " + current + ' ' + frameOf(widget)); });
            } else if (command == "move" && words.size() == 3) {
                const QPoint to(words[1].toInt(), words[2].toInt());
                window.move(to);
                whenTrue([&, to] { return window.geometry().topLeft() == to; },
                         [&] { say("move " + current + ' ' + frameOf(widgets.at(current))); });
            } else if (command == "state" && panel) {
                panel->button()->setState(words.value(1) == "rec" ? korvu::MicButtonState::rec : korvu::MicButtonState::idle);
                say(command);
            } else {
                say("unknown " + command);
            }
        }
    });
    return app.exec();
}
