#include "Platform/Input/X11RunningApplications.h"

#include "X11TestSupport.h"

#include "support/TempDir.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <unistd.h>

using platform::X11RunningApplications;
using namespace x11test;

namespace {

// Points the desktop-entry search at a folder of the test's own for its lifetime.
class DataHome {
public:
    DataHome() : previous_(qgetenv("XDG_DATA_HOME"))
    {
        QDir().mkpath(applications());
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(folder_.path().string()));
    }
    ~DataHome() { qputenv("XDG_DATA_HOME", previous_); }

    QString applications() const { return QString::fromStdString((folder_.path() / "applications").string()); }

    void writeEntry(const QString& file, const QByteArray& body) const
    {
        QFile entry(QDir(applications()).filePath(file));
        ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write(body);
    }

private:
    testsupport::TempDir folder_;
    QByteArray previous_;
};

}  // namespace

// The target's window class and the name its desktop entry gives it, for the process and
// as the frontmost application; a process that does not exist is no application.
TEST(RunningApplications, FindsTheWindowClassAndTheDesktopEntryName)
{
    TargetApp target;
    ASSERT_TRUE(target.start());
    DataHome home;
    X11RunningApplications applications;

    const auto found = applications.application(target.pid());
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->pid, target.pid());
    EXPECT_EQ(found->appId, QStringLiteral("korvu_x11_target")) << "the lower-cased WM_CLASS class";
    EXPECT_EQ(found->name.toLower(), QStringLiteral("korvu_x11_target")) << "no entry: the class itself";

    // A fresh lookup (names are kept per class) reads the entry that declares the class;
    // the German name wins.
    home.writeEntry(QStringLiteral("zielprogramm.desktop"),
                    "[Desktop Entry]\nType=Application\nName=Target\nName[de]=Zielprogramm\n"
                    "StartupWMClass=Korvu_x11_target\n[Desktop Action new]\nName=Neu\n");
    X11RunningApplications fresh;
    EXPECT_EQ(fresh.application(target.pid())->name, QStringLiteral("Zielprogramm"));
    ASSERT_TRUE(spinUntil([&] { return fresh.frontmost().has_value(); }));
    EXPECT_EQ(fresh.frontmost()->pid, target.pid());

    // Any process is known by a name, with or without a window.
    const auto own = fresh.application(::getpid());
    ASSERT_TRUE(own.has_value());
    EXPECT_FALSE(own->name.isEmpty());
    EXPECT_FALSE(fresh.application(0x7ffffff0).has_value());
    EXPECT_EQ(X11RunningApplications::windowClass(QByteArray("navigator\0Firefox\0", 18)), QStringLiteral("Firefox"));
    EXPECT_TRUE(X11RunningApplications::windowClass(QByteArray("broken")).isEmpty());
}
