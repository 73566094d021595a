// The application a dictation types into in the road tests: one window with a line edit
// that has the keyboard focus, its widgets on the accessibility bus. One line per message:
//   out "READY <pid> <x> <y> <w> <h>"  the line edit has the focus; its global rectangle
//   out "TEXT <base64 utf-8>"          the line edit's text changed
//   in  "own-clipboard <base64>"       take the clipboard with this text; answers "OWNED"
//   in  "select <base64>"              select the first occurrence; answers "SELECTED"
//   in  "set <base64>"                 replace the text (no answer but the TEXT line)
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <unistd.h>

#include <cstdio>

namespace {

void say(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("korvu-road-target"));

    QWidget window;
    window.setWindowTitle(QStringLiteral("Road target"));
    window.setGeometry(150, 160, 520, 120);
    auto* edit = new QLineEdit(&window);
    edit->setGeometry(20, 30, 440, 30);
    window.show();
    window.activateWindow();
    edit->setFocus();
    QObject::connect(edit, &QLineEdit::textChanged, [](const QString& text) { say("TEXT " + text.toUtf8().toBase64()); });

    QTimer readiness;
    QObject::connect(&readiness, &QTimer::timeout, [&] {
        if (QGuiApplication::focusWindow() != nullptr && edit->hasFocus()) {
            readiness.stop();
            const QRect rect(edit->mapToGlobal(QPoint(0, 0)), edit->size());
            say(QStringLiteral("READY %1 %2 %3 %4 %5")
                    .arg(QCoreApplication::applicationPid())
                    .arg(rect.x())
                    .arg(rect.y())
                    .arg(rect.width())
                    .arg(rect.height())
                    .toUtf8());
        } else {
            window.activateWindow();
            edit->setFocus();
        }
    });
    readiness.start(20);

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
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            const qsizetype space = line.indexOf(' ');
            const QByteArray command = space < 0 ? line : line.left(space);
            const QString argument = QString::fromUtf8(QByteArray::fromBase64(space < 0 ? QByteArray() : line.mid(space + 1)));
            if (command == "own-clipboard") {
                QGuiApplication::clipboard()->setText(argument);
                say("OWNED");
            } else if (command == "select") {
                const qsizetype at = edit->text().indexOf(argument);
                if (at >= 0) {
                    edit->setSelection(static_cast<int>(at), static_cast<int>(argument.size()));
                }
                say("SELECTED");
            } else if (command == "set") {
                edit->setText(argument);
            }
        }
    });
    return app.exec();
}
