#include "KorvuDarivir/Store/HistoryStore.h"

#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QUuid>

#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace korvu {
namespace {

// Temporary files of interrupted writes start with this; the load removes them.
constexpr const char* kTemporaryPrefix = ".Verlauf.json.";

bool writeAll(int fd, const QByteArray& data)
{
    const char* cursor = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, cursor, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        cursor += written;
        left -= written;
    }
    return true;
}

// Writes `data` to `target` so that the target holds either its old or its new content at
// every moment, even across a crash or a power loss: temporary file in the same folder,
// flushed to disk, mode 0600 (only the user may read the dictated text), renamed over the
// target, and the folder entry flushed too.
bool writeAtomically(const std::filesystem::path& target, const QByteArray& data)
{
    const std::filesystem::path folder = target.parent_path();
    std::string temporary = (folder / (std::string(kTemporaryPrefix) + "XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, data) && ::fchmod(fd, 0600) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) {
        ok = ::rename(temporary.c_str(), target.c_str()) == 0;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
}

std::optional<QList<DictationRecord>> decode(const QByteArray& data)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray()) {
        return std::nullopt;
    }
    QList<DictationRecord> records;
    const QJsonArray array = document.array();
    records.reserve(array.size());
    for (const QJsonValue& value : array) {
        std::optional<DictationRecord> record = DictationRecord::fromJson(value);
        if (!record) {
            return std::nullopt;
        }
        records.append(std::move(*record));
    }
    return records;
}

// The locale's pattern for day and month with two digits each ("dd.MM." in German,
// "MM/dd" in American English), as ICU's pattern generator gives it.
QString dayMonthPattern(const QLocale& locale)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale icuLocale(locale.name().toLatin1().constData());
    std::unique_ptr<icu::DateTimePatternGenerator> generator(
        icu::DateTimePatternGenerator::createInstance(icuLocale, status));
    if (U_FAILURE(status) || !generator) {
        return QStringLiteral("dd.MM.");
    }
    const icu::UnicodeString pattern = generator->getBestPattern(icu::UnicodeString(u"ddMM"), status);
    if (U_FAILURE(status)) {
        return QStringLiteral("dd.MM.");
    }
    return QString(reinterpret_cast<const QChar*>(pattern.getBuffer()), pattern.length());
}

// Fills an ICU date pattern with the day and month of `date` (two digits each); quoted
// text is literal. Only the fields the day-and-month pattern can hold are known.
QString formatDayMonth(const QString& pattern, const QDate& date)
{
    QString result;
    qsizetype i = 0;
    while (i < pattern.size()) {
        const QChar c = pattern[i];
        if (c == u'\'') {
            const qsizetype end = pattern.indexOf(u'\'', i + 1);
            if (end == i + 1) {
                result.append(u'\'');  // '' is a quote
                i += 2;
                continue;
            }
            const qsizetype stop = end < 0 ? pattern.size() : end;
            result.append(QStringView(pattern).mid(i + 1, stop - i - 1));
            i = stop + 1;
            continue;
        }
        qsizetype run = i;
        while (run < pattern.size() && pattern[run] == c) {
            ++run;
        }
        if (c == u'd') {
            result.append(QStringLiteral("%1").arg(date.day(), 2, 10, QLatin1Char('0')));
        } else if (c == u'M' || c == u'L') {
            result.append(QStringLiteral("%1").arg(date.month(), 2, 10, QLatin1Char('0')));
        } else if (c.isLetter() && c.unicode() < 128) {
            // Another field (never in a day-and-month pattern): left out.
        } else {
            result.append(QStringView(pattern).mid(i, run - i));
        }
        i = run;
    }
    return result;
}

}  // namespace

HistoryStore& HistoryStore::shared()
{
    // Never destroyed: menus may still read it while the process ends.
    static HistoryStore* const instance = new HistoryStore(Settings::supportDirectory());
    return *instance;
}

HistoryStore::HistoryStore(std::filesystem::path directory, QObject* parent)
    : QObject(parent), directory_(std::move(directory))
{
    load();
}

void HistoryStore::load()
{
    // Leftovers of writes that a crash or a kill interrupted.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
        if (entry.path().filename().string().rfind(kTemporaryPrefix, 0) == 0) {
            std::filesystem::remove(entry.path(), error);
        }
    }

    QFile file(QString::fromStdString(filePath().string()));
    if (!file.exists()) {
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        keepBrokenFileAside();
        return;
    }
    const QByteArray data = file.readAll();
    const bool readFailed = file.error() != QFileDevice::NoError;
    file.close();
    std::optional<QList<DictationRecord>> decoded = readFailed ? std::nullopt : decode(data);
    if (!decoded) {
        keepBrokenFileAside();
        return;
    }
    records_ = std::move(*decoded);
}

void HistoryStore::keepBrokenFileAside()
{
    const std::filesystem::path source = filePath();
    std::filesystem::path aside = source;
    aside += brokenSuffix;
    for (int n = 1; std::filesystem::exists(aside); ++n) {
        aside = source;
        aside += std::string(brokenSuffix) + "." + std::to_string(n);
    }
    std::error_code error;
    std::filesystem::rename(source, aside, error);
    if (!error) {
        keptAside_ = aside;
    }
}

void HistoryStore::setRecords(QList<DictationRecord> records)
{
    if (records == records_) {
        return;
    }
    records_ = std::move(records);
    emit recordsChanged();
}

bool HistoryStore::save() const
{
    QJsonArray array;
    for (const DictationRecord& record : records_) {
        array.append(record.toJson());
    }
    const QByteArray data = QJsonDocument(array).toJson(QJsonDocument::Compact);

    std::error_code ignored;
    std::filesystem::create_directories(directory_.parent_path(), ignored);
    ::mkdir(directory_.c_str(), 0700);
    return writeAtomically(filePath(), data);
}

void HistoryStore::add(const QString& text, const QString& appName)
{
    if (!platform::UserDefaults::standard().boolean(QString::fromLatin1(Settings::historyEnabledKey))) {
        return;
    }
    QList<DictationRecord> records = records_;
    records.prepend(DictationRecord{QUuid::createUuid(), DictationRecord::dateFrom(QDateTime::currentDateTimeUtc()),
                                    appName, text});
    if (records.size() > maxRecords) {
        records.resize(maxRecords);
    }
    setRecords(std::move(records));
    // A failed write keeps the previous file; the record stays in memory.
    save();
}

void HistoryStore::clear()
{
    setRecords({});
    std::error_code ignored;
    std::filesystem::remove(filePath(), ignored);
}

void HistoryStore::remove(const QUuid& id)
{
    QList<DictationRecord> kept = records_;
    const auto removed = kept.removeIf([&id](const DictationRecord& record) { return record.id == id; });
    if (removed == 0) {
        return;
    }
    setRecords(std::move(kept));
    save();
}

QString HistoryStore::timeLabel(const QDateTime& date)
{
    return timeLabel(date, QDateTime::currentDateTime(), QLocale());
}

QString HistoryStore::timeLabel(const QDateTime& date, const QDateTime& now, const QLocale& locale)
{
    const QDateTime local = date.toLocalTime();
    const QDate today = now.toLocalTime().date();
    if (local.date() == today) {
        return locale.toString(local.time(), QLocale::ShortFormat);
    }
    if (local.date() == today.addDays(-1)) {
        return QStringLiteral("Gestern");
    }
    return formatDayMonth(dayMonthPattern(locale), local.date());
}

}  // namespace korvu
