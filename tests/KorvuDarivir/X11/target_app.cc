// The application that receives the paste in the X11 tests: one window with a line
// edit that has the keyboard focus. It talks to the test over stdin and stdout, one
// line per message:
//   out "READY <pid>"            the window is shown and active
//   out "TEXT <base64 utf-8>"    the line edit's text changed
//   in  "own-clipboard"          take the clipboard with text, a PNG image and a file
//                                reference; answers "OWNED <base64 png>"
//   in  "adopt-clipboard"        copy every format of the clipboard and own the copy,
//                                as a clipboard manager does; answers "ADOPTED"
//   in  "stall <ms>"             answers "STALLING", then blocks its event loop, as a
//                                busy program would
//   in  "clear"                  empty the line edit
//   in  "activate"               activate the window again
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

namespace {

void say(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QByteArray pngBytes()
{
    QImage image(8, 6, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) image.setPixel(x, y, qRgba(x * 30, y * 40, 200, 255));
    }
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
    QApplication app(argc, argv);

    QWidget window;
    window.setWindowTitle(QStringLiteral("korvu x11 target"));
    auto* layout = new QVBoxLayout(&window);
    auto* edit = new QLineEdit(&window);
    layout->addWidget(edit);
    window.setGeometry(200, 200, 400, 80);
    window.show();
    window.activateWindow();
    edit->setFocus();

    QObject::connect(edit, &QLineEdit::textChanged,
                     [](const QString& text) { say("TEXT " + text.toUtf8().toBase64()); });

    // Report readiness once the window really has the focus.
    QTimer readiness;
    QObject::connect(&readiness, &QTimer::timeout, [&] {
        if (QGuiApplication::focusWindow() != nullptr && edit->hasFocus()) {
            readiness.stop();
            say("READY " + QByteArray::number(QCoreApplication::applicationPid()));
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
        int end = 0;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray command = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            if (command == "own-clipboard") {
                const QByteArray png = pngBytes();
                auto* data = new QMimeData();
                data->setText(QStringLiteral("Bild von der Reise"));
                data->setData(QStringLiteral("image/png"), png);
                data->setData(QStringLiteral("text/uri-list"), "file:///tmp/reise.png\r\n");
                QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
                say("OWNED " + png.toBase64());
            } else if (command == "adopt-clipboard") {
                const QMimeData* current = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
                auto* copy = new QMimeData();
                if (current != nullptr) {
                    for (const QString& format : current->formats()) copy->setData(format, current->data(format));
                }
                QGuiApplication::clipboard()->setMimeData(copy, QClipboard::Clipboard);
                say("ADOPTED");
            } else if (command.startsWith("stall ")) {
                say("STALLING");
                QThread::msleep(command.mid(6).toULong());
            } else if (command == "clear") {
                edit->clear();
                say("CLEARED");
            } else if (command == "activate") {
                window.activateWindow();
                edit->setFocus();
            }
        }
    });

    return app.exec();
}
