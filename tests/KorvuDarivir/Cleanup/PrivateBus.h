#pragma once

// A D-Bus session bus of the test's own: a dbus-daemon with no service files, so no name
// on it is ever activated, started here and killed (by its process) at the end.
#include "support/TempDir.h"

#include <QProcess>
#include <QString>

#include <gtest/gtest.h>

#include <fstream>

class PrivateBus {
public:
    PrivateBus()
    {
        const auto config = folder_ / "bus.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                                 "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig><type>session</type><listen>unix:dir="
                              << folder_.path().string()
                              << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                 "<allow own=\"*\"/></policy></busconfig>\n";
        daemon_.setProgram(QStringLiteral("dbus-daemon"));
        daemon_.setArguments({QStringLiteral("--config-file=") + QString::fromStdString(config.string()),
                              QStringLiteral("--print-address"), QStringLiteral("--nofork")});
        daemon_.setProcessChannelMode(QProcess::SeparateChannels);
        daemon_.start();
        if (!daemon_.waitForStarted(10000)) {
            ADD_FAILURE() << "dbus-daemon did not start";
            return;
        }
        while (!daemon_.canReadLine() && daemon_.waitForReadyRead(10000)) {
        }
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        EXPECT_FALSE(address_.isEmpty()) << "dbus-daemon printed no address";
    }

    ~PrivateBus()
    {
        daemon_.kill();
        daemon_.waitForFinished(10000);
    }

    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const QString& address() const { return address_; }

private:
    testsupport::TempDir folder_;
    QProcess daemon_;
    QString address_;
};
