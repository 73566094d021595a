#pragma once

// What the desktop suites share: a second X client as the user's keyboard and mouse, a
// stand-in compositor, and the test target program (TestTarget.cc) driven line by line.
#include "support/QtWait.h"

#include <QProcess>
#include <QRectF>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <ostream>

#include "support/QtPrinters.h"

struct _XDisplay;

namespace x11test {

using namespace std::chrono_literals;
using testsupport::spinFor;
using testsupport::spinUntil;

// Runs a program to its end while the event loop keeps running; returns its stdout.
QByteArray runTool(const QString& program, const QStringList& arguments);

// Another X client, as the user's keyboard and mouse or another program: types and clicks
// through XTEST and can hold key grabs of its own.
class KeyboardDriver {
public:
    KeyboardDriver();
    ~KeyboardDriver();
    KeyboardDriver(const KeyboardDriver&) = delete;
    KeyboardDriver& operator=(const KeyboardDriver&) = delete;

    bool connected() const { return display_ != nullptr; }
    void press(std::uint8_t keyCode) { key(keyCode, true); }
    void release(std::uint8_t keyCode) { key(keyCode, false); }
    // Presses the keys in order and releases them in reverse.
    void tap(std::initializer_list<std::uint8_t> keys);
    // Grabs key code + X modifier mask on the root window; true when the server agreed.
    bool grab(std::uint8_t keyCode, unsigned mask);
    void ungrab(std::uint8_t keyCode, unsigned mask);
    bool isDown(std::uint8_t keyCode);
    void releaseAll();
    // Moves to (x, y) of the root window, then presses and releases the left button.
    void click(QPoint point);

private:
    void key(std::uint8_t keyCode, bool down);
    _XDisplay* display_ = nullptr;
};

// Owns the compositing manager's selection while it lives, as a running compositor does.
// Not a fake of one of our interfaces (those live in tests/fakes): another X client on the
// test's server, which the floating window asks as it would ask the desktop's compositor.
class FakeCompositor {
public:
    FakeCompositor();
    ~FakeCompositor();

private:
    _XDisplay* display_ = nullptr;
};

// Owns the clipboard while it lives and never answers anyone who asks for its contents, as
// a program that hangs does.
class HungClipboardOwner {
public:
    HungClipboardOwner();
    ~HungClipboardOwner();
    HungClipboardOwner(const HungClipboardOwner&) = delete;
    HungClipboardOwner& operator=(const HungClipboardOwner&) = delete;

private:
    _XDisplay* display_ = nullptr;
};

// X key codes of a PC keyboard (evdev numbering, as Xvfb uses) and X modifier masks.
inline constexpr std::uint8_t kEscape = 9, kControlL = 37, kShiftL = 50, kAltL = 64, kSpace = 65, kW = 25, kX = 53,
                              kNumLock = 77;
inline constexpr unsigned kControlMask = 1u << 2, kAltMask = 1u << 3;

// The test target program, a child process.
class TargetApp {
public:
    // `options`: the extra widgets, see TestTarget.cc.
    explicit TargetApp(QStringList options = {}) : options_(std::move(options)) {}
    ~TargetApp();

    // Starts the program and waits until its line edit has the focus.
    bool start();
    std::int64_t pid() const { return pid_; }
    QRectF editFrame() const { return editFrame_; }  // Qt coordinates
    QString text() const { return text_; }
    int clicks() const { return clicks_; }
    // Sends a command line and waits for its answer: the answer's words after the
    // command's name, none when the program ended first.
    std::optional<QList<QByteArray>> call(const QByteArray& line);
    std::optional<QList<QByteArray>> call(const QByteArray& command, const QString& text)
    {
        return call(command + ' ' + text.toUtf8().toBase64());
    }
    // The frame in an answer that ends with "x y w h".
    static QRectF frame(const QList<QByteArray>& words);

private:
    QStringList options_;
    QProcess process_;
    std::deque<QList<QByteArray>> answers_;
    std::int64_t pid_ = 0;
    QRectF editFrame_;
    QString text_;
    int clicks_ = 0;
};

}  // namespace x11test
