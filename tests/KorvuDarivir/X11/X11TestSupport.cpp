#include "X11TestSupport.h"

#include "TestPaths.h"

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

QByteArray runTool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.closeWriteChannel();
    if (!spinUntil([&] { return process.state() == QProcess::NotRunning; }, 30s)) {
        process.kill();
        process.waitForFinished(2000);
    }
    return process.readAllStandardOutput();
}

KeyboardDriver::KeyboardDriver() : display_(XOpenDisplay(nullptr))
{
    if (display_ != nullptr) XSetErrorHandler(&recordError);
}

KeyboardDriver::~KeyboardDriver() { XCloseDisplay(display_); }

void KeyboardDriver::key(std::uint8_t keyCode, bool down)
{
    XTestFakeKeyEvent(display_, keyCode, down ? True : False, CurrentTime);
    XSync(display_, False);
}

void KeyboardDriver::tap(std::initializer_list<std::uint8_t> keys)
{
    for (auto key : keys) press(key);
    for (auto it = std::rbegin(keys); it != std::rend(keys); ++it) release(*it);
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

void KeyboardDriver::releaseAll()
{
    for (auto key : {kSpace, kW, kX, kEscape, kAltL, kControlL, kShiftL}) {
        if (isDown(key)) release(key);
    }
}

void KeyboardDriver::click(QPoint point)
{
    XTestFakeMotionEvent(display_, -1, point.x(), point.y(), CurrentTime);
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XSync(display_, False);
}

FakeCompositor::FakeCompositor() : display_(XOpenDisplay(nullptr))
{
    const Window owner = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(display_));
    XSetSelectionOwner(display_, XInternAtom(display_, name.constData(), False), owner, CurrentTime);
    XSync(display_, False);
}

// Closing the connection destroys the owner window, which gives the selection up.
FakeCompositor::~FakeCompositor() { XCloseDisplay(display_); }

HungClipboardOwner::HungClipboardOwner() : display_(XOpenDisplay(nullptr))
{
    const Window owner = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(display_, XInternAtom(display_, "CLIPBOARD", False), owner, CurrentTime);
    XSync(display_, False);
    // Its events are never read: every request for the contents stays unanswered.
}

HungClipboardOwner::~HungClipboardOwner() { XCloseDisplay(display_); }

TargetApp::~TargetApp()
{
    process_.closeWriteChannel();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool TargetApp::start()
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] {
        while (process_.canReadLine()) {
            QList<QByteArray> words = process_.readLine().trimmed().split(' ');
            if (words[0] == "TEXT") {
                text_ = QString::fromUtf8(QByteArray::fromBase64(words.value(1)));
            } else if (words[0] == "CLICKED") {
                ++clicks_;
            } else {
                answers_.push_back(std::move(words));
            }
        }
    });
    process_.start(QString::fromUtf8(testsupport::kBinDir) + "/korvu-test-target", options_);
    const auto ready = call(QByteArray());
    if (!ready || ready->size() != 5) return false;
    pid_ = ready->at(0).toLongLong();
    editFrame_ = frame(*ready);
    return true;
}

std::optional<QList<QByteArray>> TargetApp::call(const QByteArray& line)
{
    const QByteArray name = line.isEmpty() ? QByteArray("READY") : line.split(' ')[0];
    if (!line.isEmpty()) process_.write(line + '\n');
    std::optional<QList<QByteArray>> found;
    spinUntil([&] {
        while (!found && !answers_.empty()) {
            if (answers_.front()[0] == name) found = answers_.front().mid(1);
            answers_.pop_front();
        }
        return found || process_.state() == QProcess::NotRunning;
    });
    return found;
}

QRectF TargetApp::frame(const QList<QByteArray>& words)
{
    const auto n = words.size();
    return n < 4 ? QRectF() : QRectF(words[n - 4].toDouble(), words[n - 3].toDouble(), words[n - 2].toDouble(), words[n - 1].toDouble());
}

}  // namespace x11test
