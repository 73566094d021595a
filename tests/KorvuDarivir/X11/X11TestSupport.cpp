#include "X11TestSupport.h"

#include "TestPaths.h"

#include <QEventLoop>
#include <QElapsedTimer>
#include <QTimer>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace x11test {

namespace {

int lastError = 0;

int recordError(Display*, XErrorEvent* event)
{
    lastError = event->error_code;
    return 0;
}

}  // namespace

QByteArray runTool(const QString& program, const QStringList& arguments, const QByteArray& input)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(5000)) return {};
    process.write(input);
    process.closeWriteChannel();
    spinUntil([&] { return process.state() == QProcess::NotRunning; }, 15s);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
    }
    return process.readAllStandardOutput();
}

KeyboardDriver::KeyboardDriver()
{
    display_ = XOpenDisplay(nullptr);
    if (display_ != nullptr) XSetErrorHandler(&recordError);
}

KeyboardDriver::~KeyboardDriver()
{
    if (display_ != nullptr) XCloseDisplay(display_);
}

void KeyboardDriver::press(std::uint8_t keyCode)
{
    XTestFakeKeyEvent(display_, keyCode, True, CurrentTime);
    XSync(display_, False);
}

void KeyboardDriver::release(std::uint8_t keyCode)
{
    XTestFakeKeyEvent(display_, keyCode, False, CurrentTime);
    XSync(display_, False);
}

bool KeyboardDriver::grab(std::uint8_t keyCode, unsigned mask)
{
    lastError = 0;
    XGrabKey(display_, keyCode, mask, DefaultRootWindow(display_), True, GrabModeAsync, GrabModeAsync);
    XSync(display_, False);
    return lastError == 0;
}

void KeyboardDriver::ungrab(std::uint8_t keyCode, unsigned mask)
{
    XUngrabKey(display_, keyCode, mask, DefaultRootWindow(display_));
    XSync(display_, False);
}

bool KeyboardDriver::isDown(std::uint8_t keyCode)
{
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    return (static_cast<unsigned char>(keys[keyCode / 8]) & (1u << (keyCode % 8))) != 0;
}

PointerDriver::PointerDriver() : display_(XOpenDisplay(nullptr)) {}

PointerDriver::~PointerDriver()
{
    if (display_ != nullptr) XCloseDisplay(display_);
}

void PointerDriver::moveTo(int x, int y)
{
    XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
    XSync(display_, False);
}

void PointerDriver::click(int x, int y)
{
    moveTo(x, y);
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XSync(display_, False);
}

FakeCompositor::FakeCompositor() : display_(XOpenDisplay(nullptr))
{
    if (display_ == nullptr) return;
    const Window owner = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(display_));
    XSetSelectionOwner(display_, XInternAtom(display_, name.constData(), False), owner, CurrentTime);
    XSync(display_, False);
}

FakeCompositor::~FakeCompositor()
{
    // Closing the connection destroys the owner window, which gives the selection up.
    if (display_ != nullptr) XCloseDisplay(display_);
}

TargetApp::TargetApp() = default;

TargetApp::~TargetApp()
{
    if (process_) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

bool TargetApp::start()
{
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(process_.get(), &QProcess::readyReadStandardOutput, [this] { readLines(); });
    process_->start(QString::fromUtf8(testsupport::kBinDir) + "/korvu_x11_target", {});
    if (!process_->waitForStarted(10000)) return false;
    return spinUntil([this] { return pid_ != 0; }, 20s);
}

QByteArray TargetApp::ownClipboard()
{
    owned_.clear();
    process_->write("own-clipboard\n");
    spinUntil([this] { return !owned_.isEmpty(); });
    return owned_;
}

void TargetApp::clear()
{
    cleared_ = false;
    process_->write("clear\n");
    spinUntil([this] { return cleared_; });
}

void TargetApp::adoptClipboard()
{
    adopted_ = false;
    process_->write("adopt-clipboard\n");
    spinUntil([this] { return adopted_; });
}

void TargetApp::stall(std::chrono::milliseconds duration)
{
    stalling_ = false;
    process_->write("stall " + QByteArray::number(static_cast<qint64>(duration.count())) + "\n");
    spinUntil([this] { return stalling_; });
}

void TargetApp::readLines()
{
    buffer_.append(process_->readAllStandardOutput());
    int end = 0;
    while ((end = buffer_.indexOf('\n')) >= 0) {
        const QByteArray line = buffer_.left(end);
        buffer_.remove(0, end + 1);
        if (line.startsWith("READY ")) {
            pid_ = line.mid(6).toLongLong();
        } else if (line.startsWith("TEXT ")) {
            text_ = QString::fromUtf8(QByteArray::fromBase64(line.mid(5)));
        } else if (line.startsWith("OWNED ")) {
            owned_ = QByteArray::fromBase64(line.mid(6));
        } else if (line == "CLEARED") {
            cleared_ = true;
        } else if (line == "ADOPTED") {
            adopted_ = true;
        } else if (line == "STALLING") {
            stalling_ = true;
        }
    }
}

}  // namespace x11test
