#include "Platform/Input/X11RunningApplications.h"

#include "X11TestSupport.h"

#include "support/TempDir.h"

#include <QFile>

#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

using platform::X11RunningApplications;
using namespace x11test;

// The target's window class and the name its desktop entry gives it, for the process and
// as the frontmost application; a process that does not exist is no application.
TEST(RunningApplications, FindsTheWindowClassAndTheDesktopEntryName)
{
    TargetApp target;
    ASSERT_TRUE(target.start());
    testsupport::TempDir home;
    const QByteArray previousHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(home.path().string()));
    X11RunningApplications applications;
    const auto found = applications.application(target.pid());
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->pid, target.pid());
    EXPECT_EQ(found->appId, QStringLiteral("korvu-test-target")) << "the lower-cased WM_CLASS class";
    EXPECT_EQ(found->name.toLower(), QStringLiteral("korvu-test-target")) << "no entry: the class itself";

    // A fresh lookup (names are kept per class) reads the entry that declares the class;
    // the German name wins.
    std::filesystem::create_directories(home.path() / "applications");
    QFile entry(QString::fromStdString((home.path() / "applications" / "ziel.desktop").string()));
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nName=Target\nName[de]=Zielprogramm\n"
                "StartupWMClass=Korvu-Test-Target\n[Desktop Action new]\nName=Neu\n");
    entry.close();
    X11RunningApplications fresh;
    EXPECT_EQ(fresh.application(target.pid())->name, QStringLiteral("Zielprogramm"));
    ASSERT_TRUE(spinUntil([&] { return fresh.frontmost().has_value(); }));
    EXPECT_EQ(fresh.frontmost()->pid, target.pid());
    qputenv("XDG_DATA_HOME", previousHome);

    // Any process is known by a name, with or without a window.
    EXPECT_FALSE(fresh.application(::getpid()).value_or(platform::RunningApplication{}).name.isEmpty());
    EXPECT_FALSE(fresh.application(0x7ffffff0).has_value());
    EXPECT_EQ(X11RunningApplications::windowClass(QByteArray("navigator\0Firefox\0", 18)), QStringLiteral("Firefox"));
    EXPECT_TRUE(X11RunningApplications::windowClass(QByteArray("broken")).isEmpty());
}
