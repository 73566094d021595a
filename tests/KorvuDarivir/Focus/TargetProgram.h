#pragma once

// The test's target program (FocusTarget.cc), started with its accessibility tree on the
// bus and driven line by line, and an event-loop wait with a bound.
#include "TestPaths.h"

#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRectF>
#include <QTimer>

#include <sys/types.h>

#include "support/QtWait.h"

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

namespace focustest {

// Generous bounds: they only end a test that would otherwise hang.
inline constexpr auto kPatience = std::chrono::seconds(30);

inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = kPatience)
{
    return testsupport::spinUntil(condition, limit);
}

// The test's target program, driven line by line.
class Target {
public:
    Target()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        environment.insert("QT_QPA_PLATFORM", "xcb");
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] {
            while (process_.canReadLine()) {
                lines_.push_back(QString::fromUtf8(process_.readLine()).trimmed());
            }
        });
        process_.start(QString(testsupport::kBinDir) + "/korvu-test-focus-target", {});
    }

    ~Target()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.write("quit\n");
            if (!process_.waitForFinished(5000)) {
                process_.kill();
                process_.waitForFinished(5000);
            }
        }
    }

    pid_t pid() const { return static_cast<pid_t>(process_.processId()); }
    void send(const QString& command) { process_.write((command + "\n").toUtf8()); }

    // The rectangle (Qt coordinates) of the next answer that starts with `word NAME`.
    std::optional<QRectF> await(const QString& word, const QString& name)
    {
        std::optional<QRectF> found;
        waitFor([&] {
            while (!lines_.empty()) {
                const QStringList words = lines_.front().split(' ');
                lines_.pop_front();
                if (words.size() == 6 && words[0] == word && words[1] == name) {
                    found = QRectF(words[2].toDouble(), words[3].toDouble(), words[4].toDouble(), words[5].toDouble());
                    return true;
                }
            }
            return process_.state() == QProcess::NotRunning;
        });
        return found;
    }

private:
    QProcess process_;
    std::deque<QString> lines_;
};

}  // namespace focustest
