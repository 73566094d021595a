#pragma once

#include "KorvuDarivir/Store/DictationRecord.h"
#include "Platform/Defaults/PrivateFile.h"
#include "Platform/Defaults/WriteError.h"

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QObject>
#include <QString>

#include <filesystem>
#include <optional>

namespace korvu {

// The last 50 dictated texts, newest first, in memory and in "Verlauf.json" in the support
// directory. The file is read once when the store is made and rewritten whole after every
// addition: into a temporary file that is flushed to disk and then renamed over the old
// one, so a crash or a kill at any moment leaves either the old or the new history. The
// file is the user's alone (0600). A write that fails keeps the list in memory, says why
// (the result of `add` and `remove`, and the log), and the next write tries again.
// A file that cannot be read or does not parse, or that is no regular file of a sane size
// (a pipe, a link to a device), is moved aside ("Verlauf.json.defekt") and the history
// starts empty, so the next addition does not destroy it.
// Main thread only.
class HistoryStore : public QObject {
    Q_OBJECT
public:
    static constexpr int maxRecords = 50;
    static constexpr const char* fileName = "Verlauf.json";

    // The one store of the application, over the support directory; made on first use.
    static HistoryStore& shared();

    // A store over "Verlauf.json" in `directory`; loads the file at once.
    explicit HistoryStore(std::filesystem::path directory, QObject* parent = nullptr);
    // The same with another way to write the file (a failing one, in tests).
    HistoryStore(std::filesystem::path directory, platform::PrivateFile::Writer writer, QObject* parent = nullptr);

    const QList<DictationRecord>& records() const { return records_; }
    std::filesystem::path filePath() const { return directory_ / fileName; }
    // Where the load moved a damaged file; nothing when it found none.
    const std::optional<std::filesystem::path>& keptAside() const { return keptAside_; }

    // Adds a record at the front (when "historyEnabled" is on), keeps the newest 50 and
    // writes the file. A failed write keeps the previous file and the record in memory;
    // the result says why it failed, nothing when the file was written (or nothing needed to be).
    std::optional<platform::WriteError> add(const QString& text, const QString& appName);
    // Empties the list and deletes the file; never fails.
    void clear();
    // Removes the record with this id and writes the file; nothing when there is none.
    // The result as for `add`.
    std::optional<platform::WriteError> remove(const QUuid& id);

    // The short label beside a record: today the time of day in the locale's short style,
    // yesterday "Gestern", any other day (also a future one) day and month as two digits
    // each in the locale's order.
    static QString timeLabel(const QDateTime& date);
    static QString timeLabel(const QDateTime& date, const QDateTime& now, const QLocale& locale);

signals:
    void recordsChanged();

private:
    void load();
    std::optional<platform::WriteError> save() const;
    void setRecords(QList<DictationRecord> records);

    std::filesystem::path directory_;
    platform::PrivateFile::Writer writer_;
    QList<DictationRecord> records_;
    std::optional<std::filesystem::path> keptAside_;
};

}  // namespace korvu
