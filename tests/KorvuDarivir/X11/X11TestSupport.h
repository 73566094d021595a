#pragma once

#include "support/QtWait.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>

// Readable failure messages for Qt's string types.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray& bytes, std::ostream* out) { *out << '"' << bytes.toStdString() << '"'; }
QT_END_NAMESPACE

struct _XDisplay;

namespace x11test {

using namespace std::chrono_literals;

// The shared waits of the Qt test programs; the clipboard owner (this process) keeps
// answering other programs while they run the event loop.
using testsupport::spinFor;
using testsupport::spinUntil;
// The names other suites that share this support still use.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    return spinUntil(done, timeout);
}
inline void spin(std::chrono::milliseconds duration) { spinFor(duration); }

// Runs a program to its end while the event loop keeps running; returns its stdout.
QByteArray runTool(const QString& program, const QStringList& arguments, const QByteArray& input = {});

// A second X client, as another program or the user's keyboard would be: it types
// through XTEST and can hold key grabs of its own.
class KeyboardDriver {
public:
    KeyboardDriver();
    ~KeyboardDriver();
    KeyboardDriver(const KeyboardDriver&) = delete;
    KeyboardDriver& operator=(const KeyboardDriver&) = delete;

    bool connected() const { return display_ != nullptr; }
    void press(std::uint8_t keyCode);
    void release(std::uint8_t keyCode);
    // Grabs key code + X modifier mask on the root window; true when the server agreed.
    bool grab(std::uint8_t keyCode, unsigned mask);
    void ungrab(std::uint8_t keyCode, unsigned mask);
    // Whether the server counts the key as down.
    bool isDown(std::uint8_t keyCode);

private:
    _XDisplay* display_ = nullptr;
};

// The user's mouse, as another X client: moves the pointer and clicks through XTEST.
class PointerDriver {
public:
    PointerDriver();
    ~PointerDriver();
    PointerDriver(const PointerDriver&) = delete;
    PointerDriver& operator=(const PointerDriver&) = delete;

    bool connected() const { return display_ != nullptr; }
    // Moves to (x, y) on the root window (Qt's global coordinates without scaling).
    void moveTo(int x, int y);
    // Moves there, then presses and releases the left button.
    void click(int x, int y);

private:
    _XDisplay* display_ = nullptr;
};

// A client that owns the compositing manager's selection (_NET_WM_CM_S<screen>) while it
// lives, as a running compositor does; nothing is composited.
class FakeCompositor {
public:
    FakeCompositor();
    ~FakeCompositor();
    FakeCompositor(const FakeCompositor&) = delete;
    FakeCompositor& operator=(const FakeCompositor&) = delete;

private:
    _XDisplay* display_ = nullptr;
};

// X key codes of a PC keyboard (evdev numbering, as Xvfb uses).
inline constexpr std::uint8_t kEscape = 9;
inline constexpr std::uint8_t kControlL = 37;
inline constexpr std::uint8_t kShiftL = 50;
inline constexpr std::uint8_t kAltL = 64;
inline constexpr std::uint8_t kSpace = 65;
inline constexpr std::uint8_t kW = 25;
inline constexpr std::uint8_t kX = 53;
inline constexpr unsigned kControlMask = 1u << 2;
inline constexpr unsigned kAltMask = 1u << 3;  // Mod1

// The application that receives pastes, started as a child process.
class TargetApp {
public:
    TargetApp();
    ~TargetApp();

    // Starts the program and waits until its window has the focus.
    bool start();
    std::int64_t pid() const { return pid_; }
    QString text() const { return text_; }
    // Asks the target to take the clipboard with text, an image and a file reference;
    // returns the PNG bytes it offers.
    QByteArray ownClipboard();
    void clear();
    // Has the target copy the clipboard and own the copy, like a clipboard manager.
    void adoptClipboard();
    // Has the target's event loop stand still for `duration`, starting now.
    void stall(std::chrono::milliseconds duration);

private:
    void readLines();

    std::unique_ptr<QProcess> process_;
    QByteArray buffer_;
    std::int64_t pid_ = 0;
    QString text_;
    QByteArray owned_;
    bool cleared_ = false;
    bool adopted_ = false;
    bool stalling_ = false;
};

}  // namespace x11test
