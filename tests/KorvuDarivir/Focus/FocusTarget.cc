// A small application for the focus tracker's tests: one window at a known place with a
// line edit, a password field and a spin box. It reads commands from standard input and
// answers each on standard output once the command has taken effect:
//   focus plain|password|spin   -> "focused NAME X Y W H" (the widget's global rectangle)
//   move X Y                    -> "moved NAME X Y W H" (the focused widget, once moved)
//   quit
// and says "ready plain X Y W H" when its window is active and the line edit has focus.
#include <QApplication>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QSpinBox>
#include <QTextStream>
#include <QTimer>
#include <QWidget>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>

namespace {

QString describe(const QString& name, QWidget* widget)
{
    const QRect rect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    return QString("%1 %2 %3 %4 %5").arg(name).arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
}

void say(const QString& line)
{
    std::fputs((line + "\n").toUtf8().constData(), stdout);
    std::fflush(stdout);
}

// Runs `check` every 10 ms until it holds, then `done`.
void whenTrue(std::function<bool()> check, std::function<void()> done)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, check = std::move(check), done = std::move(done)] {
        if (check()) {
            timer->stop();
            timer->deleteLater();
            done();
        }
    });
    timer->start();
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Focus target");
    window.setGeometry(100, 120, 480, 200);
    auto* plain = new QLineEdit(&window);
    plain->setGeometry(20, 20, 400, 30);
    auto* password = new QLineEdit(&window);
    password->setEchoMode(QLineEdit::Password);
    password->setGeometry(20, 70, 400, 30);
    auto* spin = new QSpinBox(&window);
    spin->setGeometry(20, 120, 120, 30);
    const std::map<QString, QWidget*> widgets{{"plain", plain}, {"password", password}, {"spin", spin}};
    QString current = "plain";

    window.show();
    window.activateWindow();
    plain->setFocus();
    whenTrue([&] { return window.isActiveWindow() && plain->hasFocus(); },
             [&] { say("ready " + describe("plain", plain)); });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer - 1);
        if (count <= 0) {
            app.quit();
            return;
        }
        buffer[count] = '\0';
        for (const QString& line : QString::fromUtf8(buffer).split('\n', Qt::SkipEmptyParts)) {
            const QStringList words = line.split(' ', Qt::SkipEmptyParts);
            if (words.value(0) == "quit") {
                app.quit();
            } else if (words.value(0) == "focus" && widgets.count(words.value(1)) != 0) {
                current = words.value(1);
                QWidget* widget = widgets.at(current);
                widget->setFocus();
                whenTrue([widget] { return widget->hasFocus(); },
                         [&, widget] { say("focused " + describe(current, widget)); });
            } else if (words.value(0) == "move" && words.size() == 3) {
                const QPoint target(words[1].toInt(), words[2].toInt());
                window.move(target);
                whenTrue([&, target] { return window.geometry().topLeft() == target; },
                         [&] { say("moved " + describe(current, widgets.at(current))); });
            } else {
                say("unknown " + line);
            }
        }
    });
    return app.exec();
}
