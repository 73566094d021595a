#pragma once

#include "Platform/Defaults/PrivateFile.h"
#include "Platform/Defaults/WriteError.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <mutex>
#include <optional>

namespace platform {

// The user's settings: values stored in a file in the user's configuration folder, with
// registered defaults held in memory only. A read returns the stored value, else the
// registered default, else nothing. Every write replaces the whole file at once
// (atomically), so a crash or a kill never loses a setting the user made; a write that
// fails says so (its result, `writeFailed`), keeps every value in memory, and the next
// write tries them all again.
//
// The file is JSON: unlike INI it keeps the types of the values, so a one-element list
// stays a list and a number stays a number. The file (0600) and its folder (0700) are the
// user's alone, as what they hold is theirs. A file that does not parse, or anything that
// is no regular file of a sane size (a pipe, a link to a device), is renamed to
// "<file>.defekt" before the store starts empty; temporary files that an interrupted write
// left beside it are removed.
//
// Thread-safe: reads and writes may come from any thread; `changed` is emitted on the
// writing thread.
class UserDefaults : public QObject {
    Q_OBJECT
public:
    // A store over the given file; the standard store uses `standardFilePath()`.
    explicit UserDefaults(const QString& filePath, QObject* parent = nullptr);
    // The same with another way to write the file (a failing one, in tests).
    UserDefaults(const QString& filePath, PrivateFile::Writer writer, QObject* parent = nullptr);
    ~UserDefaults() override;

    // The one store of the application, created on first use.
    static UserDefaults& standard();
    // "$XDG_CONFIG_HOME/KORVU Darivir/settings.json" (default ~/.config).
    static QString standardFilePath();

    QString filePath() const { return filePath_; }

    // Merges `defaults` into the registered defaults. They are never written to the file.
    void registerDefaults(const QVariantMap& defaults);

    // The stored value, else the registered default, else an invalid QVariant.
    QVariant object(const QString& key) const;
    // True when the file holds a value for `key` (registered defaults do not count).
    bool hasStoredValue(const QString& key) const;

    // Stores `value` under `key`; an invalid QVariant removes the key. The value is in
    // memory at once; the result is why it did not reach the file, nothing when it did.
    std::optional<WriteError> set(const QString& key, const QVariant& value);
    std::optional<WriteError> removeObject(const QString& key);
    // Removes every stored value (the registered defaults stay).
    std::optional<WriteError> removeAllStoredValues();
    // Why what is in memory has not reached the file yet: the failure of the last write
    // when no write succeeded since; nothing when the file holds every value.
    std::optional<WriteError> unsavedFailure() const;
    // Writes the file again when a write failed before; the result as for `set`.
    std::optional<WriteError> save();

    // Writes the stored value of `key` into a file of its own beside the settings file,
    // "<key>.json.defekt" (".defekt.1", ".defekt.2" … when that exists), as a JSON object
    // with that one key. A caller that could read only part of a value calls this before
    // it stores what it could read, so the rest can still be recovered by hand. Returns
    // the file's path; nothing when there is no stored value or the file could not be
    // written.
    std::optional<QString> keepValueAside(const QString& key);
    // The files this store set aside since it was made: the settings file when it did not
    // parse, and the values given to `keepValueAside`.
    QStringList keptAside() const;

    // Typed reads in the manner of the other platform's user defaults:
    // a string, or a number given as text; nothing for other values.
    std::optional<QString> string(const QString& key) const;
    // true/false; a number is true when not zero; the texts "true"/"yes" (any case) or a
    // non-zero integer text are true; anything else, a missing key included, is false.
    bool boolean(const QString& key) const;
    // A number (a fraction is cut off), a Boolean as 0/1, or a text that begins with an
    // integer; anything else, a missing key included, gives 0.
    qint64 integer(const QString& key) const;
    // A dictionary with text keys; nothing for any other value.
    std::optional<QVariantMap> dictionary(const QString& key) const;
    // An array; nothing for any other value.
    std::optional<QVariantList> array(const QString& key) const;
    // An array whose elements are all texts; nothing otherwise.
    std::optional<QStringList> stringArray(const QString& key) const;

    // True for a value that holds a number (integer or floating point, not a Boolean or a
    // text): what a stored number reads back as.
    static bool isNumber(const QVariant& value);

signals:
    // A stored value was written or removed and now differs from before.
    void changed(const QString& key);
    // A write did not reach the file (`unsavedFailure()` says why); `key` is the value it
    // was for (empty for a removal of every value or a retry).
    void writeFailed(const QString& key);
    // A write reached the file after one had failed: the file holds every value again.
    void savedAgain();

private:
    struct SaveOutcome {
        bool recovered = false;  // an earlier write had failed, this one reached the file
        std::optional<WriteError> failure;
    };
    // Writes the whole file.
    SaveOutcome saveLocked();
    // Tells listeners (outside the lock) how a write ended; gives its failure.
    std::optional<WriteError> announce(const SaveOutcome& outcome, const QString& key);

    QString filePath_;
    PrivateFile::Writer writer_;
    mutable std::mutex mutex_;
    QVariantMap stored_;
    std::optional<WriteError> unsaved_;
    QVariantMap registered_;
    QStringList keptAside_;
};

}  // namespace platform
