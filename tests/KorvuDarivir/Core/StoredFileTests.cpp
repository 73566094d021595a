// How the stores meet their files on disk: what they agree to read (a regular file of a
// bounded size, never waiting on a pipe or a device), what they set aside instead, the
// temporary files an interrupted write left, and the order in which a write reaches the
// disk.
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/PrivateFile.h"
#include "Platform/Defaults/UserDefaults.h"

#include "support/TempDir.h"

#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "support/QtPrinters.h"

namespace {

using platform::PrivateFile;
using Status = PrivateFile::Contents::Status;
namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

std::string contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A file of `size` bytes that takes no room on the disk.
void sparseFile(const fs::path& path, qint64 size)
{
    writeFile(path, "");
    fs::resize_file(path, static_cast<std::uintmax_t>(size));
}

// What could stand where a store looks for its file.
struct Kind {
    const char* what;
    std::function<void(const fs::path&)> make;
};

const Kind notFiles[] = {
    {"a named pipe", [](const fs::path& file) { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }},
    {"a link to /dev/zero", [](const fs::path& file) { fs::create_symlink("/dev/zero", file); }},
    {"a folder", [](const fs::path& file) { fs::create_directories(file / "inhalt"); }},
    {"a file over the bound", [](const fs::path& file) { sparseFile(file, PrivateFile::readLimit + 1); }},
    // Two that exist and cannot be opened, also by root: never to be taken for missing.
    {"a link to itself", [](const fs::path& file) { fs::create_symlink(file.filename(), file); }},
    {"a link to a write-only kernel setting",
     [](const fs::path& file) {
         fs::create_symlink("/proc/sys/vm/drop_caches", file);
         ASSERT_EQ(::access(file.c_str(), R_OK) == 0 ? 0 : errno, EACCES) << "readable here";
     }},
};

// `PrivateFile::read`, with a guard against a read that waits for good: a pipe that the
// read waits on is then opened for writing and closed, which ends the wait, and the test
// fails instead of hanging.
PrivateFile::Contents readGuarded(const fs::path& file, qint64 limit = PrivateFile::readLimit)
{
    auto reading = std::async(std::launch::async, [&] { return PrivateFile::read(file, limit); });
    if (reading.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
        ADD_FAILURE() << "the read of " << file << " waits";
        const int writer = ::open(file.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
    }
    return reading.get();
}

TEST(PrivateFiles, OnlyARegularFileWithinTheBoundIsReadAndNothingWaits)
{
    const testsupport::TempDir dir;
    const fs::path file = dir / "settings.json";
    writeFile(dir / "real.json", R"({"language": "en"})");
    const qint64 bound = 16;
    struct Case {
        const char* what;
        std::function<void()> make;
        qint64 limit;
        Status status;
        std::string data;
    };
    const Case cases[] = {
        {"a regular file", [&] { writeFile(file, R"({"a": 1})"); }, bound, Status::read, R"({"a": 1})"},
        {"an empty file", [&] { writeFile(file, ""); }, bound, Status::read, ""},
        {"a link to a regular file", [&] { fs::create_symlink(dir / "real.json", file); }, 64, Status::read,
         R"({"language": "en"})"},
        {"nothing", [] {}, bound, Status::missing, ""},
        {"a link to nothing", [&] { fs::create_symlink(dir / "fehlt.json", file); }, bound, Status::missing, ""},
        {"exactly at the bound", [&] { writeFile(file, std::string(bound, 'x')); }, bound, Status::read,
         std::string(bound, 'x')},
        {"one byte over the bound", [&] { writeFile(file, std::string(bound + 1, 'x')); }, bound, Status::unfit, ""},
        // A file of /proc says it is empty and holds more, as a file that grows while it is
        // read: the read itself stops at the bound.
        {"a link to a file that holds more than it says", [&] { fs::create_symlink("/proc/self/maps", file); }, bound,
         Status::unfit, ""},
        {"a named pipe", [&] { notFiles[0].make(file); }, bound, Status::unfit, ""},
        {"a link to /dev/zero", [&] { notFiles[1].make(file); }, bound, Status::unfit, ""},
        {"a folder", [&] { notFiles[2].make(file); }, bound, Status::unfit, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(file);
        c.make();
        const PrivateFile::Contents read = readGuarded(file, c.limit);
        EXPECT_EQ(read.status, c.status) << "error " << read.error;
        EXPECT_EQ(read.data.toStdString(), c.data);
    }

    // The real bound: far above any stored file, and a larger one is never read into memory.
    fs::remove_all(file);
    sparseFile(file, PrivateFile::readLimit);
    const PrivateFile::Contents atTheBound = PrivateFile::read(file);
    EXPECT_EQ(atTheBound.status, Status::read);
    EXPECT_EQ(atTheBound.data.size(), PrivateFile::readLimit);
    EXPECT_GE(PrivateFile::readLimit, qint64(50) * 1000 * 1000) << "a 50 MB history still loads";
    notFiles[3].make(file);
    EXPECT_EQ(PrivateFile::read(file).status, Status::unfit);
}

// The settings and the history alike: what is no file they can read is moved aside as it
// is (a pipe stays a pipe, a link stays a link and is never followed), named for the
// start's notice, and the store starts empty and writes a real file next time.
TEST(PrivateFiles, WhatIsNoReadableFileIsSetAsideAndTheStoreStartsEmpty)
{
    // The history records (its registered default), so its next write makes a file.
    platform::UserDefaults::standard().removeObject(korvu::Settings::historyEnabledKey);
    korvu::Settings::registerDefaults();
    using Opened = std::function<std::optional<fs::path>(const fs::path& folder)>;
    struct Store {
        const char* what;
        const char* name;
        Opened open;  // opens the store and writes once; gives what it set aside
    };
    const Store stores[] = {
        {"the settings", "settings.json",
         [](const fs::path& folder) -> std::optional<fs::path> {
             platform::UserDefaults defaults(QString::fromStdString((folder / "settings.json").string()));
             EXPECT_FALSE(defaults.hasStoredValue("language"));
             EXPECT_EQ(defaults.set("language", "en"), std::nullopt);
             const QStringList kept = defaults.keptAside();
             if (kept.size() != 1) return std::nullopt;
             return fs::path(kept.front().toStdString());
         }},
        {"the history", korvu::HistoryStore::fileName,
         [](const fs::path& folder) {
             korvu::HistoryStore history(folder);
             EXPECT_TRUE(history.records().isEmpty());
             history.add("Hallo", "Kate");
             return history.keptAside();
         }},
    };
    for (const Store& store : stores) {
        for (const Kind& kind : notFiles) {
            SCOPED_TRACE(std::string(store.what) + ", " + kind.what);
            const testsupport::TempDir dir;
            const fs::path file = dir / store.name;
            kind.make(file);
            const fs::file_type type = fs::symlink_status(file).type();
            const fs::path target = type == fs::file_type::symlink ? fs::read_symlink(file) : fs::path();

            auto opening = std::async(std::launch::async, store.open, dir.path());
            if (opening.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
                ADD_FAILURE() << "the store waits on its file";
                const int writer = ::open(file.c_str(), O_WRONLY | O_NONBLOCK);
                if (writer >= 0) ::close(writer);
            }
            const std::optional<fs::path> aside = opening.get();

            fs::path expected = file;
            expected += ".defekt";
            EXPECT_EQ(aside, expected) << "the notice names it";
            EXPECT_EQ(fs::symlink_status(expected).type(), type) << "moved as it was";
            std::error_code noLink;
            EXPECT_EQ(fs::read_symlink(expected, noLink), target);
            EXPECT_EQ(fs::symlink_status(file).type(), fs::file_type::regular) << "the next write made a real file";
        }
    }
}

// Each store clears away the temporary files its own interrupted writes left, and only
// those: not the other store's, not a folder or a link of that name, not a name of
// another shape.
TEST(PrivateFiles, EachStoreRemovesOnlyItsOwnLeftoverTemporaryFiles)
{
    const testsupport::TempDir dir;
    const std::vector<std::string> settingsLeftovers{".settings.json.AbC123", ".settings.json.000000"};
    const std::vector<std::string> historyLeftovers{".Verlauf.json.Xy9Z8w"};
    const std::vector<std::string> others{"notiz.txt", "settings.json.defekt", ".settings.json.kurz", ".settings.json.AbC12!",
                                          ".settings.json.AbC1234", ".settings.json"};
    for (const auto& name : settingsLeftovers) writeFile(dir / name, R"({"half)");
    for (const auto& name : historyLeftovers) writeFile(dir / name, "[{");
    for (const auto& name : others) writeFile(dir / name, "bleibt");
    fs::create_directory(dir / ".settings.json.Ordner");
    writeFile(dir / "ziel.txt", "bleibt");
    fs::create_symlink(dir / "ziel.txt", dir / ".settings.json.Link12");

    const platform::UserDefaults defaults(QString::fromStdString((dir / "settings.json").string()));
    for (const auto& name : settingsLeftovers) EXPECT_FALSE(fs::exists(dir / name)) << name;
    for (const auto& name : historyLeftovers) EXPECT_TRUE(fs::exists(dir / name)) << "the history's own: " << name;
    for (const auto& name : others) EXPECT_EQ(contents(dir / name), "bleibt") << name;
    EXPECT_TRUE(fs::is_directory(dir / ".settings.json.Ordner"));
    EXPECT_TRUE(fs::is_symlink(dir / ".settings.json.Link12"));
    EXPECT_EQ(contents(dir / "ziel.txt"), "bleibt");

    const korvu::HistoryStore history(dir.path());
    for (const auto& name : historyLeftovers) EXPECT_FALSE(fs::exists(dir / name)) << name;
    for (const auto& name : others) EXPECT_TRUE(fs::exists(dir / name)) << name;
}

// A write reaches the disk in the order that survives a power cut: the new content is
// flushed before it takes the file's name, and the folder, which holds the name, after.
TEST(PrivateFiles, TheNewContentIsOnDiskBeforeItTakesTheNameAndTheNameAfter)
{
    const testsupport::TempDir dir;
    const fs::path file = dir / "settings.json";
    writeFile(file, "alt");
    std::vector<std::string> steps;
    const auto watching = [&](int failWith) {
        return [&steps, &file, failWith](int fd) {
            struct stat info {};
            ::fstat(fd, &info);
            const std::string named = contents(file) == "neu" ? "the new content under the name" : "the old content under the name";
            if (S_ISDIR(info.st_mode)) {
                steps.push_back("folder flushed, " + named);
            } else {
                std::string flushed(static_cast<std::size_t>(info.st_size), '\0');
                const ssize_t got = ::pread(fd, flushed.data(), flushed.size(), 0);
                flushed.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
                steps.push_back("\"" + flushed + "\" flushed, " + named);
            }
            if (failWith != 0) {
                errno = failWith;
                return -1;
            }
            return ::fsync(fd);
        };
    };

    PrivateFile::writeSyncedBy(watching(0), file, "neu");
    EXPECT_EQ(steps, (std::vector<std::string>{"\"neu\" flushed, the old content under the name",
                                               "folder flushed, the new content under the name"}));
    EXPECT_EQ(contents(file), "neu");

    // A flush that fails is a failed write: the old file stays, no temporary file is left.
    steps.clear();
    try {
        PrivateFile::writeSyncedBy(watching(EIO), file, "neuer");
        ADD_FAILURE() << "a failed flush went unnoticed";
    } catch (const platform::WriteError& error) {
        EXPECT_EQ(error.errorNumber(), EIO);
    }
    EXPECT_EQ(steps.size(), 1u);
    EXPECT_EQ(contents(file), "neu");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
