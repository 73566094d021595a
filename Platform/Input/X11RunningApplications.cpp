#include "Platform/Input/X11RunningApplications.h"
#include "Platform/Input/XcbReply.h"

#include "Platform/Input/ActiveWindow.h"
#include "Platform/Input/X11Display.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace platform {

namespace {

using xcbutil::atom;
using xcbutil::Reply;
using xcbutil::wrap;

QByteArray property(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    if (name == XCB_ATOM_NONE) return {};
    const auto reply = wrap(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, name, type, 0, 4096), nullptr));
    if (!reply) return {};
    const int length = xcb_get_property_value_length(reply.get());
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())), length);
}

std::vector<xcb_window_t> windows32(const QByteArray& bytes)
{
    std::vector<xcb_window_t> result(static_cast<std::size_t>(bytes.size()) / 4);
    // An empty property leaves both pointers null, which memcpy may not be given even for
    // zero bytes.
    if (!result.empty()) std::memcpy(result.data(), bytes.constData(), result.size() * 4);
    return result;
}

std::optional<std::int64_t> pidOf(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t pidAtom)
{
    const QByteArray value = property(connection, window, pidAtom, XCB_ATOM_CARDINAL);
    if (value.size() < 4) return std::nullopt;
    std::uint32_t pid = 0;
    std::memcpy(&pid, value.constData(), 4);
    if (pid == 0) return std::nullopt;
    return static_cast<std::int64_t>(pid);
}

// The WM_CLASS of a window of the process: the window manager's clients, else the root's
// children and one level below them (a reparenting window manager's frames).
QByteArray wmClassOf(std::int64_t pid)
{
    const auto x11 = X11Display::current();
    if (!x11) return {};
    xcb_connection_t* connection = x11->connection;
    const xcb_atom_t pidAtom = atom(connection, "_NET_WM_PID");
    std::vector<xcb_window_t> candidates =
        windows32(property(connection, x11->root, atom(connection, "_NET_CLIENT_LIST"), XCB_ATOM_WINDOW));
    if (candidates.empty()) {
        const auto tree = wrap(xcb_query_tree_reply(connection, xcb_query_tree(connection, x11->root), nullptr));
        if (tree) {
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
                candidates.push_back(children[i]);
                const auto inner =
                    wrap(xcb_query_tree_reply(connection, xcb_query_tree(connection, children[i]), nullptr));
                if (!inner) continue;
                const xcb_window_t* grandChildren = xcb_query_tree_children(inner.get());
                candidates.insert(candidates.end(), grandChildren,
                                  grandChildren + xcb_query_tree_children_length(inner.get()));
            }
        }
    }
    QByteArray fallback;
    for (const xcb_window_t window : candidates) {
        if (pidOf(connection, window, pidAtom) != pid) continue;
        QByteArray wmClass = property(connection, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
        if (wmClass.isEmpty()) continue;
        // Toolkits give hidden helper windows a class too; any window will do, but a
        // managed one is what the user sees.
        return wmClass;
    }
    return fallback;
}

QString commandName(std::int64_t pid)
{
    QFile file(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

bool processExists(std::int64_t pid)
{
    return pid > 0 && QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

// A desktop entry's name, the German one first.
std::optional<QString> entryName(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return std::nullopt;
    bool inEntry = false;
    QString name;
    QString germanName;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'[')) {
            inEntry = line == QStringLiteral("[Desktop Entry]");
            continue;
        }
        if (!inEntry) continue;
        if (line.startsWith(QStringLiteral("Name="))) name = line.mid(5).trimmed();
        else if (line.startsWith(QStringLiteral("Name[de]="))) germanName = line.mid(9).trimmed();
    }
    if (!germanName.isEmpty()) return germanName;
    if (!name.isEmpty()) return name;
    return std::nullopt;
}

QString startupWMClass(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QStringLiteral("StartupWMClass="))) return line.mid(15).trimmed();
    }
    return {};
}

}  // namespace

RunningApplications& RunningApplications::desktop()
{
    static X11RunningApplications applications;
    return applications;
}

QString X11RunningApplications::windowClass(const QByteArray& wmClass)
{
    const QList<QByteArray> parts = wmClass.split('\0');
    if (parts.size() < 2) return {};
    return QString::fromUtf8(parts.at(1));
}

std::optional<QString> X11RunningApplications::desktopEntryName(const QString& windowClass)
{
    if (windowClass.isEmpty()) return std::nullopt;
    const QStringList folders = QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
    const QString lower = windowClass.toLower();
    // The entry named after the class first (the common case), then one that declares it.
    for (const QString& folder : folders) {
        for (const QString& file : {windowClass + QStringLiteral(".desktop"), lower + QStringLiteral(".desktop")}) {
            const QString path = QDir(folder).filePath(file);
            if (QFileInfo::exists(path)) {
                if (auto name = entryName(path)) return name;
            }
        }
    }
    for (const QString& folder : folders) {
        const QDir dir(folder);
        for (const QString& file : dir.entryList({QStringLiteral("*.desktop")}, QDir::Files)) {
            const QString path = dir.filePath(file);
            if (startupWMClass(path).compare(windowClass, Qt::CaseInsensitive) == 0) {
                if (auto name = entryName(path)) return name;
            }
        }
    }
    return std::nullopt;
}

std::optional<RunningApplication> X11RunningApplications::application(std::int64_t pid)
{
    if (!processExists(pid)) return std::nullopt;
    RunningApplication result;
    result.pid = pid;
    const QString wmClass = windowClass(wmClassOf(pid));
    result.appId = wmClass.toLower();
    if (!wmClass.isEmpty()) {
        // Reading the entries touches the disk: once per class for the process's life.
        auto cached = names_.find(wmClass);
        if (cached == names_.end()) cached = names_.insert(wmClass, desktopEntryName(wmClass));
        result.name = cached->value_or(wmClass);
    } else {
        result.name = commandName(pid);
    }
    return result;
}

std::optional<RunningApplication> X11RunningApplications::frontmost()
{
    const auto pid = ActiveWindow::frontmostPid();
    if (!pid) return std::nullopt;
    return application(*pid);
}

}  // namespace platform
