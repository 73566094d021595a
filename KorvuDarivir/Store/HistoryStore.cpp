#include "KorvuDarivir/Store/HistoryStore.h"

#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QUuid>

#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <memory>
#include <system_error>

namespace korvu {
namespace {

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
    : HistoryStore(std::move(directory), platform::PrivateFile::write, parent)
{
}

HistoryStore::HistoryStore(std::filesystem::path directory, platform::PrivateFile::Writer writer, QObject* parent)
    : QObject(parent), directory_(std::move(directory)), writer_(std::move(writer))
{
    load();
}

void HistoryStore::load()
{
    // Leftovers of writes that a crash or a kill interrupted.
    platform::PrivateFile::removeLeftovers(filePath());

    const platform::PrivateFile::Contents contents = platform::PrivateFile::read(filePath());
    if (contents.status == platform::PrivateFile::Contents::Status::missing) {
        return;
    }
    // A file an older version left readable by everyone is the user's alone from now on.
    platform::PrivateFile::restrict(filePath());
    std::optional<QList<DictationRecord>> decoded =
        contents.status == platform::PrivateFile::Contents::Status::read ? decode(contents.data) : std::nullopt;
    if (!decoded) {
        // Not readable, not a history, or no file at all (a pipe, a link to a device): kept
        // for the user, and the history starts empty.
        keptAside_ = platform::PrivateFile::setAside(filePath());
        return;
    }
    records_ = std::move(*decoded);
}

void HistoryStore::setRecords(QList<DictationRecord> records)
{
    if (records == records_) {
        return;
    }
    records_ = std::move(records);
    emit recordsChanged();
}

std::optional<platform::WriteError> HistoryStore::save() const
{
    QJsonArray array;
    for (const DictationRecord& record : records_) {
        array.append(record.toJson());
    }
    const QByteArray data = QJsonDocument(array).toJson(QJsonDocument::Compact);
    try {
        writer_(filePath(), data);
        return std::nullopt;
    } catch (const platform::WriteError& error) {
        qWarning("History not saved: %s", error.what());
        return error;
    }
}

std::optional<platform::WriteError> HistoryStore::add(const QString& text, const QString& appName)
{
    if (!platform::UserDefaults::standard().boolean(QString::fromLatin1(Settings::historyEnabledKey))) {
        return std::nullopt;
    }
    QList<DictationRecord> records = records_;
    records.prepend(DictationRecord{QUuid::createUuid(), DictationRecord::dateFrom(QDateTime::currentDateTimeUtc()),
                                    appName, text});
    if (records.size() > maxRecords) {
        records.resize(maxRecords);
    }
    setRecords(std::move(records));
    // A failed write keeps the previous file; the record stays in memory, and the next
    // write, which writes the whole list, tries again.
    return save();
}

void HistoryStore::clear()
{
    setRecords({});
    std::error_code ignored;
    std::filesystem::remove(filePath(), ignored);
}

std::optional<platform::WriteError> HistoryStore::remove(const QUuid& id)
{
    QList<DictationRecord> kept = records_;
    const auto removed = kept.removeIf([&id](const DictationRecord& record) { return record.id == id; });
    if (removed == 0) {
        return std::nullopt;
    }
    setRecords(std::move(kept));
    return save();
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
